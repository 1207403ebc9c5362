// Handles: how the plug-in holds host objects.  A handle holds at most one
// reference to one host interface and releases it when it is destroyed.
#pragma once

#include "qm_sdk.h"

class CQmLocalizedObject {
 public:
  CQmLocalizedObject() = default;
  CQmLocalizedObject(const CQmLocalizedObject&) = delete;
  CQmLocalizedObject& operator=(const CQmLocalizedObject&) = delete;
  virtual ~CQmLocalizedObject() = default;

  // The interface this handle holds objects through.
  virtual const QmGUID& guid() const = 0;
  // Holds `object` seen through guid(); false (and empty) when it is null
  // or lacks the interface.
  virtual bool set(void* object) = 0;
  // As set, then releases the caller's reference to `object`.
  virtual bool take(void* object) = 0;
  // Holds the object of another handle.
  virtual void copy(const CQmLocalizedObject& other) = 0;
  virtual bool test() const = 0;
  virtual void clear() = 0;
  // Hands out a new reference; QMe_NOTFOUND when empty.
  virtual QmResult get(void** out) = 0;
  // The held pointer, no reference added.
  virtual void* raw() const = 0;
};

// A handle over host interface I.  The interface GUID comes from the
// CQmLoc_ class of the interface.
template <class I>
class CQmLocalize : public CQmLocalizedObject {
 public:
  ~CQmLocalize() override { Drop(); }

  bool set(void* object) override {
    void* found = nullptr;
    if (object != nullptr && !QmFailed(QmQueryInterface(object, guid(), &found)) &&
        found != nullptr) {
      Drop();
      ptr_ = static_cast<I*>(found);
      return true;
    }
    Drop();
    return false;
  }

  bool take(void* object) override {
    if (object == nullptr) {
      Drop();
      return false;
    }
    set(object);
    QmRelease(object);
    return test();
  }

  void copy(const CQmLocalizedObject& other) override { set(other.raw()); }
  bool test() const override { return ptr_ != nullptr; }
  void clear() override { Drop(); }

  QmResult get(void** out) override {
    if (ptr_ == nullptr) return QMe_NOTFOUND;
    QmAddRef(ptr_);
    *out = ptr_;
    return QMe_OK;
  }

  void* raw() const override { return ptr_; }

  // The held interface, typed, for calls through its function table.
  I* ptr() const { return ptr_; }

 protected:
  void Drop() {
    if (ptr_ != nullptr) {
      I* old = ptr_;
      ptr_ = nullptr;
      QmRelease(old);
    }
  }

  I* ptr_ = nullptr;
};

// Holds any object as it is given, without asking it for an interface.
class CQmLoc_Unknown : public CQmLocalize<IQmUnknown> {
 public:
  const QmGUID& guid() const override { return IID_IQmUnknown; }

  bool set(void* object) override {
    // The new reference first: `object` may be the one held.
    if (object != nullptr) QmAddRef(object);
    Drop();
    ptr_ = static_cast<IQmUnknown*>(object);
    return object != nullptr;
  }

  // Adopts the caller's reference.
  bool take(void* object) override {
    Drop();
    ptr_ = static_cast<IQmUnknown*>(object);
    return test();
  }
};
