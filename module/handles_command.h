// Handles of the command family with convenience calls (CQmUser_), over the
// generated CQmLoc_ handles.
#pragma once

#include "qm_loc_command.h"

class CQmUser_Command : public CQmLoc_Command {
 public:
  void Execute(uint32_t flags) { ptr_->vt->Execute(ptr_, flags); }
  QmResult Name(const char** name) { return ptr_->vt->Name(ptr_, name); }
  QmResult Message(void** message) { return ptr_->vt->Message(ptr_, message); }
};

class CQmUser_Monitor : public CQmLoc_Monitor {
 public:
  QmResult Initialize(uint32_t count) { return ptr_->vt->Initialize(ptr_, count); }
  QmResult Increment(uint32_t count) { return ptr_->vt->Increment(ptr_, count); }
};
