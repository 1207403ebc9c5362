// The qm module: created in every interpreter at its start-up.
#pragma once

#include "interp/python.h"

// Creates the qm module in the current interpreter and sets up its
// package (submodules and constants).  A failure throws its result code
// (a Python error, if one was set, stays pending for the caller); what was
// set up before stays.
void CreateQmModule();

// Drops what the qm module keeps for the process between interpreters;
// called before Python is finalised.
void ReleaseQmModule();

// Empties the qm package's submodules of the current interpreter, which is
// about to end: Python would otherwise set every one of their thousands of
// entries to None, one at a time, as it deletes them.
void ClearQmPackage();
