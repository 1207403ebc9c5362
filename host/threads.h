// The host's threads: its mutex, a pool of worker threads, per-thread
// slots, groups of jobs, and the thread service that spreads the plug-in's
// work over the pool.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "host/object.h"
#include "qm_impl_thread.h"

namespace qmhost {

// A mutex that its owning thread may enter again; Leave by a thread that
// does not hold it is ignored.
class Mutex : public HostObject, public CQmImpl_ThreadMutex {
 public:
  void mtx_Enter() override;
  void mtx_Leave() override;

  bool HeldByCaller() const;
  unsigned Depth() const { return depth_; }

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  HostFace<IQmThreadMutex> face_{this};
  std::recursive_mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  unsigned depth_ = 0;
};

// Worker threads that run posted tasks in order.  The destructor runs what
// is still queued, then joins the threads (a thread that destroys its own
// pool leaves instead of joining itself).
class WorkerPool {
 public:
  explicit WorkerPool(unsigned size);
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool();

  unsigned Size() const { return static_cast<unsigned>(threads_.size()); }
  void Post(std::function<void()> task);

  // Runs `part` on the calling thread and offers it to `helpers` pool
  // threads; returns once the caller's part is done and every helper that
  // started its part has finished it.  A helper that starts only after the
  // caller's part is done does nothing, so the call never waits for a pool
  // thread that is busy elsewhere.  Each part gets its own number, from 0.
  void Together(unsigned helpers, const std::function<void(unsigned)>& part);

 private:
  struct Queue {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    bool stopping = false;
  };
  static void Run(const std::shared_ptr<Queue>& queue);

  std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
  std::vector<std::thread> threads_;
};

// One pointer value per thread.  The client (may be absent) frees the
// values the slot lets go of: on Set over an earlier value, on Clear, and
// for every value left when the slot goes away.
class ThreadSlot : public HostObject, public CQmImpl_ThreadSlot {
 public:
  // Adopts the reference to `client`, which may be null.
  ThreadSlot(uint32_t size, IQmThreadSlotClient* client);
  ~ThreadSlot() override;

  QmResult tslt_Set(void* value) override;
  QmResult tslt_Clear() override;

  // The value of `thread`, null when it has none.
  void* ValueOf(std::thread::id thread);
  size_t Count();
  uint32_t Size() const { return size_; }

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  void Free(void* value);

  HostFace<IQmThreadSlot> face_{this};
  const uint32_t size_;
  IQmThreadSlotClient* const client_;
  std::mutex lock_;
  std::map<std::thread::id, void*> values_;
};

// Jobs run on the pool.  The group keeps its jobs; each Execute runs every
// one of them once.  A job's last reference goes with its last holder,
// never while a lock is held.
class ThreadGroup : public HostObject, public CQmImpl_ThreadGroup {
 public:
  explicit ThreadGroup(std::shared_ptr<WorkerPool> pool);
  ~ThreadGroup() override;

  QmResult tgrp_AddJob(void* job) override;
  uint32_t tgrp_NumJobs() override;
  QmResult tgrp_Clear() override;
  QmResult tgrp_Execute(uint32_t threadLimit) override;
  QmResult tgrp_Running() override;
  QmResult tgrp_Wait() override;
  QmResult tgrp_Kill() override;

  // Jobs of the current run that no thread has started yet.
  size_t Unstarted();

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  using JobRef = std::shared_ptr<IQmThreadJob>;  // releases the job when the last goes

  // What the pool threads running the jobs share with the group; it
  // outlives the group while they run.  Its lock guards the group's jobs too.
  struct Run {
    std::mutex lock;
    std::condition_variable finished;
    std::deque<JobRef> unstarted;
    unsigned running = 0;
    unsigned limit = 0;  // of jobs running at once
  };
  static void RunJobs(const std::shared_ptr<Run>& run);
  // Drops the unstarted jobs; unless the caller is one of the jobs, waits
  // for the running ones.  True when it waited.
  bool Stop();

  HostFace<IQmThreadGroup> face_{this};
  std::shared_ptr<WorkerPool> pool_;
  std::shared_ptr<Run> run_ = std::make_shared<Run>();
  std::vector<JobRef> jobs_;
};

class ThreadService : public HostObject, public CQmImpl_ThreadService {
 public:
  ThreadService();
  QmResult thrd_CreateMutex(void** mutex) override;
  QmResult thrd_CreateCS(void** mutex) override;
  uint32_t thrd_NumProcs() override;
  QmResult thrd_IsMainThread() override;
  QmResult thrd_CreateSlot(uint32_t size, void* client, void** slot) override;
  QmResult thrd_CreateGroup(void** group) override;
  QmResult thrd_InitThread() override;
  void thrd_CleanupThread() override;
  QmResult thrd_ProcessShared(void* work, uint32_t threadLimit) override;
  QmResult thrd_ProcessRange(void* worker, int32_t start, int32_t end) override;
  QmResult thrd_ProcessWaterfall(void* waterfall, uint32_t threadLimit) override;

  unsigned MutexesCreated() const { return created_; }
  // Threads that announced themselves with InitThread and have not yet
  // called CleanupThread.
  size_t AnnouncedThreads();
  // The number of worker threads the pool has once started.
  static unsigned PoolSize();
  bool PoolStarted();

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  QmResult NewMutex(void** out);
  std::shared_ptr<WorkerPool> Pool();
  // How many threads, the caller included, take part in work limited to
  // `threadLimit` threads (0: no limit).
  unsigned Participants(uint32_t threadLimit);

  HostFace<IQmThreadService> face_{this};
  std::thread::id main_;
  std::atomic<unsigned> created_{0};
  std::mutex lock_;
  std::shared_ptr<WorkerPool> pool_;
  std::set<std::thread::id> announced_;
};

}  // namespace qmhost
