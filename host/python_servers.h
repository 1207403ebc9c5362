// The Python servers of a loaded plug-in, reached the way the host reaches
// any module's servers: the plug-in's "python" server of the module
// interface lists them in its tag description, makes instances by name
// (Generate) and gives each server's tags (GetTags).
#pragma once

#include <string>
#include <vector>

#include "host/logs.h"
#include "host/servers.h"
#include "qm_sdk.h"

namespace qmhost {

class PythonServers {
 public:
  // Asks the plug-in for its module server; Available() is false when it
  // has none.
  explicit PythonServers(IQmModule* plugin);
  ~PythonServers();
  PythonServers(const PythonServers&) = delete;
  PythonServers& operator=(const PythonServers&) = delete;

  bool Available() const { return module_ != nullptr; }
  IQmModule* Module() const { return module_; }

  // The blessed servers: name, class (the primary interface) and tags.
  std::vector<ServerInfo> List();
  // A new instance of the named server seen through `iid`, with one
  // reference; null with the reason in `*rc`.
  void* Spawn(const std::string& name, const QmGUID& iid, QmResult* rc);

 private:
  IQmModule* module_ = nullptr;
};

// The server modules that failed to load since `mark`: the plug-in's
// Python reports each to the "python" log as an error entry titled
// "loading Python servers from PATH failed", with its traceback under it.
std::vector<Ref<LogEntry>> ServerLoadFailures(LogService& logs, LogMark mark);

// Runs a blessed simulation modifier the way the host's simulation does:
// Enabled, Initialize, StepSize, `steps` times Step, Cleanup, printing
// each answer to `out`.  0 when every call succeeded, 1 otherwise.
int Simulate(PythonServers& servers, const std::string& name, int steps, std::ostream& out);

}  // namespace qmhost
