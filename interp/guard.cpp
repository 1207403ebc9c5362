#include "interp/guard.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "module/this_module.h"

namespace {
// How this thread holds the interpreter lock.
struct ThreadLock {
  int depth = 0;                         // how deep it holds it
  CInterpreterManager* owner = nullptr;  // whose it is
  int waived = 0;  // how deep it runs guarded calls without it, for a
                   // Python thread that waits for them
};
thread_local ThreadLock tLock;

// Who may hold the interpreter lock.  A host thread passes this gate before
// it enters the host's critical section, so that it can be let through
// without the lock: while a Python thread waits in a host call for work
// that other threads do, that work must not wait for the lock, whose owner
// may itself wait for the Python thread (a server's method joining a thread
// it started).  Such work is then serialised by Python's lock alone, as the
// Python thread's own calls are.
class Gate {
 public:
  // True with the gate taken; false when let through without it (only when
  // `waivable` and a Python thread waits).
  bool Take(bool waivable) {
    bool expected = false;
    if (busy_.compare_exchange_strong(expected, true)) return true;
    std::unique_lock<std::mutex> hold(mutex_);
    ++waiters_;
    for (;;) {
      expected = false;
      if (busy_.compare_exchange_strong(expected, true)) break;
      if (waivable && pythonWaits_ > 0) {
        --waiters_;
        return false;
      }
      changed_.wait(hold);
    }
    --waiters_;
    return true;
  }

  void Leave() {
    busy_.store(false);
    if (waiters_.load() > 0) {
      std::lock_guard<std::mutex> hold(mutex_);
      changed_.notify_all();
    }
  }

  // A Python thread begins or ends waiting in a host call.
  void PythonThreadWaits(int change) {
    std::lock_guard<std::mutex> hold(mutex_);
    pythonWaits_ += change;
    if (pythonWaits_ > 0) changed_.notify_all();
  }

 private:
  std::atomic<bool> busy_{false};
  std::atomic<int> waiters_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  int pythonWaits_ = 0;
};

Gate gGate;
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

CInterpreterGuard::CInterpreterGuard(CInterpreterManager* manager) : manager_(manager) {
  ThreadLock& mine = tLock;
  PyThreadState* attached = AttachedThreadState();
  if (attached == nullptr || !IsPythonThread()) {
    if (mine.waived > 0) {
      ++mine.waived;  // nested in a call let through without the lock
      waived_ = true;
    } else if (mine.depth > 0) {
      LockInterpreter(manager_);  // entered again: it never waits
      ++mine.depth;
      locked_ = true;
    } else {
      bool taken;
      {
        // Python runs here: wait for the lock with Python's lock let go,
        // so that the lock's holder can finish.
        std::optional<PythonReleased> waiting;
        if (attached != nullptr) waiting.emplace();
        taken = gGate.Take(true);
        if (taken) {
          try {
            LockInterpreter(manager_);
          } catch (...) {
            gGate.Leave();
            throw;
          }
        }
      }
      if (taken) {
        mine.depth = 1;
        mine.owner = manager_;
        locked_ = true;
      } else {
        mine.waived = 1;
        waived_ = true;
      }
    }
  }
  try {
    python_.emplace(ThreadRootState());
  } catch (...) {
    Leave();
    throw;
  }
}

CInterpreterGuard::~CInterpreterGuard() {
  python_.reset();
  Leave();
}

void CInterpreterGuard::Leave() {
  if (waived_) {
    --tLock.waived;
  } else if (locked_) {
    UnlockInterpreter(manager_);
    if (--tLock.depth == 0) gGate.Leave();
  }
}

bool CInterpreterGuard::PythonWaits() const {
  if (python_->Acquired() || python_->Swapped()) return false;
  PyThreadState* state = AttachedThreadState();
  return state != nullptr && state->frame != nullptr;
}

CReleaseInterpreter::CReleaseInterpreter()
    : pythonThread_(IsPythonThread()), depth_(tLock.depth), waived_(tLock.waived) {
  // python_ has let go of Python's lock by now.
  ThreadLock& mine = tLock;
  if (depth_ > 0) {
    manager_ = mine.owner;
    for (int i = 0; i < depth_; ++i) UnlockInterpreter(manager_);
    mine.depth = 0;
    gGate.Leave();
  }
  mine.waived = 0;
  if (pythonThread_) gGate.PythonThreadWaits(+1);
}

CReleaseInterpreter::~CReleaseInterpreter() {
  if (pythonThread_) gGate.PythonThreadWaits(-1);
  ThreadLock& mine = tLock;
  mine.waived = waived_;
  if (depth_ > 0) {
    gGate.Take(false);
    for (int i = 0; i < depth_; ++i) LockInterpreter(manager_);
    mine.depth = depth_;
  }
  // python_ takes Python's lock back after this.
}
