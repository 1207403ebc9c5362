// Python classes as host servers, through the real library: blessing and
// its checks, the module server's list, instances and tags, and host calls
// carried into Python with their results, codes and references.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "pyservers_fixture.h"
#include "qm_ifc_animation.h"
#include "qm_ifc_channel.h"
#include "qm_ifc_servers.h"

namespace {

using qmtest::Outcome;
using qmtest::PythonServerHost;
using Blessing = PythonServerHost;
using ModuleServer = PythonServerHost;
using Dispatch = PythonServerHost;

const char kError[] =
    "def error(f, *a):\n"
    "    try:\n"
    "        f(*a)\n"
    "    except Exception, e:\n"
    "        return '%s: %s' % (type(e).__name__, e)\n"
    "    return 'no error'\n";

TEST_F(Blessing, MarksAndServersAreCheckedInOrder) {
  ASSERT_EQ(Py(std::string("exec ") + "'''" + kError + "'''"), "");
  ASSERT_EQ(Py("import qm, fixtures"), "");
  size_t updates = app_->Host().Updates().size();
  ASSERT_EQ(Py("class New(object): pass"), "");
  ASSERT_EQ(Py("class Old: pass"), "");
  // Marking: a known interface, also on a new-style class; nothing is announced.
  EXPECT_EQ(Py("repr(qm.bless(New, ':SimulationModifier'))"), "None");
  EXPECT_EQ(Py("error(qm.bless, Old, ':SimulationModifer')"), "TypeError: invalid argument");
  EXPECT_EQ(Py("error(qm.bless, Old, ':simulationmodifier')"), "TypeError: invalid argument");
  EXPECT_EQ(app_->Host().Updates().size(), updates);
  // Servers: classic classes with a marked base, a dictionary of tags, a new name.
  EXPECT_EQ(Py("error(qm.bless, 5, 'x')"), "RuntimeError: bad result: FAILED");
  EXPECT_EQ(Py("error(qm.bless, New, 'x')"), "TypeError: invalid argument");
  EXPECT_EQ(Py("error(qm.bless, Old, 'x')"), "TypeError: invalid argument");
  EXPECT_EQ(Py("error(qm.bless, fixtures.Sim, 'x', ['a'])"), "TypeError: invalid argument");
  EXPECT_EQ(Py("error(qm.bless, fixtures.Sim, 'test.sim')"), "RuntimeError: bad result: FAILED");
  EXPECT_EQ(Py("error(qm.bless)"), "TypeError: function takes at least 2 arguments (0 given)");
  EXPECT_EQ(app_->Host().Updates().size(), updates);
  EXPECT_EQ(Py("repr(qm.bless(fixtures.Sim, 'test.sim2'))"), "None");
  auto now = app_->Host().Updates();
  ASSERT_EQ(now.size(), updates + 1);
  EXPECT_EQ(now.back(), "python");
  // A script's own interpreter cannot bless.
  auto outcome = Run("import qm\nclass C: pass\nqm.bless(C, ':Audio')\n");
  EXPECT_EQ(outcome.rc, QMe_FAILED);
}

TEST_F(Blessing, InterfacesComeFromMarkedBasesDepthFirst) {
  // Two marked bases: both interfaces, the first base's as the primary.
  auto* both = Spawn<IQmCommand>("test.both");
  ASSERT_NE(both, nullptr);
  void* attributes = nullptr;
  ASSERT_EQ(QmQueryInterface(both, IID_IQmAttributes, &attributes), QMe_OK);
  auto* attr = static_cast<IQmAttributes*>(attributes);
  EXPECT_EQ(attr->vt->Count(attr), 3U);
  const char* name = nullptr;
  EXPECT_EQ(both->vt->Name(both, &name), QMe_OK);
  EXPECT_STREQ(name, "both");
  QmRelease(attr);
  QmRelease(both);
  // An unmarked base in between is looked through.
  auto* deep = Spawn<IQmCurveGroup>("test.deep");
  ASSERT_NE(deep, nullptr);
  uint32_t count = 0;
  EXPECT_EQ(deep->vt->Count(deep, &count), QMe_OK);
  EXPECT_EQ(count, 7U);
  QmRelease(deep);
  bool found = false;
  for (const auto& server : servers_->List()) {
    if (server.name == "test.both") {
      found = true;
      EXPECT_EQ(server.primary, IID_IQmCommand);
    }
  }
  EXPECT_TRUE(found);
}

TEST_F(ModuleServer, AStartThatFailedIsTriedAgainAndLoadsTheServers) {
  // Without the standard library Python cannot start: site is missing.
  std::vector<std::string> paths = app_->ImportPaths();
  app_->SetImportPaths({QM_TEST_SERVERS});
  EXPECT_TRUE(QmFailed(Run("pass\n").rc));
  EXPECT_TRUE(servers_->List().empty());
  app_->SetImportPaths(paths);
  Outcome o = Run("import qm\nqm.eval('test.count by:2')\n");
  EXPECT_EQ(o.rc, QMe_OK) << o.log;
  ASSERT_EQ(Py("import fixtures"), "");
  EXPECT_EQ(Py("fixtures.counted[0]"), "2");
  EXPECT_EQ(servers_->List().size(), 10U);
}

// The host's servers folder ("servers:") beside the "servers" folders of
// the import path; its name does not matter.
class ServerModules : public PythonServerHost {
 public:
  void SetUp() override {
    app_->SetServersDir(QM_TEST_SERVER_MODULES);
    PythonServerHost::SetUp();
  }
};

TEST_F(ServerModules, LoadUnderNamesOfTheirOwnAndFailuresAreReportedWithTracebacks) {
  ASSERT_EQ(Py("import sys, random, json, qmserv, fixtures"), "");
  // Both folders load: the import path's "servers" and the host's.
  std::vector<std::string> names;
  for (const auto& server : servers_->List()) names.push_back(server.name);
  EXPECT_NE(std::find(names.begin(), names.end(), "test.sim"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "test.dice"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "test.json"), names.end());
  // Modules named like standard ones are the package's own; the standard
  // names keep the standard modules.
  EXPECT_EQ(Py("qmserv._servers.random.__name__"), "qmserv._servers.random");
  EXPECT_EQ(Py("qmserv._servers.random is random"), "False");
  EXPECT_EQ(Py("qmserv._servers.random.random is random"), "True");
  EXPECT_EQ(Py("hasattr(random, 'Random') and hasattr(json, 'dumps')"), "True");
  EXPECT_EQ(Py("sys.modules['json'] is json is qmserv._servers.json.json"), "True");
  // A module of an import path folder is one module under both names.
  EXPECT_EQ(Py("qmserv._servers.fixtures is fixtures"), "True");
  // The failures, in name order, each with the traceback of its own code.
  EXPECT_EQ(Py("repr([p.rsplit('/', 1)[1] for p, t in qmserv.failures])"),
            "['bad_import.py', 'bad_syntax.py', 'refused.py']");
  EXPECT_EQ(Py("qmserv.failures[0][1].splitlines()[-1]"),
            "ImportError: No module named no_such_module");
  EXPECT_EQ(Py("'qmserv' in qmserv.failures[0][1]"), "False");
  EXPECT_EQ(Py("qmserv.failures[2][1].splitlines()[-1]"), "TypeError: invalid argument");
  EXPECT_EQ(Py("repr([m for m in ('bad_import', 'refused', 'qmserv._servers.refused') "
               "if m in sys.modules])"),
            "[]");
  // The event log has one error entry per failure, the traceback under it.
  auto failures = qmhost::ServerLoadFailures(app_->Logs(), 0);
  ASSERT_EQ(failures.size(), 3U);
  EXPECT_EQ(failures[1]->Title(),
            std::string("loading Python servers from ") + QM_TEST_SERVER_MODULES +
                "/bad_syntax.py failed");
  auto lines = failures[1]->Children();
  ASSERT_EQ(lines.size(), 4U);
  EXPECT_EQ(lines[1]->Title(), "    def broken(:");
  EXPECT_EQ(lines[3]->Title(), "SyntaxError: invalid syntax");
  EXPECT_EQ(lines[3]->GetKind(), qmhost::LogEntry::Kind::kInfo);
}

TEST_F(ModuleServer, ListsTheServersWithTheirClassesAndTags) {
  auto list = servers_->List();
  ASSERT_EQ(list.size(), 10U);
  EXPECT_EQ(list[0].name, "test.sim");
  EXPECT_EQ(list[0].primary, IID_IQmSimulationModifier);
  ASSERT_EQ(list[0].tags.size(), 1U);
  EXPECT_EQ(list[0].tags[0], std::make_pair(std::string("a"), std::string("1")));
  EXPECT_EQ(list[1].name, "test.sound");
  EXPECT_EQ(list[1].primary, IID_IQmAudio);
  EXPECT_TRUE(list[1].tags.empty());

  void* found = nullptr;
  IQmModule* module = servers_->Module();
  ASSERT_EQ(QmQueryInterface(module, IID_IQmTagDescription, &found), QMe_OK);
  auto* tags = static_cast<IQmTagDescription*>(found);
  QmTagInfo entry{};
  EXPECT_EQ(tags->vt->Describe(tags, 10, &entry), QMe_OUTOFBOUNDS);
  {
    qmhost::HostService::TagsOnlyScope scope(app_->Host());
    EXPECT_EQ(tags->vt->Count(tags), 0U);
    EXPECT_EQ(tags->vt->Describe(tags, 5, &entry), QMe_OK);
    EXPECT_STREQ(entry.value, "test.broken");
  }
  EXPECT_EQ(tags->vt->Count(tags), 10U);
  QmRelease(tags);

  // An unknown name: no instance, no tags, and no object handed out.
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(module->vt->GetTags(module, "nope", &IID_IQmModule, &object), QMe_NOTFOUND);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(module->vt->Generate(module, "nope", &IID_IQmModule, &object), QMe_NOTFOUND);
}

TEST_F(ModuleServer, EveryGenerateCallsTheClassAndAFailingOneIsReported) {
  ASSERT_EQ(Py("import fixtures"), "");
  std::string before = Py("fixtures.spawned[0]");
  auto* a = Spawn<IQmSimulationModifier>("test.sim");
  auto* b = Spawn<IQmSimulationModifier>("test.sim");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(std::stoi(Py("fixtures.spawned[0]")), std::stoi(before) + 2);
  QmRelease(a);
  QmRelease(b);

  qmhost::LogMark mark = app_->Logs().Mark();
  QmResult rc = QMe_OK;
  EXPECT_EQ(Spawn<IQmSimulationModifier>("test.broken", &rc), nullptr);
  EXPECT_EQ(rc, QMe_FAILED);
  std::string log = qmhost::FormatLogEntries(app_->Logs().EntriesSince(mark, {"python"}));
  EXPECT_NE(log.find("Spawning Python server failed: test.broken"), std::string::npos) << log;
  EXPECT_NE(log.find("cannot build"), std::string::npos) << log;
}

TEST_F(Dispatch, ResultsAreConvertedAndCheckedByTheirRules) {
  ASSERT_EQ(Py("import fixtures"), "");
  auto* sim = Spawn<IQmSimulationModifier>("test.sim");
  ASSERT_NE(sim, nullptr);
  // A null host object reaches Python as an empty Unknown wrapper.
  EXPECT_EQ(sim->vt->Enabled(sim, nullptr), QMe_TRUE);
  EXPECT_EQ(Py("repr(fixtures.log[-1])"), "('Enabled', 'Unknown', False)");
  EXPECT_EQ(Py("fixtures.Sim.enabled = False"), "");
  EXPECT_EQ(sim->vt->Enabled(sim, nullptr), QMe_FALSE);
  EXPECT_EQ(Py("fixtures.Sim.enabled = 1"), "");
  EXPECT_EQ(sim->vt->Enabled(sim, nullptr), QMe_FAILED);
  double size = 0;
  EXPECT_EQ(sim->vt->StepSize(sim, &size), QMe_OK);
  EXPECT_EQ(size, 0.125);
  // Exceptions become their codes.
  EXPECT_EQ(sim->vt->Step(sim, 1.5), QMe_OK);
  EXPECT_EQ(Py("repr(fixtures.log[-1])"), "('Step', 1.5)");
  EXPECT_EQ(sim->vt->Step(sim, -1), QMe_OUTOFBOUNDS);
  EXPECT_EQ(sim->vt->Step(sim, 0), QMe_NOTFOUND);
  EXPECT_EQ(sim->vt->Step(sim, 1000), QMe_NOTIMPL);
  EXPECT_EQ(sim->vt->Initialize(sim, 1, 2), QMe_FAILED);  // no such method
  QmRelease(sim);

  auto* sound = Spawn<IQmAudio>("test.sound");
  ASSERT_NE(sound, nullptr);
  EXPECT_EQ(sound->vt->Frequency(sound), 44100U);
  EXPECT_EQ(sound->vt->Channels(sound), 0U);    // a value that is no number
  EXPECT_EQ(sound->vt->TrimStart(sound), 0.0);  // an exception
  int32_t frames = -5, more = -5;
  EXPECT_EQ(sound->vt->Read(sound, nullptr, &frames, &more), QMe_FAILED);  // a 3-tuple for two
  // A text stays readable after the call that returned it.
  const char* first = sound->vt->Filename(sound);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Py("x = [chr(65 + i % 26) * 40 for i in range(2000)]"), "");
  EXPECT_STREQ(first, "sound.wav");
  sound->vt->Close(sound);  // a fixed answer, which never reaches Python
  // Memory comes only from storage objects, and stays valid after the call.
  EXPECT_EQ(sound->vt->Data(sound), nullptr);
  EXPECT_EQ(Py("fixtures.Sound.data = 'new'"), "");
  auto* block = static_cast<const uint8_t*>(sound->vt->Data(sound));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(Py("x = [str(i) * 9 for i in range(3000)]"), "");
  EXPECT_EQ(block[0], 7);
  EXPECT_EQ(block[3], 10);
  QmRelease(sound);
}

