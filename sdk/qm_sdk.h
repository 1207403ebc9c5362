// The host SDK as the plug-in and the host both see it: base types, result
// codes, the declarations of every catalogued interface and the layout of
// the base unknown interface.  The other layouts come from the family
// headers (qm_ifc_FAMILY.h, qm_impl_FAMILY.h), which each unit includes for
// the families it uses.
#pragma once

#include "qm_forward.h"
#include "qm_ifc_base.h"
#include "qm_results.h"
#include "qm_types.h"

// The base unknown interface: asking for it, or for no interface at all,
// yields an object's first interface.
inline constexpr const QmGUID& IID_QmBaseUnknown = IID_IQmUnknown;

// Every object starts with a pointer to its function table, whose first
// three entries are QueryInterface, AddRef and Release.
inline QmResult QmQueryInterface(void* object, const QmGUID& iid, void** out) {
  return static_cast<IQmUnknown*>(object)->vt->QueryInterface(object, &iid, out);
}
inline uint32_t QmAddRef(void* object) {
  return static_cast<IQmUnknown*>(object)->vt->AddRef(object);
}
inline uint32_t QmRelease(void* object) {
  return static_cast<IQmUnknown*>(object)->vt->Release(object);
}

// The name of the plug-in's only export, and its signature.
#define QM_MODULE_ENTRY "_IQmModule_Create"
using QmModuleEntry = void* (*)();
