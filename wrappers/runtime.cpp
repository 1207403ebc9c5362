#include "wrappers/runtime.h"

#include <cstdint>
#include <map>
#include <new>

#include "module/this_module.h"
#include "pyservers/instances.h"
#include "qm_ifc_channel.h"
#include "scripting/storage.h"

namespace {

struct Registered {
  std::string name;
  bool wrapper;  // instances hold a handle
};

std::map<PyTypeObject*, Registered>& WrapperTypes() {
  static std::map<PyTypeObject*, Registered> types;
  return types;
}

std::map<std::string, PyTypeObject*>& TypesByName() {
  static std::map<std::string, PyTypeObject*> types;
  return types;
}

// Gives the type its full name, kept as long as the library.  A type keeps
// the name it was first given: a set-up tried again after a failure
// registers the same type object.
void NameType(PyTypeObject* type, const char* kind, const char* name) {
  static std::map<PyTypeObject*, std::string> names;
  auto made = names.try_emplace(type, std::string("qm.") + kind + "." + name);
  if (made.second) type->tp_name = made.first->second.c_str();
}

// Adds the type to the submodule of the interpreter being set up.  The
// type is readied on its first use, not here: readying the package's ~240
// types with their ~2,400 methods would cost a host's start more than all
// the rest of the package's set-up.  Python readies a type whose
// dictionary is not made yet when one of its attributes is asked for (a
// method, its dictionary, its name) or when it is subclassed, and the
// constructors below ready the type before they make an instance; checks
// of subclasses need no readied type.
void AddType(PyObject* module, PyTypeObject* type, const char* name) {
  Py_INCREF(type);
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
    Py_DECREF(type);
    throw QMe_FAILED;
  }
}

// True when the type is ready for instances, readying it first if it is
// not; false with the Python error set when that fails.
bool Readied(PyTypeObject* type) {
  return (type->tp_flags & Py_TPFLAGS_READY) != 0 || PyType_Ready(type) == 0;
}

}  // namespace

PyTypeObject BlankType() {
  PyTypeObject type{};
  type.ob_refcnt = 1;
  return type;
}

PyObject* WrapperNewWith(PyTypeObject* type, PyObject* args, CQmLocalizedObject* handle) {
  if (!Readied(type)) {
    delete handle;
    return nullptr;
  }
  PyRef self(type->tp_alloc(type, 0));
  if (!self) {
    delete handle;
    return nullptr;
  }
  auto* wrapper = reinterpret_cast<WrapperObject*>(self.get());
  wrapper->handle = handle;
  if (handle == nullptr) return PyErr_NoMemory();
  if (args == nullptr) return self.release();  // made by the plug-in itself
  return PythonBoundary([&]() -> PyObject* {
    PyObject* source = nullptr;
    if (!PyArg_ParseTuple(args, "|O", &source)) ThrowParseError();
    if (source == nullptr) return self.release();
    if (!IsWrapper(source)) {
      PyErr_SetString(PyExc_RuntimeError, "Object of invalid type");
      throw QMe_NOTFOUND;
    }
    handle->set(reinterpret_cast<WrapperObject*>(source)->handle->raw());
    CheckTrue(handle->test(), QMe_NOINTERFACE);
    return self.release();
  });
}

void WrapperDealloc(PyObject* self) {
  auto* wrapper = reinterpret_cast<WrapperObject*>(self);
  delete wrapper->handle;
  wrapper->handle = nullptr;
  Py_TYPE(self)->tp_free(self);
}

PyObject* ServiceNew(PyTypeObject* type, const QmGUID& guid) {
  if (!Readied(type)) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* service = reinterpret_cast<ServiceObject*>(self);
  if (service->service == nullptr) service->service = CQmThisModule::Get().LookupGlobal(&guid);
  return self;
}

// The wrapper types are shared by every interpreter of the process and
// filled once.  Once a type is readied its slots belong to Python (flags,
// dictionary, base and subclass list): filling it again, as a set-up tried
// again after a failure would, would make Python ready it again and add it
// to object's subclasses once more.  Filling sets the type's own type,
// which Python needs to reach the attributes of a type not readied yet.
namespace {
bool Filled(const PyTypeObject* type) { return Py_TYPE(type) != nullptr; }
}  // namespace

