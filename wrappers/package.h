// The package set-up of the qm module: its submodules and constants.
#pragma once

#include "interp/python.h"

// Creates the submodules service, object, result, symbol and ifc, and
// registers the result codes.  Throws a result code on failure; what was
// added before stays.
void SetUpPackage(PyObject* package);
