// Python's thread states for the threads that enter the plug-in.
//
// Python's global lock is held only while Python runs.  Once start-up is
// done the plug-in lets go of it, and every way into Python takes it again
// for its own OS thread and lets go of it on the way out, so that Python
// threads go on running while the host is busy elsewhere or idle.  Each OS
// thread runs the root interpreter in a thread state of its own, made the
// first time it needs one; script runs give it further thread states, in
// their sub-interpreters.  A thread state is only ever made current on the
// OS thread it belongs to.
//
// This file is the only one that knows how Python tells which thread
// holds its lock and how Python's own callback entry (PyGILState) finds a
// thread's state.
#pragma once

#include "interp/python.h"

// This OS thread's current thread state when the thread holds Python's
// lock; null when it does not.
PyThreadState* AttachedThreadState();

// True for an OS thread that was found holding Python's lock outside the
// plug-in's scopes (a host thread holds it only inside them): a thread
// Python started, or a thread of the host running a C callback.  It stays
// one.
bool IsPythonThread();

// The root interpreter: its state and the thread state that Py_Initialize
// made on the calling thread, which becomes that thread's own.
void SetRootInterpreter(PyInterpreterState* root, PyThreadState* initial);
// Python is about to be finalised, and every thread state with it: from
// now on no thread makes a thread state or deletes the one it kept.  The
// caller takes its own root thread state first.
void EndRootInterpreter();

// This OS thread's own thread state in the root interpreter, made on first
// need and deleted when the thread ends.  Null before start-up.
PyThreadState* ThreadRootState();

// Makes Python's callback entry (PyGILState_Ensure, used by C extensions
// such as ctypes and sqlite3) find `state` on this thread, so that a
// callback runs in the interpreter that is running here.  Returns what it
// found before, for RestoreCallbackState.  Does nothing when this Python
// build does not let the plug-in see that entry's per-thread record.
PyThreadState* NoteCallbackState(PyThreadState* state);
void RestoreCallbackState(PyThreadState* previous, PyThreadState* noted);

// Swaps the current thread state, counting the swaps (for tests).
PyThreadState* SwapThreadState(PyThreadState* state);
unsigned long ThreadStateSwapCount();

// Runs Python on this thread in `state` (a thread state of this thread)
// for the scope: takes Python's lock when the thread does not hold it,
// otherwise swaps `state` in.  The end of the scope restores exactly what
// was before.  With a null `state` (the `Current` form) a thread that holds
// Python keeps its current thread state and one that does not takes its
// own root thread state.
class PythonScope {
 public:
  explicit PythonScope(PyThreadState* state);
  struct Current {};
  explicit PythonScope(Current);
  ~PythonScope();
  PythonScope(const PythonScope&) = delete;
  PythonScope& operator=(const PythonScope&) = delete;

  // Whether the scope took Python's lock, or swapped another state out.
  bool Acquired() const { return acquired_; }
  bool Swapped() const { return previous_ != nullptr; }
  // Leaves Python as it is at the end: Python was finalised inside.
  void Abandon() { abandoned_ = true; }

 private:
  void Enter(PyThreadState* state);

  PyThreadState* state_ = nullptr;
  PyThreadState* previous_ = nullptr;   // swapped out, restored at the end
  PyThreadState* callbacks_ = nullptr;  // what PyGILState found before
  bool acquired_ = false;
  bool noted_ = false;
  bool abandoned_ = false;
};

// Lets go of Python's lock for the scope when this thread holds it, and
// takes it back (with the same thread state) at the end.
class PythonReleased {
 public:
  PythonReleased();
  ~PythonReleased();
  PythonReleased(const PythonReleased&) = delete;
  PythonReleased& operator=(const PythonReleased&) = delete;

 private:
  PyThreadState* saved_ = nullptr;
};
