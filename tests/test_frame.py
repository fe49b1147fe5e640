"""What the six native modules share: argument binding, introspection,
function-like behaviour, loading once, and look-up of module names per call."""

import builtins
import contextlib
import dis
import functools
import importlib
import inspect
import os
import pickle
import pkgutil
import pydoc
import re
import subprocess
import sys
import traceback
import types
import unittest.mock
import weakref
from collections import namedtuple
from types import SimpleNamespace

import pytest

import quorvane.process_stock.priceBars as pb
from conftest import PYTHON, in_child, last_entry

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BOUND = {"Client": "quorvane.process_client.login.Client", "base_url": "quorvane.config.config.base_url",
         "requests": "requests", "pd": "pandas", "datetime": "datetime.datetime", "np": "numpy",
         "wraps": "functools.wraps"}


class Mod(namedtuple("Mod", "name fname params line names path")):
    module = property(lambda self: importlib.import_module(self.name))
    func = property(lambda self: getattr(self.module, self.fname))

    def entry(self, line=None):
        return f"{self.name}.{self.fname}", self.name.replace(".", "/"), line or self.line


STOCK, FOUR, FIVE = "quorvane.process_stock.", "ticker fromDate toDate period", "ticker fromDate toDate period unit"
MODULES = [
    Mod(STOCK + "priceBars", "get_priceBars", FOUR, 9, "Client base_url requests pd datetime", "priceBars"),
    Mod(STOCK + "orderFlow", "get_order_flow", FOUR, 9, "Client base_url requests pd", "orderFlow"),
    Mod(STOCK + "foreign", "get_foreign", FIVE, 7, "Client base_url requests pd", "foreign"),
    Mod(STOCK + "dealerDesk", "get_dealerDesk", FIVE, 9, "Client base_url requests pd", "dealerDesk"),
    Mod(STOCK + "dividend", "get_dividend", "ticker fromDate toDate", 7, "Client base_url requests pd np", "diviend"),
    Mod("quorvane.config.guard_access", "guard_access", "func", 4, "wraps Client", None),
]
DOCS = {
    "get_priceBars": "get_priceBars(unicode ticker: str, unicode fromDate: str, unicode toDate: str, "
                     "unicode period: str)",
    "guard_access": "guard_access(func)\n\n    Decorator để đảm bảo rằng Client đã đăng nhập trước "
                    "khi thực hiện function.\n    Nếu chưa đăng nhập, raise Exception.\n    ",
}
each_module = pytest.mark.parametrize("mod", MODULES, ids=lambda m: m.fname)
# annotationlib's formats (3.14+) that a caller may ask for.
FORMATS = ["VALUE", "FORWARDREF", "STRING"]


def python_model(mod):
    """The Python function that an exported function stands for: the same
    name, module, parameters, annotations and documentation."""
    params = mod.params.split()
    annotated = mod.fname == "get_priceBars"
    namespace = {}
    exec(f"def {mod.fname}({', '.join(p + ': ' + repr('str') if annotated else p for p in params)}):"
         " pass", namespace)
    model = namespace[mod.fname]
    model.__module__, model.__doc__ = mod.name, mod.func.__doc__
    return model


@each_module
@pytest.mark.parametrize("kind", ["few", "many", "missing keyword", "unexpected", "multiple"])
def test_binding_errors(mod, kind):
    params = mod.params.split()
    n, args, miss = len(params), [object()] * len(params), min(1, len(params) - 1)
    count = f"{mod.fname}() takes exactly {n} positional argument{'s' * (n > 1)} (%d given)"
    (call_args, kwargs), message = {
        "few": ((args[:-1], {}), count % (n - 1)),
        "many": ((args + [1], {"bogus": 1}), count % (n + 1)),
        "missing keyword": (([], {p: 1 for p in params if p != params[miss]}), count % miss),
        "unexpected": ((args, {"bogus": 1}), f"{mod.fname}() got an unexpected keyword argument 'bogus'"),
        "multiple": ((args, {params[0]: 1}),
                     f"{mod.fname}() got multiple values for keyword argument '{params[0]}'"),
    }[kind]
    with pytest.raises(TypeError) as excinfo:
        mod.func(*call_args, **kwargs)
    assert str(excinfo.value) == message and last_entry(excinfo) == mod.entry()


