#include "interp/manager.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "interp/guard.h"
#include "interp/output.h"
#include "interp/result.h"
#include "interp/threads.h"
#include "module/this_module.h"
#include "qm_ifc_file.h"
#include "scripting/qm_module.h"

namespace {
// What the layers above let go of as a run's interpreter ends.
RunEndHook gRunEndHook = nullptr;
}  // namespace

namespace {

CInterpreterManager* gManager = nullptr;
bool gManagerDestroyed = false;
// The manager once Python has started; until then a first use from
// several host threads waits for the one that starts it.  The thread
// starting it may need the manager again meanwhile (its servers bless).
std::atomic<CInterpreterManager*> gReady{nullptr};
std::atomic<CInterpreterManager*> gStartingManager{nullptr};
std::recursive_mutex gStarting;

// The runs in progress on this thread, innermost last.
std::vector<InterpreterRecord*>& ThreadRuns() {
  static thread_local std::vector<InterpreterRecord*> runs;
  return runs;
}

// A record whose references all start as None.
InterpreterRecord* NewRecord() {
  auto* record = new InterpreterRecord;
  for (PyObject** slot : {&record->globals, &record->locals, &record->argString, &record->argTuple}) {
    Py_INCREF(Py_None);
    *slot = Py_None;
  }
  return record;
}

void DropReferences(InterpreterRecord* record) {
  Py_CLEAR(record->argTuple);
  Py_CLEAR(record->argString);
  Py_CLEAR(record->locals);
  Py_CLEAR(record->globals);
}

// Appends a text to sys.path.
void AppendToPath(const char* text) {
  PyObject* sys = PyImport_AddModule("sys");  // borrowed
  CheckPointer(sys, QMe_FAILED);
  PyRef path(PyObject_GetAttrString(sys, "path"));
  CheckPointer(path.get(), QMe_FAILED);
  PyRef entry(PyString_FromString(text));
  CheckPointer(entry.get(), QMe_FAILED);
  CheckNonNegative(PyList_Append(path.get(), entry.get()), QMe_FAILED);
}

// Runs set-up code in __main__.  A failure leaves its exception pending for
// the report of the failed set-up (ReportSetUpFailure).
void RunSimple(const char* code) {
  PyObject* main = PyImport_AddModule("__main__");  // borrowed
  CheckPointer(main, QMe_FAILED);
  PyObject* dict = PyModule_GetDict(main);  // borrowed
  PyRef done(PyRun_StringFlags(code, Py_file_input, dict, dict, nullptr));
  CheckPointer(done.get(), QMe_FAILED);
}

// A result code as text: its number and, when it has one, its name.
std::string CodeText(QmResult code) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(code));
  const char* name = NameOfResult(code);
  return name != nullptr ? std::string(text) + " " + name : std::string(text);
}

// A warning of the set-up in the log: what it went without.
void Warn(const std::string& text) { WriteOutput(text.c_str(), QMe_WARNING); }

// Writes why an interpreter could not be set up to the current output (the
// event log): the exception the set-up left, else the code it failed with.
// Leaves no exception pending and never throws.
void ReportSetUpFailure(const char* what, QmResult code) {
  std::string heading = std::string(what) + " could not be set up";
  try {
    if (PyErr_Occurred()) {
      ReportPythonError(heading.c_str());
    } else {
      heading += ": the host answered " + CodeText(code);
      WriteOutput(heading.c_str(), QMe_FAILED);
    }
  } catch (...) {
    // Nowhere to write it: the caller's result code says it all the same.
  }
  PyErr_Clear();
}

