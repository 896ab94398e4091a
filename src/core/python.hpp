// The one include of <Python.h> for every zelk source file, with the version gates.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000
#error "zelk needs CPython 3.13 or newer"
#endif
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
#error "free-threaded builds of CPython are supported from 3.14 on"
#endif
