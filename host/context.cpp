#include "host/context.h"

#include "host/application.h"

namespace qmhost {

HostContext::HostContext(Application* app) : app_(app), scene_(std::make_shared<Scene>()) {}

void HostContext::SetModule(IQmModule* module) {
  std::lock_guard<std::mutex> hold(lock_);
  module_ = module;
}

IQmModule* HostContext::AcquireModule() {
  std::lock_guard<std::mutex> hold(lock_);
  if (module_ != nullptr) QmAddRef(module_);
  return module_;
}

std::string HostContext::ScriptsDir() {
  std::lock_guard<std::mutex> hold(lock_);
  return app_ != nullptr ? app_->ScriptsDir() : std::string();
}

void HostContext::Alert(QmResult code, const std::string& text) {
  std::lock_guard<std::mutex> hold(lock_);
  if (app_ != nullptr) app_->Logs().Add("host", code, text);
}

void HostContext::Detach() {
  std::lock_guard<std::mutex> hold(lock_);
  app_ = nullptr;
  module_ = nullptr;
}

}  // namespace qmhost
