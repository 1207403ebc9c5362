// qmhost: the reference host.  It loads the plug-in, hands it an
// application object and runs one job.
//
//   qmhost [OPTIONS] servers                list the plug-in's servers and tags,
//                                           and the Python servers blessed
//   qmhost [OPTIONS] simulate SERVER [--steps N]
//                                           run a Python simulation modifier
//   qmhost [OPTIONS] run FILE [ARGS...]     run a Python script file (- reads
//                                           it from standard input)
//   qmhost [OPTIONS] -c CODE [ARGS...]      run a line of Python
//   qmhost [OPTIONS] console                type Python lines at the plug-in
// qmhost --help tells the options.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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
#include "host/terminal.h"

namespace {

const char kUsage[] =
    "usage: qmhost [OPTIONS] COMMAND\n"
    "       qmhost [OPTIONS] -c CODE [ARGS...]\n"
    "commands:\n"
    "  run FILE [ARGS...]   run a Python script file with the plug-in's interpreter;\n"
    "                       FILE - reads the script from standard input\n"
    "  console              read Python lines and run them with the plug-in's line\n"
    "                       interpreter, until the end of input, exit() or sys.exit(N)\n"
    "  servers              list the plug-in's servers with their interfaces and tags,\n"
    "                       then the Python servers with their classes and tags\n"
    "  simulate SERVER [--steps N]\n"
    "                       run the Python simulation modifier SERVER for N steps\n"
    "                       (default 3)\n"
    "options:\n"
    "  -c CODE              run CODE as a Python script (no first line needed)\n"
    "  --plugin PATH        the plug-in library; defaults to $QMHOST_PLUGIN, else\n"
    "                       ../lib/libqmpython.so beside qmhost\n"
    "  --scripts DIR        the user scripts folder (\"scripts:\" alias); defaults to\n"
    "                       $QMHOST_SCRIPTS, else $HOME/.qmhost/scripts\n"
    "  --import-path DIR    a folder Python imports from, before the folders of\n"
    "                       $PYTHONPATH and the standard library; repeat for more\n"
    "  --only-import-paths  import only from the --import-path folders (no\n"
    "                       $PYTHONPATH, no standard library)\n"
    "  --servers DIR        the folder of Python server modules, which the plug-in\n"
    "                       loads as it starts; defaults to the scripts folder's\n"
    "                       servers subfolder\n"
    "  --trace              the plug-in traces what it does (a server method's\n"
    "                       exception shows with its traceback)\n"
    "  -h, --help           print this help and exit\n"
    "  -V, --version        print the version and exit\n"
    "Script arguments reach the script as qm.args(); the script's folder (for -c\n"
    "and run -, the current folder) is where Python imports from first.\n"
    "Exit status: 0 success, 1 the script or a console line failed (or the plug-in\n"
    "could not be loaded), 2 bad usage or an unreadable script, 3 the plug-in\n"
    "leaked host objects; an exit() at the console gives its own status.\n"
    "Injected faults, for testing the plug-in against a failing host:\n"
    "  QMHOST_FAULT=METHOD:N[:CODE|:null][,...]\n"
    "                       the N-th call of METHOD (\"ThreadService.CreateCS\",\n"
    "                       \"Application.QueryInterface\") answers CODE (a result\n"
    "                       code's name or number; default FAILED) or, with null,\n"
    "                       success with null out-objects and texts\n"
    "  QMHOST_CALLS=FILE    writes how often each host method was called, and\n"
    "                       which answers a fault of it can give (value, code,\n"
    "                       code,null)\n";

// A usage error: what was wrong, then where to look, on standard error.
int UsageError(const std::string& what) {
  std::fprintf(stderr, "qmhost: %s\nTry 'qmhost --help' for more information.\n", what.c_str());
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

int ConsoleCommand(const qmhost::RunOptions& options) {
  std::unique_ptr<qmhost::LineSource> source;
  if (isatty(STDIN_FILENO)) {
    std::string error;
    source = qmhost::TerminalLineSource::Load(qmhost::DefaultHistoryFile(), &error);
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

// A whole decimal number from 0 to INT_MAX; false for anything else.
bool ParseCount(const char* text, int* value) {
  if (*text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  long n = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || n > INT_MAX) return false;
  *value = static_cast<int>(n);
  return true;
}

// The folder a script file is in, as an absolute path.
std::string FolderOf(const std::string& file) {
  std::string folder = file.find('/') == std::string::npos ? "." : file.substr(0, file.rfind('/'));
  if (folder.empty()) folder = "/";
  char* absolute = realpath(folder.c_str(), nullptr);
  if (absolute == nullptr) return folder;
  std::string path = absolute;
  std::free(absolute);
  return path;
}

// The entries of $PYTHONPATH, as Python itself reads them.
std::vector<std::string> PythonPathEntries() {
  std::vector<std::string> entries;
  const char* value = std::getenv("PYTHONPATH");
  if (value == nullptr) return entries;
  std::string text = value;
  size_t start = 0;
  for (size_t end; start <= text.size(); start = end + 1) {
    end = text.find(':', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) entries.push_back(text.substr(start, end - start));
  }
  return entries;
}

enum Option { kPlugin = 256, kScripts, kServers, kImportPath, kOnlyImportPaths, kTrace, kSteps };

int RunCommandLine(int argc, char** argv) {
  qmhost::RunOptions run;
  run.pluginPath = qmhost::DefaultPluginPath();
  run.progress = qmhost::StandardErrorProgressView();
  static const option kOptions[] = {
      {"plugin", required_argument, nullptr, kPlugin},
      {"scripts", required_argument, nullptr, kScripts},
      {"servers", required_argument, nullptr, kServers},
      {"import-path", required_argument, nullptr, kImportPath},
      {"only-import-paths", no_argument, nullptr, kOnlyImportPaths},
      {"trace", no_argument, nullptr, kTrace},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;  // errors are told here, with the option's name
  optind = 1;
  bool haveCode = false;
  // "+": options end at the command, so that a script's own arguments are
  // never taken for qmhost's.
  for (int c; (c = getopt_long(argc, argv, "+:c:hV", kOptions, nullptr)) != -1;) {
    switch (c) {
      case kPlugin: run.pluginPath = optarg; break;
      case kScripts: run.scriptsDir = optarg; break;
      case kServers: run.serversDir = optarg; break;
      case kImportPath: run.importPaths.emplace_back(optarg); break;
      case kOnlyImportPaths: run.replaceImportPaths = true; break;
      case kTrace: run.trace = true; break;
      case 'c':
        haveCode = true;
        run.isCode = true;
        run.code = optarg;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      case 'V':
        std::printf("qmhost " QMHOST_VERSION " (qm-python " QMHOST_VERSION
                    ", built against Python " QMHOST_PYTHON_VERSION ")\n");
        return 0;
      case ':':
        return UsageError(std::string("option '") + argv[optind - 1] + "' needs a value");
      default:
        return UsageError(optopt != 0 && optopt < 256
                              ? std::string("unknown option '-") + static_cast<char>(optopt) + "'"
                              : std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  if (!run.replaceImportPaths) {
    for (auto& entry : PythonPathEntries()) run.importPaths.push_back(std::move(entry));
  }
  std::vector<std::string> rest(argv + optind, argv + argc);

  auto runScript = [&](std::vector<std::string> args) {
    std::string refused = qmhost::RefusedScriptArguments(args);
    if (!refused.empty()) return UsageError(refused);
    run.args = std::move(args);
    // The script's folder is where Python looks first, as for python itself.
    run.importPaths.insert(run.importPaths.begin(),
                           run.isCode || run.file == "-" ? FolderOf("./") : FolderOf(run.file));
    int rc = qmhost::RunCommand(run, std::cout, std::cerr);
    std::cout.flush();
    return rc;
  };
  if (haveCode) return runScript(rest);
  if (rest.empty()) return UsageError("a command is needed: run, console, servers or simulate");
  const std::string command = rest[0];
  if (command == "run") {
    if (rest.size() < 2) return UsageError("run needs a script file (or - for standard input)");
    run.file = rest[1];
    return runScript(std::vector<std::string>(rest.begin() + 2, rest.end()));
  }
  if (command == "console" || command == "servers") {
    if (rest.size() > 1) return UsageError(command + " takes no operands, not '" + rest[1] + "'");
    return command == "console" ? ConsoleCommand(run) : ServersCommand(run);
  }
  if (command == "simulate") {
    // The command's own words, scanned anew; --steps may come before or
    // after the server's name.
    std::vector<char*> words(argv + optind, argv + argc);
    words.push_back(nullptr);
    const int count = static_cast<int>(words.size()) - 1;
    int steps = 3;
    auto readSteps = [&]() -> std::string {
      static const option kSimulateOptions[] = {
          {"steps", required_argument, nullptr, kSteps},
          {nullptr, 0, nullptr, 0},
      };
      for (int c; (c = getopt_long(count, words.data(), "+:", kSimulateOptions, nullptr)) != -1;) {
        if (c == ':') return "option '--steps' needs a value";
        if (c != kSteps) return std::string("unknown option '") + words[optind - 1] + "' of simulate";
        if (!ParseCount(optarg, &steps)) {
          return std::string("--steps needs a whole number of steps, not '") + optarg + "'";
        }
      }
      return {};
    };
    optind = 0;  // getopt starts a new scan
    std::string error = readSteps();
    if (!error.empty()) return UsageError(error);
    if (optind >= count) return UsageError("simulate needs the name of a server");
    std::string name = words[optind++];
    error = readSteps();
    if (!error.empty()) return UsageError(error);
    if (optind < count) return UsageError(std::string("unexpected operand '") + words[optind] + "'");
    return SimulateCommand(run, name, steps);
  }
  return UsageError("unknown command '" + command + "'");
}

}  // namespace

int main(int argc, char** argv) {
  if (!ArmFaults()) return 2;
  int rc = RunCommandLine(argc, argv);
  ReportFaults();
  return rc;
}
