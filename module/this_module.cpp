#include "module/this_module.h"

#include <cstdlib>
#include <cstring>

#include "interp/manager.h"
#include "interp/output.h"
#include "module/export.h"
#include "pyservers/instances.h"
#include "pyservers/module_server.h"
#include "scripting/qm_module.h"
#include "servers/line_server.h"
#include "servers/script_server.h"

namespace {
CQmThisModule gModule;
}  // namespace

CQmThisModule& CQmThisModule::Get() { return gModule; }

CQmThisModule::CQmThisModule() {
  AddInterface(CQmMakeDescriptor<IQmModule, CQmThisModule>());
  AddInterface(CQmMakeDescriptor<IQmTagDescription, CQmThisModule>());
  AddInterface(CQmMakeDescriptor<IQmNeedContext, CQmThisModule>());
}

CQmThisModule::~CQmThisModule() {
  std::free(factories_);
  std::free(names_);
  std::free(primaries_);
  factories_ = nullptr;
  names_ = nullptr;
  primaries_ = nullptr;
  count_ = capacity_ = 0;
  DeleteState();
}

namespace {

// Runs one step of the module's release; a step that fails leaves the
// ones after it to run, so that the host gets its objects back whatever
// happened.
void ReleaseStep(void (*step)()) {
  try {
    step();
  } catch (...) {
  }
}

template <class T>
bool Grow(T*& array, uint32_t capacity) {
  void* grown = std::realloc(static_cast<void*>(array), capacity * sizeof(T));
  if (grown == nullptr) return false;
  array = static_cast<T*>(grown);
  return true;
}

}  // namespace

void CQmThisModule::AddServer(const char* name, CQmGenericPolymorph* factory) {
  if (count_ == capacity_) {
    uint32_t capacity = capacity_ + 20;
    if (!Grow(factories_, capacity) || !Grow(names_, capacity) || !Grow(primaries_, capacity)) {
      count_ = capacity_ = 0;
      throw QMe_OUTOFMEMORY;
    }
    capacity_ = capacity;
  }
  const CQmInterfaceDesc* first = factory->FirstInterface();
  factories_[count_] = factory;
  names_[count_] = name;
  primaries_[count_] = first != nullptr ? first->guid : nullptr;
  ++count_;
}

CQmGenericPolymorph* CQmThisModule::FindServer(const char* name) const {
  if (name == nullptr) return nullptr;
  for (uint32_t i = 0; i < count_; ++i) {
    if (std::strcmp(names_[i], name) == 0) return factories_[i];
  }
  return nullptr;
}

void CQmThisModule::RegisterServers() {
  SetReleaseHook([] {
    ReleaseStep(&ReleasePythonServers);
    ReleaseStep(&ReleaseQmModule);
    ReleaseStep(&DestroyInterpreterManager);
    ReleaseStep(&ReleaseRootOutput);
  });
  SetRunEndHook(&ClearQmPackage);
  // The plug-in's servers, in the order the host lists them.
  Python_Script::RegisterScriptServer();
  Python_LineInterp::RegisterLineServer();
  Python_Module::RegisterModuleServer();
}

void* CQmThisModule::Create() {
  try {
    if (registrationPending_) {
      RegisterServers();
      state_ = kRegistered;
      registrationPending_ = false;
    }
    return Spawn(nullptr);
  } catch (...) {
    return nullptr;
  }
}

QmResult CQmThisModule::mod_Generate(const char* name, const QmGUID* iid, void** object) {
  if (object == nullptr) return QMe_INVALIDARG;
  if (name == nullptr || iid == nullptr) return QMe_NOTFOUND;
  for (uint32_t i = 0; i < count_; ++i) {
    if (std::strcmp(names_[i], name) != 0 || primaries_[i] == nullptr || *primaries_[i] != *iid) {
      continue;
    }
    void* made = factories_[i]->Spawn(iid);
    *object = made;
    return made != nullptr ? QMe_OK : QMe_FAILED;
  }
  return QMe_NOTFOUND;
}

QmResult CQmThisModule::tag_Describe(uint32_t index, QmTagInfo* entry) {
  if (index >= count_) return QMe_OUTOFBOUNDS;
  if (entry == nullptr) return QMe_INVALIDARG;
  entry->name = "server";
  entry->value = names_[index];
  entry->guid = primaries_[index];
  return QMe_OK;
}

QmResult CQmThisModule::need_SetContext(void* app) {
  SetContext(app);
  return QMe_OK;
}

void CQmThisModule::FreeObject(void*) {
  // Each call of the export makes its own record of the module; the module
  // is released for good only when the host has let go of all of them.
  if (HasInstances()) return;
  if (releaseHook_ != nullptr) releaseHook_();
  state_ = kReleased;
  DeleteState();
}

extern "C" QM_EXPORT void* _IQmModule_Create() { return gModule.Create(); }
