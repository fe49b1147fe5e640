// The function object that every module exports: a native callable that the
// interpreter's introspection, functools, pickle and the descriptor protocol
// treat like a Python function.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace qv {

struct Call;
// A function's body: returns a new reference, or null with an exception set.
using Body = PyObject* (*)(Call&) noexcept;

constexpr int kMaxParams = 8;

struct FunctionSpec {
  const char* name;            // short name: __name__ and argument errors
  const char* qualname;
  const char* traceback_name;  // "<module>.<function>" in traceback entries
  int def_line;
  const char* const* varnames; // parameters first, then the body's locals
  int nparams;                 // required positional-or-keyword parameters
  int nvarnames;
  bool star_args;              // takes *args and **kwargs, passed through unbound
  const char* doc;             // null: no documentation string
  const char* annotation;      // non-null: each parameter's annotation text
  Body body;
  // Non-null: Python source, laid out as the module's file from its first
  // line, that defines a function named `name` doing what `body` does. The
  // code object compiled from it is the function's __code__, so that a
  // Python function rebuilt from __code__ and __closure__ (as cloudpickle
  // rebuilds a function of __main__ in another process) behaves as this one.
  // Null: __code__ only describes the function (name, file, line, locals).
  const char* source = nullptr;
  PyObject* code = nullptr;    // made on first use, shared by every instance
  PyObject* names = nullptr;   // interned varnames, made with the code object
  PyObject* texts[4] = {};     // name, qualname, module, doc (or None), made with it too
  // 3.14+: the __annotate__ of a function with annotations (made with its
  // first instance), and in that spec, the function it annotates.
  FunctionSpec* annotate = nullptr;
  const FunctionSpec* owner = nullptr;
};

// What a body receives for one call. The call holds a reference to the
// function and to every argument until the body returns, as an interpreter
// frame does, so the body may use them across any step.
struct Call {
  PyObject* self;            // the function object
  PyObject* const* args;     // bound parameters; with star_args, the positional arguments
                             // and then the keyword values. args[-1] is the call's own:
                             // it may be passed on with PY_VECTORCALL_ARGUMENTS_OFFSET.
  Py_ssize_t nargs;          // number of parameters; star_args: of positional arguments
  PyObject* kwnames;         // star_args: names of the keyword arguments after them
  int line;                  // source line of the current step; 0 adds no traceback entry

  const FunctionSpec& spec() const noexcept;
  // The cell contents of a function created with a closure (a new
  // reference: Python code may empty or refill the cell), or null.
  Ref closure(Py_ssize_t i) const noexcept;
};

// A new function object for `spec`, defined in the current module. `closure`
// is null or a tuple of cells, kept alive by the function.
PyObject* new_function(FunctionSpec& spec, PyObject* closure) noexcept;

// Makes the code object and the texts that the functions of `spec` share,
// if not made yet (new_function does it on first use): 0, or -1 with an
// exception set.
int make_code(FunctionSpec& spec) noexcept;

}  // namespace qv
