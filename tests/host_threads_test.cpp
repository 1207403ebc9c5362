// The host's thread service as the plug-in uses it: work spread over the
// worker pool (ranges, shared work, waterfalls), groups of jobs, per-thread
// slots and announced threads, driven through the service's function table
// with work objects written the way the host writes its own objects.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "host/application.h"
#include "qm_impl_servers.h"

namespace {

using qmhost::Application;
using qmhost::HostFace;
using qmhost::HostObject;
using qmhost::Ref;
using qmhost::ThreadService;

// Polls `ready` for up to ten seconds; answers whether it came true.  Work
// objects use it to hold a thread until another has joined in, so that a
// host that never shares its work fails instead of hanging.
template <class F>
bool Eventually(F ready) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

// A wait for other threads that gives up for good once it has waited in
// vain, so that a host that never shares its work fails its test quickly
// instead of making every unit wait.
class Patience {
 public:
  template <class F>
  bool Until(F ready) {
    if (spent_.load()) return ready();
    if (Eventually(ready)) return true;
    spent_ = true;
    return false;
  }
  bool Spent() const { return spent_.load(); }

 private:
  std::atomic<bool> spent_{false};
};

// Raises `most` to `now` when `now` is more.
void RaiseTo(std::atomic<int>& most, int now) {
  int seen = most.load();
  while (now > seen && !most.compare_exchange_weak(seen, now)) {
  }
}

// Threads seen doing something.
class ThreadSet {
 public:
  void Add() {
    std::lock_guard<std::mutex> hold(lock_);
    seen_.insert(std::this_thread::get_id());
  }
  std::set<std::thread::id> Seen() {
    std::lock_guard<std::mutex> hold(lock_);
    return seen_;
  }
  bool Has(std::thread::id id) { return Seen().count(id) != 0; }
  // True once some thread other than `caller` was seen.
  bool HasOtherThan(std::thread::id caller) {
    auto seen = Seen();
    return seen.size() > seen.count(caller);
  }

 private:
  std::mutex lock_;
  std::set<std::thread::id> seen_;
};

// How often each of `size` things happened.
class Tally {
 public:
  explicit Tally(size_t size) : counts_(new std::atomic<int>[size]()), size_(size) {}
  void Add(size_t i) { ++counts_[i]; }
  int operator[](size_t i) const { return counts_[i].load(); }
  int Total() const {
    int total = 0;
    for (size_t i = 0; i < size_; ++i) total += counts_[i].load();
    return total;
  }
  // The things that did not happen exactly once.
  std::vector<size_t> NotOnce() const {
    std::vector<size_t> odd;
    for (size_t i = 0; i < size_; ++i) {
      if (counts_[i].load() != 1) odd.push_back(i);
    }
    return odd;
  }

 private:
  std::unique_ptr<std::atomic<int>[]> counts_;
  size_t size_;
};

// --- Work objects -------------------------------------------------------------------------

// A test object with the one interface I, whose methods are the overrides
// of Impl's in the class that derives from it.
template <class Impl, class I>
class WorkObject : public HostObject, public Impl {
 public:
  void* Face() { return face_.get(); }

 protected:
  void* Find(const QmGUID& iid) override {
    return iid == IID_QmBaseUnknown || iid == QmInterfaceInfo<I>::guid ? face_.get() : nullptr;
  }
  // Hands a new object out through `out`, which takes its reference.
  static QmResult HandOut(WorkObject* made, void** out) {
    QmResult rc = made->QueryInterface(&QmInterfaceInfo<I>::guid, out);
    made->Release();
    return rc;
  }

 private:
  HostFace<I> face_{this};
};

// Counts the indices of [start, end) it is given; `then` decides the answer.
class RangeWorker : public WorkObject<CQmImpl_ThreadRangeWorker, IQmThreadRangeWorker> {
 public:
  RangeWorker(int32_t start, int32_t end)
      : start_(start), size_(static_cast<size_t>(int64_t(end) - start)), tally_(size_) {}

  QmResult rngw_Execute(int32_t index, void* sharedData) override {
    if (index < start_ || static_cast<size_t>(int64_t(index) - start_) >= size_ ||
        sharedData != nullptr) {
      ++strays_;
      return QMe_OK;
    }
    tally_.Add(static_cast<size_t>(int64_t(index) - start_));
    threads.Add();
    return then ? then(index) : QMe_OK;
  }

  const Tally& Counts() const { return tally_; }
  int Strays() const { return strays_.load(); }

  std::function<QmResult(int32_t)> then;
  ThreadSet threads;

 private:
  int32_t start_;
  size_t size_;
  Tally tally_;
  std::atomic<int> strays_{0};
};

// A job of numbered units, split into shares.  A share hands units to
// another share of the same job only.
struct SharedJob {
  explicit SharedJob(size_t units) : evaluated(units) {}
  Tally evaluated;
  std::atomic<int> spawns{0};
  std::atomic<int> byOthers{0};  // units evaluated outside the first share
  ThreadSet threads;
  std::function<QmResult(size_t unit, bool first)> then;
};

using ShareObject = WorkObject<CQmImpl_SharedWork, IQmSharedWork>;

class WorkShare : public ShareObject {
 public:
  WorkShare(std::shared_ptr<SharedJob> job, std::deque<size_t> units, bool first)
      : job_(std::move(job)), units_(std::move(units)), first_(first) {}

