#include "function.hpp"

#include <opcode.h>
#include <structmember.h>

#include <cstdio>
#include <cstring>

#include "call.hpp"
#include "constants.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "traceback.hpp"

namespace qv {
namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  FunctionSpec* spec;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* dict;
  PyObject* globals;
  PyObject* code;
  PyObject* annotations;
  PyObject* annotate;     // 3.14+: what makes the annotations; null reads as None
  PyObject* closure;
  PyObject* type_params;  // 3.12+: functools.wraps copies it
  PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* self) noexcept {
  return reinterpret_cast<FunctionObject*>(self);
}

// ---- argument binding -----------------------------------------------------

PyObject* param_name(const FunctionSpec& spec, Py_ssize_t i) noexcept {
  return PyTuple_GET_ITEM(spec.names, i);
}

bool same_name(PyObject* key, PyObject* name) noexcept {
  return key == name || (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0);
}

// Index of the parameter that `key` names, or -1.
Py_ssize_t find_param(const FunctionSpec& spec, PyObject* key) noexcept {
  for (Py_ssize_t i = 0; i < spec.nparams; ++i) {
    if (key == param_name(spec, i)) return i;
  }
  if (!PyUnicode_Check(key)) return -1;
  for (Py_ssize_t i = 0; i < spec.nparams; ++i) {
    if (same_name(key, param_name(spec, i))) return i;
  }
  return -1;
}

// Index in `kwnames` of the keyword naming `name`, or -1.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) noexcept {
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (PyTuple_GET_ITEM(kwnames, k) == name) return k;
  }
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (same_name(PyTuple_GET_ITEM(kwnames, k), name)) return k;
  }
  return -1;
}

int count_error(const FunctionSpec& spec, Py_ssize_t given) noexcept {
  const Py_ssize_t n = spec.nparams;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               spec.name, "exactly", n, n == 1 ? "" : "s", given);
  return -1;
}

// Fills `out` with borrowed references to the arguments of each parameter:
// all parameters are required and positional-or-keyword.
int bind(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
         PyObject** out) noexcept {
  const Py_ssize_t n = spec.nparams;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > n || (nkw == 0 && nargs != n)) return count_error(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (nkw == 0) return 0;

  PyObject* const* kwvalues = args + nargs;
  for (Py_ssize_t i = nargs; i < n; ++i) {
    const Py_ssize_t k = find_keyword(kwnames, param_name(spec, i));
    if (k < 0) return count_error(spec, i);
    out[i] = kwvalues[k];
  }
  if (n - nargs == nkw) return 0;  // every keyword filled a parameter

  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
      return -1;
    }
    const Py_ssize_t i = find_param(spec, key);
    if (i >= nargs) continue;  // filled by this keyword above
    if (i >= 0) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   spec.name, key);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name,
                   key);
    }
    return -1;
  }
  return 0;
}

// The body inside the interpreter's recursion check: native code calling
// native code (a decorated decorator...) must still stop at its limit.
PyObject* run(const FunctionSpec& spec, Call& call) noexcept {
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* result = spec.body(call);
  Py_LeaveRecursiveCall();
  if (!result && call.line) add_traceback(spec.traceback_name, call.line);
  return result;
}

// The caller lends the function and its arguments (and the array of them),
// and Python code that the body runs may let go of them: a
// functools.partial whose state is replaced from inside a callee does. So a
// call holds its own reference to each for the body's whole length, as an
// interpreter frame does, in an array of its own with a spare slot in front.

constexpr Py_ssize_t kSmallStack = 8;

// star_args: every argument is passed on as it came.
PyObject* pass_through(PyObject* self, const FunctionSpec& spec, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) noexcept {
  const Py_ssize_t n = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
  PyObject* small[1 + kSmallStack];
  PyObject** held = small;
  if (n > kSmallStack) {
    held = static_cast<PyObject**>(PyMem_Malloc(size_t(1 + n) * sizeof(PyObject*)));
    if (!held) return PyErr_NoMemory();
  }
  held[0] = nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    held[1 + i] = args[i];
    Py_INCREF(args[i]);
  }
  Py_XINCREF(kwnames);
  Py_INCREF(self);
  Call call{self, held + 1, nargs, kwnames, 0};
  PyObject* result = run(spec, call);
  for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(held[1 + i]);
  Py_XDECREF(kwnames);
  Py_DECREF(self);
  if (held != small) PyMem_Free(held);
  return result;
}

PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) noexcept {
  const FunctionSpec& spec = *as_function(self)->spec;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (spec.star_args) return pass_through(self, spec, args, nargs, kwnames);
  PyObject* held[1 + kMaxParams];
  held[0] = nullptr;
  PyObject** bound = held + 1;
  const Py_ssize_t n = spec.nparams;
  if (!kwnames && nargs == n) {
    // All given by position: copied and held in one pass.
    for (Py_ssize_t i = 0; i < n; ++i) {
      Py_INCREF(args[i]);
      bound[i] = args[i];
    }
  } else {
    if (bind(spec, args, nargs, kwnames, bound) < 0) {
      add_traceback(spec.traceback_name, spec.def_line);
      return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) Py_INCREF(bound[i]);
  }
  Py_INCREF(self);
  Call call{self, bound, n, nullptr, 0};
  PyObject* result = run(spec, call);
  for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(bound[i]);
  Py_DECREF(self);
  return result;
}

// ---- the code object that introspection reads -----------------------------

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

namespace {

// ---- attributes -------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) noexcept {
  return Ref::borrow(as_function(self)->name).release();
}

int set_text(PyObject** slot, PyObject* value, const char* what) noexcept {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_INCREF(value);
  Py_SETREF(*slot, value);
  return 0;
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
  return set_text(&as_function(self)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void*) noexcept {
  return Ref::borrow(as_function(self)->qualname).release();
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  return set_text(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) noexcept {
  PyObject* doc = as_function(self)->doc;
  return Ref::borrow(doc ? doc : Py_None).release();
}

int set_doc(PyObject* self, PyObject* value, void*) noexcept {
  Py_XINCREF(value);
  Py_XSETREF(as_function(self)->doc, value);
  return 0;
}

#if PY_VERSION_HEX >= 0x030E0000
Int kValueFormat(1);  // annotationlib.Format.VALUE

// What __annotate__(VALUE) returns, kept as the annotations: on their first
// read, as a Python function of 3.14 makes them.
PyObject* call_annotate(FunctionObject* f) noexcept {
  // Held for the call: the callable may replace itself, or the annotations.
  Ref annotate = Ref::borrow(f->annotate);
  Ref annotations = call(annotate.get(), kValueFormat.get());
  if (!annotations) return nullptr;
  if (!PyDict_Check(annotations.get())) {
    // The interpreter's wording, which 3.15 changed.
#if PY_VERSION_HEX >= 0x030F0000
    PyErr_Format(PyExc_TypeError, "__annotate__() must return a dict, not %.100s",
                 Py_TYPE(annotations.get())->tp_name);
#else
    PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                 Py_TYPE(annotations.get())->tp_name);
#endif
    return nullptr;
  }
  PyObject* old = f->annotations;
  f->annotations = Ref::borrow(annotations.get()).release();
  Py_XDECREF(old);
  return annotations.release();
}
#endif

PyObject* get_annotations(PyObject* self, void*) noexcept {
  FunctionObject* f = as_function(self);
#if PY_VERSION_HEX >= 0x030E0000
  if (!f->annotations && f->annotate && PyCallable_Check(f->annotate)) return call_annotate(f);
#endif
  if (!f->annotations) {
    f->annotations = PyDict_New();
    if (!f->annotations) return nullptr;
  }
  return Ref::borrow(f->annotations).release();
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XINCREF(value);
  Py_XSETREF(as_function(self)->annotations, value);
#if PY_VERSION_HEX >= 0x030E0000
  // Annotations given outright replace the callable that made them.
  Py_CLEAR(as_function(self)->annotate);
#endif
  return 0;
}

#if PY_VERSION_HEX >= 0x030E0000
PyObject* get_annotate(PyObject* self, void*) noexcept {
  PyObject* annotate = as_function(self)->annotate;
  return Ref::borrow(annotate ? annotate : Py_None).release();
}

int set_annotate(PyObject* self, PyObject* value, void*) noexcept {
  if (!value) {
    PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
    return -1;
  }
  if (value != Py_None && !PyCallable_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
    return -1;
  }
  FunctionObject* f = as_function(self);
  Py_INCREF(value);
  Py_XSETREF(f->annotate, value);
  // A new callable makes the annotations anew when they are next read.
  if (value != Py_None) Py_CLEAR(f->annotations);
  return 0;
}
#endif

// isinstance(f, types.FunctionType) holds, as for the Python function that
// this object stands for, so that inspect.isfunction() and pydoc (which from
// 3.14 calls any other object with a __get__ a "method descriptor") treat it
// as one. type(f) stays this type: the interpreter's own type tests, copy
// and pickle go by that.
PyObject* get_class(PyObject*, void*) noexcept {
  return Ref::borrow(reinterpret_cast<PyObject*>(&PyFunction_Type)).release();
}

PyObject* get_code(PyObject* self, void*) noexcept {
  return Ref::borrow(as_function(self)->code).release();
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

int set_code(PyObject* self, PyObject* value, void*) noexcept {
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

PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

#if PY_VERSION_HEX >= 0x030A0000
// The built-ins that the function's names fall back to, as a Python function
// of 3.10 and newer shows them.
PyObject* get_builtins(PyObject*, void*) noexcept {
  PyObject* builtins = builtins_dict();
  return Ref::borrow(builtins ? builtins : Py_None).release();
}
#endif

#if PY_VERSION_HEX >= 0x030C0000
PyObject* get_type_params(PyObject* self, void*) noexcept {
  PyObject* params = as_function(self)->type_params;
  return params ? Ref::borrow(params).release() : PyTuple_New(0);
}

int set_type_params(PyObject* self, PyObject* value, void*) noexcept {
  if (!value || !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
    return -1;
  }
  Py_INCREF(value);
  Py_XSETREF(as_function(self)->type_params, value);
  return 0;
}
#endif

PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
#endif
    {"__class__", get_class, nullptr, nullptr, nullptr},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030A0000
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
#endif
#if PY_VERSION_HEX >= 0x030C0000
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
#endif
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__closure__", T_OBJECT, offsetof(FunctionObject, closure), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled by reference: pickle imports __module__ and finds __qualname__ there.
PyObject* reduce(PyObject* self, PyObject*) noexcept {
  return Ref::borrow(as_function(self)->qualname).release();
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- type slots -------------------------------------------------------------

PyObject* repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Placed on a class, the function binds to instances as a method does.
PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  if (!obj || obj == Py_None) return Ref::borrow(self).release();
  return PyMethod_New(self, obj);
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  FunctionObject* f = as_function(self);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->dict);
  Py_VISIT(f->globals);
  Py_VISIT(f->code);
  Py_VISIT(f->annotations);
  Py_VISIT(f->annotate);
  Py_VISIT(f->closure);
  Py_VISIT(f->type_params);
  return 0;
}

Text kEmpty("");

void clear_members(FunctionObject* f) noexcept {
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->annotate);
  Py_CLEAR(f->type_params);
}

// The collector's clear step. A finaliser may have taken a weak reference to
// the function meanwhile and use it afterwards, as it may with a Python
// function: so the names stay texts (empty ones), and the code and the
// closure stay in place. A closure is a tuple of cells, which the collector
// clears on their own, so cycles through it are still broken.
int clear(PyObject* self) noexcept {
  FunctionObject* f = as_function(self);
  clear_members(f);
  Py_INCREF(kEmpty.get());
  Py_SETREF(f->name, kEmpty.get());
  Py_INCREF(kEmpty.get());
  Py_SETREF(f->qualname, kEmpty.get());
  return 0;
}

void dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  FunctionObject* f = as_function(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  clear_members(f);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->code);
  Py_CLEAR(f->closure);
  PyObject_GC_Del(self);
}

