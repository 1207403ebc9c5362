// qmhost: the reference host.  It loads the plug-in, hands it an
// application object and runs one job.
//
//   qmhost [--plugin PATH] servers          list the plug-in's servers and tags
//   qmhost [OPTIONS] run FILE [ARGS...]     run a Python script file
//   qmhost [OPTIONS] console                type Python lines at the plug-in
#include <readline/history.h>
#include <readline/readline.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "host/application.h"
#include "host/console.h"
#include "host/messages.h"
#include "host/plugin.h"
#include "host/run.h"
#include "host/servers.h"

namespace {

int Usage() {
  std::fprintf(
      stderr,
      "usage: qmhost [OPTIONS] COMMAND\n"
      "commands:\n"
      "  servers              list the plug-in's servers with their interfaces and tags\n"
      "  run FILE [ARGS...]   run a Python script file with the plug-in's interpreter\n"
      "  console              read Python lines and run them with the plug-in's line\n"
      "                       interpreter, until the end of input\n"
      "options:\n"
      "  --plugin PATH        the plug-in library\n"
      "  --scripts DIR        the user scripts folder (\"scripts:\" alias); defaults to\n"
      "                       $QMHOST_SCRIPTS, else $HOME/.qmhost/scripts\n"
      "  --import-path DIR    a folder Python imports from; repeat for more.  Replaces\n"
      "                       the default list, the standard library of the Python 2.7\n"
      "                       the host was built against\n"
      "  --servers DIR        the folder of Python server modules, which the plug-in\n"
      "                       imports as it starts (a folder named \"servers\");\n"
      "                       defaults to the scripts folder's servers subfolder\n"
      "The plug-in defaults to $QMHOST_PLUGIN, else ../lib/libqmpython.so beside qmhost.\n");
  return 2;
}

int ListServersCommand(qmhost::Plugin& plugin) {
  auto servers = qmhost::ListServers(plugin.Module());
  if (servers.empty()) std::printf("no servers\n");
  for (const auto& server : servers) {
    std::printf("%s  %s {%s}\n", server.name.c_str(), qmhost::InterfaceName(server.primary).c_str(),
                QmGuidFormat(server.primary).c_str());
    if (QmFailed(server.spawned)) {
      std::printf("    (could not be spawned: %s)\n",
                  qmhost::ResultCodeText(server.spawned).c_str());
    }
    for (const auto& tag : server.tags) {
      std::printf("    %s = %s\n", tag.first.c_str(), tag.second.c_str());
    }
  }
  return 0;
}

int ServersCommand(const std::string& pluginPath) {
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

// Lines typed at a terminal, with line editing and the session's history.
class ReadlineSource : public qmhost::LineSource {
 public:
  bool ReadLine(const std::string& prompt, std::string* line) override {
    char* text = readline(prompt.c_str());
    if (text == nullptr) {
      std::fputc('\n', stdout);  // leave the shell's prompt on a line of its own
      return false;
    }
    if (*text != '\0') add_history(text);
    *line = text;
    std::free(text);
    return true;
  }
};

int ConsoleCommand(const qmhost::RunOptions& options) {
  int rc;
  if (isatty(STDIN_FILENO)) {
    ReadlineSource source;
    rc = qmhost::ConsoleCommand(options, source, std::cout, std::cerr);
  } else {
    qmhost::StreamLineSource source(std::cin);
    rc = qmhost::ConsoleCommand(options, source, std::cout, std::cerr);
  }
  std::cout.flush();
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  qmhost::RunOptions run;
  run.pluginPath = qmhost::DefaultPluginPath();
  run.progress = qmhost::StandardErrorProgressView();
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (i + 1 >= argc) return Usage();
    if (std::strcmp(argv[i], "--plugin") == 0) {
      run.pluginPath = argv[++i];
    } else if (std::strcmp(argv[i], "--scripts") == 0) {
      run.scriptsDir = argv[++i];
    } else if (std::strcmp(argv[i], "--servers") == 0) {
      run.serversDir = argv[++i];
    } else if (std::strcmp(argv[i], "--import-path") == 0) {
      run.replaceImportPaths = true;
      run.importPaths.emplace_back(argv[++i]);
    } else {
      return Usage();
    }
  }
  if (i >= argc) return Usage();
  std::string command = argv[i++];
  if (command == "servers" && i == argc) return ServersCommand(run.pluginPath);
  if (command == "run" && i < argc) {
    run.file = argv[i++];
    run.args.assign(argv + i, argv + argc);
    int rc = qmhost::RunCommand(run, std::cout, std::cerr);
    std::cout.flush();
    return rc;
  }
  if (command == "console" && i == argc) return ConsoleCommand(run);
  return Usage();
}
