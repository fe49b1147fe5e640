"""A program of the functions runs under line_profiler's kernprof: the native
functions are taken and never timed, a Python function that the guard calls
is (sample service)."""

import os
import subprocess

import pytest

import sample_service
from conftest import PYTHON, ROOT
from quorvane.config.guard_access import guard_access
from quorvane.process_stock.priceBars import get_priceBars

SCRIPT = """\
from quorvane.config.guard_access import guard_access
from quorvane.process_client import Client
from quorvane.process_stock import dealerDesk, dividend, foreign, orderFlow, priceBars

@profile
@guard_access
def above(ticker):
    return list(priceBars.get_priceBars(ticker, "2024-03-01", "2024-03-08", "D")["Close"])

@guard_access
@profile
def below(ticker):
    table = priceBars.get_priceBars(ticker, "2024-03-01", "2024-03-08", "D")
    return list(table["Close"])

for function in (priceBars.get_priceBars, orderFlow.get_order_flow, foreign.get_foreign,
                 dealerDesk.get_dealerDesk, dividend.get_dividend, guard_access):
    profile.add_function(function)
Client().login({token!r})
assert above("HPX") == below("HPX") == {closes!r}
"""


def test_kernprof_times_the_python_lines_only(sample, tmp_path):
    line_profiler = pytest.importorskip("line_profiler")
    script, out = tmp_path / "program.py", tmp_path / "program.lprof"
    script.write_text(SCRIPT.format(token=sample_service.DEMO_TOKEN, closes=list(
        get_priceBars("HPX", "2024-03-01", "2024-03-08", "D")["Close"])), encoding="utf-8")
    done = subprocess.run([PYTHON, "-m", "kernprof", "-l", "-o", str(out), str(script)], cwd=tmp_path,
                          env=dict(os.environ, PYTHONPATH=ROOT, QUORVANE_BASE_URL=sample.url),
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    timings = {(os.path.basename(file), name): {line: hits for line, hits, _ in lines}
               for (file, _, name), lines in line_profiler.load_stats(str(out)).timings.items()}
    # The native functions, and the guard's wrapper that @profile above it
    # took (named by its code's qualified name from 3.11), with no line.
    wrapper = getattr(guard_access(len).__code__, "co_qualname", "wrapper")
    ours = [("priceBars", "get_priceBars"), ("orderFlow", "get_order_flow"), ("foreign", "get_foreign"),
            ("dealerDesk", "get_dealerDesk"), ("dividend", "get_dividend"), ("guard_access", "guard_access"),
            ("guard_access", wrapper)]
    assert timings == {("program.py", "below"): {13: 1, 14: 1}, **{key: {} for key in ours}}
