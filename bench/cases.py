"""What the parts of the benchmark measure, and with what: the calls of the
five data functions (CASES), the guard's target, the stand-ins for Client,
requests, pandas and numpy, and the rebinding of module-level names to them.

bench.py and the parts it runs (peers.py, sending.py, processes.py) import
this module, which imports none of them. It is found, and finds quorvane and
sample_service, through sys.path, where bench.py (and the callgrind child of
peers.py) put bench/ and the top directory first.
"""

import os
import types
from functools import partial
from itertools import repeat

import reference
from quorvane.config import guard_access as guard_module
from quorvane.process_client.login import Client
from quorvane.process_stock import dealerDesk, dividend, foreign, orderFlow, priceBars
from sample_service import DEMO_TOKEN

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

TICKER, FROM, TO = "HPX", "2024-01-01", "2024-06-30"
# (name, native module, its function's name, arguments); every time series
# takes the regrouping path, which runs the most steps.
CASES = [
    ("get_priceBars", priceBars, "get_priceBars", (TICKER, FROM, TO, "W")),
    ("get_order_flow", orderFlow, "get_order_flow", (TICKER, FROM, TO, "W")),
    ("get_foreign", foreign, "get_foreign", (TICKER, FROM, TO, "W", 1000)),
    ("get_dealerDesk", dealerDesk, "get_dealerDesk", (TICKER, FROM, TO, "W", 1000)),
    ("get_dividend", dividend, "get_dividend", (TICKER, "2022-01-01", "2024-12-31")),
]
DATA_MODULES = [module for _, module, _, _ in CASES]

# A notebook's run, and a whole market's: (data module, function, the
# arguments after the ticker); every series by day, as the service sends it
# (no regrouping), the values of foreign and dealerDesk in billions.
UNIT = 1e9
DAILY = [
    ("priceBars", "get_priceBars", (FROM, TO, "D")),
    ("orderFlow", "get_order_flow", (FROM, TO, "D")),
    ("foreign", "get_foreign", (FROM, TO, "D", UNIT)),
    ("dealerDesk", "get_dealerDesk", (FROM, TO, "D", UNIT)),
    ("dividend", "get_dividend", ("2022-01-01", TO)),
]


# ---- stand-ins ----------------------------------------------------------------

# Wherever the result allows it, a stand-in is a C-level callable of the
# interpreter (no Python frame): `returns(x)` gives x for zero or one
# argument, `ignores` takes anything and gives "" (for dropped results).
def returns(value):
    return partial(next, repeat(value))


ignores = "".format


class Frame:
    """A table that answers every operation the functions make."""
    __slots__ = ()
    __setitem__ = insert = ignores

    def all(self, axis):  # keyword argument: no C-level stand-in takes it
        return self

    def mask(self, cond, other):  # two arguments: likewise
        return self


FRAME = Frame()
Frame.__getitem__ = Frame.__truediv__ = Frame.__invert__ = returns(FRAME)
Frame.resample = Frame.agg = Frame.sum = Frame.eq = returns(FRAME)
Frame.set_index = Frame.infer_objects = returns(FRAME)
Frame.loc = FRAME


class Response:
    status_code = 200
    json = returns([])


RESPONSE = Response()


class StandInClient:
    token = "stand-in"
    _get_headers = returns({"Accept": "application/json"})


def _get(url, headers, params):  # keyword arguments, as above
    return RESPONSE


def stand_in_module(name, **attributes):
    module = types.ModuleType(name)
    module.__dict__.update(attributes)
    return module


STANDINS = {
    "Client": StandInClient,
    "base_url": "http://127.0.0.1:9",
    "requests": stand_in_module("requests", get=_get),
    "pd": stand_in_module("pandas", DataFrame=returns(FRAME), to_datetime=ignores),
    "np": stand_in_module("numpy", nan=float("nan")),
}


class Rebound:
    """Rebinds module-level names for the duration of a `with` block."""

    def __init__(self, modules, names):
        self.modules, self.names = modules, names

    def __enter__(self):
        self.saved = [(m, k, m.__dict__[k]) for m in self.modules for k in self.names
                      if k in m.__dict__]
        for module, name, _ in self.saved:
            setattr(module, name, self.names[name])

    def __exit__(self, *exc):
        for module, name, value in self.saved:
            setattr(module, name, value)


# What the guard wraps where it is measured.
def target(a, key=None):
    return a
