#include "interp/guard.h"

#include <atomic>
#include <mutex>

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
  CQmCritSecLock* lock = __atomic_load_n(&manager->lock, __ATOMIC_ACQUIRE);
  if (lock == nullptr) {
    // The first guarded entries may come from several host threads at
    // once: exactly one of them makes the critical section.
    static std::mutex creating;
    std::lock_guard<std::mutex> hold(creating);
    lock = manager->lock;
    if (lock == nullptr) {
      lock = new CQmCritSecLock;
      auto* threads = static_cast<IQmThreadService*>(
          CQmThisModule::Get().LookupGlobal(&IID_IQmThreadService));
      void* mutex = nullptr;
      if (threads != nullptr && !QmFailed(threads->vt->CreateCS(threads, &mutex)) &&
          mutex != nullptr) {
        lock->take(mutex);
      }
      __atomic_store_n(&manager->lock, lock, __ATOMIC_RELEASE);
    }
  }
  lock->Enter();
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
