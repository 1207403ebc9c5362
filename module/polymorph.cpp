#include "module/polymorph.h"

#include <mutex>
#include <new>

CQmInterfaceDesc* CQmNewDescriptor(const QmGUID* guid, unsigned methods) {
  unsigned slots = 3 + methods;
  void* mem = ::operator new(sizeof(CQmInterfaceDesc) + slots * sizeof(QmSlot));
  auto* desc = static_cast<CQmInterfaceDesc*>(mem);
  desc->next = desc->prev = nullptr;
  desc->table = reinterpret_cast<QmSlot*>(static_cast<char*>(mem) + sizeof(CQmInterfaceDesc));
  desc->guid = guid;
  desc->slots = slots;
  for (unsigned i = 0; i < slots; ++i) desc->table[i] = nullptr;
  return desc;
}

void CQmFreeDescriptor(CQmInterfaceDesc* desc) { ::operator delete(desc); }

namespace {

// Host threads may spawn, query and release objects of one factory at the
// same time: the lists and counts of every factory change under this lock.
// Implementation objects are made and freed outside it, since freeing one
// may run code that releases others.
std::mutex gRecordLock;

// The three intrusive lists (descriptors, object records, interface
// records) all link through `next` and `prev`.
template <class T>
void LinkLast(T*& first, T*& last, T* node) {
  node->next = nullptr;
  node->prev = last;
  (last != nullptr ? last->next : first) = node;
  last = node;
}

template <class T>
void Unlink(T*& first, T*& last, T* node) {
  (node->prev != nullptr ? node->prev->next : first) = node->next;
  (node->next != nullptr ? node->next->prev : last) = node->prev;
}

void FreeDescriptors(CQmInterfaceDesc* d) {
  while (d != nullptr) {
    CQmInterfaceDesc* next = d->next;
    CQmFreeDescriptor(d);
    d = next;
  }
}

}  // namespace

CQmGenericPolymorph::~CQmGenericPolymorph() {
  std::lock_guard<std::mutex> hold(gRecordLock);
  if (objFirst_ == nullptr) {
    FreeDescriptors(descFirst_);
  } else {
    auto* orphaned = new CQmOrphanedInterfaces{descFirst_, 0};
    for (CQmObjectRecord* o = objFirst_; o != nullptr; o = o->next) {
      o->factory = nullptr;
      o->orphaned = orphaned;
      ++orphaned->liveObjects;
    }
  }
  objFirst_ = objLast_ = nullptr;
  descFirst_ = descLast_ = nullptr;
}

void CQmGenericPolymorph::AddInterface(CQmInterfaceDesc* desc) {
  desc->table[0] = reinterpret_cast<QmSlot>(&CQmRecordOps::QueryInterface);
  desc->table[1] = reinterpret_cast<QmSlot>(&CQmRecordOps::AddRef);
  desc->table[2] = reinterpret_cast<QmSlot>(&CQmRecordOps::Release);
  LinkLast(descFirst_, descLast_, desc);
}

CQmInterfaceDesc* CQmGenericPolymorph::FindInterface(const QmGUID* iid) const {
  if (iid == nullptr || *iid == IID_QmBaseUnknown) return descFirst_;
  for (CQmInterfaceDesc* d = descFirst_; d != nullptr; d = d->next) {
    if (*d->guid == *iid) return d;
  }
  return nullptr;
}

unsigned CQmGenericPolymorph::InstanceCount() const {
  unsigned n = 0;
  for (CQmObjectRecord* o = objFirst_; o != nullptr; o = o->next) ++n;
  return n;
}

namespace {

CQmInterfaceRecord* NewInterfaceRecord(CQmObjectRecord* obj, CQmInterfaceDesc* desc) {
  auto* rec = new CQmInterfaceRecord;
  rec->vt = desc->table;
  rec->desc = desc;
  rec->object = obj;
  rec->impl = obj->impl;
  rec->refs = 1;
  LinkLast(obj->first, obj->last, rec);
  return rec;
}

}  // namespace

void* CQmGenericPolymorph::Spawn(const QmGUID* iid) {
  CQmInterfaceDesc* desc = FindInterface(iid);
  if (desc == nullptr) return nullptr;
  void* impl = NewObject();
  CQmObjectRecord* obj;
  CQmInterfaceRecord* rec;
  std::unique_lock<std::mutex> hold(gRecordLock);
  try {
    obj = new CQmObjectRecord;
    obj->factory = this;
    obj->orphaned = nullptr;
    obj->first = obj->last = nullptr;
    obj->impl = impl;
    obj->total = 1;
    try {
      rec = NewInterfaceRecord(obj, desc);
    } catch (...) {
      delete obj;
      throw;
    }
  } catch (...) {
    hold.unlock();
    FreeObject(impl);
    throw;
  }
  LinkLast(objFirst_, objLast_, obj);
  return rec;
}

QmResult CQmRecordOps::QueryInterface(void* self, const QmGUID* iid, void** out) {
  if (out == nullptr) return QMe_INVALIDARG;
  auto* rec = static_cast<CQmInterfaceRecord*>(self);
  std::lock_guard<std::mutex> hold(gRecordLock);
  CQmObjectRecord* obj = rec->object;
  CQmInterfaceDesc* desc = obj->factory != nullptr ? obj->factory->FindInterface(iid) : nullptr;
  if (desc == nullptr) return QMe_NOINTERFACE;
  try {
    *out = NewInterfaceRecord(obj, desc);
  } catch (...) {
    return QMe_OUTOFMEMORY;
  }
  ++obj->total;
  return QMe_OK;
}

uint32_t CQmRecordOps::AddRef(void* self) {
  auto* rec = static_cast<CQmInterfaceRecord*>(self);
  std::lock_guard<std::mutex> hold(gRecordLock);
  ++rec->object->total;
  return ++rec->refs;
}

uint32_t CQmRecordOps::Release(void* self) {
  auto* rec = static_cast<CQmInterfaceRecord*>(self);
  std::unique_lock<std::mutex> hold(gRecordLock);
  CQmObjectRecord* obj = rec->object;
  --obj->total;
  uint32_t refs = --rec->refs;
  if (refs != 0) return refs;

  Unlink(obj->first, obj->last, rec);
  delete rec;
  if (obj->total != 0) return 0;

  CQmGenericPolymorph* factory = obj->factory;
  void* impl = obj->impl;
  if (factory != nullptr) {
    Unlink(factory->objFirst_, factory->objLast_, obj);
  } else if (CQmOrphanedInterfaces* orphaned = obj->orphaned) {
    if (--orphaned->liveObjects == 0) {
      FreeDescriptors(orphaned->first);
      delete orphaned;
    }
  }
  delete obj;
  hold.unlock();
  if (factory != nullptr) {
    try {
      factory->FreeObject(impl);
    } catch (...) {
      // Freeing never reports to the host; the object is gone either way.
    }
  }
  return 0;
}
