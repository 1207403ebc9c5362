#include "module/global_cache.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "module/polymorph.h"
#include "qm_loc_channel.h"
#include "qm_loc_thread.h"

// Lookups run on any thread.  The table is first searched without a lock:
// an entry is written once, before the count that takes it in is published
// (release; searches load the count with acquire and read only the entries
// below it), and never changed afterwards.  Entries are added under the host
// mutex, so the count changes only there.
//
// The GUID service and the host mutex are fetched on first need, each once
// however many threads need them at the same moment: `setup` serialises the
// fetching, the handles own what was fetched (written under `setup` only,
// and by DeleteState), and the atomics hand it to callers that take no lock.
struct CQmGlobalCache::State {
  void* app = nullptr;
  std::mutex setup;
  CQmLoc_GUIDService guidHandle;
  CQmLoc_ThreadMutex mutexHandle;
  std::atomic<IQmGUIDService*> guidService{nullptr};
  std::atomic<IQmThreadMutex*> mutex{nullptr};
  struct Entry {
    void* service;
    const QmGUID* guid;
  };
  Entry entries[kCapacity] = {};
  std::atomic<unsigned> count{0};
  std::map<std::string, CQmGenericPolymorph*> factories;

  // The service filed under `guid` among the first `n` entries, or null.
  void* Find(const QmGUID& guid, unsigned n) const {
    for (unsigned i = 0; i < n; ++i) {
      if (*entries[i].guid == guid) return entries[i].service;
    }
    return nullptr;
  }
};

CQmGlobalCache::CQmGlobalCache() : state_(new State) {}

CQmGlobalCache::~CQmGlobalCache() { DeleteState(); }

CQmGlobalCache::State* CQmGlobalCache::Ensure() {
  if (state_ == nullptr) state_ = new State;
  return state_;
}

void CQmGlobalCache::SetContext(void* app) {
  State* s = Ensure();
  // Every call hands over a reference, the same object's included; the
  // cache keeps one.
  void* previous = s->app;
  s->app = app;
  if (previous != nullptr) QmRelease(previous);
}

void* CQmGlobalCache::Context() const { return state_ != nullptr ? state_->app : nullptr; }

IQmGUIDService* CQmGlobalCache::GuidService() {
  State* s = state_;
  if (IQmGUIDService* gs = s->guidService.load(std::memory_order_acquire)) return gs;
  std::lock_guard<std::mutex> hold(s->setup);
  if (!s->guidHandle.test()) {
    void* found = nullptr;
    if (!QmFailed(QmQueryInterface(s->app, IID_IQmGUIDService, &found)) && found != nullptr &&
        s->guidHandle.take(found)) {
      s->guidService.store(s->guidHandle.ptr(), std::memory_order_release);
    }
  }
  return s->guidHandle.ptr();
}

IQmThreadMutex* CQmGlobalCache::HostMutex() {
  State* s = state_;
  if (IQmThreadMutex* m = s->mutex.load(std::memory_order_acquire)) return m;
  std::lock_guard<std::mutex> hold(s->setup);
  if (!s->mutexHandle.test()) {
    void* ts = nullptr;
    if (!QmFailed(QmQueryInterface(s->app, IID_IQmThreadService, &ts)) && ts != nullptr) {
      auto* thread = static_cast<IQmThreadService*>(ts);
      void* made = nullptr;
      if (!QmFailed(thread->vt->CreateMutex(thread, &made)) && made != nullptr &&
          s->mutexHandle.take(made)) {
        s->mutex.store(s->mutexHandle.ptr(), std::memory_order_release);
      }
      QmRelease(ts);
    }
  }
  return s->mutexHandle.ptr();
}

void* CQmGlobalCache::LookupGlobal(const QmGUID* guid) {
  State* s = state_;
  if (s == nullptr || s->app == nullptr || guid == nullptr) return nullptr;
  if (void* cached = s->Find(*guid, s->count.load(std::memory_order_acquire))) return cached;

  const QmGUID* canonical = nullptr;
  if (IQmGUIDService* gs = GuidService()) canonical = gs->vt->Fixed(gs, guid);

  IQmThreadMutex* mutex = HostMutex();
  if (mutex != nullptr) mutex->vt->Enter(mutex);
  const unsigned count = s->count.load(std::memory_order_relaxed);  // changed only here
  void* service = s->Find(*guid, count);
  if (service == nullptr) {
    if (QmFailed(QmQueryInterface(s->app, *guid, &service))) service = nullptr;
    if (service != nullptr) {
      if (canonical != nullptr && count < kCapacity) {
        s->entries[count] = {service, canonical};
        s->count.store(count + 1, std::memory_order_release);
      } else {
        // Not cached: the table is full, or the host gave no stable GUID to
        // file it under.  Global services stay valid while the module is
        // loaded, so the pointer is answered after dropping the reference.
        QmRelease(service);
      }
    }
  }
  if (mutex != nullptr) mutex->vt->Leave(mutex);
  return service;
}

void* CQmGlobalCache::LookupGlobalByText(const char* text) {
  return LookupGlobal(LookupGuid(text));
}

const QmGUID* CQmGlobalCache::LookupGuid(const char* text) {
  if (state_ == nullptr || state_->app == nullptr || text == nullptr) return nullptr;
  IQmGUIDService* gs = GuidService();
  return gs != nullptr ? gs->vt->Translate(gs, text) : nullptr;
}

void CQmGlobalCache::AddLocalFactory(const char* name, CQmGenericPolymorph* factory) {
  State* s = Ensure();
  auto it = s->factories.find(name);
  if (it != s->factories.end()) {
    if (it->second != factory) delete it->second;
    it->second = factory;
  } else {
    s->factories.emplace(name, factory);
  }
}

CQmGenericPolymorph* CQmGlobalCache::FindLocalFactory(const char* name) const {
  if (state_ == nullptr || name == nullptr) return nullptr;
  auto it = state_->factories.find(name);
  return it != state_->factories.end() ? it->second : nullptr;
}

unsigned CQmGlobalCache::CachedCount() const {
  return state_ != nullptr ? state_->count.load(std::memory_order_acquire) : 0;
}

void CQmGlobalCache::DeleteState() {
  State* s = state_;
  if (s == nullptr) return;
  state_ = nullptr;
  for (auto& entry : s->factories) delete entry.second;
  s->factories.clear();
  const unsigned count = s->count.load(std::memory_order_acquire);
  for (unsigned i = 0; i < count; ++i) QmRelease(s->entries[i].service);
  s->count.store(0, std::memory_order_relaxed);
  s->guidService.store(nullptr, std::memory_order_relaxed);
  s->mutex.store(nullptr, std::memory_order_relaxed);
  s->guidHandle.clear();
  s->mutexHandle.clear();
  if (s->app != nullptr) QmRelease(s->app);
  delete s;
}
