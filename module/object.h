// Root classes of the plug-in's own objects.
#pragma once

#include <cstdint>

class CQmObject {
 public:
  virtual ~CQmObject() = default;
};

// Destroys itself through its virtual destructor when the last reference
// is released.
class CQmRefCounted : public CQmObject {
 public:
  void AddRef() { ++refs_; }
  void Release() {
    if (--refs_ == 0) delete this;
  }

 private:
  uint32_t refs_ = 1;
};
