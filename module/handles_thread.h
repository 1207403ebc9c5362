// Handles of the thread family with convenience calls (CQmUser_), over the
// generated CQmLoc_ handles.
#pragma once

#include "qm_loc_thread.h"

// A host mutex, entered and left through the thread service's mutex
// interface.  An empty lock enters and leaves nothing.
class CQmUser_ThreadMutex : public CQmLoc_ThreadMutex {
 public:
  void Enter() {
    if (ptr_ != nullptr) ptr_->vt->Enter(ptr_);
  }
  void Leave() {
    if (ptr_ != nullptr) ptr_->vt->Leave(ptr_);
  }
};
