// qm.Service and qm.Monitor: script queries of a named host service, and a
// progress display.
#pragma once

#include "interp/python.h"

extern PyTypeObject QmServiceType;
extern PyTypeObject QmMonitorType;
