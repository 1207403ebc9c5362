// Handles of the script family with convenience calls (CQmUser_), over the
// generated CQmLoc_ handles.
#pragma once

#include "qm_loc_script.h"

class CQmUser_LineExecution : public CQmLoc_LineExecution {
 public:
  QmResult Info(const char* text) { return ptr_->vt->Info(ptr_, text); }
  QmResult Results(void* values) { return ptr_->vt->Results(ptr_, values); }
};
