// Where things are on disk: file aliases and Python's import paths.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/object.h"
#include "qm_impl_file.h"

namespace qmhost {

// Resolves the host's file aliases to local paths:
//   module:REST   REST in the folder the plug-in library was loaded from
//   scripts:REST  REST in the user scripts folder ("scripts:" is the folder)
//   servers:REST  REST in the folder of Python server modules, by default
//                 the scripts folder's "servers" subfolder
class FileService : public HostObject, public CQmImpl_FileService {
 public:
  // The scripts folder starts as DefaultScriptsDir(); the module folder is
  // unknown until a plug-in is loaded.
  FileService();

  // Fills `local` (kQmMaxPath bytes) and returns it, or returns null and
  // writes nothing for an unknown alias or a path that would not fit.
  const char* file_ToLocalAlias(const char* alias, char* local) override;

  // The local path of an alias; false when the alias cannot be resolved.
  bool Resolve(const std::string& alias, std::string* path);

  void SetModuleDir(const std::string& dir);
  std::string ModuleDir();
  void SetScriptsDir(const std::string& dir);
  std::string ScriptsDir();
  // Empty goes back to the default, which follows the scripts folder.
  void SetServersDir(const std::string& dir);
  std::string ServersDir();

  // $QMHOST_SCRIPTS when set, else $HOME/.qmhost/scripts.
  static std::string DefaultScriptsDir();

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  std::string ServersDirLocked() const;

  HostFace<IQmFileService> face_{this};
  std::mutex lock_;
  std::string moduleDir_;
  std::string scriptsDir_;
  std::string serversDir_;  // empty: scriptsDir_ + "/servers"
};

// The folders the plug-in's Python imports from.
class PlatformService : public HostObject, public CQmImpl_PlatformService {
 public:
  // Starts with DefaultImportPaths().
  PlatformService();

  QmResult plat_ScriptQuery(void** query) override;
  QmResult plat_ImportPathCount(uint32_t* count) override;
  QmResult plat_ImportPathByIndex(uint32_t index, const char** path) override;

  // Replaces the list.  Texts handed out earlier stay valid for the
  // service's lifetime.
  void SetImportPaths(std::vector<std::string> paths);
  std::vector<std::string> ImportPaths();

  // The standard library folders of the CPython 2.7 the host was built
  // against, as found when the build was configured.
  static std::vector<std::string> DefaultImportPaths();

 protected:
  void* Find(const QmGUID& iid) override;

 private:
  using List = std::vector<std::string>;

  HostFace<IQmPlatformService> face_{this};
  std::mutex lock_;
  std::vector<std::unique_ptr<List>> lists_;  // the current list is last
};

// The folder of a path ("a/b/c" -> "a/b", "c" -> "."), made absolute when it
// exists.
std::string FolderOf(const std::string& path);

}  // namespace qmhost