// The host-resolved part of the start-up: the search path and the site
// directory of the user's scripts.
void SetUpSearchPath() {
  CQmThisModule& module = CQmThisModule::Get();
  auto* platform = static_cast<IQmPlatformService*>(module.LookupGlobal(&IID_IQmPlatformService));
  auto* files = static_cast<IQmFileService*>(module.LookupGlobal(&IID_IQmFileService));
  CheckPointer(platform, QMe_FAILED);
  CheckPointer(files, QMe_FAILED);

  RunSimple("sys.path[:] = []");

  // The host writes up to a path's full length into the buffer.
  char local[kQmMaxPath] = {};
  for (const char* alias : {"module:PythonModules/standardmodules.zip", "module:PythonModules/DLL",
                            "module:PythonModules"}) {
    if (files->vt->ToLocalAlias(files, alias, local) != nullptr) {
      AppendToPath(local);
    } else {
      Warn(std::string("the host has no folder for ") + alias + "; Python does not look there");
    }
  }

  uint32_t count = 0;
  CheckResult(platform->vt->ImportPathCount(platform, &count));
  for (uint32_t i = 0; i < count; ++i) {
    const char* path = nullptr;
    QmResult rc = platform->vt->ImportPathByIndex(platform, i, &path);
    if (!QmFailed(rc) && path != nullptr) {
      AppendToPath(path);
    } else {
      Warn("the host gave no import path " + std::to_string(i) + " of " + std::to_string(count) +
           " (" + CodeText(QmFailed(rc) ? rc : QMe_FAILED) + "); Python does not look there");
    }
  }

  RunSimple("import site");

  if (files->vt->ToLocalAlias(files, "scripts:", local) == nullptr) {
    Warn("the host has no scripts folder; it is not a site directory");
    return;
  }
  local[kQmMaxPath - 1] = '\0';
  PyObject* site = PyImport_AddModule("site");  // borrowed
  CheckPointer(site, QMe_FAILED);
  PyRef dir(PyString_FromString(local));
  CheckPointer(dir.get(), QMe_FAILED);
  PyRef added(PyObject_CallMethod(site, const_cast<char*>("addsitedir"), const_cast<char*>("(O)"),
                                  dir.get()));
  CheckPointer(added.get(), QMe_FAILED);
  CheckNonNegative(PyObject_SetAttrString(site, "USER_BASE", dir.get()), QMe_FAILED);
  CheckNonNegative(PyObject_SetAttrString(site, "USER_SITE", dir.get()), QMe_FAILED);
}

// Holds automatic garbage collection off while it lives, and puts it back
// as it was.  Setting the root interpreter up makes objects that all live
// as long as Python (the qm package's types, dictionaries and modules, the
// modules site imports): collections meanwhile would only walk them again
// and again, more of them each time.  (A run's interpreter gets copies of
// what the root made and gains nothing from it.)  The collector is the
// process's; its switches are the gc module's, taken without leaving that
// module among the interpreter's modules.
class CollectionHeldOff {
 public:
  CollectionHeldOff() {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    bool listed = PyDict_GetItemString(modules, "gc") != nullptr;
    gc_.reset(PyImport_ImportModule("gc"));
    if (!gc_) {
      PyErr_Clear();
      return;
    }
    if (!listed && PyDict_DelItemString(modules, "gc") < 0) PyErr_Clear();
    PyRef on(PyObject_CallMethod(gc_.get(), const_cast<char*>("isenabled"), nullptr));
    if (!on) {
      PyErr_Clear();
      return;
    }
    restore_ = PyObject_IsTrue(on.get()) == 1 && Switch("disable");
  }

  ~CollectionHeldOff() {
    if (!restore_) return;
    // A failed set-up leaves its exception for the caller.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Switch("enable");
    PyErr_Restore(type, value, traceback);
  }

  CollectionHeldOff(const CollectionHeldOff&) = delete;
  CollectionHeldOff& operator=(const CollectionHeldOff&) = delete;

 private:
  bool Switch(const char* name) {
    PyRef done(PyObject_CallMethod(gc_.get(), const_cast<char*>(name), nullptr));
    if (!done) PyErr_Clear();
    return static_cast<bool>(done);
  }

  PyRef gc_;
  bool restore_ = false;
};

// What every interpreter gets, in the interpreter that is current: the qm
// package, the search path and site handling, and its __main__ dictionary
// as the record's globals and locals.
void SetUpInterpreter(InterpreterRecord* record) {
  CreateQmModule();
  RunSimple("import qm");
  RunSimple("import sys");
  SetUpSearchPath();
  PyObject* main = PyImport_AddModule("__main__");  // borrowed
  CheckPointer(main, QMe_FAILED);
  PyObject* dict = PyModule_GetDict(main);  // borrowed
  CheckPointer(dict, QMe_FAILED);
  Py_INCREF(dict);
  Py_SETREF(record->globals, dict);
  Py_INCREF(dict);
  Py_SETREF(record->locals, dict);
}

