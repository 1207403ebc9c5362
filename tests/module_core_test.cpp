// The host object layer from inside the plug-in: factories, records,
// handles, the server table and the global service cache, exercised with
// the reference host's objects.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/application.h"
#include "module/export.h"
#include "module/handle.h"
#include "module/polymorph.h"
#include "module/tags.h"
#include "module/this_module.h"
#include "qm_loc_channel.h"
#include "qm_loc_thread.h"

namespace {

// A server with two interfaces that counts its live instances.
class Widget : public CQmImpl_TagDescription, public CQmImpl_NeedContext {
 public:
  static int live;
  Widget() { ++live; }
  ~Widget() override { --live; }
  uint32_t tag_Count() override { return 7; }
  QmResult need_SetContext(void*) override { throw QMe_ABORT; }
};
int Widget::live = 0;

CQmPolymorph<Widget>* NewWidgetFactory() {
  auto* f = new CQmPolymorph<Widget>;
  f->AddInterface<IQmTagDescription>();
  f->AddInterface<IQmNeedContext>();
  return f;
}

// Server factories live as long as the library; these live as long as the
// test process.
CQmGenericPolymorph* KeptWidgetFactory() {
  static std::vector<std::unique_ptr<CQmGenericPolymorph>> kept;
  kept.emplace_back(NewWidgetFactory());
  return kept.back().get();
}

// A factory whose instances all share one implementation that outlives it.
class Gadget : public CQmImpl_TagDescription {
 public:
  uint32_t tag_Count() override { return 5; }
};
Gadget gSharedGadget;

class GadgetFactory : public CQmGenericPolymorph {
 public:
  GadgetFactory() { AddInterface(CQmMakeDescriptor<IQmTagDescription, Gadget>()); }
  void* NewObject() override { return &gSharedGadget; }
  void FreeObject(void*) override { ++freed; }
  static int freed;
};
int GadgetFactory::freed = 0;

TEST(Factory, SpawnsTheFirstInterfaceForNoGuidOrTheBaseUnknown) {
  CQmPolymorph<Widget>* f = NewWidgetFactory();
  for (const QmGUID* iid : {static_cast<const QmGUID*>(nullptr), &IID_QmBaseUnknown}) {
    auto* tags = static_cast<IQmTagDescription*>(f->Spawn(iid));
    ASSERT_NE(tags, nullptr);
    EXPECT_EQ(tags->vt->Count(tags), 7U);
    EXPECT_EQ(Widget::live, 1);
    EXPECT_EQ(QmRelease(tags), 0U);
    EXPECT_EQ(Widget::live, 0);
  }
  auto* need = static_cast<IQmNeedContext*>(f->Spawn(&IID_IQmNeedContext));
  ASSERT_NE(need, nullptr);
  // A result code thrown by the implementation comes back as the result.
  EXPECT_EQ(need->vt->SetContext(need, nullptr), QMe_ABORT);
  QmRelease(need);
  delete f;
}

TEST(Factory, SpawnForAnInterfaceNotOfferedMakesNoInstance) {
  CQmPolymorph<Widget>* f = NewWidgetFactory();
  EXPECT_EQ(f->Spawn(&IID_IQmModule), nullptr);
  EXPECT_EQ(Widget::live, 0);
  EXPECT_FALSE(f->HasInstances());
  CQmPolymorph<Widget> empty;
  EXPECT_EQ(empty.Spawn(nullptr), nullptr);
  EXPECT_EQ(Widget::live, 0);
  delete f;
}

TEST(Factory, EachQueryMakesARecordAndTheLastReleaseFreesTheInstance) {
  CQmPolymorph<Widget>* f = NewWidgetFactory();
  void* first = f->Spawn(nullptr);
  void* a = nullptr;
  void* b = nullptr;
  void* c = nullptr;
  ASSERT_EQ(QmQueryInterface(first, IID_IQmNeedContext, &a), QMe_OK);
  ASSERT_EQ(QmQueryInterface(first, IID_IQmNeedContext, &b), QMe_OK);
  ASSERT_EQ(QmQueryInterface(a, IID_QmBaseUnknown, &c), QMe_OK);
  EXPECT_NE(a, b);
  EXPECT_NE(c, first);
  EXPECT_EQ(static_cast<IQmTagDescription*>(c)->vt->Count(c), 7U);
  void* none = nullptr;
  EXPECT_EQ(QmQueryInterface(first, IID_IQmModule, &none), QMe_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(f->InstanceCount(), 1U);

  EXPECT_EQ(QmAddRef(a), 2U);
  for (void* p : {first, a, a, b}) {
    QmRelease(p);
    EXPECT_EQ(Widget::live, 1);
  }
  EXPECT_EQ(QmRelease(c), 0U);
  EXPECT_EQ(Widget::live, 0);
  EXPECT_FALSE(f->HasInstances());
  delete f;
}

TEST(Factory, RecordsOutliveAFactoryThatIsDestroyed) {
  auto* f = new GadgetFactory;
  void* object = f->Spawn(nullptr);
  void* second = f->Spawn(nullptr);
  delete f;
  // Cut loose: the records still answer their calls, but no interface query.
  EXPECT_EQ(static_cast<IQmTagDescription*>(object)->vt->Count(object), 5U);
  void* other = nullptr;
  EXPECT_EQ(QmQueryInterface(object, IID_IQmTagDescription, &other), QMe_NOINTERFACE);
  EXPECT_EQ(QmRelease(object), 0U);
  EXPECT_EQ(static_cast<IQmTagDescription*>(second)->vt->Count(second), 5U);
  EXPECT_EQ(QmRelease(second), 0U);
  EXPECT_EQ(GadgetFactory::freed, 0);  // nothing left to free them with
}

TEST(ServerTable, GenerateMatchesNameExactlyAndThePrimaryInterface) {
  CQmThisModule& module = CQmThisModule::Get();
  auto* mod = static_cast<IQmModule*>(_IQmModule_Create());
  ASSERT_NE(mod, nullptr);
  module.AddServer("widget", KeptWidgetFactory());
  module.AddLocalFactory("hidden", NewWidgetFactory());

  void* out = nullptr;
  ASSERT_EQ(mod->vt->Generate(mod, "widget", &IID_IQmTagDescription, &out), QMe_OK);
  EXPECT_EQ(static_cast<IQmTagDescription*>(out)->vt->Count(out), 7U);
  QmRelease(out);
  out = nullptr;
  EXPECT_EQ(mod->vt->Generate(mod, "Widget", &IID_IQmTagDescription, &out), QMe_NOTFOUND);
  EXPECT_EQ(mod->vt->Generate(mod, "widget ", &IID_IQmTagDescription, &out), QMe_NOTFOUND);
  // The second interface is offered by the server but is not its primary.
  EXPECT_EQ(mod->vt->Generate(mod, "widget", &IID_IQmNeedContext, &out), QMe_NOTFOUND);
  EXPECT_EQ(mod->vt->Generate(mod, "widget", &IID_QmBaseUnknown, &out), QMe_NOTFOUND);
  // Private factories are found by the plug-in only.
  EXPECT_EQ(mod->vt->Generate(mod, "hidden", &IID_IQmTagDescription, &out), QMe_NOTFOUND);
  EXPECT_EQ(out, nullptr);
  EXPECT_NE(module.FindLocalFactory("hidden"), nullptr);
  EXPECT_EQ(module.FindLocalFactory("widget"), nullptr);
  EXPECT_NE(module.FindServer("widget"), nullptr);
  EXPECT_EQ(module.FindServer("hidden"), nullptr);
  EXPECT_EQ(Widget::live, 0);
  QmRelease(mod);
}

TEST(ServerTable, DescribeListsServersInOrderAndStopsAtTheCount) {
  CQmThisModule& module = CQmThisModule::Get();
  void* mod = _IQmModule_Create();
  uint32_t base = module.ServerCount();
  std::vector<std::string> names;
  for (int i = 0; i < 45; ++i) names.push_back("server" + std::to_string(i));
  for (const auto& n : names) module.AddServer(n.c_str(), KeptWidgetFactory());
  EXPECT_EQ(module.ServerCount(), base + 45);
  EXPECT_EQ(module.ServerCapacity() % 20, 0U);
  EXPECT_GE(module.ServerCapacity(), module.ServerCount());

  void* t = nullptr;
  ASSERT_EQ(QmQueryInterface(mod, IID_IQmTagDescription, &t), QMe_OK);
  auto* tags = static_cast<IQmTagDescription*>(t);
  ASSERT_EQ(tags->vt->Count(tags), base + 45);
  QmTagInfo entry{};
  ASSERT_EQ(tags->vt->Describe(tags, base + 44, &entry), QMe_OK);
  EXPECT_STREQ(entry.name, "server");
  EXPECT_STREQ(entry.value, "server44");
  EXPECT_EQ(*entry.guid, IID_IQmTagDescription);
  EXPECT_EQ(tags->vt->Describe(tags, base + 45, &entry), QMe_OUTOFBOUNDS);
  QmRelease(t);
  QmRelease(mod);
}

TEST(StaticTags, DescribeRefusesIndexesAtOrBeyondTheCount) {
  static const QmTagInfo kTable[] = {
      {"server.username", "Widgets", nullptr}, {"loader.dosPattern", "*.w", nullptr}, {}};
  CQmStaticTags tags(kTable);
  EXPECT_EQ(tags.tag_Count(), 2U);
  QmTagInfo entry{};
  ASSERT_EQ(tags.tag_Describe(1, &entry), QMe_OK);
  EXPECT_STREQ(entry.name, "loader.dosPattern");
  EXPECT_STREQ(entry.value, "*.w");
  EXPECT_EQ(entry.guid, nullptr);
  EXPECT_EQ(tags.tag_Describe(2, &entry), QMe_OUTOFBOUNDS);
  EXPECT_EQ(tags.tag_Describe(3, &entry), QMe_OUTOFBOUNDS);
}

// --- Handles --------------------------------------------------------------

class HandleTest : public ::testing::Test {
 protected:
  void* Service(const QmGUID& iid) {
    void* out = nullptr;
    EXPECT_EQ(app_->QueryInterface(&iid, &out), QMe_OK);
    return out;
  }
  qmhost::Ref<qmhost::Application> app_{new qmhost::Application};
};

TEST_F(HandleTest, SetHoldsOnlyObjectsWithTheInterface) {
  uint32_t before = app_->Guids().RefCount();
  {
    CQmLoc_GUIDService handle;
    void* guids = Service(IID_IQmGUIDService);
    void* threads = Service(IID_IQmThreadService);
    EXPECT_TRUE(handle.set(guids));
    EXPECT_TRUE(handle.test());
    EXPECT_EQ(app_->Guids().RefCount(), before + 2);  // ours and the handle's
    EXPECT_FALSE(handle.set(threads));                // no GUID interface: emptied
    EXPECT_FALSE(handle.test());
    EXPECT_EQ(handle.raw(), nullptr);
    EXPECT_EQ(app_->Guids().RefCount(), before + 1);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(handle.get(&out), QMe_NOTFOUND);
    EXPECT_FALSE(handle.set(nullptr));

    EXPECT_TRUE(handle.set(guids));
    CQmLoc_GUIDService copy;
    copy.copy(handle);
    EXPECT_EQ(copy.raw(), handle.raw());
    ASSERT_EQ(handle.get(&out), QMe_OK);
    EXPECT_EQ(out, handle.raw());
    EXPECT_EQ(app_->Guids().RefCount(), before + 4);
    QmRelease(out);
    QmRelease(guids);
    QmRelease(threads);
  }
  EXPECT_EQ(app_->Guids().RefCount(), before);  // destruction released the rest
}

TEST_F(HandleTest, TakeAdoptsTheCallersReference) {
  uint32_t before = app_->Threads().RefCount();
  CQmLoc_ThreadService handle;
  EXPECT_TRUE(handle.take(Service(IID_IQmThreadService)));
  EXPECT_EQ(app_->Threads().RefCount(), before + 1);
  // Taking an object without the interface empties the handle and still
  // releases the given reference.
  EXPECT_FALSE(handle.take(Service(IID_IQmHostService)));
  EXPECT_EQ(app_->Threads().RefCount(), before);
  EXPECT_EQ(app_->Host().RefCount(), 1U);
  EXPECT_FALSE(handle.take(nullptr));
}

TEST_F(HandleTest, UnknownHandleHoldsWhateverItIsGiven) {
  uint32_t before = app_->Host().RefCount();
  CQmLoc_Unknown handle;
  void* host = Service(IID_IQmHostService);
  EXPECT_TRUE(handle.set(host));
  EXPECT_EQ(handle.raw(), host);  // no interface asked: the same pointer
  EXPECT_EQ(app_->Host().RefCount(), before + 2);
  EXPECT_TRUE(handle.take(host));  // adopts our reference
  EXPECT_EQ(app_->Host().RefCount(), before + 1);
  EXPECT_FALSE(handle.set(nullptr));
  EXPECT_EQ(app_->Host().RefCount(), before);
}

// --- Global cache ------------------------------------------------------------

// A service of its own GUID, for filling the cache.
class NumberedService : public qmhost::HostObject, public CQmImpl_HostService {
 public:
  explicit NumberedService(const QmGUID& guid) : guid_(guid) {}

 protected:
  void* Find(const QmGUID& iid) override {
    return iid == guid_ || iid == IID_QmBaseUnknown ? face_.get() : nullptr;
  }

 private:
  QmGUID guid_;
  qmhost::HostFace<IQmHostService> face_{this};
};

QmGUID Numbered(unsigned n) {
  QmGUID g = {0xC0FFEE00U + n, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  return g;
}

class CacheTest : public HandleTest {
 protected:
  void SetUp() override {
    app_->AddRef();
    cache_.SetContext(app_->Unknown());
  }

  // Gives the application `n` numbered services and notes the face each is
  // answered with.
  void AddNumberedServices(unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
      guids_.push_back(Numbered(i));
      services_.emplace_back(new NumberedService(guids_.back()));
      app_->AddService(guids_.back(), services_.back().get());
      void* face = Service(guids_.back());
      faces_.push_back(face);
      QmRelease(face);
    }
  }

  CQmGlobalCache cache_;
  std::vector<QmGUID> guids_;
  std::vector<qmhost::Ref<NumberedService>> services_;
  std::vector<void*> faces_;
};

// Keeps the calling thread to one of the processors the test may use, the
// `index`-th modulo their number, so that threads given different indexes
// run side by side even when other work takes up some of the processors.
void KeepToProcessor(unsigned index) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  const int count = CPU_COUNT(&allowed);
  if (count < 2) return;
  int wanted = static_cast<int>(index % static_cast<unsigned>(count));
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed) || wanted-- != 0) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    return;
  }
}

