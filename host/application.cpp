#include "host/application.h"

#include <initializer_list>

namespace qmhost {

namespace {
// The plug-in finds every global service through this QueryInterface, which
// injected faults reach as "Application.QueryInterface".
QmResult QueryApplication(void* self, const QmGUID* iid, void** out) {
  QmFault injected;
  if (Faults::Fault("Application.QueryInterface", QmFaultAnswers::kCodeOrNull, &injected)) {
    return QmFaultCode(injected, out);
  }
  return HostAccess<Application>::QueryInterface(self, iid, out);
}

const IQmUnknown_Vtbl kApplicationTable = {&QueryApplication,
                                           &HostAccess<Application>::AddRef,
                                           &HostAccess<Application>::Release};
}  // namespace

Application::Application()
    : face_{&kApplicationTable, this},
      guids_(new GuidService),
      threads_(new ThreadService),
      host_(new HostService),
      logs_(new LogService),
      messages_(new MessageService),
      files_(new FileService),
      platform_(new PlatformService),
      context_(std::make_shared<HostContext>(this)),
      values_(new ValueService),
      commands_(new CommandService(context_)),
      dialogs_(new StdDialogService),
      sceneService_(new SceneService(context_->SharedScene())) {
  AddService(IID_IQmGUIDService, guids_);
  AddService(IID_IQmThreadService, threads_);
  AddService(IID_IQmHostService, host_);
  AddService(IID_IQmLogService, logs_);
  AddService(IID_IQmMessageService, messages_);
  AddService(IID_IQmFileService, files_);
  AddService(IID_IQmPlatformService, platform_);
  AddService(IID_IQmValueService, values_);
  AddService(IID_IQmCommandService, commands_);
  AddService(IID_IQmStdDialogService, dialogs_);
  AddService(IID_IQmSceneService, sceneService_);
  // AddService took its own references.
  for (HostObject* service :
       std::initializer_list<HostObject*>{guids_, threads_, host_, logs_, messages_, files_,
                                          platform_, values_, commands_, dialogs_, sceneService_}) {
    service->Release();
  }
}

Application::~Application() {
  context_->Detach();
  for (auto& entry : services_) entry.second->Release();
}

void Application::AddService(const QmGUID& guid, HostObject* service) {
  std::lock_guard<std::mutex> hold(lock_);
  service->AddRef();
  auto it = services_.find(guid);
  if (it != services_.end()) {
    it->second->Release();
    it->second = service;
  } else {
    services_.emplace(guid, service);
  }
}

QmResult Application::QueryInterface(const QmGUID* iid, void** out) {
  if (out == nullptr) return QMe_INVALIDARG;
  HostObject* service = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (iid != nullptr) {
      ++queries_[*iid];
      auto it = services_.find(*iid);
      if (it != services_.end()) service = it->second;
    }
  }
  if (service != nullptr) return service->QueryInterface(iid, out);
  return HostObject::QueryInterface(iid, out);
}

unsigned Application::QueryCount(const QmGUID& guid) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = queries_.find(guid);
  return it != queries_.end() ? it->second : 0;
}

std::string Application::ServiceLeaks() {
  std::string report;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& entry : services_) {
      uint32_t refs = entry.second->RefCount();
      if (refs != 1) {
        report += "service " + QmGuidFormat(entry.first) + " still has " +
                  std::to_string(refs - 1) + " reference(s) from the plug-in\n";
      }
    }
  }
  return report + logs_->Leaks() + dialogs_->Leaks();
}

size_t Application::KeptObjects() { return logs_->KeptObjects() + dialogs_->KeptObjects(); }

void* Application::Find(const QmGUID& iid) { return iid == IID_QmBaseUnknown ? &face_ : nullptr; }

}  // namespace qmhost