@each_module
def test_introspection(mod):
    f, params, code = mod.func, tuple(mod.params.split()), mod.func.__code__
    annotated = mod.fname == "get_priceBars"
    shown = ", ".join(f"{p}: 'str'" if annotated else p for p in params)
    assert str(inspect.signature(f)) == f"({shown})"
    assert list(f.__annotations__.items()) == [(p, "str") for p in params if annotated]
    assert f.__doc__ == DOCS.get(mod.fname, f"{mod.fname}({', '.join(params)})")
    assert (f.__name__, f.__qualname__, f.__module__) == (mod.fname, mod.fname, mod.name)
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (mod.fname,) + mod.entry()[1:]
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (len(params), 0, 0)
    assert code.co_varnames[:len(params)] == params
    assert f.__defaults__ is None and f.__kwdefaults__ is None and f.__globals__ is vars(mod.module)
    # help() shows a function with its signature line, as it shows the Python
    # function on this version (3.14 writes string annotations unquoted).
    model = python_model(mod)
    assert inspect.isfunction(f) and isinstance(f, types.FunctionType) and type(f) is not types.FunctionType
    with pytest.raises(TypeError, match="missing a required argument"):
        unittest.mock.create_autospec(f)()  # the mock checks the signature
    assert pydoc.render_doc(f, renderer=pydoc.plaintext) == pydoc.render_doc(model, renderer=pydoc.plaintext)
    assert pydoc.render_doc(f, renderer=pydoc.html) == pydoc.render_doc(model, renderer=pydoc.html)
    assert pickle.loads(pickle.dumps(f)) is f and weakref.ref(f)() is f
    # Python functions show the built-ins their names fall back to from 3.10 on.
    python_function = lambda: None
    assert hasattr(f, "__builtins__") == hasattr(python_function, "__builtins__")
    assert getattr(f, "__builtins__", None) is getattr(python_function, "__builtins__", None)
    assert repr(f).startswith(f"<function {mod.fname} at 0x")
    copy = functools.wraps(f)(lambda: None)
    assert (copy.__name__, copy.__doc__, copy.__module__, copy.__wrapped__) == (mod.fname, f.__doc__, mod.name, f)
    assert copy.__annotations__ == f.__annotations__  # through __annotate__ from 3.14
    if sys.version_info >= (3, 14):
        import annotationlib
        assert (f.__annotate__ is None) == (model.__annotate__ is None) == (not annotated)
        for format in FORMATS:
            format = annotationlib.Format[format]
            assert annotationlib.get_annotations(f, format=format) == \
                annotationlib.get_annotations(model, format=format)
            assert annotationlib.get_annotations(copy, format=format) == \
                annotationlib.get_annotations(model, format=format)
        assert str(inspect.signature(f, annotation_format=annotationlib.Format.STRING)) == \
            str(inspect.signature(model, annotation_format=annotationlib.Format.STRING))


ANNOTATE_STEPS = """
import json
{setup}
seen = []
def note(step):
    try:
        result = step()
    except Exception as error:
        result = [type(error).__name__, str(error)]
    seen.append(result if result is None or isinstance(result, (list, dict, bool)) else repr(result))
def make(format):
    return {{"a": "int"}}
note(lambda: f.__annotate__ is None)
note(lambda: f.__annotations__)
note(lambda: setattr(f, "__annotate__", make))
note(lambda: [f.__annotate__ is make, f.__annotations__])
note(lambda: setattr(f, "__annotate__", None))
note(lambda: [f.__annotate__, f.__annotations__])
note(lambda: setattr(f, "__annotate__", 5))
note(lambda: delattr(f, "__annotate__"))
note(lambda: setattr(f, "__annotate__", lambda format: ["not a dict"]))
note(lambda: f.__annotations__)
note(lambda: setattr(f, "__annotate__", make))
note(lambda: setattr(f, "__annotations__", {{"b": "str"}}))
note(lambda: [f.__annotate__, f.__annotations__])
note(lambda: delattr(f, "__annotations__"))
note(lambda: [f.__annotate__, f.__annotations__])
print(json.dumps(seen))
"""