// Where `count` threads meet, as often as they like: each call returns once
// all of them have arrived.  Early ones watch for the last for a while, so
// that all set off at the same moment, then sleep, so that on a busy machine
// they leave the processor to the ones still to come.
class Rendezvous {
 public:
  explicit Rendezvous(unsigned count) : count_(count), waiting_(count) {}
  void ArriveAndWait() {
    const unsigned meeting = meeting_.load();
    if (waiting_.fetch_sub(1) == 1) {
      waiting_.store(count_);
      std::lock_guard<std::mutex> hold(lock_);
      meeting_.fetch_add(1);
      all_.notify_all();
      return;
    }
    for (unsigned spin = 0; spin < (1U << 16); ++spin) {
      if (meeting_.load() != meeting) return;
    }
    std::unique_lock<std::mutex> hold(lock_);
    all_.wait(hold, [&] { return meeting_.load() != meeting; });
  }

 private:
  const unsigned count_;
  std::atomic<unsigned> waiting_;
  std::atomic<unsigned> meeting_{0};
  std::mutex lock_;
  std::condition_variable all_;
};

TEST_F(CacheTest, SecondLookupDoesNotAskTheHostAgain) {
  void* host = cache_.LookupGlobal(&IID_IQmHostService);
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(app_->QueryCount(IID_IQmHostService), 1U);
  EXPECT_EQ(cache_.LookupGlobal(&IID_IQmHostService), host);
  EXPECT_EQ(cache_.LookupGlobalByText("525802a6-bf5f-46e9-9863-c03b54a3d908"), host);
  EXPECT_EQ(app_->QueryCount(IID_IQmHostService), 1U);
  EXPECT_EQ(cache_.CachedCount(), 1U);
  EXPECT_EQ(app_->Threads().MutexesCreated(), 1U);  // the cache's own mutex
  EXPECT_EQ(app_->Host().RefCount(), 2U);
  cache_.DeleteState();
  EXPECT_EQ(app_->Host().RefCount(), 1U);
  EXPECT_EQ(app_->RefCount(), 1U);
  EXPECT_EQ(app_->ServiceLeaks(), "");
}

