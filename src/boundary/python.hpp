// The one include of the CPython and NumPy C APIs for the boundary.
//
// The NumPy API table is never imported at module initialisation: the module
// must import where NumPy cannot, and only the calls that need NumPy fail.
// numpy_api.cpp defines the table; every other file sees it as extern.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// Compiled against NumPy 2 headers, runs on NumPy 1.23 and later as well.
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quorlin_ARRAY_API
#ifndef QUORLIN_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace quorlin::boundary {

// Fetches the NumPy C API table on first use. On failure an InternalFailure
// is set and false returned.
bool ensure_numpy();

}  // namespace quorlin::boundary
