// What the generated wrapper types of qm.object and qm.service stand on: the
// wrapper records, the type registries, and the conversions of arguments
// and results between Python and the host.
#pragma once

#include "interp/python.h"

#include <string>
#include <type_traits>
#include <vector>

#include "interp/result.h"
#include "module/handle.h"

// --- Records ------------------------------------------------------------------

// An object wrapper: one handle over the type's host interface.
struct WrapperObject {
  PyObject_HEAD
  CQmLocalizedObject* handle;
};

// A service wrapper: the service's cached interface pointer (not owned).
struct ServiceObject {
  PyObject_HEAD
  void* service;
};

// --- Types and registries ---------------------------------------------------------

// A type object whose every field is zero but its reference count, as the
// wrapper types stay until set-up fills them.
PyTypeObject BlankType();

// Flags of every wrapper type: default flags, and scripts may subclass them.
inline constexpr long kWrapperTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;

// tp_new of the object type over handle class H.
template <class H>
PyObject* WrapperNew(PyTypeObject* type, PyObject* args, PyObject* keywords);
PyObject* WrapperNewWith(PyTypeObject* type, PyObject* args, CQmLocalizedObject* handle);
void WrapperDealloc(PyObject* self);

// tp_new of the service type for `guid`.
PyObject* ServiceNew(PyTypeObject* type, const QmGUID& guid);

// Fills an object type (flags, size, deallocation, methods, constructor).
void FillObjectType(PyTypeObject* type, PyMethodDef* methods, newfunc make);
// Fills a service type.
void FillServiceType(PyTypeObject* type, PyMethodDef* methods, newfunc make);

// Names the type "qm.<kind>.<name>", readies it and adds it to `module`;
// object types also enter both registries.  Throws QMe_FAILED.
void RegisterObjectType(PyObject* module, PyTypeObject* type, const char* name);
void RegisterServiceType(PyObject* module, PyTypeObject* type, const char* name);

// Whether `object` is exactly of a registered object type.
bool IsWrapper(PyObject* object);
// The host pointer a wrapper holds (no reference added); null when empty.
void* WrapperRaw(PyObject* wrapper);
// None, or an int-like 0: what stands for "no object".
bool IsNoObject(PyObject* value);
// A new empty wrapper of the named type; null (no Python error) when the
// name was never registered.
PyObject* CreateByName(const char* name);

// The two methods every object type begins with.
PyObject* WrapperSet(PyObject* self, PyObject* args);
PyObject* WrapperTest(PyObject* self, PyObject* args);

// The receiver's interface; throws QMe_NOINTERFACE when it holds none.
// Every wrapper whose type has methods over I holds a handle over I (the
// type's constructor makes it, and Python calls a type's methods only on
// its own instances), so the pointer is read without a virtual call.
template <class I>
I* Receiver(PyObject* self) {
  auto* handle = static_cast<CQmLocalize<I>*>(reinterpret_cast<WrapperObject*>(self)->handle);
  I* held = handle != nullptr ? handle->ptr() : nullptr;
  CheckTrue(held != nullptr, QMe_NOINTERFACE);
  return held;
}

// The service's interface; throws QMe_NOINTERFACE when the host has none.
template <class I>
I* ServiceReceiver(PyObject* self) {
  void* service = reinterpret_cast<ServiceObject*>(self)->service;
  CheckTrue(service != nullptr, QMe_NOINTERFACE);
  return static_cast<I*>(service);
}

// --- Arguments -----------------------------------------------------------------------

// No arguments: anything given is a parse error.
inline void NoArguments(PyObject* args) {
  if (args != nullptr && PyTuple_GET_SIZE(args) != 0) ThrowParseError();
}

// An object argument as a raw host pointer (no reference for the caller):
// None or 0 give null, a wrapper its held pointer; anything else raises
// "Object of invalid type".  This object holds a reference to it until it
// goes, so that the argument outlives a wrapper emptied meanwhile; a host
// object made for the argument (a Python server instance) is released then.
class ObjectArg {
 public:
  explicit ObjectArg(PyObject* value);
  ~ObjectArg();
  ObjectArg(const ObjectArg&) = delete;
  ObjectArg& operator=(const ObjectArg&) = delete;
  void* raw() const { return raw_; }

 private:
  void* raw_ = nullptr;
  void* owned_ = nullptr;
};

// A GUID argument: a Python string turned into the host's GUID.
const QmGUID* GuidArg(PyObject* value);

