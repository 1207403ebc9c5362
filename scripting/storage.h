// qm.Storage: a flat array of one machine element type, either allocated by
// the object or laid over a block that belongs to someone else (the host).
#pragma once

#include "interp/python.h"

#include <cstdint>

extern PyTypeObject QmStorageType;

// Element types, as kept in QmStorageObject::elementType.
enum QmStorageElement : uint32_t {
  kStorageUnset = 0,
  kStorageFloat = 1,     // 32-bit float
  kStorageInt = 2,       // signed 32-bit
  kStorageByte = 3,      // unsigned 8-bit
  kStorageDouble = 4,    // 64-bit float
  kStorageUnsigned = 5,  // unsigned 32-bit
  kStoragePointer = 6,   // a pointer (8 bytes)
};

struct QmStorageObject {
  PyObject_HEAD
  void* data;            // first element; null when no block is attached
  uint64_t size;         // elements
  uint64_t offset;       // element where set, get and item access start
  uint64_t capacity;     // bytes the object allocated itself
  uint8_t owned;         // 1: the object allocates and frees the block
  uint8_t writable;      // 0: set, += and item assignment refuse to write
  uint32_t elementType;  // a QmStorageElement
  // For a block that is not owned: what it was handed over with.  The
  // buffer never reaches past either.
  uint64_t blockElements;
  uint64_t blockBytes;
};

// Bytes per element of a type; 0 for kStorageUnset or an unknown type.
uint32_t StorageElementSize(uint32_t elementType);

// True when `object` is a qm.Storage itself (not a subclass).
bool IsStorage(PyObject* object);

// The first element of a storage object (or subclass); null when it has no
// block or is no storage object.
void* StorageData(PyObject* object);

// A new storage object over `size` elements of `elementType` at `data`,
// which the object neither frees nor reallocates: it can shrink but never
// grows past `size` elements (or their bytes, whatever the type becomes).
// Null `data` needs a zero `size`.  Returns a new reference, or null with a
// Python error.
PyObject* NewStorageOver(void* data, uint64_t size, uint32_t elementType, bool writable);

// A new, empty, writable storage object over a block of `bytes` bytes at
// `data` that belongs to someone else: it can grow (once its element type
// is set, for an unset one) as far as the block reaches, never past it.
PyObject* NewStorageOverBlock(void* data, uint32_t elementType, uint64_t bytes);

// Forgets the block (data null, size 0, offset 0), for when the block it
// wraps is no longer valid: a buffer that does not own its block can then
// no longer grow at all.  A block the object owns is freed.  No effect on
// anything but a storage object.
void DetachStorage(PyObject* object);