  QmResult share_Evaluate() override {
    size_t unit;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (units_.empty()) return QMe_FALSE;
      unit = units_.front();
      units_.pop_front();
    }
    job_->evaluated.Add(unit);
    job_->threads.Add();
    if (!first_) ++job_->byOthers;
    return job_->then ? job_->then(unit, first_) : QMe_OK;
  }

  QmResult share_Spawn(void** work) override {
    ++job_->spawns;
    return HandOut(new WorkShare(job_, {}, false), work);
  }

  QmResult share_Share(void* other, uint32_t count) override {
    // Every share object of these tests is a WorkShare.
    Ref<ShareObject> object = qmhost::HostCast<ShareObject, IQmSharedWork>(other);
    auto* from = static_cast<WorkShare*>(object.get());
    if (from == nullptr || from == this || from->job_ != job_) return QMe_INVALIDARG;
    std::scoped_lock hold(lock_, from->lock_);
    size_t moving = count != 0 ? std::min<size_t>(count, from->units_.size())
                               : (from->units_.size() + 1) / 2;
    if (moving == 0) return QMe_FALSE;
    for (size_t i = 0; i < moving; ++i) {
      units_.push_back(from->units_.back());
      from->units_.pop_back();
    }
    return QMe_OK;
  }

 private:
  std::shared_ptr<SharedJob> job_;
  std::mutex lock_;
  std::deque<size_t> units_;
  bool first_;
};

// Stages of numbered units.  Besides counting, the waterfall watches the
// host: State, GetWork and Advance must never overlap, no unit may be
// processed once its stage has moved on, and a stage may move on only once
// every unit of it is processed.
struct Stages {
  explicit Stages(std::vector<unsigned> stageSizes) : sizes(std::move(stageSizes)) {
    for (unsigned size : sizes) processed.emplace_back(new Tally(size));
    done.reset(new std::atomic<unsigned>[sizes.size()]());
  }
  bool StageDone(size_t s) const { return done[s].load() == sizes[s]; }

  const std::vector<unsigned> sizes;
  std::vector<std::unique_ptr<Tally>> processed;
  std::unique_ptr<std::atomic<unsigned>[]> done;
  std::atomic<unsigned> stage{0};
  std::atomic<unsigned> taken{0};
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> disorder{0};
  std::atomic<int> working{0};
  std::atomic<int> mostWorking{0};
  std::atomic<int> spawns{0};
  ThreadSet threads;
  std::function<QmResult(unsigned stage, unsigned unit)> then;
};

class Fall : public WorkObject<CQmImpl_Waterfall, IQmWaterfall> {
 public:
  explicit Fall(std::shared_ptr<Stages> stages) : stages_(std::move(stages)) {}

  QmResult wfall_Spawn(void** work) override {
    ++stages_->spawns;
    return HandOut(new Fall(stages_), work);
  }

  uint32_t wfall_State() override {
    Alone alone(*stages_);
    return stages_->stage.load() >= stages_->sizes.size() ? 1 : 0;
  }

  QmResult wfall_GetWork() override {
    Alone alone(*stages_);
    unsigned s = stages_->stage.load();
    if (s >= stages_->sizes.size() || stages_->taken.load() >= stages_->sizes[s]) return QMe_FALSE;
    stage_ = s;
    unit_ = static_cast<int>(stages_->taken++);
    return QMe_OK;
  }

  QmResult wfall_ProcessWork() override {
    if (unit_ < 0) return QMe_FAILED;  // nothing taken
    Stages& st = *stages_;
    if (st.stage.load() != stage_) ++st.disorder;
    for (unsigned earlier = 0; earlier < stage_; ++earlier) {
      if (!st.StageDone(earlier)) ++st.disorder;
    }
    RaiseTo(st.mostWorking, ++st.working);
    st.threads.Add();
    QmResult rc = st.then ? st.then(stage_, static_cast<unsigned>(unit_)) : QMe_OK;
    st.processed[stage_]->Add(static_cast<size_t>(unit_));
    ++st.done[stage_];
    --st.working;
    unit_ = -1;
    return rc;
  }

  QmResult wfall_Advance() override {
    Alone alone(*stages_);
    unsigned s = stages_->stage.load();
    if (s >= stages_->sizes.size() || !stages_->StageDone(s)) ++stages_->disorder;
    stages_->taken = 0;
    ++stages_->stage;
    return QMe_OK;
  }

 private:
  // Notes calls into the shared stage that overlap.
  struct Alone {
    explicit Alone(Stages& stages) : stages_(stages) {
      if (stages_.inside++ != 0) ++stages_.overlaps;
    }
    ~Alone() { --stages_.inside; }
    Stages& stages_;
  };

