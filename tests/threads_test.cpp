// Threads meeting in Python, through the real library: host threads calling
// Python servers while the main thread runs scripts and console lines,
// Python threads calling back into the host and into Python servers, runs
// nested inside server calls, and C callbacks into Python.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "pyservers_fixture.h"
#include "qm_ifc_servers.h"

namespace {

using qmtest::Outcome;

// A host whose Python servers are those of tests/servers and
// tests/threads/servers.
class Threads : public qmtest::PythonServerHost {
 public:
  void SetUp() override {
    std::vector<std::string> paths = app_->ImportPaths();
    paths.push_back(QM_THREAD_SERVERS);
    app_->SetImportPaths(paths);
    PythonServerHost::SetUp();
    ASSERT_EQ(Py("import threaded, fixtures"), "");
  }

  // A script file of its own, removed at the end of the test.
  std::string ScriptFile(const std::string& text) {
    char path[] = "/tmp/qm-threads-XXXXXX.py";
    int fd = mkstemps(path, 3);
    EXPECT_GE(fd, 0);
    std::string script = "#!/usr/bin/env python\n" + text;
    EXPECT_EQ(write(fd, script.data(), script.size()), static_cast<ssize_t>(script.size()));
    close(fd);
    files_.push_back(path);
    return path;
  }

  void TearDown() override {
    PythonServerHost::TearDown();
    for (const auto& f : files_) std::remove(f.c_str());
  }

  std::vector<std::string> files_;
};

// Calls Step of a fresh instance of `server` from a host thread until told
// to stop; counts the calls made while `during` was set.
class HostCaller {
 public:
  HostCaller(Threads& host, const char* server, std::atomic<bool>& during)
      : sim_(host.Spawn<IQmSimulationModifier>(server)), during_(during) {
    thread_ = std::thread([this] {
      while (!stop_) {
        bool inside = during_;
        if (sim_ == nullptr || sim_->vt->Step(sim_, 1.0) != QMe_OK) {
          ++failures;
        } else {
          ++calls;
          if (inside) ++callsDuring;
        }
      }
    });
  }
  ~HostCaller() { Stop(); }

  void Stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
    if (sim_ != nullptr) QmRelease(sim_);
    sim_ = nullptr;
  }

  std::atomic<int> calls{0}, callsDuring{0}, failures{0};

