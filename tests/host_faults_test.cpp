// Injected host faults: the reference host's fault points, and what the
// plug-in answers when one of its calls into the host fails.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "host/faults.h"
#include "host/python_servers.h"
#include "plugin_fixture.h"
#include "host/console.h"
#include "qm_ifc_channel.h"
#include "qm_ifc_stddialog.h"
#include "qm_ifc_thread.h"

namespace {

using qmhost::FaultPoint;
using qmhost::Faults;
using qmhost::Ref;
using qmtest::Outcome;

// --- The fault points ---------------------------------------------------------------------

TEST(FaultPoints, ParseMethodsCallsAndAnswers) {
  std::vector<FaultPoint> points;
  std::string error;
  ASSERT_TRUE(qmhost::ParseFaultPoints(
      "ThreadService.CreateCS:2,GUIDService.Fixed:1:null,LogService.CreateEntryMessage:3:"
      "QMe_OUTOFMEMORY,Message.Code:4:0x80000017",
      &points, &error))
      << error;
  ASSERT_EQ(points.size(), 4U);
  EXPECT_EQ(points[0].method, "ThreadService.CreateCS");
  EXPECT_EQ(points[0].call, 2UL);
  EXPECT_EQ(points[0].answer.code, QMe_FAILED);
  EXPECT_FALSE(points[0].answer.null);
  EXPECT_TRUE(points[1].answer.null);
  EXPECT_EQ(points[2].answer.code, QMe_OUTOFMEMORY);
  EXPECT_EQ(points[3].answer.code, 0x80000017U);

  for (const char* bad : {"", "CreateCS:1", "ThreadService.CreateCS", "ThreadService.CreateCS:0",
                          "ThreadService.CreateCS:x", "ThreadService.CreateCS:1:NOSUCHCODE",
                          "ThreadService.CreateCS:1,"}) {
    EXPECT_FALSE(qmhost::ParseFaultPoints(bad, &points, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(FaultPoints, OnlyTheArmedCallOfTheMethodFails) {
  Ref<qmhost::Application> app(new qmhost::Application);
  std::vector<FaultPoint> points;
  std::string error;
  ASSERT_TRUE(qmhost::ParseFaultPoints("ThreadService.CreateCS:2,GUIDService.Translate:1:null",
                                       &points, &error));
  Faults::Arm(points);
  void* found = nullptr;
  ASSERT_EQ(QmQueryInterface(app->Unknown(), IID_IQmThreadService, &found), QMe_OK);
  auto* threads = static_cast<IQmThreadService*>(found);
  void* first = nullptr;
  void* second = reinterpret_cast<void*>(&found);  // not touched by a failure
  void* third = nullptr;
  EXPECT_EQ(threads->vt->CreateCS(threads, &first), QMe_OK);
  EXPECT_EQ(threads->vt->CreateCS(threads, &second), QMe_FAILED);
  EXPECT_EQ(second, reinterpret_cast<void*>(&found));
  EXPECT_EQ(threads->vt->CreateCS(threads, &third), QMe_OK);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(third, nullptr);
  QmRelease(first);
  QmRelease(third);
  QmRelease(threads);

  ASSERT_EQ(QmQueryInterface(app->Unknown(), IID_IQmGUIDService, &found), QMe_OK);
  auto* guids = static_cast<IQmGUIDService*>(found);
  EXPECT_EQ(guids->vt->Translate(guids, "sceneservice"), nullptr);
  EXPECT_NE(guids->vt->Translate(guids, "sceneservice"), nullptr);
  QmRelease(guids);

  auto calls = Faults::Counted();
  EXPECT_EQ(calls["ThreadService.CreateCS"].count, 3UL);
  EXPECT_EQ(calls["ThreadService.CreateCS"].answers, QmFaultAnswers::kCodeOrNull);
  EXPECT_EQ(calls["GUIDService.Translate"].answers, QmFaultAnswers::kValue);
  EXPECT_EQ(calls["Application.QueryInterface"].count, 2UL);
  EXPECT_EQ(Faults::Report(),
            "fault ThreadService.CreateCS:2 answered 0x80000000 FAILED\n"
            "fault GUIDService.Translate:1 answered null\n");
  Faults::Disarm();
}

TEST(FaultPoints, ANullAnswerGivesSuccessWithoutTheObject) {
  Ref<qmhost::Application> app(new qmhost::Application);
  std::vector<FaultPoint> points;
  std::string error;
  ASSERT_TRUE(qmhost::ParseFaultPoints(
      "Application.QueryInterface:1:null,StdDialogService.MonitorRelease:1:null", &points, &error));
  Faults::Arm(points);
  void* found = reinterpret_cast<void*>(&points);
  EXPECT_EQ(QmQueryInterface(app->Unknown(), IID_IQmStdDialogService, &found), QMe_OK);
  EXPECT_EQ(found, nullptr);
  // A method with nothing to null is not failed by a null answer.
  ASSERT_EQ(QmQueryInterface(app->Unknown(), IID_IQmStdDialogService, &found), QMe_OK);
  auto* dialogs = static_cast<IQmStdDialogService*>(found);
  EXPECT_EQ(dialogs->vt->MonitorRelease(dialogs), QMe_NOTFOUND);
  QmRelease(dialogs);
  EXPECT_EQ(Faults::Report(),
            "fault Application.QueryInterface:1 answered null\n"
            "fault StdDialogService.MonitorRelease:1:null does not apply: the method hands out "
            "no object\n");
  Faults::Disarm();
}

TEST(FaultPoints, TheHostsOwnCallsAreNotCounted) {
  Ref<qmhost::Application> app(new qmhost::Application);
  Faults::Arm({});
  Ref<qmhost::ValueArray> array = qmhost::ValueArray::Make("integer");
  ASSERT_TRUE(array);
  EXPECT_EQ(qmhost::AddValues(array->Face(), qmhost::ValueKind::kInteger,
                              {qmhost::Value::Int(3)}, QMe_FAILED),
            QMe_OK);
  EXPECT_EQ(qmhost::CountValues(array->Face()), 1U);
  EXPECT_TRUE(Faults::Counted().empty());
  Faults::Disarm();
}

TEST(FaultPoints, AMonitorTheServiceKeepsOpenIsNotALeak) {
  // The host's own refusal to close a monitor keeps it in the service: the
  // application counts it as its own, and blames nobody while only the
  // service holds it.
  Ref<qmhost::Application> app(new qmhost::Application);
  size_t kept = app->KeptObjects();
  void* monitor = nullptr;
  ASSERT_EQ(app->Dialogs().dlg_MonitorAllocate("kept", &monitor), QMe_OK);
  EXPECT_EQ(app->KeptObjects(), kept + 1);
  EXPECT_EQ(app->ServiceLeaks(), "open monitor \"kept\" still has 1 reference(s) from the plug-in\n");
  QmRelease(monitor);
  EXPECT_EQ(app->ServiceLeaks(), "");
  EXPECT_EQ(app->Dialogs().dlg_MonitorRelease(), QMe_OK);
  EXPECT_EQ(app->KeptObjects(), kept);
}

// --- The plug-in against a failing host ---------------------------------------------------

// A script run whose host has `points` armed from before the plug-in loads.
class FaultyHost : public qmtest::ScriptRun {
 public:
  void SetUp() override {}
  void Arm(const std::string& text) {
    std::vector<FaultPoint> points;
    std::string error;
    ASSERT_TRUE(qmhost::ParseFaultPoints(text, &points, &error)) << error;
    Faults::Arm(points);
    Load(QM_PLUGIN_PATH);
  }
  void TearDown() override {
    ScriptRun::TearDown();
    Faults::Disarm();
  }
  unsigned long Calls(const char* method) { return Faults::Counted()[method].count; }
};

TEST_F(FaultyHost, AFailedRootStartUpIsLoggedAndTheNextRunStartsAfresh) {
  // The second import path is the one with the platform modules that
  // "import site" needs: the root's set-up fails half way through it.
  Arm("PlatformService.ImportPathByIndex:2");
  Outcome failed = Run("print 'never'\n");
  EXPECT_EQ(failed.rc, QMe_FAILED);
  std::string python = qmhost::FormatLogEntries(app_->Logs().EntriesSince({}, {"python"}));
  EXPECT_NE(python.find("[warning] the host gave no import path 1 of"), std::string::npos) << python;
  EXPECT_NE(python.find("[warning] Python's root interpreter could not be set up\n"
                        "[error] Unhandled exception \"exceptions.ImportError\""),
            std::string::npos)
      << python;
  // What the failed set-up imported half way is imported again.
  Outcome retried = Run("import site, sysconfig\nassert sysconfig.get_config_var('userbase')\n");
  EXPECT_EQ(retried.rc, QMe_OK) << retried.log;
}

TEST_F(FaultyHost, ReleaseAfterAFailedStartGivesEverythingBackWithoutStartingAgain) {
  Arm("PlatformService.ImportPathByIndex:2");
  EXPECT_EQ(Run("pass\n").rc, QMe_FAILED);
  EXPECT_EQ(Calls("PlatformService.ImportPathCount"), 1UL);
  QmRelease(interp_);
  interp_ = nullptr;
  EXPECT_EQ(plugin_->Unload(), "");  // nothing leaked
  plugin_.reset();
  EXPECT_EQ(Calls("PlatformService.ImportPathCount"), 1UL);  // no second start-up
}

TEST_F(FaultyHost, AFailedScriptInterpreterSetUpFailsItsRunWithALogEntry) {
  // The root's set-up asks for the count first; the run's interpreter next.
  Arm("PlatformService.ImportPathCount:2:NOTAVAILABLE");
  Outcome failed = Run("print 'never'\n");
  EXPECT_EQ(failed.rc, QMe_NOTAVAILABLE);
  std::string python = qmhost::FormatLogEntries(app_->Logs().EntriesSince({}, {"python"}));
  EXPECT_NE(python.find("[error] the script's interpreter could not be set up: the host "
                        "answered 8000001C"),
            std::string::npos)
      << python;
  Outcome next = Run("import qm\nqm.out('set up')\n");
  EXPECT_EQ(next.rc, QMe_OK);
  EXPECT_EQ(next.log, "[info] test.py\n  [info] set up\n");
}

TEST_F(FaultyHost, ALogLineTheHostRefusesRaisesInTheScript) {
  // The line's entry is made first, then the run's header.
  Arm("LogService.CreateEntryMessage:1:OUTOFMEMORY");
  Outcome o = Run(std::string(qmtest::kErrorHelper) +
                  "qm.out('refused: %s' % error(qm.out, 'lost'))\n");
  EXPECT_EQ(o.rc, QMe_OK);
  EXPECT_EQ(o.log, "[info] test.py\n  [info] refused: MemoryError: out of memory\n");
}

TEST_F(FaultyHost, ARunHeaderTheLogRefusesIsMadeAgainForTheNextLine) {
  // The header is made but cannot be hung in the scripts log: the line
  // under it fails, and the next line hangs a new header.
  Arm("Log.AddEntry:1");
  Outcome o = Run(std::string(qmtest::kErrorHelper) +
                  "e = error(qm.out, 'lost')\n"
                  "qm.out('then: %s' % e)\n");
  EXPECT_EQ(o.rc, QMe_OK);
  EXPECT_EQ(o.log, "[info] test.py\n  [info] then: RuntimeError: bad result: FAILED\n");
}

TEST_F(FaultyHost, AScriptTheHostCannotGiveFailsWithALogEntry) {
  Arm("Script.GetBuffer:1:null");
  Outcome o = Run("pass\n");
  EXPECT_EQ(o.rc, QMe_FAILED);
  std::string python = qmhost::FormatLogEntries(app_->Logs().EntriesSince({}, {"python"}));
  EXPECT_EQ(python, "[error] test.py: the host could not give the script's text (80000000)\n");
}

TEST_F(FaultyHost, ALineValueTheHostRefusesFailsTheLine) {
  Arm("ValueArray.AddString:1:OUTOFMEMORY");
  void* made = nullptr;
  IQmModule* module = plugin_->Module();
  ASSERT_EQ(module->vt->Generate(module, "python", &IID_IQmLineInterpreter, &made), QMe_OK);
  auto* lines = static_cast<IQmLineInterpreter*>(made);
  auto line = [&](const char* text, QmResult* rc) {
    std::ostringstream out;
    Ref<qmhost::LineExecution> exec(new qmhost::LineExecution(out));
    *rc = lines->vt->Execute(lines, text, 0, exec->Face());
    return out.str();
  };
  QmResult rc = QMe_OK;
  EXPECT_EQ(line("6 * 7", &rc), "ERROR: the value of the line could not be shown (80000002)\n");
  EXPECT_EQ(rc, QMe_OUTOFMEMORY);
  EXPECT_EQ(line("6 * 7", &rc), "42\n");
  EXPECT_EQ(rc, QMe_OK);
  QmRelease(lines);
}

}  // namespace