// A vector, matrix (rows x rows) or box argument into doubles.
void ReadVector(PyObject* value, double* out, Py_ssize_t length);
void ReadMatrix(PyObject* value, double* out, Py_ssize_t rows);
void ReadBounds(PyObject* value, double* out);

// An array argument: None gives null (and 0 elements), a storage object
// of `elementType` its memory and its number of elements; anything else,
// a storage of another element type among it, is refused with
// QMe_INVALIDARG.  kStorageUnset (untyped data) takes a storage of any type.
void* ArrayArg(PyObject* value, uint32_t elementType, uint64_t* elements = nullptr);
// A list that the host reads up to its first 0 element: as ArrayArg, and
// refused unless the storage holds a 0 element.
void* EndedArrayArg(PyObject* value, uint32_t elementType);
// An array the host reads `length` elements of: as ArrayArg, and refused
// unless the storage holds as many.
void* FixedArrayArg(PyObject* value, uint32_t elementType, uint64_t length);

// The count the host is given with an array: never more than the storage
// holds; a negative count is refused with QMe_INVALIDARG.
template <class N>
N BoundedCount(N count, uint64_t elements) {
  if constexpr (std::is_signed_v<N>) CheckTrue(count >= 0, QMe_INVALIDARG);
  return static_cast<uint64_t>(count) > elements ? static_cast<N>(elements) : count;
}

// A hint table argument: a sequence of (value, name) pairs.
class HintTable {
 public:
  explicit HintTable(PyObject* value);
  const QmTextValueHint* table() const { return entries_.empty() ? nullptr : entries_.data(); }

 private:
  std::vector<std::string> names_;
  std::vector<QmTextValueHint> entries_;
};

// A block table argument: a dictionary of integer keys and string values.
class BlockTable {
 public:
  explicit BlockTable(PyObject* value);
  const QmBlockEntry* table() const { return entries_.empty() ? nullptr : entries_.data(); }

 private:
  std::vector<std::string> texts_;
  std::vector<QmBlockEntry> entries_;
};

// --- Results --------------------------------------------------------------------------

inline PyObject* IntResult(long value) { return PyLong_FromLong(value); }
inline PyObject* FloatResult(double value) { return PyFloat_FromDouble(value); }
PyObject* StringResult(const char* text);  // null gives None
inline PyObject* PointerResult(void* value) { return PyLong_FromVoidPtr(value); }
// QMe_TRUE is True
inline PyObject* BoolResult(QmResult code) { return PyBool_FromLong(code == QMe_TRUE ? 1 : 0); }
PyObject* GuidResult(const QmGUID* guid);  // the GUID's text
PyObject* VectorResult(const double* values, Py_ssize_t length);
PyObject* MatrixResult(const double* values, Py_ssize_t rows);
PyObject* BoundsResult(const double* values);
PyObject* HintsResult(const QmTextValueHint* hints);
// The object a host method returned itself, without a reference for the
// caller, in a new Unknown wrapper (empty for null).
PyObject* DirectObjectResult(void* object);
// An out-location for a host object: the reference the host hands out is
// released unless a result wrapper takes it.
class OutObject {
 public:
  OutObject() = default;
  OutObject(const OutObject&) = delete;
  OutObject& operator=(const OutObject&) = delete;
  ~OutObject() {
    if (object_ != nullptr) QmRelease(object_);
  }
  void** addr() { return &object_; }
  void* release() {
    void* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  void* object_ = nullptr;
};

// Hands a host object (with its reference) to a result wrapper made by
// CreateByName; throws when the wrapper or the interface is missing.
PyObject* ObjectResult(PyRef& wrapper, OutObject& object);
// Several results as one tuple; steals the references.
PyObject* TupleResult(std::initializer_list<PyObject*> items);

// Calls `call(buffer, length)` with a buffer that doubles from 512 bytes
// while the host answers QMe_SHORTBUFFER; the text as a Python string.
template <class Call>
PyObject* StringThroughBuffer(Call&& call) {
  uint32_t size = 512;
  for (;;) {
    std::vector<char> buffer(size, '\0');
    QmResult rc = call(buffer.data(), size);
    if (rc == QMe_SHORTBUFFER) {
      size *= 2;
      continue;
    }
    CheckResult(rc);
    buffer[size - 1] = '\0';
    return PyString_FromString(buffer.data());
  }
}

template <class H>
PyObject* WrapperNew(PyTypeObject* type, PyObject* args, PyObject*) {
  return WrapperNewWith(type, args, new (std::nothrow) H);
}
