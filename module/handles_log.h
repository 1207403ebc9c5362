// Handles of the log family with convenience calls (CQmUser_), over the
// generated CQmLoc_ handles.
#pragma once

#include "qm_loc_log.h"

class CQmUser_Log : public CQmLoc_Log {
 public:
  QmResult AddEntry(void* entry) { return ptr_->vt->AddEntry(ptr_, entry); }
};

class CQmUser_LogEntry : public CQmLoc_LogEntry {
 public:
  QmResult AddEntry(void* entry) { return ptr_->vt->AddEntry(ptr_, entry); }
};
