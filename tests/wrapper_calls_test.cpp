// Drives every generated wrapper method against a recording implementation
// of its interface: the method must reach the right host method with the
// arguments converted as declared, and convert what comes back.
#include "interp/python.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "host/application.h"
#include "hostile_sweep_support.h"
#include "interp/manager.h"
#include "interp/output.h"
#include "interp/result.h"
#include "interp/threads.h"
#include "module/this_module.h"
#include "qm_recorders.h"
#include "wrappers/runtime.h"

namespace {

std::string Folder(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

PyObject* LastRecord(PyObject*, PyObject*) {
  if (Records().empty()) Py_RETURN_NONE;
  return PyString_FromString(Records().back().c_str());
}

PyObject* ClearRecords(PyObject*, PyObject*) {
  Records().clear();
  Py_RETURN_NONE;
}

PyObject* PlainObjects(PyObject*, PyObject* args) {
  gPlainObjects = PyObject_IsTrue(args) != 0;
  Py_RETURN_NONE;
}

PyMethodDef kProbes[] = {
    {"plain_objects", PlainObjects, METH_O, nullptr},
    {"last_record", LastRecord, METH_NOARGS, nullptr},
    {"clear_records", ClearRecords, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char kDriver[] = R"(
import qm
class TYPE(object):
    def __init__(self, name): self.name = name
    def __repr__(self): return 'TYPE(%r)' % self.name
class ERROR(object):
    def __init__(self, text): self.text = text
    def __repr__(self): return 'ERROR(%r)' % self.text
OBJ = object()
)";

const char kLoop[] = R"(
obj_value = qm.object.Unknown(RECEIVERS[('object', 'Message')])
def same(got, want):
    if isinstance(want, TYPE):
        return type(got).__name__ == want.name and got.test()
    if isinstance(want, tuple):
        return (isinstance(got, tuple) and len(got) == len(want) and
                all(same(g, w) for g, w in zip(got, want)))
    if isinstance(want, float):
        return type(got) is float and got == want
    return got == want
failures = []
def run_all(calls=None):
    for kind, tname, mname, args, record, want in calls or CALLS:
        receiver = RECEIVERS[(kind, tname)]
        args = [obj_value if a is OBJ else a for a in args]
        clear_records()
        try:
            got, err = getattr(receiver, mname)(*args), None
        except Exception, e:
            got, err = None, '%s: %s' % (type(e).__name__, e)
        rec = last_record()
        if isinstance(want, ERROR):
            ok = err == want.text and rec == record
        else:
            ok = err is None and same(got, want) and rec == record
        if not ok:
            failures.append('%s.%s.%s: got %r %r %r, want %r %r' % (
                kind, tname, mname, got, err, rec, want, record))
run_all()
# Calling every method again must not leave Python objects or references
# behind.
import gc, sys
def census():
    gc.collect()
    # Tuples leave the collector's care as it finds them untrackable, so
    # only the other container objects are counted.
    # A debug build of Python counts every reference it holds.
    return (getattr(sys, 'gettotalrefcount', int)(),
            sum(1 for o in gc.get_objects() if type(o) is not tuple), sys.getrefcount(None),
            sys.getrefcount(True),
            sys.getrefcount(False), sum(sys.getrefcount(r) for r in RECEIVERS.values()),
            sys.getrefcount(obj_value),
            sum(sys.getrefcount(a) for c in CALLS for a in c[3] if type(a) is qm.object.storage))
run_all()
census()  # its own first call fills caches of its own
run_all()
before = census()
run_all()
after = census()
)";

std::vector<void*> services_;

// The edges of the conversions, on methods whose kinds show them.
const char kEdges[] = R"(
def outcome(f, *a):
    clear_records()
    try:
        got = f(*a)
    except Exception, e:
        return '%s: %s' % (type(e).__name__, e), last_record()
    return got, last_record()
def expect(what, got, want):
    if got != want:
        failures.append('%s: got %r, want %r' % (what, got, want))
shader = RECEIVERS[('service', 'Shader')]
expect('vector as list', outcome(shader.ComputeFresnel, [1, 2, 3], (1, 2, 3), 1.5),
       (1.25, 'ComputeFresnel([1,2,3],[1,2,3],1.5)'))
expect('short vector', outcome(shader.ComputeFresnel, (1, 2), (1, 2, 3), 1.5),
       ('RuntimeError: bad result: FAILED', None))
expect('vector of text', outcome(shader.ComputeFresnel, ('a', 2, 3), (1, 2, 3), 1.5),
       ('TypeError: a float is required', None))
image = RECEIVERS[('service', 'Image')]
expect('array as list', outcome(image.Kelvin2RGB, 5000.0, [1, 2, 3]),
       ('TypeError: invalid argument', None))
expect('array as None', outcome(image.Kelvin2RGB, 5000.0, None),
       (None, 'Kelvin2RGB(5000,null)'))
expect('array as storage', outcome(image.Kelvin2RGB, 5000.0, qm.object.storage('f', 3)),
       (None, 'Kelvin2RGB(5000,array)'))
expect('array of another element type',
       outcome(image.Kelvin2RGB, 5000.0, qm.object.storage('d', 3)),
       ('TypeError: invalid argument', None))
def ints(*values):
    s = qm.object.storage('i', len(values))
    for k, v in enumerate(values):
        s[k] = v
    return s
item = RECEIVERS[('object', 'Item')]
expect('list without its end', outcome(item.TestTypes, ints(1, 2)),
       ('TypeError: invalid argument', None))
expect('list of another element type', outcome(item.TestTypes, qm.object.storage('b', 1)),
       ('TypeError: invalid argument', None))
expect('ended list', outcome(item.TestTypes, ints(1, 2, 0)), (False, 'TestTypes(array)'))
monitor = RECEIVERS[('object', 'ImageMonitor')]
expect('count past the storage', outcome(monitor.ToolTip, 1, 2, 3, 4, qm.object.storage('b', 4), 100),
       (None, 'ToolTip(1,2,3,4,array,4)'))
expect('count within the storage', outcome(monitor.ToolTip, 1, 2, 3, 4, qm.object.storage('b', 4), 2),
       (None, 'ToolTip(1,2,3,4,array,2)'))
frame = RECEIVERS[('object', 'FrameBuffer')]
expect('fixed length too short', outcome(frame.SetTargetColor, 1, qm.object.storage('d', 2)),
       ('TypeError: invalid argument', None))
expect('fixed length', outcome(frame.SetTargetColor, 1, qm.object.storage('d', 3)),
       (None, 'SetTargetColor(1,array)'))
scene = RECEIVERS[('service', 'Scene')]
plain_objects(True)
expect('object result without its interface', outcome(scene.Root)[0], 'TypeError: no interface')
plain_objects(False)
expect('object result', type(outcome(scene.Root)[0]).__name__, 'Scene')
msg = RECEIVERS[('object', 'Message')]
expect('no arguments expected', outcome(msg.Reset, 1)[0],
       'RuntimeError: Error parsing argument list')
expect('empty receiver first', outcome(qm.object.Message().SetCode, 'not a number')[0],
       'TypeError: no interface')
)";

// A wrapper over a new recorder of the type: an object wrapper holds its
// recorder, a service wrapper calls its own, which `services_` keeps until
// the test releases it.  Null (with a Python error) when it cannot be made.
PyObject* MakeReceiver(const RecordedType& type, PyObject* globals) {
  void* recorder = type.make();
  if (std::string(type.kind) == "object") {
    PyObject* wrapper = CreateByName(type.name);
    if (wrapper == nullptr) {
      QmRelease(recorder);
      PyErr_SetString(PyExc_LookupError, type.name);
      return nullptr;
    }
    reinterpret_cast<WrapperObject*>(wrapper)->handle->take(recorder);
    return wrapper;
  }
  services_.push_back(recorder);
  PyObject* qm = PyDict_GetItemString(globals, "qm");
  PyRef services(qm != nullptr ? PyObject_GetAttrString(qm, "service") : nullptr);
  PyRef serviceType(services ? PyObject_GetAttrString(services.get(), type.name) : nullptr);
  PyObject* wrapper = serviceType ? PyObject_CallObject(serviceType.get(), nullptr) : nullptr;
  if (wrapper == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_LookupError, type.name);
    return nullptr;
  }
  // The service wrapper calls the recorder, which the test keeps.
  reinterpret_cast<ServiceObject*>(wrapper)->service = recorder;
  return wrapper;
}

