#include "scripting/storage.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "interp/result.h"

static_assert(sizeof(void*) == 8, "pointer elements are 8 bytes");

namespace {

// The exception is set already: the boundary hands it back as it stands.
constexpr QmResult kErrorIsSet = 1;

[[noreturn]] void Fail(PyObject* type, const char* text) {
  PyErr_SetString(type, text);
  throw kErrorIsSet;
}

[[noreturn]] void FailRuntime(const char* text) { Fail(PyExc_RuntimeError, text); }

const char kUnknownType[] = "Unknown storage type";
const char kNotWritable[] = "Storage buffer is not writable";
const char kAllocationFailed[] = "Allocation failied";

QmStorageObject* AsStorage(PyObject* object) {
  return reinterpret_cast<QmStorageObject*>(object);
}

unsigned char* Bytes(const QmStorageObject* self) {
  return static_cast<unsigned char*>(self->data);
}

// Like PythonBoundary, for the slots that answer with a status or a length:
// -1 with the Python exception on failure.
template <class Result, class Body>
Result StatusBoundary(Body&& body) {
  try {
    return body();
  } catch (QmResult code) {
    RaiseResult(code);
  } catch (const std::bad_alloc&) {
    RaiseResult(QMe_OUTOFMEMORY);
  } catch (...) {
    RaiseResult(QMe_FAILED);
  }
  return -1;
}

// Only the first character of a type name counts.
uint32_t TypeFromName(const char* name) {
  switch (name[0]) {
    case 'f':
      return kStorageFloat;
    case 'i':
      return kStorageInt;
    case 'b':
      return kStorageByte;
    case 'd':
      return kStorageDouble;
    case 'u':
      return kStorageUnsigned;
    case 'p':
      return kStoragePointer;
    default:
      FailRuntime(kUnknownType);
  }
}

// Makes the buffer `n` elements of `type`; on success the type is `type`.
// An owned block is replaced only when it is too small, and then `keep`
// carries the current elements over; a block that is not owned never moves
// and never grows past what it was handed over with.  A failure changes
// nothing.
void Resize(QmStorageObject* self, uint32_t type, uint64_t n, bool keep) {
  const uint32_t width = StorageElementSize(type);
  if (width == 0) FailRuntime("Storage data type not set");
  if (n < 1) FailRuntime("Size must be larger than zero");
  if (self->owned) {
    if (n > std::numeric_limits<size_t>::max() / width) Fail(PyExc_MemoryError, kAllocationFailed);
    const uint64_t bytes = n * width;
    if (self->data == nullptr || bytes > self->capacity) {
      void* block = std::calloc(bytes, 1);
      if (block == nullptr) Fail(PyExc_MemoryError, kAllocationFailed);
      if (keep && self->data != nullptr) {
        uint64_t old = self->size * StorageElementSize(self->elementType);
        std::memcpy(block, self->data, std::min({old, bytes, self->capacity}));
      }
      std::free(self->data);
      self->data = block;
      self->capacity = bytes;
    }
  } else if (n > self->blockElements || n > self->blockBytes / width) {
    FailRuntime("Storage buffer cannot grow past its block");
  }
  self->elementType = type;
  self->size = n;
  self->offset = std::min(self->offset, n);
}

// Narrows to float the way the hardware does, without the undefined
// conversion of a value beyond float's range.
float NarrowToFloat(double value) {
  if (std::isfinite(value) && std::fabs(value) > static_cast<double>(FLT_MAX)) {
    return value < 0 ? -std::numeric_limits<float>::infinity()
                     : std::numeric_limits<float>::infinity();
  }
  return static_cast<float>(value);
}

// Converts a Python value to one element of `type` in `out`.  False with the
// Python error pending when the value does not convert.
bool ConvertItem(uint32_t type, PyObject* item, unsigned char out[8]) {
  switch (type) {
    case kStorageFloat: {
      float value = NarrowToFloat(PyFloat_AsDouble(item));
      std::memcpy(out, &value, sizeof value);
      break;
    }
    case kStorageDouble: {
      double value = PyFloat_AsDouble(item);
      std::memcpy(out, &value, sizeof value);
      break;
    }
    case kStorageInt: {
      auto value = static_cast<uint32_t>(PyInt_AsLong(item));
      std::memcpy(out, &value, sizeof value);
      break;
    }
    case kStorageByte:
      out[0] = static_cast<unsigned char>(PyInt_AsLong(item));
      break;
    case kStorageUnsigned: {
      auto value = static_cast<uint32_t>(PyInt_AsUnsignedLongMask(item));
      std::memcpy(out, &value, sizeof value);
      break;
    }
    case kStoragePointer: {
      void* value = AddressFromPython(item);
      std::memcpy(out, &value, sizeof value);
      break;
    }
    default:
      FailRuntime(kUnknownType);
  }
  return PyErr_Occurred() == nullptr;
}

// Converts `item` and stores it at element `at`.  The conversion may run
// Python code that changes the buffer, so the element is checked again
// before the store.
void StoreItem(QmStorageObject* self, uint32_t type, uint64_t at, PyObject* item) {
  unsigned char value[8];
  if (!ConvertItem(type, item, value)) throw kErrorIsSet;
  if (self->elementType != type || self->data == nullptr || at >= self->size) {
    FailRuntime("Storage buffer changed while being written");
  }
  const uint32_t width = StorageElementSize(type);
  std::memcpy(Bytes(self) + at * width, value, width);
}

// Writes the `count` items of `sequence` from element `at` on.  A failed
// conversion stops there with its exception; what was written stays.
void WriteSequence(QmStorageObject* self, PyObject* sequence, Py_ssize_t count, uint64_t at) {
  if (PySequence_Size(sequence) != count) throw QMe_FAILED;
  const uint32_t type = self->elementType;
  for (Py_ssize_t j = 0; j < count; ++j) {
    PyRef item(PySequence_GetItem(sequence, j));
    if (!item) throw kErrorIsSet;
    StoreItem(self, type, at + static_cast<uint64_t>(j), item.get());
  }
  if (PyErr_Occurred()) throw kErrorIsSet;
}

// Element `at` as a new Python value; null when it cannot be made.
PyObject* ReadItem(const QmStorageObject* self, uint64_t at) {
  const unsigned char* p = Bytes(self) + at * StorageElementSize(self->elementType);
  switch (self->elementType) {
    case kStorageFloat: {
      float value;
      std::memcpy(&value, p, sizeof value);
      return PyFloat_FromDouble(value);
    }
    case kStorageDouble: {
      double value;
      std::memcpy(&value, p, sizeof value);
      return PyFloat_FromDouble(value);
    }
    case kStorageInt: {
      int32_t value;
      std::memcpy(&value, p, sizeof value);
      return PyInt_FromLong(value);
    }
    case kStorageByte:
      return PyInt_FromLong(p[0]);
    case kStorageUnsigned: {
      // Read back as the signed 32 bits: 0xFFFFFFFF is -1.
      int32_t value;
      std::memcpy(&value, p, sizeof value);
      return PyLong_FromLong(value);
    }
    case kStoragePointer: {
      void* value;
      std::memcpy(&value, p, sizeof value);
      return PyLong_FromVoidPtr(value);
    }
    default:
      FailRuntime(kUnknownType);
  }
}

// The checks before `set` and `+=` write a sequence; returns its length.
Py_ssize_t CheckWritableSequence(const QmStorageObject* self, PyObject* sequence) {
  if (!self->writable) FailRuntime(kNotWritable);
  if (!PySequence_Check(sequence)) FailRuntime("Expected a sequence");
  Py_ssize_t count = PySequence_Size(sequence);
  if (count < 0) throw kErrorIsSet;
  return count;
}

// --- Methods ---------------------------------------------------------------------

void SetType(QmStorageObject* self, const char* name) {
  uint32_t type = TypeFromName(name);
  if (self->size > 0) {
    Resize(self, type, self->size, false);
  } else {
    self->elementType = type;
  }
}

void SetSize(QmStorageObject* self, int count) {
  Resize(self, self->elementType, count > 0 ? static_cast<uint64_t>(count) : 0, false);
}

PyObject* StorageSetType(PyObject* object, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) ThrowParseError();
    SetType(AsStorage(object), name);
    return ReturnNone();
  });
}

