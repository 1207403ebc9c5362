// Script runs through the real library, as the host makes them: the
// script interpreter server, its event-log output, the host message it
// fills and the result code it returns.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/application.h"
#include "host/logs.h"
#include "host/messages.h"
#include "host/plugin.h"
#include "host/python_servers.h"
#include "host/script.h"
#include "plugin_fixture.h"

namespace {

using qmhost::Ref;
using qmtest::Outcome;
using qmtest::ScriptRun;
using qmtest::Folder;

TEST_F(ScriptRun, FirstLineMustNamePythonInLowerCase) {
  EXPECT_EQ(interp_->vt->ValidateFileType(interp_, nullptr, "#!/usr/bin/env python"), QMe_OK);
  EXPECT_EQ(interp_->vt->ValidateFileType(interp_, nullptr, "# runs with python2.7"), QMe_OK);
  EXPECT_EQ(interp_->vt->ValidateFileType(interp_, nullptr, "#!/usr/bin/env Python"),
            QMe_SCRIPT_UNKNOWN);
  EXPECT_EQ(interp_->vt->ValidateFileType(interp_, nullptr, nullptr), QMe_SCRIPT_UNKNOWN);
  EXPECT_EQ(interp_->vt->Validate(interp_, nullptr, nullptr), QMe_OK);
  // The tag description of the server.
  void* t = nullptr;
  ASSERT_EQ(QmQueryInterface(interp_, IID_IQmTagDescription, &t), QMe_OK);
  auto* tags = static_cast<IQmTagDescription*>(t);
  EXPECT_EQ(tags->vt->Count(tags), 3U);
  QmTagInfo tag{};
  ASSERT_EQ(tags->vt->Describe(tags, 1, &tag), QMe_OK);
  EXPECT_STREQ(tag.name, "loader.dosPattern");
  EXPECT_STREQ(tag.value, "*.py");
  EXPECT_EQ(tags->vt->Describe(tags, 3, &tag), QMe_OUTOFBOUNDS);
  QmRelease(t);
}

TEST_F(ScriptRun, SysExitValuesBecomeResultCodesAndMessages) {
  struct Case {
    const char* exit;
    QmResult rc;
    uint32_t id;  // 0: no message
    std::string text;
  } cases[] = {
      {"", 0, 0, ""},
      {"None", 0, 0, ""},
      {"'QMe_NOTFOUND'", 0x80000017, 3, "The script ended with " + ResultText(0x80000017)},
      {"'QMe_NOTFOUND: item missing'", 0x80000017, 2,
       "The script ended with " + ResultText(0x80000017) + ": item missing"},
      {"'0x80000003'", 0x80000003, 3, "The script ended with " + ResultText(0x80000003)},
      {"'42'", 42, 3, "The script ended with " + ResultText(42)},
      {"42", 42, 3, "The script ended with " + ResultText(42)},
      {"':nothing to do'", 0x80000000, 4, "The script ended: nothing to do"},
      {"'NOTFOUND'", 0, 3, "The script ended with " + ResultText(0)},
      {"'QMe_WARNING:careful'", 2, 2,
       "The script ended with " + ResultText(2) + ":careful"},
  };
  for (const auto& c : cases) {
    Outcome o = Run(std::string("import sys\nsys.exit(") + c.exit + ")\n");
    EXPECT_EQ(o.rc, c.rc) << c.exit;
    EXPECT_EQ(o.log, "") << c.exit;  // an exit writes nothing to the log
    if (c.id == 0) {
      EXPECT_FALSE(o.message->WasSet()) << c.exit;
      continue;
    }
    ASSERT_TRUE(o.message->WasSet()) << c.exit;
    EXPECT_EQ(o.message->Table(), "pythonintr") << c.exit;
    EXPECT_EQ(o.message->Id(), c.id) << c.exit;
    EXPECT_EQ(o.message->Code(), QMe_OK) << c.exit;  // the run's own result, as prepared
    EXPECT_EQ(Composed(*o.message), c.text) << c.exit;
  }
}

TEST_F(ScriptRun, UncaughtErrorIsReportedWithItsLineAndMessageOne) {
  Outcome o = Run("x = 1\ny = undefined_name\n", "", "broken.py");
  EXPECT_EQ(o.rc, QMe_FAILED);
  EXPECT_EQ(o.log,
            "[info] broken.py\n"
            "  [error] ERROR: Unhandled exception, line 2; name 'undefined_name' is not defined\n");
  EXPECT_EQ(o.message->Table(), "pythonintr");
  EXPECT_EQ(o.message->Id(), 1U);
  EXPECT_EQ(Composed(*o.message),
            "Python script error: Unhandled exception, line 2; name 'undefined_name' is not "
            "defined");
}

TEST_F(ScriptRun, OutExReportsOnlyAPendingException) {
  // The exception an except block handles is no longer pending.
  Outcome o = Run(
      "import qm\n"
      "try:\n"
      "    raise KeyError('x')\n"
      "except KeyError:\n"
      "    qm.outEx('caught')\n"
      "qm.outEx()\n",
      "", "outex.py");
  EXPECT_EQ(o.rc, QMe_OK);
  EXPECT_EQ(o.log,
            "[info] outex.py\n"
            "  [warning] caught\n"
            "  [error] Unexpected or NULL exception\n"
            "  [warning] \n"
            "  [error] Unexpected or NULL exception\n");
}

TEST_F(ScriptRun, ArgumentsReachSysArgvAndTheRunIsNamedByItsScript) {
  Outcome o = Run(
      "import sys\n"
      "assert sys.argv == ['args.py', 'a', 'b c', 'd', ''], sys.argv\n",
      "a \"b c\" d \"\"", "args.py");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  // A script without a user name is titled with its hash.
  auto script = qmhost::Script::FromText("import qm\nqm.outEx('x')\n", nullptr, "hash-1234");
  Outcome named = RunScript(*script, "");
  EXPECT_EQ(named.log.substr(0, named.log.find('\n')), "[info] hash-1234");
}

TEST_F(ScriptRun, SearchPathComesFromTheHostInOrder) {
  std::string modules = Folder(QM_PLUGIN_PATH) + "/PythonModules";
  std::string expected = "['" + modules + "/standardmodules.zip', '" + modules + "/DLL', '" +
                         modules + "'";
  std::vector<std::string> imports = app_->ImportPaths();
  for (const auto& p : imports) expected += ", '" + p + "'";
  expected += "]";
  std::string scripts = app_->ScriptsDir();
  Outcome o = Run("import sys, site\n"
                  "expected = " + expected + "\n"
                  "assert sys.path[:len(expected)] == expected, sys.path\n"
                  "assert site.USER_SITE == site.USER_BASE == '" + scripts + "', site.USER_SITE\n"
                  "assert '" + scripts + "' in sys.path, sys.path\n"
                  "import __main__\n"
                  "assert globals() is __main__.__dict__ and locals() is globals()\n"
                  "import os, json, collections\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(ScriptRun, SetUpLeavesTheCollectorAndTheModulesAsItFoundThem) {
  // Runs one after another.  A fresh interpreter has not imported gc, and
  // collects garbage; the collector is the process's, so each run finds it
  // as the run before left it.
  const char* const runs[] = {
      "import sys\n"
      "assert 'gc' not in sys.modules, sorted(sys.modules)\n"
      "import gc\n"
      "assert gc.isenabled()\n"
      "gc.disable()\n",
      "import gc\n"
      "assert not gc.isenabled()\n"
      "gc.enable()\n",
      "import gc\n"
      "assert gc.isenabled()\n",
  };
  for (const char* code : runs) {
    Outcome o = Run(code);
    EXPECT_EQ(o.rc, QMe_OK) << code << o.log;
  }
}

// Runs an inner script from inside an outer one, as a host command would.
ScriptRun* gFixture = nullptr;
Outcome gInner;

extern "C" int RunInnerScript() {
  gInner = gFixture->Run(
      "import qm, __main__\n"
      "assert 'outer_marker' not in globals()\n"
      "__main__.inner_marker = 1\n"
      "qm.outEx('inner ran')\n",
      "", "inner.py");
  return static_cast<int>(gInner.rc);
}

TEST_F(ScriptRun, NestedRunsHaveTheirOwnInterpreterAndHeader) {
  gFixture = this;
  char address[32];
  std::snprintf(address, sizeof address, "%lu",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&RunInnerScript)));
  // PYFUNCTYPE keeps the interpreter lock across the call, as a host
  // command called from a script does.
  Outcome outer = Run(
      "import sys, ctypes, qm\n"
      "outer_marker = 1\n"
      "qm.outEx('outer before')\n"
      "rc = ctypes.PYFUNCTYPE(ctypes.c_int)(int(sys.argv[1]))()\n"
      "assert rc == 0, rc\n"
      "assert 'inner_marker' not in globals()\n"
      "assert outer_marker == 1\n"
      "qm.outEx('outer after')\n",
      address, "outer.py");
  EXPECT_EQ(outer.rc, QMe_OK) << outer.log;
  EXPECT_EQ(gInner.rc, QMe_OK) << gInner.log;
  gInner.message.reset();  // the host's own object, not the plug-in's
  EXPECT_EQ(gInner.log,
            "[info] inner.py\n"
            "  [warning] inner ran\n"
            "  [error] Unexpected or NULL exception\n");
  EXPECT_EQ(outer.log,
            "[info] outer.py\n"
            "  [warning] outer before\n"
            "  [error] Unexpected or NULL exception\n"
            "  [warning] outer after\n"
            "  [error] Unexpected or NULL exception\n"
            "[info] inner.py\n"
            "  [warning] inner ran\n"
            "  [error] Unexpected or NULL exception\n");
}

