#include "traceback.hpp"

#include <Python.h>
#include <frameobject.h>

#include "module.hpp"
#include "ref.hpp"

namespace qv {
namespace {

// Code objects are cached per (function, line): error paths then cost one
// frame object each. Beyond the cache's size they are simply made afresh.
struct CodeEntry {
  const char* funcname;
  int line;
  PyCodeObject* code;
};
constexpr int kCacheSize = 64;
CodeEntry g_codes[kCacheSize];
int g_ncodes = 0;

Ref code_for(const char* funcname, int line) noexcept {
  for (int i = 0; i < g_ncodes; ++i) {
    if (g_codes[i].funcname == funcname && g_codes[i].line == line) {
      return Ref::borrow(reinterpret_cast<PyObject*>(g_codes[i].code));
    }
  }
  PyCodeObject* code = PyCode_NewEmpty(source_path(), funcname, line);
  if (!code) return Ref();
  if (g_ncodes < kCacheSize) {
    Py_INCREF(code);
    g_codes[g_ncodes++] = CodeEntry{funcname, line, code};
  }
  return Ref::steal(reinterpret_cast<PyObject*>(code));
}

}  // namespace

void add_traceback(const char* funcname, int line) noexcept {
  // No interpreter code may run while an exception is set: put it aside.
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
#endif
  Ref code = code_for(funcname, line);
  Ref frame;
  if (code) {
    frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                    module_globals(), nullptr)));
  }
  // Failing to build the entry must not replace the exception being raised.
  PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(type, value, tb);
#endif
  if (!frame) return;
#if PY_VERSION_HEX < 0x030B0000
  // From 3.11 the line comes from the code object's line table, whose one
  // entry is its first line.
  reinterpret_cast<PyFrameObject*>(frame.get())->f_lineno = line;
#endif
  PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace qv
