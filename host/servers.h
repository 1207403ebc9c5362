// Reading a module's server list the way the host does.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "qm_sdk.h"

namespace qmhost {

struct ServerInfo {
  std::string name;
  QmGUID primary;
  std::vector<std::pair<std::string, std::string>> tags;
  QmResult spawned;  // result of spawning the server to read its tags
};

// Lists the servers of a module through its tag description, spawning each
// to read its own tags.
std::vector<ServerInfo> ListServers(IQmModule* module);

// A module's server entries (name and class) from its tag description.
std::vector<std::pair<std::string, QmGUID>> ServerEntries(void* module);

// The tags a tag description lists, in its order.
std::vector<std::pair<std::string, std::string>> ReadTags(IQmTagDescription* tags);

// The catalogue name of an interface GUID ("TextScriptInterpreter"), or
// its text form when it is not catalogued.
std::string InterfaceName(const QmGUID& guid);

}  // namespace qmhost