  std::shared_ptr<Stages> stages_;
  unsigned stage_ = 0;
  int unit_ = -1;
};

class Job : public WorkObject<CQmImpl_ThreadJob, IQmThreadJob> {
 public:
  void job_Execute() override {
    ++inside_;
    if (then) then();
    ++ran_;
    --inside_;
  }
  int Ran() const { return ran_.load(); }
  int Inside() const { return inside_.load(); }

  std::function<void()> then;

 private:
  std::atomic<int> ran_{0};
  std::atomic<int> inside_{0};
};

// Lets threads through once opened; a thread waits at most ten seconds.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      open_ = true;
    }
    opened_.notify_all();
  }
  void Pass() {
    std::unique_lock<std::mutex> hold(lock_);
    opened_.wait_for(hold, std::chrono::seconds(10), [&] { return open_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable opened_;
  bool open_ = false;
};

class SlotClient : public WorkObject<CQmImpl_ThreadSlotClient, IQmThreadSlotClient> {
 public:
  QmResult tsc_Free(void* data) override {
    std::lock_guard<std::mutex> hold(lock_);
    freed_.push_back(data);
    return QMe_OK;
  }
  std::vector<void*> Freed() {
    std::lock_guard<std::mutex> hold(lock_);
    return freed_;
  }

 private:
  std::mutex lock_;
  std::vector<void*> freed_;
};

// --- Fixture --------------------------------------------------------------------------------

size_t ProcessThreads() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

// The application's thread service, with a reference.
IQmThreadService* ThreadsOf(Application& app) {
  void* out = nullptr;
  EXPECT_EQ(QmQueryInterface(app.Unknown(), IID_IQmThreadService, &out), QMe_OK);
  return static_cast<IQmThreadService*>(out);
}

class HostThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    start_ = HostObject::LiveCount();
    app_ = Ref<Application>(new Application);
    threads_ = ThreadsOf(*app_);
  }
  void TearDown() override {
    QmRelease(threads_);
    EXPECT_EQ(app_->ServiceLeaks(), "");
    app_.reset();
    EXPECT_EQ(HostObject::LiveCount(), start_);
  }

  QmResult Range(void* worker, int32_t start, int32_t end) {
    return threads_->vt->ProcessRange(threads_, worker, start, end);
  }
  QmResult Shared(void* work, uint32_t limit) {
    return threads_->vt->ProcessShared(threads_, work, limit);
  }
  QmResult Waterfall(void* waterfall, uint32_t limit) {
    return threads_->vt->ProcessWaterfall(threads_, waterfall, limit);
  }
  IQmThreadGroup* NewGroup() {
    void* out = nullptr;
    EXPECT_EQ(threads_->vt->CreateGroup(threads_, &out), QMe_OK);
    return static_cast<IQmThreadGroup*>(out);
  }
  // `count` new jobs that each do `then`, added to `group`.
  static std::vector<Ref<Job>> AddJobs(IQmThreadGroup* group, int count,
                                       const std::function<void()>& then = {}) {
    std::vector<Ref<Job>> jobs;
    for (int i = 0; i < count; ++i) {
      jobs.emplace_back(new Job);
      jobs.back()->then = then;
      EXPECT_EQ(group->vt->AddJob(group, jobs.back()->Face()), QMe_OK);
    }
    return jobs;
  }
  static int Runs(const std::vector<Ref<Job>>& jobs) {
    int runs = 0;
    for (auto& job : jobs) runs += job->Ran();
    return runs;
  }
  static std::deque<size_t> Units(size_t count) {
    std::deque<size_t> units(count);
    for (size_t i = 0; i < count; ++i) units[i] = i;
    return units;
  }

  const std::thread::id caller_ = std::this_thread::get_id();
  const unsigned pool_ = ThreadService::PoolSize();
  long start_ = 0;
  Ref<Application> app_;
  IQmThreadService* threads_ = nullptr;
};

// --- Ranges ---------------------------------------------------------------------------------

TEST_F(HostThreadsTest, ProcessRangeHandsOutEveryIndexOnce) {
  for (auto bounds : {std::pair<int32_t, int32_t>{-500, 500}, {INT32_MAX - 3, INT32_MAX},
                      {INT32_MIN, INT32_MIN + 2}, {7, 8}}) {
    SCOPED_TRACE(std::to_string(bounds.first) + ".." + std::to_string(bounds.second));
    Ref<RangeWorker> worker(new RangeWorker(bounds.first, bounds.second));
    EXPECT_EQ(Range(worker->Face(), bounds.first, bounds.second), QMe_OK);
    EXPECT_EQ(worker->Counts().NotOnce(), std::vector<size_t>{});
    EXPECT_EQ(worker->Strays(), 0);
    EXPECT_EQ(worker->RefCount(), 1U);  // the host let go of what it queried
  }
}

