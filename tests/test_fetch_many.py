"""fetch_many: one data function for many tickers on a pool of threads, over
the sample service on 127.0.0.1."""

import json
import os
import pty
import re
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pandas as pd
import pytest
import requests

import quorvane.process_stock.priceBars as pb
import sample_service
from quorvane.process_stock import dividend, foreign, orderFlow
from conftest import PYTHON, ROOT, bound, closed_connection
from quorvane.process_client import Connection, FetchResult, fetch_many, use_connection
from quorvane.process_client.batch import THREAD_NAME_PREFIX

GOOD = sorted(sample_service.TICKERS)
DATES = ("2024-03-01", "2024-05-31")


@pytest.mark.parametrize("through", ["requests", "connection", "connection argument"])
def test_one_unknown_ticker_among_good_ones(sample, through):
    tickers = GOOD[:2] + ["NOPE"] + GOOD[2:] + [GOOD[0], "NOPE"]  # with repeats
    if through == "connection":
        use_connection(timeout=(3, 10), retries=1)
    given = {"connection": Connection(timeout=(3, 10))} if through == "connection argument" else {}
    result = fetch_many(pb.get_priceBars, tickers, *DATES, period="W", workers=3, progress=False,
                        **given)
    if given:  # bound for the run only, and through its three pooled connections
        given["connection"].close()
        assert pb.requests is requests and sample.connections_accepted <= 3
    assert isinstance(result, FetchResult) and not result.ok
    tables, errors = result
    assert list(tables) == GOOD  # the order given, each ticker once
    for ticker in GOOD:
        pd.testing.assert_frame_equal(tables[ticker], pb.get_priceBars(ticker, *DATES, "W"))
    assert list(errors) == ["NOPE"]
    assert type(errors["NOPE"]) is ValueError and "status:404" in str(errors["NOPE"])
    assert repr(result) == str(result) == f"FetchResult({len(GOOD)} tables, 1 error: NOPE 404)"
    assert sample.requests_served == 2 * len(GOOD) + 1
    assert [t for t in threading.enumerate() if t.name.startswith(THREAD_NAME_PREFIX)] == []


def test_answers_in_the_cache_come_first_from_the_calling_thread(sample, tmp_path):
    """On a cache, the calls it answers are made one after another in the
    calling thread (threads would only take turns on the interpreter); the
    others then send their request from the run's threads, once each."""
    pytest.importorskip("requests_cache", reason="the cache needs requests-cache")
    connection = Connection(cache=tmp_path / "c.sqlite")
    warm = fetch_many(pb.get_priceBars, GOOD[:3], *DATES, "D", connection=connection,
                      progress=False)
    sent, get = [], connection.get

    def recorded(url, params=None, **kwargs):
        response = get(url, params, **kwargs)
        sent.append((params["ticker"], threading.current_thread().name, response.from_cache))
        return response
    connection.get = recorded
    tickers = GOOD[3:] + ["NOPE"] + GOOD[:3]
    result = fetch_many(pb.get_priceBars, tickers, *DATES, "D", connection=connection,
                        progress=False)
    assert list(result.tables) == GOOD[3:] + GOOD[:3] and list(result.errors) == ["NOPE"]
    for ticker in GOOD[:3]:
        pd.testing.assert_frame_equal(result.tables[ticker], warm.tables[ticker])
    here = threading.current_thread().name
    assert sorted((t, thread) for t, thread, hit in sent if hit) == [(t, here) for t in GOOD[:3]]
    assert sorted(t for t, _, hit in sent if not hit) == sorted(GOOD[3:] + ["NOPE"])
    assert all(thread.startswith(THREAD_NAME_PREFIX) for _, thread, hit in sent if not hit)
    connection.close()
    assert sample.requests_served == 3 + len(GOOD[3:]) + 1


def test_no_tickers_and_one_ticker_in_place_of_a_list():
    assert fetch_many(pb.get_priceBars, [], *DATES, "D") == ({}, {})
    with pytest.raises(TypeError):  # not the tickers "H", "P" and "X"
        fetch_many(pb.get_priceBars, "HPX", *DATES, "D")