PyObject* StorageSetSize(PyObject* object, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    int count = 0;
    if (!PyArg_ParseTuple(args, "i", &count)) ThrowParseError();
    SetSize(AsStorage(object), count);
    return ReturnNone();
  });
}

PyObject* StorageSet(PyObject* object, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    QmStorageObject* self = AsStorage(object);
    PyObject* sequence = nullptr;
    if (!PyArg_ParseTuple(args, "O", &sequence)) ThrowParseError();
    Py_ssize_t count = CheckWritableSequence(self, sequence);
    const uint64_t at = self->offset;
    Resize(self, self->elementType, at + static_cast<uint64_t>(count), false);
    WriteSequence(self, sequence, count, at);
    return ReturnNone();
  });
}

PyObject* StorageGet(PyObject* object, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    const QmStorageObject* self = AsStorage(object);
    int count = -1;
    if (!PyArg_ParseTuple(args, "|i", &count)) ThrowParseError();
    if (StorageElementSize(self->elementType) == 0) FailRuntime(kUnknownType);
    const uint64_t available = self->data != nullptr ? self->size - self->offset : 0;
    uint64_t n = count < 0 ? self->size : static_cast<uint64_t>(count);
    n = std::min(n, available);
    if (n > static_cast<uint64_t>(PY_SSIZE_T_MAX)) throw QMe_OUTOFMEMORY;
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(n)));
    CheckPointer(tuple.get(), QMe_FAILED);
    for (uint64_t i = 0; i < n; ++i) {
      PyObject* item = ReadItem(self, self->offset + i);
      CheckPointer(item, QMe_FAILED);
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
  });
}

