// The interpreter manager: the root interpreter and one sub-interpreter per
// script run in progress, each with the same start-up.
//
// Runs belong to the OS thread that started them: each thread has its own
// stack of runs on top of the shared root.  What the qm functions read (the
// arguments, options and trace flag of "the current run") is the calling
// thread's innermost run; a thread without runs of its own (a thread a
// script started, or a host thread calling a Python server) reads the run
// whose interpreter it runs in, else the root.
#pragma once

#include "interp/python.h"

#include <cstdint>
#include <string>
#include <vector>

class COutput;
class CQmCritSecLock;

// One Python interpreter and the state of the run it serves.
struct InterpreterRecord {
  PyThreadState* threadState = nullptr;        // the run's; the root's first
  PyThreadState* parentThreadState = nullptr;  // current when the run began; null for the root
  PyObject* globals = nullptr;                 // the __main__ dictionary
  PyObject* locals = nullptr;                  // the same dictionary
  PyObject* argString = nullptr;               // the run's argument text
  PyObject* argTuple = nullptr;                // its words
  unsigned char angleOption = 0;               // nonzero: query angles in degrees
  uint32_t executionFlags = 0;                 // the host's flags of the run
  unsigned char traceFlag = 0;                 // call tracing of the qm functions
  COutput* sink = nullptr;                     // the run's output, for the threads it started
  PyThreadState* callbacks = nullptr;          // what PyGILState found before the run
};

class CInterpreterManager {
 public:
  CInterpreterManager() = default;
  CInterpreterManager(const CInterpreterManager&) = delete;
  CInterpreterManager& operator=(const CInterpreterManager&) = delete;
  // Ends every sub-interpreter, then finalises Python.  Takes Python's
  // lock for it.
  ~CInterpreterManager();

  // Starts Python (once), builds the root interpreter and imports the
  // servers package.  Throws when the root cannot be built; a later call
  // tries again.
  void Start();
  bool Starting() const { return starting_; }
  // Whether Python itself runs, its root set up or not.
  bool PythonStarted() const { return rootInterpreter_ != nullptr; }
  // Whether the root record's trace flag is set.
  bool RootTracing() const { return root_ != nullptr && root_->traceFlag != 0; }

  // The root record; throws QMe_FAILED while the calling thread has a run
  // of its own in progress.
  InterpreterRecord* RootRecord();
  // The calling thread's current record (see above).
  InterpreterRecord* TopRecord();
  // Whether the calling thread runs the root interpreter and reads the
  // root record.
  bool InRoot();
  // Starts a sub-interpreter for a run on the calling thread, which holds
  // Python; its parent is the thread state current now.  Throws on
  // failure; nothing is pushed then.
  InterpreterRecord* PushInterpreter();
  // Ends the run's sub-interpreter (the calling thread's innermost run)
  // and swaps its parent back in.
  void PopInterpreter(InterpreterRecord* record);

  // The output sink of the run whose interpreter this thread runs in.
  COutput* RunSinkHere();

  // The root record and every run in progress, on all threads.
  size_t Depth() const { return (root_ != nullptr ? 1 : 0) + runs_.size(); }
  // Sub-interpreters whose threads outlived their run, kept until the
  // threads are gone.
  size_t ParkedCount() const { return parked_.size(); }

  // Makes the sub-interpreters; Py_NewInterpreter unless a test says
  // otherwise.
  PyThreadState* (*newInterpreter)() = &Py_NewInterpreter;

  CQmCritSecLock* lock = nullptr;

 private:
  void StartPython();
  void EndRecord(InterpreterRecord* record);
  // Ends the parked interpreters whose threads are gone, after waiting up
  // to `patience` milliseconds for them to go.
  void ReapParked(int patience = 0);
  // How long (milliseconds) a run's end waits for the run's threads that are
  // leaving, and the module's release for those of parked runs.
  static constexpr int kRunEndPatience = 50;
  static constexpr int kUnloadPatience = 1000;
  void ImportServers();

  bool starting_ = false;
  PyInterpreterState* rootInterpreter_ = nullptr;
  PyThreadState* rootThreadState_ = nullptr;  // the first, made by Py_Initialize
  InterpreterRecord* root_ = nullptr;
  std::vector<InterpreterRecord*> runs_;  // of every thread, in the order begun
  std::vector<PyThreadState*> parked_;
};

// The manager, created and started on first use (which starts Python and
// imports the servers package).  Throws QMe_FAILED once the manager has
// been destroyed: Python cannot be started again after it was finalised.
CInterpreterManager* GetInterpreterManager();
// The manager when Python has started, else null; never starts it.
CInterpreterManager* RunningInterpreterManager();
// The manager when Python itself runs, also while its root is not set up
// (a start-up that failed and is tried again on the next entry), else
// null; never starts anything.  For letting go of what Python holds as the
// module is released.
CInterpreterManager* StartedInterpreterManager();
// Destroys the manager if it was ever created (the module's release).
void DestroyInterpreterManager();

// Called in a run's interpreter once the run's threads are done, just
// before the interpreter ends (Python's lock held): the layers above let go
// there of what they made for the run.  Set by the plug-in's composition.
using RunEndHook = void (*)();
void SetRunEndHook(RunEndHook hook);

// The trace flag of the current record.
bool GetTraceFlag();
void SetTraceFlag(bool on);
// Whether a call into a Python server is traced: the servers run in the
// root interpreter, so tracing there covers them whatever run is current,
// as does tracing in the current run.
bool GetServerTraceFlag();

// Splits an argument text into words: blanks separate words, double quotes
// enclose a word that may hold blanks.  No escapes.
std::vector<std::string> SplitArguments(const char* text);
// Sets the record's argument string and tuple from the text.
void SetScriptArguments(InterpreterRecord* record, const char* text);
