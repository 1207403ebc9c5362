#include "scripting/functions.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "interp/manager.h"
#include "interp/output.h"
#include "interp/result.h"

void TraceLine(const char* name, const char* text, QmResult code) {
  if (GetTraceFlag()) TraceOutput(name, text, code);
}

PyObject* RaiseRuntime(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  PyErr_SetString(PyExc_RuntimeError, text);
  return nullptr;
}

namespace {

InterpreterRecord* Current() { return GetInterpreterManager()->TopRecord(); }

const char kAngleOption[] = "queryAnglesAs";

}  // namespace

PyObject* QmOut(PyObject*, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    std::string text;
    Py_ssize_t n = PyTuple_Size(args);
    for (Py_ssize_t i = 0; i < n; ++i) {
      std::string item = StrOf(PyTuple_GetItem(args, i));
      if (!text.empty()) text += ' ';
      text += item;
    }
    // The host's refusal to take the line is the script's to see.
    CheckResult(WriteOutput(text.c_str(), QMe_INFO));
    return ReturnNone();
  });
}

PyObject* QmArg(PyObject*, PyObject*) {
  return PythonBoundary([&]() -> PyObject* {
    PyObject* value = Current()->argString;
    Py_INCREF(value);
    return value;
  });
}

PyObject* QmArgs(PyObject*, PyObject*) {
  return PythonBoundary([&]() -> PyObject* {
    PyObject* value = Current()->argTuple;
    Py_INCREF(value);
    return value;
  });
}

PyObject* QmOption(PyObject*, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
    if (std::strcmp(name, kAngleOption) != 0) return RaiseRuntime("unknown option \"%s\"", name);
    return PyString_FromString(Current()->angleOption != 0 ? "degrees" : "radians");
  });
}

PyObject* QmSetOption(PyObject*, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    const char* name = nullptr;
    const char* value = nullptr;
    if (!PyArg_ParseTuple(args, "ss", &name, &value)) return nullptr;
    if (std::strcmp(name, kAngleOption) != 0) return RaiseRuntime("unknown option \"%s\"", name);
    unsigned char degrees;
    if (std::strcmp(value, "degrees") == 0) {
      degrees = 1;
    } else if (std::strcmp(value, "radians") == 0) {
      degrees = 0;
    } else {
      return RaiseRuntime("unknown value for \"%s\": \"%s\"", kAngleOption, value);
    }
    Current()->angleOption = degrees;
    return ReturnNone();
  });
}

PyObject* QmTrace(PyObject*, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    PyObject* flag = nullptr;
    if (!PyArg_ParseTuple(args, "O", &flag)) return nullptr;
    if (!PyBool_Check(flag)) return RaiseRuntime("qm.trace requires a boolean argument");
    bool on = flag == Py_True;
    const char* text = on ? "Enabled" : "Disabled";
    TraceLine("qm.trace", text, QMe_INFO);
    SetTraceFlag(on);
    TraceLine("qm.trace", text, QMe_INFO);
    return PyBool_FromLong(GetTraceFlag() ? 1 : 0);
  });
}
