// __annotations__, made when first read, and from 3.14 __annotate__, the
// function that makes them.
#include "function_object.hpp"

#include <cstdio>

#include "call.hpp"
#include "constants.hpp"
#include "ref.hpp"

namespace qv {

using function_detail::as_function;
using function_detail::FunctionObject;

namespace {

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

PyObject* function_detail::get_annotations(PyObject* self, void*) noexcept {
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

int function_detail::set_annotations(PyObject* self, PyObject* value, void*) noexcept {
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
PyObject* function_detail::get_annotate(PyObject* self, void*) noexcept {
  PyObject* annotate = as_function(self)->annotate;
  return Ref::borrow(annotate ? annotate : Py_None).release();
}

int function_detail::set_annotate(PyObject* self, PyObject* value, void*) noexcept {
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

int function_detail::init_annotations(FunctionObject* f, FunctionSpec& spec) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  // As a Python function of 3.14: __annotate__ makes the annotations when
  // they are first read.
  FunctionSpec* annotate = annotate_spec(spec);
  if (!annotate || !(f->annotate = new_function(*annotate, nullptr))) return -1;
#else
  if (!(f->annotations = make_annotations(spec))) return -1;
#endif
  return 0;
}

}  // namespace qv