# Each call, its exception and a part of its text; the call as written is its id.
@pytest.mark.parametrize("call, error, text", [
    pytest.param(lambda: fetch_many(pb.get_priceBars, ["HPX"], workers=0), ValueError,
                 "workers must be at least 1, not 0",
                 id='fetch_many(pb.get_priceBars, ["HPX"], workers=0)'),
    pytest.param(lambda: fetch_many(pb.get_priceBars, ["HPX"], workers=3.0), TypeError,
                 "workers must be an int, not float",
                 id='fetch_many(pb.get_priceBars, ["HPX"], workers=3.0)'),
    pytest.param(lambda: fetch_many(pb.get_priceBars, ["HPX"], progress="yes"), TypeError,
                 "progress must be True, False or None, not str",
                 id='fetch_many(pb.get_priceBars, ["HPX"], progress="yes")'),
    pytest.param(lambda: fetch_many(pb.get_priceBars, "HPX"), TypeError, "not one str",
                 id='fetch_many(pb.get_priceBars, "HPX")'),
    pytest.param(lambda: fetch_many(pb.get_priceBars, ["HPX", ["QVA"]]), TypeError,
                 "every ticker must be hashable: unhashable type: 'list'",
                 id='fetch_many(pb.get_priceBars, ["HPX", ["QVA"]])'),
    # The executor's own size decides, and threads take a ticker at a time.
    pytest.param(lambda: fetch_many(len, ["HPX"], executor=ThreadPoolExecutor(1), workers=16),
                 TypeError, "workers= is the",
                 id='fetch_many(len, ["HPX"], executor=ThreadPoolExecutor(1), workers=16)'),
    pytest.param(lambda: fetch_many(len, ["HPX"], chunksize=10), TypeError,
                 "chunksize= is the number of tickers in each",
                 id='fetch_many(len, ["HPX"], chunksize=10)'),
    pytest.param(lambda: fetch_many(len, ["HPX"], connection=closed_connection()), ValueError,
                 "this Connection is closed",
                 id='fetch_many(len, ["HPX"], connection=closed_connection())'),
])
def test_invalid_arguments(call, error, text):
    with pytest.raises(error) as excinfo:
        call()
    assert text in str(excinfo.value)
    assert bound() == {requests}  # nothing was put in place


# to_frame's tables: regrouped, "D" (every field sent), and dividends (index 0, 1, 2...).
ONE_FRAME = {
    "regrouped by week": (pb.get_priceBars, ("W",)),
    "D": (orderFlow.get_order_flow, ("D",)),
    "regrouped by month, with a unit": (foreign.get_foreign, ("MS", 1e9)),
    "dividend": (dividend.get_dividend, ()),
}


@pytest.mark.parametrize("function, rest", ONE_FRAME.values(), ids=ONE_FRAME.keys())
def test_to_frame_holds_each_table_under_its_ticker(sample, function, rest):
    dates = ("2023-01-01", "2023-12-31") if function is dividend.get_dividend else DATES
    result = fetch_many(function, GOOD[::-1] + ["NOPE"], *dates, *rest, progress=False)
    frame = result.to_frame()
    assert list(frame.index.unique("ticker")) == GOOD[::-1] and list(result.errors) == ["NOPE"]
    for ticker, table in result.tables.items():
        table = table.drop(columns="ticker", errors="ignore")  # the index level holds it
        assert frame.index.names == ["ticker", table.index.name]
        # Values, dtypes and the inner index as in the single table (a
        # regrouped index loses its freq, as any selection of its rows does).
        pd.testing.assert_frame_equal(frame.loc[ticker], table, check_freq=False)
    assert frame.reset_index().columns[0] == "ticker"


def test_to_frame_of_no_table_and_of_other_results():
    empty = FetchResult({}, {"NOPE": KeyError("DateTime")}).to_frame()
    assert empty.shape == (0, 0) and empty.index.names == ["ticker"]
    # Tables whose columns differ (a daily table holds every field sent):
    # every row and every column is kept.
    mixed = FetchResult({"A": pd.DataFrame({"x": [1], "y": [2]}),
                         "B": pd.DataFrame({"y": [3], "z": [4]})}, {}).to_frame()
    assert list(mixed.columns) == ["x", "y", "z"] and list(mixed["y"]) == [2, 3]
    assert mixed.isna().sum().tolist() == [1, 0, 1]
    with pytest.raises(TypeError, match="the result for 'HPX' is of type int"):
        fetch_many(len, ["HPX"], progress=False).to_frame()


def status(code):
    error = ValueError(f"status:{code}")
    error.status_code = code
    return error


