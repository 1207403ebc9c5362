// The package set-up of the qm module: its submodules and constants.
#pragma once

#include "interp/python.h"

// Creates the submodules service, object, result, symbol and ifc, and
// registers the result codes.  Throws a result code on failure; what was
// added before stays.  The first complete set-up of the process fills and
// readies the types and is kept: later interpreters' submodules are filled
// from it.
void SetUpPackage(PyObject* package);

// Whether a complete set-up is kept; dropping it (with Python's lock held,
// before Python is finalised) lets the next set-up start over.
bool PackageFilled();
void DropFilledPackage();

// Empties the package's submodules (the interpreter they live in is about
// to end).
void ClearPackage(PyObject* package);
