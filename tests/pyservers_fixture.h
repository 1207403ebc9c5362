// A host whose plug-in loads the Python servers of tests/servers, with the
// console's line interpreter for Python run in the root interpreter.
#pragma once

#include <sstream>
#include <string>

#include "host/console.h"
#include "host/python_servers.h"
#include "plugin_fixture.h"
#include "qm_ifc_command.h"
#include "qm_ifc_module.h"

namespace qmtest {

class PythonServerHost : public ScriptRun {
 public:
  void SetUp() override {
    std::vector<std::string> paths = app_->ImportPaths();
    paths.push_back(QM_TEST_SERVERS);
    app_->SetImportPaths(paths);
    ScriptRun::SetUp();
    IQmModule* module = plugin_->Module();
    void* made = nullptr;
    ASSERT_EQ(module->vt->Generate(module, "python", &IID_IQmLineInterpreter, &made), QMe_OK);
    lines_ = static_cast<IQmLineInterpreter*>(made);
    servers_ = std::make_unique<qmhost::PythonServers>(module);
    ASSERT_TRUE(servers_->Available());
  }

  void TearDown() override {
    servers_.reset();
    if (lines_ != nullptr) QmRelease(lines_);
    ScriptRun::TearDown();
  }

  // Runs one line in the root interpreter; what it printed (an
  // expression's value), or "ERROR" when it failed.
  std::string Py(const std::string& line) {
    std::ostringstream out;
    Ref<qmhost::LineExecution> exec(new qmhost::LineExecution(out));
    QmResult rc = lines_->vt->Execute(lines_, line.c_str(), 0, exec->Face());
    std::string text = out.str();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return QmFailed(rc) ? "ERROR " + text : text;
  }

  // A new instance of a blessed server, through `I`.
  template <class I>
  I* Spawn(const std::string& name, QmResult* rc = nullptr) {
    QmResult code = QMe_OK;
    void* made = servers_->Spawn(name, QmInterfaceInfo<I>::guid, &code);
    if (rc != nullptr) *rc = code;
    return static_cast<I*>(made);
  }

  IQmLineInterpreter* lines_ = nullptr;
  std::unique_ptr<qmhost::PythonServers> servers_;
};

}  // namespace qmtest