@pytest.mark.skipif(sys.version_info < (3, 14), reason="__annotate__ is new in 3.14")
@each_module
def test_annotate_is_set_and_read_as_on_a_python_function(mod):
    # The same steps on the exported function and on its Python model, each
    # in a process of its own (they change the function).
    got = in_child(ANNOTATE_STEPS.format(setup=f"from {mod.name} import {mod.fname} as f"))
    params = ", ".join(p + (": 'str'" if mod.fname == "get_priceBars" else "") for p in mod.params.split())
    expected = in_child(ANNOTATE_STEPS.format(setup=f"def f({params}): pass"))
    assert got == expected


def test_price_bars_as_a_function(monkeypatch):
    f = pb.get_priceBars
    assert f.__code__.co_varnames[4:] == ("client", "headers", "url", "params", "response", "data")
    with pytest.raises(TypeError, match=r"^get_priceBars\(\) takes exactly 4 positional arguments \(3 given\)$"):
        f("a", "b", "c")
    with pytest.raises(TypeError, match="^Argument 'period' has incorrect type"):
        f("a", "b", "c", period=1)  # bound by keyword: the str test follows
    monkeypatch.setattr(f, "tag", 1, raising=False)
    assert f.__dict__ == {"tag": 1}

    def model(ticker, fromDate, toDate, period):
        """model doc"""
    for attr in functools.WRAPPER_ASSIGNMENTS:
        monkeypatch.setattr(f, attr, getattr(f, attr))
    monkeypatch.setattr(f, "__wrapped__", None, raising=False)
    assert functools.wraps(model)(f) is f
    assert (f.__name__, f.__qualname__, f.__doc__, f.__module__, f.__wrapped__) == (
        "model", "test_price_bars_as_a_function.<locals>.model", "model doc", __name__, model)
    with pytest.raises(TypeError, match=r"^get_priceBars\(\) takes") as excinfo:
        f()  # messages and traceback entries keep the names the function was made with
    assert last_entry(excinfo) == MODULES[0].entry()
    holder = type("Holder", (), {"fetch": f})()  # binds as a method, like a Python function
    assert type(holder).fetch is f and holder.fetch.__func__ is f
    with pytest.raises(TypeError, match=r"^Argument 'ticker' has incorrect type \(expected str, got Holder\)$"):
        holder.fetch("a", "b", "c")


@pytest.mark.parametrize("mod, name", [(MODULES[0], "ValueError"), (MODULES[5], "Exception")],
                         ids=["status error", "refusal"])
def test_builtin_classes_are_taken_at_load(mod, name, monkeypatch):
    real = getattr(builtins, name)
    other = type(name, (real,), {})
    monkeypatch.setattr(mod.module, name, other, raising=False)
    monkeypatch.setattr(builtins, name, other)
    monkeypatch.setattr(mod.module, "Client", type("Client", (), {"token": None, "_get_headers": dict}))
    monkeypatch.setattr(mod.module, "requests", fake_requests([]), raising=False)
    call = (lambda: mod.func(len)()) if name == "Exception" else (lambda: mod.func("A", "b", "c", "D"))
    with pytest.raises(real) as excinfo:
        call()
    assert type(excinfo.value) is real


def test_code_objects_only_describe_the_functions(capfd):
    # exec() binds no arguments: a function with parameters fails there as a
    # Python function does. The guard's wrapper has the guarded call's own
    # code, with `func` free: exec() refuses it as a Python closure's.
    def closure(func):
        def wrapper(*args, **kwargs):
            return func(*args, **kwargs)
        return wrapper
    from quorvane.config.guard_access import guard_access
    cases = [(guard_access(len).__code__, closure(len).__code__)]
    for mod in MODULES:
        namespace = {}
        exec(f"def {mod.fname}({', '.join(mod.params.split())}): pass", namespace)
        cases.append((mod.func.__code__, namespace[mod.fname].__code__))
    for code, twin in cases:
        with pytest.raises(TypeError) as expected:
            exec(twin, {})
        with pytest.raises(TypeError) as excinfo:
            exec(code, {})
        assert excinfo.value.args == expected.value.args
    assert capfd.readouterr().err == ""


NOP = bytes([dis.opmap["NOP"], 0])


@pytest.mark.parametrize("change, error", [
    (lambda code: code, None),
    (lambda code: code.replace(co_code=code.co_code + NOP * 3), None),  # as a line profiler pads
    (lambda code: code.replace(co_code=code.co_code + bytes([dis.opmap["POP_TOP"], 0])), ValueError),
    (lambda code: (lambda *args, **kwargs: None).__code__, ValueError),
    (lambda code: code.replace(co_code=code.co_code + NOP, co_filename="elsewhere"), ValueError),
    (lambda code: code.replace(co_code=code.co_code + NOP, co_names=("print",) + code.co_names[1:]), ValueError),
    (lambda code: code.co_code, TypeError),
    (None, TypeError),
], ids=["same", "padded", "added instruction", "other code", "other file", "other names", "not code",
        "deleted"])