// Waits for the non-daemon threads of the current interpreter, as a
// Python program does before it exits.
void WaitForThreads() {
  PyThreadState* ts = AttachedThreadState();
  PyObject* threading = PyDict_GetItemString(ts->interp->modules, "threading");  // borrowed
  if (threading == nullptr) return;
  Py_INCREF(threading);
  PyObject* done = PyObject_CallMethod(threading, const_cast<char*>("_shutdown"), nullptr);
  if (done == nullptr) {
    PyErr_WriteUnraisable(threading);
  } else {
    Py_DECREF(done);
  }
  Py_DECREF(threading);
}

// True when `ts` is the only thread state of its interpreter.
// Takes out of sys.modules every module not listed in `before` (a list of
// names, or null for none to keep out).  Leaves no exception pending.
void ForgetModulesSince(PyObject* before) {
  if (before == nullptr) return;
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyRef now(PyDict_Keys(modules));
  if (!now) {
    PyErr_Clear();
    return;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(now.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(now.get(), i);  // borrowed
    if (PySequence_Contains(before, name) == 0 && PyDict_DelItem(modules, name) < 0) {
      PyErr_Clear();
    }
  }
  PyErr_Clear();
}

// The result code of the exception being handled: a thrown code, else
// QMe_FAILED.  Called only inside a catch block.
QmResult CurrentCode() {
  try {
    throw;
  } catch (QmResult code) {
    return code;
  } catch (...) {
    return QMe_FAILED;
  }
}

bool AloneInInterpreter(PyThreadState* ts) {
  return PyInterpreterState_ThreadHead(ts->interp) == ts && PyThreadState_Next(ts) == nullptr;
}

// Lets go of Python's lock for a moment, so that a thread on its way out
// of an interpreter can leave: a thread that a script joined has still its
// last lines of Python to run, and the lock to take for them.
void LetThreadsLeave() {
  PythonReleased away;
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The host loads the plug-in, and with it the Python library, with local
// symbols; extension modules that Python loads later (ctypes, and the like)
// need Python's symbols visible to them.
void ShareInterpreterSymbols() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&Py_Initialize), &info) != 0 && info.dli_fname != nullptr) {
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_GLOBAL);
  }
}

}  // namespace

CInterpreterManager* GetInterpreterManager() {
  if (CInterpreterManager* ready = gReady.load(std::memory_order_acquire)) return ready;
  if (AttachedThreadState() != nullptr) {
    // Python code that the start-up runs, on its own thread or on a thread
    // it started, may need the manager before it is ready.  Otherwise
    // Python is being shut down by a thread that waits for Python's lock:
    // this thread, which holds it, must not wait for that one.
    CInterpreterManager* starting = gStartingManager.load(std::memory_order_acquire);
    CheckPointer(starting, QMe_FAILED);
    return starting;
  }
  std::lock_guard<std::recursive_mutex> hold(gStarting);
  if (CInterpreterManager* ready = gReady.load(std::memory_order_acquire)) return ready;
  CheckTrue(!gManagerDestroyed, QMe_FAILED);
  if (gManager == nullptr) gManager = new CInterpreterManager;
  if (gManager->Starting()) return gManager;  // the start-up's own thread
  gStartingManager.store(gManager, std::memory_order_release);
  try {
    gManager->Start();
  } catch (...) {
    gStartingManager.store(nullptr, std::memory_order_release);
    throw;
  }
  gStartingManager.store(nullptr, std::memory_order_release);
  gReady.store(gManager, std::memory_order_release);
  return gManager;
}

CInterpreterManager* RunningInterpreterManager() {
  return gReady.load(std::memory_order_acquire);
}

CInterpreterManager* StartedInterpreterManager() {
  std::lock_guard<std::recursive_mutex> hold(gStarting);
  return gManager != nullptr && gManager->PythonStarted() ? gManager : nullptr;
}

void DestroyInterpreterManager() {
  std::lock_guard<std::recursive_mutex> hold(gStarting);
  if (gManager == nullptr) return;
  CInterpreterManager* manager = gManager;
  gManager = nullptr;
  gReady.store(nullptr, std::memory_order_release);
  gManagerDestroyed = true;
  delete manager;
}

// --- Start-up ---------------------------------------------------------------------

