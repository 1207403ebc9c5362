// Handles of the message family with convenience calls (CQmUser_), over the
// generated CQmLoc_ handles.
#pragma once

#include "qm_loc_message.h"

class CQmUser_Message : public CQmLoc_Message {
 public:
  QmResult SetCode(QmResult code) { return ptr_->vt->SetCode(ptr_, code); }
  QmResult SetMessage(const char* table, const char* name, uint32_t id) {
    return ptr_->vt->SetMessage(ptr_, table, name, id);
  }
  QmResult SetArgumentInt(uint32_t arg, int32_t value) {
    return ptr_->vt->SetArgumentInt(ptr_, arg, value);
  }
  QmResult SetArgumentString(uint32_t arg, const char* value) {
    return ptr_->vt->SetArgumentString(ptr_, arg, value);
  }
};
