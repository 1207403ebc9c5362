#include "interp/result.h"

#include <cstring>
#include <map>

namespace {

std::map<std::string, QmResult>& NameToCode() {
  static std::map<std::string, QmResult> map;
  return map;
}

std::map<QmResult, std::string>& CodeToName() {
  static std::map<QmResult, std::string> map;
  return map;
}

}  // namespace

void RegisterResultName(PyObject* resultModule, const char* name, QmResult code) {
  PyObject* value = PyLong_FromLong(static_cast<int32_t>(code));
  CheckPointer(value, QMe_FAILED);
  CheckResult(PyModule_AddObject(resultModule, name, value) < 0 ? QMe_FAILED : QMe_OK);
  NameToCode()[name] = code;
  CodeToName()[code] = name;
}

QmResult ResultFromName(const char* name) {
  auto it = NameToCode().find(name);
  return it != NameToCode().end() ? it->second : QMe_FAILED;
}

const char* NameOfResult(QmResult code) {
  auto it = CodeToName().find(code);
  return it != CodeToName().end() ? it->second.c_str() : nullptr;
}

PyObject* RaiseResult(QmResult code) {
  if (!QmFailed(code) || PyErr_Occurred()) return nullptr;
  switch (code) {
    case QMe_NOTIMPL:
      PyErr_SetString(PyExc_NotImplementedError, "not implemented");
      break;
    case QMe_OUTOFMEMORY:
      PyErr_SetString(PyExc_MemoryError, "out of memory");
      break;
    case QMe_INVALIDARG:
      PyErr_SetString(PyExc_TypeError, "invalid argument");
      break;
    case QMe_NOINTERFACE:
      PyErr_SetString(PyExc_TypeError, "no interface");
      break;
    case QMe_OUTOFBOUNDS:
      PyErr_SetString(PyExc_IndexError, "out of bounds");
      break;
    case QMe_NOTFOUND:
      PyErr_SetString(PyExc_LookupError, "not found");
      break;
    default: {
      const char* name = NameOfResult(code);
      std::string text = std::string("bad result: ") + (name != nullptr ? name : "<unknown code>");
      PyErr_SetString(PyExc_RuntimeError, text.c_str());
    }
  }
  return nullptr;
}

namespace {

// The text of a value, for comparing exception messages; a failure leaves
// no Python error behind.
std::string ValueText(PyObject* value) {
  try {
    return StrOf(value);
  } catch (QmResult) {
    PyErr_Clear();
    throw;
  }
}

}  // namespace

QmResult ResultFromException(PyObject* type, PyObject* value) {
  if (PyErr_GivenExceptionMatches(type, PyExc_NotImplementedError)) return QMe_NOTIMPL;
  if (PyErr_GivenExceptionMatches(type, PyExc_MemoryError)) return QMe_OUTOFMEMORY;
  if (PyErr_GivenExceptionMatches(type, PyExc_IndexError)) return QMe_OUTOFBOUNDS;
  if (PyErr_GivenExceptionMatches(type, PyExc_LookupError)) return QMe_NOTFOUND;
  if (PyErr_GivenExceptionMatches(type, PyExc_TypeError)) {
    std::string text = ValueText(value);
    if (text == "no interface") return QMe_NOINTERFACE;
    if (text == "invalid argument") return QMe_INVALIDARG;
  }
  if (PyErr_GivenExceptionMatches(type, PyExc_RuntimeError)) {
    std::string text = ValueText(value);
    static const char kPrefix[] = "bad result: ";
    if (text.compare(0, sizeof kPrefix - 1, kPrefix) == 0) {
      return ResultFromName(text.c_str() + sizeof kPrefix - 1);
    }
  }
  return QMe_FAILED;
}

std::string StrOf(PyObject* object) {
  PyRef text(object != nullptr ? PyObject_Str(object) : nullptr);
  const char* chars = text ? PyString_AsString(text.get()) : nullptr;
  if (chars == nullptr) throw QMe_FAILED;
  return chars;
}

void* AddressFromPython(PyObject* value) {
  if (!PyInt_Check(value) && !PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "an integer is required for an address, not %.200s",
                 Py_TYPE(value)->tp_name);
    return nullptr;
  }
  return PyLong_AsVoidPtr(value);
}

PyObject* ReturnNone() {
  Py_INCREF(Py_None);
  return Py_None;
}

void ThrowParseError() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Error parsing argument list");
  throw static_cast<QmResult>(1);
}

void PyErrorState::Fetch() {
  PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  type.reset(t);
  value.reset(v);
  traceback.reset(tb);
}

void PyErrorState::Restore() {
  PyErr_Restore(type.release(), value.release(), traceback.release());
}
