"""The login guard: refusal while no token is set, pass-through otherwise."""

import functools
import gc
import inspect
import pydoc
import sys
import weakref

import pytest

import quorvane.config.guard_access as guard_module
from conftest import entries, last_entry
from quorvane.config.guard_access import guard_access
from quorvane.process_client.login import Client

MODULE = "quorvane/config/guard_access"
OUTER = "quorvane.config.guard_access.guard_access"
WRAPPER = OUTER + ".wrapper"
REFUSAL = "Chưa đăng nhập. Vui lòng đăng nhập trước."


def client_with(token):
    return type("StandInClient", (), {"token": token})


def recording():
    calls = []
    return calls, guard_access(lambda *a, **k: calls.append((a, k)) or "ran")


@pytest.mark.parametrize("token", ["", 0, False, "x"])
def test_only_none_refuses(monkeypatch, token):
    monkeypatch.setattr(guard_module, "Client", client_with(token))
    calls, guarded = recording()
    assert guarded(1, k=2) == "ran" and calls == [((1,), {"k": 2})]


def test_refusal_is_a_plain_exception_and_func_is_not_called(monkeypatch):
    monkeypatch.setattr(guard_module, "Client", client_with(None))
    calls, guarded = recording()
    with pytest.raises(Exception) as excinfo:
        guarded(1)
    assert type(excinfo.value) is Exception and excinfo.value.args == (REFUSAL,)
    assert last_entry(excinfo) == (WRAPPER, MODULE, 16) and calls == []


def test_login_is_decided_at_each_call():
    calls, guarded = recording()
    with pytest.raises(Exception, match=REFUSAL):
        guarded()
    Client().login("token-1")
    assert guarded() == "ran"
    Client().logout()
    with pytest.raises(Exception, match=REFUSAL):
        guarded()
    assert len(calls) == 1


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((1, "b", None), {}), ((), {"a": 1, "b": [2]}), ((1, 2, 3), {"x": 4, "y": 5}),
    (tuple(range(20)), {f"k{i}": str(i) for i in range(6)})])
def test_arguments_and_result_pass_through(logged_in, args, kwargs):
    result = object()
    seen = []
    guarded = guard_access(lambda *a, **k: seen.append((a, k)) or result)
    assert guarded(*args, **kwargs) is result and seen == [(args, kwargs)]
    assert guard_access(lambda a, b=2, *, c: None)(1, c=3) is None


def test_callers_keywords_are_not_handed_on(logged_in):
    def mutate(**kwargs):
        kwargs["added"] = kwargs.pop("a")
        return kwargs
    given = {"a": 1}
    assert guard_access(mutate)(**given) == {"added": 1} and given == {"a": 1}


def test_exception_of_func_reaches_caller_unchanged(logged_in):
    error = KeyError("boom")
    def fail():
        raise error
    with pytest.raises(KeyError) as excinfo:
        guard_access(fail)()
    assert excinfo.value is error and entries(excinfo)[-2] == (WRAPPER, MODULE, 19)


@pytest.mark.parametrize("annotated", [True, False], ids=["annotated", "plain"])
def test_metadata_is_copied_from_func(annotated):
    if annotated:
        def func(a, b: int = 1, *rest, key: "list[str]" = None, **more) -> str:
            """What func does."""
    else:
        def func(a, b=1, *rest, key=None, **more):
            """What func does."""
    func.marker = 42
    guarded = guard_access(func)
    assert (guarded.__name__, guarded.__qualname__, guarded.__doc__, guarded.__module__) == (
        "func", func.__qualname__, "What func does.", __name__)
    assert guarded.marker == 42 and guarded.__wrapped__ is func
    assert inspect.signature(guarded) == inspect.signature(func)
    # The annotations too: functools.wraps copies __annotations__ up to 3.13
    # and __annotate__ from 3.14.
    assert guarded.__annotations__ == func.__annotations__
    if sys.version_info >= (3, 14):
        import annotationlib
        for format in (annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF,
                       annotationlib.Format.STRING):
            assert annotationlib.get_annotations(guarded, format=format) == \
                annotationlib.get_annotations(func, format=format)
    # help() shows it as it shows a Python wrapper made with functools.wraps.
    python_wrapper = functools.wraps(func)(lambda *args, **kwargs: None)
    assert pydoc.render_doc(guarded, renderer=pydoc.plaintext) == \
        pydoc.render_doc(python_wrapper, renderer=pydoc.plaintext)
    assert guard_access.__doc__ == (
        "guard_access(func)\n\n    Decorator để đảm bảo rằng Client đã đăng nhập trước khi"
        " thực hiện function.\n    Nếu chưa đăng nhập, raise Exception.\n    ")


