// Calls into the interpreter through its vectorcall convention.
#pragma once

#include <Python.h>

#include <cstring>

#include "constants.hpp"
#include "ref.hpp"

namespace qv {

// callable(*args)
template <typename... Args>
inline Ref call(PyObject* callable, Args... args) noexcept {
  // One spare slot in front lets the callee prepend a `self` in place.
  PyObject* stack[] = {nullptr, args...};
  return Ref::steal(PyObject_Vectorcall(callable, stack + 1,
                                        sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        nullptr));
}

// callable(*positional, **dict(zip(kwnames, keyword values))): `args` holds
// the positional values followed by one value per name of `kwnames`.
template <typename... Args>
inline Ref call_kw(PyObject* callable, Py_ssize_t npositional, PyObject* kwnames,
                   Args... args) noexcept {
  PyObject* stack[] = {nullptr, args...};
  return Ref::steal(PyObject_Vectorcall(
      callable, stack + 1, size_t(npositional) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// self.name(*args). A plain method is called as its function with `self` in
// front, without making a bound-method object.
template <typename... Args>
inline Ref call_method(PyObject* self, PyObject* name, Args... args) noexcept {
  PyObject* stack[] = {nullptr, self, args...};
  return Ref::steal(PyObject_VectorcallMethod(
      name, stack + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self.name(*positional, **keywords), laid out as in call_kw.
template <typename... Args>
inline Ref call_method_kw(PyObject* self, PyObject* name, Py_ssize_t npositional,
                          PyObject* kwnames, Args... args) noexcept {
  PyObject* stack[] = {nullptr, self, args...};
  return Ref::steal(PyObject_VectorcallMethod(
      name, stack + 1, size_t(1 + npositional) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

inline Ref getattr(PyObject* obj, PyObject* name) noexcept {
  return Ref::steal(PyObject_GetAttr(obj, name));
}

// The truth of `a op b`, as the interpreter's comparison and `bool()` give
// it: 1, 0, or -1 with an exception set.
inline int compare(PyObject* a, PyObject* b, int op) noexcept {
  Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
  return result ? PyObject_IsTrue(result.get()) : -1;
}

// The truth of `value == text` (op Py_EQ) or `value != text` (Py_NE) for an
// exact str `text`. When `value` is an exact str too, str's own comparison
// decides and nothing can override it: it is done here; anything else goes
// through compare().
inline int compare_text(PyObject* value, PyObject* text, int op) noexcept {
  if (!PyUnicode_CheckExact(value) || PyUnicode_READY(value) < 0) {
    return compare(value, text, op);
  }
  const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
  const int kind = PyUnicode_KIND(value);
  const bool same =
      value == text ||
      (n == PyUnicode_GET_LENGTH(text) && kind == int(PyUnicode_KIND(text)) &&
       memcmp(PyUnicode_DATA(value), PyUnicode_DATA(text), size_t(n) * size_t(kind)) == 0);
  return same == (op == Py_EQ);
}

// The truth of `value == number`, likewise for an exact int `value`.
inline int equals_int(PyObject* value, const Int& number) noexcept {
  if (value == number.get()) return 1;
  if (!PyLong_CheckExact(value)) return compare(value, number, Py_EQ);
  int overflow;
  const long v = PyLong_AsLongAndOverflow(value, &overflow);
  return !overflow && v == number.value();
}

}  // namespace qv
