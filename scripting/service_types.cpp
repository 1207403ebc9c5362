#include "scripting/service_types.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "interp/result.h"
#include "module/this_module.h"
#include "qm_ifc_stddialog.h"
#include "scripting/commands.h"
#include "scripting/functions.h"

namespace {

// --- qm.Service ---------------------------------------------------------------

struct ServiceObject {
  PyObject_HEAD
  IQmScriptQuery* query;
  char* name;
};

// The script query of a global service, for the services whose first
// method offers one; null otherwise.
IQmScriptQuery* ScriptQueryOf(const QmGUID* guid, void* service) {
  const QmInterfaceEntry* entry = nullptr;
  for (const auto& e : kQmInterfaces) {
    if (e.service && *e.guid == *guid) entry = &e;
  }
  if (entry == nullptr || !entry->scriptQuery) return nullptr;
  // Every service that offers script queries has ScriptQuery first.
  auto* any = static_cast<IQmHostService*>(service);
  void* query = nullptr;
  if (QmFailed(any->vt->ScriptQuery(any, &query))) return nullptr;
  return static_cast<IQmScriptQuery*>(query);
}

PyObject* ServiceNew(PyTypeObject* type, PyObject*, PyObject*) {
  auto* self = reinterpret_cast<ServiceObject*>(type->tp_alloc(type, 0));
  if (self != nullptr) {
    self->query = nullptr;
    self->name = nullptr;
  }
  return reinterpret_cast<PyObject*>(self);
}

void ServiceClear(ServiceObject* self) {
  if (self->query != nullptr) QmRelease(self->query);
  self->query = nullptr;
  std::free(self->name);
  self->name = nullptr;
}

int ServiceInit(PyObject* object, PyObject* args, PyObject*) {
  auto* self = reinterpret_cast<ServiceObject*>(object);
  const char* name = nullptr;
  if (!PyArg_ParseTuple(args, "s", &name)) return -1;
  ServiceClear(self);  // a second initialisation replaces the first
  self->name = strdup(name);
  if (self->name == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  CQmThisModule& module = CQmThisModule::Get();
  const QmGUID* guid = module.LookupGuid(name);
  void* service = guid != nullptr ? module.LookupGlobal(guid) : nullptr;
  if (service == nullptr) {
    PyErr_Format(PyExc_NameError, "service '%.200s' not found.", name);
    return -1;
  }
  self->query = ScriptQueryOf(guid, service);
  if (self->query == nullptr) {
    RaiseRuntime("service '%s' has no script interface.", name);
    return -1;
  }
  return 0;
}

void ServiceDealloc(PyObject* object) {
  ServiceClear(reinterpret_cast<ServiceObject*>(object));
  Py_TYPE(object)->tp_free(object);
}

const char* OrNull(const char* text) { return text != nullptr ? text : "(null)"; }

PyObject* ServiceName(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<ServiceObject*>(object);
  return PyString_FromString(self->name != nullptr ? self->name : "");
}

PyObject* ServiceSelect(PyObject* object, PyObject* args) {
  return PythonBoundary([&]() -> PyObject* {
    auto* self = reinterpret_cast<ServiceObject*>(object);
    const char* attribute = "";
    const char* which = nullptr;
    if (!PyArg_ParseTuple(args, "|ss", &attribute, &which)) return nullptr;
    if (self->query == nullptr) return RaiseRuntime("no active service interface.");
    if (QmFailed(self->query->vt->Select(self->query, attribute, which))) {
      return RaiseRuntime("select failed on service '%s' for '%s'.", OrNull(self->name), attribute);
    }
    return ReturnNone();
  });
}

PyObject* ServiceQuery(PyObject* object, PyObject* args, EvalMode mode) {
  return PythonBoundary([&]() -> PyObject* {
    auto* self = reinterpret_cast<ServiceObject*>(object);
    const char* attribute = nullptr;
    if (!PyArg_ParseTuple(args, "|s", &attribute)) return nullptr;
    IQmScriptQuery* query = self->query;
    if (query == nullptr) return RaiseRuntime("no active service interface.");
    uint32_t type = 0;
    const char* typeName = nullptr;
    void* array = nullptr;
    CQmUser_ValueArray values;
    IQmCommandService* cs = CommandService();
    if (QmFailed(query->vt->Type(query, attribute, &type)) ||
        QmFailed(query->vt->TypeName(query, attribute, &typeName)) || cs == nullptr ||
        QmFailed(cs->vt->CreateQueryObject(cs, typeName, &array)) || !values.take(array) ||
        QmFailed(query->vt->Query(query, attribute, values.raw()))) {
      return RaiseRuntime("query failed on service '%s' for attribute '%s'.", OrNull(self->name),
                          OrNull(attribute));
    }
    return ValueArrayToPython(values, nullptr, mode);
  });
}

PyObject* ServiceQueryNatural(PyObject* o, PyObject* a) {
  return ServiceQuery(o, a, EvalMode::kNatural);
}
PyObject* ServiceQuery1(PyObject* o, PyObject* a) { return ServiceQuery(o, a, EvalMode::kSingle); }
PyObject* ServiceQueryN(PyObject* o, PyObject* a) { return ServiceQuery(o, a, EvalMode::kTuple); }

PyMethodDef kServiceMethods[] = {
    {"name", ServiceName, METH_NOARGS, "Return the name of the script service."},
    {"select", ServiceSelect, METH_VARARGS, "Select a an attribute (and element) for query."},
    {"query", ServiceQueryNatural, METH_VARARGS, "Query an attribute from the selection."},
    {"query1", ServiceQuery1, METH_VARARGS,
     "Query an attribute from the selection, returning a single value."},
    {"queryN", ServiceQueryN, METH_VARARGS,
     "Query an attribute from the selection, returning a tuple."},
    {nullptr, nullptr, 0, nullptr},
};

// --- qm.Monitor ----------------------------------------------------------------

struct MonitorHolder {
  CQmUser_Monitor monitor;
  IQmStdDialogService* dialogs = nullptr;
};

struct MonitorObject {
  PyObject_HEAD
  MonitorHolder* holder;
};

PyObject* MonitorNew(PyTypeObject* type, PyObject*, PyObject*) {
  auto* self = reinterpret_cast<MonitorObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->holder = new (std::nothrow) MonitorHolder;
  if (self->holder == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  self->holder->dialogs = static_cast<IQmStdDialogService*>(
      CQmThisModule::Get().LookupGlobal(&IID_IQmStdDialogService));
  return reinterpret_cast<PyObject*>(self);
}

int MonitorInit(PyObject* object, PyObject* args, PyObject*) {
  MonitorHolder* holder = reinterpret_cast<MonitorObject*>(object)->holder;
  if (holder->dialogs != nullptr && !holder->monitor.test()) {
    void* monitor = nullptr;
    if (!QmFailed(holder->dialogs->vt->MonitorAllocate(holder->dialogs, "Progress", &monitor))) {
      holder->monitor.take(monitor);
    }
  }
  int count = 0;
  if (!PyArg_ParseTuple(args, "|i", &count)) return -1;
  if (count == 0) return 0;
  if (count < 0) {
    RaiseRuntime("Monitor steps must be greater than 0");
    return -1;
  }
  if (holder->monitor.test() && QmFailed(holder->monitor.Initialize(static_cast<uint32_t>(count)))) {
    RaiseRuntime("Error initializing monitor");
    return -1;
  }
  return 0;
}

void MonitorDealloc(PyObject* object) {
  MonitorHolder* holder = reinterpret_cast<MonitorObject*>(object)->holder;
  if (holder != nullptr) {
    // Only a display this object opened is closed.
    if (holder->monitor.test() && holder->dialogs != nullptr) {
      holder->monitor.clear();
      holder->dialogs->vt->MonitorRelease(holder->dialogs);
    }
    delete holder;
  }
  Py_TYPE(object)->tp_free(object);
}

PyObject* MonitorInitMethod(PyObject* object, PyObject* args) {
  MonitorHolder* holder = reinterpret_cast<MonitorObject*>(object)->holder;
  int count = 0;
  if (!PyArg_ParseTuple(args, "|i", &count) || count <= 0) {
    PyErr_Clear();
    return RaiseRuntime("Monitor steps must be greater than 0");
  }
  if (holder->monitor.test() && QmFailed(holder->monitor.Initialize(static_cast<uint32_t>(count)))) {
    return RaiseRuntime("Error initializing monitor");
  }
  Py_RETURN_NONE;
}

PyObject* MonitorStep(PyObject* object, PyObject* args) {
  MonitorHolder* holder = reinterpret_cast<MonitorObject*>(object)->holder;
  int amount = 1;
  if (!PyArg_ParseTuple(args, "|i", &amount)) return nullptr;
  if (holder->monitor.test() && QmFailed(holder->monitor.Increment(static_cast<uint32_t>(amount)))) {
    return RaiseRuntime("Error incrementing monitor");
  }
  Py_RETURN_NONE;
}

PyMethodDef kMonitorMethods[] = {
    {"init", MonitorInitMethod, METH_VARARGS,
     "Initialize the monitor with the total number of steps"},
    {"step", MonitorStep, METH_VARARGS,
     "Increment the monitor by one or by step it by an arbitrary amount"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr long kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;  // 0x205EB

PyTypeObject MakeType(const char* name, const char* doc, Py_ssize_t size, destructor dealloc,
                      PyMethodDef* methods, initproc init, newfunc make) {
  PyTypeObject type{};
  type.ob_refcnt = 1;
  type.tp_name = name;
  type.tp_doc = doc;
  type.tp_basicsize = size;
  type.tp_dealloc = dealloc;
  type.tp_flags = kTypeFlags;
  type.tp_methods = methods;
  type.tp_init = init;
  type.tp_new = make;
  return type;
}

}  // namespace

PyTypeObject QmServiceType = MakeType("qm.Service", "Script query objects", sizeof(ServiceObject),
                                      ServiceDealloc, kServiceMethods, ServiceInit, ServiceNew);

PyTypeObject QmMonitorType = MakeType("qm.Monitor", "Monitor objects", sizeof(MonitorObject),
                                      MonitorDealloc, kMonitorMethods, MonitorInit, MonitorNew);