// A dictionary of (kind, type name) to a wrapper over a new recorder of
// every type; null when one cannot be made.
PyObject* RecordedReceivers(PyObject* globals) {
  PyRef receivers(PyDict_New());
  for (const auto& type : kRecordedTypes) {
    PyRef wrapper(MakeReceiver(type, globals));
    EXPECT_TRUE(wrapper) << type.name;
    if (!wrapper) return nullptr;
    PyRef key(Py_BuildValue("(ss)", type.kind, type.name));
    PyDict_SetItem(receivers.get(), key.get(), wrapper.get());
  }
  return receivers.release();
}

// Runs the recorded calls in the root interpreter's globals.
void Drive(PyObject* globals);

// Runs `drive` with the root interpreter's globals, the plug-in's core set
// up in a host application, and takes it all down afterwards.
void InRootInterpreter(const std::function<void(PyObject*)>& drive) {
  qmhost::Ref<qmhost::Application> app(new qmhost::Application);
  app->SetModuleDir(Folder(QM_PLUGIN_PATH));
  app->AddRef();
  CQmThisModule::Get().SetContext(app->Unknown());
  InterpreterRecord* root = GetInterpreterManager()->RootRecord();
  drive(root->globals);
  DestroyInterpreterManager();
  ReleaseRootOutput();
  CQmThisModule::Get().DeleteState();
  EXPECT_EQ(app->RefCount(), 1U);
}

