"""Calls from several threads at once: every thread gets its own, correct
table, and the login guard stays consistent while `Client` is being rebound."""

import contextlib
import itertools
import sys
import threading
import time

import pandas as pd
import pytest

import quorvane.config.guard_access as guard_module
import sample_service
from quorvane.process_client import use_connection
from quorvane.process_client.login import Client
from quorvane.process_stock import dealerDesk, dividend, foreign, orderFlow, priceBars

# Run on a newer CPython too by ./dev test: see the threads marker.
pytestmark = pytest.mark.threads

REFUSAL = "Chưa đăng nhập. Vui lòng đăng nhập trước."
FUNCTIONS = [priceBars.get_priceBars, orderFlow.get_order_flow, foreign.get_foreign,
             dealerDesk.get_dealerDesk, dividend.get_dividend]
TICKERS = sorted(sample_service.TICKERS)


def run_threads(targets, timeout=60.0):
    """Runs each target on a thread of its own; every one must finish in time."""
    threads = [threading.Thread(target=target, daemon=True) for target in targets]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + timeout
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    assert not any(thread.is_alive() for thread in threads), "a thread did not finish"


@pytest.mark.parametrize("through", ["requests", "connection"])
def test_eight_threads_each_get_their_own_tables(monkeypatch, through):
    calls = []
    for i in range(8):  # module, ticker, date range and period all vary
        function = FUNCTIONS[i % len(FUNCTIONS)]
        args = [TICKERS[2 * i % len(TICKERS)], f"{2016 + i}-04-01", f"{2016 + i}-11-30",
                "D" if i % 2 else "W", 1000][:function.__code__.co_argcount]
        calls.append(lambda function=function, args=args: function(*args))
    failures = []
    received = [[] for _ in calls]

    def repeat(call, tables):
        try:
            for _ in range(25):
                tables.append(call())
        except BaseException as error:  # reported by the main thread
            failures.append(error)
    with sample_service.SampleService() as service:
        for function in FUNCTIONS:
            monkeypatch.setattr(sys.modules[function.__module__], "base_url", service.url)
        Client().login(sample_service.DEMO_TOKEN)
        expected = [call() for call in calls]
        assert all(len(table) for table in expected)
        before = service.connections_accepted
        # Time limits far beyond what a loaded machine needs: a retry would
        # send a request twice.
        with (use_connection(timeout=(30, 60), retries=1, pool_size=8)
              if through == "connection" else contextlib.nullcontext()):
            run_threads([lambda c=c, t=t: repeat(c, t) for c, t in zip(calls, received)])
    assert failures == [] and service.requests_served == 8 + 8 * 25
    # Compared here, not on the threads: pandas' comparison turns its own
    # deprecation warnings off and on again with warnings.catch_warnings,
    # which is not thread-safe, so that a thread may see another's
    # warning, made an error by this suite's filter.
    for tables, want in zip(received, expected):
        assert len(tables) == 25
        for got in tables:
            assert got is not want
            pd.testing.assert_frame_equal(got, want)
    made = service.connections_accepted - before  # plain: one per call; pooled: per thread
    assert made == 8 * 25 if through == "requests" else made <= 8


def test_guard_while_client_is_rebound(monkeypatch):
    logged_in, logged_out = (type("StandIn", (), {"token": token}) for token in ("t", None))
    monkeypatch.setattr(guard_module, "Client", logged_in)
    result = object()
    guarded = guard_module.guard_access(lambda *args, **kwargs: result)
    ran, refused, wrong = [], [], []
    stop = threading.Event()

    def rebind():
        while not stop.is_set():
            for client in (logged_out, logged_in):
                guard_module.Client = client
                time.sleep(0)  # lets the callers run with this binding

    def caller():  # at least 3000 calls, more until both outcomes were seen
        deadline = time.monotonic() + 10
        for i in itertools.count():
            if i >= 3000 and (ran and refused or time.monotonic() > deadline):
                break
            if i % 50 == 0:
                time.sleep(0)  # lets the rebinding go on
            try:
                got = guarded(1, key=2)
            except Exception as error:
                ok = type(error) is Exception and error.args == (REFUSAL,)
                (refused if ok else wrong).append(error)
            else:
                (ran if got is result else wrong).append(got)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    rebinder = threading.Thread(target=rebind, daemon=True)
    rebinder.start()
    try:
        run_threads([caller] * 4)
    finally:
        stop.set()
        rebinder.join(10)
        sys.setswitchinterval(interval)
    assert not rebinder.is_alive() and wrong == [] and ran and refused
    assert len(ran) + len(refused) >= 4 * 3000
