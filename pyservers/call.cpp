#include "pyservers/call.h"

#include <cstring>
#include <string>
#include <vector>

#include "interp/output.h"
#include "interp/report.h"
#include "module/this_module.h"
#include "pyservers/instances.h"
#include "qm_ifc_channel.h"
#include "wrappers/runtime.h"

namespace {
// The names interned so far, to be dropped before Python is finalised.
std::vector<MethodName*> gInterned;
}  // namespace

void DropMethodNames() {
  for (MethodName* name : gInterned) Py_CLEAR(name->interned);
  gInterned.clear();
}

namespace {

// Where a classic class finds an attribute: in its own dictionary, then in
// its bases, depth first and left to right (borrowed; null when none has it).
PyObject* ClassLookup(PyClassObject* cls, PyObject* name) {
  PyObject* found = PyDict_GetItem(cls->cl_dict, name);
  if (found != nullptr) return found;
  Py_ssize_t bases = PyTuple_GET_SIZE(cls->cl_bases);
  for (Py_ssize_t i = 0; i < bases && found == nullptr; ++i) {
    found = ClassLookup(reinterpret_cast<PyClassObject*>(PyTuple_GET_ITEM(cls->cl_bases, i)), name);
  }
  return found;
}

}  // namespace

PyObject* ServerCall::Method(MethodName& method, bool* withSelf) {
  if (method.interned == nullptr) {
    PyObject* name = PyString_InternFromString(method.text);
    if (name == nullptr) Checked(nullptr);
    gInterned.push_back(&method);
    method.interned = name;
  }
  // A method of a server's classic class is what the instance's attribute
  // would bind: the class's function is called with the instance first,
  // without making the bound method.  Anything else (an attribute of the
  // instance itself, a method found through __getattr__, any other kind
  // of object) goes through the attribute as Python gives it.
  PyObject* self = instance_->self;
  if (PyInstance_Check(self)) {
    auto* instance = reinterpret_cast<PyInstanceObject*>(self);
    if (PyDict_GetItem(instance->in_dict, method.interned) == nullptr) {
      PyObject* function = ClassLookup(instance->in_class, method.interned);
      if (function != nullptr && PyFunction_Check(function)) {
        *withSelf = true;
        Py_INCREF(function);
        return function;
      }
    }
  }
  PyObject* bound = PyObject_GetAttr(self, method.interned);
  if (bound == nullptr) Checked(nullptr);
  if (!PyCallable_Check(bound)) {
    PyErr_Format(PyExc_TypeError, "attribute of type '%.200s' is not callable",
                 Py_TYPE(bound)->tp_name);
    Py_DECREF(bound);
    Checked(nullptr);
  }
  return bound;
}

PyObject* ServerCall::WithSelf(PyObject* arguments) {
  CheckTrue(PyTuple_Check(arguments), QMe_FAILED);
  Py_ssize_t count = PyTuple_GET_SIZE(arguments);
  PyObject* all = PyTuple_New(count + 1);
  if (all == nullptr) Checked(nullptr);
  Py_INCREF(instance_->self);
  PyTuple_SET_ITEM(all, 0, instance_->self);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(arguments, i);
    Py_INCREF(item);
    PyTuple_SET_ITEM(all, i + 1, item);
  }
  return all;
}

ServerCall::ServerCall(void* record, bool answersCode) : answersCode_(answersCode) {
  instance_ = record != nullptr ? static_cast<CQmPyInstance*>(CQmImplOfRecord(record)) : nullptr;
  CheckTrue(instance_ != nullptr && instance_->self != nullptr, QMe_FAILED);
}

ServerCall::~ServerCall() {
  for (unsigned i = 0; i < argumentCount_; ++i) {
    // The host's memory is valid only during the call.
    DetachStorage(arguments_[i]);
    Py_DECREF(arguments_[i]);
  }
  if (result_ != nullptr) {
    if (keep_) {
      Py_XSETREF(instance_->kept, result_);
    } else {
      Py_DECREF(result_);
    }
  }
  // An error left standing can only matter to Python code of the root
  // that waits for this call on this thread, and learns of the failure
  // from the code; without either, it is dropped here.
  if (PyErr_Occurred() && (!answersCode_ || !guard_.PythonWaits())) PyErr_Clear();
}

PyObject* ServerCall::Own(PyObject* object) {
  CheckPointer(object, QMe_FAILED);
  if (argumentCount_ == kMaxArguments) {
    Py_DECREF(object);
    throw QMe_FAILED;
  }
  arguments_[argumentCount_++] = object;
  return object;
}