TEST_F(Dispatch, TextsIntoBuffersFitWithTheirZero) {
  ASSERT_EQ(Py("import fixtures"), "");
  auto* nice = Spawn<IQmStringConversionNice>("test.nice");
  ASSERT_NE(nice, nullptr);
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(Py("fixtures.Nice.text = 'abcdefg'"), "");
  EXPECT_EQ(nice->vt->Encode(nice, buffer, 8), QMe_OK);
  EXPECT_STREQ(buffer, "abcdefg");
  EXPECT_EQ(Py("fixtures.Nice.text = 'abcdefgh'"), "");
  EXPECT_EQ(nice->vt->Encode(nice, buffer, 8), QMe_SHORTBUFFER);
  EXPECT_EQ(Py("fixtures.Nice.text = None"), "");
  EXPECT_EQ(nice->vt->Encode(nice, buffer, 8), QMe_FAILED);
  QmRelease(nice);
}

TEST_F(Dispatch, ArraysAreTheHostsMemoryForTheCallOnly) {
  ASSERT_EQ(Py("import fixtures"), "");
  auto* colors = Spawn<IQmColorModel>("test.colors");
  ASSERT_NE(colors, nullptr);
  float color[4] = {0.5f, 1.5f, 2.5f, 9.0f};
  float rgb[4] = {-1, -1, -1, -1};
  EXPECT_EQ(colors->vt->ToRGB(colors, color, rgb), QMe_OK);
  EXPECT_EQ(rgb[0], 1.0f);
  EXPECT_EQ(rgb[1], 3.0f);
  EXPECT_EQ(rgb[2], 5.0f);
  EXPECT_EQ(rgb[3], -1.0f);  // past the three floats of the declaration
  EXPECT_EQ(Py("fixtures.Colors.refused"), "Storage buffer cannot grow past its block");
  // Kept past the call, the storage object no longer reaches the memory.
  EXPECT_EQ(Py("fixtures.Colors.kept[0].size()"), "0");
  EXPECT_NE(Py("fixtures.Colors.kept[0].setSize(1)").find("cannot grow"), std::string::npos);
  QmRelease(colors);
}

