// Named constants of the host interfaces, added to qm.symbol.
#pragma once

#include "interp/python.h"

struct QmSymbol {
  enum Kind { kString, kLong, kFloat };
  const char* name;
  Kind kind;
  long number;
  double real;
  const char* text;
};

// Adds each constant to the module; throws QMe_FAILED.
void AddSymbols(PyObject* module, const QmSymbol* symbols, size_t count);