PyObject* StorageString(PyObject* object, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    const QmStorageObject* self = AsStorage(object);
    if (!PyArg_ParseTuple(args, "")) ThrowParseError();
    if (self->elementType != kStorageByte) FailRuntime("Not a byte buffer");
    if (self->data == nullptr || self->size == 0) return PyString_FromString("");
    const void* end = std::memchr(self->data, 0, self->size);
    if (end == nullptr) FailRuntime("String buffer is unterminated");
    const char* text = static_cast<const char*>(self->data);
    return PyString_FromStringAndSize(text, static_cast<const char*>(end) - text);
  });
}

PyObject* StorageSize(PyObject* object, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    if (!PyArg_ParseTuple(args, "")) ThrowParseError();
    return PyInt_FromSize_t(AsStorage(object)->size);
  });
}

PyObject* StorageOffset(PyObject* object, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    QmStorageObject* self = AsStorage(object);
    int index = -1;
    if (!PyArg_ParseTuple(args, "|i", &index)) ThrowParseError();
    if (index < 0) return PyInt_FromSize_t(self->offset);
    if (static_cast<uint64_t>(index) > self->size) FailRuntime("Can't offset past end of buffer");
    self->offset = static_cast<uint64_t>(index);
    return ReturnNone();
  });
}

PyMethodDef kStorageMethods[] = {
    {"setType", StorageSetType, METH_VARARGS,
     "Set the element type for buffer: float, double, int, byte, unsigned, pointer"},
    {"setSize", StorageSetSize, METH_VARARGS, "Set the number of elements in the buffer"},
    {"set", StorageSet, METH_VARARGS, "Assign a tuple to fill the buffer"},
    {"get", StorageGet, METH_VARARGS,
     "Read out the contents of the buffer as a tuple, either the full length or the specified "
     "length"},
    {"string", StorageString, METH_VARARGS, "Read out the contents of the buffer as a string"},
    {"size", StorageSize, METH_VARARGS, "Return the size of the buffer"},
    {"offset", StorageOffset, METH_VARARGS, "Set or read the offset in the buffer"},
    {nullptr, nullptr, 0, nullptr},
};

