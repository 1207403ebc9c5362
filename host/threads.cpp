#include "host/threads.h"

#include <algorithm>
#include <cstdint>

#include "qm_ifc_servers.h"

namespace qmhost {

namespace {

struct ReleaseFace {
  void operator()(void* face) const { QmRelease(face); }
};

// A reference to interface I of a plug-in's object, released at scope end.
template <class I>
using Held = std::unique_ptr<I, ReleaseFace>;

// `object`'s interface I, or nothing when it is null or lacks I.
template <class I>
Held<I> QueryFace(void* object) {
  void* face = nullptr;
  if (object == nullptr || QmFailed(QmQueryInterface(object, QmInterfaceInfo<I>::guid, &face))) {
    return nullptr;
  }
  return Held<I>(static_cast<I*>(face));
}

// Hands out interface I of a new host object, whose own reference goes.
template <class I>
QmResult HandOut(HostObject* object, void** out) {
  QmResult rc = object->QueryInterface(&QmInterfaceInfo<I>::guid, out);
  object->Release();
  return rc;
}

// The first failure a piece of work met; later ones are dropped.
class FirstFailure {
 public:
  // Records `rc` when it is a failure; true when it is.
  bool Check(QmResult rc) {
    if (!QmFailed(rc)) return false;
    QmResult none = QMe_OK;
    code_.compare_exchange_strong(none, rc);
    return true;
  }
  bool Seen() const { return code_.load() != QMe_OK; }
  QmResult Code() const { return code_.load(); }

 private:
  std::atomic<QmResult> code_{QMe_OK};
};

// The shares of a piece of work, one for each thread taking part: the
// work given, then shares spawned from it.
template <class I>
class Shares {
 public:
  // QMe_INVALIDARG when `work` lacks interface I, else QMe_OK or the
  // failure of a Spawn.
  QmResult Make(void* work, unsigned count) {
    Held<I> first = QueryFace<I>(work);
    if (!first) return QMe_INVALIDARG;
    all_.push_back(std::move(first));
    while (all_.size() < count) {
      void* out = nullptr;
      QmResult rc = all_[0]->vt->Spawn(all_[0].get(), &out);
      if (QmFailed(rc)) return rc;
      if (out == nullptr) return QMe_FAILED;
      all_.emplace_back(static_cast<I*>(out));
    }
    return QMe_OK;
  }
  I* operator[](size_t i) const { return all_[i].get(); }
  unsigned Count() const { return static_cast<unsigned>(all_.size()); }

 private:
  std::vector<Held<I>> all_;
};

// The group whose job the current thread is running, if any.
thread_local const void* tRunningGroup = nullptr;

}  // namespace

// --- Mutex ------------------------------------------------------------------------

// The owner is written only by the thread that holds the mutex and compared
// by each thread with its own id, which no other thread ever writes: no
// ordering beyond the mutex's own is needed.
void Mutex::mtx_Enter() {
  mutex_.lock();
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  ++depth_;
}

void Mutex::mtx_Leave() {
  if (!HeldByCaller()) return;
  if (--depth_ == 0) owner_.store(std::thread::id(), std::memory_order_relaxed);
  mutex_.unlock();
}

bool Mutex::HeldByCaller() const {
  return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

void* Mutex::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmThreadMutex ? face_.get() : nullptr;
}

// --- Worker pool ---------------------------------------------------------------------

WorkerPool::WorkerPool(unsigned size) {
  threads_.reserve(size);
  for (unsigned i = 0; i < size; ++i) threads_.emplace_back(&WorkerPool::Run, queue_);
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> hold(queue_->lock);
    queue_->stopping = true;
  }
  queue_->wake.notify_all();
  for (auto& thread : threads_) {
    // The thread's own copy of the queue keeps it valid after the pool.
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
}

void WorkerPool::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> hold(queue_->lock);
    queue_->tasks.push_back(std::move(task));
  }
  queue_->wake.notify_one();
}

void WorkerPool::Run(const std::shared_ptr<Queue>& queue) {
  std::unique_lock<std::mutex> hold(queue->lock);
  for (;;) {
    queue->wake.wait(hold, [&] { return queue->stopping || !queue->tasks.empty(); });
    if (queue->tasks.empty()) return;
    std::function<void()> task = std::move(queue->tasks.front());
    queue->tasks.pop_front();
    hold.unlock();
    task();
    task = nullptr;  // what it held goes before the lock is taken again
    hold.lock();
  }
}

