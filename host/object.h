// The reference host's object model.  Every host object is reference
// counted and hands the plug-in "faces": small records whose first word is
// a function table of one interface and whose second is the owning object.
// The host counts its live objects so that it can tell, when the plug-in is
// unloaded, whether every object it gave out has come back.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/faults.h"
#include "qm_sdk.h"

namespace qmhost {

class HostObject {
 public:
  HostObject();
  HostObject(const HostObject&) = delete;
  HostObject& operator=(const HostObject&) = delete;
  virtual ~HostObject();

  uint32_t AddRef();
  uint32_t Release();
  uint32_t RefCount() const { return refs_.load(); }

  // Answers `iid` with one of this object's faces (adding a reference), or
  // with QMe_NOINTERFACE.  The base unknown GUID and a null GUID give the
  // first face.
  virtual QmResult QueryInterface(const QmGUID* iid, void** out);

  // Host objects alive in this process.
  static long LiveCount();

 protected:
  // The face for `iid` (never null for the base unknown), no reference.
  virtual void* Find(const QmGUID& iid) = 0;

 private:
  std::atomic<uint32_t> refs_{1};
};

// What the plug-in holds: the function table, then the owner.
struct HostFaceBase {
  const void* vt;
  HostObject* owner;
};

// Connects the generated thunks to a host object of class T.
template <class T>
struct HostAccess {
  template <class I>
  static I* Impl(void* self) {
    return static_cast<T*>(static_cast<HostFaceBase*>(self)->owner);
  }
  static QmResult QueryInterface(void* self, const QmGUID* iid, void** out) {
    return static_cast<HostFaceBase*>(self)->owner->QueryInterface(iid, out);
  }
  // Injected faults (host/faults.h): every thunk of a host object asks
  // here before it calls the implementation.
  static bool Fault(const char* method, QmFaultAnswers answers, QmFault* answer) {
    return Faults::Fault(method, answers, answer);
  }
  static uint32_t AddRef(void* self) { return static_cast<HostFaceBase*>(self)->owner->AddRef(); }
  static uint32_t Release(void* self) {
    return static_cast<HostFaceBase*>(self)->owner->Release();
  }
};

// The face of interface I on an object of class T (T derives from the
// interface's generated implementation class).
template <class I>
struct HostFace : HostFaceBase {
  template <class T>
  explicit HostFace(T* owner)
      : HostFaceBase{&QmImplOf<I>::template Thunks<HostAccess<T>>::table, owner} {}
  I* get() { return reinterpret_cast<I*>(static_cast<HostFaceBase*>(this)); }
};

// Releases a host-side reference at scope end.
template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p) : p_(p) {}  // adopts
  Ref(const Ref& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  Ref& operator=(const Ref& o) {
    if (o.p_) o.p_->AddRef();
    reset();
    p_ = o.p_;
    return *this;
  }
  ~Ref() { reset(); }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

template <class T, class... Args>
Ref<T> MakeRef(Args&&... args) {
  return Ref<T>(new T(static_cast<Args&&>(args)...));
}

// The host object of class T behind `object`, with a reference, when the
// object is one of this host's T objects; null for anything else (a null
// pointer, an object without interface I, or one made by someone else).
// `object` may be any face of the object.  Only the face's function table is
// trusted: a foreign object's other words are never read.
template <class T, class I>
Ref<T> HostCast(void* object) {
  if (object == nullptr) return {};
  void* face = nullptr;
  if (QmFailed(QmQueryInterface(object, QmInterfaceInfo<I>::guid, &face)) || face == nullptr) {
    return {};
  }
  auto* base = static_cast<HostFaceBase*>(face);
  if (base->vt != &QmImplOf<I>::template Thunks<HostAccess<T>>::table) {
    QmRelease(face);
    return {};
  }
  return Ref<T>(static_cast<T*>(base->owner));  // adopts the query's reference
}

}  // namespace qmhost
