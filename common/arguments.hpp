// Binding a call's arguments to a function's parameters, with the
// interpreter's TypeError, word for word, for each way a call misses them.
#pragma once

#include <Python.h>

#include "function.hpp"

namespace qv {

// Fills `out` (room for spec.nparams) with borrowed references to the
// argument of each parameter, from a vectorcall's `args`, `nargs` and
// `kwnames`: all parameters are required and positional-or-keyword. 0, or
// -1 with TypeError set. Runs no Python code.
int bind(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
         PyObject** out) noexcept;

}  // namespace qv
