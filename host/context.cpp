#include "host/context.h"

#include "host/application.h"
#include "host/python_commands.h"

namespace qmhost {

HostContext::HostContext(Application* app)
    : app_(app), scene_(std::make_shared<Scene>()), commands_(std::make_shared<CommandTable>()) {
  // Python servers of the command interface become commands as they are
  // blessed.
  commands_->SetRefresh([this] { AddPythonCommands(*this); });
}

size_t HostContext::PythonModuleUpdates() {
  std::lock_guard<std::mutex> hold(lock_);
  if (app_ == nullptr) return 0;
  size_t n = 0;
  for (const auto& name : app_->Host().Updates()) n += name == "python" ? 1 : 0;
  return n;
}

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