void WorkerPool::Together(unsigned helpers, const std::function<void(unsigned)>& part) {
  struct Gathering {
    std::mutex lock;
    std::condition_variable idle;
    const std::function<void(unsigned)>* part = nullptr;
    unsigned next = 0;
    unsigned active = 0;
    bool closed = false;
  };
  auto gathering = std::make_shared<Gathering>();
  gathering->part = &part;
  for (unsigned i = 0; i < helpers; ++i) {
    Post([gathering] {
      unsigned number;
      {
        std::lock_guard<std::mutex> hold(gathering->lock);
        if (gathering->closed) return;
        ++gathering->active;
        number = gathering->next++;
      }
      (*gathering->part)(number);
      std::lock_guard<std::mutex> hold(gathering->lock);
      if (--gathering->active == 0) gathering->idle.notify_all();
    });
  }
  unsigned number;
  {
    std::lock_guard<std::mutex> hold(gathering->lock);
    number = gathering->next++;
  }
  part(number);
  std::unique_lock<std::mutex> hold(gathering->lock);
  gathering->closed = true;
  gathering->idle.wait(hold, [&] { return gathering->active == 0; });
}

// --- Slots --------------------------------------------------------------------------------

ThreadSlot::ThreadSlot(uint32_t size, IQmThreadSlotClient* client)
    : size_(size), client_(client) {}

ThreadSlot::~ThreadSlot() {
  for (auto& entry : values_) Free(entry.second);
  if (client_ != nullptr) QmRelease(client_);
}

void ThreadSlot::Free(void* value) {
  if (client_ != nullptr && value != nullptr) client_->vt->Free(client_, value);
}

// Null is no value: setting it clears.  Setting the value the thread
// already holds frees nothing.
QmResult ThreadSlot::tslt_Set(void* value) {
  if (value == nullptr) return tslt_Clear();
  void* earlier = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    void*& held = values_[std::this_thread::get_id()];
    earlier = held;
    held = value;
  }
  if (earlier != value) Free(earlier);
  return QMe_OK;
}

QmResult ThreadSlot::tslt_Clear() {
  void* earlier = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = values_.find(std::this_thread::get_id());
    if (it == values_.end()) return QMe_OK;
    earlier = it->second;
    values_.erase(it);
  }
  Free(earlier);
  return QMe_OK;
}

void* ThreadSlot::ValueOf(std::thread::id thread) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = values_.find(thread);
  return it != values_.end() ? it->second : nullptr;
}

size_t ThreadSlot::Count() {
  std::lock_guard<std::mutex> hold(lock_);
  return values_.size();
}

void* ThreadSlot::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmThreadSlot ? face_.get() : nullptr;
}

// --- Groups ---------------------------------------------------------------------------------

ThreadGroup::ThreadGroup(std::shared_ptr<WorkerPool> pool) : pool_(std::move(pool)) {}

ThreadGroup::~ThreadGroup() { Stop(); }

QmResult ThreadGroup::tgrp_AddJob(void* job) {
  JobRef held = QueryFace<IQmThreadJob>(job);
  if (!held) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(run_->lock);
  jobs_.push_back(std::move(held));
  return QMe_OK;
}

uint32_t ThreadGroup::tgrp_NumJobs() {
  std::lock_guard<std::mutex> hold(run_->lock);
  return static_cast<uint32_t>(jobs_.size());
}

QmResult ThreadGroup::tgrp_Clear() {
  std::vector<JobRef> dropped;  // goes after the lock is released
  std::lock_guard<std::mutex> hold(run_->lock);
  if (!run_->unstarted.empty() || run_->running != 0) return QMe_FAILED;
  dropped.swap(jobs_);
  return QMe_OK;
}

QmResult ThreadGroup::tgrp_Execute(uint32_t threadLimit) {
  size_t runners;
  {
    std::lock_guard<std::mutex> hold(run_->lock);
    if (!run_->unstarted.empty() || run_->running != 0) return QMe_FAILED;
    run_->unstarted.assign(jobs_.begin(), jobs_.end());
    run_->limit = threadLimit != 0 ? threadLimit : pool_->Size();
    runners = std::min<size_t>(jobs_.size(), run_->limit);
  }
  for (size_t i = 0; i < runners; ++i) pool_->Post([run = run_] { RunJobs(run); });
  return QMe_OK;
}

