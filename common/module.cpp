#include "module.hpp"

#include <cstring>

#include "call.hpp"
#include "constants.hpp"
#include "error.hpp"
#include "ref.hpp"
#include "traceback.hpp"

namespace qv {
namespace detail {
PyObject* g_globals = nullptr;
PyObject* g_builtins = nullptr;
}  // namespace detail

namespace {

using detail::g_builtins;
using detail::g_globals;

// Process-wide state, written only while the module loads.
const ModuleSpec* g_spec = nullptr;
int64_t g_interpreter = -1;      // the first interpreter that loaded the module
PyObject* g_module = nullptr;    // owned; the one module object of the process
PyObject* g_executed = nullptr;  // borrowed from g_module once exec has run

constexpr size_t kMaxName = 200;
char g_source_path[kMaxName];
char g_init_name[kMaxName + 5];

Text kSpec("__spec__");
Text kInitializing("_initializing");
Text kTest("__test__");

// ---- create step ------------------------------------------------------------

// Copies spec.<attr> into the namespace as `key`; a missing attribute is
// skipped, and with `skip_none` so is a None value.
// (Constants are made in the exec step, so this step uses C strings.)
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key,
                   bool skip_none) noexcept {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (skip_none && value.get() == Py_None) return 0;
  return PyDict_SetItemString(dict, key, value.get());
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
  const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_interpreter == -1) {
    g_interpreter = current;
  } else if (current != g_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (g_module) return Ref::borrow(g_module).release();

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (!dict || copy_spec_attr(spec, dict, "loader", "__loader__", false) < 0 ||
      copy_spec_attr(spec, dict, "origin", "__file__", false) < 0 ||
      copy_spec_attr(spec, dict, "parent", "__package__", false) < 0 ||
      copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true) < 0) {
    return nullptr;
  }
  g_module = Ref::borrow(module.get()).release();
  return module.release();
}

// ---- exec step --------------------------------------------------------------

// `import name`, reusing a module that is already fully imported.
Ref import_module(PyObject* name) noexcept {
  Ref module = Ref::steal(PyImport_GetModule(name));
  // None in sys.modules blocks the import: let the import system say so.
  if (module && module.get() != Py_None) {
    Ref spec = Ref::steal(PyObject_GetAttr(module.get(), kSpec));
    Ref initializing;
    if (spec) initializing = getattr(spec.get(), kInitializing);
    PyErr_Clear();
    const int busy = initializing ? PyObject_IsTrue(initializing.get()) : 0;
    if (busy < 0) PyErr_Clear();
    if (busy != 1) return module;
  } else if (PyErr_Occurred()) {
    return Ref();
  }
  return Ref::steal(PyImport_ImportModuleLevelObject(name, g_globals, nullptr, nullptr, 0));
}

// `from module import attribute`, with the interpreter's fallback to the
// submodule entry "module.attribute" of sys.modules.
Ref import_from(PyObject* module_name, PyObject* attribute) noexcept {
  Ref fromlist = Ref::steal(PyTuple_Pack(1, attribute));
  if (!fromlist) return Ref();
  Ref module = Ref::steal(
      PyImport_ImportModuleLevelObject(module_name, g_globals, nullptr, fromlist.get(), 0));
  if (!module) return Ref();
  Ref value = getattr(module.get(), attribute);
  if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
  PyErr_Clear();
  Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, attribute));
  if (!full) return Ref();
  value = Ref::steal(PyImport_GetModule(full.get()));
  if (!value && !PyErr_Occurred()) {
    PyErr_Format(PyExc_ImportError, "cannot import name %S", attribute);
  }
  return value;
}

int run_binding(const Binding& b) noexcept {
  Ref module_name = Ref::steal(PyUnicode_FromString(b.module));
  if (!module_name) return -1;
  Ref value;
  if (b.attribute) {
    Ref attribute = Ref::steal(PyUnicode_InternFromString(b.attribute));
    if (!attribute) return -1;
    value = import_from(module_name.get(), attribute.get());
  } else {
    value = import_module(module_name.get());
  }
  if (!value) return -1;
  return PyDict_SetItemString(g_globals, b.name, value.get());
}

int check_version() noexcept {
  // The interpreter's version string starts "major.minor.".
  const char* version = Py_GetVersion();
  int major = 0, minor = 0;
  const char* p = version;
  while (*p >= '0' && *p <= '9') major = major * 10 + (*p++ - '0');
  if (*p == '.') ++p;
  while (*p >= '0' && *p <= '9') minor = minor * 10 + (*p++ - '0');
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' %s runtime "
                          "version %d.%d",
                          PY_MAJOR_VERSION, PY_MINOR_VERSION, g_spec->full_name,
                          "does not match", major, minor);
}

