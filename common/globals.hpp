// Call-time look-up of module-level names.
#pragma once

#include <Python.h>

#include <cstdint>

#include "constants.hpp"
#include "ref.hpp"

namespace qv {

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
  Ref get() noexcept;
  PyObject* name() const noexcept { return name_.get(); }

 private:
  Text name_;
#if PY_VERSION_HEX < 0x030C0000
  // The dictionaries' version tags change on every mutation and are unique
  // across dictionaries, so equal tags prove the borrowed value is current.
  PyObject* cached_ = nullptr;
  uint64_t globals_tag_ = 0;
  uint64_t builtins_tag_ = 0;
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
  Ref get(PyObject* obj) noexcept;

 private:
  Text name_;
#if PY_VERSION_HEX < 0x030C0000
  PyObject* cached_ = nullptr;
  uint64_t tag_ = 0;
#endif
};

}  // namespace qv