TEST_F(HostThreadsTest, ProcessRangeRefusesBadWorkersAndSkipsEmptyRanges) {
  Ref<RangeWorker> worker(new RangeWorker(0, 10));
  EXPECT_EQ(Range(worker->Face(), 5, 5), QMe_OK);
  EXPECT_EQ(Range(worker->Face(), 6, 2), QMe_OK);
  EXPECT_EQ(Range(worker->Face(), INT32_MAX, INT32_MIN), QMe_OK);
  EXPECT_EQ(worker->Counts().Total() + worker->Strays(), 0);

  Ref<Job> notAWorker(new Job);
  EXPECT_EQ(Range(nullptr, 0, 10), QMe_INVALIDARG);
  EXPECT_EQ(Range(notAWorker->Face(), 0, 10), QMe_INVALIDARG);
  EXPECT_EQ(notAWorker->RefCount(), 1U);
  EXPECT_EQ(notAWorker->Ran(), 0);
}

TEST_F(HostThreadsTest, ProcessRangeStopsAtAFailureAndAnswersIt) {
  Ref<RangeWorker> worker(new RangeWorker(0, 1000));
  worker->then = [](int32_t index) {
    if (index == 0) return QMe_NOTFOUND;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return QMe_OK;
  };
  EXPECT_EQ(Range(worker->Face(), 0, 1000), QMe_NOTFOUND);
  EXPECT_EQ(worker->Counts()[0], 1);
  // Only indices already under way when index 0 failed were run.
  EXPECT_LT(worker->Counts().Total(), 100);
}

TEST_F(HostThreadsTest, ProcessRangeRunsOnTheCallerAndPoolThreadsTogether) {
  Ref<RangeWorker> worker(new RangeWorker(0, 1000));
  RangeWorker* w = worker.get();
  // Each index waits until the caller and another thread have both taken
  // part: a host that works alone, or without its caller, never gets there.
  Patience patience;
  worker->then = [&](int32_t) {
    patience.Until([&] { return w->threads.Has(caller_) && w->threads.HasOtherThan(caller_); });
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    return QMe_OK;
  };
  EXPECT_EQ(Range(worker->Face(), 0, 1000), QMe_OK);
  EXPECT_FALSE(patience.Spent());
  EXPECT_EQ(worker->Counts().NotOnce(), std::vector<size_t>{});
  EXPECT_GE(worker->threads.Seen().size(), 2U);
  EXPECT_LE(worker->threads.Seen().size(), pool_ + 1);
}

TEST_F(HostThreadsTest, NestedRangesFromPoolThreadsComplete) {
  // More outer indices than pool threads, each running a range of its own,
  // so that every pool thread is busy while the inner ranges run.
  const int32_t outer = static_cast<int32_t>(pool_ * 3);
  std::vector<Ref<RangeWorker>> inner;
  for (int32_t i = 0; i < outer; ++i) inner.emplace_back(new RangeWorker(0, 100));
  Ref<RangeWorker> worker(new RangeWorker(0, outer));
  RangeWorker* w = worker.get();
  std::atomic<int> failures{0};
  Patience patience;
  worker->then = [&](int32_t index) {
    patience.Until([&] { return w->threads.HasOtherThan(caller_); });
    QmResult rc = Range(inner[static_cast<size_t>(index)]->Face(), 0, 100);
    if (rc != QMe_OK) ++failures;
    return rc;
  };
  EXPECT_EQ(Range(worker->Face(), 0, outer), QMe_OK);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(worker->threads.HasOtherThan(caller_));
  EXPECT_EQ(worker->Counts().NotOnce(), std::vector<size_t>{});
  for (auto& each : inner) EXPECT_EQ(each->Counts().NotOnce(), std::vector<size_t>{});
}

// --- Shared work --------------------------------------------------------------------------

TEST_F(HostThreadsTest, ProcessSharedSpreadsOneShareOverEveryThread) {
  auto job = std::make_shared<SharedJob>(400);
  // The first share's units wait until another share has done one, which
  // only a share that took work from the first can do.
  Patience patience;
  job->then = [&](size_t, bool first) {
    if (first) patience.Until([&] { return job->byOthers.load() > 0; });
    return QMe_OK;
  };
  Ref<WorkShare> work(new WorkShare(job, Units(400), true));
  EXPECT_EQ(Shared(work->Face(), 0), QMe_OK);
  EXPECT_EQ(job->evaluated.NotOnce(), std::vector<size_t>{});
  EXPECT_FALSE(patience.Spent());
  EXPECT_EQ(job->spawns.load(), static_cast<int>(pool_));  // caller and every pool thread
  EXPECT_EQ(work->RefCount(), 1U);
}

TEST_F(HostThreadsTest, ProcessSharedKeepsToItsThreadLimit) {
  for (uint32_t limit : {1U, 2U, 1000U}) {
    SCOPED_TRACE(limit);
    auto job = std::make_shared<SharedJob>(60);
    Ref<WorkShare> work(new WorkShare(job, Units(60), true));
    EXPECT_EQ(Shared(work->Face(), limit), QMe_OK);
    EXPECT_EQ(job->evaluated.NotOnce(), std::vector<size_t>{});
    EXPECT_EQ(job->spawns.load(), static_cast<int>(std::min(limit, pool_ + 1) - 1));
    if (limit == 1) {
      EXPECT_EQ(job->threads.Seen(), std::set<std::thread::id>{caller_});
    }
  }
}

