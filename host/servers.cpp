#include "host/servers.h"
#include "qm_ifc_module.h"

namespace qmhost {

std::string InterfaceName(const QmGUID& guid) {
  for (const auto& entry : kQmInterfaces) {
    if (*entry.guid == guid) return entry.cname;
  }
  return QmGuidFormat(guid);
}

std::vector<std::pair<std::string, std::string>> ReadTags(IQmTagDescription* tags) {
  std::vector<std::pair<std::string, std::string>> result;
  uint32_t count = tags->vt->Count(tags);
  for (uint32_t i = 0; i < count; ++i) {
    QmTagInfo tag{};
    if (QmFailed(tags->vt->Describe(tags, i, &tag))) break;
    result.emplace_back(tag.name ? tag.name : "", tag.value ? tag.value : "");
  }
  return result;
}

namespace {

void ReadTags(void* object, ServerInfo* info) {
  void* found = nullptr;
  if (QmFailed(QmQueryInterface(object, IID_IQmTagDescription, &found)) || found == nullptr) {
    return;
  }
  auto* tags = static_cast<IQmTagDescription*>(found);
  info->tags = qmhost::ReadTags(tags);
  QmRelease(tags);
}

}  // namespace

std::vector<std::pair<std::string, QmGUID>> ServerEntries(void* module) {
  std::vector<std::pair<std::string, QmGUID>> entries;
  void* found = nullptr;
  if (module == nullptr || QmFailed(QmQueryInterface(module, IID_IQmTagDescription, &found)) ||
      found == nullptr) {
    return entries;
  }
  auto* list = static_cast<IQmTagDescription*>(found);
  uint32_t count = list->vt->Count(list);
  for (uint32_t i = 0; i < count; ++i) {
    QmTagInfo entry{};
    if (!QmFailed(list->vt->Describe(list, i, &entry)) && entry.value != nullptr &&
        entry.guid != nullptr) {
      entries.emplace_back(entry.value, *entry.guid);
    }
  }
  QmRelease(list);
  return entries;
}

std::vector<ServerInfo> ListServers(IQmModule* module) {
  std::vector<ServerInfo> servers;
  for (const auto& entry : ServerEntries(module)) {
    ServerInfo info{entry.first, entry.second, {}, QMe_OK};
    void* server = nullptr;
    info.spawned = module->vt->Generate(module, info.name.c_str(), &info.primary, &server);
    if (!QmFailed(info.spawned) && server != nullptr) {
      ReadTags(server, &info);
      QmRelease(server);
    }
    servers.push_back(std::move(info));
  }
  return servers;
}

}  // namespace qmhost