 private:
  IQmSimulationModifier* sim_;
  std::atomic<bool>& during_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(Threads, HostThreadsCallServersWhileAScriptRunsOrSleeps) {
  std::atomic<bool> inScript{false};
  HostCaller caller(*this, "test.tally", inScript);
  inScript = true;
  // Bytecode that never lets go of Python's lock by itself, then a sleep
  // that does.
  Outcome o = Run(
      "import time\n"
      "end = time.time() + 0.3\n"
      "n = 0\n"
      "while time.time() < end:\n"
      "    n += 1\n"
      "time.sleep(0.3)\n"
      "assert n > 0\n");
  inScript = false;
  caller.Stop();
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  EXPECT_EQ(caller.failures.load(), 0);
  EXPECT_GT(caller.callsDuring.load(), 0);
  EXPECT_EQ(Py("len([c for c in threaded.calls if c[0] == 'tally'])"),
            std::to_string(caller.calls.load()));
}

TEST_F(Threads, HostThreadsCallServersWhileAConsoleLineSleeps) {
  std::atomic<bool> inLine{false};
  HostCaller one(*this, "test.tally", inLine), two(*this, "test.relay", inLine);
  inLine = true;
  EXPECT_EQ(Py("time = __import__('time'); time.sleep(0.3)"), "");
  inLine = false;
  one.Stop();
  two.Stop();
  EXPECT_EQ(one.failures.load() + two.failures.load(), 0);
  EXPECT_GT(one.callsDuring.load(), 0);
  EXPECT_GT(two.callsDuring.load(), 0);
  // Each relay step ran the Python command once, by 1.
  EXPECT_EQ(Py("fixtures.counted[0]"), std::to_string(two.calls.load()));
}

TEST_F(Threads, ServerMethodJoinsAThreadThatRunsAPythonCommand) {
  auto* joiner = Spawn<IQmSimulationModifier>("test.joiner");
  ASSERT_NE(joiner, nullptr);
  EXPECT_EQ(joiner->vt->Step(joiner, 5.0), QMe_OK);
  // The same from a host thread, and from a script through a command.
  std::thread host([&] { EXPECT_EQ(joiner->vt->Step(joiner, 3.0), QMe_OK); });
  host.join();
  QmRelease(joiner);
  EXPECT_EQ(Py("fixtures.counted[0]"), "8");
}

TEST_F(Threads, ScriptThreadsRunCommandsAndAreJoined) {
  std::atomic<bool> inScript{false};
  HostCaller caller(*this, "test.tally", inScript);
  inScript = true;
  Outcome o = Run(
      "import qm, threading\n"
      "errors = []\n"
      "def work():\n"
      "    try:\n"
      "        for i in range(25):\n"
      "            qm.eval('test.count by:1')\n"
      "    except Exception, e:\n"
      "        errors.append(e)\n"
      "threads = [threading.Thread(target=work) for i in range(4)]\n"
      "for t in threads: t.start()\n"
      "for t in threads: t.join()\n"
      "assert not errors, errors\n");
  inScript = false;
  caller.Stop();
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  EXPECT_EQ(caller.failures.load(), 0);
  EXPECT_EQ(Py("fixtures.counted[0]"), "100");
}

TEST_F(Threads, RunsNestInsideCommandsThatScriptsRun) {
  std::string inner = ScriptFile("import qm, sys\nqm.out('inner', sys.argv[0][-3:])\n");
  std::string middle = ScriptFile("import qm\nqm.eval('test.runit file:" + inner +
                                  "')\nqm.out('middle done')\n");
  Outcome o = Run("import qm\nqm.eval('test.runit file:" + middle +
                  "')\nqm.out('outer done')\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  EXPECT_NE(o.log.find("inner .py"), std::string::npos) << o.log;
  EXPECT_NE(o.log.find("middle done"), std::string::npos) << o.log;
  EXPECT_NE(o.log.find("outer done"), std::string::npos) << o.log;
  // Every interpreter of the nested runs has ended.
  EXPECT_EQ(Run("import qm\nqm.out('after')\n").rc, QMe_OK);
}

TEST_F(Threads, CallbacksFromCRunInTheInterpreterThatRuns) {
  // A collation of sqlite and a ctypes callback, both reached through
  // Python's callback entry while the script has let go of Python's lock.
  Outcome o = Run(
      "import sys, sqlite3, ctypes\n"
      "sys.marker = 'script'\n"
      "seen = []\n"
      "def look():\n"
      "    import sys\n"
      "    seen.append(getattr(sys, 'marker', None))\n"
      "def collate(a, b):\n"
      "    look()\n"
      "    return cmp(a, b)\n"
      "con = sqlite3.connect(':memory:')\n"
      "con.create_collation('mine', collate)\n"
      "con.execute('create table t (x)')\n"
      "con.executemany('insert into t values (?)', [('b',), ('a',), ('c',)])\n"
      "rows = [r[0] for r in con.execute('select x from t order by x collate mine')]\n"
      "assert rows == ['a', 'b', 'c'], rows\n"
      "CMP = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_int),\n"
      "                       ctypes.POINTER(ctypes.c_int))\n"
      "def compare(a, b):\n"
      "    look()\n"
      "    return a[0] - b[0]\n"
      "values = (ctypes.c_int * 4)(3, 1, 4, 2)\n"
      "ctypes.CDLL(None).qsort(values, 4, ctypes.sizeof(ctypes.c_int), CMP(compare))\n"
      "assert list(values) == [1, 2, 3, 4], list(values)\n"
      "assert seen and set(seen) == set(['script']), seen\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
}

TEST_F(Threads, CallbacksFindTheThreadStateOfAGuardedCall) {
  // Called with Python's lock held, the callback must find the thread
  // state that runs the server's method, on the test thread and on a
  // host thread.
  auto* sorter = Spawn<IQmSimulationModifier>("test.sorter");
  ASSERT_NE(sorter, nullptr);
  EXPECT_EQ(sorter->vt->Step(sorter, 1.0), QMe_OK);
  std::thread host([&] { EXPECT_EQ(sorter->vt->Step(sorter, 1.0), QMe_OK); });
  host.join();
  QmRelease(sorter);
  EXPECT_EQ(Py("repr(threaded.sorts)"), "[[1, 2, 3, 4], [1, 2, 3, 4]]");
}

TEST_F(Threads, PythonThreadsRunWhileTheHostIsIdle) {
  ASSERT_EQ(Py("import threading, time"), "");
  ASSERT_EQ(Py("ticks = [0]"), "");
  ASSERT_EQ(Py("exec 'def tick():\\n    while True:\\n        ticks[0] += 1\\n"
               "        time.sleep(0.002)\\n'"),
            "");
  ASSERT_EQ(Py("t = threading.Thread(target=tick); t.daemon = True; t.start()"), "");
  // The console waits for its next line: nothing of the host runs Python.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Py("ticks[0] > 20 or ticks[0]"), "True");
  // A script's daemon thread goes on after its run as well, calling the
  // host (it is done before the host unloads the plug-in: a thread still
  // inside a host call then would keep what it holds).
  Outcome o = Run(
      "import qm, threading, time\n"
      "def tick():\n"
      "    for i in range(40):\n"
      "        qm.eval('test.count by:1')\n"
      "        time.sleep(0.002)\n"
      "t = threading.Thread(target=tick)\n"
      "t.daemon = True\n"
      "t.start()\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  for (int i = 0; i < 500 && Py("fixtures.counted[0]") != "40"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Py("fixtures.counted[0]"), "40");
}

TEST_F(Threads, WorkSpreadOverHostThreadsFromTheConsole) {
  ASSERT_EQ(Py("import qm, threading, time"), "");
  ASSERT_EQ(Py("w = threaded.Ranger()"), "");
  EXPECT_EQ(Py("qm.service.Thread().ProcessRange(w, 0, 1000)"), "");
  EXPECT_EQ(Py("w.check(1000) >= 1"), "True");
  // Started by a Python thread while the console line sleeps.
  ASSERT_EQ(Py("v = threaded.Ranger()"), "");
  ASSERT_EQ(Py("t = threading.Thread(target=qm.service.Thread().ProcessRange, args=(v, 0, 1000))"),
            "");
  EXPECT_EQ(Py("t.start(); time.sleep(0.2); t.join()"), "");
  EXPECT_EQ(Py("v.check(1000) >= 1"), "True");
  // Jobs of a thread group, waited for.
  ASSERT_EQ(Py("g = qm.service.Thread().CreateGroup()"), "");
  ASSERT_EQ(Py("for n in range(6): g.AddJob(threaded.Job(n))\n"), "");
  EXPECT_EQ(Py("g.Execute(0); g.Wait()"), "");
  EXPECT_EQ(Py("sorted(threaded.Job.done) == range(6)"), "True");
}

TEST_F(Threads, WorkSpreadFromInsideServerMethodsOnManyThreads) {
  auto* step = Spawn<IQmSimulationModifier>("test.rangestep");
  ASSERT_NE(step, nullptr);
  EXPECT_EQ(step->vt->Step(step, 500.0), QMe_OK);
  // Host threads at once, while the main thread's Python sleeps in a
  // console line and then in a script.
  std::atomic<int> failures{0};
  std::vector<std::thread> hosts;
  for (int t = 0; t < 3; ++t) {
    hosts.emplace_back([&] {
      for (int i = 0; i < 3; ++i) {
        if (step->vt->Step(step, 300.0) != QMe_OK) ++failures;
      }
    });
  }
  EXPECT_EQ(Py("time = __import__('time'); time.sleep(0.2)"), "");
  EXPECT_EQ(Run("import time\ntime.sleep(0.2)\n").rc, QMe_OK);
  for (auto& h : hosts) h.join();
  QmRelease(step);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Py("[n for n, threads in threaded.ranged]"),
            "500\n300\n300\n300\n300\n300\n300\n300\n300\n300");
}

TEST_F(Threads, ServerJoinsAThreadThatWaitsForWorkOnHostThreads) {
  // The server's call holds the interpreter lock while it joins its
  // thread; the work that thread waits for must not need the lock.
  auto* step = Spawn<IQmSimulationModifier>("test.backgroundstep");
  ASSERT_NE(step, nullptr);
  EXPECT_EQ(step->vt->Step(step, 400.0), QMe_OK);
  std::thread host([&] { EXPECT_EQ(step->vt->Step(step, 200.0), QMe_OK); });
  host.join();
  QmRelease(step);
  EXPECT_EQ(Py("[n for n, threads in threaded.ranged]"), "400\n200");
  EXPECT_EQ(Py("len([j for j in threaded.Job.done if j[0] == 'background'])"), "8");
}

TEST_F(Threads, CommandRecursingToTheLimitFailsItsCaller) {
  // The limit is met at a different step of the call for each of three
  // limits in a row: entering the method, its frame, or a frame within.
  Outcome o = Run(
      "import qm, sys\n"
      "limit = sys.getrecursionlimit()\n"
      "try:\n"
      "    for n in range(90, 96):\n"
      "        sys.setrecursionlimit(n)\n"
      "        try:\n"
      "            qm.eval('test.recurse')\n"
      "        except RuntimeError, e:\n"
      "            qm.out('failed as it should')\n"
      "        else:\n"
      "            raise SystemExit('QMe_FAILED:the recursion reported success at %d' % n)\n"
      "finally:\n"
      "    sys.setrecursionlimit(limit)\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  EXPECT_NE(o.log.find("failed as it should"), std::string::npos) << o.log;
  EXPECT_GT(std::stoi(Py("threaded.Recurse.depth[0]")), 10);
}

}  // namespace
