// The interpreter lock and thread-state guard of every host-to-Python
// entry: one host critical section serialises the entries, and each runs
// in the root interpreter's thread state.
#pragma once

#include "interp/python.h"

#include "interp/manager.h"
#include "module/handles.h"

// The host critical section behind the interpreter lock.
class CQmCritSecLock : public CQmUser_ThreadMutex {};

// Enters the interpreter lock, creating it on first use.  Without a host
// thread service the lock holds no mutex and entering it does nothing.
void LockInterpreter(CInterpreterManager* manager);
void UnlockInterpreter(CInterpreterManager* manager);

// Swaps the current thread state, counting the swaps.
PyThreadState* SwapThreadState(PyThreadState* state);
unsigned long ThreadStateSwapCount();

class CInterpreterGuard {
 public:
  CInterpreterGuard();
  ~CInterpreterGuard();
  CInterpreterGuard(const CInterpreterGuard&) = delete;
  CInterpreterGuard& operator=(const CInterpreterGuard&) = delete;

  CInterpreterManager* Manager() const { return manager_; }
  // Whether another thread state was swapped out for the root's.
  bool Swapped() const { return saved_ != nullptr; }

 private:
  CInterpreterManager* manager_;
  bool locked_ = false;
  PyThreadState* saved_ = nullptr;
};
