#include "pyservers/instances.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "interp/guard.h"
#include "interp/manager.h"
#include "interp/output.h"
#include "interp/result.h"
#include "module/this_module.h"
#include "pyservers/adapters.h"
#include "pyservers/call.h"
#include "qm_ifc_channel.h"
#include "wrappers/runtime.h"

namespace {

struct BlessedServer {
  std::string name;
  const QmGUID* classGuid = nullptr;  // the host's
  CQmPythonPolymorph* factory = nullptr;
  PyRef cls;
  PyRef tags;
};

// Every table holds a reference to the classes it is keyed by, so that a
// key never comes to stand for another object at the same address.
struct ServerState {
  std::map<PyObject*, std::string> marks;              // interface classes
  std::map<PyObject*, CQmPythonPolymorph*> factories;  // server classes
  std::vector<std::unique_ptr<BlessedServer>> servers;
  std::map<std::string, uint32_t> index;
};

ServerState* gState = nullptr;

ServerState& State() {
  if (gState == nullptr) gState = new ServerState;
  return *gState;
}

// Adds an adapter for every marked class among the bases, depth first
// through unmarked classic classes; a marked class ends the descent.
void AddMarkedBases(CQmPythonPolymorph* factory, PyObject* cls) {
  PyObject* bases = reinterpret_cast<PyClassObject*>(cls)->cl_bases;
  if (bases == nullptr || !PyTuple_Check(bases)) return;
  const auto& marks = State().marks;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
    PyObject* base = PyTuple_GET_ITEM(bases, i);
    auto mark = marks.find(base);
    if (mark != marks.end()) {
      CQmInterfaceDesc* adapter = MakeAdapter(mark->second.c_str());
      CheckPointer(adapter, QMe_FAILED);
      factory->AddInterface(adapter);
    } else if (PyClass_Check(base)) {
      AddMarkedBases(factory, base);
    }
  }
}

}  // namespace

// --- Factories and instances ----------------------------------------------------------

void* CQmPythonPolymorph::NewObject() {
  Py_XINCREF(pending);
  return new CQmPyInstance{pending, nullptr};
}

void CQmPythonPolymorph::FreeObject(void* impl) {
  auto* holder = static_cast<CQmPyInstance*>(impl);
  if (holder == nullptr) return;
  try {
    CInterpreterGuard guard;
    Py_CLEAR(holder->kept);
    Py_CLEAR(holder->self);
  } catch (...) {
    // Python is gone, and its objects with it.
  }
  delete holder;
}

CQmPythonPolymorph* PolymorphForClass(PyObject* cls) {
  ServerState& state = State();
  auto found = state.factories.find(cls);
  if (found != state.factories.end()) return found->second;
  CheckTrue(PyClass_Check(cls), QMe_INVALIDARG);
  auto factory = std::make_unique<CQmPythonPolymorph>();
  AddMarkedBases(factory.get(), cls);
  CheckTrue(factory->FirstInterface() != nullptr, QMe_INVALIDARG);
  Py_INCREF(cls);
  state.factories.emplace(cls, factory.get());
  return factory.release();
}

namespace {

// A new host object of the factory for the instance (primary interface).
void* SpawnFor(CQmPythonPolymorph* factory, PyObject* instance) {
  factory->pending = instance;
  void* object = nullptr;
  try {
    object = factory->Spawn(nullptr);
  } catch (...) {
    factory->pending = nullptr;
    throw;
  }
  factory->pending = nullptr;
  return object;
}

}  // namespace

void* ObjectFromInstance(PyObject* instance) {
  auto* cls = reinterpret_cast<PyObject*>(reinterpret_cast<PyInstanceObject*>(instance)->in_class);
  return SpawnFor(PolymorphForClass(cls), instance);
}

PyObject* InstanceOfObject(void* object) {
  if (object == nullptr) return nullptr;
  // Every host object starts with its function table, whose first slot is
  // QueryInterface: the plug-in's own records share one.
  auto* record = static_cast<CQmInterfaceRecord*>(object);
  if (record->vt == nullptr ||
      record->vt[0] != reinterpret_cast<QmSlot>(&CQmRecordOps::QueryInterface)) {
    return nullptr;
  }
  CQmObjectRecord* owner = record->object;
  if (owner == nullptr || dynamic_cast<CQmPythonPolymorph*>(owner->factory) == nullptr) {
    return nullptr;
  }
  auto* holder = static_cast<CQmPyInstance*>(record->impl);
  return holder != nullptr ? holder->self : nullptr;
}

// --- qm.bless and qm.extract -----------------------------------------------------------