TEST_F(Dispatch, HandlesComeFromWrappersOnly) {
  ASSERT_EQ(Py("import qm, fixtures"), "");
  auto* handles = Spawn<IQmBuffer>("test.handles");
  ASSERT_NE(handles, nullptr);
  EXPECT_EQ(handles->vt->VectorType(handles), nullptr);  // None
  // A wrapper gives the pointer it holds.
  ASSERT_EQ(Py("fixtures.Handles.result = qm.service.Command().ScriptQuery()"), "");
  void* held = handles->vt->VectorType(handles);
  EXPECT_NE(held, nullptr);
  void* query = nullptr;
  EXPECT_EQ(QmQueryInterface(held, IID_IQmScriptQuery, &query), QMe_OK);
  QmRelease(query);
  // Anything else is refused rather than read as a wrapper.
  ASSERT_EQ(Py("fixtures.Handles.result = 'text'"), "");
  EXPECT_EQ(handles->vt->VectorType(handles), nullptr);
  ASSERT_EQ(Py("fixtures.Handles.result = None"), "");
  QmRelease(handles);
}

TEST_F(Dispatch, ObjectResultsAreInstancesOrWrappers) {
  auto* deep = Spawn<IQmCurveGroup>("test.deep");
  ASSERT_NE(deep, nullptr);
  void* object = reinterpret_cast<void*>(1);
  // None is no object: the host gets a not-found code.
  EXPECT_EQ(deep->vt->ByIndex(deep, 0, &object), QMe_NOTFOUND);
  // A server instance becomes a new host object of its own.
  object = nullptr;
  ASSERT_EQ(deep->vt->ByIndex(deep, 1, &object), QMe_OK);
  ASSERT_NE(object, nullptr);
  void* sim = nullptr;
  EXPECT_EQ(QmQueryInterface(object, IID_IQmSimulationModifier, &sim), QMe_OK);
  QmRelease(sim);
  QmRelease(object);
  // An empty wrapper hands out null.
  object = reinterpret_cast<void*>(1);
  EXPECT_EQ(deep->vt->ByIndex(deep, 2, &object), QMe_OK);
  EXPECT_EQ(object, nullptr);
  QmRelease(deep);
}

