// qmhost: the reference host.  It loads the plug-in, hands it an
// application object and runs one job.
//
//   qmhost [OPTIONS] servers                list the plug-in's servers and tags,
//                                           and the Python servers blessed
//   qmhost [OPTIONS] simulate SERVER [--steps N]
//                                           run a Python simulation modifier
//   qmhost [OPTIONS] run FILE [ARGS...]     run a Python script file
//   qmhost [OPTIONS] console                type Python lines at the plug-in
#include <dlfcn.h>
#include <readline/history.h>
#include <readline/readline.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/application.h"
#include "host/console.h"
#include "host/faults.h"
#include "host/logs.h"
#include "host/messages.h"
#include "host/plugin.h"
#include "host/python_servers.h"
#include "host/run.h"
#include "host/servers.h"

namespace {

int Usage() {
  std::fprintf(
      stderr,
      "usage: qmhost [OPTIONS] COMMAND\n"
      "commands:\n"
      "  servers              list the plug-in's servers with their interfaces and tags,\n"
      "                       then the Python servers with their classes and tags\n"
      "  simulate SERVER [--steps N]\n"
      "                       run the Python simulation modifier SERVER for N steps\n"
      "                       (default 3)\n"
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
      "The plug-in defaults to $QMHOST_PLUGIN, else ../lib/libqmpython.so beside qmhost.\n"
      "Injected faults, for testing the plug-in against a failing host:\n"
      "  QMHOST_FAULT=METHOD:N[:CODE|:null][,...]\n"
      "                       the N-th call of METHOD (\"ThreadService.CreateCS\",\n"
      "                       \"Application.QueryInterface\") answers CODE (a result\n"
      "                       code's name or number; default FAILED) or, with null,\n"
      "                       success with null out-objects and texts\n"
      "  QMHOST_CALLS=FILE    writes how often each host method was called, and\n"
      "                       which answers a fault of it can give (value, code,\n"
      "                       code,null)\n");
  return 2;
}

void PrintServers(const std::vector<qmhost::ServerInfo>& servers) {
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
}

int ServersCommand(const qmhost::RunOptions& options) {
  qmhost::Ref<qmhost::Application> app;
  auto plugin = qmhost::OpenPlugin(options, &app, std::cerr);
  if (!plugin) return 1;
  qmhost::LogMark mark = app->Logs().Mark();
  if (options.trace) qmhost::TracePlugin(plugin->Module(), std::cerr);
  auto servers = qmhost::ListServers(plugin->Module());
  if (servers.empty()) std::printf("no servers\n");
  PrintServers(servers);
  {
    qmhost::PythonServers python(plugin->Module());
    if (python.Available()) {
      auto blessed = python.List();
      std::printf("Python servers: %zu\n", blessed.size());
      PrintServers(blessed);
    }
  }
  // The server modules that did not load, then whatever else Python wrote
  // to the event log meanwhile.  (The entries are let go of before the
  // plug-in is closed, whose census counts every other holder.)
  {
    auto failures = qmhost::ServerLoadFailures(app->Logs(), mark);
    if (!failures.empty()) {
      std::printf("Python server modules that failed to load: %zu\n%s", failures.size(),
                  qmhost::FormatLogEntries(failures).c_str());
    }
    std::vector<qmhost::Ref<qmhost::LogEntry>> others;
    for (auto& entry : app->Logs().EntriesSince(mark, qmhost::kRunLogSubsystems)) {
      bool listed = false;
      for (const auto& failure : failures) listed = listed || failure.get() == entry.get();
      if (!listed) others.push_back(entry);
    }
    std::printf("%s", qmhost::FormatLogEntries(others).c_str());
  }
  std::fflush(stdout);
  return qmhost::ClosePlugin(*plugin, 0, std::cerr);
}

int SimulateCommand(const qmhost::RunOptions& options, const std::string& name, int steps) {
  qmhost::Ref<qmhost::Application> app;
  auto plugin = qmhost::OpenPlugin(options, &app, std::cerr);
  if (!plugin) return 1;
  int rc;
  qmhost::LogMark mark = app->Logs().Mark();
  if (options.trace) qmhost::TracePlugin(plugin->Module(), std::cerr);
  {
    qmhost::PythonServers python(plugin->Module());
    rc = qmhost::Simulate(python, name, steps, std::cout);
    std::cout.flush();
  }
  // What Python wrote to the event log meanwhile (traces, lost exceptions).
  std::cout << qmhost::FormatLogEntries(app->Logs().EntriesSince(mark, qmhost::kRunLogSubsystems));
  return qmhost::ClosePlugin(*plugin, rc, std::cerr);
}

// Lines typed at a terminal, with line editing and the session's history.
// The readline library is loaded here, when a console at a terminal needs
// it, and stays loaded until the process ends.
class ReadlineSource : public qmhost::LineSource {
 public:
  // Null, with the reason in `error`, when the library cannot be loaded.
  static std::unique_ptr<ReadlineSource> Load(std::string* error) {
    void* library = dlopen(QMHOST_READLINE, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      *error = dlerror();
      return nullptr;
    }
    auto* read = reinterpret_cast<decltype(&readline)>(dlsym(library, "readline"));
    auto* remember = reinterpret_cast<decltype(&add_history)>(dlsym(library, "add_history"));
    if (read == nullptr || remember == nullptr) {
      *error = QMHOST_READLINE " has no readline or add_history";
      return nullptr;
    }
    return std::unique_ptr<ReadlineSource>(new ReadlineSource(read, remember));
  }