PyObject* QmBless(PyObject*, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    // Servers live in the root interpreter, for as long as Python runs.
    CheckTrue(GetInterpreterManager()->InRoot(), QMe_FAILED);
    PyObject* cls = nullptr;
    const char* name = nullptr;
    PyObject* tags = nullptr;
    if (!PyArg_ParseTuple(args, "Os|O", &cls, &name, &tags)) ThrowParseError();
    CheckTrue(PyClass_Check(cls) || PyType_HasFeature(Py_TYPE(cls), Py_TPFLAGS_TYPE_SUBCLASS),
              QMe_FAILED);
    ServerState& state = State();

    if (name[0] == ':') {
      CQmInterfaceDesc* adapter = MakeAdapter(name + 1);
      CheckPointer(adapter, QMe_INVALIDARG);
      CQmFreeDescriptor(adapter);
      auto mark = state.marks.find(cls);
      if (mark != state.marks.end()) {
        mark->second = name + 1;
      } else {
        state.marks.emplace(cls, name + 1);
        Py_INCREF(cls);
      }
      return ReturnNone();
    }

    auto record = std::make_unique<BlessedServer>();
    Py_INCREF(cls);
    record->cls.reset(cls);
    Py_INCREF(Py_None);
    record->tags.reset(Py_None);
    record->factory = PolymorphForClass(cls);
    if (tags != nullptr) {
      CheckTrue(PyType_HasFeature(Py_TYPE(tags), Py_TPFLAGS_DICT_SUBCLASS), QMe_INVALIDARG);
      Py_INCREF(tags);
      record->tags.reset(tags);
    }
    record->name = name;

    const QmGUID* primary = record->factory->FirstInterface()->guid;
    auto* guids = static_cast<IQmGUIDService*>(
        CQmThisModule::Get().LookupGlobal(&IID_IQmGUIDService));
    record->classGuid = guids != nullptr ? guids->vt->Class(guids, primary) : nullptr;
    CheckPointer(record->classGuid, QMe_NOTFOUND);
    CheckTrue(state.index.find(record->name) == state.index.end(), QMe_FAILED);

    state.servers.push_back(std::move(record));
    state.index.emplace(state.servers.back()->name, static_cast<uint32_t>(state.servers.size() - 1));

    auto* host = static_cast<IQmHostService*>(
        CQmThisModule::Get().LookupGlobal(&IID_IQmHostService));
    if (host != nullptr) host->vt->UpdateModule(host, "python");
    return ReturnNone();
  });
}

PyObject* QmExtract(PyObject*, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    PyObject* value = nullptr;
    if (!PyArg_ParseTuple(args, "O", &value)) ThrowParseError();
    if (IsNoObject(value)) return ReturnNone();
    CheckTrue(IsWrapper(value), QMe_INVALIDARG);
    PyObject* instance = InstanceOfObject(WrapperRaw(value));
    // A wrapper of anything but a Python server's object holds no instance.
    if (instance == nullptr) return ReturnNone();
    Py_INCREF(instance);
    return instance;
  });
}

// --- The blessed servers ---------------------------------------------------------------

uint32_t ServerCount() {
  return gState != nullptr ? static_cast<uint32_t>(gState->servers.size()) : 0;
}

uint32_t ServerIndex(const char* name, const QmGUID*) {
  CheckTrue(gState != nullptr && name != nullptr, QMe_NOTFOUND);
  auto found = gState->index.find(name);
  CheckTrue(found != gState->index.end(), QMe_NOTFOUND);
  return found->second;
}

void ServerNameAndClass(uint32_t index, const char** name, const QmGUID** classGuid) {
  const BlessedServer& server = *State().servers.at(index);
  *name = server.name.c_str();
  *classGuid = server.classGuid;
}

PyObject* ServerTags(uint32_t index) { return State().servers.at(index)->tags.get(); }

void* SpawnServer(uint32_t index) {
  BlessedServer& server = *State().servers.at(index);
  try {
    PyRef none(PyTuple_New(0));
    CheckPointer(none.get(), QMe_FAILED);
    PyRef instance(PyObject_Call(server.cls.get(), none.get(), nullptr));
    CheckPointer(instance.get(), QMe_FAILED);
    void* object = SpawnFor(server.factory, instance.get());
    CheckPointer(object, QMe_FAILED);
    return object;
  } catch (QmResult code) {
    ReportPythonError(("Spawning Python server failed: " + server.name).c_str());
    throw;
  }
}

void ReleasePythonServers() {
  // A method name is interned only by a call of a blessed server's
  // instance: without servers there is none to drop.
  if (gState == nullptr) return;
  std::unique_ptr<ServerState> state(gState);
  gState = nullptr;
  CInterpreterManager* manager = StartedInterpreterManager();  // never starts Python again
  if (manager == nullptr) return;
  CInterpreterGuard guard(manager);
  DropMethodNames();
  state->servers.clear();
  state->index.clear();
  for (auto& entry : state->factories) {
    delete entry.second;  // live instances are cut loose
    Py_DECREF(entry.first);
  }
  for (auto& entry : state->marks) Py_DECREF(entry.first);
}