TEST_F(Dispatch, LostExceptionsAreLoggedAndTracedWhenAsked) {
  auto* sim = Spawn<IQmSimulationModifier>("test.sim");
  ASSERT_NE(sim, nullptr);
  qmhost::LogMark mark = app_->Logs().Mark();
  sim->vt->Cleanup(sim);
  std::string log = qmhost::FormatLogEntries(app_->Logs().EntriesSince(mark, {"python"}));
  EXPECT_NE(log.find("lost exception (enable trace)"), std::string::npos) << log;
  EXPECT_EQ(log.find("AttributeError"), std::string::npos) << log;

  ASSERT_EQ(Py("import qm; qm.trace(True)"), "trace: qm.trace - Enabled");
  mark = app_->Logs().Mark();
  sim->vt->Cleanup(sim);
  log = qmhost::FormatLogEntries(app_->Logs().EntriesSince(mark, {"python"}));
  size_t traced = log.find("AttributeError");
  size_t lost = log.find("[error] lost exception of sim_Cleanup (traced above)\n");
  EXPECT_NE(traced, std::string::npos) << log;
  EXPECT_NE(lost, std::string::npos) << log;
  EXPECT_LT(traced, lost) << log;
  EXPECT_EQ(log.find("enable trace"), std::string::npos) << log;
  // The errors of a missing and of a non-callable method are Python's own.
  EXPECT_NE(log.find("AttributeError\"; Sim instance has no attribute 'sim_Cleanup'"),
            std::string::npos) << log;
  ASSERT_EQ(Py("import fixtures; fixtures.Sim.sim_Cleanup = 5"), "");
  mark = app_->Logs().Mark();
  sim->vt->Cleanup(sim);
  log = qmhost::FormatLogEntries(app_->Logs().EntriesSince(mark, {"python"}));
  EXPECT_NE(log.find("TypeError\"; attribute of type 'int' is not callable"), std::string::npos)
      << log;
  ASSERT_EQ(Py("del fixtures.Sim.sim_Cleanup"), "");
  QmRelease(sim);
}

