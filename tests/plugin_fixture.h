// A host with the plug-in loaded, and script runs through its script
// interpreter server, for tests across the real library boundary.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/application.h"
#include "host/logs.h"
#include "host/messages.h"
#include "host/plugin.h"
#include "host/script.h"
#include "qm_ifc_module.h"
#include "qm_ifc_script.h"

namespace qmtest {

using qmhost::Ref;

inline std::string Folder(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

// Python for test scripts: `error(f, *a, **k)` describes what calling f
// raises ("Type: text"), or 'no error'.
inline const char kErrorHelper[] =
    "import qm\n"
    "def error(f, *a, **k):\n"
    "    try:\n"
    "        f(*a, **k)\n"
    "    except Exception, e:\n"
    "        return '%s: %s' % (type(e).__name__, e)\n"
    "    return 'no error'\n";

struct Outcome {
  QmResult rc = 0;
  Ref<qmhost::Message> message;
  std::string log;  // what the run added to the event log
};

class ScriptRun : public ::testing::Test {
 public:
  void SetUp() override { Load(QM_PLUGIN_PATH); }

  void Load(const std::string& path) {
    std::string error;
    plugin_ = qmhost::Plugin::Load(path, *app_, &error);
    ASSERT_TRUE(plugin_) << error;
    IQmModule* module = plugin_->Module();
    void* made = nullptr;
    ASSERT_EQ(module->vt->Generate(module, "python", &IID_IQmTextScriptInterpreter, &made), QMe_OK);
    interp_ = static_cast<IQmTextScriptInterpreter*>(made);
  }

  void TearDown() override {
    if (interp_ != nullptr) QmRelease(interp_);
    if (plugin_) {
      EXPECT_EQ(plugin_->Unload(), "");
    }
  }

  Outcome Run(const std::string& text, const std::string& args = "",
              const char* name = "test.py") {
    auto script = qmhost::Script::FromText(text, name);
    return RunScript(*script, args);
  }

  Outcome RunScript(qmhost::Script& script, const std::string& args) {
    Outcome outcome;
    outcome.message = app_->Messages().NewMessage();
    qmhost::LogMark mark = app_->Logs().Mark();
    outcome.rc = interp_->vt->Run(interp_, script.Face(), 0, args.c_str(),
                                  outcome.message->Face());
    outcome.log = qmhost::FormatLogEntries(app_->Logs().EntriesSince(mark, {"scripts", "python"}));
    return outcome;
  }

  // The host's text of a result code; the code in decimal when the host
  // has none.
  std::string ResultText(QmResult code) {
    auto m = app_->Messages().NewMessage();
    m->msg_SetMessage("qmresult", nullptr, code);
    std::string text;
    if (QmFailed(m->Text(&text))) text = std::to_string(static_cast<int32_t>(code));
    return text;
  }

  std::string Composed(qmhost::Message& m) {
    std::string text;
    EXPECT_EQ(m.Text(&text), QMe_OK);
    return text;
  }

  Ref<qmhost::Application> app_{new qmhost::Application};
  std::unique_ptr<qmhost::Plugin> plugin_;
  IQmTextScriptInterpreter* interp_ = nullptr;
};

}  // namespace qmtest
