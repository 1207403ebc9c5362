#include "interp/manager.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "interp/guard.h"
#include "interp/output.h"
#include "interp/result.h"
#include "module/this_module.h"
#include "scripting/qm_module.h"

namespace {

CInterpreterManager* gManager = nullptr;
bool gManagerDestroyed = false;
// The manager once Python has started; until then a first use from
// several host threads waits for the one that starts it.  The thread
// starting it may need the manager again meanwhile (its servers bless).
std::atomic<CInterpreterManager*> gReady{nullptr};
std::recursive_mutex gStarting;

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

void RunSimple(const char* code) {
  CheckNonNegative(PyRun_SimpleStringFlags(code, nullptr), QMe_FAILED);
}

// The host-resolved part of the start-up: the search path and the site
// directory of the user's scripts.
void SetUpSearchPath() {
  CQmThisModule& module = CQmThisModule::Get();
  auto* platform = static_cast<IQmPlatformService*>(module.LookupGlobal(&IID_IQmPlatformService));
  auto* files = static_cast<IQmFileService*>(module.LookupGlobal(&IID_IQmFileService));
  CheckPointer(platform, QMe_FAILED);
  CheckPointer(files, QMe_FAILED);

  PyRun_SimpleStringFlags("sys.path[:] = []", nullptr);

  // The host writes up to a path's full length into the buffer.
  char local[kQmMaxPath] = {};
  for (const char* alias : {"module:PythonModules/standardmodules.zip", "module:PythonModules/DLL",
                            "module:PythonModules"}) {
    if (files->vt->ToLocalAlias(files, alias, local) != nullptr) AppendToPath(local);
  }

  uint32_t count = 0;
  CheckResult(platform->vt->ImportPathCount(platform, &count));
  for (uint32_t i = 0; i < count; ++i) {
    const char* path = nullptr;
    if (!QmFailed(platform->vt->ImportPathByIndex(platform, i, &path)) && path != nullptr) {
      AppendToPath(path);
    }
  }

  RunSimple("import site");

  files->vt->ToLocalAlias(files, "scripts:", local);
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

// Waits for the non-daemon threads of the current interpreter, as a
// Python program does before it exits.
void WaitForThreads() {
  PyThreadState* ts = PyThreadState_Get();
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
bool AloneInInterpreter(PyThreadState* ts) {
  return PyInterpreterState_ThreadHead(ts->interp) == ts && PyThreadState_Next(ts) == nullptr;
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
  std::lock_guard<std::recursive_mutex> hold(gStarting);
  if (gManager != nullptr) return gManager;
  CheckTrue(!gManagerDestroyed, QMe_FAILED);
  gManager = new CInterpreterManager;
  InterpreterRecord* root = gManager->RootRecord();
  PyObject* done = PyRun_StringFlags("import qmserv\n", Py_file_input, root->globals, root->locals,
                                     nullptr);
  if (done == nullptr) {
    ReportPythonError("importing servers (qmserv) failed");
  } else {
    Py_DECREF(done);
  }
  gReady.store(gManager, std::memory_order_release);
  return gManager;
}

CInterpreterManager* RunningInterpreterManager() {
  return gReady.load(std::memory_order_acquire);
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

CInterpreterManager::~CInterpreterManager() {
  while (!stack_.empty()) PopInterpreter();
  delete lock;
  lock = nullptr;
}

void CInterpreterManager::EnsureRoot() {
  if (initialised_) return;
  initialised_ = true;
  try {
    PushInterpreter();
  } catch (...) {
    // A later entry may try again.
    initialised_ = false;
    throw;
  }
  rootThreadState_ = stack_.front()->threadState;
}

InterpreterRecord* CInterpreterManager::RootRecord() {
  EnsureRoot();
  CheckTrue(stack_.size() == 1, QMe_FAILED);
  return stack_.front();
}

InterpreterRecord* CInterpreterManager::TopRecord() {
  EnsureRoot();
  CheckTrue(!stack_.empty(), QMe_FAILED);
  return stack_.back();
}

InterpreterRecord* CInterpreterManager::PushInterpreter() {
  if (!initialised_) EnsureRoot();
  InterpreterRecord* top = stack_.empty() ? nullptr : stack_.back();
  ReapParked();

  auto* record = new InterpreterRecord;
  Py_INCREF(Py_None);
  record->globals = Py_None;
  Py_INCREF(Py_None);
  record->locals = Py_None;
  Py_INCREF(Py_None);
  record->argString = Py_None;
  Py_INCREF(Py_None);
  record->argTuple = Py_None;

  if (top != nullptr) {
    record->threadState = Py_NewInterpreter();
    if (record->threadState == nullptr) {
      PyThreadState_Swap(top->threadState);
      EndRecord(record);
      throw QMe_FAILED;
    }
    record->parentThreadState = top->threadState;
  } else {
    Py_NoSiteFlag = 1;
    Py_FrozenFlag = 1;
#ifdef QM_PYTHON_PROGRAM
    Py_SetProgramName(const_cast<char*>(QM_PYTHON_PROGRAM));
#endif
    ShareInterpreterSymbols();
    PyEval_InitThreads();
    Py_Initialize();
    record->threadState = PyThreadState_Get();
  }

  try {
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
  } catch (...) {
    PyErr_Clear();
    if (top != nullptr) {
      EndRecord(record);
    } else {
      // The root stays initialised; a later entry repeats its start-up.
      Py_CLEAR(record->globals);
      Py_CLEAR(record->locals);
      Py_CLEAR(record->argString);
      Py_CLEAR(record->argTuple);
      delete record;
    }
    throw;
  }
  stack_.push_back(record);
  return record;
}

void CInterpreterManager::PopInterpreter() {
  if (stack_.empty()) return;
  InterpreterRecord* record = stack_.back();
  stack_.pop_back();
  EndRecord(record);
}

// Ends a record's interpreter.  Its references are dropped first, while the
// interpreter is still current: after Python is finalised nothing may be
// freed any more.
void CInterpreterManager::EndRecord(InterpreterRecord* record) {
  Py_CLEAR(record->argTuple);
  Py_CLEAR(record->argString);
  Py_CLEAR(record->locals);
  Py_CLEAR(record->globals);
  if (record->parentThreadState != nullptr) {
    WaitForThreads();
    if (AloneInInterpreter(record->threadState)) {
      Py_EndInterpreter(record->threadState);
    } else {
      // Threads of the run are still alive: ending the interpreter now
      // would take the process down.  It is ended once they are gone.
      parked_.push_back(record->threadState);
    }
    PyThreadState_Swap(record->parentThreadState);
  } else {
    ReapParked();
    Py_Finalize();
  }
  delete record;
}

void CInterpreterManager::ReapParked() {
  if (parked_.empty()) return;
  PyThreadState* current = PyThreadState_Get();
  for (auto it = parked_.begin(); it != parked_.end();) {
    if (AloneInInterpreter(*it)) {
      PyThreadState_Swap(*it);
      Py_EndInterpreter(*it);
      it = parked_.erase(it);
    } else {
      ++it;
    }
  }
  PyThreadState_Swap(current);
}

bool GetTraceFlag() { return GetInterpreterManager()->TopRecord()->traceFlag != 0; }

void SetTraceFlag(bool on) { GetInterpreterManager()->TopRecord()->traceFlag = on ? 1 : 0; }

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