TEST_F(CacheTest, MissingServicesAreAskedForEachTime) {
  const QmGUID missing = Numbered(9999);
  EXPECT_EQ(cache_.LookupGlobal(&missing), nullptr);
  EXPECT_EQ(cache_.LookupGlobal(&missing), nullptr);
  EXPECT_EQ(app_->QueryCount(missing), 2U);
  EXPECT_EQ(cache_.LookupGlobal(nullptr), nullptr);
  EXPECT_EQ(cache_.LookupGlobalByText("not a guid"), nullptr);
  EXPECT_EQ(cache_.CachedCount(), 0U);
}

TEST_F(CacheTest, TheHundredAndFirstServiceIsAnsweredWithoutBeingCached) {
  std::vector<qmhost::Ref<NumberedService>> services;
  for (unsigned i = 0; i < 101; ++i) {
    services.emplace_back(new NumberedService(Numbered(i)));
    app_->AddService(Numbered(i), services.back().get());
  }
  for (unsigned i = 0; i < 101; ++i) {
    QmGUID g = Numbered(i);
    EXPECT_NE(cache_.LookupGlobal(&g), nullptr) << i;
  }
  EXPECT_EQ(cache_.CachedCount(), CQmGlobalCache::kCapacity);
  QmGUID last = Numbered(100);
  QmGUID first = Numbered(0);
  EXPECT_NE(cache_.LookupGlobal(&last), nullptr);
  EXPECT_EQ(app_->QueryCount(last), 2U);  // asked again: not cached
  EXPECT_NE(cache_.LookupGlobal(&first), nullptr);
  EXPECT_EQ(app_->QueryCount(first), 1U);
  EXPECT_EQ(services[100]->RefCount(), 2U);  // ours and the application's
  EXPECT_EQ(services[0]->RefCount(), 3U);    // the cache holds the cached ones
  cache_.DeleteState();
  EXPECT_EQ(services[0]->RefCount(), 2U);
}