// A runner posted for an earlier run that was killed before it started may
// still come; it leaves when the run has as many jobs running as it may.
void ThreadGroup::RunJobs(const std::shared_ptr<Run>& run) {
  std::unique_lock<std::mutex> hold(run->lock);
  while (!run->unstarted.empty() && run->running < run->limit) {
    JobRef job = std::move(run->unstarted.front());
    run->unstarted.pop_front();
    ++run->running;
    hold.unlock();
    const void* outer = tRunningGroup;
    tRunningGroup = run.get();
    job->vt->Execute(job.get());
    tRunningGroup = outer;
    job.reset();
    hold.lock();
    --run->running;
  }
  if (run->running == 0) run->finished.notify_all();
}

QmResult ThreadGroup::tgrp_Running() {
  std::lock_guard<std::mutex> hold(run_->lock);
  return !run_->unstarted.empty() || run_->running != 0 ? QMe_TRUE : QMe_FALSE;
}

// A job that waits for its own group would wait for itself forever.
QmResult ThreadGroup::tgrp_Wait() {
  if (tRunningGroup == run_.get()) return QMe_FAILED;
  std::unique_lock<std::mutex> hold(run_->lock);
  run_->finished.wait(hold, [&] { return run_->unstarted.empty() && run_->running == 0; });
  return QMe_OK;
}

QmResult ThreadGroup::tgrp_Kill() { return Stop() ? QMe_OK : QMe_FAILED; }

bool ThreadGroup::Stop() {
  std::deque<JobRef> dropped;  // goes after the lock is released
  bool wait = tRunningGroup != run_.get();
  std::unique_lock<std::mutex> hold(run_->lock);
  dropped.swap(run_->unstarted);
  run_->finished.notify_all();  // a waiter whose jobs had none running is done
  if (wait) run_->finished.wait(hold, [&] { return run_->running == 0; });
  return wait;
}

size_t ThreadGroup::Unstarted() {
  std::lock_guard<std::mutex> hold(run_->lock);
  return run_->unstarted.size();
}

void* ThreadGroup::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmThreadGroup ? face_.get() : nullptr;
}

// --- Thread service ----------------------------------------------------------------------

ThreadService::ThreadService() : main_(std::this_thread::get_id()) {}

QmResult ThreadService::NewMutex(void** out) {
  if (out == nullptr) return QMe_INVALIDARG;
  ++created_;
  return HandOut<IQmThreadMutex>(new Mutex, out);
}

QmResult ThreadService::thrd_CreateMutex(void** mutex) { return NewMutex(mutex); }
QmResult ThreadService::thrd_CreateCS(void** mutex) { return NewMutex(mutex); }

uint32_t ThreadService::thrd_NumProcs() {
  unsigned n = std::thread::hardware_concurrency();
  return n != 0 ? n : 1;
}

QmResult ThreadService::thrd_IsMainThread() {
  return std::this_thread::get_id() == main_ ? QMe_TRUE : QMe_FALSE;
}

// At least four, so that work is really shared even on a small machine.
unsigned ThreadService::PoolSize() { return std::max(4U, std::thread::hardware_concurrency()); }

std::shared_ptr<WorkerPool> ThreadService::Pool() {
  std::lock_guard<std::mutex> hold(lock_);
  if (!pool_) pool_ = std::make_shared<WorkerPool>(PoolSize());
  return pool_;
}

bool ThreadService::PoolStarted() {
  std::lock_guard<std::mutex> hold(lock_);
  return pool_ != nullptr;
}

unsigned ThreadService::Participants(uint32_t threadLimit) {
  unsigned most = PoolSize() + 1;
  return threadLimit == 0 || threadLimit > most ? most : threadLimit;
}

QmResult ThreadService::thrd_CreateSlot(uint32_t size, void* client, void** slot) {
  if (slot == nullptr) return QMe_INVALIDARG;
  *slot = nullptr;
  Held<IQmThreadSlotClient> owner = QueryFace<IQmThreadSlotClient>(client);
  if (client != nullptr && !owner) return QMe_INVALIDARG;
  return HandOut<IQmThreadSlot>(new ThreadSlot(size, owner.release()), slot);
}

QmResult ThreadService::thrd_CreateGroup(void** group) {
  if (group == nullptr) return QMe_INVALIDARG;
  return HandOut<IQmThreadGroup>(new ThreadGroup(Pool()), group);
}

