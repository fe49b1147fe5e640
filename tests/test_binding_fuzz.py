"""Argument binding of every exported function against a small model of the
binding rules, over random mixes of positional and keyword arguments."""

import traceback
import types

import pytest
from hypothesis import given, settings, strategies as st

import quorvane.config.guard_access as guard_module
from quorvane.process_stock import dealerDesk, dividend, foreign, orderFlow, priceBars

SERIES = ("ticker", "fromDate", "toDate", "period")
FUNCTIONS = [(priceBars, "get_priceBars", SERIES, 9), (orderFlow, "get_order_flow", SERIES, 9),
             (foreign, "get_foreign", SERIES + ("unit",), 7),
             (dealerDesk, "get_dealerDesk", SERIES + ("unit",), 9),
             (dividend, "get_dividend", SERIES[:3], 7), (guard_module, "guard_access", ("func",), 4)]
WRONG = ["Ticker", "ticker ", "fromdate", "unit", "func", "period", "args", ""]


class Reached(Exception):
    """Raised by the stand-ins once binding succeeded; carries what they got."""


def reached(*args, **kwargs):
    raise Reached(args, kwargs)


StandInClient = type("StandInClient", (), {"_get_headers": lambda self: {}})
Name = type("Name", (str,), {})  # a keyword that is a `str` without being exactly one


def model(fname, params, args, kw):
    """The bound arguments, or the message of the TypeError the call raises."""
    if not all(isinstance(key, str) for key in kw):
        return "keywords must be strings"  # raised by the interpreter itself
    n, given = len(params), len(args)
    counted = f"{fname}() takes exactly {n} positional argument{'s' * (n != 1)} (%d given)"
    if given > n or (not kw and given != n):
        return counted % given
    bound = list(args)
    for name in params[given:]:
        if name not in kw:
            return counted % len(bound)
        bound.append(kw[name])
    for key in kw:
        if key in params[:given]:
            return f"{fname}() got multiple values for keyword argument '{key}'"
        if key not in params:
            return f"{fname}() got an unexpected keyword argument '{key}'"
    for name, value in zip(params, bound):
        if fname == "get_priceBars" and type(value) is not str:
            return (f"Argument '{name}' has incorrect type "
                    f"(expected str, got {type(value).__name__})")
    return bound


def arguments(params):
    """Positional values; keywords: the parameters' names, wrong names, other keys."""
    values = st.integers(0, 5).flatmap(
        lambda k: st.integers() if k == 4 else st.none() if k == 5 else st.text(max_size=3))
    extra = st.one_of(st.sampled_from(WRONG), st.text(max_size=4),
                      st.sampled_from([0, None, b"ticker", 1.5]),
                      st.sampled_from(params).map(Name))

    @st.composite
    def build(draw):
        count = draw(st.integers(0, len(params) + 1) | st.integers(0, 7))
        args = [draw(values) for _ in range(count)]
        keys = ["".join(list(name)) for i, name in enumerate(params)
                if draw(st.booleans() if i < count else st.integers(0, 4).map(bool))]
        keys += draw(st.lists(extra, max_size=2))
        return args, {key: draw(values) for key in draw(st.permutations(keys))}
    return build()


@pytest.mark.parametrize("module, fname, params, def_line", FUNCTIONS,
                         ids=[f[1] for f in FUNCTIONS])
def test_binding_follows_the_rules(monkeypatch, module, fname, params, def_line):
    for name, stand_in in {"requests": types.SimpleNamespace(get=reached), "wraps": reached,
                           "Client": StandInClient}.items():
        if hasattr(module, name):
            monkeypatch.setattr(module, name, stand_in)
    function = getattr(module, fname)
    qualified = f"{module.__name__}.{fname}"
    source = module.__name__.replace(".", "/")

    @settings(max_examples=300, deadline=None)
    @given(arguments(params))
    def check(call):
        args, kw = call
        expected = model(fname, params, args, kw)
        try:
            function(*args, **kw)
        except Reached as stopped:
            got = stopped.args
        except TypeError as error:
            got = str(error)
            frames = [(f.name, f.filename, f.lineno)
                      for f in traceback.extract_tb(error.__traceback__)]
            binding = not got.startswith(("keywords", "Argument"))
            assert (frames[-1] == (qualified, source, def_line)) is binding, frames
            assert len([f for f in frames if f[0] == qualified]) == binding
        else:
            pytest.fail("a stand-in should have stopped the call")
        if isinstance(expected, str):
            assert got == expected
        elif fname == "guard_access":
            assert got[0][0] is expected[0]
        else:
            sent = got[1]["params"]  # the values themselves, under their names, in order
            assert [(key, id(value)) for key, value in sent.items()] == [
                (key, id(value)) for key, value in zip(SERIES, expected[:3])]
    check()
