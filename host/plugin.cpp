#include "host/plugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace qmhost {

std::string DefaultPluginPath() {
  if (const char* env = std::getenv("QMHOST_PLUGIN")) {
    if (*env != '\0') return env;
  }
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "libqmpython.so";
  exe[n] = '\0';
  std::string dir(exe);
  dir.erase(dir.find_last_of('/'));
  return dir + "/../lib/libqmpython.so";
}

Plugin::Plugin(void* library, IQmModule* module, Application& app, long baseline, size_t kept)
    : library_(library), module_(module), app_(app), baseline_(baseline), kept_(kept) {}

Plugin::~Plugin() { Unload(); }

std::unique_ptr<Plugin> Plugin::Load(const std::string& path, Application& app,
                                     std::string* error) {
  long baseline = HostObject::LiveCount();
  size_t kept = app.KeptObjects();
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    *error = std::string("cannot load the plug-in: ") + dlerror();
    return nullptr;
  }
  auto entry = reinterpret_cast<QmModuleEntry>(dlsym(library, QM_MODULE_ENTRY));
  if (entry == nullptr) {
    *error = path + " has no " QM_MODULE_ENTRY " export";
    dlclose(library);
    return nullptr;
  }
  // The module's files live beside the library; the plug-in may look for
  // them as soon as it is created.
  Dl_info where{};
  if (dladdr(reinterpret_cast<void*>(entry), &where) != 0 && where.dli_fname != nullptr &&
      std::strchr(where.dli_fname, '/') != nullptr) {
    app.SetModuleDir(FolderOf(where.dli_fname));
  } else {
    app.SetModuleDir(FolderOf(path));
  }
  auto* module = static_cast<IQmModule*>(entry());
  if (module == nullptr) {
    *error = "the plug-in's " QM_MODULE_ENTRY " returned no module";
    dlclose(library);
    return nullptr;
  }
  void* need = nullptr;
  if (QmFailed(QmQueryInterface(module, IID_IQmNeedContext, &need)) || need == nullptr) {
    *error = "the plug-in's module does not take an application context";
    QmRelease(module);
    dlclose(library);
    return nullptr;
  }
  auto* context = static_cast<IQmNeedContext*>(need);
  app.AddRef();  // the module adopts this reference
  QmResult rc = context->vt->SetContext(context, app.Unknown());
  QmRelease(context);
  if (QmFailed(rc)) {
    app.Release();
    *error = "the plug-in refused the application context";
    QmRelease(module);
    dlclose(library);
    return nullptr;
  }
  app.SetModule(module);
  return std::unique_ptr<Plugin>(new Plugin(library, module, app, baseline, kept));
}

void* Plugin::Symbol(const char* name) const {
  return library_ != nullptr ? dlsym(library_, name) : nullptr;
}

std::string Plugin::Unload() {
  if (library_ == nullptr) return {};
  app_.SetModule(nullptr);
  if (module_ != nullptr) QmRelease(module_);
  module_ = nullptr;
  dlclose(library_);
  library_ = nullptr;

  std::string report;
  if (app_.RefCount() != 1) {
    report += "the plug-in kept " + std::to_string(app_.RefCount() - 1) +
              " reference(s) to the application object\n";
  }
  report += app_.ServiceLeaks();
  // Objects made while the plug-in was loaded that the application keeps
  // (log entries, open monitors) are the host's, not leaks; ServiceLeaks
  // has checked that nobody else holds them.
  long keptSince = static_cast<long>(app_.KeptObjects()) - static_cast<long>(kept_);
  long live = HostObject::LiveCount() - baseline_ - keptSince;
  if (live != 0) {
    report += std::to_string(live) + " host object(s) given to the plug-in were not released\n";
  }
  return report;
}

}  // namespace qmhost
