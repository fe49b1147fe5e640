// Code objects and traceback entries for native code.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace qv {

// A code object of the module's source for the function `name` whose first
// line is `line`: `argcount` positional parameters, then the locals named by
// the tuple `varnames`, and `flags` besides CO_OPTIMIZED | CO_NEWLOCALS, so
// that each frame made for it has locals of its own. Null with an exception
// set on failure.
Ref new_code(const char* name, int line, int argcount, int flags, PyObject* varnames) noexcept;

// Adds an entry to the traceback of the exception being raised, naming
// `funcname`, the module's source path and `line`.
void add_traceback(const char* funcname, int line) noexcept;

}  // namespace qv
