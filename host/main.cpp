// qmhost: the reference host.  It loads the plug-in, hands it an
// application object and runs one job.
//
//   qmhost [--plugin PATH] servers     list the plug-in's servers and tags
#include <cstdio>
#include <cstring>
#include <string>

#include "host/application.h"
#include "host/plugin.h"
#include "host/servers.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: qmhost [--plugin PATH] COMMAND\n"
               "commands:\n"
               "  servers    list the plug-in's servers with their interfaces and tags\n"
               "The plug-in defaults to $QMHOST_PLUGIN, else ../lib/libqmpython.so beside qmhost.\n");
  return 2;
}

std::string ResultText(QmResult code) {
  const char* name = nullptr;
  for (const auto& entry : kQmResultRegistry) {
    if (entry.code == code) name = entry.name;  // the name registered last
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "0x%08X%s%s", code, name ? " " : "", name ? name : "");
  return buf;
}

int ListServersCommand(qmhost::Plugin& plugin) {
  auto servers = qmhost::ListServers(plugin.Module());
  if (servers.empty()) std::printf("no servers\n");
  for (const auto& server : servers) {
    std::printf("%s  %s {%s}\n", server.name.c_str(), qmhost::InterfaceName(server.primary).c_str(),
                QmGuidFormat(server.primary).c_str());
    if (QmFailed(server.spawned)) {
      std::printf("    (could not be spawned: %s)\n", ResultText(server.spawned).c_str());
    }
    for (const auto& tag : server.tags) {
      std::printf("    %s = %s\n", tag.first.c_str(), tag.second.c_str());
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string pluginPath = qmhost::DefaultPluginPath();
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (std::strcmp(argv[i], "--plugin") == 0 && i + 1 < argc) {
      pluginPath = argv[++i];
    } else {
      return Usage();
    }
  }
  if (i >= argc) return Usage();
  std::string command = argv[i];
  if (command != "servers") return Usage();

  qmhost::Ref<qmhost::Application> app(new qmhost::Application);
  std::string error;
  auto plugin = qmhost::Plugin::Load(pluginPath, *app, &error);
  if (!plugin) {
    std::fprintf(stderr, "qmhost: %s\n", error.c_str());
    return 1;
  }
  int rc = ListServersCommand(*plugin);
  std::string leaks = plugin->Unload();
  if (!leaks.empty()) {
    std::fprintf(stderr, "qmhost: error: the plug-in leaked host objects:\n%s", leaks.c_str());
    return rc != 0 ? rc : 3;
  }
  return rc;
}
