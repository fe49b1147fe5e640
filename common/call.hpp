// Calls into the interpreter through its vectorcall convention.
#pragma once

#include <Python.h>

#include <cstring>

#include "constants.hpp"
#include "ref.hpp"

namespace qv {

// The callee's own vectorcall entry, or null: what PyObject_Vectorcall
// looks up before it calls, read from the public type fields.
inline vectorcallfunc vectorcall_entry(PyObject* callable) noexcept {
  PyTypeObject* type = Py_TYPE(callable);
  if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) return nullptr;
  vectorcallfunc entry;
  memcpy(&entry, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset, sizeof entry);
  return entry;
}

// invoke() for a callee without a vectorcall entry (call.cpp).
PyObject* invoke_slot(PyObject* callable, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames) noexcept;

// A callee broke the calling convention: it failed without an exception,
// or returned `result` with one set. Drops the result and raises
// SystemError, chained to the pending exception, as the interpreter does
// (call.cpp). Always null.
PyObject* faulty_result(PyObject* callable, PyObject* result) noexcept;

// `result` if `callable` kept the calling convention (a result and no
// exception, or null and an exception); otherwise null with SystemError set,
// as the interpreter checks every call it makes. The check is made where
// the call returns: Python code that the caller runs next could otherwise
// clear the exception, or run with it pending.
__attribute__((always_inline)) inline PyObject* checked_result(PyObject* callable,
                                                               PyObject* result) noexcept {
  if ((result != nullptr) == (PyErr_Occurred() == nullptr)) return result;
  return faulty_result(callable, result);
}

// callable(*args[:nargs], **dict(zip(kwnames, rest))), as PyObject_Vectorcall
// makes it, straight through the callee's vectorcall entry when it has one,
// with the same check of the result.
__attribute__((always_inline)) inline PyObject* invoke(PyObject* callable,
                                                       PyObject* const* args, size_t nargsf,
                                                       PyObject* kwnames) noexcept {
  if (vectorcallfunc entry = vectorcall_entry(callable)) {
    return checked_result(callable, entry(callable, args, nargsf, kwnames));
  }
  return invoke_slot(callable, args, nargsf, kwnames);
}

// self.name(*args[1:nargs], **dict(zip(kwnames, rest))) with self = args[0]:
// a plain method is called as its function with `self` in front, without
// making a bound-method object. args[-1] is writable.
inline PyObject* invoke_method(PyObject* name, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) noexcept {
#if PY_VERSION_HEX < 0x030D0000
  // What PyObject_VectorcallMethod does, with the call made by invoke().
  // _PyObject_GetMethod is exported up to 3.12.
  PyObject* callable = nullptr;
  const int unbound = _PyObject_GetMethod(args[0], name, &callable);
  if (!callable) return nullptr;
  PyObject* result =
      unbound ? invoke(callable, args, nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames)
              : invoke(callable, args + 1, nargsf - 1, kwnames);
  Py_DECREF(callable);
  return result;
#else
  return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#endif
}

// callable(*args)
template <typename... Args>
inline Ref call(PyObject* callable, Args... args) noexcept {
  // One spare slot in front lets the callee prepend a `self` in place.
  PyObject* stack[] = {nullptr, args...};
  return Ref::steal(
      invoke(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **dict(zip(kwnames, keyword values))): `args` holds
// the positional values followed by one value per name of `kwnames`.
template <typename... Args>
inline Ref call_kw(PyObject* callable, Py_ssize_t npositional, PyObject* kwnames,
                   Args... args) noexcept {
  PyObject* stack[] = {nullptr, args...};
  return Ref::steal(
      invoke(callable, stack + 1, size_t(npositional) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// self.name(*args)
template <typename... Args>
inline Ref call_method(PyObject* self, PyObject* name, Args... args) noexcept {
  PyObject* stack[] = {nullptr, self, args...};
  return Ref::steal(invoke_method(
      name, stack + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self.name(*positional, **keywords), laid out as in call_kw.
template <typename... Args>
inline Ref call_method_kw(PyObject* self, PyObject* name, Py_ssize_t npositional,
                          PyObject* kwnames, Args... args) noexcept {
  PyObject* stack[] = {nullptr, self, args...};
  return Ref::steal(invoke_method(
      name, stack + 1, size_t(1 + npositional) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name for a str `name`, straight through the type's attribute slot.
inline Ref getattr(PyObject* obj, PyObject* name) noexcept {
  getattrofunc slot = Py_TYPE(obj)->tp_getattro;
  return Ref::steal(slot ? slot(obj, name) : PyObject_GetAttr(obj, name));
}

// obj[key], through the type's mapping slot when it has one.
inline Ref getitem(PyObject* obj, PyObject* key) noexcept {
  PyMappingMethods* mapping = Py_TYPE(obj)->tp_as_mapping;
  return Ref::steal(mapping && mapping->mp_subscript ? mapping->mp_subscript(obj, key)
                                                     : PyObject_GetItem(obj, key));
}

// obj[key] = value, likewise.
inline int setitem(PyObject* obj, PyObject* key, PyObject* value) noexcept {
  PyMappingMethods* mapping = Py_TYPE(obj)->tp_as_mapping;
  return mapping && mapping->mp_ass_subscript ? mapping->mp_ass_subscript(obj, key, value)
                                              : PyObject_SetItem(obj, key, value);
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
  if (!PyUnicode_CheckExact(value)) return compare(value, text, op);
  if (PyUnicode_READY(value) < 0) return -1;
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
