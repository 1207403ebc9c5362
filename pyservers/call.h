// One host call of a Python server's method: the thunks generated for every
// adapter slot are built from this.  A call enters the interpreter guard,
// turns the host's arguments into Python values it owns, calls the method
// on the instance and converts what it answered; any failure is a thrown
// result code, which the thunk's kind turns into its answer.
#pragma once

#include "interp/python.h"

#include <cstdint>

#include "interp/guard.h"
#include "interp/result.h"
#include "qm_guarded.h"
#include "qm_sdk.h"
#include "scripting/storage.h"

// The implementation object of a host object made for a Python instance:
// the instance (one reference) and the last result whose texts or memory
// the host may still be reading (kept until the next such result or the
// end of the object).
struct CQmPyInstance {
  PyObject* self;
  PyObject* kept;
};

// The Python method name of one adapter slot ("sim_Step"): a constant of
// the slot, interned on its first call and kept until Python is finalised
// (DropMethodNames), so that a call looks the method up without making a
// string.
struct MethodName {
  const char* text;
  PyObject* interned;
};

// Forgets every interned method name, while Python still runs.
void DropMethodNames();

class ServerCall {
 public:
  // Enters the guard and finds the instance behind the interface record;
  // throws QMe_FAILED when there is none.  `answersCode`: the method
  // answers a result code, through which a Python caller learns of a
  // failure and then finds its error pending; a method that answers a value
  // or nothing leaves no error behind.
  explicit ServerCall(void* record, bool answersCode = true);
  // Releases the arguments (detaching storage objects from the host's
  // memory), keeps or drops the result, and leaves the guard.
  ~ServerCall();
  ServerCall(const ServerCall&) = delete;
  ServerCall& operator=(const ServerCall&) = delete;

  // --- Arguments: new Python values, owned by the call -----------------------
  // A qm.object.Unknown wrapper holding its own reference; empty for null.
  PyObject* Object(void* object);
  // A storage object over `count` elements of the host's memory: it starts
  // empty (no elements) and can grow within that block, never past it.
  PyObject* Storage(void* data, uint32_t elementType, int64_t count, uint32_t width);
  PyObject* Vector(const double* values);  // 3 floats; None for null
  PyObject* Box(const double* values);     // two 3-float tuples; None for null
  PyObject* Hints(const QmTextValueHint* hints);
  PyObject* Guid(const QmGUID* guid);      // the GUID service's name of it

  // Calls self.method with the Py_BuildValue `format` and arguments, as
  // PyObject_CallMethod does (the same errors for a missing or a
  // non-callable attribute); a Python exception becomes its result code
  // (reported first when tracing is on).  The result is owned by the call.
  template <class... A>
  PyObject* Invoke(MethodName& method, const char* format, A... args) {
    method_ = method.text;
    bool withSelf = false;
    PyRef callable(Method(method, &withSelf));
    PyRef arguments(sizeof...(A) == 0 ? PyTuple_New(0) : Py_BuildValue(format, args...));
    if (!arguments) return Checked(nullptr);
    if (withSelf) arguments.reset(WithSelf(arguments.get()));
    return Checked(PyObject_Call(callable.get(), arguments.get(), nullptr));
  }

  // Keeps the result on the instance once the call is over: texts and
  // memory handed to the host point into it.
  void KeepResult() { keep_ = true; }

  // --- Results: each throws a result code for a value of the wrong shape -----
  QmResult Truth(PyObject* value);
  long Int(PyObject* value);
  double Float(PyObject* value);
  const char* Text(PyObject* value);  // None gives null
  void TextInto(char* buffer, uint32_t length, PyObject* value);
  const QmGUID* GuidOf(PyObject* value);
  void ObjectInto(PyObject* value, void** out);
  void* Element(PyObject* value);
  void* Pointer(PyObject* value);
  void* StorageMemory(PyObject* value);
  void VectorInto(PyObject* value, double* out, Py_ssize_t length);
  void BoxInto(PyObject* value, double* out);
  void MatrixInto(PyObject* value, double* out, Py_ssize_t rows);
  // The result must be a tuple of exactly `size` items.
  void Tuple(PyObject* value, Py_ssize_t size);

  // A no-result method's failure, which has nowhere else to go.
  void Lost(QmResult code);

 private:
  // Refuses a result of the wrong shape: a TypeError says which method
  // answered what, and what was expected ("sim_Enabled: expected True or
  // False, got int"); then as Refused.
  [[noreturn]] void Refuse(PyObject* value, const char* expected, QmResult code = QMe_FAILED);
  // Throws `code` for the pending Python error, which stays pending for a
  // Python caller waiting for this call; reported first while tracing.
  [[noreturn]] void Refused(QmResult code);
  // Reports the pending Python error, leaving it pending.
  void TracePending();
  static constexpr unsigned kMaxArguments = 8;
  PyObject* Own(PyObject* object);
  PyObject* Checked(PyObject* result);
  // The callable attribute of the instance (a new reference); throws the
  // code of the error when there is none.  When it is a plain function of
  // the instance's class, the function itself is handed out and `withSelf`
  // set: the call passes the instance first, as the bound method would.
  PyObject* Method(MethodName& method, bool* withSelf);
  // The instance followed by `arguments`, a tuple; throws on failure.
  PyObject* WithSelf(PyObject* arguments);

  CInterpreterGuard guard_;  // first in, last out
  CQmPyInstance* instance_ = nullptr;
  PyObject* arguments_[kMaxArguments];
  unsigned argumentCount_ = 0;
  PyObject* result_ = nullptr;
  bool keep_ = false;
  const bool answersCode_;
  const char* method_ = nullptr;  // the Python method called, once it is
  bool traced_ = false;           // an error of this call has been reported
};

// The three kinds of thunk: what each answers when the call fails.
template <class Body>
QmResult CodeThunk(void* self, Body&& body) {
  return QmGuardedCode([&] {
    ServerCall call(self);
    return body(call);
  });
}

template <class R, class Body>
R ValueThunk(void* self, Body&& body) {
  return QmGuardedValue(R{}, [&] {
    ServerCall call(self, false);
    return body(call);
  });
}

template <class Body>
void VoidThunk(void* self, Body&& body) {
  try {
    ServerCall call(self, false);
    try {
      body(call);
    } catch (QmResult code) {
      call.Lost(code);
    } catch (const std::bad_alloc&) {
      call.Lost(QMe_OUTOFMEMORY);
    } catch (...) {
      call.Lost(QMe_FAILED);
    }
  } catch (...) {
    // Without an interpreter there is no one to tell.
  }
}
