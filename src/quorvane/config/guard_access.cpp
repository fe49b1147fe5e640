// quorvane.config.guard_access: guard_access(func), a decorator that refuses
// to call `func` while nobody is logged in.
#include "call.hpp"
#include "constants.hpp"
#include "globals.hpp"
#include "module.hpp"

namespace {

using qv::Ref;

qv::Global g_wraps("wraps");   // read by guard_access
qv::Global g_client("Client"); // read by every guarded call

qv::Text kToken("token");
qv::Text kRefusal("Chưa đăng nhập. Vui lòng đăng nhập trước.");

// The guarded call: a fresh client's token decides, at every call.
PyObject* wrapper(qv::Call& c) noexcept {
  c.line = 12;
  Ref client_class = g_client.get();
  if (!client_class) return nullptr;
  Ref client = qv::call(client_class.get());
  if (!client) return nullptr;

  c.line = 15;
  Ref token = qv::getattr(client.get(), kToken);
  if (!token) return nullptr;
  if (token.get() == Py_None) {
    c.line = 16;
    Ref refusal = qv::call(PyExc_Exception, kRefusal.get());
    if (refusal) PyErr_SetObject(PyExc_Exception, refusal.get());
    return nullptr;
  }
  client = Ref();
  token = Ref();

  // The arguments go on as they came; a callee that collects keywords gets
  // a dictionary of its own.
  // The cell is writable from Python, so hold `func` for the call's length.
  c.line = 19;
  Ref func = c.closure(0);
  if (!func) {
    // The interpreter's own message for an emptied cell.
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetString(PyExc_NameError,
                    "cannot access free variable 'func' where it is not associated with a "
                    "value in enclosing scope");
#else
    PyErr_SetString(PyExc_NameError,
                    "free variable 'func' referenced before assignment in enclosing scope");
#endif
    return nullptr;
  }
  return qv::invoke(func.get(), c.args, size_t(c.nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                    c.kwnames);
}

const char* const kWrapperVarnames[] = {"args", "kwargs", "client"};

// The guarded call as Python, line for line with the steps above (c.line):
// compiled at load, the code of `wrapper` is the __code__ of every function
// that guard_access returns. A Python function rebuilt from that code and
// the closure (cloudpickle's copy of a guarded function defined in __main__,
// in a pool's worker) then checks the login at every call as this one does.
const char kWrapperSource[] =
    "\n\n\n"
    "def guard_access(func):\n"                                            // 4
    "\n\n\n\n"
    "    def wrapper(*args, **kwargs):\n"                                  // 9
    "\n\n"
    "        client = Client()\n"                                          // 12
    "\n\n"
    "        if client.token is None:\n"                                   // 15
    "            raise Exception(\"Chưa đăng nhập. Vui lòng đăng nhập trước.\")\n"  // 16
    "\n\n"
    "        return func(*args, **kwargs)\n"                               // 19
    "\n"
    "    return wrapper\n";

qv::FunctionSpec kWrapper{
    "wrapper",
    "guard_access.<locals>.wrapper",
    "quorvane.config.guard_access.guard_access.wrapper",
    9,
    kWrapperVarnames,
    0,
    3,
    true,
    nullptr,
    nullptr,
    wrapper,
    kWrapperSource,
};

PyObject* guard_access(qv::Call& c) noexcept {
  PyObject* func = c.args[0];
  // The closure record: one cell holding `func`, alive as long as the wrapper.
  c.line = 4;
  Ref cell = Ref::steal(PyCell_New(func));
  if (!cell) return nullptr;
  Ref closure = Ref::steal(PyTuple_Pack(1, cell.get()));
  if (!closure) return nullptr;

  c.line = 9;
  Ref wraps = g_wraps.get();
  if (!wraps) return nullptr;
  Ref decorate = qv::call(wraps.get(), func);
  if (!decorate) return nullptr;
  Ref inner = Ref::steal(qv::new_function(kWrapper, closure.get()));
  if (!inner) return nullptr;
  return qv::call(decorate.get(), inner.get()).release();
}

const char* const kVarnames[] = {"func", "wrapper"};

qv::FunctionSpec kFunction{
    "guard_access",
    "guard_access",
    "quorvane.config.guard_access.guard_access",
    4,
    kVarnames,
    1,
    2,
    false,
    "guard_access(func)\n"
    "\n"
    "    Decorator để đảm bảo rằng Client đã đăng nhập trước khi thực hiện function.\n"
    "    Nếu chưa đăng nhập, raise Exception.\n"
    "    ",
    nullptr,
    guard_access,
};

const qv::Binding kBindings[] = {
    {1, "functools", "wraps", "wraps"},
    {2, "quorvane.process_client.login", "Client", "Client"},
};

const qv::ModuleSpec kModule{
    "guard_access",
    "quorvane.config.guard_access",
    kBindings,
    2,
    nullptr,
    0,
    &kFunction,
    &kWrapper,
};

}  // namespace

PyMODINIT_FUNC PyInit_guard_access(void) { return qv::module_init(kModule); }
