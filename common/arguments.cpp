#include "arguments.hpp"

namespace qv {
namespace {

bool same_name(PyObject* key, PyObject* name) noexcept {
  return key == name || (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0);
}

// Index of the parameter that `key` names, or -1.
Py_ssize_t find_param(const FunctionSpec& spec, PyObject* key) noexcept {
  for (Py_ssize_t i = 0; i < spec.nparams; ++i) {
    if (key == param_name(spec, i)) return i;
  }
  if (!PyUnicode_Check(key)) return -1;
  for (Py_ssize_t i = 0; i < spec.nparams; ++i) {
    if (same_name(key, param_name(spec, i))) return i;
  }
  return -1;
}

// Index in `kwnames` of the keyword naming `name`, or -1.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) noexcept {
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (PyTuple_GET_ITEM(kwnames, k) == name) return k;
  }
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (same_name(PyTuple_GET_ITEM(kwnames, k), name)) return k;
  }
  return -1;
}

int count_error(const FunctionSpec& spec, Py_ssize_t given) noexcept {
  const Py_ssize_t n = spec.nparams;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               spec.name, "exactly", n, n == 1 ? "" : "s", given);
  return -1;
}

}  // namespace

int bind(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
         PyObject** out) noexcept {
  const Py_ssize_t n = spec.nparams;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > n || (nkw == 0 && nargs != n)) return count_error(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (nkw == 0) return 0;

  PyObject* const* kwvalues = args + nargs;
  for (Py_ssize_t i = nargs; i < n; ++i) {
    const Py_ssize_t k = find_keyword(kwnames, param_name(spec, i));
    if (k < 0) return count_error(spec, i);
    out[i] = kwvalues[k];
  }
  if (n - nargs == nkw) return 0;  // every keyword filled a parameter

  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
      return -1;
    }
    const Py_ssize_t i = find_param(spec, key);
    if (i >= nargs) continue;  // filled by this keyword above
    if (i >= 0) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   spec.name, key);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name,
                   key);
    }
    return -1;
  }
  return 0;
}

}  // namespace qv
