#include "traceback.hpp"

#include <frameobject.h>

#include "call.hpp"
#include "constants.hpp"
#include "error.hpp"
#include "module.hpp"

namespace qv {
namespace {

Text kReplace("replace");
#if PY_VERSION_HEX < 0x030B0000
// Up to 3.10 an empty code object has no instructions, and running one
// (exec(f.__code__)) reads past its end. It gets those that 3.11 and later
// give it: LOAD_ASSERTION_ERROR; RAISE_VARARGS 1, at the first line (3.9's
// empty line-number table says so already; 3.10's needs the entry).
const char kRaiseAssertion[] = {74, 0, char(130), 1};
#if PY_VERSION_HEX >= 0x030A0000
Names kCodeFields({"co_argcount", "co_nlocals", "co_flags", "co_varnames", "co_code",
                   "co_stacksize", "co_linetable"});
const char kFirstLine[] = {sizeof kRaiseAssertion, 0};
#else
Names kCodeFields({"co_argcount", "co_nlocals", "co_flags", "co_varnames", "co_code",
                   "co_stacksize"});
#endif
#else
Names kCodeFields({"co_argcount", "co_nlocals", "co_flags", "co_varnames"});
#endif

// Code objects are cached per (function, line): error paths then cost one
// frame object each. Beyond the cache's size they are simply made afresh.
struct CodeEntry {
  const char* funcname;
  int line;
  PyObject* code;
};
constexpr int kCacheSize = 64;
CodeEntry g_codes[kCacheSize];
int g_ncodes = 0;

Ref code_for(const char* funcname, int line) noexcept {
  for (int i = 0; i < g_ncodes; ++i) {
    if (g_codes[i].funcname == funcname && g_codes[i].line == line) {
      return Ref::borrow(g_codes[i].code);
    }
  }
  Ref no_locals = Ref::steal(PyTuple_New(0));
  if (!no_locals) return Ref();
  Ref code = new_code(funcname, line, 0, 0, no_locals.get());
  if (code && g_ncodes < kCacheSize) {
    g_codes[g_ncodes++] = CodeEntry{funcname, line, Ref::borrow(code.get()).release()};
  }
  return code;
}

}  // namespace

Ref new_code(const char* name, int line, int argcount, int flags, PyObject* varnames) noexcept {
  // The constants exist once the module's exec step has made them.
  if (!kReplace.get() || !kCodeFields.get()) {
    PyErr_SetString(PyExc_SystemError, "code object requested before the module was loaded");
    return Ref();
  }
  Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_path(), name, line)));
  if (!empty) return Ref();
  Ref argcount_obj = Ref::steal(PyLong_FromLong(argcount));
  Ref nlocals = Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames)));
  Ref flags_obj = Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS | flags));
  if (!argcount_obj || !nlocals || !flags_obj) return Ref();
  Ref replace = getattr(empty.get(), kReplace);
  if (!replace) return Ref();
#if PY_VERSION_HEX < 0x030B0000
  Ref instructions =
      Ref::steal(PyBytes_FromStringAndSize(kRaiseAssertion, sizeof kRaiseAssertion));
  Ref stacksize = Ref::steal(PyLong_FromLong(1));
  if (!instructions || !stacksize) return Ref();
#if PY_VERSION_HEX >= 0x030A0000
  Ref lines = Ref::steal(PyBytes_FromStringAndSize(kFirstLine, sizeof kFirstLine));
  if (!lines) return Ref();
  return call_kw(replace.get(), 0, kCodeFields, argcount_obj.get(), nlocals.get(),
                 flags_obj.get(), varnames, instructions.get(), stacksize.get(), lines.get());
#else
  return call_kw(replace.get(), 0, kCodeFields, argcount_obj.get(), nlocals.get(),
                 flags_obj.get(), varnames, instructions.get(), stacksize.get());
#endif
#else
  return call_kw(replace.get(), 0, kCodeFields, argcount_obj.get(), nlocals.get(),
                 flags_obj.get(), varnames);
#endif
}

void add_traceback(const char* funcname, int line) noexcept {
  PyObject* globals = module_globals();
  if (!globals) return;  // a function that outlived its module's failed load
  Ref frame;
  {
    // Failing to build the entry must not replace the exception being raised.
    ErrorAside raised;
    Ref code = code_for(funcname, line);
    if (code) {
      frame = Ref::steal(reinterpret_cast<PyObject*>(
          PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals,
                      nullptr)));
    }
  }
  if (!frame) return;
#if PY_VERSION_HEX < 0x030B0000
  // From 3.11 the line comes from the code object's line table, whose one
  // entry is its first line.
  reinterpret_cast<PyFrameObject*>(frame.get())->f_lineno = line;
#endif
  PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace qv