def test_inner_function_before_wrapping(monkeypatch):
    monkeypatch.setattr(guard_module, "wraps", lambda f: (lambda w: w))
    inner = guard_access(len)
    code = inner.__code__
    assert (inner.__name__, inner.__qualname__, code.co_varnames, code.co_freevars) == (
        "wrapper", "guard_access.<locals>.wrapper", ("args", "kwargs", "client"), ("func",))
    assert (code.co_name, code.co_filename, code.co_firstlineno) == ("wrapper", MODULE, 9)
    flags = inspect.CO_VARARGS | inspect.CO_VARKEYWORDS
    assert code.co_flags & flags == flags


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "guard_access() takes exactly 1 positional argument (0 given)"),
    ((len, len), {}, "guard_access() takes exactly 1 positional argument (2 given)"),
    ((len,), {"other": 1}, "guard_access() got an unexpected keyword argument 'other'"),
])
def test_wrong_arguments_to_guard_access(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        guard_access(*args, **kwargs)
    assert str(excinfo.value) == message and last_entry(excinfo) == (OUTER, MODULE, 4)


def test_func_by_keyword_method_and_builtin(logged_in):
    assert guard_access(func=len)("abc") == 3

    class Account:
        @guard_access
        def balance(self, extra):
            return self, extra
    account = Account()
    assert account.balance(5) == (account, 5)


def test_failures_inside_the_guard(monkeypatch):
    monkeypatch.setattr(guard_module, "wraps", lambda f: 1 / 0)
    with pytest.raises(ZeroDivisionError) as excinfo:
        guard_access(len)
    assert entries(excinfo)[-2] == (OUTER, MODULE, 9)
    monkeypatch.undo()

    calls, guarded = recording()
    monkeypatch.setattr(guard_module, "Client", type("NoToken", (), {}))
    with pytest.raises(AttributeError) as excinfo:
        guarded()
    assert last_entry(excinfo) == (WRAPPER, MODULE, 15) and calls == []
    monkeypatch.delattr(guard_module, "Client")
    with pytest.raises(NameError, match="^name 'Client' is not defined$") as excinfo:
        guarded()
    assert last_entry(excinfo) == (WRAPPER, MODULE, 12) and calls == []


def test_func_lives_exactly_as_long_as_the_decorated_callable():
    def func():
        pass
    alive = weakref.ref(func)
    guarded = guard_access(func)
    del func
    gc.collect()
    assert alive() is not None
    del guarded
    gc.collect()
    assert alive() is None


def test_reference_cycles_through_the_wrapper_are_collected():
    namespace = {"guard_access": guard_access}
    exec("def f():\n    return f\nf = guard_access(f)", namespace)
    function_alive = weakref.ref(namespace["f"].__wrapped__)

    class Holder:
        @guard_access
        def method(self):
            return __class__
    class_alive = weakref.ref(Holder)
    del namespace, Holder
    gc.collect()
    assert function_alive() is None and class_alive() is None


def test_emptied_cell_fails_as_a_python_closure_does(logged_in):
    # `func` lives in a cell that Python code can empty; the guarded call
    # then fails with this interpreter's own message for a closure.
    def make(func):
        def wrapper():
            return func()
        return wrapper
    python_wrapper, guarded = make(len), guard_access(len)
    for wrapper in (python_wrapper, guarded):
        del wrapper.__closure__[0].cell_contents
    with pytest.raises(NameError) as expected:
        python_wrapper()
    with pytest.raises(NameError) as excinfo:
        guarded()
    assert excinfo.value.args == expected.value.args
    assert last_entry(excinfo) == (WRAPPER, MODULE, 19)