QmResult ThreadService::thrd_InitThread() {
  std::lock_guard<std::mutex> hold(lock_);
  announced_.insert(std::this_thread::get_id());
  return QMe_OK;
}

void ThreadService::thrd_CleanupThread() {
  std::lock_guard<std::mutex> hold(lock_);
  announced_.erase(std::this_thread::get_id());
}

size_t ThreadService::AnnouncedThreads() {
  std::lock_guard<std::mutex> hold(lock_);
  return announced_.size();
}

// Indices go out one at a time, so a slow index holds up only its thread.
QmResult ThreadService::thrd_ProcessRange(void* worker, int32_t start, int32_t end) {
  Held<IQmThreadRangeWorker> range = QueryFace<IQmThreadRangeWorker>(worker);
  if (!range) return QMe_INVALIDARG;
  if (end <= start) return QMe_OK;
  IQmThreadRangeWorker* w = range.get();
  std::atomic<int64_t> next{start};
  FirstFailure failure;
  auto part = [&](unsigned) {
    while (!failure.Seen()) {
      int64_t index = next.fetch_add(1);
      if (index >= end) return;
      failure.Check(w->vt->Execute(w, static_cast<int32_t>(index), nullptr));
    }
  };
  int64_t count = static_cast<int64_t>(end) - start;
  Pool()->Together(static_cast<unsigned>(std::min<int64_t>(PoolSize(), count - 1)), part);
  return failure.Code();
}

// Every thread works through its own share, then takes over part of
// another's; it is done when no share has work to give.
QmResult ThreadService::thrd_ProcessShared(void* work, uint32_t threadLimit) {
  Shares<IQmSharedWork> shares;
  QmResult rc = shares.Make(work, Participants(threadLimit));
  if (QmFailed(rc)) return rc;

  const unsigned count = shares.Count();
  FirstFailure failure;
  std::mutex stealing;
  auto part = [&](unsigned number) {
    IQmSharedWork* mine = shares[number];
    for (;;) {
      for (;;) {
        if (failure.Seen()) return;
        QmResult done = mine->vt->Evaluate(mine);
        if (done == QMe_FALSE) break;
        if (failure.Check(done)) return;
      }
      bool took = false;
      std::lock_guard<std::mutex> hold(stealing);
      for (unsigned step = 1; step < count && !took; ++step) {
        QmResult moved = mine->vt->Share(mine, shares[(number + step) % count], 0);
        if (failure.Check(moved)) return;
        took = moved != QMe_FALSE;
      }
      if (!took) return;
    }
  };
  Pool()->Together(count - 1, part);
  return failure.Code();
}

// The stage is shared: State, GetWork and Advance run under one lock,
// the units themselves outside it.  The stage advances only once it has
// no unit left to take and none is still being processed.
QmResult ThreadService::thrd_ProcessWaterfall(void* waterfall, uint32_t threadLimit) {
  Shares<IQmWaterfall> shares;
  QmResult rc = shares.Make(waterfall, Participants(threadLimit));
  if (QmFailed(rc)) return rc;

  std::mutex lock;
  std::condition_variable changed;  // a stage advanced, the work went idle, or it failed
  unsigned busy = 0;                // units taken and not yet processed
  unsigned stage = 0;
  FirstFailure failure;
  auto part = [&](unsigned number) {
    IQmWaterfall* mine = shares[number];
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
      if (failure.Seen() || mine->vt->State(mine) != 0) return;
      QmResult took = mine->vt->GetWork(mine);
      if (took == QMe_FALSE) {
        if (busy == 0) {
          failure.Check(mine->vt->Advance(mine));
          ++stage;
          changed.notify_all();
        } else {
          unsigned seen = stage;
          changed.wait(hold, [&] { return failure.Seen() || busy == 0 || stage != seen; });
        }
        continue;
      }
      if (failure.Check(took)) {
        changed.notify_all();
        return;
      }
      ++busy;
      hold.unlock();
      bool failed = failure.Check(mine->vt->ProcessWork(mine));
      hold.lock();
      if (--busy == 0 || failed) changed.notify_all();
    }
  };
  Pool()->Together(shares.Count() - 1, part);
  return failure.Code();
}

void* ThreadService::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmThreadService ? face_.get() : nullptr;
}

}  // namespace qmhost