void FillObjectType(PyTypeObject* type, PyMethodDef* methods, newfunc make) {
  if (Filled(type)) return;
  Py_TYPE(type) = &PyType_Type;
  type->tp_flags = kWrapperTypeFlags;
  type->tp_basicsize = sizeof(WrapperObject);
  type->tp_dealloc = WrapperDealloc;
  type->tp_methods = methods;
  type->tp_new = make;
}

void FillServiceType(PyTypeObject* type, PyMethodDef* methods, newfunc make) {
  if (Filled(type)) return;
  Py_TYPE(type) = &PyType_Type;
  type->tp_flags = kWrapperTypeFlags;
  type->tp_basicsize = sizeof(ServiceObject);
  type->tp_methods = methods;
  type->tp_new = make;
}

void RegisterObjectType(PyObject* module, PyTypeObject* type, const char* name) {
  bool wrapper = type->tp_dealloc == WrapperDealloc;
  NameType(type, "object", name);
  AddType(module, type, name);
  WrapperTypes()[type] = Registered{name, wrapper};
  TypesByName()[name] = type;
}

void RegisterServiceType(PyObject* module, PyTypeObject* type, const char* name) {
  NameType(type, "service", name);
  AddType(module, type, name);
}

bool IsWrapper(PyObject* object) {
  auto it = WrapperTypes().find(Py_TYPE(object));
  return it != WrapperTypes().end() && it->second.wrapper;
}

PyObject* CreateByName(const char* name) {
  auto it = TypesByName().find(name);
  if (it == TypesByName().end()) return nullptr;
  return it->second->tp_new(it->second, nullptr, nullptr);
}


// --- set and test -------------------------------------------------------------------

PyObject* WrapperSet(PyObject* self, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    PyObject* source = nullptr;
    if (!PyArg_ParseTuple(args, "O", &source)) ThrowParseError();
    ObjectArg object(source);
    CQmLocalizedObject* handle = reinterpret_cast<WrapperObject*>(self)->handle;
    CheckPointer(handle, QMe_FAILED);
    return PyBool_FromLong(handle->set(object.raw()) ? 1 : 0);
  });
}

PyObject* WrapperTest(PyObject* self, PyObject*) {
  CQmLocalizedObject* handle = reinterpret_cast<WrapperObject*>(self)->handle;
  return PyBool_FromLong(handle != nullptr && handle->test() ? 1 : 0);
}

// --- Arguments ---------------------------------------------------------------------------

void* WrapperRaw(PyObject* wrapper) {
  CQmLocalizedObject* handle = reinterpret_cast<WrapperObject*>(wrapper)->handle;
  return handle != nullptr ? handle->raw() : nullptr;
}

bool IsNoObject(PyObject* value) {
  return value == Py_None ||
         (PyType_HasFeature(Py_TYPE(value), Py_TPFLAGS_INT_SUBCLASS) && PyInt_AsLong(value) == 0);
}

ObjectArg::ObjectArg(PyObject* value) {
  if (PyInstance_Check(value)) {
    // An instance of a Python server class becomes a host object of its
    // own, released once the call it was made for is over.
    owned_ = raw_ = ObjectFromInstance(value);
    if (raw_ != nullptr) return;
  }
  if (IsNoObject(value)) return;
  if (IsWrapper(value)) {
    raw_ = WrapperRaw(value);
    if (raw_ != nullptr) QmAddRef(raw_);
    owned_ = raw_;
    return;
  }
  PyErr_SetString(PyExc_RuntimeError, "Object of invalid type");
  throw QMe_NOTFOUND;
}

ObjectArg::~ObjectArg() {
  if (owned_ != nullptr) QmRelease(owned_);
}

const QmGUID* GuidArg(PyObject* value) {
  CheckTrue(PyString_Check(value), QMe_FAILED);
  return CQmThisModule::Get().LookupGuid(PyString_AS_STRING(value));
}