@pytest.mark.parametrize("mod", MODULES + [None], ids=lambda m: m.fname if m else "guarded")
def test_code_takes_only_copies_padded_with_no_ops(mod, change, error, monkeypatch):
    from quorvane.config.guard_access import guard_access
    f = mod.func if mod else guard_access(lambda: None)
    code = f.__code__
    monkeypatch.setattr(f, "__code__", code)  # given back at the end
    new = change(code) if change else None
    with pytest.raises(error, match="runs native code|must be set to") if error else contextlib.nullcontext():
        if change:
            f.__code__ = new
        else:
            del f.__code__
    assert f.__code__ is (code if error else new)
    # The native body runs whatever the code says.
    with pytest.raises(Exception, match="takes exactly" if mod else "Chưa đăng nhập"):
        f()


@each_module
def test_module_is_made_once(mod, monkeypatch):
    module, func, ns = mod.module, mod.func, vars(mod.module)
    frame = {"__builtins__", "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__", "__test__"}
    assert set(ns) == frame | {mod.fname} | set(mod.names.split())
    assert ns["__test__"] == {} and ns["__doc__"] is None and ns["__builtins__"] is builtins
    assert all(ns[name] is pkgutil.resolve_name(BOUND[name]) for name in mod.names.split())
    monkeypatch.setattr(module, "__test__", "marker")
    monkeypatch.delitem(sys.modules, mod.name)
    assert importlib.import_module(mod.name) is module and importlib.import_module(mod.name) is module
    assert module.__test__ == "marker" and getattr(module, mod.fname) is func


def fake_requests(calls):
    """Stands in for `requests`: records each get and answers 404."""
    return SimpleNamespace(get=lambda *args, **kwargs: calls.append((args, list(kwargs.items())))
                           or SimpleNamespace(status_code=404, text="gone"))


@pytest.mark.parametrize("mod", MODULES[:5], ids=lambda m: m.fname)
def test_names_are_read_at_each_call(mod, monkeypatch):
    calls, args = [], ("AAA", "2024-01-01", "2024-01-31", "D", 1)[:len(mod.params.split())]
    monkeypatch.setattr(mod.module, "requests", fake_requests(calls))
    monkeypatch.setattr(mod.module, "Client", lambda: SimpleNamespace(_get_headers=lambda: {"X": "1"}))
    for url in ("http://one", "http://two/"):
        monkeypatch.setattr(mod.module, "base_url", url)
        with pytest.raises(ValueError, match="^Có lỗi xảy ra\nChi tiết: \nstatus:404\ncontent: gone$"):
            mod.func(*args)
    query = [("ticker", "AAA"), ("fromDate", "2024-01-01"), ("toDate", "2024-01-31")]
    assert [(a, k[:2], list(k[2][1].items())) for a, k in calls] == [
        ((), [("url", f"{url}/api/stock/{mod.path}"), ("headers", {"X": "1"})], query)
        for url in ("http://one", "http://two/")]


def test_missing_client_then_builtins_then_module(monkeypatch):
    calls, client, call = [], pb.Client, functools.partial(pb.get_priceBars, "AAA", "a", "b", "D")
    monkeypatch.setattr(pb, "requests", fake_requests(calls))
    pytest.raises(ValueError, call)  # the look-up of Client is now cached
    monkeypatch.delattr(pb, "Client")
    with pytest.raises(NameError, match="^name 'Client' is not defined$") as excinfo:
        call()
    assert last_entry(excinfo) == MODULES[0].entry(10) and len(calls) == 1
    monkeypatch.setattr(builtins, "Client", lambda: SimpleNamespace(_get_headers=dict), raising=False)
    pytest.raises(ValueError, call)
    monkeypatch.setattr(pb, "Client", client, raising=False)
    pytest.raises(ValueError, call)
    assert [dict(kw)["headers"] for _, kw in calls] == [client()._get_headers(), {}, client()._get_headers()]


