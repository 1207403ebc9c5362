// Python classes as host servers: the factories of server classes, the
// host objects of Python instances, blessing, and the blessed-server list
// that the module server reads.
#pragma once

#include "interp/python.h"

#include <cstdint>

#include "module/polymorph.h"

// The factory of one server class.  Its descriptors are adapters, one per
// interface the class implements; the first is the primary interface.
class CQmPythonPolymorph : public CQmGenericPolymorph {
 public:
  // A holder of the pending instance, with one reference to it.
  void* NewObject() override;
  // Drops the holder's references, under the interpreter guard.
  void FreeObject(void* impl) override;

  // The instance the next Spawn serves (borrowed; set just before).
  PyObject* pending = nullptr;
};

// The factory of a classic class, made on first need: its interfaces come
// from the marked classes among its bases, depth first.  Throws
// QMe_INVALIDARG for a class that is not classic or implements nothing.
CQmPythonPolymorph* PolymorphForClass(PyObject* cls);

// A new host object (primary interface, one reference for the caller) for
// an old-style instance of a server class.
void* ObjectFromInstance(PyObject* instance);

// The Python instance behind a host object made for one (borrowed), or
// null when the object is anything else.
PyObject* InstanceOfObject(void* object);

// qm.bless and qm.extract.
PyObject* QmBless(PyObject* self, PyObject* args);
PyObject* QmExtract(PyObject* self, PyObject* args);

// --- The blessed servers ------------------------------------------------------------
uint32_t ServerCount();
// The index of a blessed name; throws QMe_NOTFOUND.  The GUID takes no part.
uint32_t ServerIndex(const char* name, const QmGUID* iid);
void ServerNameAndClass(uint32_t index, const char** name, const QmGUID** classGuid);
// The tags given at blessing, or None (borrowed).
PyObject* ServerTags(uint32_t index);
// A new instance of the server's class as a host object (primary
// interface, one reference).  A failure is reported to the log and thrown.
void* SpawnServer(uint32_t index);

// Drops every mark, factory and blessed server, while Python still runs
// (the module's release, before Python is finalised).
void ReleasePythonServers();
