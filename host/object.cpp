#include "host/object.h"

namespace qmhost {

namespace {
std::atomic<long> gLive{0};
}

HostObject::HostObject() { ++gLive; }
HostObject::~HostObject() { --gLive; }

long HostObject::LiveCount() { return gLive.load(); }

uint32_t HostObject::AddRef() { return ++refs_; }

uint32_t HostObject::Release() {
  uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

QmResult HostObject::QueryInterface(const QmGUID* iid, void** out) {
  if (out == nullptr) return QMe_INVALIDARG;
  void* face = Find(iid != nullptr ? *iid : IID_QmBaseUnknown);
  if (face == nullptr) return QMe_NOINTERFACE;
  AddRef();
  *out = face;
  return QMe_OK;
}

}  // namespace qmhost
