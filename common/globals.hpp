// Call-time look-up of module-level names.
#pragma once

#include <Python.h>

#include <cstdint>

#include "constants.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace qv {

#if PY_VERSION_HEX < 0x030C0000
// A dictionary's version tag changes on every mutation, and tags are unique
// across dictionaries: an equal tag is the same dictionary, unchanged.
inline uint64_t version_tag(PyObject* dict) noexcept {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// A module-level name read by a function: the module's namespace first, then
// the built-ins, NameError when neither has it. Each instance serves one name
// of one function and remembers its last result for as long as neither
// dictionary has changed since.
class Global {
 public:
  explicit Global(const char* name) noexcept : name_(name) {}
  Global(const Global&) = delete;
  Global& operator=(const Global&) = delete;

  // A new reference to the current value, or null with NameError set.
  __attribute__((always_inline)) Ref get() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    // Inline, so that a call pays a few loads and compares for each name. A
    // value found in the namespace stays current whatever the built-ins do.
    PyObject* globals = module_globals();
    if (cached_ && globals && version_tag(globals) == globals_tag_ &&
        (builtins_tag_ == 0 || version_tag(builtins_dict()) == builtins_tag_)) {
      return Ref::borrow(cached_);
    }
#endif
    return lookup();
  }
  PyObject* name() const noexcept { return name_.get(); }

 private:
  Ref lookup() noexcept;

  Text name_;
#if PY_VERSION_HEX < 0x030C0000
  PyObject* cached_ = nullptr;  // borrowed from the dictionary that holds it
  uint64_t globals_tag_ = 0;
  uint64_t builtins_tag_ = 0;   // 0 when the value came from the namespace
#endif
};

// A fixed attribute of an object that is usually a module (`requests.get`,
// `pd.DataFrame`): for a plain module the value is taken from its namespace
// and reused while that dictionary is unchanged; anything else is asked
// through the ordinary attribute look-up every time.
class ModuleAttribute {
 public:
  explicit ModuleAttribute(const char* name) noexcept : name_(name) {}
  ModuleAttribute(const ModuleAttribute&) = delete;
  ModuleAttribute& operator=(const ModuleAttribute&) = delete;

  // A new reference to obj.<name>, or null with an exception set.
  __attribute__((always_inline)) Ref get(PyObject* obj) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    // The namespace is where PyModule_GetDict finds it, at the module
    // type's dictionary offset; a module made without initialisation has
    // none. An equal tag is the namespace of the cached value, unchanged.
    if (cached_ && Py_IS_TYPE(obj, &PyModule_Type)) {
      PyObject* dict =
          *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + PyModule_Type.tp_dictoffset);
      if (dict && version_tag(dict) == tag_) return Ref::borrow(cached_);
    }
#endif
    return lookup(obj);
  }

 private:
  Ref lookup(PyObject* obj) noexcept;

  Text name_;
#if PY_VERSION_HEX < 0x030C0000
  PyObject* cached_ = nullptr;
  uint64_t tag_ = 0;
#endif
};

}  // namespace qv
