#include "host/service_table.h"

#include <cstdio>

#include "host/messages.h"

namespace qmhost {

std::vector<ServiceMethods> HostServiceMethods() {
  std::vector<ServiceMethods> table;
  ForEachHostService([&](auto service) {
    using I = typename decltype(service)::Interface;
    using T = typename decltype(service)::Class;
    ServiceMethods entry{QmInterfaceInfo<I>::name, {}};
    QmServiceOverrides<I, T>::Visit([&](const char* name, bool overridden, auto, auto) {
      entry.methods.emplace_back(name, overridden);
    });
    table.push_back(std::move(entry));
  });
  return table;
}

std::string HostTablesText() {
  std::string text;
  for (const auto& service : HostServiceMethods()) {
    for (const auto& [method, implemented] : service.methods) {
      text += "service\t" + service.service + "\t" + method + "\t" +
              (implemented ? "yes" : "no") + "\n";
    }
  }
  for (const auto& entry : kQmResultRegistry) {
    const std::string* message = HostMessageText("qmresult", entry.code);
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", entry.code);
    text += std::string("result\t") + code + "\t" + (message ? *message : std::string()) + "\n";
  }
  return text;
}

}  // namespace qmhost
