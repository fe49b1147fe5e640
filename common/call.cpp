#include "call.hpp"

namespace qv {
namespace {

// The empty tuple: the arguments of a call without any.
Names kNoArguments({});

}  // namespace

PyObject* invoke_slot(PyObject* callable, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames) noexcept {
  // Positional arguments only (a class, a built-in without a vectorcall
  // entry): the argument tuple and the call slot inside the interpreter's
  // recursion check, as PyObject_Vectorcall makes the call. (The empty
  // tuple exists once the module's exec step has made the constants.)
  ternaryfunc call_slot = Py_TYPE(callable)->tp_call;
  if (kwnames || !call_slot || !kNoArguments.get()) {
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
  }
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Ref tuple;
  if (nargs == 0) {
    tuple = Ref::borrow(kNoArguments);
  } else {
    tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
      Py_INCREF(args[i]);
      PyTuple_SET_ITEM(tuple.get(), i, args[i]);
    }
  }
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* result = call_slot(callable, tuple.get(), nullptr);
  Py_LeaveRecursiveCall();
  return result ? result : failed_call(callable);
}

PyObject* failed_call(PyObject* callable) noexcept {
  if (!PyErr_Occurred()) {
    PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an error", callable);
  }
  return nullptr;
}

}  // namespace qv