// A result that cannot be converted says which method gave what, and what
// was expected: in the trace, and to a Python caller.
TEST_F(Dispatch, RefusedResultsSayWhatTheyGotAndWhatWasExpected) {
  ASSERT_EQ(Py("import qm, fixtures"), "");
  auto* sim = Spawn<IQmSimulationModifier>("test.sim");
  auto* sound = Spawn<IQmAudio>("test.sound");
  ASSERT_NE(sim, nullptr);
  ASSERT_NE(sound, nullptr);
  ASSERT_EQ(Py("fixtures.Sim.enabled = 1"), "");
  // Untraced, the host gets only the codes.
  qmhost::LogMark mark = app_->Logs().Mark();
  EXPECT_EQ(sim->vt->Enabled(sim, nullptr), QMe_FAILED);
  EXPECT_EQ(sound->vt->Channels(sound), 0U);
  EXPECT_EQ(qmhost::FormatLogEntries(app_->Logs().EntriesSince(mark, {"python"})), "");

  ASSERT_EQ(Py("x = qm.trace(True)"), "trace: qm.trace - Enabled");
  mark = app_->Logs().Mark();
  EXPECT_EQ(sim->vt->Enabled(sim, nullptr), QMe_FAILED);
  EXPECT_EQ(sound->vt->Channels(sound), 0U);
  int32_t frames = 0, more = 0;
  EXPECT_EQ(sound->vt->Read(sound, nullptr, &frames, &more), QMe_FAILED);
  std::string log = qmhost::FormatLogEntries(app_->Logs().EntriesSince(mark, {"python"}));
  EXPECT_EQ(log,
            "[error] Unhandled exception \"exceptions.TypeError\"; sim_Enabled: expected True or "
            "False, got int\n"
            "[error] Unhandled exception \"exceptions.TypeError\"; audio_Channels: expected an "
            "integer, got str\n"
            "[error] Unhandled exception \"exceptions.TypeError\"; audio_Read: expected a tuple of "
            "2 values, got tuple of 3\n");
  ASSERT_EQ(Py("x = qm.trace(False)"), "trace: qm.trace - Disabled");

  // Called from Python through a wrapper, a caller that learns of the
  // failure from a code sees the same text; one that gets a value gets 0,
  // with no error left behind.
  ASSERT_EQ(Py(std::string("exec ") + "'''" + kError + "'''"), "");
  ASSERT_EQ(Py("a = qm.object.Unknown(); a.set(fixtures.Sound()); a = qm.object.Audio(a)"), "");
  EXPECT_EQ(Py("error(a.Read, qm.object.storage('b', 4))"),
            "TypeError: audio_Read: expected a tuple of 2 values, got tuple of 3");
  EXPECT_EQ(Py("error(a.Channels)"), "no error");
  EXPECT_EQ(Py("a.Channels()"), "0");
  QmRelease(sound);
  QmRelease(sim);
}