void CInterpreterManager::Start() {
  starting_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{starting_};
  if (rootInterpreter_ == nullptr) StartPython();

  PythonScope python(ThreadRootState());
  auto* record = NewRecord();
  record->threadState = rootThreadState_;
  PyRef before(PyDict_Keys(PyImport_GetModuleDict()));
  try {
    CheckPointer(before.get(), QMe_OUTOFMEMORY);
    CollectionHeldOff quiet;
    SetUpInterpreter(record);
  } catch (...) {
    // The root is built again by a later entry, which imports afresh what
    // this one left half made (a module whose import failed half way keeps
    // what it had cached, and would fail the next import of its own).
    ReportSetUpFailure("Python's root interpreter", CurrentCode());
    ForgetModulesSince(before.get());
    DropReferences(record);
    delete record;
    throw;
  }
  root_ = record;
  ImportServers();
}

void CInterpreterManager::StartPython() {
  Py_NoSiteFlag = 1;
  Py_FrozenFlag = 1;
#ifdef QM_PYTHON_PROGRAM
  Py_SetProgramName(const_cast<char*>(QM_PYTHON_PROGRAM));
#endif
  ShareInterpreterSymbols();
  PyEval_InitThreads();
  Py_Initialize();
  rootThreadState_ = PyThreadState_Get();
  rootInterpreter_ = rootThreadState_->interp;
  SetRootInterpreter(rootInterpreter_, rootThreadState_);
  // From now on every way into Python takes Python's lock for itself.
  PyEval_SaveThread();
}

void CInterpreterManager::ImportServers() {
  PyObject* done = PyRun_StringFlags("import qmserv\n", Py_file_input, root_->globals,
                                     root_->locals, nullptr);
  if (done != nullptr) {
    Py_DECREF(done);
    return;
  }
  try {
    ReportPythonError("importing servers (qmserv) failed");
  } catch (...) {
    // The report itself failed (an exception without a text): the
    // servers that did load are served all the same.
  }
  PyErr_Clear();
}

// --- Records ----------------------------------------------------------------------

CInterpreterManager::~CInterpreterManager() {
  if (rootInterpreter_ == nullptr) return;  // Python never started
  PyThreadState* mine = ThreadRootState();
  if (mine == nullptr) return;  // no thread state to finalise Python with
  {
    PythonReleased away;  // a thread that ends meanwhile may wait for it
    EndRootInterpreter();
  }
  PythonScope python(mine);
  // Runs still in progress end first, innermost first.
  while (!runs_.empty()) {
    InterpreterRecord* record = runs_.back();
    runs_.pop_back();
    if (AttachedThreadState() != record->threadState) SwapThreadState(record->threadState);
    EndRecord(record);
  }
  ThreadRuns().clear();
  // The last chance to end them: what their interpreters hold is released
  // only then.
  ReapParked(kUnloadPatience);
  delete lock;
  lock = nullptr;
  if (root_ != nullptr) {
    // Dropped while Python runs: after it is finalised nothing may be freed.
    DropReferences(root_);
    delete root_;
    root_ = nullptr;
  }
  Py_Finalize();
  python.Abandon();  // Python's lock went with Python
}

InterpreterRecord* CInterpreterManager::RootRecord() {
  CheckPointer(root_, QMe_FAILED);
  CheckTrue(ThreadRuns().empty(), QMe_FAILED);
  return root_;
}

InterpreterRecord* CInterpreterManager::TopRecord() {
  CheckPointer(root_, QMe_FAILED);
  const auto& mine = ThreadRuns();
  if (!mine.empty()) return mine.back();
  if (!runs_.empty()) {
    if (PyThreadState* here = AttachedThreadState()) {
      for (InterpreterRecord* run : runs_) {
        if (run->threadState->interp == here->interp) return run;
      }
    }
  }
  return root_;
}

bool CInterpreterManager::InRoot() {
  PyThreadState* here = AttachedThreadState();
  return here != nullptr && here->interp == rootInterpreter_ && TopRecord() == root_;
}

COutput* CInterpreterManager::RunSinkHere() {
  PyThreadState* here = AttachedThreadState();
  if (here == nullptr) return nullptr;
  for (InterpreterRecord* run : runs_) {
    if (run->threadState->interp == here->interp) return run->sink;
  }
  return nullptr;
}