CHILD = """import sys, traceback, quorvane.config.config as config
{setup}
try:
    import {name}
except ImportError as error:
    entry = traceback.extract_tb(error.__traceback__)[-1]
    print(type(error).__name__, error, entry.name, entry.filename, entry.lineno, sep="|")
print({name!r} in sys.modules)
{restore}
import {name} as module
print(module.{fname}.__name__)
"""


@pytest.mark.parametrize("mod, setup, restore, error, line", [
    (MODULES[0], "del config.base_url", "config.base_url = 'http://x'", "ImportError|cannot import name base_url", 3),
    (MODULES[0], "import pandas; sys.modules['pandas'] = None", "sys.modules['pandas'] = pandas",
     "ModuleNotFoundError|import of pandas halted; None in sys.modules", 5),
    (MODULES[5], "import functools; wraps = functools.wraps; del functools.wraps", "functools.wraps = wraps",
     "ImportError|cannot import name wraps", 1),
], ids=["missing base_url", "pandas blocked", "missing wraps"])
def test_failed_import_leaves_no_module(mod, setup, restore, error, line):
    script = CHILD.format(name=mod.name, fname=mod.fname, setup=setup, restore=restore)
    out = subprocess.run([PYTHON, "-c", script], env=dict(os.environ, PYTHONPATH=ROOT), cwd=ROOT,
                         capture_output=True, text=True, timeout=120)
    assert out.stderr == ""
    assert out.stdout.splitlines() == [f"{error}|init {mod.name}|{mod.entry()[1]}|{line}", "False", mod.fname]


@each_module
def test_traceback_frames_have_locals_of_their_own(mod, monkeypatch):
    # What `pytest --showlocals` prints for the entry, and where a debugger's
    # assignment at that frame goes (pdb runs it with the frame's f_locals).
    with pytest.raises(TypeError) as excinfo:
        mod.func()
    frame = excinfo.value.__traceback__.tb_next.tb_frame
    assert (frame.f_code.co_name, frame.f_globals) == (mod.entry()[0], vars(mod.module))
    assert frame.f_locals == {} and frame.f_locals is not vars(mod.module)
    summary = traceback.TracebackException.from_exception(excinfo.value, capture_locals=True)
    assert summary.stack[-1].locals is None  # none to show
    monkeypatch.setattr(mod.module, "Client", mod.module.Client)  # restored whatever happens
    client = mod.module.Client
    exec("Client = 'rebound'", frame.f_globals, frame.f_locals)
    assert mod.module.Client is client


CLEARED = """
import gc, json, re, weakref
from quorvane.config.guard_access import guard_access
from quorvane.process_client.login import Client

class LateFinaliser:
    __slots__ = ("ref",)
    def __del__(self):
        global func
        func = self.ref()

class Cyclic(tuple):
    __slots__ = ()
    def __del__(self):
        self[1].ref = weakref.ref(self[0])
        global late
        del late

late = LateFinaliser()
func = {make}
cycle = tuple.__new__(Cyclic, (func, late))
func.__module__ = cycle
del func, cycle
gc.collect()
if func is None or not {details}:
    print(json.dumps(func is not None))
else:
    shown = [func.__name__, func.__qualname__, func.__module__, func.__doc__,
             bool(re.fullmatch("<function  at 0x[0-9a-f]+>", repr(func))),
             func.__reduce__(), func.__code__.co_name, len(func.__closure__)]
    outcomes = []
    for login in (False, True):
        if login:
            Client().login("t")
        try:
            outcomes.append(func())
        except Exception as error:
            outcomes.append(type(error).__name__)
    print(json.dumps([shown, outcomes]))
"""


def test_function_used_after_the_collector_cleared_it():
    # A finaliser that runs while the collector breaks a cycle takes a weak
    # reference to a function of the cycle, which the collector clears next.
    found = in_child(CLEARED.format(make='guard_access(lambda: "ran")', details=True))
    # Whether the finaliser gets the function back at all is the
    # interpreter's affair: from 3.14 it clears such weak references first,
    # as it does for a Python function.
    reached = in_child(CLEARED.format(make='(lambda f: lambda: f())(lambda: "ran")', details=False))
    assert (found is not False) == reached
    if reached:
        # The closure's cell may or may not have been emptied by the collector.
        assert found[0] == ["", "", None, None, True, "", "wrapper", 1]
        assert found[1] in (["Exception", "ran"], ["Exception", "NameError"])