TEST_F(HostThreadsTest, ProcessSharedAnswersTheFirstFailure) {
  auto job = std::make_shared<SharedJob>(300);
  job->then = [](size_t unit, bool) { return unit == 3 ? QMe_OUTOFBOUNDS : QMe_OK; };
  Ref<WorkShare> work(new WorkShare(job, Units(300), true));
  EXPECT_EQ(Shared(work->Face(), 1), QMe_OUTOFBOUNDS);
  EXPECT_EQ(job->evaluated.Total(), 4);  // one thread: units 0 to 3, then nothing

  // A share that cannot be spawned fails the call before any work is done.
  class Unspawnable : public WorkShare {
   public:
    using WorkShare::WorkShare;
    QmResult share_Spawn(void**) override { return QMe_OUTOFMEMORY; }
  };
  auto untouched = std::make_shared<SharedJob>(10);
  Ref<Unspawnable> lone(new Unspawnable(untouched, Units(10), true));
  EXPECT_EQ(Shared(lone->Face(), 0), QMe_OUTOFMEMORY);
  EXPECT_EQ(untouched->evaluated.Total(), 0);

  EXPECT_EQ(Shared(nullptr, 0), QMe_INVALIDARG);
  Ref<RangeWorker> notWork(new RangeWorker(0, 1));
  EXPECT_EQ(Shared(notWork->Face(), 0), QMe_INVALIDARG);
  EXPECT_EQ(notWork->RefCount(), 1U);
}

// --- Waterfalls ---------------------------------------------------------------------------

TEST_F(HostThreadsTest, ProcessWaterfallFinishesEachStageBeforeTheNext) {
  const std::vector<unsigned> sizes = {20, 1, 0, 40, 3};
  for (uint32_t limit : {0U, 2U, 1U}) {
    SCOPED_TRACE(limit);
    auto stages = std::make_shared<Stages>(sizes);
    // Units of the long stage wait for a second unit under way at the same
    // time: that needs units processed on two threads, outside the lock
    // that guards the stage.
    Patience patience;
    if (limit != 1) {
      stages->then = [&](unsigned stage, unsigned) {
        if (stage == 3) patience.Until([&] { return stages->mostWorking.load() >= 2; });
        return QMe_OK;
      };
    }
    Ref<Fall> fall(new Fall(stages));
    EXPECT_EQ(Waterfall(fall->Face(), limit), QMe_OK);
    for (size_t s = 0; s < sizes.size(); ++s) {
      EXPECT_EQ(stages->processed[s]->NotOnce(), std::vector<size_t>{}) << "stage " << s;
    }
    EXPECT_EQ(stages->stage.load(), sizes.size());  // advanced past every stage, no further
    EXPECT_EQ(stages->disorder.load(), 0);
    EXPECT_EQ(stages->overlaps.load(), 0);
    EXPECT_FALSE(patience.Spent());
    EXPECT_EQ(stages->spawns.load(), static_cast<int>(limit == 0 ? pool_ : limit - 1));
    if (limit == 1) {
      EXPECT_EQ(stages->threads.Seen(), std::set<std::thread::id>{caller_});
      EXPECT_EQ(stages->mostWorking.load(), 1);
    }
  }
}

TEST_F(HostThreadsTest, ProcessWaterfallStopsAtAFailure) {
  auto stages = std::make_shared<Stages>(std::vector<unsigned>{6, 6, 6});
  stages->then = [](unsigned stage, unsigned unit) {
    return stage == 1 && unit == 0 ? QMe_NOTFOUND : QMe_OK;
  };
  Ref<Fall> fall(new Fall(stages));
  EXPECT_EQ(Waterfall(fall->Face(), 0), QMe_NOTFOUND);
  EXPECT_EQ(stages->processed[0]->NotOnce(), std::vector<size_t>{});
  EXPECT_EQ(stages->processed[2]->Total(), 0);
  EXPECT_EQ(stages->stage.load(), 1U);
  EXPECT_EQ(stages->disorder.load(), 0);

  EXPECT_EQ(Waterfall(nullptr, 0), QMe_INVALIDARG);
  Ref<Job> notAFall(new Job);
  EXPECT_EQ(Waterfall(notAFall->Face(), 0), QMe_INVALIDARG);
}

// --- Groups -----------------------------------------------------------------------------------

