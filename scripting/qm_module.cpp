#include "scripting/qm_module.h"

#include "interp/report.h"
#include "interp/result.h"
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
    {"throw", QmThrow, METH_VARARGS, "Raise a result code exception."},
    {"notimpl", QmNotImpl, METH_VARARGS, "Raise 'not implemented' exception."},
    {"outEx", QmOutEx, METH_VARARGS, "Output the exception state to the log."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void CreateQmModule() {
  PyObject* module = Py_InitModule4("qm", kQmMethods, "Module for vorex extensions.", nullptr,
                                    PYTHON_API_VERSION);  // borrowed
  if (module == nullptr) {
    PyErr_Clear();
    return;
  }
  try {
    SetUpPackage(module);
  } catch (...) {
    PyErr_Clear();
  }
}