namespace {

// The storage object an array argument names; null for None.
QmStorageObject* ArrayStorage(PyObject* value, uint32_t elementType) {
  if (value == Py_None) return nullptr;
  CheckTrue(IsStorage(value), QMe_INVALIDARG);
  auto* storage = reinterpret_cast<QmStorageObject*>(value);
  CheckTrue(elementType == kStorageUnset || storage->elementType == elementType, QMe_INVALIDARG);
  return storage;
}

}  // namespace

void* ArrayArg(PyObject* value, uint32_t elementType, uint64_t* elements) {
  QmStorageObject* storage = ArrayStorage(value, elementType);
  if (elements != nullptr) *elements = storage != nullptr && storage->data != nullptr ? storage->size : 0;
  return storage != nullptr ? storage->data : nullptr;
}

void* EndedArrayArg(PyObject* value, uint32_t elementType) {
  uint64_t elements = 0;
  void* data = ArrayArg(value, elementType, &elements);
  if (data == nullptr) return nullptr;  // the host refuses a missing list itself
  bool ended = false;
  for (uint64_t i = 0; i < elements && !ended; ++i) {
    ended = elementType == kStorageInt ? static_cast<int32_t*>(data)[i] == 0
                                       : static_cast<uint32_t*>(data)[i] == 0;
  }
  CheckTrue(ended, QMe_INVALIDARG);
  return data;
}

void* FixedArrayArg(PyObject* value, uint32_t elementType, uint64_t length) {
  uint64_t elements = 0;
  void* data = ArrayArg(value, elementType, &elements);
  CheckTrue(data == nullptr || elements >= length, QMe_INVALIDARG);
  return data;
}

void ReadVector(PyObject* value, double* out, Py_ssize_t length) {
  CheckTrue(PySequence_Check(value) && PySequence_Size(value) == length, QMe_FAILED);
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef item(PySequence_GetItem(value, i));
    CheckPointer(item.get(), QMe_FAILED);
    out[i] = PyFloat_AsDouble(item.get());
    // The elements after one that does not convert are not asked: Python
    // is not called with an error pending.
    if (out[i] == -1.0 && PyErr_Occurred()) throw static_cast<QmResult>(1);
  }
}

void ReadMatrix(PyObject* value, double* out, Py_ssize_t rows) {
  CheckTrue(PySequence_Check(value) && PySequence_Size(value) == rows, QMe_FAILED);
  for (Py_ssize_t r = 0; r < rows; ++r) {
    PyRef row(PySequence_GetItem(value, r));
    CheckPointer(row.get(), QMe_FAILED);
    ReadVector(row.get(), out + r * rows, rows);
  }
}

void ReadBounds(PyObject* value, double* out) {
  CheckTrue(PySequence_Check(value), QMe_INVALIDARG);
  for (Py_ssize_t corner = 0; corner < 2; ++corner) {
    PyRef item(PySequence_GetItem(value, corner));
    CheckPointer(item.get(), QMe_FAILED);
    ReadVector(item.get(), out + corner * 3, 3);
  }
}

HintTable::HintTable(PyObject* value) {
  if (!PySequence_Check(value)) return;
  Py_ssize_t n = PySequence_Size(value);
  CheckNonNegative(n, QMe_INVALIDARG);
  // The length is what the sequence claims: nothing is reserved for it, and
  // the first pair that cannot be read ends the reading.
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item(PySequence_GetItem(value, i));
    int hint = 0;
    const char* name = nullptr;
    CheckTrue(item && PyArg_Parse(item.get(), "(is)", &hint, &name), QMe_FAILED);
    names_.emplace_back(name);
    entries_.push_back(QmTextValueHint{hint, nullptr});
  }
  for (size_t i = 0; i < names_.size(); ++i) entries_[i].name = names_[i].c_str();
  entries_.push_back(QmTextValueHint{-1, nullptr});
}