TEST_F(HostThreadsTest, GroupsRunEveryJobOnceEachExecute) {
  IQmThreadGroup* group = NewGroup();
  Ref<RangeWorker> notAJob(new RangeWorker(0, 1));
  EXPECT_EQ(group->vt->AddJob(group, nullptr), QMe_INVALIDARG);
  EXPECT_EQ(group->vt->AddJob(group, notAJob->Face()), QMe_INVALIDARG);
  EXPECT_EQ(notAJob->RefCount(), 1U);
  EXPECT_EQ(group->vt->Running(group), QMe_FALSE);
  EXPECT_EQ(group->vt->Execute(group, 0), QMe_OK);  // no jobs yet
  EXPECT_EQ(group->vt->Wait(group), QMe_OK);

  std::vector<Ref<Job>> jobs = AddJobs(group, 12);
  EXPECT_EQ(group->vt->NumJobs(group), 12U);
  for (int round = 1; round <= 2; ++round) {
    EXPECT_EQ(group->vt->Execute(group, 0), QMe_OK);
    EXPECT_EQ(group->vt->Wait(group), QMe_OK);
    EXPECT_EQ(group->vt->Running(group), QMe_FALSE);
    for (auto& job : jobs) EXPECT_EQ(job->Ran(), round);
  }
  for (auto& job : jobs) EXPECT_EQ(job->RefCount(), 2U);  // ours and the group's
  QmRelease(group);
  for (auto& job : jobs) EXPECT_EQ(job->RefCount(), 1U);
}

TEST_F(HostThreadsTest, GroupsRefuseClearAndExecuteWhileRunning) {
  IQmThreadGroup* group = NewGroup();
  Gate gate;
  std::vector<Ref<Job>> jobs = AddJobs(group, 3, [&] { gate.Pass(); });
  EXPECT_EQ(group->vt->Execute(group, 0), QMe_OK);
  EXPECT_EQ(group->vt->Running(group), QMe_TRUE);
  EXPECT_EQ(group->vt->Clear(group), QMe_FAILED);
  EXPECT_EQ(group->vt->Execute(group, 0), QMe_FAILED);
  EXPECT_EQ(group->vt->NumJobs(group), 3U);
  gate.Open();
  EXPECT_EQ(group->vt->Wait(group), QMe_OK);
  EXPECT_EQ(group->vt->Running(group), QMe_FALSE);
  for (auto& job : jobs) EXPECT_EQ(job->Ran(), 1);
  EXPECT_EQ(group->vt->Clear(group), QMe_OK);
  EXPECT_EQ(group->vt->NumJobs(group), 0U);
  for (auto& job : jobs) EXPECT_EQ(job->RefCount(), 1U);
  QmRelease(group);
}

TEST_F(HostThreadsTest, KillDropsJobsNotStartedAndWaitsForTheRest) {
  IQmThreadGroup* group = NewGroup();
  Ref<qmhost::ThreadGroup> host = qmhost::HostCast<qmhost::ThreadGroup, IQmThreadGroup>(group);
  ASSERT_TRUE(host);
  Gate gate;
  std::vector<Ref<Job>> jobs = AddJobs(group, 5, [&] { gate.Pass(); });
  auto started = [&] {
    int inside = 0;
    for (auto& job : jobs) inside += job->Inside();
    return inside;
  };
  ASSERT_EQ(group->vt->Execute(group, 1), QMe_OK);  // one job at a time
  ASSERT_TRUE(Eventually([&] { return started() == 1; }));
  EXPECT_EQ(host->Unstarted(), 4U);
  // The running job goes on once Kill has dropped the others.
  std::thread opener([&] {
    Eventually([&] { return host->Unstarted() == 0; });
    gate.Open();
  });
  EXPECT_EQ(group->vt->Kill(group), QMe_OK);
  EXPECT_EQ(group->vt->Running(group), QMe_FALSE);
  opener.join();
  EXPECT_EQ(Runs(jobs), 1);
  EXPECT_EQ(group->vt->NumJobs(group), 5U);  // the group keeps its jobs

  EXPECT_EQ(group->vt->Execute(group, 0), QMe_OK);
  EXPECT_EQ(group->vt->Wait(group), QMe_OK);
  EXPECT_EQ(Runs(jobs), 6);
  host.reset();
  QmRelease(group);
}

TEST_F(HostThreadsTest, GroupsKeepToTheirThreadLimit) {
  IQmThreadGroup* group = NewGroup();
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  // Each job stays a while, giving a host that ignores the limit time to
  // start a third.
  std::vector<Ref<Job>> jobs = AddJobs(group, 6, [&] {
    RaiseTo(most, ++inside);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    --inside;
  });
  EXPECT_EQ(group->vt->Execute(group, 2), QMe_OK);
  EXPECT_EQ(group->vt->Wait(group), QMe_OK);
  EXPECT_LE(most.load(), 2);
  for (auto& job : jobs) EXPECT_EQ(job->Ran(), 1);

  // A wide run killed before any of its jobs started, then a narrow one:
  // the wide run's threads, which only start now, keep to the new limit.
  IQmThreadGroup* blocker = NewGroup();
  Gate gate;
  std::vector<Ref<Job>> busy = AddJobs(blocker, static_cast<int>(pool_), [&] { gate.Pass(); });
  ASSERT_EQ(blocker->vt->Execute(blocker, 0), QMe_OK);
  ASSERT_TRUE(Eventually([&] {
    int in = 0;
    for (auto& job : busy) in += job->Inside();
    return in == static_cast<int>(pool_);
  }));
  most = 0;
  EXPECT_EQ(group->vt->Execute(group, 0), QMe_OK);
  EXPECT_EQ(group->vt->Kill(group), QMe_OK);
  EXPECT_EQ(group->vt->Execute(group, 1), QMe_OK);
  gate.Open();
  EXPECT_EQ(group->vt->Wait(group), QMe_OK);
  EXPECT_EQ(most.load(), 1);
  for (auto& job : jobs) EXPECT_EQ(job->Ran(), 2);
  EXPECT_EQ(blocker->vt->Wait(blocker), QMe_OK);
  QmRelease(blocker);
  QmRelease(group);
}