// Every run sets the qm package up in an interpreter of its own, over the
// same wrapper types: a run must not ready them again, which would add them
// to object's subclasses and to their own reference counts once per run.
TEST_F(ScriptRun, RunsShareTheWrapperTypesReadiedOnce) {
  char path[] = "/tmp/qm-types-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string census =
      "import gc, sys, qm\n"
      "gc.collect()\n"
      "types = (qm.object.Unknown, qm.object.storage, qm.object.TagDescription,\n"
      "         qm.service.Scene, qm.Service, qm.Monitor)\n"
      "line = [len(object.__subclasses__())]\n"
      "line += [id(t) for t in types] + [sys.getrefcount(t) for t in types]\n"
      "line += [len(t.__subclasses__()) for t in types]\n"
      "line += [len(vars(m)) for m in (qm.service, qm.object, qm.result, qm.symbol, qm.ifc)]\n"
      "line += [qm.symbol.u_UNKNOWN, qm.result.FAILED, qm.object.Unknown.__name__]\n"
      "assert repr(qm.object.TagDescription) == \"<type 'qm.object.TagDescription'>\"\n"
      "open(sys.argv[1], 'a').write(' '.join(map(str, line)) + '\\n')\n";
  for (int i = 0; i < 4; ++i) {
    Outcome o = Run(census, path);
    ASSERT_EQ(o.rc, QMe_OK) << o.log;
  }
  // A script that subclasses a wrapper type or changes the package leaves
  // nothing behind either.
  ASSERT_EQ(Run("import qm\n"
                "class Mine(qm.object.Unknown): pass\n"
                "m = Mine()\n"
                "qm.symbol.u_UNKNOWN = 'changed'\n"
                "del qm.object.Unknown, qm.result.FAILED\n"
                "qm.ifc.added = 1\n").rc,
            QMe_OK);
  ASSERT_EQ(Run(census, path).rc, QMe_OK);
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::remove(path);
  ASSERT_EQ(lines.size(), 5U);
  for (size_t i = 2; i < lines.size(); ++i) EXPECT_EQ(lines[i], lines[1]) << "run " << i;
  EXPECT_NE(lines[1].find(" 3 00000000-0000-0000-0000-0000000000C4 -2147483648 Unknown"),
            std::string::npos)
      << lines[1];
}