// Steps that bind names; on failure returns the source line of the statement.
// `registered` tells whether this load added the module to the module table.
int populate(PyObject* module, int* failed_line, bool* registered) noexcept {
  *failed_line = 1;
  if (Constant::make_all() < 0) return -1;
  // Register under the full name for loaders that do not do it themselves
  // (a load under another name, through importlib.util).
  PyObject* modules = PyImport_GetModuleDict();
  Ref full_name = Ref::steal(PyUnicode_FromString(g_spec->full_name));
  if (!full_name) return -1;
  const int present = PyDict_Contains(modules, full_name.get());
  if (present < 0) return -1;
  if (!present) {
    if (PyDict_SetItem(modules, full_name.get(), module) < 0) return -1;
    *registered = true;
  }

  for (int i = 0; i < g_spec->nbindings; ++i) {
    *failed_line = g_spec->bindings[i].line;
    if (run_binding(g_spec->bindings[i]) < 0) return -1;
  }
  for (int i = 0; i < g_spec->nmore_bindings; ++i) {
    *failed_line = g_spec->more_bindings[i].line;
    if (run_binding(g_spec->more_bindings[i]) < 0) return -1;
  }

  *failed_line = g_spec->function->def_line;
  Ref function = Ref::steal(new_function(*g_spec->function, nullptr));
  if (!function || PyDict_SetItemString(g_globals, g_spec->function->name, function.get()) < 0) {
    return -1;
  }
  if (g_spec->inner && make_code(*g_spec->inner) < 0) return -1;
  *failed_line = 1;
  Ref test = Ref::steal(PyDict_New());
  if (!test || PyDict_SetItem(g_globals, kTest, test.get()) < 0) return -1;
  return 0;
}

// Takes out of the module table the entry that a failed load added, if it
// still is this module; the exception being raised stays.
void unregister(PyObject* module) noexcept {
  ErrorAside raised;
  PyObject* modules = PyImport_GetModuleDict();
  Ref full_name = Ref::steal(PyUnicode_FromString(g_spec->full_name));
  if (!full_name) return;
  Ref entry = Ref::borrow(PyDict_GetItemWithError(modules, full_name.get()));
  if (entry.get() == module) PyDict_DelItem(modules, full_name.get());
}

// Forgets a module whose execution failed, so that the next import starts
// again from the create step with a new module object.
void drop_module() noexcept {
  g_executed = nullptr;
  Py_CLEAR(g_globals);
  Py_CLEAR(g_module);
}

int exec(PyObject* module) noexcept {
  if (g_executed) {
    if (g_executed == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 g_spec->short_name);
    return -1;
  }
  g_executed = module;
  if (!g_module) g_module = Ref::borrow(module).release();
  g_globals = Ref::borrow(PyModule_GetDict(module)).release();
  Ref builtins = Ref::borrow(PyImport_AddModule("builtins"));
  if (builtins && !g_builtins) {
    g_builtins = Ref::borrow(PyModule_GetDict(builtins.get())).release();
  }
  if (!builtins || !g_builtins ||
      PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) {
    drop_module();
    return -1;
  }
  if (check_version() < 0) {
    drop_module();
    return -1;
  }
  int line = 0;
  bool registered = false;
  if (populate(module, &line, &registered) < 0) {
    add_traceback(g_init_name, line);
    if (registered) unregister(module);
    drop_module();
    return -1;
  }
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
#ifdef Py_mod_multiple_interpreters
    // The state above is process-wide: one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    nullptr,  // m_name, from the module's spec
    nullptr,  // no documentation
    0,        // no per-module state
    nullptr,  // no method table
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* module_init(const ModuleSpec& spec) noexcept {
  g_spec = &spec;
  g_def.m_name = spec.short_name;
  const size_t n = strnlen(spec.full_name, kMaxName - 1);
  for (size_t i = 0; i < n; ++i) {
    g_source_path[i] = spec.full_name[i] == '.' ? '/' : spec.full_name[i];
  }
  g_source_path[n] = '\0';
  memcpy(g_init_name, "init ", 5);
  memcpy(g_init_name + 5, spec.full_name, n);
  g_init_name[n + 5] = '\0';
  return PyModuleDef_Init(&g_def);
}

const ModuleSpec& module_spec() noexcept { return *g_spec; }
const char* source_path() noexcept { return g_source_path; }
const char* init_name() noexcept { return g_init_name; }

}  // namespace qv
