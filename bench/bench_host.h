// A reference host with the plug-in loaded the way a host loads it, and the
// Python servers of bench/servers on its import path, for the benchmarks
// that cross the real library boundary.  Exits the process when the
// plug-in cannot be loaded.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/application.h"
#include "host/plugin.h"
#include "qm_ifc_module.h"
#include "qm_ifc_script.h"

inline std::unique_ptr<qmhost::Plugin> LoadBenchPlugin(qmhost::Application& app) {
  std::vector<std::string> paths = app.ImportPaths();
  paths.push_back(QM_BENCH_SERVERS);
  app.SetImportPaths(paths);
  std::string error;
  auto plugin = qmhost::Plugin::Load(QM_PLUGIN_PATH, app, &error);
  if (!plugin) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::exit(1);
  }
  return plugin;
}

// The plug-in's script interpreter server; exits the process without one.
inline IQmTextScriptInterpreter* BenchScriptInterpreter(qmhost::Plugin& plugin) {
  IQmModule* module = plugin.Module();
  void* made = nullptr;
  if (QmFailed(module->vt->Generate(module, "python", &IID_IQmTextScriptInterpreter, &made))) {
    std::fprintf(stderr, "no script interpreter\n");
    std::exit(1);
  }
  return static_cast<IQmTextScriptInterpreter*>(made);
}
