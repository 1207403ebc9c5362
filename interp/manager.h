// The interpreter manager: the root interpreter and one sub-interpreter per
// script run in progress, each with the same start-up.
#pragma once

#include "interp/python.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class CQmCritSecLock;

// One Python interpreter and the state of the run it serves.
struct InterpreterRecord {
  PyThreadState* threadState = nullptr;
  PyThreadState* parentThreadState = nullptr;  // null for the root
  PyObject* globals = nullptr;                 // the __main__ dictionary
  PyObject* locals = nullptr;                  // the same dictionary
  PyObject* argString = nullptr;               // the run's argument text
  PyObject* argTuple = nullptr;                // its words
  unsigned char angleOption = 0;               // nonzero: query angles in degrees
  uint32_t executionFlags = 0;                 // the host's flags of the run
  unsigned char traceFlag = 0;                 // call tracing of the qm functions
};

class CInterpreterManager {
 public:
  CInterpreterManager() = default;
  CInterpreterManager(const CInterpreterManager&) = delete;
  CInterpreterManager& operator=(const CInterpreterManager&) = delete;
  // Ends every sub-interpreter, then finalises Python.
  ~CInterpreterManager();

  // The root record; throws QMe_FAILED unless it is the only record.
  InterpreterRecord* RootRecord();
  // The innermost record.
  InterpreterRecord* TopRecord();
  // Starts a new interpreter on top: the root when there is none, else a
  // sub-interpreter of the current top.  Throws on failure; nothing is
  // pushed then.
  InterpreterRecord* PushInterpreter();
  // Ends the top interpreter and removes its record.
  void PopInterpreter();

  size_t Depth() const { return stack_.size(); }
  PyThreadState* RootThreadState() const { return rootThreadState_; }
  // Sub-interpreters whose threads outlived their run, kept until the
  // threads are gone.
  size_t ParkedCount() const { return parked_.size(); }

  CQmCritSecLock* lock = nullptr;

 private:
  void EnsureRoot();
  void EndRecord(InterpreterRecord* record);
  void ReapParked();

  std::deque<InterpreterRecord*> stack_;
  bool initialised_ = false;
  PyThreadState* rootThreadState_ = nullptr;
  std::vector<PyThreadState*> parked_;
};

// The manager, created on first use (which starts Python and imports the
// servers package).  Throws QMe_FAILED once the manager has been destroyed:
// Python cannot be started again after it was finalised.
CInterpreterManager* GetInterpreterManager();
// The manager when Python has started, else null; never starts it.
CInterpreterManager* RunningInterpreterManager();
// Destroys the manager if it was ever created (the module's release).
void DestroyInterpreterManager();

// The trace flag of the innermost record.
bool GetTraceFlag();
void SetTraceFlag(bool on);

// Splits an argument text into words: blanks separate words, double quotes
// enclose a word that may hold blanks.  No escapes.
std::vector<std::string> SplitArguments(const char* text);
// Sets the record's argument string and tuple from the text.
void SetScriptArguments(InterpreterRecord* record, const char* text);