TEST_F(CacheTest, ReadersNeverSeeAnEntryBeforeItIsWritten) {
  // Round after round, a writer fills a fresh cache while a reader looks up
  // services already cached and the one being added, which it looks for
  // through every published entry before it takes the lock.
  constexpr unsigned kRounds = 16000;
  const unsigned n = CQmGlobalCache::kCapacity;
  AddNumberedServices(n);
  const QmGUID missing = Numbered(9999);
  std::unique_ptr<CQmGlobalCache> cache;  // this round's, set out by the writer
  std::atomic<unsigned> added{0};         // services the writer has been answered
  std::atomic<unsigned> wrong{0};
  std::atomic<unsigned> miscounted{0};
  Rendezvous meet(2);
  std::thread writer([&] {
    KeepToProcessor(0);
    for (unsigned round = 0; round < kRounds; ++round) {
      cache = std::make_unique<CQmGlobalCache>();
      app_->AddRef();
      cache->SetContext(app_->Unknown());
      // The GUID service and the mutex are made here, before the reader
      // starts; the table stays empty.
      if (cache->LookupGlobal(&missing) != nullptr) ++wrong;
      added.store(0);
      meet.ArriveAndWait();  // the round starts
      for (unsigned i = 0; i < n; ++i) {
        if (cache->LookupGlobal(&guids_[i]) != faces_[i]) ++wrong;
        added.store(i + 1);
      }
      meet.ArriveAndWait();  // the reader is done with the cache
      if (cache->CachedCount() != n) ++miscounted;
      cache.reset();
    }
  });
  std::thread reader([&] {
    KeepToProcessor(1);
    for (unsigned round = 0; round < kRounds; ++round) {
      meet.ArriveAndWait();
      // Bounded, so that a writer kept off the processor costs little.
      for (unsigned k = 0; k < 4 * n; ++k) {
        unsigned have = added.load();
        if (have == n) break;
        // A varying number of cached ones keeps the reader from falling
        // into step with the writer.
        for (unsigned j = 0; have > 0 && j < k % 5; ++j) {
          unsigned i = (k + j) % have;
          if (cache->LookupGlobal(&guids_[i]) != faces_[i]) ++wrong;
        }
        if (cache->LookupGlobal(&guids_[have]) != faces_[have]) ++wrong;
      }
      meet.ArriveAndWait();
    }
  });
  writer.join();
  reader.join();
  EXPECT_EQ(wrong.load(), 0U);
  EXPECT_EQ(miscounted.load(), 0U);
  // Each service was asked for once here and once in every round.
  for (unsigned i = 0; i < n; ++i) EXPECT_EQ(app_->QueryCount(guids_[i]), kRounds + 1) << i;
  for (auto& service : services_) EXPECT_EQ(service->RefCount(), 2U);
  EXPECT_EQ(app_->RefCount(), 2U);  // ours and cache_'s
}

