// The code object that introspection reads, made once per spec, and the
// __code__ attribute that holds it.
#include "function_object.hpp"

#include <opcode.h>

#include <cstring>

#include "call.hpp"
#include "constants.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "traceback.hpp"

namespace qv {

using function_detail::as_function;
using function_detail::FunctionObject;

namespace {

Text kCoConsts("co_consts");
Text kCoName("co_name");

// The code object of the function named `name` defined anywhere inside the
// code object `code`; null, without an exception, when there is none.
Ref find_code(PyObject* code, PyObject* name) noexcept {
  Ref consts = getattr(code, kCoConsts);
  if (!consts) return Ref();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
    Ref item = Ref::borrow(PyTuple_GET_ITEM(consts.get(), i));
    if (!PyCode_Check(item.get())) continue;
    Ref item_name = getattr(item.get(), kCoName);
    if (!item_name) return Ref();
    if (PyUnicode_Compare(item_name.get(), name) == 0) return item;
    Ref inner = find_code(item.get(), name);
    if (inner || PyErr_Occurred()) return inner;
  }
  return Ref();
}

// The code object compiled from spec.source, under the module's file name.
Ref compile_code(const FunctionSpec& spec) noexcept {
  Ref compiled = Ref::steal(Py_CompileString(spec.source, source_path(), Py_file_input));
  if (!compiled) return Ref();
  Ref code = find_code(compiled.get(), spec.texts[0]);
  if (!code && !PyErr_Occurred()) {
    PyErr_Format(PyExc_SystemError, "the source of %s defines no function %s",
                 spec.traceback_name, spec.name);
  }
  return code;
}

// A line profiler tells apart the functions whose instructions are the same
// by padding the code of each one it watches with no-op instructions at the
// end, and assigns the copy to __code__ (the native functions' code objects
// all have the same instructions). Nothing else is taken: the body runs
// native code whatever __code__ holds, and __code__ must keep describing
// it, since a copy of the function rebuilt elsewhere runs that code.
Text kCoCode("co_code");
Text kCoFilename("co_filename");
Text kReplace("replace");
Names kCodeField({"co_code"});

// Whether `code` is `original` with zero or more no-op instructions added at
// the end, and nothing else changed: 1, 0, or -1 with an exception set.
int padded_copy(PyObject* code, PyObject* original) noexcept {
  Ref instructions = getattr(code, kCoCode);
  Ref base = getattr(original, kCoCode);
  if (!instructions || !base) return -1;
  const Py_ssize_t n = PyBytes_GET_SIZE(instructions.get());
  const Py_ssize_t m = PyBytes_GET_SIZE(base.get());
  const char* bytes = PyBytes_AS_STRING(instructions.get());
  if (n < m || (n - m) % 2 || memcmp(bytes, PyBytes_AS_STRING(base.get()), size_t(m)) != 0) {
    return 0;
  }
  for (Py_ssize_t i = m; i < n; i += 2) {
    if (bytes[i] != char(NOP) || bytes[i + 1] != 0) return 0;
  }
  Ref replace = getattr(original, kReplace);
  if (!replace) return -1;
  Ref expected = call_kw(replace.get(), 0, kCodeField, instructions.get());
  if (!expected) return -1;
  // Code objects compare equal whatever their file names.
  const int same = PyObject_RichCompareBool(code, expected.get(), Py_EQ);
  if (same <= 0) return same;
  Ref file = getattr(code, kCoFilename);
  Ref original_file = getattr(original, kCoFilename);
  if (!file || !original_file) return -1;
  return PyUnicode_Compare(file.get(), original_file.get()) == 0 ? 1 : PyErr_Occurred() ? -1 : 0;
}

}  // namespace

int make_code(FunctionSpec& spec) noexcept {
  if (spec.code) return 0;
  const char* texts[4] = {spec.name, spec.qualname, module_spec().full_name, spec.doc};
  for (int i = 0; i < 4; ++i) {
    if (spec.texts[i]) continue;
    spec.texts[i] = texts[i] ? PyUnicode_InternFromString(texts[i]) : Ref::borrow(Py_None).release();
    if (!spec.texts[i]) return -1;
  }
  Ref varnames = Ref::steal(PyTuple_New(spec.nvarnames));
  if (!varnames) return -1;
  for (int i = 0; i < spec.nvarnames; ++i) {
    PyObject* name = PyUnicode_InternFromString(spec.varnames[i]);
    if (!name) return -1;
    PyTuple_SET_ITEM(varnames.get(), i, name);
  }
  Ref code = spec.source
                 ? compile_code(spec)
                 : new_code(spec.name, spec.def_line, spec.star_args ? 0 : spec.nparams,
                            spec.star_args ? CO_VARARGS | CO_VARKEYWORDS : 0, varnames.get());
  if (!code) return -1;
  spec.code = code.release();
  spec.names = varnames.release();
  return 0;
}

PyObject* function_detail::get_code(PyObject* self, void*) noexcept {
  return Ref::borrow(as_function(self)->code).release();
}

int function_detail::set_code(PyObject* self, PyObject* value, void*) noexcept {
  // The checks, and their order, of a Python function's __code__.
  if (!value || !PyCode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__code__ must be set to a code object");
    return -1;
  }
  Ref function = Ref::borrow(self);
  Ref code = Ref::borrow(value);
  if (PySys_Audit("object.__setattr__", "OsO", self, "__code__", value) < 0) return -1;
  FunctionObject* f = as_function(self);
  const int taken = padded_copy(value, f->spec->code);
  if (taken < 0) return -1;
  if (!taken) {
    PyErr_Format(PyExc_ValueError,
                 "%U() runs native code, which __code__ only describes: it can be replaced "
                 "only by the same code with no-op instructions added at its end",
                 f->name);
    return -1;
  }
  Py_SETREF(f->code, code.release());
  return 0;
}

}  // namespace qv
