#include "pyservers/call.h"

#include <cstring>
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

ServerCall::ServerCall(void* record) {
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
  // that waits for this call on this thread; with none, it is dropped here.
  if (PyErr_Occurred() && !guard_.PythonWaits()) PyErr_Clear();
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
    if (GetTraceFlag()) {
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

void ServerCall::Lost(QmResult code) { WriteOutput("lost exception (enable trace)", code); }

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
  CheckTrue(Py_TYPE(value) == &PyBool_Type, QMe_FAILED);
  return value == Py_True ? QMe_TRUE : QMe_FALSE;
}

long ServerCall::Int(PyObject* value) {
  long n = PyLong_AsLong(value);
  // A value that is no number is refused rather than answered as -1.
  CheckTrue(n != -1 || !PyErr_Occurred(), QMe_FAILED);
  return n;
}

double ServerCall::Float(PyObject* value) {
  double x = PyFloat_AsDouble(value);
  CheckTrue(x != -1.0 || !PyErr_Occurred(), QMe_FAILED);
  return x;
}

const char* ServerCall::Text(PyObject* value) {
  if (value == Py_None) return nullptr;
  const char* text = PyString_AsString(value);
  CheckPointer(text, QMe_FAILED);
  return text;
}

void ServerCall::TextInto(char* buffer, uint32_t length, PyObject* value) {
  Py_ssize_t size = PyString_Size(value);
  CheckTrue(size >= 0, QMe_FAILED);
  const char* text = PyString_AsString(value);
  CheckPointer(text, QMe_FAILED);
  CheckTrue(static_cast<uint64_t>(size) < length, QMe_SHORTBUFFER);
  CheckPointer(buffer, QMe_INVALIDARG);
  std::memcpy(buffer, text, static_cast<size_t>(size) + 1);
}

const QmGUID* ServerCall::GuidOf(PyObject* value) {
  CheckTrue(PyType_HasFeature(Py_TYPE(value), Py_TPFLAGS_STRING_SUBCLASS), QMe_FAILED);
  return CQmThisModule::Get().LookupGuid(PyString_AS_STRING(value));
}

void ServerCall::ObjectInto(PyObject* value, void** out) {
  void* object = nullptr;
  if (PyInstance_Check(value)) object = ObjectFromInstance(value);
  if (object == nullptr) {
    if (!IsWrapper(value)) {
      PyErr_SetString(PyExc_RuntimeError, "Object of invalid type");
      throw QMe_NOTFOUND;
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
  CheckTrue(IsWrapper(value), QMe_FAILED);
  return WrapperRaw(value);
}

void* ServerCall::Pointer(PyObject* value) {
  void* pointer = AddressFromPython(value);
  CheckTrue(pointer != nullptr || !PyErr_Occurred(), QMe_FAILED);
  return pointer;
}

void* ServerCall::StorageMemory(PyObject* value) {
  CheckTrue(PyObject_TypeCheck(value, &QmStorageType), QMe_FAILED);
  return StorageData(value);
}

void ServerCall::VectorInto(PyObject* value, double* out, Py_ssize_t length) {
  CheckTrue(PySequence_Check(value) && PySequence_Size(value) == length, QMe_FAILED);
  double values[4] = {};
  CheckTrue(length <= 4, QMe_FAILED);
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef item(PySequence_GetItem(value, i));
    CheckPointer(item.get(), QMe_FAILED);
    values[i] = PyFloat_AsDouble(item.get());
  }
  // A conversion error stays pending for a Python caller to see.
  CheckTrue(!PyErr_Occurred(), QMe_FAILED);
  if (out != nullptr) std::memcpy(out, values, sizeof(double) * static_cast<size_t>(length));
}

void ServerCall::BoxInto(PyObject* value, double* out) {
  CheckTrue(PySequence_Check(value) && PySequence_Size(value) >= 2, QMe_FAILED);
  double values[6];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyRef corner(PySequence_GetItem(value, i));
    CheckPointer(corner.get(), QMe_FAILED);
    VectorInto(corner.get(), values + 3 * i, 3);
  }
  if (out != nullptr) std::memcpy(out, values, sizeof values);
}

void ServerCall::MatrixInto(PyObject* value, double* out, Py_ssize_t rows) {
  CheckTrue(PySequence_Check(value) && PySequence_Size(value) == rows, QMe_FAILED);
  double values[16];
  for (Py_ssize_t r = 0; r < rows; ++r) {
    PyRef row(PySequence_GetItem(value, r));
    CheckPointer(row.get(), QMe_FAILED);
    VectorInto(row.get(), values + rows * r, rows);
  }
  if (out != nullptr) std::memcpy(out, values, sizeof(double) * static_cast<size_t>(rows * rows));
}

void ServerCall::Tuple(PyObject* value, Py_ssize_t size) {
  CheckTrue(PyTuple_Check(value) && PyTuple_GET_SIZE(value) == size, QMe_FAILED);
}