PyTypeObject function_type = [] {
  PyTypeObject t{};
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
  t.tp_name = "quorvane.function";
  t.tp_basicsize = sizeof(FunctionObject);
  t.tp_dealloc = dealloc;
  t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  t.tp_repr = repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
               Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_traverse = traverse;
  t.tp_clear = clear;
  t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  t.tp_methods = methods;
  t.tp_members = members;
  t.tp_getset = getset;
  t.tp_descr_get = descr_get;
  t.tp_dictoffset = offsetof(FunctionObject, dict);
  return t;
}();

PyObject* make_annotations(const FunctionSpec& spec) noexcept {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict || !spec.annotation) return dict.release();
  Ref text = Ref::steal(PyUnicode_FromString(spec.annotation));
  if (!text) return nullptr;
  for (int i = 0; i < spec.nparams; ++i) {
    if (PyDict_SetItem(dict.get(), param_name(spec, i), text.get()) < 0) return nullptr;
  }
  return dict.release();
}

#if PY_VERSION_HEX >= 0x030E0000
// ---- __annotate__ (3.14+) ---------------------------------------------------

// A function with annotations has an __annotate__ as the compiler gives a
// Python function: a function named "__annotate__", qualified under the one
// it annotates, that takes the format and makes the annotations afresh at
// every call. Its spec is made once per annotated function.
constexpr int kMaxAnnotated = 4;
constexpr size_t kMaxName = 200;
struct AnnotateSpec {
  FunctionSpec spec;
  char qualname[kMaxName];
  char traceback_name[kMaxName];
};
AnnotateSpec g_annotate_specs[kMaxAnnotated];
int g_nannotate = 0;