TEST_F(HostThreadsTest, AJobCannotWaitForItsOwnGroup) {
  IQmThreadGroup* group = NewGroup();
  IQmThreadGroup* other = NewGroup();
  Ref<Job> job(new Job);
  QmResult waited = QMe_OK, killed = QMe_OK, waitedOther = QMe_FAILED;
  job->then = [&] {
    waited = group->vt->Wait(group);
    killed = group->vt->Kill(group);
    waitedOther = other->vt->Wait(other);
  };
  group->vt->AddJob(group, job->Face());
  EXPECT_EQ(group->vt->Execute(group, 0), QMe_OK);
  EXPECT_EQ(group->vt->Wait(group), QMe_OK);
  EXPECT_EQ(waited, QMe_FAILED);
  EXPECT_EQ(killed, QMe_FAILED);
  EXPECT_EQ(waitedOther, QMe_OK);

  // A job may let go of the last reference to its own group.
  std::atomic<bool> released{false};
  job->then = [&] {
    QmRelease(group);
    released = true;
  };
  EXPECT_EQ(group->vt->Execute(group, 0), QMe_OK);
  ASSERT_TRUE(Eventually([&] { return released.load(); }));
  // The group is gone; the host still holds the job until its run ends.
  EXPECT_TRUE(Eventually([&] { return job->RefCount() == 1; }));
  QmRelease(other);
}

// --- Slots ----------------------------------------------------------------------------------

TEST_F(HostThreadsTest, SlotsHandTheValuesTheyDropToTheirClient) {
  Ref<SlotClient> client(new SlotClient);
  void* out = nullptr;
  ASSERT_EQ(threads_->vt->CreateSlot(threads_, 16, client->Face(), &out), QMe_OK);
  auto* slot = static_cast<IQmThreadSlot*>(out);
  Ref<qmhost::ThreadSlot> host = qmhost::HostCast<qmhost::ThreadSlot, IQmThreadSlot>(slot);
  ASSERT_TRUE(host);
  EXPECT_EQ(host->Size(), 16U);
  EXPECT_EQ(client->RefCount(), 2U);

  int a = 0, b = 0, c = 0, d = 0;
  using Values = std::vector<void*>;
  EXPECT_EQ(slot->vt->Set(slot, &a), QMe_OK);
  EXPECT_EQ(slot->vt->Set(slot, &a), QMe_OK);  // the same value: nothing freed
  EXPECT_EQ(client->Freed(), Values{});
  EXPECT_EQ(slot->vt->Set(slot, &b), QMe_OK);
  EXPECT_EQ(client->Freed(), Values{&a});
  EXPECT_EQ(host->ValueOf(caller_), &b);

  // Another thread has a value of its own.
  std::thread::id otherId;
  std::thread other([&] {
    otherId = std::this_thread::get_id();
    slot->vt->Set(slot, &c);
  });
  other.join();
  EXPECT_EQ(host->ValueOf(otherId), &c);
  EXPECT_EQ(host->ValueOf(caller_), &b);
  EXPECT_EQ(host->Count(), 2U);

  EXPECT_EQ(slot->vt->Clear(slot), QMe_OK);
  EXPECT_EQ(client->Freed(), (Values{&a, &b}));
  EXPECT_EQ(host->ValueOf(caller_), nullptr);
  EXPECT_EQ(slot->vt->Clear(slot), QMe_OK);  // nothing left to free
  EXPECT_EQ(slot->vt->Set(slot, &d), QMe_OK);
  EXPECT_EQ(slot->vt->Set(slot, nullptr), QMe_OK);  // null is no value
  EXPECT_EQ(client->Freed(), (Values{&a, &b, &d}));
  EXPECT_EQ(slot->vt->Set(slot, &d), QMe_OK);

  host.reset();
  EXPECT_EQ(QmRelease(slot), 0U);
  Values freed = client->Freed();
  ASSERT_EQ(freed.size(), 5U);
  EXPECT_EQ(std::set<void*>(freed.begin() + 3, freed.end()), (std::set<void*>{&c, &d}));
  EXPECT_EQ(client->RefCount(), 1U);
}