PyObject* ServerCall::Checked(PyObject* result) {
  if (result == nullptr) {
    PyErrorState error;
    error.Fetch();
    if (error.type.get() == nullptr) throw QMe_FAILED;
    if (GetServerTraceFlag()) {
      traced_ = true;
      try {
        ReportException(error.type.get(), error.value.get(), error.traceback.get());
      } catch (...) {
        PyErr_Clear();  // the code below still reaches the host
      }
    }
    throw ResultFromException(error.type.get(), error.value.get());
  }
  if (PyErr_Occurred()) PyErr_Clear();
  result_ = result;
  return result;
}

void ServerCall::Lost(QmResult code) {
  if (!GetServerTraceFlag()) {
    WriteOutput("lost exception (enable trace)", code);
    return;
  }
  if (!traced_ && PyErr_Occurred()) TracePending();
  std::string text = "lost exception";
  if (method_ != nullptr) text += std::string(" of ") + method_;
  text += traced_ ? " (traced above)" : " (no Python exception to trace)";
  WriteOutput(text.c_str(), code);
}

void ServerCall::TracePending() {
  PyErrorState error;
  error.Fetch();
  traced_ = true;
  try {
    ReportException(error.type.get(), error.value.get(), error.traceback.get());
  } catch (...) {
    // What was written stays written; the error itself goes on.
  }
  error.Restore();
}

namespace {

// What a result is, for a refusal: its type's name, with the length of a
// tuple or list ("int", "tuple of 3").
std::string Got(PyObject* value) {
  std::string got = Py_TYPE(value)->tp_name;
  if (PyTuple_Check(value) || PyList_Check(value)) {
    got += " of " + std::to_string(PySequence_Size(value));
  }
  return got;
}

}  // namespace

void ServerCall::Refuse(PyObject* value, const char* expected, QmResult code) {
  std::string got = value != nullptr ? Got(value) : "nothing";
  if (PyErr_ExceptionMatches(PyExc_OverflowError)) got += " out of range";
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "%s: expected %s, got %s",
               method_ != nullptr ? method_ : "Python server", expected, got.c_str());
  Refused(code);
}

void ServerCall::Refused(QmResult code) {
  if (PyErr_Occurred() && GetServerTraceFlag()) TracePending();
  throw code;
}

// --- Arguments ------------------------------------------------------------------

PyObject* ServerCall::Object(void* object) { return Own(DirectObjectResult(object)); }

PyObject* ServerCall::Storage(void* data, uint32_t elementType, int64_t count, uint32_t width) {
  uint64_t bytes = data != nullptr && count > 0 ? static_cast<uint64_t>(count) * width : 0;
  return Own(NewStorageOverBlock(data, elementType, bytes));
}

PyObject* ServerCall::Vector(const double* values) {
  return Own(values != nullptr ? VectorResult(values, 3) : ReturnNone());
}

PyObject* ServerCall::Box(const double* values) {
  return Own(values != nullptr ? BoundsResult(values) : ReturnNone());
}

PyObject* ServerCall::Hints(const QmTextValueHint* hints) { return Own(HintsResult(hints)); }

PyObject* ServerCall::Guid(const QmGUID* guid) {
  auto* service = static_cast<IQmGUIDService*>(
      CQmThisModule::Get().LookupGlobal(&IID_IQmGUIDService));
  const char* name =
      guid != nullptr && service != nullptr ? service->vt->GetName(service, guid) : nullptr;
  return Own(name != nullptr ? PyString_FromString(name) : ReturnNone());
}

// --- Results --------------------------------------------------------------------

QmResult ServerCall::Truth(PyObject* value) {
  if (Py_TYPE(value) != &PyBool_Type) Refuse(value, "True or False");
  return value == Py_True ? QMe_TRUE : QMe_FALSE;
}

long ServerCall::Int(PyObject* value) {
  long n = PyLong_AsLong(value);
  // A value that is no number is refused rather than answered as -1.
  if (n == -1 && PyErr_Occurred()) Refuse(value, "an integer");
  return n;
}

double ServerCall::Float(PyObject* value) {
  double x = PyFloat_AsDouble(value);
  if (x == -1.0 && PyErr_Occurred()) Refuse(value, "a number");
  return x;
}

const char* ServerCall::Text(PyObject* value) {
  if (value == Py_None) return nullptr;
  const char* text = PyString_AsString(value);
  if (text == nullptr) Refuse(value, "a string or None");
  return text;
}

