// A small host: it loads the plug-in, hands it an application object that
// offers the two services the plug-in cannot start Python without (the
// import paths, and the folders behind "module:" and "scripts:"), and runs
// a script file with the plug-in's Python script interpreter.  It shows
// the least a host does; output goes nowhere, since it has no event log:
// the script's result code is the answer.
//
//   small_host SCRIPT [ARGUMENT TEXT]
//
// Exit status: 0 when the script ran and succeeded, 1 when it failed, 2
// when the plug-in could not be loaded or set up.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qm_impl_file.h"
#include "qm_impl_module.h"
#include "qm_impl_platform.h"
#include "qm_impl_script.h"
#include "qm_sdk.h"

namespace {

// Every object the host hands out: reference counted, with one face per
// interface; a face is the interface's function table and the owner.
class Object {
 public:
  virtual ~Object() = default;
  uint32_t AddRef() { return ++refs_; }
  uint32_t Release() {
    uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  // The face for `iid` (no reference added), or null.
  virtual void* Face(const QmGUID& iid) = 0;

 private:
  std::atomic<uint32_t> refs_{1};
};

struct FaceRecord {
  const void* vt;
  Object* owner;
};

// How the SDK's generated function tables reach an object of class T.
template <class T>
struct Access {
  template <class I>
  static I* Impl(void* self) {
    return static_cast<T*>(static_cast<FaceRecord*>(self)->owner);
  }
  static QmResult QueryInterface(void* self, const QmGUID* iid, void** out) {
    Object* owner = static_cast<FaceRecord*>(self)->owner;
    void* face = owner->Face(iid != nullptr ? *iid : IID_QmBaseUnknown);
    *out = face;
    if (face == nullptr) return QMe_NOINTERFACE;
    owner->AddRef();
    return QMe_OK;
  }
  static uint32_t AddRef(void* self) { return static_cast<FaceRecord*>(self)->owner->AddRef(); }
  static uint32_t Release(void* self) { return static_cast<FaceRecord*>(self)->owner->Release(); }
};

template <class I, class T>
FaceRecord FaceOf(T* owner) {
  return FaceRecord{&QmImplOf<I>::template Thunks<Access<T>>::table, owner};
}

std::string Folder(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Import paths: the standard library of the plug-in's Python.
class Platform : public Object, public CQmImpl_PlatformService {
 public:
  Platform() {
    std::stringstream list(SMALL_HOST_STDLIB);
    for (std::string path; std::getline(list, path, ':');) {
      if (!path.empty()) paths_.push_back(path);
    }
  }
  QmResult plat_ImportPathCount(uint32_t* count) override {
    *count = static_cast<uint32_t>(paths_.size());
    return QMe_OK;
  }
  QmResult plat_ImportPathByIndex(uint32_t index, const char** path) override {
    if (index >= paths_.size()) return QMe_OUTOFBOUNDS;
    *path = paths_[index].c_str();
    return QMe_OK;
  }
  void* Face(const QmGUID& iid) override {
    return iid == IID_QmBaseUnknown || iid == IID_IQmPlatformService ? &face_ : nullptr;
  }

 private:
  std::vector<std::string> paths_;
  FaceRecord face_ = FaceOf<IQmPlatformService>(this);
};

// "module:" is the plug-in's folder, "scripts:" the script's.
class Files : public Object, public CQmImpl_FileService {
 public:
  Files(std::string moduleDir, std::string scriptsDir)
      : moduleDir_(std::move(moduleDir)), scriptsDir_(std::move(scriptsDir)) {}
  const char* file_ToLocalAlias(const char* alias, char* local) override {
    std::string path;
    if (std::strncmp(alias, "module:", 7) == 0) {
      path = moduleDir_ + "/" + (alias + 7);
    } else if (std::strncmp(alias, "scripts:", 8) == 0) {
      path = scriptsDir_ + "/" + (alias + 8);
    } else {
      return nullptr;
    }
    if (path.size() >= kQmMaxPath) return nullptr;
    std::memcpy(local, path.c_str(), path.size() + 1);
    return local;
  }
  void* Face(const QmGUID& iid) override {
    return iid == IID_QmBaseUnknown || iid == IID_IQmFileService ? &face_ : nullptr;
  }

 private:
  std::string moduleDir_, scriptsDir_;
  FaceRecord face_ = FaceOf<IQmFileService>(this);
};

// The application: its services answer QueryInterface for their GUIDs.
class Application : public Object {
 public:
  Application(Object* platform, Object* files) : platform_(platform), files_(files) {}
  ~Application() override {
    platform_->Release();
    files_->Release();
  }
  void* Face(const QmGUID& iid) override { return iid == IID_QmBaseUnknown ? &face_ : nullptr; }

 private:
  // A query for a service's GUID gives that service's face, with a
  // reference to the service; every service but these two is optional.
  static QmResult Query(void* self, const QmGUID* iid, void** out) {
    auto* app = static_cast<Application*>(static_cast<FaceRecord*>(self)->owner);
    const QmGUID& wanted = iid != nullptr ? *iid : IID_QmBaseUnknown;
    Object* owner = wanted == IID_QmBaseUnknown      ? static_cast<Object*>(app)
                    : wanted == IID_IQmPlatformService ? app->platform_
                    : wanted == IID_IQmFileService     ? app->files_
                                                       : nullptr;
    *out = owner != nullptr ? owner->Face(wanted) : nullptr;
    if (*out == nullptr) return QMe_NOINTERFACE;
    owner->AddRef();
    return QMe_OK;
  }
  static uint32_t Add(void* self) { return static_cast<FaceRecord*>(self)->owner->AddRef(); }
  static uint32_t Drop(void* self) { return static_cast<FaceRecord*>(self)->owner->Release(); }
  static constexpr IQmUnknown_Vtbl kTable = {&Query, &Add, &Drop};

  Object* platform_;
  Object* files_;
  FaceRecord face_{&kTable, this};
};

// The script: its text, and its path as name and hash.
class Script : public Object, public CQmImpl_Script {
 public:
  Script(std::string path, std::string text) : path_(std::move(path)), text_(std::move(text)) {}
  QmResult scr_Hash(const char** hash) override {
    *hash = path_.c_str();
    return QMe_OK;
  }
  QmResult scr_UserName(const char** name) override {
    *name = path_.c_str();
    return QMe_OK;
  }
  QmResult scr_GetBuffer(const char** buffer, uint32_t* length) override {
    *buffer = text_.c_str();
    *length = static_cast<uint32_t>(text_.size());
    return QMe_OK;
  }
  void* Face(const QmGUID& iid) override {
    return iid == IID_QmBaseUnknown || iid == IID_IQmScript ? &face_ : nullptr;
  }

 private:
  std::string path_, text_;
  FaceRecord face_ = FaceOf<IQmScript>(this);
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: small_host SCRIPT [ARGUMENT TEXT]\n");
    return 2;
  }
  std::ifstream file(argv[1]);
  std::stringstream text;
  text << file.rdbuf();
  if (!file) {
    std::fprintf(stderr, "small_host: cannot read %s\n", argv[1]);
    return 2;
  }

  void* library = dlopen(SMALL_HOST_PLUGIN, RTLD_NOW | RTLD_LOCAL);
  auto entry = library != nullptr
                   ? reinterpret_cast<QmModuleEntry>(dlsym(library, QM_MODULE_ENTRY))
                   : nullptr;
  void* module = entry != nullptr ? entry() : nullptr;
  if (module == nullptr) {
    std::fprintf(stderr, "small_host: cannot load %s: %s\n", SMALL_HOST_PLUGIN, dlerror());
    return 2;
  }
  // The plug-in's folder holds its Python modules (PythonModules).
  auto* app = new Application(new Platform, new Files(Folder(SMALL_HOST_PLUGIN), Folder(argv[1])));
  void* need = nullptr;
  if (QmFailed(QmQueryInterface(module, IID_IQmNeedContext, &need))) {
    std::fprintf(stderr, "small_host: the module takes no application\n");
    return 2;
  }
  auto* context = static_cast<IQmNeedContext*>(need);
  // The module takes over a reference to the application, which it lets go
  // of when it is released; the host keeps its own.
  app->AddRef();
  context->vt->SetContext(context, app->Face(IID_QmBaseUnknown));
  QmRelease(context);

  auto* modules = static_cast<IQmModule*>(module);
  void* made = nullptr;
  QmResult rc = modules->vt->Generate(modules, "python", &IID_IQmTextScriptInterpreter, &made);
  if (QmFailed(rc) || made == nullptr) {
    std::fprintf(stderr, "small_host: no Python script interpreter (%08X)\n", rc);
    return 2;
  }
  auto* interpreter = static_cast<IQmTextScriptInterpreter*>(made);
  auto* script = new Script(argv[1], text.str());
  void* face = script->Face(IID_IQmScript);
  std::string firstLine = text.str().substr(0, text.str().find('\n'));
  rc = interpreter->vt->ValidateFileType(interpreter, face, firstLine.c_str());
  if (rc == QMe_OK) {
    rc = interpreter->vt->Run(interpreter, face, 0, argc > 2 ? argv[2] : "", nullptr);
    std::printf("result %08X\n", rc);
  } else {
    std::fprintf(stderr, "small_host: %s is not a Python script\n", argv[1]);
  }
  QmRelease(interpreter);
  script->Release();
  // Letting the module go ends Python; the library stays loaded.
  QmRelease(module);
  app->Release();
  return rc == QMe_OK ? 0 : 1;
}
