// Python's C API.  Included before any other header, as Python requires.
#pragma once

#include <Python.h>
#include <frameobject.h>
