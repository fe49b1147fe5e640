// Inside the function type: the object's layout, and what its four files
// share. function_call.cpp calls a function, function_code.cpp makes the
// code object and guards __code__, function_annotations.cpp keeps
// __annotations__ and __annotate__, function_type.cpp is the type itself
// (its slots, attributes and methods) and makes its instances. The rest of
// common/ includes function.hpp only.
#pragma once

#include <Python.h>

#include "function.hpp"

namespace qv {
namespace function_detail {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  FunctionSpec* spec;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* dict;
  PyObject* globals;
  PyObject* code;
  PyObject* annotations;
  PyObject* annotate;     // 3.14+: what makes the annotations; null reads as None
  PyObject* closure;
  PyObject* type_params;  // 3.12+: functools.wraps copies it
  PyObject* weakrefs;
};

inline FunctionObject* as_function(PyObject* self) noexcept {
  return reinterpret_cast<FunctionObject*>(self);
}

// ---- function_call.cpp ------------------------------------------------------

// The vectorcall entry of every function object.
PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) noexcept;

// ---- function_code.cpp ------------------------------------------------------

PyObject* get_code(PyObject* self, void*) noexcept;
int set_code(PyObject* self, PyObject* value, void*) noexcept;

// ---- function_annotations.cpp -----------------------------------------------

PyObject* get_annotations(PyObject* self, void*) noexcept;
int set_annotations(PyObject* self, PyObject* value, void*) noexcept;
#if PY_VERSION_HEX >= 0x030E0000
PyObject* get_annotate(PyObject* self, void*) noexcept;
int set_annotate(PyObject* self, PyObject* value, void*) noexcept;
#endif

// Gives `f`, a new function of `spec` that has annotations, what makes them:
// up to 3.13 the annotations themselves; from 3.14 an __annotate__ that
// makes them when they are first read. 0, or -1 with an exception set.
int init_annotations(FunctionObject* f, FunctionSpec& spec) noexcept;

}  // namespace function_detail
}  // namespace qv
