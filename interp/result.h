// Result codes on the Python side: the registry of their names, and the
// translation between a code and a Python exception in both directions.
#pragma once

#include "interp/python.h"

#include <string>

#include "interp/checks.h"

// Names the code in qm.result (as a signed 32-bit long) and enters it in
// both registry maps; a later name for the same code wins.
void RegisterResultName(PyObject* resultModule, const char* name, QmResult code);

// The code of a registered name, or QMe_FAILED.
QmResult ResultFromName(const char* name);
// The name registered last for a code, or null.
const char* NameOfResult(QmResult code);

// Raises the exception of a failure code unless one is pending already.
// Always returns null, for a caller to hand back to Python.
PyObject* RaiseResult(QmResult code);

// The code of a normalized exception (type, value).  Throws QMe_FAILED
// when the value's text is needed and cannot be had.
QmResult ResultFromException(PyObject* type, PyObject* value);

// PyObject_Str of an object as text; throws QMe_FAILED (with Python's error
// left pending) when there is no object or no text.
std::string StrOf(PyObject* object);

// Returns a new reference to None.
PyObject* ReturnNone();

// The address a Python integer holds (as PyLong_AsVoidPtr gives it); any
// other value raises TypeError, where Python's own conversion would report
// a bad internal call.  Null with the error set on failure.
void* AddressFromPython(PyObject* value);

// After a failed PyArg_ParseTuple: makes sure an exception is set, then
// throws the success code 1 ("the exception is set already").
[[noreturn]] void ThrowParseError();

// Runs the body of a Python-callable function: a thrown result code (or any
// other exception) becomes the matching Python exception and a null result.
template <class Body>
PyObject* PythonBoundary(Body&& body) {
  try {
    return body();
  } catch (QmResult code) {
    return RaiseResult(code);
  } catch (const std::bad_alloc&) {
    return RaiseResult(QMe_OUTOFMEMORY);
  } catch (...) {
    return RaiseResult(QMe_FAILED);
  }
}

// Holds one Python reference and drops it at scope end.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* adopt) : p_(adopt) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject** out() {
    Py_CLEAR(p_);
    return &p_;
  }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  void reset(PyObject* adopt = nullptr) {
    PyObject* old = p_;
    p_ = adopt;
    Py_XDECREF(old);
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// The pending exception, fetched and normalized; released at scope end.
struct PyErrorState {
  PyRef type, value, traceback;
  // Fetches and normalizes the pending exception (all three null when none).
  void Fetch();
  // Makes the exception pending again; the state is empty afterwards.
  void Restore();
};
