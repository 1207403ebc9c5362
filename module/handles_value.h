// Handles of the value family with convenience calls (CQmUser_), over the
// generated CQmLoc_ handles.
#pragma once

#include "qm_loc_value.h"

class CQmUser_ValueArray : public CQmLoc_ValueArray {
 public:
  QmResult Type(uint32_t* type) { return ptr_->vt->Type(ptr_, type); }
  QmResult TypeName(const char** name) { return ptr_->vt->TypeName(ptr_, name); }
  uint32_t Count() { return ptr_->vt->Count(ptr_); }
  QmResult GetInt(uint32_t i, int32_t* v) { return ptr_->vt->GetInt(ptr_, i, v); }
  QmResult GetFloat(uint32_t i, double* v) { return ptr_->vt->GetFloat(ptr_, i, v); }
  QmResult GetString(uint32_t i, char* buf, uint32_t len) {
    return ptr_->vt->GetString(ptr_, i, buf, len);
  }
  QmResult AddString(const char* text) { return ptr_->vt->AddString(ptr_, text); }
};

class CQmUser_Attributes : public CQmLoc_Attributes {
 public:
  const QmTextValueHint* Hints(uint32_t index) { return ptr_->vt->Hints(ptr_, index); }
};
