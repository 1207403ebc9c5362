// Loading the plug-in: the library, its module object, and the check on
// unload that the plug-in gave back every host object it was handed.
#pragma once

#include <memory>
#include <string>

#include "host/application.h"

namespace qmhost {

// The plug-in built beside the host: $QMHOST_PLUGIN when set, otherwise
// ../lib/libqmpython.so relative to the running executable.
std::string DefaultPluginPath();

class Plugin {
 public:
  // Loads the library, tells the application the library's folder, calls
  // its export, hands the module the application object (with one
  // reference) and tells the application the module.  Null with a message
  // on failure.
  static std::unique_ptr<Plugin> Load(const std::string& path, Application& app,
                                      std::string* error);
  ~Plugin();

  // The module object (IQmModule), owned by the Plugin.
  IQmModule* Module() const { return module_; }
  void* Symbol(const char* name) const;

  // Hands the Plugin's reference to the module over to the caller, who
  // then releases it; Unload will not.  The application forgets it.
  IQmModule* TakeModule() {
    IQmModule* module = module_;
    module_ = nullptr;
    app_.SetModule(nullptr);
    return module;
  }

  // Releases the module and closes the library.  Returns what the plug-in
  // failed to give back, empty when it gave back everything.
  std::string Unload();

 private:
  Plugin(void* library, IQmModule* module, Application& app, long baseline, size_t kept);

  void* library_;
  IQmModule* module_;
  Application& app_;
  long baseline_;  // live host objects when the plug-in was loaded
  size_t kept_;    // objects the application kept then
};

}  // namespace qmhost
