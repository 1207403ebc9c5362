// What the host's commands and queries reach beyond their own objects: the
// scene, the loaded plug-in's module, the scripts folder and the event log.
// The application and every command it spawns share one context; when the
// application goes, it detaches itself, so that a command kept past that
// point fails cleanly instead of reaching a dead application.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "host/scene.h"

namespace qmhost {

class Application;
class CommandTable;

class HostContext {
 public:
  explicit HostContext(Application* app);

  Scene& GetScene() { return *scene_; }
  std::shared_ptr<Scene> SharedScene() { return scene_; }

  // The module of the loaded plug-in (not referenced), null when none is.
  void SetModule(IQmModule* module);
  // That module with a reference the caller releases, or null.
  IQmModule* AcquireModule();

  // The user scripts folder; empty once the application is gone.
  std::string ScriptsDir();

  // The commands the application offers.
  CommandTable& Commands() { return *commands_; }
  // How many times the plug-in has asked the host to read its "python"
  // module's server list again.
  size_t PythonModuleUpdates();
  // The number of those updates the command table has caught up with.
  std::atomic<size_t> pythonUpdatesSeen{0};

  // Shows the user a failure: an error entry in the "host" event log.
  void Alert(QmResult code, const std::string& text);

  // Called by the application as it goes.
  void Detach();

 private:
  std::mutex lock_;
  Application* app_;
  IQmModule* module_ = nullptr;
  std::shared_ptr<Scene> scene_;
  std::shared_ptr<CommandTable> commands_;
};

}  // namespace qmhost