InterpreterRecord* CInterpreterManager::PushInterpreter() {
  CheckPointer(root_, QMe_FAILED);
  PyThreadState* parent = AttachedThreadState();
  CheckPointer(parent, QMe_FAILED);
  ReapParked();

  auto* record = NewRecord();
  PyThreadState* made = newInterpreter();
  if (made == nullptr) {
    // Python undid the half-made interpreter and swapped the parent back.
    if (AttachedThreadState() != parent) SwapThreadState(parent);
    DropReferences(record);
    delete record;
    ReportSetUpFailure("the script's interpreter", QMe_FAILED);
    throw QMe_FAILED;
  }
  record->threadState = made;
  record->parentThreadState = parent;
  record->callbacks = NoteCallbackState(made);
  try {
    SetUpInterpreter(record);
  } catch (...) {
    ReportSetUpFailure("the script's interpreter", CurrentCode());
    EndRecord(record);
    throw;
  }
  runs_.push_back(record);
  ThreadRuns().push_back(record);
  return record;
}

void CInterpreterManager::PopInterpreter(InterpreterRecord* record) {
  auto& mine = ThreadRuns();
  auto it = std::find(mine.begin(), mine.end(), record);
  if (it == mine.end()) return;
  mine.erase(it);
  runs_.erase(std::find(runs_.begin(), runs_.end(), record));
  if (AttachedThreadState() != record->threadState) SwapThreadState(record->threadState);
  EndRecord(record);
}

// Ends a run's interpreter, which is current, and swaps its parent back in.
// Its references are dropped first, while the interpreter still runs.
void CInterpreterManager::EndRecord(InterpreterRecord* record) {
  DropReferences(record);
  WaitForThreads();
  RestoreCallbackState(record->callbacks, record->threadState);
  for (int i = 0; i < kRunEndPatience && !AloneInInterpreter(record->threadState); ++i) {
    LetThreadsLeave();
  }
  if (AloneInInterpreter(record->threadState)) {
    if (gRunEndHook != nullptr) gRunEndHook();
    Py_EndInterpreter(record->threadState);
  } else {
    // Threads of the run are still alive: ending the interpreter now
    // would take the process down.  It is ended once they are gone.
    parked_.push_back(record->threadState);
  }
  SwapThreadState(record->parentThreadState);
  delete record;
}

void CInterpreterManager::ReapParked(int patience) {
  if (parked_.empty()) return;
  for (int i = 0; i < patience; ++i) {
    bool waiting = false;
    for (PyThreadState* parked : parked_) waiting = waiting || !AloneInInterpreter(parked);
    if (!waiting) break;
    LetThreadsLeave();
  }
  PyThreadState* current = AttachedThreadState();
  for (auto it = parked_.begin(); it != parked_.end();) {
    if (AloneInInterpreter(*it)) {
      SwapThreadState(*it);
      Py_EndInterpreter(*it);
      it = parked_.erase(it);
    } else {
      ++it;
    }
  }
  SwapThreadState(current);
}

void SetRunEndHook(RunEndHook hook) { gRunEndHook = hook; }

bool GetTraceFlag() { return GetInterpreterManager()->TopRecord()->traceFlag != 0; }

void SetTraceFlag(bool on) { GetInterpreterManager()->TopRecord()->traceFlag = on ? 1 : 0; }

bool GetServerTraceFlag() {
  CInterpreterManager* manager = GetInterpreterManager();
  return manager->TopRecord()->traceFlag != 0 || manager->RootTracing();
}

std::vector<std::string> SplitArguments(const char* text) {
  std::vector<std::string> words;
  if (text == nullptr) return words;
  const char* p = text;
  for (;;) {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    const char* start;
    if (*p == '"') {
      start = ++p;
      while (*p != '\0' && *p != '"') ++p;
      words.emplace_back(start, p);
      if (*p == '"') ++p;
    } else {
      start = p;
      while (*p != '\0' && *p != ' ') ++p;
      words.emplace_back(start, p);
    }
  }
  return words;
}

void SetScriptArguments(InterpreterRecord* record, const char* text) {
  PyRef str(PyString_FromString(text != nullptr ? text : ""));
  CheckPointer(str.get(), QMe_FAILED);
  std::vector<std::string> words = SplitArguments(text);
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(words.size())));
  CheckPointer(tuple.get(), QMe_FAILED);
  for (size_t i = 0; i < words.size(); ++i) {
    PyObject* word = PyString_FromStringAndSize(words[i].data(),
                                                static_cast<Py_ssize_t>(words[i].size()));
    CheckPointer(word, QMe_FAILED);
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), word);
  }
  Py_SETREF(record->argString, str.release());
  Py_SETREF(record->argTuple, tuple.release());
}
