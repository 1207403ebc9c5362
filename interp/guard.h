// The interpreter lock and thread-state guard of every host-to-Python
// entry.
//
// One host critical section, the interpreter lock, serialises the guarded
// calls of the host's threads: one host thread at a time runs a Python
// server's method, and guards nest on one thread.  Python's own lock is
// what keeps two threads from running Python at once; it is held only
// while Python runs (see interp/threads.h).  The two are always taken in
// that order: a thread never waits for the interpreter lock while it holds
// Python's.
//
// Threads that Python started (a script's, a server's) are serialised with
// everything else by Python's lock alone: they never wait for the
// interpreter lock, which the code that started them may hold while it
// waits for them to finish.  Neither does the work such a thread waits for
// in a host call (work the host spreads over its worker threads).
#pragma once

#include "interp/python.h"

#include <optional>

#include "interp/manager.h"
#include "interp/threads.h"
#include "module/handles_thread.h"

// The host critical section behind the interpreter lock.
class CQmCritSecLock : public CQmUser_ThreadMutex {};

// Enters the interpreter lock, creating it on first use.  Without a host
// thread service the lock holds no mutex and entering it does nothing.
void LockInterpreter(CInterpreterManager* manager);
void UnlockInterpreter(CInterpreterManager* manager);

class CInterpreterGuard {
 public:
  // Takes the interpreter lock (a host thread) and runs the root
  // interpreter in this thread's own root thread state.
  CInterpreterGuard() : CInterpreterGuard(GetInterpreterManager()) {}
  // The same with a manager whose Python runs, without starting anything.
  explicit CInterpreterGuard(CInterpreterManager* manager);
  ~CInterpreterGuard();
  CInterpreterGuard(const CInterpreterGuard&) = delete;
  CInterpreterGuard& operator=(const CInterpreterGuard&) = delete;

  CInterpreterManager* Manager() const { return manager_; }
  // Whether another thread state was swapped out for the root's.
  bool Swapped() const { return python_->Swapped(); }
  // Whether Python code on this thread waits for the guarded call, in the
  // same thread state (a Python caller can see an error left pending).
  bool PythonWaits() const;

 private:
  void Leave();

  CInterpreterManager* manager_;
  bool locked_ = false;
  bool waived_ = false;  // let through without the lock (see guard.cpp)
  std::optional<PythonScope> python_;
};

// Lets go of Python's lock and of the interpreter lock, at whatever depth
// this thread holds it, for the scope: around host calls that wait for
// other threads, which may need either.  Both are taken back at the end,
// the interpreter lock first.
class CReleaseInterpreter {
 public:
  CReleaseInterpreter();
  ~CReleaseInterpreter();
  CReleaseInterpreter(const CReleaseInterpreter&) = delete;
  CReleaseInterpreter& operator=(const CReleaseInterpreter&) = delete;

 private:
  bool pythonThread_;      // told while Python's lock is still held
  PythonReleased python_;  // then let go of first, taken back last
  CInterpreterManager* manager_ = nullptr;
  int depth_;
  int waived_;
};

// Calls `call`, a host call of `receiver` that may wait for other threads,
// with both locks let go; the receiver is held meanwhile.
template <class Call>
auto WithoutPython(void* receiver, Call&& call) -> decltype(call()) {
  struct Held {
    void* object;
    explicit Held(void* o) : object(o) { QmAddRef(object); }
    ~Held() { QmRelease(object); }
  } held(receiver);
  CReleaseInterpreter released;
  return call();
}
