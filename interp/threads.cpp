#include "interp/threads.h"

#include <pythread.h>

#include <atomic>
#include <mutex>

#include "interp/checks.h"

namespace {

// The root interpreter while Python runs.  `gGeneration` counts the times
// Python was started and finalised, so that a thread can tell whether the
// thread state it kept still exists.
std::atomic<PyInterpreterState*> gRoot{nullptr};
std::atomic<unsigned long> gGeneration{0};
// Held while a thread deletes its own thread state at its end, and while
// Python is declared gone before it is finalised: a thread either deletes
// its state before finalisation begins or leaves it to finalisation.
std::mutex gLife;

// The key under which PyGILState keeps each thread's thread state, or 0
// when it could not be found (see FindCallbackKey).
int gCallbackKey = 0;

std::atomic<unsigned long> gSwaps{0};

// What the plug-in knows of one OS thread.
struct ThisThread {
  PyThreadState* root = nullptr;  // its own thread state in the root interpreter
  unsigned long generation = 0;   // of the Python that `root` belongs to
  bool madeHere = false;          // made by this layer (else Py_Initialize's)
  bool rootForCallbacks = false;  // PyGILState finds `root` on this thread
  int scopes = 0;                 // PythonScopes in progress
  bool pythonThread = false;      // see IsPythonThread

  ~ThisThread() {
    // The thread ends: its own thread state goes with it, while Python runs.
    if (root == nullptr || !madeHere) return;
    std::lock_guard<std::mutex> hold(gLife);
    if (generation != gGeneration.load() || gRoot.load() == nullptr) return;
    PyEval_RestoreThread(root);
    PyThreadState_Clear(root);
    PyThreadState_DeleteCurrent();  // also lets go of Python's lock
  }
};

thread_local ThisThread tThread;

// PyGILState keeps the thread state it hands to callbacks in Python's own
// per-thread storage, under a key it makes as Python starts; it finds the
// first thread state made on each thread and nothing later.  CPython 2.7
// hands out its keys from 1 upward and offers no other way to that record,
// so the key is found by its value on the starting thread (the one thread
// state there is) and confirmed by watching PyGILState follow a change of
// it.  When it cannot be confirmed, callbacks keep Python's own choice.
int FindCallbackKey(PyThreadState* initial) {
  if (PyGILState_GetThisThreadState() != initial) return 0;
  int probe = PyThread_create_key();  // one past the last key handed out
  if (probe <= 0) return 0;
  int found = 0;
  constexpr int kFewKeys = 64;  // more would not be this kind of key store
  for (int key = 1; key < probe && key < kFewKeys && found == 0; ++key) {
    if (PyThread_get_key_value(key) != initial) continue;
    PyThread_delete_key_value(key);
    bool follows = PyGILState_GetThisThreadState() == nullptr;
    PyThread_set_key_value(key, initial);
    if (follows && PyGILState_GetThisThreadState() == initial) found = key;
  }
  PyThread_delete_key(probe);
  return found;
}

void SetCallbackState(PyThreadState* state) {
  PyThread_delete_key_value(gCallbackKey);
  if (state == nullptr) return;
  // PyGILState_Release deletes a thread state whose count drops to zero;
  // the plug-in's states are never its to delete.
  if (state->gilstate_counter < 1) state->gilstate_counter = 1;
  PyThread_set_key_value(gCallbackKey, state);
}

}  // namespace

PyThreadState* AttachedThreadState() {
  // Python keeps the state of the thread that holds its lock, or null.  A
  // thread reads a value that only it can have written when it is its own.
  PyThreadState* current = __atomic_load_n(&_PyThreadState_Current, __ATOMIC_RELAXED);
  if (current == nullptr || current->thread_id != PyThread_get_thread_ident()) return nullptr;
  return current;
}

bool IsPythonThread() {
  if (!tThread.pythonThread && tThread.scopes == 0 && AttachedThreadState() != nullptr) {
    tThread.pythonThread = true;
  }
  return tThread.pythonThread;
}

