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
  return checked_result(callable, result);
}

// The interpreter's own words (3.9 says "error" where 3.10 and later say
// "exception").
#if PY_VERSION_HEX >= 0x030A0000
#define QV_RAISED "exception"
#else
#define QV_RAISED "error"
#endif

PyObject* faulty_result(PyObject* callable, PyObject* result) noexcept {
  if (!result) {
    PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an " QV_RAISED, callable);
    return nullptr;
  }
  Py_DECREF(result);
  // The new error's cause and context are the pending exception, made an
  // instance that carries its traceback.
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* cause = PyErr_GetRaisedException();
  PyErr_Format(PyExc_SystemError, "%R returned a result with an " QV_RAISED " set", callable);
  PyObject* error = PyErr_GetRaisedException();
  Py_INCREF(cause);
  PyException_SetCause(error, cause);
  PyException_SetContext(error, cause);
  PyErr_SetRaisedException(error);
#else
  PyObject *type, *cause, *traceback;
  PyErr_Fetch(&type, &cause, &traceback);
  PyErr_NormalizeException(&type, &cause, &traceback);
  if (traceback) {
    PyException_SetTraceback(cause, traceback);
    Py_DECREF(traceback);
  }
  Py_DECREF(type);
  PyErr_Format(PyExc_SystemError, "%R returned a result with an " QV_RAISED " set", callable);
  PyObject* error;
  PyErr_Fetch(&type, &error, &traceback);
  PyErr_NormalizeException(&type, &error, &traceback);
  Py_INCREF(cause);
  PyException_SetCause(error, cause);
  PyException_SetContext(error, cause);
  PyErr_Restore(type, error, traceback);
#endif
  return nullptr;
}

#undef QV_RAISED

}  // namespace qv
