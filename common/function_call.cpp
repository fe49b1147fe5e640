// Calling a function object: its vectorcall entry binds the arguments,
// holds them and the function for the body's whole length, and runs the
// body inside the interpreter's recursion check.
#include "function_object.hpp"

#include "arguments.hpp"
#include "ref.hpp"
#include "traceback.hpp"

namespace qv {

using function_detail::as_function;

namespace {

// The body inside the interpreter's recursion check: native code calling
// native code (a decorated decorator...) must still stop at its limit.
PyObject* run(const FunctionSpec& spec, Call& call) noexcept {
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* result = spec.body(call);
  Py_LeaveRecursiveCall();
  if (!result && call.line) add_traceback(spec.traceback_name, call.line);
  return result;
}

// The caller lends the function and its arguments (and the array of them),
// and Python code that the body runs may let go of them: a
// functools.partial whose state is replaced from inside a callee does. So a
// call holds its own reference to each for the body's whole length, as an
// interpreter frame does, in an array of its own with a spare slot in front.

constexpr Py_ssize_t kSmallStack = 8;

// star_args: every argument is passed on as it came.
PyObject* pass_through(PyObject* self, const FunctionSpec& spec, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) noexcept {
  const Py_ssize_t n = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
  PyObject* small[1 + kSmallStack];
  PyObject** held = small;
  if (n > kSmallStack) {
    held = static_cast<PyObject**>(PyMem_Malloc(size_t(1 + n) * sizeof(PyObject*)));
    if (!held) return PyErr_NoMemory();
  }
  held[0] = nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    held[1 + i] = args[i];
    Py_INCREF(args[i]);
  }
  Py_XINCREF(kwnames);
  Py_INCREF(self);
  Call call{self, held + 1, nargs, kwnames, 0};
  PyObject* result = run(spec, call);
  for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(held[1 + i]);
  Py_XDECREF(kwnames);
  Py_DECREF(self);
  if (held != small) PyMem_Free(held);
  return result;
}

}  // namespace

PyObject* function_detail::vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                      PyObject* kwnames) noexcept {
  const FunctionSpec& spec = *as_function(self)->spec;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (spec.star_args) return pass_through(self, spec, args, nargs, kwnames);
  PyObject* held[1 + kMaxParams];
  held[0] = nullptr;
  PyObject** bound = held + 1;
  const Py_ssize_t n = spec.nparams;
  if (!kwnames && nargs == n) {
    // All given by position: copied and held in one pass.
    for (Py_ssize_t i = 0; i < n; ++i) {
      Py_INCREF(args[i]);
      bound[i] = args[i];
    }
  } else {
    if (bind(spec, args, nargs, kwnames, bound) < 0) {
      add_traceback(spec.traceback_name, spec.def_line);
      return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) Py_INCREF(bound[i]);
  }
  Py_INCREF(self);
  Call call{self, bound, n, nullptr, 0};
  PyObject* result = run(spec, call);
  for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(bound[i]);
  Py_DECREF(self);
  return result;
}

const FunctionSpec& Call::spec() const noexcept { return *as_function(self)->spec; }

Ref Call::closure(Py_ssize_t i) const noexcept {
  return Ref::borrow(PyCell_GET(PyTuple_GET_ITEM(as_function(self)->closure, i)));
}

}  // namespace qv
