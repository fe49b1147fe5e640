#include "globals.hpp"

namespace qv {

Ref Global::lookup() noexcept {
  PyObject* globals = module_globals();
  PyObject* builtins = builtins_dict();
  if (!globals) {  // a function that outlived its module's failed load
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_.get());
    return Ref();
  }
#if PY_VERSION_HEX < 0x030C0000
  // Taken before the look-ups: code that a key's __eq__ runs meanwhile and
  // that changes a dictionary leaves the cache stale, not wrong.
  const uint64_t globals_tag = version_tag(globals);
  uint64_t builtins_tag = 0;
#endif
  PyObject* value = PyDict_GetItemWithError(globals, name_);
  if (!value) {
    if (PyErr_Occurred()) return Ref();
#if PY_VERSION_HEX < 0x030C0000
    builtins_tag = version_tag(builtins);
#endif
    value = PyDict_GetItemWithError(builtins, name_);
    if (!value) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_.get());
      }
      return Ref();
    }
  }
#if PY_VERSION_HEX < 0x030C0000
  cached_ = value;
  globals_tag_ = globals_tag;
  builtins_tag_ = builtins_tag;
#endif
  return Ref::borrow(value);
}

Ref ModuleAttribute::lookup(PyObject* obj) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  // A module's own names come from its dictionary unless its type defines
  // them, which a plain module's type does not for these names. A module
  // made without initialisation (ModuleType.__new__) has no dictionary: the
  // ordinary look-up gives its AttributeError.
  PyObject* dict;
  if (PyModule_CheckExact(obj) && (dict = PyModule_GetDict(obj))) {
    const uint64_t tag = version_tag(dict);
    PyObject* value = PyDict_GetItemWithError(dict, name_);
    if (value) {
      cached_ = value;
      tag_ = tag;
      return Ref::borrow(value);
    }
    if (PyErr_Occurred()) return Ref();
  }
#endif
  return Ref::steal(PyObject_GetAttr(obj, name_));
}

}  // namespace qv
