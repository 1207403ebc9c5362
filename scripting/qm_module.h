// The qm module: created in every interpreter at its start-up.
#pragma once

#include "interp/python.h"

// Creates the qm module in the current interpreter and sets up its
// package (submodules and constants).  A failure leaves no module and no
// Python error: the start-up goes on without it.
void CreateQmModule();

// Drops what the qm module keeps for the process between interpreters;
// called before Python is finalised.
void ReleaseQmModule();
