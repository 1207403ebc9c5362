// The qm module's own functions: output, arguments, options, tracing, and
// the command functions.
#pragma once

#include "interp/python.h"

#include "qm_sdk.h"

// Writes a trace line while the current record's trace flag is set.
void TraceLine(const char* name, const char* text, QmResult code);

// Raises RuntimeError with a message formatted into a fixed buffer (cut to
// fit) and returns null.
PyObject* RaiseRuntime(const char* format, ...) __attribute__((format(printf, 1, 2)));

PyObject* QmOut(PyObject* self, PyObject* args);
PyObject* QmArg(PyObject* self, PyObject* args);
PyObject* QmArgs(PyObject* self, PyObject* args);
PyObject* QmSetOption(PyObject* self, PyObject* args);
PyObject* QmOption(PyObject* self, PyObject* args);
PyObject* QmTrace(PyObject* self, PyObject* args);

PyObject* QmEval(PyObject* self, PyObject* args);
PyObject* QmEval1(PyObject* self, PyObject* args);
PyObject* QmEvalN(PyObject* self, PyObject* args);
PyObject* QmQueryToggle(PyObject* self, PyObject* args);
PyObject* QmCommand(PyObject* self, PyObject* args, PyObject* keywords);
PyObject* QmTest(PyObject* self, PyObject* args);
