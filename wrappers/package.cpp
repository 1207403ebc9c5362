#include "wrappers/package.h"

#include <algorithm>

#include "interp/result.h"
#include "qm_wrappers.h"
#include "scripting/storage.h"
#include "wrappers/runtime.h"

namespace {

constexpr int kSubmodules = 5;
const char* const kSubmoduleNames[kSubmodules] = {"service", "object", "result", "symbol", "ifc"};

// What the first complete set-up put into each submodule.  The types and
// constants are the same for every interpreter of the process, so later
// interpreters get copies of these dictionaries instead of a set-up of
// their own.
PyObject* gFilled[kSubmodules] = {};

}  // namespace

void SetUpPackage(PyObject* package) {
  PyObject* modules[kSubmodules] = {};
  for (int i = 0; i < kSubmodules; ++i) {
    PyObject* sub = PyModule_New(kSubmoduleNames[i]);
    CheckPointer(sub, QMe_FAILED);
    if (PyModule_AddObject(package, kSubmoduleNames[i], sub) < 0) {
      Py_DECREF(sub);
      throw QMe_FAILED;
    }
    modules[i] = sub;  // borrowed: the package holds it
  }
  if (gFilled[0] != nullptr) {
    for (int i = 0; i < kSubmodules; ++i) {
      CheckNonNegative(PyDict_Update(PyModule_GetDict(modules[i]), gFilled[i]), QMe_FAILED);
    }
    return;
  }
  PyObject* service = modules[0];
  PyObject* object = modules[1];
  PyObject* result = modules[2];
  PyObject* symbol = modules[3];

  SetUp_QmObj_Unknown(object);
  // The wrapper types are readied on first use; the storage type, with its
  // sequence slots and initialiser, is readied here.
  CheckNonNegative(PyType_Ready(&QmStorageType), QMe_FAILED);
  RegisterObjectType(object, &QmStorageType, "storage");
  SetUpFamilies(object, service, symbol);
  for (const auto& entry : kQmResultRegistry) RegisterResultName(result, entry.name, entry.code);

  PyObject* filled[kSubmodules] = {};
  for (int i = 0; i < kSubmodules; ++i) {
    filled[i] = PyDict_Copy(PyModule_GetDict(modules[i]));
    if (filled[i] == nullptr) {
      for (PyObject* made : filled) Py_XDECREF(made);
      throw QMe_FAILED;
    }
  }
  std::copy(filled, filled + kSubmodules, gFilled);
}

bool PackageFilled() { return gFilled[0] != nullptr; }

void DropFilledPackage() {
  for (PyObject*& dict : gFilled) Py_CLEAR(dict);
}

void ClearPackage(PyObject* package) {
  for (const char* name : kSubmoduleNames) {
    PyObject* sub = PyDict_GetItemString(PyModule_GetDict(package), name);  // borrowed
    if (sub != nullptr && PyModule_Check(sub)) PyDict_Clear(PyModule_GetDict(sub));
  }
}
