#include "wrappers/symbols.h"

#include "interp/result.h"

// The names are entered as plain strings, not interned as module attribute
// names usually are: the ~2,900 constants would otherwise more than double
// the process's table of interned strings, and make it grow (and be filled
// anew) once more at every host start.  A script's `qm.symbol.NAME` finds
// a plain key all the same, by hash and text.
void AddSymbols(PyObject* module, const QmSymbol* symbols, size_t count) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  CheckPointer(dict, QMe_FAILED);
  for (size_t i = 0; i < count; ++i) {
    const QmSymbol& s = symbols[i];
    PyRef value(s.kind == QmSymbol::kString ? PyString_FromString(s.text)
                : s.kind == QmSymbol::kLong ? PyLong_FromLong(s.number)
                                            : PyFloat_FromDouble(s.real));
    CheckPointer(value.get(), QMe_FAILED);
    PyRef name(PyString_FromString(s.name));
    CheckPointer(name.get(), QMe_FAILED);
    CheckNonNegative(PyDict_SetItem(dict, name.get(), value.get()), QMe_FAILED);
  }
}