const char* const kAnnotateVarnames[] = {"format"};
Int kStringFormat(4);  // annotationlib.Format.STRING, the last one

PyObject* annotate(Call& c) noexcept {
  Ref format = Ref::borrow(c.args[0]);
  // VALUE and VALUE_WITH_FAKE_GLOBALS, as the compiler's __annotate__; also
  // FORWARDREF and STRING, since each annotation is the text of its source
  // already. Any other format is left to annotationlib.
  const int beyond = compare(format.get(), kStringFormat, Py_GT);
  if (beyond < 0) return nullptr;
  if (beyond) {
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
  }
  return make_annotations(*c.spec().owner);
}

FunctionSpec* annotate_spec(FunctionSpec& owner) noexcept {
  if (owner.annotate) return owner.annotate;
  if (g_nannotate == kMaxAnnotated) {
    PyErr_SetString(PyExc_SystemError, "too many annotated functions in one module");
    return nullptr;
  }
  AnnotateSpec& a = g_annotate_specs[g_nannotate++];
  snprintf(a.qualname, sizeof a.qualname, "%s.__annotate__", owner.qualname);
  snprintf(a.traceback_name, sizeof a.traceback_name, "%s.__annotate__", owner.traceback_name);
  a.spec = FunctionSpec{"__annotate__", a.qualname, a.traceback_name, owner.def_line,
                        kAnnotateVarnames, 1, 1, false, nullptr, nullptr, annotate};
  a.spec.owner = &owner;
  owner.annotate = &a.spec;
  return owner.annotate;
}
#endif

}  // namespace

const FunctionSpec& Call::spec() const noexcept { return *as_function(self)->spec; }

Ref Call::closure(Py_ssize_t i) const noexcept {
  return Ref::borrow(PyCell_GET(PyTuple_GET_ITEM(as_function(self)->closure, i)));
}

PyObject* new_function(FunctionSpec& spec, PyObject* closure) noexcept {
  if (!(function_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&function_type) < 0) {
    return nullptr;
  }
  if (make_code(spec) < 0) return nullptr;
  Ref self = Ref::steal(reinterpret_cast<PyObject*>(
      PyObject_GC_New(FunctionObject, &function_type)));
  if (!self) return nullptr;
  FunctionObject* f = as_function(self.get());
  f->vectorcall = vectorcall;
  f->spec = &spec;
  f->name = Ref::borrow(spec.texts[0]).release();
  f->qualname = Ref::borrow(spec.texts[1]).release();
  f->module = Ref::borrow(spec.texts[2]).release();
  f->doc = Ref::borrow(spec.texts[3]).release();
  f->dict = nullptr;
  f->globals = Ref::borrow(module_globals()).release();
  f->code = Ref::borrow(spec.code).release();
  f->annotations = nullptr;  // made when first read, unless the spec has some
  f->annotate = nullptr;
  f->closure = Ref::borrow(closure ? closure : Py_None).release();
  f->type_params = nullptr;
  f->weakrefs = nullptr;
  PyObject_GC_Track(self.get());
  if (!spec.annotation) return self.release();
#if PY_VERSION_HEX >= 0x030E0000
  // As a Python function of 3.14: __annotate__ makes the annotations when
  // they are first read.
  FunctionSpec* annotate = annotate_spec(spec);
  if (!annotate || !(f->annotate = new_function(*annotate, nullptr))) return nullptr;
#else
  if (!(f->annotations = make_annotations(spec))) return nullptr;
#endif
  return self.release();
}

}  // namespace qv
