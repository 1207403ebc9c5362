#include "pyservers/adapters.h"

#include <cstring>

CQmInterfaceDesc* MakeAdapter(const char* name) {
  if (name == nullptr) return nullptr;
  for (unsigned i = 0; i < kQmAdapterCount; ++i) {
    if (std::strcmp(kQmAdapters[i].name, name) == 0) return kQmAdapters[i].make();
  }
  return nullptr;
}