// Servers run in the root interpreter: tracing turned on there covers their
// calls while a script runs, whose own trace flag is off.
TEST_F(Dispatch, TracingInTheRootCoversServerCallsOfAScriptRun) {
  const char script[] =
      "import qm\n"
      "try:\n"
      "    qm.eval('test.count by:-1')\n"
      "except RuntimeError:\n"
      "    pass\n";
  Outcome untraced = Run(script);
  EXPECT_EQ(untraced.rc, QMe_OK) << untraced.log;
  EXPECT_EQ(untraced.log.find("cannot count down"), std::string::npos) << untraced.log;
  ASSERT_EQ(Py("import qm; qm.trace(True)"), "trace: qm.trace - Enabled");
  Outcome traced = Run(script);
  EXPECT_EQ(traced.rc, QMe_OK) << traced.log;
  EXPECT_NE(traced.log.find("ValueError\"; cannot count down"), std::string::npos) << traced.log;
}

// A call finds the method where the instance's attribute would be found,
// and calls what it finds as Python would call the attribute.
TEST_F(Dispatch, MethodsAreFoundAsTheInstanceFindsItsAttributes) {
  auto* sim = Spawn<IQmSimulationModifier>("test.sim");
  ASSERT_NE(sim, nullptr);
  auto stepSize = [&] {
    double size = -1;
    QmResult rc = sim->vt->StepSize(sim, &size);
    return QmFailed(rc) ? -static_cast<double>(rc) : size;
  };
  EXPECT_EQ(stepSize(), 0.125);  // the class's own function
  ASSERT_EQ(Py("import fixtures; s = fixtures.latest[0](); Sim = fixtures.Sim"), "");
  // The instance's own attribute comes first, and is not given the instance.
  ASSERT_EQ(Py("s.sim_StepSize = lambda: 0.5"), "");
  EXPECT_EQ(stepSize(), 0.5);
  ASSERT_EQ(Py("del s.sim_StepSize"), "");
  EXPECT_EQ(stepSize(), 0.125);
  // Without one in the class, a base class's function.
  ASSERT_EQ(Py("exec 'class Base:\\n def sim_StepSize(self): return self.size'"), "");
  ASSERT_EQ(Py("Base.size = 0.25; Sim.__bases__ = (Base,) + Sim.__bases__"), "");
  ASSERT_EQ(Py("own = Sim.__dict__['sim_StepSize']; del Sim.sim_StepSize"), "");
  EXPECT_EQ(stepSize(), 0.25);
  // Other objects are called as the attribute gives them.
  ASSERT_EQ(Py("Sim.sim_StepSize = staticmethod(lambda: 0.75)"), "");
  EXPECT_EQ(stepSize(), 0.75);
  ASSERT_EQ(Py("exec 'class Half:\\n def __call__(self): return 1.5'"), "");
  ASSERT_EQ(Py("Sim.sim_StepSize = Half()"), "");
  EXPECT_EQ(stepSize(), 1.5);
  // What neither has, __getattr__ may give.
  ASSERT_EQ(Py("del Sim.sim_StepSize; Sim.__bases__ = Sim.__bases__[1:]"), "");
  ASSERT_EQ(Py("Sim.__getattr__ = lambda self, name: lambda: 2.0"), "");
  EXPECT_EQ(stepSize(), 2.0);
  ASSERT_EQ(Py("del Sim.__getattr__; Sim.sim_StepSize = own; del s"), "");
  EXPECT_EQ(stepSize(), 0.125);
  QmRelease(sim);
}