TEST_F(HostThreadsTest, SlotsWorkWithoutAClientAndRefuseAWrongOne) {
  void* out = nullptr;
  ASSERT_EQ(threads_->vt->CreateSlot(threads_, 8, nullptr, &out), QMe_OK);
  auto* slot = static_cast<IQmThreadSlot*>(out);
  int a = 0, b = 0;
  EXPECT_EQ(slot->vt->Set(slot, &a), QMe_OK);
  EXPECT_EQ(slot->vt->Set(slot, &b), QMe_OK);
  EXPECT_EQ(slot->vt->Clear(slot), QMe_OK);
  EXPECT_EQ(slot->vt->Set(slot, &a), QMe_OK);
  EXPECT_EQ(QmRelease(slot), 0U);

  Ref<Job> notAClient(new Job);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(threads_->vt->CreateSlot(threads_, 8, notAClient->Face(), &out), QMe_INVALIDARG);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(notAClient->RefCount(), 1U);
  EXPECT_EQ(threads_->vt->CreateSlot(threads_, 8, nullptr, nullptr), QMe_INVALIDARG);
}

// --- Threads ----------------------------------------------------------------------------------

TEST_F(HostThreadsTest, ThreadsAnnounceThemselvesUntilCleanup) {
  ThreadService& service = app_->Threads();
  Gate cleanup;
  std::atomic<int> announced{0};
  std::vector<QmResult> answers(2, QMe_FAILED);
  std::vector<QmResult> mainThread(2, QMe_OK);
  std::vector<std::thread> started;
  for (int i = 0; i < 2; ++i) {
    started.emplace_back([&, i] {
      answers[i] = threads_->vt->InitThread(threads_);
      threads_->vt->InitThread(threads_);  // again: still one thread
      mainThread[i] = threads_->vt->IsMainThread(threads_);
      ++announced;
      cleanup.Pass();
      threads_->vt->CleanupThread(threads_);
    });
  }
  ASSERT_TRUE(Eventually([&] { return announced.load() == 2; }));
  EXPECT_EQ(service.AnnouncedThreads(), 2U);
  threads_->vt->CleanupThread(threads_);  // never announced: no change
  EXPECT_EQ(service.AnnouncedThreads(), 2U);
  cleanup.Open();
  for (auto& thread : started) thread.join();
  EXPECT_EQ(service.AnnouncedThreads(), 0U);
  EXPECT_EQ(answers, (std::vector<QmResult>{QMe_OK, QMe_OK}));
  EXPECT_EQ(mainThread, (std::vector<QmResult>{QMe_FALSE, QMe_FALSE}));
  EXPECT_EQ(threads_->vt->IsMainThread(threads_), QMe_TRUE);
}

TEST(HostThreadPoolTest, StartsAtFirstUseAndEndsWithTheService) {
  long live = HostObject::LiveCount();
  Ref<Application> app(new Application);
  IQmThreadService* threads = ThreadsOf(*app);
  size_t before = ProcessThreads();
  EXPECT_FALSE(app->Threads().PoolStarted());
  EXPECT_GE(ThreadService::PoolSize(), 4U);

  Ref<RangeWorker> worker(new RangeWorker(0, 50));
  EXPECT_EQ(threads->vt->ProcessRange(threads, worker->Face(), 0, 50), QMe_OK);
  EXPECT_TRUE(app->Threads().PoolStarted());
  EXPECT_EQ(ProcessThreads(), before + ThreadService::PoolSize());

  QmRelease(threads);
  app.reset();
  // Joined threads leave the process's list a moment after they end.
  EXPECT_TRUE(Eventually([&] { return ProcessThreads() == before; }));
  worker.reset();
  EXPECT_EQ(HostObject::LiveCount(), live);
}

TEST(HostThreadPoolTest, AJobMayOutliveTheServiceAndEndThePool) {
  long live = HostObject::LiveCount();
  Ref<Application> app(new Application);
  IQmThreadService* threads = ThreadsOf(*app);
  void* out = nullptr;
  ASSERT_EQ(threads->vt->CreateGroup(threads, &out), QMe_OK);
  auto* group = static_cast<IQmThreadGroup*>(out);
  QmRelease(threads);

  // The job lets go of the group once the service is gone: the pool then
  // ends on one of its own threads.
  Gate gate;
  std::atomic<bool> released{false};
  Ref<Job> job(new Job);
  job->then = [&] {
    gate.Pass();
    QmRelease(group);
    released = true;
  };
  ASSERT_EQ(group->vt->AddJob(group, job->Face()), QMe_OK);
  ASSERT_EQ(group->vt->Execute(group, 0), QMe_OK);
  app.reset();
  gate.Open();
  ASSERT_TRUE(Eventually([&] { return released.load(); }));
  EXPECT_TRUE(Eventually([&] { return job->RefCount() == 1; }));
  EXPECT_EQ(job->Ran(), 1);
  job.reset();
  EXPECT_EQ(HostObject::LiveCount(), live);
}

}  // namespace
