// References that operations across the boundaries leave behind, read
// from a debug build of Python (make refleaks builds the plug-in, the host
// and this test against one): each operation runs a few times so that
// caches fill, then many times between two readings of Python's total
// reference count and of the host's live objects.  What stays per
// repetition must be nothing.  A Python without the count skips the test.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host/object.h"
#include "pyservers_fixture.h"
#include "qm_ifc_animation.h"
#include "qm_ifc_servers.h"

namespace {

constexpr int kWarmUp = 3;
constexpr int kRepeats = 20;

using RefTotal = long (*)();

// Python's own functions, found once Python has started, for the bare
// interpreter cycle that script runs are compared with.
template <class F>
F PythonFunction(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

class RefLeaks : public qmtest::PythonServerHost {
 public:
  struct Row {
    std::string name;
    double refs;     // Python references left per repetition
    double objects;  // host objects left per repetition
  };

  // Host objects alive, but for those the event log keeps by design.
  long HostObjects() {
    return qmhost::HostObject::LiveCount() - static_cast<long>(app_->Logs().KeptObjects());
  }

  Row Measure(const std::string& name, const std::function<void()>& op) {
    for (int i = 0; i < kWarmUp; ++i) op();
    long refs = total_();
    long objects = HostObjects();
    for (int i = 0; i < kRepeats; ++i) op();
    rows_.push_back({name, static_cast<double>(total_() - refs) / kRepeats,
                     static_cast<double>(HostObjects() - objects) / kRepeats});
    return rows_.back();
  }

  // What Python itself leaves behind for an interpreter of a script run:
  // a new interpreter that imports site, then ends, with none of the
  // plug-in's work.  Made on this thread through Python's own lock.
  std::function<void()> BareCycle() {
    using Ensure = int (*)();
    using Release = void (*)(int);
    using New = void* (*)();
    using End = void (*)(void*);
    using Swap = void* (*)(void*);
    using RunText = int (*)(const char*, void*);
    auto ensure = PythonFunction<Ensure>("PyGILState_Ensure");
    auto release = PythonFunction<Release>("PyGILState_Release");
    auto make = PythonFunction<New>("Py_NewInterpreter");
    auto end = PythonFunction<End>("Py_EndInterpreter");
    auto swap = PythonFunction<Swap>("PyThreadState_Swap");
    auto run = PythonFunction<RunText>("PyRun_SimpleStringFlags");
    return [=] {
      int held = ensure();
      void* outer = swap(nullptr);
      swap(outer);
      void* sub = make();
      ASSERT_NE(sub, nullptr);
      EXPECT_EQ(run("import site", nullptr), 0);
      end(sub);
      swap(outer);
      release(held);
    };
  }

  // A script run of `text` that must end as `rc` says.
  std::function<void()> Script(const std::string& text, QmResult rc = QMe_OK) {
    return [this, text, rc] { EXPECT_EQ(Run(text).rc, rc) << text; };
  }

  // Console lines run one after another in the root interpreter; a line
  // that starts with "!" must fail.
  std::function<void()> Lines(std::vector<std::string> lines) {
    return [this, lines] {
      for (const std::string& line : lines) {
        bool fails = !line.empty() && line[0] == '!';
        std::string out = Py(fails ? line.substr(1) : line);
        EXPECT_EQ(out.compare(0, 5, "ERROR") == 0, fails) << line << ": " << out;
      }
    };
  }

  // A call on a new instance of a Python server, released after it; what
  // the test servers note of their calls is dropped.
  template <class I>
  std::function<void()> OnServer(const char* name, std::function<void(I*)> call) {
    return [this, name, call] {
      I* server = Spawn<I>(name);
      ASSERT_NE(server, nullptr);
      call(server);
      QmRelease(server);
      ASSERT_EQ(Py("del fixtures.log[:]"), "");
    };
  }

  RefTotal total_ = nullptr;
  std::vector<Row> rows_;
};

TEST_F(RefLeaks, BoundaryOperationsLeaveNothingBehind) {
  ASSERT_EQ(Py("import sys, qm, fixtures"), "");
  // Python's symbols are shared once it has started.
  total_ = reinterpret_cast<RefTotal>(dlsym(RTLD_DEFAULT, "_Py_GetRefTotal"));
  if (total_ == nullptr) GTEST_SKIP() << "Python was not built to count its references";

  // Script runs, each in an interpreter of its own, against what Python
  // leaves of such an interpreter by itself.
  const double bare = Measure("bare interpreter cycle (Python alone)", BareCycle()).refs;
  Measure("script: empty", Script(""));
  Measure("script: an uncaught exception", Script("1/0", QMe_FAILED));
  Measure("script: sys.exit with a code and a text",
          Script("import sys\nsys.exit('QMe_NOTFOUND: not there')", QMe_NOTFOUND));
  Measure("script: qm functions, wrappers, services, storage",
          Script("import qm\n"
                 "qm.eval('item.create mesh m')\n"
                 "scene = qm.service.Scene().Root()\n"
                 "scene.ItemCount(0)\n"
                 "s = qm.object.storage('d', 3)\n"
                 "s.set((1, 2, 3))\n"
                 "qm.out('done %d' % len(s.get()))\n"
                 "qm.eval('scene.undo')\n"));
  Measure("script: arguments", [this] {
    EXPECT_EQ(Run("import qm\nassert qm.args() == ('a b', 'c')\n", "\"a b\" c").rc, QMe_OK);
  });

  // Console lines in the root interpreter.
  Measure("console: an expression's results", Lines({"1+1", "[1, 'a', 2.5]", "None"}));
  Measure("console: a statement", Lines({"x = [1, 'a']"}));
  Measure("console: an error", Lines({"!1/0", "!undefined_name", "!def f(:"}));
  Measure("console: an input over several lines", Lines({"if 1:", "  y = 2", ""}));

  // The qm functions, with good and with refused arguments.
  Measure("qm: out, outEx, trace, option", Lines({
      "qm.out('a')", "qm.out(1, 2, 3)", "!qm.out(x=1)", "qm.outEx('b')", "qm.trace(False)",
      "qm.setOption('queryAnglesAs', 'degrees')", "qm.option('queryAnglesAs')",
      "qm.setOption('queryAnglesAs', 'radians')", "!qm.setOption('nothing', 'x')",
  }));
  Measure("qm: eval, eval1, evalN, command, queryToggle, test", Lines({
      "qm.eval('item.create mesh m')", "qm.eval1('scene.count ?')", "qm.evalN('select.item ?')",
      "qm.command('item.create', type='locator', name='l')", "!qm.eval('no.such.command')",
      "!qm.command('item.create', type=object())", "qm.queryToggle('select.mode item')",
      "qm.test('select.mode edit')", "qm.eval('scene.undo')", "qm.eval('scene.undo')",
      "!qm.eval('scene.undo')",
  }));
  Measure("qm: arg, args, throw, notimpl, extract", Lines({
      "qm.arg()", "qm.args()", "!qm.throw(qm.result.NOTFOUND)", "!qm.notimpl()",
      "qm.extract(qm.object.Unknown())", "qm.extract(0)", "!qm.extract()",
  }));
  Measure("qm: bless refused", Lines({"!qm.bless(fixtures.Sim, 'test.sim')"}));
  Measure("qm: Service and Monitor", Lines({
      "qm.Service('sceneservice').queryN('scene.items')", "!qm.Service('no.such.service')",
      "m = qm.Monitor(4)", "m.step(1)", "del m",
  }));

  // Wrappers and services.
  Measure("wrappers: results, refusals, construction", Lines({
      "s = qm.service.Scene()", "r = s.Root()", "r.ItemCount(0)",
      "!qm.object.Item(r)", "u = qm.object.Unknown()", "u.set(r)", "qm.object.Scene(u).test()",
      "!s.ItemTypeName(0)", "!r.ItemCount('x')", "del s, r, u",
  }));

  // Storage objects.
  Measure("storage: set, get, +=, items, conversions", Lines({
      "st = qm.object.storage('f', 3)", "st.set((1, 2, 3))", "st.get()", "st += (4,)",
      "st[0] = 2", "st[1]", "!st[9]", "!st.set((1, 'x'))", "!st.string()",
      "b = qm.object.storage('b', 4)", "b.set((65, 66, 0, 1))", "b.string()",
      "!qm.object.storage('x')", "!qm.object.storage('d', 1 << 62)", "del st, b",
  }));

  // Host calls into Python servers, answered and failing.
  auto sim = [this](std::function<void(IQmSimulationModifier*)> call) {
    return OnServer<IQmSimulationModifier>("test.sim", std::move(call));
  };
  auto sound = [this](std::function<void(IQmAudio*)> call) {
    return OnServer<IQmAudio>("test.sound", std::move(call));
  };
  Measure("servers: spawn and release", sim([](IQmSimulationModifier*) {}));
  Measure("servers: a number answered", sim([](IQmSimulationModifier* s) {
    double size = 0;
    EXPECT_EQ(s->vt->StepSize(s, &size), QMe_OK);
  }));
  Measure("servers: a host object in, a truth out", sim([](IQmSimulationModifier* s) {
    EXPECT_EQ(s->vt->Enabled(s, nullptr), QMe_TRUE);
  }));
  Measure("servers: an exception back to the host", sim([](IQmSimulationModifier* s) {
    EXPECT_EQ(s->vt->Step(s, -1), QMe_OUTOFBOUNDS);
  }));
  Measure("servers: a method the server lacks", sim([](IQmSimulationModifier* s) {
    EXPECT_EQ(s->vt->Initialize(s, 1, 2), QMe_FAILED);
  }));
  Measure("servers: a text answered", sound([](IQmAudio* s) {
    EXPECT_NE(s->vt->Filename(s), nullptr);
  }));
  Measure("servers: an answer of the wrong kind", sound([](IQmAudio* s) {
    EXPECT_EQ(s->vt->Channels(s), 0U);
  }));
  Measure("servers: an exception where a value is due", sound([](IQmAudio* s) {
    EXPECT_EQ(s->vt->TrimStart(s), 0.0);
  }));

  std::printf("%-58s %12s %12s\n", "operation", "refs/rep", "objects/rep");
  for (const Row& row : rows_) {
    bool script = row.name.compare(0, 7, "script:") == 0;
    std::printf("%-58s %12.2f %12.2f\n", row.name.c_str(), row.refs, row.objects);
    if (row.name.compare(0, 4, "bare") == 0) continue;  // the measure of the others
    EXPECT_LE(row.refs, script ? bare : 0) << row.name;
    EXPECT_EQ(row.objects, 0) << row.name;
  }
}

}  // namespace