# A FetchResult's repr sums it up: the first five failures, each by its status or type.
@pytest.mark.parametrize("tables, errors, shown", [
    ({}, {}, "FetchResult(0 tables, 0 errors)"),
    ({"HPX": pd.DataFrame({"Close": range(10_000)})}, {("NOPE", 1): status(503)},
     "FetchResult(1 table, 1 error: ('NOPE', 1) 503)"),
    ({}, {f"T{i}": KeyError("DateTime") if i % 2 else status(404) for i in range(7)},
     "FetchResult(0 tables, 7 errors: T0 404, T1 KeyError, T2 404, T3 KeyError, T4 404, ...)"),
])
def test_a_result_shows_a_summary(tables, errors, shown):
    assert repr(FetchResult(tables, errors)) == shown


def test_a_bar_asked_for_without_tqdm_says_how_to_install_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # import tqdm fails
    with pytest.raises(ImportError, match=r"needs tqdm: pip install tqdm$"):
        fetch_many(pb.get_priceBars, ["HPX"], *DATES, "D", progress=True)
    assert fetch_many(len, ["HPX"]) == ({"HPX": 3}, {})  # progress=None: no bar, no error


def test_order_workers_and_progress(capsys):
    """Unsorted tickers with a repeat, three workers held together by a
    barrier, a failure, and a progress bar."""
    pytest.importorskip("tqdm")
    tickers = ["VNQ", "HPX", "BAD", "QVA", "HPX", "MSR", "AAA", "TCL"]
    first_three = threading.Barrier(3, timeout=5)
    lock = threading.Lock()
    calls, running, threads = [], [0], set()
    peak = [0]

    def fetch(ticker, times, *, suffix):
        with lock:
            calls.append(ticker)
            threads.add(threading.current_thread().name)
            running[0] += 1
            peak[0] = max(peak[0], running[0])
            index = len(calls)
        try:
            if index <= 3:
                first_three.wait()
            if ticker == "BAD":
                raise ValueError(ticker)
            return (ticker + suffix) * times
        finally:
            with lock:
                running[0] -= 1

    tables, errors = fetch_many(fetch, tickers, 2, suffix="!", workers=3, progress=True)
    assert list(tables.items()) == [(t, (t + "!") * 2) for t in
                                    ["VNQ", "HPX", "QVA", "MSR", "AAA", "TCL"]]
    assert list(errors) == ["BAD"] and errors["BAD"].args == ("BAD",)
    assert sorted(calls) == sorted(set(tickers)) and peak[0] == 3
    assert len(threads) == 3 and all(name.startswith(THREAD_NAME_PREFIX) for name in threads)
    shown = re.findall(r"(\d+)/(\d+) \[", capsys.readouterr().err)
    assert shown and {total for _, total in shown} == {"7"} and shown[-1][0] == "7"
    assert no_threads_left()


@pytest.mark.parametrize("stop", [KeyboardInterrupt, SystemExit])
def test_a_call_that_stops_the_program_stops_the_run(stop):
    raised = stop("from the call")
    started = []

    def fetch(ticker):
        started.append(ticker)
        if ticker == "C":
            raise raised
        time.sleep(0.05)
        return ticker

    with pytest.raises(stop) as excinfo:
        fetch_many(fetch, list("ABCDEFGHIJKLMNOP"), workers=2, progress=False)
    assert excinfo.value is raised
    assert len(started) < 16 and no_threads_left()


def test_the_tickers_own_errors_pass_through():
    failure = TypeError("reading the watch-list failed")

    def watch_list():
        yield "HPX"
        raise failure
    with pytest.raises(TypeError) as excinfo:
        fetch_many(pb.get_priceBars, watch_list(), *DATES, "D")
    assert excinfo.value is failure and str(failure) == "reading the watch-list failed"
    assert excinfo.traceback[-1].name == "watch_list"


def no_threads_left():
    return [t for t in threading.enumerate() if t.name.startswith(THREAD_NAME_PREFIX)] == []


# On a terminal, with progress=None: a short run, then one of over a second.
ON_A_TERMINAL = """
import sys, time
from quorvane.process_client import fetch_many

def slow(ticker):
    time.sleep(0.3)

fetch_many(len, ["HPX", "QVA"])
sys.stderr.write("|")
fetch_many(slow, ["A", "B", "C", "D"], workers=1)
"""