BlockTable::BlockTable(PyObject* value) {
  if (!PyDict_Check(value)) return;
  Py_ssize_t pos = 0;
  PyObject *key, *text;
  while (PyDict_Next(value, &pos, &key, &text)) {
    CheckTrue((PyInt_Check(key) || PyLong_Check(key)) && PyString_Check(text), QMe_FAILED);
    long id = PyInt_AsLong(key);
    if (id == -1 && PyErr_Occurred()) throw static_cast<QmResult>(1);
    if (id < INT32_MIN || id > INT32_MAX) {
      PyErr_SetString(PyExc_OverflowError, "block key does not fit 32 bits");
      throw static_cast<QmResult>(1);
    }
    texts_.emplace_back(PyString_AS_STRING(text));
    entries_.push_back(QmBlockEntry{static_cast<int32_t>(id), nullptr});
  }
  for (size_t i = 0; i < texts_.size(); ++i) entries_[i].text = texts_[i].c_str();
  entries_.push_back(QmBlockEntry{0, nullptr});
}

// --- Results --------------------------------------------------------------------------------


PyObject* StringResult(const char* text) {
  if (text == nullptr) return ReturnNone();
  return PyString_FromString(text);
}



PyObject* GuidResult(const QmGUID* guid) {
  if (guid == nullptr) return ReturnNone();
  auto* guids = static_cast<IQmGUIDService*>(CQmThisModule::Get().LookupGlobal(&IID_IQmGUIDService));
  CheckPointer(guids, QMe_FAILED);
  const char* text = guids->vt->GetName(guids, guid);
  CheckPointer(text, QMe_FAILED);
  return PyString_FromString(text);
}

PyObject* VectorResult(const double* values, Py_ssize_t length) {
  PyRef tuple(PyTuple_New(length));
  CheckPointer(tuple.get(), QMe_FAILED);
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    CheckPointer(item, QMe_FAILED);
    PyTuple_SET_ITEM(tuple.get(), i, item);
  }
  return tuple.release();
}

PyObject* MatrixResult(const double* values, Py_ssize_t rows) {
  PyRef tuple(PyTuple_New(rows));
  CheckPointer(tuple.get(), QMe_FAILED);
  for (Py_ssize_t r = 0; r < rows; ++r) {
    PyTuple_SET_ITEM(tuple.get(), r, VectorResult(values + r * rows, rows));
  }
  return tuple.release();
}

PyObject* BoundsResult(const double* values) {
  PyRef low(VectorResult(values, 3));
  PyRef high(VectorResult(values + 3, 3));
  PyObject* pair = PyTuple_Pack(2, low.get(), high.get());
  CheckPointer(pair, QMe_FAILED);
  return pair;
}

PyObject* HintsResult(const QmTextValueHint* hints) {
  PyRef list(PyList_New(0));
  CheckPointer(list.get(), QMe_FAILED);
  for (const QmTextValueHint* h = hints; h != nullptr && h->name != nullptr; ++h) {
    PyRef pair(Py_BuildValue("is", h->value, h->name));
    CheckPointer(pair.get(), QMe_FAILED);
    CheckNonNegative(PyList_Append(list.get(), pair.get()), QMe_FAILED);
  }
  return list.release();
}

PyObject* DirectObjectResult(void* object) {
  PyRef wrapper(CreateByName("Unknown"));
  CheckPointer(wrapper.get(), QMe_FAILED);
  reinterpret_cast<WrapperObject*>(wrapper.get())->handle->set(object);
  return wrapper.release();
}

PyObject* ObjectResult(PyRef& wrapper, OutObject& object) {
  CheckPointer(wrapper.get(), QMe_FAILED);
  if (!IsWrapper(wrapper.get())) {
    PyErr_SetString(PyExc_RuntimeError, "Object of invalid type");
    throw QMe_NOTFOUND;
  }
  CQmLocalizedObject* handle = reinterpret_cast<WrapperObject*>(wrapper.get())->handle;
  handle->take(object.release());
  CheckTrue(handle->test(), QMe_NOINTERFACE);
  return wrapper.release();
}

PyObject* TupleResult(std::initializer_list<PyObject*> items) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  bool ok = tuple.get() != nullptr;
  for (PyObject* item : items) {
    if (ok && item != nullptr) {
      PyTuple_SET_ITEM(tuple.get(), i, item);
    } else {
      Py_XDECREF(item);
      ok = false;
    }
    ++i;
  }
  CheckTrue(ok, QMe_FAILED);
  return tuple.release();
}
