// The interpreter manager, the guard and the output sinks from inside the
// plug-in, with the reference host's services behind them.
#include "interp/python.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/application.h"
#include "host/logs.h"
#include "interp/guard.h"
#include "interp/manager.h"
#include "interp/output.h"
#include "interp/threads.h"
#include "module/this_module.h"
#include "qm_impl_script.h"
#include "servers/exec_output.h"

namespace {

using qmhost::Ref;

std::string Folder(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

class Interp : public ::testing::Test {
 protected:
  void SetUp() override {
    app_->SetModuleDir(Folder(QM_PLUGIN_PATH));
    app_->AddRef();
    CQmThisModule::Get().SetContext(app_->Unknown());
  }
  void TearDown() override {
    DestroyInterpreterManager();
    ReleaseRootOutput();
    CQmThisModule::Get().DeleteState();
    EXPECT_EQ(app_->RefCount(), 1U);
    EXPECT_EQ(app_->ServiceLeaks(), "");
  }

  std::string LogOf(qmhost::LogMark mark, const char* subsystem) {
    return qmhost::FormatLogEntries(app_->Logs().EntriesSince(mark, {subsystem}));
  }

  // Runs `code` in a script run whose globals hold `probe`.
  QmResult RunWithProbe(const char* code, PyCFunction probe, const char* name = "probe.py") {
    CEmbedInterpreter run(name, 0);
    run.Prepare("", nullptr);
    static PyMethodDef def = {"probe", nullptr, METH_NOARGS, nullptr};
    def.ml_meth = probe;
    PyObject* fn = PyCFunction_New(&def, nullptr);
    PyDict_SetItemString(GetInterpreterManager()->TopRecord()->globals, "probe", fn);
    Py_DECREF(fn);
    return run.Execute(code);
  }

  Ref<qmhost::Application> app_{new qmhost::Application};
};

QmResult gCaught;
PyObject* ProbeRootRecord(PyObject*, PyObject*) {
  gCaught = QMe_OK;
  try {
    GetInterpreterManager()->RootRecord();
  } catch (QmResult code) {
    gCaught = code;
  }
  Py_RETURN_NONE;
}

TEST_F(Interp, RootRecordIsRefusedWhileARunIsInProgress) {
  CInterpreterManager* manager = GetInterpreterManager();
  EXPECT_NO_THROW(manager->RootRecord());
  EXPECT_EQ(RunWithProbe("probe()\n", ProbeRootRecord), QMe_OK);
  EXPECT_EQ(gCaught, QMe_FAILED);
  EXPECT_EQ(manager->Depth(), 1U);
  EXPECT_EQ(manager->RootRecord(), manager->TopRecord());
}

TEST_F(Interp, EveryRecordRunsInItsOwnMainDictionary) {
  CInterpreterManager* manager = GetInterpreterManager();
  InterpreterRecord* root = manager->RootRecord();
  EXPECT_EQ(root->globals, root->locals);
  EXPECT_TRUE(PyDict_Check(root->globals));
  CEmbedInterpreter run("dicts.py", 7);
  InterpreterRecord* top = manager->TopRecord();
  EXPECT_NE(top, root);
  EXPECT_EQ(top->globals, top->locals);
  EXPECT_NE(top->globals, root->globals);
  EXPECT_EQ(top->executionFlags, 7U);
  EXPECT_EQ(top->parentThreadState, root->threadState);
  EXPECT_EQ(PyThreadState_Get(), top->threadState);
}

unsigned long gSwapsInside;
bool gRestored;
PyObject* ProbeGuard(PyObject*, PyObject*) {
  PyThreadState* before = PyThreadState_Get();
  unsigned long start = ThreadStateSwapCount();
  {
    CInterpreterGuard guard;
    EXPECT_EQ(PyThreadState_Get(), ThreadRootState());
  }
  try {
    CInterpreterGuard guard;
    throw QMe_ABORT;
  } catch (QmResult) {
  }
  gSwapsInside = ThreadStateSwapCount() - start;
  gRestored = PyThreadState_Get() == before;
  Py_RETURN_NONE;
}

TEST_F(Interp, GuardSwapsOnlyWhenASubInterpreterIsCurrent) {
  GetInterpreterManager();
  unsigned long start = ThreadStateSwapCount();
  {
    CInterpreterGuard guard;  // Python's lock is taken: nothing to swap
    EXPECT_EQ(PyThreadState_Get(), ThreadRootState());
  }
  EXPECT_EQ(ThreadStateSwapCount(), start);
  EXPECT_EQ(RunWithProbe("probe()\n", ProbeGuard), QMe_OK);
  EXPECT_EQ(gSwapsInside, 4U);  // two guards, one of them left by a throw
  EXPECT_TRUE(gRestored);
}

TEST_F(Interp, NestedGuardsEnterTheHostLockTwice) {
  CInterpreterManager* manager = GetInterpreterManager();
  unsigned depthInside = 0;
  qmhost::Mutex* mutex = nullptr;
  {
    CInterpreterGuard outer;
    ASSERT_NE(manager->lock, nullptr);
    ASSERT_TRUE(manager->lock->test());
    mutex = static_cast<qmhost::Mutex*>(
        static_cast<qmhost::HostFaceBase*>(manager->lock->raw())->owner);
    {
      CInterpreterGuard inner;
      depthInside = mutex->Depth();
    }
    EXPECT_EQ(mutex->Depth(), 1U);
  }
  EXPECT_EQ(depthInside, 2U);
  EXPECT_EQ(mutex->Depth(), 0U);
  EXPECT_EQ(app_->Threads().MutexesCreated(), 2U);  // the cache's and the interpreter lock
}

TEST_F(Interp, TraceLinesOfBothSinksByteForByte) {
  qmhost::LogMark mark = app_->Logs().Mark();
  ASSERT_EQ(OutputDepth(), 0U);
  TraceOutput("a", "b", QMe_INFO);
  WriteOutput("plain", QMe_WARNING);
  EXPECT_EQ(OutputDepth(), 0U);  // the root sink is no sink of this thread's
  auto python = app_->Logs().EntriesSince(mark, {"python"});
  ASSERT_EQ(python.size(), 2U);
  EXPECT_EQ(python[0]->Title(), "\x03(f:FONT_ITALIC) qm.trace: b - a\x03(f:FONT_DEFAULT)");
  EXPECT_EQ(python[0]->Type(), QMe_INFO);
  EXPECT_EQ(python[1]->Title(), "plain");
  EXPECT_EQ(python[1]->Type(), QMe_WARNING);
  EXPECT_EQ(std::string(kTraceOpen).size(), 27U);

  mark = app_->Logs().Mark();
  {
    CEmbedInterpreter run("traced.py", 0);
    TraceOutput("a", "b", QMe_FAILED);
  }
  auto scripts = app_->Logs().EntriesSince(mark, {"scripts"});
  ASSERT_EQ(scripts.size(), 1U);
  EXPECT_EQ(scripts[0]->Title(), "traced.py");
  auto children = scripts[0]->Children();
  ASSERT_EQ(children.size(), 1U);
  EXPECT_EQ(children[0]->Title(), "\x03(f:FONT_ITALIC) qm.trace: a - b\x03(f:FONT_DEFAULT)");
  EXPECT_EQ(children[0]->Type(), QMe_FAILED);
}

TEST_F(Interp, RunThatWritesNothingLeavesNoEntryAndAnUnpreparedRunRunsNothing) {
  qmhost::LogMark mark = app_->Logs().Mark();
  {
    CEmbedInterpreter quiet("quiet.py", 0);
    quiet.Prepare("", nullptr);
    EXPECT_EQ(quiet.Execute("x = 1\n"), QMe_OK);
  }
  EXPECT_EQ(LogOf(mark, "scripts"), "");
  {
    CEmbedInterpreter unprepared("unprepared.py", 0);
    EXPECT_EQ(unprepared.Execute("raise SystemExit('QMe_OK')\n"), QMe_STARTUP);
  }
  EXPECT_EQ(LogOf(mark, "scripts"),
            "[info] unprepared.py\n"
            "  [error] execution error 80000018\n");
}

// A console line's execution object, as the host hands it over.
class LineExecution : public qmhost::HostObject, public CQmImpl_LineExecution {
 public:
  QmResult lin_Info(const char* text) override {
    lines.emplace_back(text);
    return QMe_OK;
  }
  std::vector<std::string> lines;

 protected:
  void* Find(const QmGUID& iid) override {
    return iid == IID_IQmLineExecution || iid == IID_QmBaseUnknown ? face_.get() : nullptr;
  }

 private:
  qmhost::HostFace<IQmLineExecution> face_{this};
};

TEST_F(Interp, ConsoleSinkMarksErrorsAndTraces) {
  Ref<LineExecution> exec(new LineExecution);
  {
    Python_LineInterp::CExecOutput sink(nullptr);
    sink.Write("ignored", QMe_INFO);  // no line execution: nothing to write to
  }
  void* face = nullptr;
  ASSERT_EQ(exec->QueryInterface(&IID_IQmLineExecution, &face), QMe_OK);
  {
    Python_LineInterp::CExecOutput sink(face);
    PushOutput(&sink);
    WriteOutput("bad", QMe_FAILED);
    WriteOutput("fine", QMe_INFO);
    WriteOutput("careful", QMe_WARNING);
    TraceOutput("qm.eval", "select", QMe_INFO);
    TraceOutput("qm.eval", "select", QMe_NOTFOUND);
    PopOutput();
  }
  QmRelease(face);
  EXPECT_EQ(exec->lines, (std::vector<std::string>{"ERROR: bad", "fine", "careful",
                                                   "trace: qm.eval - select",
                                                   "trace error: qm.eval - select"}));
  EXPECT_EQ(exec->RefCount(), 1U);
}

// Fails as Py_NewInterpreter fails: the half-made interpreter is undone
// and the caller's thread state is current again.
PyThreadState* FailingNewInterpreter() {
  PyThreadState* caller = PyThreadState_Get();
  Py_EndInterpreter(Py_NewInterpreter());
  PyThreadState_Swap(caller);
  return nullptr;
}

TEST_F(Interp, AFailedSubInterpreterFailsItsRunAndNothingElse) {
  CInterpreterManager* manager = GetInterpreterManager();
  manager->newInterpreter = &FailingNewInterpreter;
  try {
    CEmbedInterpreter run("fails.py", 0);
    ADD_FAILURE() << "the run started";
  } catch (QmResult code) {
    EXPECT_EQ(code, QMe_FAILED);
  }
  manager->newInterpreter = &Py_NewInterpreter;
  EXPECT_TRUE(Py_IsInitialized());
  EXPECT_EQ(manager->Depth(), 1U);
  EXPECT_EQ(AttachedThreadState(), nullptr);  // Python's lock let go
  CEmbedInterpreter run("works.py", 0);
  run.Prepare("", nullptr);
  EXPECT_EQ(run.Execute("x = 1\n"), QMe_OK);
}

TEST_F(Interp, DestroyingTheManagerFinalisesPythonForGood) {
  GetInterpreterManager();
  EXPECT_TRUE(Py_IsInitialized());
  DestroyInterpreterManager();
  EXPECT_FALSE(Py_IsInitialized());
  EXPECT_THROW(GetInterpreterManager(), QmResult);
}

}  // namespace