// --- Sequence protocol -----------------------------------------------------------

Py_ssize_t StorageLength(PyObject* object) {
  return static_cast<Py_ssize_t>(
      std::min<uint64_t>(AsStorage(object)->size, static_cast<uint64_t>(PY_SSIZE_T_MAX)));
}

// Element `index` past the offset, or IndexError.
uint64_t ItemIndex(const QmStorageObject* self, Py_ssize_t index) {
  if (index < 0 || static_cast<uint64_t>(index) >= self->size - self->offset) {
    Fail(PyExc_IndexError, "Out of bounds");
  }
  return self->offset + static_cast<uint64_t>(index);
}

PyObject* StorageItem(PyObject* object, Py_ssize_t index) {
  return PythonBoundary([&]() -> PyObject* {
    const QmStorageObject* self = AsStorage(object);
    uint64_t at = ItemIndex(self, index);
    if (StorageElementSize(self->elementType) == 0) FailRuntime(kUnknownType);
    PyObject* item = ReadItem(self, at);
    CheckPointer(item, QMe_FAILED);
    return item;
  });
}

int StorageAssignItem(PyObject* object, Py_ssize_t index, PyObject* value) {
  return StatusBoundary<int>([&]() -> int {
    QmStorageObject* self = AsStorage(object);
    if (value == nullptr) Fail(PyExc_TypeError, "Storage items cannot be deleted");
    if (!self->writable) FailRuntime(kNotWritable);
    uint64_t at = ItemIndex(self, index);
    if (StorageElementSize(self->elementType) == 0) FailRuntime(kUnknownType);
    StoreItem(self, self->elementType, at, value);
    return 0;
  });
}

PyObject* StorageInPlaceConcat(PyObject* object, PyObject* sequence) {
  return PythonBoundary([&]() -> PyObject* {
    QmStorageObject* self = AsStorage(object);
    Py_ssize_t count = CheckWritableSequence(self, sequence);
    const uint64_t at = self->size;
    Resize(self, self->elementType, at + static_cast<uint64_t>(count), true);
    WriteSequence(self, sequence, count, at);
    Py_INCREF(object);
    return object;
  });
}

PySequenceMethods MakeSequenceMethods() {
  PySequenceMethods methods{};
  methods.sq_length = StorageLength;
  methods.sq_item = StorageItem;
  methods.sq_ass_item = StorageAssignItem;
  methods.sq_inplace_concat = StorageInPlaceConcat;
  return methods;
}

PySequenceMethods kStorageSequence = MakeSequenceMethods();

// --- Life cycle ------------------------------------------------------------------

PyObject* StorageNew(PyTypeObject* type, PyObject*, PyObject*) {
  auto* self = reinterpret_cast<QmStorageObject*>(type->tp_alloc(type, 0));
  if (self != nullptr) {
    self->data = nullptr;
    self->size = 0;
    self->offset = 0;
    self->capacity = 0;
    self->owned = 1;
    self->writable = 1;
    self->elementType = kStorageUnset;
    self->blockElements = 0;
    self->blockBytes = 0;
  }
  return reinterpret_cast<PyObject*>(self);
}

int StorageInit(PyObject* object, PyObject* args, PyObject*) {
  return StatusBoundary<int>([&]() -> int {
    QmStorageObject* self = AsStorage(object);
    const char* type = nullptr;
    int size = 0;
    if (!PyArg_ParseTuple(args, "|si", &type, &size)) ThrowParseError();
    if (type != nullptr) SetType(self, type);
    if (size != 0) SetSize(self, size);
    return 0;
  });
}

