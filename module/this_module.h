// The module object: the one object the plug-in's export hands the host.
// It lists the plug-in's servers, makes instances of them by name and
// interface, and receives the host's application object.
#pragma once

#include <cstdint>

#include "module/global_cache.h"
#include "module/polymorph.h"
#include "qm_impl_module.h"

class CQmThisModule : public CQmImpl_Module,
                      public CQmImpl_TagDescription,
                      public CQmImpl_NeedContext,
                      public CQmGenericPolymorph,
                      public CQmGlobalCache {
 public:
  // Module states.
  enum : uint32_t { kUnregistered = 0, kRegistered = 1, kReleased = 2 };

  CQmThisModule();
  ~CQmThisModule() override;

  // The library's module object.
  static CQmThisModule& Get();

  // Appends a server; its primary interface is the factory's first.
  // Throws QMe_OUTOFMEMORY (and empties the table) when the table cannot
  // grow.
  void AddServer(const char* name, CQmGenericPolymorph* factory);
  CQmGenericPolymorph* FindServer(const char* name) const;
  uint32_t ServerCount() const { return count_; }
  uint32_t ServerCapacity() const { return capacity_; }

  uint32_t State() const { return state_; }

  // Runs the one-time registration of the plug-in's servers if it is still
  // pending, then hands out a new reference to the module.  Null when
  // registration failed; it is then tried again on the next call.
  void* Create();

  // Called when the host releases the module for good, before the cached
  // host references are dropped.
  using ReleaseHook = void (*)();
  void SetReleaseHook(ReleaseHook hook) { releaseHook_ = hook; }

  // IQmModule
  QmResult mod_Generate(const char* name, const QmGUID* iid, void** object) override;
  // IQmTagDescription
  uint32_t tag_Count() override { return count_; }
  QmResult tag_Describe(uint32_t index, QmTagInfo* entry) override;
  // IQmNeedContext
  QmResult need_SetContext(void* app) override;

  // The factory: the module is the implementation of its own instances.
  void* NewObject() override { return this; }
  void FreeObject(void* impl) override;

 private:
  void RegisterServers();

  CQmGenericPolymorph** factories_ = nullptr;
  const char** names_ = nullptr;
  const QmGUID** primaries_ = nullptr;
  uint32_t count_ = 0;
  uint32_t capacity_ = 0;
  uint32_t state_ = kUnregistered;
  bool registrationPending_ = true;
  ReleaseHook releaseHook_ = nullptr;
};
