// The shape every extension module of the package shares: its description,
// the entry point's helper, and the state written while it loads.
#pragma once

#include <Python.h>

#include "function.hpp"

namespace qv {

// One module-level statement: `import module as name` (attribute null) or
// `from module import attribute as name`, at a source line.
struct Binding {
  int line;
  const char* module;
  const char* attribute;
  const char* name;
};

struct ModuleSpec {
  const char* short_name;   // "priceBars": the definition's name
  const char* full_name;    // "quorvane.process_stock.priceBars"
  const Binding* bindings;  // module-level statements, in source order:
  int nbindings;            // these first,
  const Binding* more_bindings;  // then these (may be null)
  int nmore_bindings;
  FunctionSpec* function;   // the exported function
  // A function that the exported one makes at each call (the guard's
  // wrapper), or null: its code object is made at load, not by a call.
  FunctionSpec* inner = nullptr;
};

// The module definition for multi-phase initialisation; PyInit_<name>
// returns this.
PyObject* module_init(const ModuleSpec& spec) noexcept;

namespace detail {
// Written only while the module loads (module.cpp); owned.
extern PyObject* g_globals;
extern PyObject* g_builtins;  // the builtins module's dictionary
}  // namespace detail

// The loaded module's namespace and the interpreter's built-ins (borrowed;
// both live as long as the module). Inline: the functions read them at every
// call.
inline PyObject* module_globals() noexcept { return detail::g_globals; }
inline PyObject* builtins_dict() noexcept { return detail::g_builtins; }
const ModuleSpec& module_spec() noexcept;

// Derived from the full name: the file name that traceback entries show
// ("quorvane/process_stock/priceBars") and the function name of an entry for
// a failing load ("init quorvane.process_stock.priceBars").
const char* source_path() noexcept;
const char* init_name() noexcept;

}  // namespace qv
