// Factories: how the plug-in's own objects answer host interfaces.
//
// A factory (CQmGenericPolymorph) offers a list of interface descriptors.
// Spawning makes an object record around a new implementation object and
// hands the host an interface record, whose first word points at the
// descriptor's function table: the record is the host object.  Every
// successful QueryInterface makes a further interface record; the
// implementation object is freed when the last record of its object is
// released.
#pragma once

#include <cstdint>

#include "qm_sdk.h"

class CQmGenericPolymorph;
struct CQmObjectRecord;

// One interface a factory offers.  The function table follows the header
// in the same allocation: QueryInterface, AddRef, Release, then one slot
// per method in the interface's order.
struct CQmInterfaceDesc {
  CQmInterfaceDesc* next;
  CQmInterfaceDesc* prev;
  QmSlot* table;
  const QmGUID* guid;
  unsigned slots;  // number of entries in the table
};

// Allocates a descriptor for `guid` with `methods` method slots, all null.
CQmInterfaceDesc* CQmNewDescriptor(const QmGUID* guid, unsigned methods);
void CQmFreeDescriptor(CQmInterfaceDesc* desc);

// The host-visible object: one per interface handed out.
struct CQmInterfaceRecord {
  const QmSlot* vt;
  CQmInterfaceRecord* next;
  CQmInterfaceRecord* prev;
  CQmInterfaceDesc* desc;
  CQmObjectRecord* object;
  void* impl;
  uint32_t refs;
};

// Descriptors of a destroyed factory, kept while records still use them.
struct CQmOrphanedInterfaces {
  CQmInterfaceDesc* first;
  unsigned liveObjects;
};

// One spawned instance.
struct CQmObjectRecord {
  CQmGenericPolymorph* factory;  // null once the factory is gone
  CQmOrphanedInterfaces* orphaned;
  CQmObjectRecord* next;
  CQmObjectRecord* prev;
  CQmInterfaceRecord* first;
  CQmInterfaceRecord* last;
  void* impl;
  uint32_t total;
};

// The implementation object behind a host object of a factory.
inline void* CQmImplOfRecord(void* hostObject) {
  return static_cast<CQmInterfaceRecord*>(hostObject)->impl;
}

class CQmGenericPolymorph {
 public:
  CQmGenericPolymorph() = default;
  CQmGenericPolymorph(const CQmGenericPolymorph&) = delete;
  CQmGenericPolymorph& operator=(const CQmGenericPolymorph&) = delete;
  // Cuts live object records loose: they stay usable by the host (their
  // QueryInterface answers QMe_NOINTERFACE) but nothing frees their
  // implementation any more.  The descriptors are freed with the last
  // record that can still point at them.
  virtual ~CQmGenericPolymorph();

  // The implementation object of a new instance.
  virtual void* NewObject() = 0;
  // Frees an implementation object once its last host reference is gone.
  virtual void FreeObject(void* impl) = 0;

  // Completes the descriptor's base slots and appends it; the first
  // descriptor added is the factory's primary interface.  The factory owns
  // the descriptor from then on.
  void AddInterface(CQmInterfaceDesc* desc);

  // A new instance, seen through `iid` (null or the base unknown GUID: the
  // first interface).  Null when no descriptor matches; then no instance
  // is created.
  void* Spawn(const QmGUID* iid);

  const CQmInterfaceDesc* FirstInterface() const { return descFirst_; }
  bool HasInstances() const { return objFirst_ != nullptr; }
  unsigned InstanceCount() const;

  // The descriptor answering `iid` (null or base unknown: the first).
  CQmInterfaceDesc* FindInterface(const QmGUID* iid) const;

 private:
  friend struct CQmRecordOps;

  CQmObjectRecord* objFirst_ = nullptr;
  CQmObjectRecord* objLast_ = nullptr;
  CQmInterfaceDesc* descFirst_ = nullptr;
  CQmInterfaceDesc* descLast_ = nullptr;
};

// QueryInterface, AddRef and Release of interface records.
struct CQmRecordOps {
  static QmResult QueryInterface(void* self, const QmGUID* iid, void** out);
  static uint32_t AddRef(void* self);
  static uint32_t Release(void* self);
};

// How the generated thunks reach the implementation object of type T.
template <class T>
struct CQmRecordAccess : CQmRecordOps {
  template <class I>
  static I* Impl(void* self) {
    return static_cast<T*>(CQmImplOfRecord(self));
  }
};

// A descriptor for interface I whose thunks call implementation class T.
template <class I, class T>
CQmInterfaceDesc* CQmMakeDescriptor() {
  using Info = QmInterfaceInfo<I>;
  CQmInterfaceDesc* desc = CQmNewDescriptor(&Info::guid, Info::methods);
  QmImplOf<I>::template Thunks<CQmRecordAccess<T>>::Fill(desc->table + 3);
  return desc;
}

// A factory whose instances are new T objects.
template <class T>
class CQmPolymorph : public CQmGenericPolymorph {
 public:
  void* NewObject() override { return new T(); }
  void FreeObject(void* impl) override { delete static_cast<T*>(impl); }

  template <class I>
  void AddInterface() {
    CQmGenericPolymorph::AddInterface(CQmMakeDescriptor<I, T>());
  }
};
