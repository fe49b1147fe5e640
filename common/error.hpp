// Keeping the exception being raised while more interpreter code runs.
#pragma once

#include <Python.h>

namespace qv {

// Takes the current exception aside for the scope's length: no interpreter
// code may run while an exception is set. At the end of the scope whatever
// was raised meanwhile is dropped and the exception is set again.
class ErrorAside {
 public:
  ErrorAside() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    exc_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &value_, &tb_);
#endif
  }
  ErrorAside(const ErrorAside&) = delete;
  ErrorAside& operator=(const ErrorAside&) = delete;
  ~ErrorAside() {
    PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc_);
#else
    PyErr_Restore(type_, value_, tb_);
#endif
  }

 private:
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc_;
#else
  PyObject* type_;
  PyObject* value_;
  PyObject* tb_;
#endif
};

}  // namespace qv
