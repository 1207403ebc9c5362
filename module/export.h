#pragma once

// Marks the plug-in's only exported symbol; everything else is hidden.
#define QM_EXPORT __attribute__((visibility("default")))

extern "C" QM_EXPORT void* _IQmModule_Create();