void StorageDealloc(PyObject* object) {
  QmStorageObject* self = AsStorage(object);
  if (self->owned && self->data != nullptr) std::free(self->data);
  self->data = nullptr;
  Py_TYPE(object)->tp_free(object);
}

PyTypeObject MakeStorageType() {
  PyTypeObject type{};
  type.ob_refcnt = 1;
  type.tp_name = "qm.Storage";
  type.tp_doc = "Storage objects";
  type.tp_basicsize = sizeof(QmStorageObject);
  type.tp_dealloc = StorageDealloc;
  type.tp_as_sequence = &kStorageSequence;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;  // 0x205EB
  type.tp_methods = kStorageMethods;
  type.tp_init = StorageInit;
  type.tp_new = StorageNew;
  return type;
}

bool IsStorageOrSubclass(PyObject* object) {
  return object != nullptr && PyObject_TypeCheck(object, &QmStorageType);
}

}  // namespace

PyTypeObject QmStorageType = MakeStorageType();

uint32_t StorageElementSize(uint32_t elementType) {
  switch (elementType) {
    case kStorageByte:
      return 1;
    case kStorageFloat:
    case kStorageInt:
    case kStorageUnsigned:
      return 4;
    case kStorageDouble:
    case kStoragePointer:
      return 8;
    default:
      return 0;
  }
}

bool IsStorage(PyObject* object) {
  return object != nullptr && Py_TYPE(object) == &QmStorageType;
}

void* StorageData(PyObject* object) {
  return IsStorageOrSubclass(object) ? AsStorage(object)->data : nullptr;
}

PyObject* NewStorageOver(void* data, uint64_t size, uint32_t elementType, bool writable) {
  const uint32_t width = StorageElementSize(elementType);
  if (width == 0 && size != 0) {
    PyErr_SetString(PyExc_RuntimeError, elementType == kStorageUnset ? "Storage data type not set"
                                                                     : kUnknownType);
    return nullptr;
  }
  if (elementType > kStoragePointer) {
    PyErr_SetString(PyExc_RuntimeError, kUnknownType);
    return nullptr;
  }
  if (data == nullptr && size != 0) {
    PyErr_SetString(PyExc_RuntimeError, "Storage block is null");
    return nullptr;
  }
  if (width != 0 && size > std::numeric_limits<uint64_t>::max() / width) {
    PyErr_SetString(PyExc_OverflowError, "Storage block is too large");
    return nullptr;
  }
  if (PyType_Ready(&QmStorageType) < 0) return nullptr;
  PyObject* object = StorageNew(&QmStorageType, nullptr, nullptr);
  if (object == nullptr) return nullptr;
  QmStorageObject* self = AsStorage(object);
  self->data = data;
  self->size = size;
  self->owned = 0;
  self->writable = writable ? 1 : 0;
  self->elementType = elementType;
  self->blockElements = size;
  self->blockBytes = size * width;
  return object;
}

PyObject* NewStorageOverBlock(void* data, uint32_t elementType, uint64_t bytes) {
  PyObject* object = NewStorageOver(data, 0, elementType, true);
  if (object == nullptr) return nullptr;
  QmStorageObject* self = AsStorage(object);
  const uint32_t width = StorageElementSize(elementType);
  self->blockBytes = data != nullptr ? bytes : 0;
  self->blockElements = width != 0 ? self->blockBytes / width : self->blockBytes;
  return object;
}

void DetachStorage(PyObject* object) {
  if (!IsStorageOrSubclass(object)) return;
  QmStorageObject* self = AsStorage(object);
  if (self->owned) std::free(self->data);
  self->data = nullptr;
  self->size = 0;
  self->offset = 0;
  self->capacity = 0;
  self->blockElements = 0;
  self->blockBytes = 0;
}
