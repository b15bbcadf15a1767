// The records module.cpp registers: functions by signature and entry, classes by
// their type-creating function.
#pragma once

#include <Python.h>

#include "py/args.hpp"

namespace morvane::py {

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct FunctionDef {
    const Signature* sig;
    FastFunction impl;
};

// Returns the class's type object (created on first call), or nullptr with an error set.
using TypeFactory = PyTypeObject* (*)();

}  // namespace morvane::py
