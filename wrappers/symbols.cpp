#include "wrappers/symbols.h"

#include "interp/result.h"

void AddSymbols(PyObject* module, const QmSymbol* symbols, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const QmSymbol& s = symbols[i];
    PyObject* value = s.kind == QmSymbol::kString ? PyString_FromString(s.text)
                      : s.kind == QmSymbol::kLong ? PyLong_FromLong(s.number)
                                                  : PyFloat_FromDouble(s.real);
    CheckPointer(value, QMe_FAILED);
    if (PyModule_AddObject(module, s.name, value) < 0) {
      Py_DECREF(value);
      throw QMe_FAILED;
    }
  }
}