  bool ReadLine(const std::string& prompt, std::string* line) override {
    char* text = read_(prompt.c_str());
    if (text == nullptr) {
      std::fputc('\n', stdout);  // leave the shell's prompt on a line of its own
      return false;
    }
    if (*text != '\0') remember_(text);
    *line = text;
    std::free(text);
    return true;
  }

 private:
  ReadlineSource(decltype(&readline) read, decltype(&add_history) remember)
      : read_(read), remember_(remember) {}

  decltype(&readline) read_;
  decltype(&add_history) remember_;
};

int ConsoleCommand(const qmhost::RunOptions& options) {
  std::unique_ptr<qmhost::LineSource> source;
  if (isatty(STDIN_FILENO)) {
    std::string error;
    source = ReadlineSource::Load(&error);
    if (!source) std::fprintf(stderr, "qmhost: lines are read without editing: %s\n", error.c_str());
  }
  if (!source) source = std::make_unique<qmhost::StreamLineSource>(std::cin);
  int rc = qmhost::ConsoleCommand(options, *source, std::cout, std::cerr);
  std::cout.flush();
  return rc;
}

// Arms the faults of $QMHOST_FAULT, and the counting of $QMHOST_CALLS.
// False, with the reason on standard error, when $QMHOST_FAULT is not a
// list of fault points.
bool ArmFaults() {
  const char* faults = std::getenv("QMHOST_FAULT");
  const char* calls = std::getenv("QMHOST_CALLS");
  std::vector<qmhost::FaultPoint> points;
  if (faults != nullptr && *faults != '\0') {
    std::string error;
    if (!qmhost::ParseFaultPoints(faults, &points, &error)) {
      std::fprintf(stderr, "qmhost: QMHOST_FAULT: %s\n", error.c_str());
      return false;
    }
  } else if (calls == nullptr || *calls == '\0') {
    return true;
  }
  qmhost::Faults::Arm(std::move(points));
  return true;
}

// Tells which armed faults answered, and writes the call counts.
void ReportFaults() {
  if (!qmhost::Faults::Armed()) return;
  std::string report = qmhost::Faults::Report();
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    std::fprintf(stderr, "qmhost: %s\n", line.c_str());
  }
  const char* calls = std::getenv("QMHOST_CALLS");
  if (calls != nullptr && *calls != '\0') {
    std::ofstream out(calls);
    for (const auto& entry : qmhost::Faults::Counted()) {
      const char* answers = entry.second.answers == QmFaultAnswers::kValue  ? "value"
                            : entry.second.answers == QmFaultAnswers::kCode ? "code"
                                                                            : "code,null";
      out << entry.first << " " << entry.second.count << " " << answers << "\n";
    }
    if (!out) std::fprintf(stderr, "qmhost: cannot write %s\n", calls);
  }
}

int RunCommandLine(int argc, char** argv) {
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
    } else if (std::strcmp(argv[i], "--trace") == 0) {
      run.trace = true;  // takes no value
    } else if (std::strcmp(argv[i], "--import-path") == 0) {
      run.replaceImportPaths = true;
      run.importPaths.emplace_back(argv[++i]);
    } else {
      return Usage();
    }
  }
  if (i >= argc) return Usage();
  std::string command = argv[i++];
  if (command == "servers" && i == argc) return ServersCommand(run);
  if (command == "simulate" && i < argc) {
    std::string name = argv[i++];
    int steps = 3;
    if (i + 2 == argc && std::strcmp(argv[i], "--steps") == 0) {
      steps = std::atoi(argv[i + 1]);
      i += 2;
    }
    if (i != argc || steps < 0) return Usage();
    return SimulateCommand(run, name, steps);
  }
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

}  // namespace

int main(int argc, char** argv) {
  if (!ArmFaults()) return 2;
  int rc = RunCommandLine(argc, argv);
  ReportFaults();
  return rc;
}
