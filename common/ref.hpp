// Owned references to interpreter objects.
#pragma once

#include <Python.h>

namespace qv {

// Owns one strong reference (or none). Every early return releases what it
// holds, so error paths need no cleanup code of their own.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  // Inlined everywhere: most references end at the end of a scope.
  __attribute__((always_inline)) ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (a C-API result); null stays null.
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace qv
