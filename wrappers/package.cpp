#include "wrappers/package.h"

#include "interp/result.h"
#include "qm_wrappers.h"
#include "scripting/storage.h"
#include "wrappers/runtime.h"

void SetUpPackage(PyObject* package) {
  PyObject* modules[5] = {};
  const char* names[5] = {"service", "object", "result", "symbol", "ifc"};
  for (int i = 0; i < 5; ++i) {
    PyObject* sub = PyModule_New(names[i]);
    CheckPointer(sub, QMe_FAILED);
    if (PyModule_AddObject(package, names[i], sub) < 0) {
      Py_DECREF(sub);
      throw QMe_FAILED;
    }
    modules[i] = sub;  // borrowed: the package holds it
  }
  PyObject* service = modules[0];
  PyObject* object = modules[1];
  PyObject* result = modules[2];
  PyObject* symbol = modules[3];

  SetUp_QmObj_Unknown(object);
  RegisterObjectType(object, &QmStorageType, "storage");
  SetUpFamilies(object, service, symbol);
  for (const auto& entry : kQmResultRegistry) RegisterResultName(result, entry.name, entry.code);
}
