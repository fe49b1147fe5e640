// The function type: its slots, its attributes and methods, and new
// instances of it.
#include "function_object.hpp"

#include <structmember.h>

#include "constants.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace qv {

using function_detail::as_function;
using function_detail::FunctionObject;
using function_detail::get_annotations;
using function_detail::set_annotations;
#if PY_VERSION_HEX >= 0x030E0000
using function_detail::get_annotate;
using function_detail::set_annotate;
#endif
using function_detail::get_code;
using function_detail::set_code;
using function_detail::vectorcall;

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

// isinstance(f, types.FunctionType) holds, as for the Python function that
// this object stands for, so that inspect.isfunction() and pydoc (which from
// 3.14 calls any other object with a __get__ a "method descriptor") treat it
// as one. type(f) stays this type: the interpreter's own type tests, copy
// and pickle go by that.
PyObject* get_class(PyObject*, void*) noexcept {
  return Ref::borrow(reinterpret_cast<PyObject*>(&PyFunction_Type)).release();
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

// __annotations__ and __annotate__ are in function_annotations.cpp, __code__
// in function_code.cpp.
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

}  // namespace

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
  if (function_detail::init_annotations(f, spec) < 0) return nullptr;
  return self.release();
}

}  // namespace qv