void SetRootInterpreter(PyInterpreterState* root, PyThreadState* initial) {
  std::lock_guard<std::mutex> hold(gLife);
  gCallbackKey = FindCallbackKey(initial);
  if (initial->gilstate_counter < 1) initial->gilstate_counter = 1;
  gGeneration.fetch_add(1);
  gRoot.store(root);
  tThread.root = initial;
  tThread.generation = gGeneration.load();
  tThread.madeHere = false;
  tThread.rootForCallbacks = true;
}

void EndRootInterpreter() {
  // A thread that ends meanwhile holds the lock while it waits for Python's
  // lock: the caller must not hold Python's lock here.
  std::lock_guard<std::mutex> hold(gLife);
  gRoot.store(nullptr);
  gGeneration.fetch_add(1);
}

PyThreadState* ThreadRootState() {
  unsigned long generation = gGeneration.load(std::memory_order_acquire);
  if (tThread.root != nullptr && tThread.generation == generation) return tThread.root;
  PyInterpreterState* root = gRoot.load();
  if (root == nullptr) return nullptr;
  // Made on this thread, so Python records it as this thread's; when the
  // thread has no state yet, PyGILState takes it as the thread's too.
  PyThreadState* state = PyThreadState_New(root);
  if (state == nullptr) return nullptr;
  if (state->gilstate_counter < 1) state->gilstate_counter = 1;
  tThread.root = state;
  tThread.generation = generation;
  tThread.madeHere = true;
  tThread.rootForCallbacks = PyGILState_GetThisThreadState() == state;
  return state;
}

PyThreadState* NoteCallbackState(PyThreadState* state) {
  if (gCallbackKey == 0) return state;
  auto* previous = static_cast<PyThreadState*>(PyThread_get_key_value(gCallbackKey));
  if (previous != state) SetCallbackState(state);
  return previous;
}

void RestoreCallbackState(PyThreadState* previous, PyThreadState* noted) {
  if (gCallbackKey == 0 || previous == noted) return;
  SetCallbackState(previous);
}

PyThreadState* SwapThreadState(PyThreadState* state) {
  gSwaps.fetch_add(1, std::memory_order_relaxed);
  return PyThreadState_Swap(state);
}

unsigned long ThreadStateSwapCount() { return gSwaps.load(); }

// --- Scopes ---------------------------------------------------------------------

PythonScope::PythonScope(PyThreadState* state) { Enter(state); }

PythonScope::PythonScope(Current) {
  PyThreadState* attached = AttachedThreadState();
  Enter(attached != nullptr ? attached : ThreadRootState());
}

void PythonScope::Enter(PyThreadState* state) {
  state_ = state;
  IsPythonThread();  // tells before this scope counts
  PyThreadState* attached = AttachedThreadState();
  if (attached == nullptr) {
    CheckPointer(state, QMe_FAILED);  // Python does not run
    PyEval_RestoreThread(state);
    acquired_ = true;
    // Outside the plug-in's scopes the callback record of a host thread
    // names the thread's root state already; a thread Python started keeps
    // its first state there.
    if (state != tThread.root || !tThread.rootForCallbacks) {
      callbacks_ = NoteCallbackState(state);
      noted_ = true;
    }
  } else if (attached != state) {
    CheckPointer(state, QMe_FAILED);
    previous_ = attached;
    SwapThreadState(state);
    callbacks_ = NoteCallbackState(state);
    noted_ = true;
  }
  ++tThread.scopes;
}

PythonScope::~PythonScope() {
  --tThread.scopes;
  if (abandoned_) return;
  if (noted_) RestoreCallbackState(callbacks_, state_);
  if (acquired_) {
    PyEval_SaveThread();
  } else if (previous_ != nullptr) {
    SwapThreadState(previous_);
  }
}

PythonReleased::PythonReleased() {
  if (AttachedThreadState() != nullptr) saved_ = PyEval_SaveThread();
}

PythonReleased::~PythonReleased() {
  if (saved_ != nullptr) PyEval_RestoreThread(saved_);
}
