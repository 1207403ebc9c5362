#include "interp/guard.h"

#include <mutex>

#include "module/this_module.h"

namespace {
// How deep this thread holds the interpreter lock, and whose it is.
thread_local int tLockDepth = 0;
thread_local CInterpreterManager* tLockOwner = nullptr;
}  // namespace

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
  PyThreadState* attached = AttachedThreadState();
  if (attached == nullptr || !IsPythonThread()) {
    if (attached != nullptr && tLockDepth == 0) {
      // Python runs here but the lock may be busy: wait for it with
      // Python's lock let go, so that its holder can finish.
      PythonReleased waiting;
      LockInterpreter(manager_);
    } else {
      LockInterpreter(manager_);
    }
    locked_ = true;
    if (tLockDepth++ == 0) tLockOwner = manager_;
  }
  try {
    python_.emplace(ThreadRootState());
  } catch (...) {
    if (locked_) {
      --tLockDepth;
      UnlockInterpreter(manager_);
    }
    throw;
  }
}

CInterpreterGuard::~CInterpreterGuard() {
  python_.reset();
  if (locked_) {
    --tLockDepth;
    UnlockInterpreter(manager_);
  }
}

bool CInterpreterGuard::PythonWaits() const {
  if (python_->Acquired() || python_->Swapped()) return false;
  PyThreadState* state = AttachedThreadState();
  return state != nullptr && state->frame != nullptr;
}

CReleaseInterpreter::CReleaseInterpreter() : depth_(tLockDepth) {
  if (depth_ == 0) return;
  manager_ = tLockOwner;
  for (int i = 0; i < depth_; ++i) UnlockInterpreter(manager_);
  tLockDepth = 0;
}

CReleaseInterpreter::~CReleaseInterpreter() {
  if (depth_ == 0) return;
  for (int i = 0; i < depth_; ++i) LockInterpreter(manager_);
  tLockDepth = depth_;
}
