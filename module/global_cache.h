// The cache of global host services, found through the host's application
// object, and the store of the plug-in's private factories.
#pragma once

#include "qm_sdk.h"

class CQmGenericPolymorph;

class CQmGlobalCache {
 public:
  // The number of services the cache keeps; further services are answered
  // without being cached.
  static constexpr unsigned kCapacity = 100;

  CQmGlobalCache();
  ~CQmGlobalCache();
  CQmGlobalCache(const CQmGlobalCache&) = delete;
  CQmGlobalCache& operator=(const CQmGlobalCache&) = delete;

  // Stores the application object, adopting the reference the host hands
  // over with it.  The reference held for the previous object is released,
  // also when it is the same object.
  void SetContext(void* app);
  void* Context() const;

  // The host service for `guid`, or null; no reference for the caller.
  void* LookupGlobal(const QmGUID* guid);
  void* LookupGlobalByText(const char* text);

  // The host's stable pointer for the GUID written in `text`, or null.
  const QmGUID* LookupGuid(const char* text);

  // Private factories: reachable by name from inside the plug-in only.
  void AddLocalFactory(const char* name, CQmGenericPolymorph* factory);
  CQmGenericPolymorph* FindLocalFactory(const char* name) const;

  // Number of services in the cache's table.
  unsigned CachedCount() const;

  // Destroys the private factories and releases every host reference the
  // cache holds.  The cache starts afresh on the next SetContext.
  void DeleteState();
  bool HasState() const { return state_ != nullptr; }

 private:
  struct State;
  State* Ensure();
  // Fetched from the host on first need, once per state; null when the
  // host gives none (asked again next time).
  IQmGUIDService* GuidService();
  IQmThreadMutex* HostMutex();

  State* state_;
};
