// Adapters: the interface descriptors through which the host calls Python
// servers.  Each implementable interface has one, generated from its
// declaration; every slot is a thunk into the instance's Python method
// "prefix_Name" or one of the fixed answers that never reach Python.
#pragma once

#include "module/polymorph.h"

struct QmAdapterEntry {
  const char* name;  // the interface's catalogue name
  CQmInterfaceDesc* (*make)();
  unsigned methods;
};

// Every implementable interface, in catalogue order.
extern const QmAdapterEntry kQmAdapters[];
extern const unsigned kQmAdapterCount;

// A new adapter for the interface named exactly (case-sensitive) `name`,
// owned by the caller; null for a name no Python server can implement.
CQmInterfaceDesc* MakeAdapter(const char* name);
