#include "wrappers/package.h"

#include "interp/result.h"

void SetUpPackage(PyObject* package) {
  PyObject* result = nullptr;
  for (const char* name : {"service", "object", "result", "symbol", "ifc"}) {
    PyObject* sub = PyModule_New(name);
    CheckPointer(sub, QMe_FAILED);
    if (PyModule_AddObject(package, name, sub) < 0) {
      Py_DECREF(sub);
      throw QMe_FAILED;
    }
    if (std::string(name) == "result") result = sub;
  }
  for (const auto& entry : kQmResultRegistry) RegisterResultName(result, entry.name, entry.code);
}