TEST_F(Dispatch, InstancesLiveAsLongAsTheHostHoldsThem) {
  ASSERT_EQ(Py("import qm, sys, weakref, fixtures"), "");
  ASSERT_EQ(Py("s = fixtures.Sim(); r = weakref.ref(s); n = sys.getrefcount(s)"), "");
  ASSERT_EQ(Py("u = qm.object.Unknown(); u.set(s)"), "");
  // The host object holds one reference, and extract goes back to the instance.
  EXPECT_EQ(Py("sys.getrefcount(s) - n"), "1");
  EXPECT_EQ(Py("qm.extract(u) is s"), "True");
  EXPECT_EQ(Py("repr((qm.extract(None), qm.extract(0)))"), "(None, None)");
  // Objects that are no Python server's hold no instance.
  EXPECT_EQ(Py("repr(qm.extract(qm.object.Unknown()))"), "None");
  EXPECT_EQ(Py("repr(qm.extract(qm.service.Command().ScriptQuery()))"), "None");
  EXPECT_NE(Py("qm.extract(qm.service.Host())").find("TypeError\"; invalid argument"),
            std::string::npos);
  // Called from Python through a wrapper, a refused result's own error
  // reaches the caller.
  ASSERT_EQ(Py(std::string("exec ") + "'''" + kError + "'''"), "");
  ASSERT_EQ(Py("b = qm.object.Unknown(); b.set(fixtures.Both())"), "");
  EXPECT_EQ(Py("error(qm.object.Command(b).Message)"), "RuntimeError: Object of invalid type");
  ASSERT_EQ(Py("del s, u"), "");
  EXPECT_EQ(Py("r() is None"), "True");
}