TEST_F(ScriptRun, RunWaitsForItsThreads) {
  char path[] = "/tmp/qm-thread-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  Outcome o = Run(
      "import sys, threading, time\n"
      "def work():\n"
      "    time.sleep(0.2)\n"
      "    open(sys.argv[1], 'w').write('done')\n"
      "threading.Thread(target=work).start()\n",
      path);
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  std::ifstream in(path);
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "done");  // written before the run returned
  std::remove(path);
}

// A thread that the script joined still has its way out of Python to make
// as the run ends; the run's interpreter ends once it has, and with it goes
// what the run held (its monitor closes).
TEST_F(ScriptRun, ARunEndsAfterItsJoinedThreadsHaveLeft) {
  for (int i = 0; i < 20; ++i) {
    Outcome o = Run(
        "import qm, threading\n"
        "monitor = qm.Monitor(2)\n"
        "t = threading.Thread(target=lambda: None)\n"
        "t.start()\n"
        "t.join()\n");
    ASSERT_EQ(o.rc, QMe_OK) << o.log;
    ASSERT_TRUE(app_->Dialogs().OpenMonitors().empty()) << "run " << i;
  }
}

TEST_F(ScriptRun, DaemonThreadsStillAliveDoNotEndTheHost) {
  Outcome o = Run(
      "import threading, thread, time\n"
      "stop = threading.Event()\n"
      "t = threading.Thread(target=stop.wait)\n"
      "t.daemon = True\n"
      "t.start()\n"
      "thread.start_new_thread(time.sleep, (3600,))\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  // The host goes on running scripts.
  Outcome next = Run("import sys\nsys.exit('QMe_WARNING')\n");
  EXPECT_EQ(next.rc, QMe_WARNING);
}

// A copy of the plug-in in a folder of its own, with the servers package
// given as text.
class PluginCopy : public ScriptRun {
 public:
  void SetUp() override {}

  // With `interfaces`, the package also gets the interface classes that
  // server classes derive from.
  void Install(const std::string& qmserv, bool interfaces = false) {
    char dir[] = "/tmp/qm-plugin-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    std::string plugin = dir_ + "/libqmpython.so";
    std::ifstream src(QM_PLUGIN_PATH, std::ios::binary);
    std::ofstream dst(plugin, std::ios::binary);
    dst << src.rdbuf();
    dst.close();
    ASSERT_EQ(mkdir((dir_ + "/PythonModules").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir_ + "/PythonModules/qmserv").c_str(), 0755), 0);
    std::ofstream(dir_ + "/PythonModules/qmserv/__init__.py") << qmserv;
    if (interfaces) {
      std::string name = "/PythonModules/qmserv/interfaces.py";
      std::ifstream from(Folder(QM_PLUGIN_PATH) + name);
      ASSERT_TRUE(from.good());
      std::ofstream(dir_ + name) << from.rdbuf();
    }
    Load(plugin);
  }

  void TearDown() override {
    ScriptRun::TearDown();
    if (!dir_.empty()) {
      std::string cmd = "rm -rf '" + dir_ + "'";
      EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
  }

  std::string dir_;
};

TEST_F(PluginCopy, FailingServersImportIsReportedInnermostFrameFirst) {
  Install("import qm\n"
          "def broken():\n"
          "    raise ValueError('no servers today')\n"
          "def setup():\n"
          "    broken()\n"
          "setup()\n");
  qmhost::LogMark mark = app_->Logs().Mark();
  Outcome o = Run("import sys\nsys.exit('QMe_INFO')\n");
  EXPECT_EQ(o.rc, QMe_INFO);
  std::string python = qmhost::FormatLogEntries(app_->Logs().EntriesSince(mark, {"python"}));
  EXPECT_EQ(python,
            "[warning] importing servers (qmserv) failed\n"
            "[error] Unhandled exception \"exceptions.ValueError\"; no servers today\n"
            "[info]  .. " + dir_ + "/PythonModules/qmserv/__init__.py: 3\n"
            "[info]  .. " + dir_ + "/PythonModules/qmserv/__init__.py: 5\n"
            "[info]  .. " + dir_ + "/PythonModules/qmserv/__init__.py: 6\n"
            "[info]  .. <string>: 1\n");
}

TEST_F(PluginCopy, ServersBlessedBeforeAnUnreportableFailureAreServed) {
  Install("import qm\n"
          "from qmserv import interfaces\n"
          "class Sim(interfaces.SimulationModifier):\n"
          "    pass\n"
          "qm.bless(Sim, 'odd.sim')\n"
          "class Odd(BaseException):\n"
          "    def __str__(self):\n"
          "        raise ValueError('no text')\n"
          "raise Odd()\n",
          true);
  qmhost::LogMark mark = app_->Logs().Mark();
  EXPECT_EQ(Run("pass\n").rc, QMe_OK);
  std::string python = qmhost::FormatLogEntries(app_->Logs().EntriesSince(mark, {"python"}));
  EXPECT_EQ(python.find("[warning] importing servers (qmserv) failed\n"), 0U) << python;
  qmhost::PythonServers servers(plugin_->Module());
  auto list = servers.List();
  ASSERT_EQ(list.size(), 1U);
  EXPECT_EQ(list[0].name, "odd.sim");
}

TEST_F(PluginCopy, ReleasingTheModuleFinalisesPython) {
  std::string marker = "/tmp/qm-finalised-" + std::to_string(getpid());
  std::remove(marker.c_str());
  Install("import atexit\n"
          "def done():\n"
          "    open('" + marker + "', 'w').write('finalised')\n"
          "atexit.register(done)\n");
  EXPECT_EQ(Run("pass\n").rc, QMe_OK);
  std::ifstream before(marker);
  EXPECT_FALSE(before.good());  // not while the module lives
  QmRelease(interp_);
  interp_ = nullptr;
  EXPECT_EQ(plugin_->Unload(), "");
  plugin_.reset();
  std::ifstream after(marker);
  std::string content;
  std::getline(after, content);
  EXPECT_EQ(content, "finalised");
  std::remove(marker.c_str());
}

}  // namespace
