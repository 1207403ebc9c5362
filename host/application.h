// The host's application object: what the plug-in receives through
// SetContext, and through which it finds every global service by GUID.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/commands.h"
#include "host/context.h"
#include "host/dialogs.h"
#include "host/logs.h"
#include "host/messages.h"
#include "host/object.h"
#include "host/paths.h"
#include "host/scene.h"
#include "host/services.h"
#include "host/threads.h"
#include "host/values.h"

namespace qmhost {

class Application : public HostObject {
 public:
  Application();
  ~Application() override;

  // Services answer QueryInterface of the application for their GUID.
  // The application holds one reference to each.
  void AddService(const QmGUID& guid, HostObject* service);

  QmResult QueryInterface(const QmGUID* iid, void** out) override;

  // How often the application was asked for `guid`.
  unsigned QueryCount(const QmGUID& guid);

  // Describes every service, log subsystem, kept log entry and open
  // monitor still referenced by someone other than the application; empty
  // when none is.
  std::string ServiceLeaks();

  // Host objects the application keeps besides its services (log
  // subsystems and the entries they hold, monitors kept open).  Objects made while a plug-in
  // was loaded and kept here are not the plug-in's to give back.
  size_t KeptObjects();

  GuidService& Guids() { return *guids_; }
  ThreadService& Threads() { return *threads_; }
  HostService& Host() { return *host_; }
  LogService& Logs() { return *logs_; }
  MessageService& Messages() { return *messages_; }
  FileService& Files() { return *files_; }
  PlatformService& Platform() { return *platform_; }
  CommandService& Commands() { return *commands_; }
  ValueService& Values() { return *values_; }
  StdDialogService& Dialogs() { return *dialogs_; }
  SceneService& SceneServiceObject() { return *sceneService_; }

  // The scene the commands change and the scene service's queries read.
  Scene& GetScene() { return context_->GetScene(); }
  // What the application shares with the commands it spawns.
  std::shared_ptr<HostContext> Context() { return context_; }

  // The loaded plug-in's module, which runs implicit scripts ("@file").
  // Plugin::Load sets it and Plugin::Unload clears it; the application
  // holds no reference to it.
  void SetModule(IQmModule* module) { context_->SetModule(module); }

  // The folder of the loaded plug-in library, for "module:" aliases.
  void SetModuleDir(const std::string& dir) { files_->SetModuleDir(dir); }
  // The user scripts folder, for "scripts:" aliases.
  void SetScriptsDir(const std::string& dir) { files_->SetScriptsDir(dir); }
  std::string ScriptsDir() { return files_->ScriptsDir(); }
  // The folder of Python server modules, for "servers:" aliases; empty
  // (the default) is the scripts folder's "servers" subfolder.
  void SetServersDir(const std::string& dir) { files_->SetServersDir(dir); }
  std::string ServersDir() { return files_->ServersDir(); }
  // The folders Python imports from.
  void SetImportPaths(std::vector<std::string> paths) {
    platform_->SetImportPaths(std::move(paths));
  }
  std::vector<std::string> ImportPaths() { return platform_->ImportPaths(); }

  // The application as the plug-in sees it.
  void* Unknown() { return &face_; }

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  HostFaceBase face_;
  GuidService* guids_;
  ThreadService* threads_;
  HostService* host_;
  LogService* logs_;
  MessageService* messages_;
  FileService* files_;
  PlatformService* platform_;
  std::shared_ptr<HostContext> context_;
  ValueService* values_;
  CommandService* commands_;
  StdDialogService* dialogs_;
  SceneService* sceneService_;
  std::mutex lock_;
  std::map<QmGUID, HostObject*> services_;
  std::map<QmGUID, unsigned> queries_;
};

}  // namespace qmhost
