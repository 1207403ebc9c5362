#include "interp/guard.h"

#include <atomic>

#include "module/this_module.h"

namespace {
std::atomic<unsigned long> gSwaps{0};
}

PyThreadState* SwapThreadState(PyThreadState* state) {
  ++gSwaps;
  return PyThreadState_Swap(state);
}

unsigned long ThreadStateSwapCount() { return gSwaps.load(); }

void LockInterpreter(CInterpreterManager* manager) {
  if (manager->lock == nullptr) {
    auto* lock = new CQmCritSecLock;
    auto* threads = static_cast<IQmThreadService*>(
        CQmThisModule::Get().LookupGlobal(&IID_IQmThreadService));
    void* mutex = nullptr;
    if (threads != nullptr && !QmFailed(threads->vt->CreateCS(threads, &mutex)) &&
        mutex != nullptr) {
      lock->take(mutex);
    }
    manager->lock = lock;
  }
  manager->lock->Enter();
}

void UnlockInterpreter(CInterpreterManager* manager) {
  if (manager->lock != nullptr) manager->lock->Leave();
}

CInterpreterGuard::CInterpreterGuard() : manager_(GetInterpreterManager()) {
  locked_ = true;
  LockInterpreter(manager_);
  PyThreadState* current = PyThreadState_Get();
  if (current != manager_->RootThreadState()) {
    saved_ = current;
    SwapThreadState(manager_->RootThreadState());
  }
}

CInterpreterGuard::~CInterpreterGuard() {
  if (saved_ != nullptr) SwapThreadState(saved_);
  if (locked_) UnlockInterpreter(manager_);
}