void ServerCall::TextInto(char* buffer, uint32_t length, PyObject* value) {
  Py_ssize_t size = PyString_Size(value);
  const char* text = size >= 0 ? PyString_AsString(value) : nullptr;
  if (text == nullptr) Refuse(value, "a string");
  CheckTrue(static_cast<uint64_t>(size) < length, QMe_SHORTBUFFER);
  CheckPointer(buffer, QMe_INVALIDARG);
  std::memcpy(buffer, text, static_cast<size_t>(size) + 1);
}

const QmGUID* ServerCall::GuidOf(PyObject* value) {
  if (!PyType_HasFeature(Py_TYPE(value), Py_TPFLAGS_STRING_SUBCLASS)) {
    Refuse(value, "a GUID string");
  }
  return CQmThisModule::Get().LookupGuid(PyString_AS_STRING(value));
}

void ServerCall::ObjectInto(PyObject* value, void** out) {
  void* object = nullptr;
  if (PyInstance_Check(value)) object = ObjectFromInstance(value);
  if (object == nullptr) {
    if (!IsWrapper(value)) {
      PyErr_SetString(PyExc_RuntimeError, "Object of invalid type");
      Refused(QMe_NOTFOUND);
    }
    object = WrapperRaw(value);
    if (object != nullptr) QmAddRef(object);
  }
  if (out != nullptr) {
    *out = object;
  } else if (object != nullptr) {
    QmRelease(object);
  }
}

void* ServerCall::Element(PyObject* value) {
  if (IsNoObject(value)) return nullptr;
  if (!IsWrapper(value)) Refuse(value, "a qm.object wrapper or None");
  return WrapperRaw(value);
}

void* ServerCall::Pointer(PyObject* value) {
  void* pointer = AddressFromPython(value);
  if (pointer == nullptr && PyErr_Occurred()) Refuse(value, "an integer address");
  return pointer;
}

void* ServerCall::StorageMemory(PyObject* value) {
  if (!PyObject_TypeCheck(value, &QmStorageType)) Refuse(value, "a qm.object.storage");
  return StorageData(value);
}

void ServerCall::VectorInto(PyObject* value, double* out, Py_ssize_t length) {
  CheckTrue(length <= 4, QMe_FAILED);
  std::string expected = "a sequence of " + std::to_string(length) + " numbers";
  if (!PySequence_Check(value) || PySequence_Size(value) != length) {
    Refuse(value, expected.c_str());
  }
  double values[4] = {};
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef item(PySequence_GetItem(value, i));
    if (!item) Refused(QMe_FAILED);
    values[i] = PyFloat_AsDouble(item.get());
    if (values[i] == -1.0 && PyErr_Occurred()) {
      expected += " (item " + std::to_string(i) + ")";
      Refuse(item.get(), expected.c_str());
    }
  }
  // A conversion error stays pending for a Python caller to see.
  CheckTrue(!PyErr_Occurred(), QMe_FAILED);
  if (out != nullptr) std::memcpy(out, values, sizeof(double) * static_cast<size_t>(length));
}

void ServerCall::BoxInto(PyObject* value, double* out) {
  if (!PySequence_Check(value) || PySequence_Size(value) < 2) {
    Refuse(value, "two corners of 3 numbers each");
  }
  double values[6];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyRef corner(PySequence_GetItem(value, i));
    if (!corner) Refused(QMe_FAILED);
    VectorInto(corner.get(), values + 3 * i, 3);
  }
  if (out != nullptr) std::memcpy(out, values, sizeof values);
}

void ServerCall::MatrixInto(PyObject* value, double* out, Py_ssize_t rows) {
  if (!PySequence_Check(value) || PySequence_Size(value) != rows) {
    std::string expected = std::to_string(rows) + " rows of " + std::to_string(rows) + " numbers";
    Refuse(value, expected.c_str());
  }
  double values[16];
  for (Py_ssize_t r = 0; r < rows; ++r) {
    PyRef row(PySequence_GetItem(value, r));
    if (!row) Refused(QMe_FAILED);
    VectorInto(row.get(), values + rows * r, rows);
  }
  if (out != nullptr) std::memcpy(out, values, sizeof(double) * static_cast<size_t>(rows * rows));
}

void ServerCall::Tuple(PyObject* value, Py_ssize_t size) {
  if (!PyTuple_Check(value) || PyTuple_GET_SIZE(value) != size) {
    std::string expected = "a tuple of " + std::to_string(size) + " values";
    Refuse(value, expected.c_str());
  }
}
