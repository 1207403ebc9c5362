#include "scripting/qm_module.h"

#include <utility>

#include "interp/guard.h"
#include "interp/report.h"
#include "interp/result.h"
#include "pyservers/instances.h"
#include "scripting/functions.h"
#include "scripting/service_types.h"
#include "wrappers/package.h"

namespace {

PyObject* QmThrow(PyObject*, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    unsigned int code = 0;
    if (!PyArg_ParseTuple(args, "I", &code)) ThrowParseError();
    return RaiseResult(code);
  });
}

PyObject* QmNotImpl(PyObject*, PyObject*) { return RaiseResult(QMe_NOTIMPL); }

PyMethodDef kQmMethods[] = {
    {"out", QmOut, METH_VARARGS, "Output to log."},
    {"eval", QmEval, METH_VARARGS, "Evaluate a command string."},
    {"eval1", QmEval1, METH_VARARGS, "Evaluate a command string, returning a single value."},
    {"evalN", QmEvalN, METH_VARARGS, "Evaluate a command string, returning a tuple."},
    {"queryToggle", QmQueryToggle, METH_VARARGS,
     "Query a command with a ToggleValue style argument."},
    {"command", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(QmCommand)),
     METH_VARARGS | METH_KEYWORDS,
     "Execute a command with a variable argument list."},
    {"test", QmTest, METH_VARARGS, "Test the state of a toggle argument."},
    {"arg", QmArg, METH_VARARGS, "Get the argument string for the script."},
    {"args", QmArgs, METH_VARARGS, "Get the parsed argument tuple for the script."},
    {"setOption", QmSetOption, METH_VARARGS, "Set options that affect how the qm methods act"},
    {"option", QmOption, METH_VARARGS, "Get the current state of an option"},
    {"trace", QmTrace, METH_VARARGS, "Toggle extra Event Log output for each qm function call."},
    {"bless", QmBless, METH_VARARGS, "Amen."},
    {"throw", QmThrow, METH_VARARGS, "Raise a result code exception."},
    {"notimpl", QmNotImpl, METH_VARARGS, "Raise 'not implemented' exception."},
    {"outEx", QmOutEx, METH_VARARGS, "Output the exception state to the log."},
    {"extract", QmExtract, METH_VARARGS,
     "Extract the Python object referenced from a COM object wrapper."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void CreateQmModule() {
  CheckNonNegative(PyType_Ready(&QmServiceType), QMe_FAILED);
  CheckNonNegative(PyType_Ready(&QmMonitorType), QMe_FAILED);
  PyObject* module = Py_InitModule4("qm", kQmMethods, "Module for vorex extensions.", nullptr,
                                    PYTHON_API_VERSION);  // borrowed
  CheckPointer(module, QMe_FAILED);
  // The plug-in's version, as scripts and tools ask packages for theirs.
  PyRef version(PyString_FromString(QM_PYTHON_VERSION));
  CheckPointer(version.get(), QMe_FAILED);
  CheckNonNegative(PyDict_SetItemString(PyModule_GetDict(module), "__version__", version.get()),
                   QMe_FAILED);
  for (auto [name, type] : {std::pair{"Service", &QmServiceType}, {"Monitor", &QmMonitorType}}) {
    Py_INCREF(type);
    if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
      Py_DECREF(type);
      throw QMe_FAILED;
    }
  }
  SetUpPackage(module);
}

void ReleaseQmModule() {
  if (!PackageFilled()) return;  // Python never set a package up
  // A root whose set-up failed filled the package too; Python is not
  // started again to let go of it.
  CInterpreterManager* manager = StartedInterpreterManager();
  if (manager == nullptr) return;
  CInterpreterGuard guard(manager);
  DropFilledPackage();
}

void ClearQmPackage() {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* qm = modules != nullptr ? PyDict_GetItemString(modules, "qm") : nullptr;
  if (qm != nullptr && PyModule_Check(qm)) ClearPackage(qm);
}