TEST(WrapperCalls, EveryWrapperMethodReachesItsHostMethod) { InRootInterpreter(Drive); }

// MAKE_RECORDED(kind, name) of the sweep: a wrapper over a new recorder.
PyObject* MakeRecorded(PyObject*, PyObject* args) {
  const char* kind = nullptr;
  const char* name = nullptr;
  if (!PyArg_ParseTuple(args, "ss", &kind, &name)) return nullptr;
  for (const auto& type : kRecordedTypes) {
    if (std::string(type.kind) == kind && std::string(type.name) == name) {
      return MakeReceiver(type, PyEval_GetGlobals());
    }
  }
  PyErr_SetString(PyExc_LookupError, name);
  return nullptr;
}

PyMethodDef kMakeRecorded = {"MAKE_RECORDED", MakeRecorded, METH_VARARGS, nullptr};

// The hostile sweep of tests/scripts/hostile_sweep.py with a recorder as
// the live receiver of every type: the host's objects implement only some
// interfaces, recorders all of them, so every method's conversions are
// reached with hostile arguments.
void Sweep(PyObject* globals, const sweep::Shard& shard, const std::string& folder) {
  PythonScope python(ThreadRootState());
  PyRef receivers(RecordedReceivers(globals));
  ASSERT_TRUE(receivers);
  PyDict_SetItemString(globals, "RECORDED", receivers.get());
  PyRef make(PyCFunction_New(&kMakeRecorded, nullptr));
  PyDict_SetItemString(globals, "MAKE_RECORDED", make.get());
  std::string docstrings = std::string(QM_GENERATED_DIR) + "/qm_docstrings.txt";
  PyRef args(Py_BuildValue("(siiss)", shard.kind, shard.index, shard.count, docstrings.c_str(),
                           folder.c_str()));
  PyDict_SetItemString(globals, "SWEEP_ARGS", args.get());
  std::string script = sweep::ReadFile(QM_SWEEP_SCRIPT);
  ASSERT_FALSE(script.empty());
  PyRef done(PyRun_String(script.c_str(), Py_file_input, globals, globals));
  if (!done) PyErr_Print();
  EXPECT_TRUE(done);
  for (void* service : services_) QmRelease(service);
  services_.clear();
  receivers.reset();
  args.reset();
  done.reset();
  make.reset();
  PyDict_Clear(globals);
}

class RecordedSweep : public ::testing::TestWithParam<sweep::Shard> {};

TEST_P(RecordedSweep, EveryCallEndsInAResultOrAnException) {
  sweep::Folder folder;
  InRootInterpreter([&](PyObject* globals) { Sweep(globals, GetParam(), folder.path()); });
  sweep::CheckReport(folder.Report());
}

INSTANTIATE_TEST_SUITE_P(Recorded, RecordedSweep, ::testing::ValuesIn(sweep::kShards),
                         sweep::ShardName);

void Drive(PyObject* globals) {
  PythonScope python(ThreadRootState());

  for (PyMethodDef* def = kProbes; def->ml_name != nullptr; ++def) {
    PyObject* fn = PyCFunction_New(def, nullptr);
    PyDict_SetItemString(globals, def->ml_name, fn);
    Py_DECREF(fn);
  }
  PyRef receivers(RecordedReceivers(globals));
  ASSERT_TRUE(receivers);
  PyDict_SetItemString(globals, "RECEIVERS", receivers.get());

  std::ifstream in(std::string(QM_GENERATED_DIR) + "/qm_wrapper_calls.py");
  std::stringstream calls;
  calls << in.rdbuf();
  ASSERT_FALSE(calls.str().empty());
  std::string code = std::string(kDriver) + calls.str() + kLoop;
  PyRef done(PyRun_String(code.c_str(), Py_file_input, globals, globals));
  if (!done) PyErr_Print();
  ASSERT_TRUE(done);
  PyRef edges(PyRun_String(kEdges, Py_file_input, globals, globals));
  if (!edges) PyErr_Print();
  EXPECT_TRUE(edges);
  for (void* service : services_) QmRelease(service);
  PyObject* failures = PyDict_GetItemString(globals, "failures");
  ASSERT_NE(failures, nullptr);
  Py_ssize_t n = PyList_Size(failures);
  for (Py_ssize_t i = 0; i < n && i < 40; ++i) {
    ADD_FAILURE() << PyString_AsString(PyList_GetItem(failures, i));
  }
  PyRef count(PyRun_String("len(CALLS)", Py_eval_input, globals, globals));
  EXPECT_GT(PyInt_AsLong(count.get()), 100);
  EXPECT_EQ(n, 0);

  receivers.reset();
  count.reset();
  done.reset();
  PyDict_Clear(globals);
}

}  // namespace