def test_progress_bar(sample, capsys):
    pytest.importorskip("tqdm")
    fetch_many(pb.get_priceBars, GOOD + ["NOPE"], *DATES, "D", progress=True)
    shown = capsys.readouterr().err
    assert f"{len(GOOD) + 1}/{len(GOOD) + 1}" in shown and "failed=1" in shown
    fetch_many(pb.get_priceBars, GOOD, *DATES, "D")  # stderr is no terminal: no bar
    assert capsys.readouterr().err == ""
    # A terminal: the short run leaves nothing, not even a blank line; the
    # long one keeps its bar.
    terminal, child_end = pty.openpty()
    with subprocess.Popen([PYTHON, "-c", ON_A_TERMINAL],
                          env=dict(os.environ, PYTHONPATH=ROOT), stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=child_end) as child:
        os.close(child_end)
        written = b""
        while True:
            try:
                chunk = os.read(terminal, 4096)
            except OSError:  # EIO: the child's end is closed
                break
            if not chunk:
                break
            written += chunk
    os.close(terminal)
    assert child.returncode == 0, written
    short, _, long = written.decode().partition("|")
    assert short == "" and re.search(r"^\rslow: .*\rslow: 100%[^\r]* 4/4 \[[^\r]*\]\r\n$", long)


# 200 calls on 4 threads, to a service that answers each after DELAY seconds
# or, with DELAY None, to one that never answers; "started" is printed once
# the first requests arrived. The first Ctrl-C is noted when the interpreter
# handles it: the parent's own delays on a loaded machine count for nothing.
CHILD = """
import json, signal, socket, threading, time
import quorvane.process_stock.priceBars as pb
import sample_service
from quorvane.process_stock import dividend, foreign, orderFlow
from quorvane.process_client import Client
from quorvane.process_client.batch import THREAD_NAME_PREFIX, fetch_many

DELAY = %r
if DELAY is None:
    listener = socket.create_server(("127.0.0.1", 0))
    held = []
    url = "http://127.0.0.1:%%d" %% listener.getsockname()[1]
    served = lambda: len(held)

    def accept():
        while True:
            held.append(listener.accept()[0])
    threading.Thread(target=accept, daemon=True).start()
    Client().login("t")
else:
    service = sample_service.SampleService(delay=DELAY).start()
    url = service.url
    served = lambda: service.requests_served

pb.base_url = url
signalled = {}

# Ctrl-C raises KeyboardInterrupt even where the test runs with it ignored
# (a background job), which the child would inherit.
def interrupt(signum, frame):
    if not signalled:
        signalled.update(served=served(), at=time.monotonic())
    raise KeyboardInterrupt

signal.signal(signal.SIGINT, interrupt)

def announce():
    while served() < 4:
        time.sleep(0.01)
    print("started", flush=True)

threading.Thread(target=announce, daemon=True).start()
try:
    fetch_many(pb.get_priceBars, ["T%%03d" %% i for i in range(200)], "2024-01-01", "2024-01-31",
               "D", workers=4, progress=False)
except KeyboardInterrupt:
    left = [t.name for t in threading.enumerate() if t.name.startswith(THREAD_NAME_PREFIX)]
    print(json.dumps({"left": left, "served": served(),
                      "served_when_signalled": signalled["served"],
                      "waited": time.monotonic() - signalled["at"]}), flush=True)
    if DELAY is None:
        raise
"""


@pytest.mark.parametrize("delay", [0.5, None], ids=["slow service", "silent service"])
def test_ctrl_c(delay):
    """Ctrl-C waits for the calls under way, then leaves no thread; against a
    service that never answers, a second Ctrl-C ends the program at once."""
    workers = 4
    with subprocess.Popen([PYTHON, "-c", CHILD % delay],
                          env=dict(os.environ, PYTHONPATH=ROOT), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline().strip() == "started"
            time.sleep(0.1)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            if delay is None:
                # Waiting for the four stalled calls, as long as they take.
                time.sleep(0.5)
                assert child.poll() is None
                sent = time.monotonic()
                child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=60)
            elapsed = time.monotonic() - sent
        finally:
            child.kill()
    if delay is None:
        assert child.returncode == -signal.SIGINT, err
        # Not held at exit by the threads of the stalled calls.
        assert elapsed < 2.0 and "_shutdown" not in err
        assert err.rstrip().endswith("KeyboardInterrupt")
        # The stalled calls' threads were still there; no other call started.
        assert json.loads(out)["served"] == workers
    else:
        assert child.returncode == 0, err
        report = json.loads(out)
        # The calls under way finished their request: at most one per thread
        # beyond those the service had seen, and at most one more per thread
        # that started before the calls not yet started were dropped. Nothing
        # else started: all 200 calls would take 25 s.
        assert report["left"] == []
        assert report["served"] <= report["served_when_signalled"] + 2 * workers
        assert report["waited"] < delay + 5
