#include "host/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#ifndef QMHOST_PYTHON_PATHS
#define QMHOST_PYTHON_PATHS ""
#endif

namespace qmhost {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string WithoutTrailingSlashes(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

// `rest` inside `dir`: "scripts:" is the folder itself, "scripts:a/b" and
// "scripts:/a/b" both name a/b inside it.
std::string Inside(const std::string& dir, const char* rest) {
  while (*rest == '/') ++rest;
  if (*rest == '\0') return dir;
  return dir == "/" ? dir + rest : dir + "/" + rest;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  char real[PATH_MAX];
  if (realpath(dir.c_str(), real) != nullptr) return real;
  return dir;
}

// --- Files ----------------------------------------------------------------------------

FileService::FileService() : scriptsDir_(DefaultScriptsDir()) {}

std::string FileService::DefaultScriptsDir() {
  std::string dir = Env("QMHOST_SCRIPTS");
  if (!dir.empty()) return WithoutTrailingSlashes(dir);
  std::string home = Env("HOME");
  if (home.empty()) {
    if (const passwd* user = getpwuid(getuid())) home = user->pw_dir != nullptr ? user->pw_dir : "";
  }
  return WithoutTrailingSlashes(home) + "/.qmhost/scripts";
}

bool FileService::Resolve(const std::string& alias, std::string* path) {
  static const std::string kModule = "module:";
  static const std::string kScripts = "scripts:";
  static const std::string kServers = "servers:";
  std::string dir;
  const char* rest = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (alias.compare(0, kModule.size(), kModule) == 0) {
      dir = moduleDir_;
      rest = alias.c_str() + kModule.size();
    } else if (alias.compare(0, kScripts.size(), kScripts) == 0) {
      dir = scriptsDir_;
      rest = alias.c_str() + kScripts.size();
    } else if (alias.compare(0, kServers.size(), kServers) == 0) {
      dir = ServersDirLocked();
      rest = alias.c_str() + kServers.size();
    }
  }
  if (rest == nullptr || dir.empty()) return false;
  *path = Inside(dir, rest);
  return true;
}

const char* FileService::file_ToLocalAlias(const char* alias, char* local) {
  if (alias == nullptr || local == nullptr) return nullptr;
  std::string path;
  if (!Resolve(alias, &path) || path.size() + 1 > kQmMaxPath) return nullptr;
  std::memcpy(local, path.c_str(), path.size() + 1);
  return local;
}

void FileService::SetModuleDir(const std::string& dir) {
  std::lock_guard<std::mutex> hold(lock_);
  moduleDir_ = WithoutTrailingSlashes(dir);
}

std::string FileService::ModuleDir() {
  std::lock_guard<std::mutex> hold(lock_);
  return moduleDir_;
}

void FileService::SetScriptsDir(const std::string& dir) {
  std::lock_guard<std::mutex> hold(lock_);
  scriptsDir_ = WithoutTrailingSlashes(dir);
}

std::string FileService::ScriptsDir() {
  std::lock_guard<std::mutex> hold(lock_);
  return scriptsDir_;
}

void FileService::SetServersDir(const std::string& dir) {
  std::lock_guard<std::mutex> hold(lock_);
  serversDir_ = dir.empty() ? dir : WithoutTrailingSlashes(dir);
}

std::string FileService::ServersDir() {
  std::lock_guard<std::mutex> hold(lock_);
  return ServersDirLocked();
}

std::string FileService::ServersDirLocked() const {
  if (!serversDir_.empty()) return serversDir_;
  return scriptsDir_.empty() ? std::string() : Inside(scriptsDir_, "servers");
}

void* FileService::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmFileService ? face_.get() : nullptr;
}

// --- Platform -------------------------------------------------------------------------

PlatformService::PlatformService() {
  lists_.push_back(std::make_unique<List>(DefaultImportPaths()));
}

std::vector<std::string> PlatformService::DefaultImportPaths() {
  std::vector<std::string> paths;
  const char* list = QMHOST_PYTHON_PATHS;
  while (*list != '\0') {
    const char* end = std::strchr(list, ':');
    if (end == nullptr) end = list + std::strlen(list);
    if (end != list) paths.emplace_back(list, end);
    list = *end == ':' ? end + 1 : end;
  }
  return paths;
}

QmResult PlatformService::plat_ScriptQuery(void** query) {
  if (query != nullptr) *query = nullptr;
  return QMe_NOTIMPL;
}

QmResult PlatformService::plat_ImportPathCount(uint32_t* count) {
  if (count == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  *count = static_cast<uint32_t>(lists_.back()->size());
  return QMe_OK;
}

QmResult PlatformService::plat_ImportPathByIndex(uint32_t index, const char** path) {
  if (path == nullptr) return QMe_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  const List& list = *lists_.back();
  if (index >= list.size()) return QMe_OUTOFBOUNDS;
  *path = list[index].c_str();
  return QMe_OK;
}

void PlatformService::SetImportPaths(std::vector<std::string> paths) {
  std::lock_guard<std::mutex> hold(lock_);
  lists_.push_back(std::make_unique<List>(std::move(paths)));
}

std::vector<std::string> PlatformService::ImportPaths() {
  std::lock_guard<std::mutex> hold(lock_);
  return *lists_.back();
}

void* PlatformService::Find(const QmGUID& iid) {
  return iid == IID_QmBaseUnknown || iid == IID_IQmPlatformService ? face_.get() : nullptr;
}

}  // namespace qmhost
