#include "host/services.h"

#include <cctype>
#include <cstring>

namespace qmhost {

// --- GUID service -----------------------------------------------------------

GuidService::Entry* GuidService::Record(const QmGUID& guid) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = known_.find(guid);
  if (it == known_.end()) {
    auto entry = std::make_unique<Entry>(Entry{guid, QmGuidFormat(guid)});
    it = known_.emplace(guid, std::move(entry)).first;
  }
  return it->second.get();
}

size_t GuidService::KnownCount() {
  std::lock_guard<std::mutex> hold(lock_);
  return known_.size();
}

const char* GuidService::guid_GetName(const QmGUID* guid) {
  return guid != nullptr ? Record(*guid)->text.c_str() : nullptr;
}

namespace {
const QmInterfaceEntry* Catalogued(const QmGUID& guid) {
  for (const auto& entry : kQmInterfaces) {
    if (*entry.guid == guid) return &entry;
  }
  return nullptr;
}
}  // namespace

const char* GuidService::guid_ClassName(const QmGUID* guid) {
  const QmInterfaceEntry* entry = guid != nullptr ? Catalogued(*guid) : nullptr;
  return entry != nullptr ? entry->name : nullptr;
}

const QmGUID* GuidService::guid_Fixed(const QmGUID* guid) {
  return guid != nullptr ? &Record(*guid)->guid : nullptr;
}

namespace {
// A catalogued service's name: its C++ name without "IQm", in lower case
// ("IQmSceneService" -> "sceneservice").
const QmGUID* ServiceNamed(const char* text) {
  for (const auto& entry : kQmInterfaces) {
    if (!entry.service) continue;
    std::string name = entry.cname + 3;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == text) return entry.guid;
  }
  return nullptr;
}
}  // namespace

const QmGUID* GuidService::guid_Translate(const char* text) {
  if (text == nullptr) return nullptr;
  QmGUID guid;
  if (const QmGUID* named = ServiceNamed(text)) {
    guid = *named;
  } else if (!QmGuidParse(text, &guid)) {
    return nullptr;
  }
  return &Record(guid)->guid;
}

// Servers are classed by the interface they are made for: the class of a
// known interface is that interface.
const QmGUID* GuidService::guid_Class(const QmGUID* guid) {
  if (guid == nullptr || Catalogued(*guid) == nullptr) return nullptr;
  return &Record(*guid)->guid;
}

int32_t GuidService::guid_Compare(const QmGUID* guid1, const QmGUID* guid2) {
  if (guid1 == nullptr || guid2 == nullptr) return guid1 == guid2 ? 0 : (guid1 ? 1 : -1);
  return QmGuidCompare(*guid1, *guid2);
}

void* GuidService::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmGUIDService ? face_.get() : nullptr;
}

// --- Host service ---------------------------------------------------------------

QmResult HostService::host_UpdateModule(const char* name) {
  if (name == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  updates_.emplace_back(name);
  return QMe_OK;
}

QmResult HostService::host_SpawnForTagsOnly() { return tagsOnly_ > 0 ? QMe_TRUE : QMe_FALSE; }

std::vector<std::string> HostService::Updates() {
  std::lock_guard<std::mutex> hold(lock_);
  return updates_;
}

void* HostService::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmHostService ? face_.get() : nullptr;
}

}  // namespace qmhost