TEST_F(CacheTest, FirstLookupsOnManyThreadsMakeOneMutexAndTakeOneGuidService) {
  // Round after round, several threads make the first lookups of a fresh
  // cache together; each starts with a service of its own.
  constexpr unsigned kThreads = 4;
  constexpr int kRounds = 2000;
  AddNumberedServices(kThreads);
  const uint32_t guidRefs = app_->Guids().RefCount();
  for (int round = 0; round < kRounds; ++round) {
    const unsigned mutexesBefore = app_->Threads().MutexesCreated();
    std::atomic<unsigned> wrong{0};
    {
      CQmGlobalCache cache;
      app_->AddRef();
      cache.SetContext(app_->Unknown());
      Rendezvous start(kThreads);
      std::vector<std::thread> threads;
      for (unsigned t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          KeepToProcessor(t);
          start.ArriveAndWait();
          for (unsigned j = 0; j < kThreads; ++j) {
            unsigned i = (t + j) % kThreads;
            if (cache.LookupGlobal(&guids_[i]) != faces_[i]) ++wrong;
          }
        });
      }
      for (auto& thread : threads) thread.join();
      ASSERT_EQ(app_->Threads().MutexesCreated() - mutexesBefore, 1U) << "round " << round;
      ASSERT_EQ(app_->Guids().RefCount(), guidRefs + 1) << "round " << round;
      ASSERT_EQ(cache.CachedCount(), kThreads) << "round " << round;
      for (unsigned i = 0; i < kThreads; ++i) {
        ASSERT_EQ(services_[i]->RefCount(), 3U) << "round " << round << ", service " << i;
      }
    }
    ASSERT_EQ(wrong.load(), 0U) << "round " << round;
    ASSERT_EQ(app_->Guids().RefCount(), guidRefs) << "round " << round;
    for (auto& service : services_) ASSERT_EQ(service->RefCount(), 2U) << "round " << round;
  }
  // Each service was asked for once here and once in every round.
  for (unsigned i = 0; i < kThreads; ++i) EXPECT_EQ(app_->QueryCount(guids_[i]), kRounds + 1U);
  EXPECT_EQ(app_->RefCount(), 2U);  // ours and cache_'s
}

