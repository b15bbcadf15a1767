// The one way the boundary includes NumPy's C API: every translation unit shares the
// API table that numpy.cpp imports at module init.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL MORVANE_ARRAY_API
#ifndef MORVANE_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

namespace morvane::py {

// Loads NumPy's C API; false with a Python error set when NumPy is missing.
bool import_numpy();

}  // namespace morvane::py
