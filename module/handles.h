// Every handle class of the plug-in: one CQmLoc_ class per catalogued host
// interface, and the CQmUser_ classes that add convenience calls.
#pragma once

#include "module/handle.h"
#include "qm_loc.h"

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

class CQmUser_GUIDService : public CQmLoc_GUIDService {
 public:
  const QmGUID* Fixed(const QmGUID* guid) const { return ptr_->vt->Fixed(ptr_, guid); }
  const QmGUID* Translate(const char* text) const { return ptr_->vt->Translate(ptr_, text); }
};