TEST_F(Dispatch, HostThreadsAndNestedCallsAreAllAnswered) {
  ASSERT_EQ(Py("import fixtures"), "");
  constexpr int kThreads = 4;
  constexpr int kCalls = 50;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Half of the threads step a relay, whose Python runs a Python command.
      auto* sim = Spawn<IQmSimulationModifier>(t % 2 == 0 ? "test.relay" : "test.sim");
      if (sim == nullptr) {
        failures += kCalls;
        return;
      }
      for (int i = 0; i < kCalls; ++i) {
        if (sim->vt->Step(sim, 2.0) != QMe_OK) ++failures;
        void* copy = nullptr;
        if (QmQueryInterface(sim, IID_IQmSimulationModifier, &copy) != QMe_OK) ++failures;
        QmRelease(copy);
      }
      QmRelease(sim);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Py("fixtures.counted[0]"), std::to_string(kThreads / 2 * kCalls * 2));
  EXPECT_EQ(Py("len([e for e in fixtures.log if e == ('Step', 2.0)])"),
            std::to_string(kThreads / 2 * kCalls));
}

TEST_F(Dispatch, PythonCommandsRunLikeTheHostsOwn) {
  ASSERT_EQ(Py("import qm, fixtures"), "");
  uint32_t tag = 0;
  EXPECT_EQ(app_->Commands().cmds_Lookup("test.count", &tag), QMe_OK);
  EXPECT_GT(tag, 0U);
  // Each text of the command, and of its argument, in its own place.
  const qmhost::CommandDef* def = app_->Context()->Commands().Find("test.count", nullptr);
  ASSERT_NE(def, nullptr);
  EXPECT_STREQ(def->userName, "Count up");
  EXPECT_STREQ(def->desc, "Adds to a counter.");
  EXPECT_STREQ(def->example, "test.count by:2");
  ASSERT_EQ(def->args.size(), 1U);
  EXPECT_STREQ(def->args[0].name, "by");
  EXPECT_STREQ(def->args[0].userName, "by");
  EXPECT_STREQ(def->args[0].desc, "How much to add.");
  EXPECT_STREQ(def->args[0].type, "integer");
  EXPECT_EQ(Py("qm.eval('test.count by:5')"), "");
  EXPECT_EQ(Py("qm.command('test.count', by=4)"), "");
  EXPECT_EQ(Py("fixtures.counted[0]"), "9");
  // A value of the wrong type is refused by the host's parse.
  EXPECT_NE(Py("qm.eval('test.count by:many')").find("ERROR"), std::string::npos);
  EXPECT_EQ(Py("fixtures.counted[0]"), "9");
  // Run from a script, in its own interpreter, the command still runs in the root.
  EXPECT_EQ(Run("import qm\nqm.eval('test.count by:1')\n").rc, QMe_OK);
  EXPECT_EQ(Py("fixtures.counted[0]"), "10");
}

}  // namespace
