#include "pyservers/module_server.h"

#include "interp/checks.h"
#include "interp/guard.h"
#include "interp/manager.h"
#include "module/this_module.h"
#include "pyservers/instances.h"

namespace Python_Module {

namespace {
constexpr char kDictAsTags[] = "dict-as-tags";
}

uint32_t CDictionary::tag_Count() { return static_cast<uint32_t>(Size()); }

QmResult CDictionary::tag_Describe(uint32_t index, QmTagInfo* entry) {
  if (index >= Size()) return QMe_OUTOFBOUNDS;
  if (entry == nullptr) return QMe_INVALIDARG;
  entry->name = NameAt(index).c_str();
  entry->value = ValueAt(index).c_str();
  return QMe_OK;
}

CModule::CModule()
    : tags_(dynamic_cast<CQmPolymorph<CDictionary>*>(
          CQmThisModule::Get().FindLocalFactory(kDictAsTags))) {}

QmResult CModule::mod_Generate(const char* name, const QmGUID* iid, void** object) {
  if (object == nullptr) return QMe_INVALIDARG;
  try {
    CInterpreterGuard guard;
    *object = SpawnServer(ServerIndex(name, iid));
    return QMe_OK;
  } catch (QmResult code) {
    return code;
  } catch (...) {
    return QMe_FAILED;
  }
}

QmResult CModule::mod_GetTags(const char* name, const QmGUID* iid, void** object) {
  if (object == nullptr) return QMe_INVALIDARG;
  *object = nullptr;
  void* made = nullptr;
  try {
    CheckPointer(tags_, QMe_FAILED);
    made = tags_->Spawn(nullptr);
    CheckPointer(made, QMe_FAILED);
    CInterpreterGuard guard;
    static_cast<CDictionary*>(CQmImplOfRecord(made))->Load(ServerTags(ServerIndex(name, iid)));
    *object = made;
    return QMe_OK;
  } catch (QmResult code) {
    // The host gets no object with a failure.
    if (made != nullptr) QmRelease(made);
    return code;
  } catch (...) {
    if (made != nullptr) QmRelease(made);
    return QMe_FAILED;
  }
}

uint32_t CModule::tag_Count() {
  auto* host = static_cast<IQmHostService*>(
      CQmThisModule::Get().LookupGlobal(&IID_IQmHostService));
  if (host != nullptr && host->vt->SpawnForTagsOnly(host) == QMe_TRUE) return 0;
  try {
    // The servers are blessed as Python starts: the list needs it running.
    CInterpreterGuard guard;
    return ServerCount();
  } catch (...) {
    return 0;
  }
}

QmResult CModule::tag_Describe(uint32_t index, QmTagInfo* entry) {
  // Servers exist only once Python runs; the list may grow meanwhile on
  // another thread, so it is read under the guard.
  if (RunningInterpreterManager() == nullptr) return QMe_OUTOFBOUNDS;
  try {
    CInterpreterGuard guard;
    if (index >= ServerCount()) return QMe_OUTOFBOUNDS;
    if (entry == nullptr) return QMe_INVALIDARG;
    entry->name = "server";
    ServerNameAndClass(index, &entry->value, &entry->guid);
    return QMe_OK;
  } catch (...) {
    return QMe_FAILED;
  }
}

void RegisterModuleServer() {
  CQmThisModule& module = CQmThisModule::Get();
  auto* tags = new CQmPolymorph<CDictionary>;
  tags->AddInterface<IQmTagDescription>();
  module.AddLocalFactory(kDictAsTags, tags);

  static CQmPolymorph<CModule> factory;
  if (factory.FirstInterface() == nullptr) {
    factory.AddInterface<IQmModule>();
    factory.AddInterface<IQmTagDescription>();
  }
  module.AddServer("python", &factory);
}

}  // namespace Python_Module