TEST_F(CacheTest, ARepeatedContextWithTheSameApplicationKeepsOneReference) {
  EXPECT_EQ(app_->RefCount(), 2U);  // ours and the cache's
  app_->AddRef();                   // handed over with the second context
  cache_.SetContext(app_->Unknown());
  EXPECT_EQ(cache_.Context(), app_->Unknown());
  EXPECT_EQ(app_->RefCount(), 2U);
  void* host = Service(IID_IQmHostService);
  EXPECT_EQ(cache_.LookupGlobal(&IID_IQmHostService), host);
  QmRelease(host);
  cache_.DeleteState();
  EXPECT_EQ(app_->RefCount(), 1U);
  EXPECT_EQ(app_->ServiceLeaks(), "");
}

TEST_F(CacheTest, WithoutAContextNothingIsFound) {
  CQmGlobalCache empty;
  EXPECT_EQ(empty.LookupGlobal(&IID_IQmHostService), nullptr);
  EXPECT_EQ(empty.LookupGuid("525802A6-BF5F-46E9-9863-C03B54A3D908"), nullptr);
}

TEST_F(CacheTest, PrivateFactoriesAreDestroyedWithTheState) {
  cache_.AddLocalFactory("a", NewWidgetFactory());
  CQmGenericPolymorph* b = NewWidgetFactory();
  cache_.AddLocalFactory("b", b);
  EXPECT_EQ(cache_.FindLocalFactory("b"), b);
  EXPECT_EQ(cache_.FindLocalFactory("c"), nullptr);
  cache_.DeleteState();
  EXPECT_EQ(cache_.FindLocalFactory("b"), nullptr);
  EXPECT_EQ(app_->RefCount(), 1U);
}

}  // namespace
