// Drives every generated wrapper method against a recording implementation
// of its interface: the method must reach the right host method with the
// arguments converted as declared, and convert what comes back.
#include "interp/python.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "host/application.h"
#include "interp/manager.h"
#include "interp/output.h"
#include "interp/result.h"
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

PyMethodDef kProbes[] = {
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
STORAGE = object()
)";

const char kLoop[] = R"(
obj_value = qm.object.Unknown(RECEIVERS[('object', 'Message')])
storage_value = qm.object.storage('float', 4)
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
for kind, tname, mname, args, record, want in CALLS:
    receiver = RECEIVERS[(kind, tname)]
    args = [obj_value if a is OBJ else storage_value if a is STORAGE else a for a in args]
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
        failures.append('%s.%s.%s: got %r %r %r, want %r %r' % (kind, tname, mname, got, err, rec,
                                                               want, record))
)";

std::vector<void*> services_;

TEST(WrapperCalls, EveryWrapperMethodReachesItsHostMethod) {
  qmhost::Ref<qmhost::Application> app(new qmhost::Application);
  app->SetModuleDir(Folder(QM_PLUGIN_PATH));
  app->AddRef();
  CQmThisModule::Get().SetContext(app->Unknown());
  InterpreterRecord* root = GetInterpreterManager()->RootRecord();
  PyObject* globals = root->globals;

  for (PyMethodDef* def = kProbes; def->ml_name != nullptr; ++def) {
    PyObject* fn = PyCFunction_New(def, nullptr);
    PyDict_SetItemString(globals, def->ml_name, fn);
    Py_DECREF(fn);
  }
  PyRef receivers(PyDict_New());
  for (const auto& type : kRecordedTypes) {
    void* recorder = type.make();
    PyRef wrapper;
    if (std::string(type.kind) == "object") {
      wrapper.reset(CreateByName(type.name));
      ASSERT_TRUE(wrapper) << type.name;
      reinterpret_cast<WrapperObject*>(wrapper.get())->handle->take(recorder);
    } else {
      PyObject* qm = PyDict_GetItemString(globals, "qm");
      ASSERT_NE(qm, nullptr);
      PyRef services(PyObject_GetAttrString(qm, "service"));
      PyRef serviceType(PyObject_GetAttrString(services.get(), type.name));
      ASSERT_TRUE(serviceType) << type.name;
      wrapper.reset(PyObject_CallObject(serviceType.get(), nullptr));
      ASSERT_TRUE(wrapper) << type.name;
      // The service wrapper calls the recorder, which the test keeps.
      reinterpret_cast<ServiceObject*>(wrapper.get())->service = recorder;
      services_.push_back(recorder);
    }
    PyRef key(Py_BuildValue("(ss)", type.kind, type.name));
    PyDict_SetItem(receivers.get(), key.get(), wrapper.get());
  }
  PyDict_SetItemString(globals, "RECEIVERS", receivers.get());

  std::ifstream in(std::string(QM_GENERATED_DIR) + "/qm_wrapper_calls.py");
  std::stringstream calls;
  calls << in.rdbuf();
  ASSERT_FALSE(calls.str().empty());
  std::string code = std::string(kDriver) + calls.str() + kLoop;
  PyRef done(PyRun_String(code.c_str(), Py_file_input, globals, globals));
  if (!done) PyErr_Print();
  for (void* service : services_) QmRelease(service);
  ASSERT_TRUE(done);
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
  DestroyInterpreterManager();
  ReleaseRootOutput();
  CQmThisModule::Get().DeleteState();
  EXPECT_EQ(app->RefCount(), 1U);
}

}  // namespace
