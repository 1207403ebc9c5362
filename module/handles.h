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


class CQmUser_Log : public CQmLoc_Log {
 public:
  QmResult AddEntry(void* entry) { return ptr_->vt->AddEntry(ptr_, entry); }
};

class CQmUser_LogEntry : public CQmLoc_LogEntry {
 public:
  QmResult AddEntry(void* entry) { return ptr_->vt->AddEntry(ptr_, entry); }
};

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

class CQmUser_Command : public CQmLoc_Command {
 public:
  void Execute(uint32_t flags) { ptr_->vt->Execute(ptr_, flags); }
  QmResult Name(const char** name) { return ptr_->vt->Name(ptr_, name); }
  QmResult Message(void** message) { return ptr_->vt->Message(ptr_, message); }
};

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

class CQmUser_Monitor : public CQmLoc_Monitor {
 public:
  QmResult Initialize(uint32_t count) { return ptr_->vt->Initialize(ptr_, count); }
  QmResult Increment(uint32_t count) { return ptr_->vt->Increment(ptr_, count); }
};

class CQmUser_LineExecution : public CQmLoc_LineExecution {
 public:
  QmResult Info(const char* text) { return ptr_->vt->Info(ptr_, text); }
  QmResult Results(void* values) { return ptr_->vt->Results(ptr_, values); }
};
