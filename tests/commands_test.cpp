// Scripts driving the host's commands and services: queries and their
// shapes, command arguments and failures, toggles, script queries,
// progress monitors and scripts running scripts.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <memory>
#include <vector>

#include "host/dialogs.h"
#include "plugin_fixture.h"

namespace {

using qmtest::Outcome;
using Commands = qmtest::ScriptRun;

// Runs `body` after creating three items and selecting `selected` of them.
std::string WithScene(const std::string& body) {
  return std::string(qmtest::kErrorHelper) +
         "qm.eval('item.create mesh a')\n"
         "qm.eval('item.create light b')\n"
         "qm.eval('item.create camera c')\n" +
         body;
}

TEST_F(Commands, QueryValuesTakeTheShapeOfTheirMode) {
  Outcome o = Run(WithScene(
      "qm.eval('select.clear')\n"
      "assert qm.eval('select.item ?') is None\n"
      "assert qm.evalN('select.item ?') == ()\n"
      "assert qm.eval1('select.item ?') is None\n"
      "qm.eval('select.item b')\n"
      "assert qm.eval('select.item ?') == 'b'\n"
      "assert qm.evalN('select.item ?') == ('b',)\n"
      "qm.eval('select.item a add:true')\n"
      "qm.eval('select.item c add:true')\n"
      "assert qm.eval('select.item ?') == ('b', 'a', 'c'), qm.eval('select.item ?')\n"
      "assert qm.eval1('select.item ?') == 'b'\n"
      "assert qm.eval('scene.count ?') == 3 and type(qm.eval('scene.count ?')) is int\n"
      "assert qm.eval('scene.count ? light') == 1\n"));
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  EXPECT_EQ(app_->GetScene().Snapshot().Selected().size(), 3U);
}

TEST_F(Commands, OnlyAngleValuesFollowTheDegreesOption) {
  Outcome o = Run(WithScene(
      "import math\n"
      "qm.eval('select.item a')\n"
      "qm.eval('item.rotate %r' % math.pi)\n"
      "qm.eval('item.move 0 %r 0' % math.pi)\n"
      "assert abs(qm.eval('item.rotate ?') - math.pi) < 1e-12\n"
      "qm.setOption('queryAnglesAs', 'degrees')\n"
      "assert abs(qm.eval('item.rotate ?') - 180.0) < 1e-9, qm.eval('item.rotate ?')\n"
      "assert abs(qm.eval('item.move y:?') - math.pi) < 1e-12\n"));  // a distance
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(Commands, HintedIntegersComeBackAsTheirNames) {
  Outcome o = Run(
      "import qm\n"
      "qm.eval('view.detail 2')\n"
      "assert qm.eval('view.detail ?') == 'high'\n"
      "qm.eval('view.detail low')\n"
      "assert qm.eval('view.detail ?') == 'low'\n"
      "qm.eval('view.detail 5')\n"
      "assert qm.eval('view.detail ?') == 5\n");  // no hint for 5: the number
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(Commands, CommandTakesOneNameAndKeywordTexts) {
  Outcome o = Run(WithScene(
      "assert error(qm.command) == 'RuntimeError: missing required command name.'\n"
      "assert error(qm.command, 'a', 'b') == 'RuntimeError: extra positional arguments.'\n"
      "assert error(qm.command, 'no.such') == \"RuntimeError: command 'no.such' not found.\"\n"
      "qm.command('item.create', type='locator', name=42)\n"  // numbers pass as text
      "assert qm.eval('select.item ?') == '42'\n"
      "assert error(qm.command, 'item.create', type='mesh', colour='red')"
      " == 'RuntimeError: could not parse argument list.'\n"
      "qm.command('select.clear')\n"
      "assert qm.eval('select.item ?') is None\n"));
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  EXPECT_NE(app_->GetScene().Snapshot().Find("42"), nullptr);
}

TEST_F(Commands, FailingCommandsRaiseTheirTextAndCode) {
  Outcome o = Run(WithScene(
      "e = error(qm.eval, 'render.frame 12')\n"
      "assert e == 'RuntimeError: command failed: This host has no renderer: frame 12 was not "
      "rendered. (8000001c)', e\n"
      "e = error(qm.command, 'render.frame', frame=3)\n"
      "assert e.endswith('(8000001c)'), e\n"
      "assert error(qm.eval, 'no.such.command') == 'RuntimeError: command could not be found'\n"
      "assert error(qm.eval, 'item.move nonsense') == "
      "'RuntimeError: command argument parsing failed'\n"
      "assert error(qm.eval, 42).startswith('TypeError')\n"));
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(Commands, TogglesReportTheCurrentState) {
  Outcome o = Run(
      "import qm\n"
      "assert qm.queryToggle('select.mode item') is True\n"
      "assert qm.queryToggle('select.mode edit') is False\n"
      "qm.eval('select.mode edit')\n"
      "assert qm.test('select.mode edit') is True\n"
      "assert qm.queryToggle('no.such.command') is False\n"  // fails silently
      "try:\n"
      "    qm.test('no.such.command')\n"
      "except RuntimeError, e:\n"
      "    assert str(e) == 'error in command string', e\n"
      "else:\n"
      "    raise AssertionError('qm.test did not fail')\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(Commands, TracedCallsWriteTheirValues) {
  Outcome o = Run(
      "import qm\n"
      "qm.eval('item.create mesh m')\n"
      "qm.trace(True)\n"
      "qm.eval('select.item ?')\n"
      "qm.queryToggle('select.mode edit')\n"
      "qm.trace(False)\n",
      "", "traced.py");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  const std::string open = "\x03(f:FONT_ITALIC) qm.trace: ", close = "\x03(f:FONT_DEFAULT)";
  EXPECT_EQ(o.log, "[info] traced.py\n"
                   "  [info] " + open + "qm.trace - Enabled" + close + "\n"
                   "  [info] " + open + "qm.eval 0 - m" + close + "\n"
                   "  [info] " + open + "qm.queryToggle - toggled state is false (0)" + close + "\n"
                   "  [info] " + open + "qm.trace - Disabled" + close + "\n");
}

TEST_F(Commands, ServiceQueriesAndTheirFailures) {
  Outcome o = Run(WithScene(
      "assert error(qm.Service, 'noservice') == \"NameError: service 'noservice' not found.\"\n"
      "assert error(qm.Service, 'threadservice') == "
      "\"RuntimeError: service 'threadservice' has no script interface.\"\n"
      "s = qm.Service('sceneservice')\n"
      "assert s.name() == 'sceneservice'\n"
      "assert s.query('scene.itemCount') == 3\n"
      "s.select('item', 'b')\n"
      "assert s.query('item.type') == 'light'\n"
      "assert s.queryN('item.position') == (0.0, 0.0, 0.0)\n"
      "assert s.query1('item.position') == 0.0\n"
      "assert error(s.select, 'item', 'zzz') == "
      "\"RuntimeError: select failed on service 'sceneservice' for 'item'.\"\n"
      "assert error(s.query) == "
      "\"RuntimeError: query failed on service 'sceneservice' for attribute '(null)'.\"\n"
      "assert error(s.query, 'no.attr') == "
      "\"RuntimeError: query failed on service 'sceneservice' for attribute 'no.attr'.\"\n"
      "s2 = qm.Service('50190141-0059-48FE-B27D-6C98E1348D7B')\n"
      "assert s2.query('scene.itemCount') == 3\n"));
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

// Records what the host's progress display is asked to show.
class RecordedView : public qmhost::ProgressView {
 public:
  void Update(const qmhost::Progress& p) override {
    lines.push_back(p.title + " " + std::to_string(p.done) + "/" + std::to_string(p.total));
  }
  void Release(const qmhost::Progress& p) override { lines.push_back("released " + p.title); }
  std::vector<std::string> lines;
};

TEST_F(Commands, MonitorsShowStepsAndCloseWithTheirObject) {
  auto view = std::make_shared<RecordedView>();
  app_->Dialogs().SetView(view);
  Outcome o = Run(
      "import qm\n"
      "def error(f, *a):\n"
      "    try:\n"
      "        f(*a)\n"
      "    except RuntimeError, e:\n"
      "        return str(e)\n"
      "m = qm.Monitor(4)\n"
      "m.step()\n"
      "m.step(2)\n"
      "assert error(m.init, 0) == 'Monitor steps must be greater than 0'\n"
      "assert error(qm.Monitor, -1) == 'Monitor steps must be greater than 0'\n"
      "del m\n"
      "n = qm.Monitor()\n"  // shown without a total
      "n.init(10)\n"
      "n.step(10)\n"
      "del n\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  EXPECT_EQ(view->lines, (std::vector<std::string>{
                             "Progress 0/4", "Progress 1/4", "Progress 3/4", "released Progress",
                             "released Progress", "Progress 0/10", "Progress 10/10",
                             "released Progress"}));
  EXPECT_TRUE(app_->Dialogs().OpenMonitors().empty());
}

TEST_F(Commands, ScriptsRunScriptsInTheirOwnInterpreters) {
  char dir[] = "/tmp/qm-scripts-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string inner = std::string(dir) + "/inner.py";
  std::ofstream(inner) << "#!/usr/bin/env python\n"
                          "import qm, __main__\n"
                          "assert 'outer_marker' not in globals()\n"
                          "__main__.inner_marker = qm.args()\n"
                          "qm.out('inner', *qm.args())\n";
  Outcome o = Run(
      "import qm\n"
      "outer_marker = 1\n"
      "qm.out('outer')\n"
      "qm.eval('@" + inner + " one \"two three\"')\n"
      "assert 'inner_marker' not in globals()\n"
      "qm.out('outer again')\n",
      "", "outer.py");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  EXPECT_EQ(o.log,
            "[info] outer.py\n"
            "  [info] outer\n"
            "  [info] outer again\n"
            "[info] inner.py\n"
            "  [info] inner one two three\n");
  std::remove(inner.c_str());
  rmdir(dir);
}

}  // namespace
