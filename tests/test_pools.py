"""Beyond one process, against the sample service on 127.0.0.1: a Connection
that pickles, fetch_many on process pools, joblib's and Dask's executors,
and a guarded function sent by value. The pools start once per module, with
nothing set up in their workers: no address, login or connection. (A worker
set up by the environment alone: docs/processes.md's examples, which
test_readme.py runs.)"""

import _thread
import copy
import importlib
import multiprocessing
import pickle
import random
import signal
import threading
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from contextlib import ExitStack, suppress

import pandas as pd
import pytest

import pool_tasks
import quorvane.process_stock.priceBars as pb
import sample_service
from conftest import PYTHON, eventually
from quorvane.config.guard_access import guard_access
from quorvane.process_client import Connection, fetch_many, use_connection

ARGS = ("2024-03-01", "2024-03-31", "W")
WORKERS = 2


def start(kind, stack):
    if kind in ("spawn", "default"):  # default: fork up to CPython 3.13, then forkserver
        context = multiprocessing.get_context("spawn") if kind == "spawn" else None
        return stack.enter_context(ProcessPoolExecutor(WORKERS, mp_context=context))
    if kind == "threads":  # in the calling process itself
        return stack.enter_context(ThreadPoolExecutor(WORKERS))
    if kind == "joblib":
        loky = pytest.importorskip("joblib.externals.loky")
        # From the suite's interpreter, as multiprocessing's (see conftest).
        stack.enter_context(pytest.MonkeyPatch.context()).setattr(
            "joblib.externals.loky.backend.spawn._python_exe", PYTHON)
        return stack.enter_context(loky.get_reusable_executor(max_workers=WORKERS))
    distributed = pytest.importorskip("distributed")
    cluster = stack.enter_context(distributed.LocalCluster(
        n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=None))
    return stack.enter_context(distributed.Client(cluster)).get_executor()


@pytest.fixture(scope="module")
def pools():
    """Each kind of executor, started on first use, shut down after the module."""
    started = {}
    with ExitStack() as stack:
        yield lambda kind: started.get(kind) or started.setdefault(kind, start(kind, stack))


@pytest.mark.parametrize("cache", ["file", "redis"])
def test_a_pickled_connection_works_in_another_process(sample, pools, tmp_path, request, cache):
    cache = request.getfixturevalue("redis_url") if cache == "redis" else tmp_path / "answers"
    connection = Connection(timeout=(3.05, 30), retries=2, backoff=0.1, max_wait=5, pool_size=4,
                            cache=cache, cache_expiry=60, rate_limit=(50, 1),
                            rate_limit_store=tmp_path / "limits.sqlite")
    with use_connection(connection):
        expected = pb.get_priceBars("HPX", *ARGS)  # now in the cache
    assert sample_service.DEMO_TOKEN.encode() not in pickle.dumps(connection)
    for copied in (copy.copy(connection), copy.deepcopy(connection)):
        assert copied is not connection and repr(copied) == repr(connection)
        assert copied.cache_info().entries == 1
        copied.close()
        assert not connection.closed
    served = sample.requests_served
    # Not logged in there: only the cache can answer, as it does for the same address.
    shown, table = pools("spawn").submit(pool_tasks.bars_through, connection, sample.url,
                                         *ARGS).result(60)
    assert shown == repr(connection) and sample.requests_served == served
    pd.testing.assert_frame_equal(table, expected)
    connection.clear_cache()  # for every process
    assert connection.cache_info().entries == 0
    connection.close()


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("kind, chunksize", [
    ("spawn", 1), ("default", 7), ("joblib", 1), ("dask", 1), ("threads", 1)])
def test_on_an_executor_as_on_threads(sample, pools, monkeypatch, tmp_path, capsys, kind,
                                      chunksize):
    """100 tickers, 35 unknown, two given twice: the same tables, order and
    errors. The calling process's address, login and connection reach the
    workers: the cache answers every known ticker, and each worker sends the
    unknown ones over one connection of its own."""
    pytest.importorskip("tqdm")
    for i in range(60):
        monkeypatch.setitem(sample_service.TICKERS, f"S{i:03d}", (10.0 + i, 1000 * (i + 1)))
    tickers = list(sample_service.TICKERS) + [f"U{i:03d}" for i in range(35)]
    random.Random(25).shuffle(tickers)
    tickers[50:50] = tickers[3:5]
    with use_connection(timeout=30, cache=tmp_path / "answers"):
        on_threads = fetch_many(pb.get_priceBars, tickers, *ARGS, progress=False)
        served, accepted = sample.requests_served, sample.connections_accepted
        pooled = fetch_many(pb.get_priceBars, tickers, *ARGS, executor=pools(kind),
                            chunksize=chunksize, progress=True)
    assert len(on_threads.tables) == 65 and list(pooled.tables) == list(on_threads.tables)
    for ticker, table in on_threads.tables.items():
        pd.testing.assert_frame_equal(pooled.tables[ticker], table)
    assert [(t, type(e), str(e), e.status_code, e.text) for t, e in pooled.errors.items()] == \
        [(t, type(e), str(e), e.status_code, e.text) for t, e in on_threads.errors.items()]
    assert sample.requests_served - served == 35
    assert sample.connections_accepted - accepted <= WORKERS
    assert "100/100" in capsys.readouterr().err


@pytest.mark.parametrize("function", [
    # Pickles, but would not unpickle in the calling process, breaking the
    # pool: it comes back as a RuntimeError, with its status and text.
    pool_tasks.refusing,
    # Defined here: a worker cannot import it, so no ticker can be fetched.
    lambda ticker, *args: pb.get_priceBars(ticker, *args),
])
def test_what_pickling_would_lose_ends_in_errors(sample, pools, function):
    tables, errors = fetch_many(function, ["HPX", "RAA", "RBB"], *ARGS, executor=pools("spawn"),
                                progress=False)
    if function is pool_tasks.refusing:
        assert list(tables) == ["HPX"] and str(errors["RAA"]).startswith(
            "pool_tasks.Refusal: refused: 403")
        assert (type(errors["RBB"]), errors["RBB"].status_code, errors["RBB"].text) == (
            RuntimeError, 403, "not for you: RBB")
    else:  # the executor's own error, for each ticker of the task it could not send
        assert tables == {} and list(errors) == ["HPX", "RAA", "RBB"]
        assert all(isinstance(error, pickle.PicklingError) and "<lambda>" in str(error)
                   for error in errors.values())
    assert fetch_many(pb.get_priceBars, ["HPX"], *ARGS, executor=pools("spawn")).ok


# A user's script: run as __main__, its functions go by value.
SCRIPT = """
from quorvane.config import set_base_url
from quorvane.config.guard_access import guard_access
from quorvane.process_client import Client
from quorvane.process_stock.priceBars import get_priceBars

@guard_access
def closes(*args):
    return list(get_priceBars(*args)["Close"])

def task(url, token, *args):  # in a worker: without a login, then with one
    set_base_url(url)
    Client().logout()
    try:
        refused = closes(*args)
    except Exception as error:
        refused = str(error)
    Client().login(token)
    try:
        return refused, closes(*args)
    finally:
        Client().logout()
"""


@pytest.mark.parametrize("kind", ["joblib", "dask"])
def test_a_guarded_function_of_a_script_guards_in_the_worker(sample, pools, kind):
    """cloudpickle (joblib's, Dask's) sends the script's functions by value:
    the copy that a worker rebuilds from the guard's code checks the
    worker's own login. What the interpreter imports goes by reference,
    and pickle sends a guarded function of a module by name."""
    script = {"__name__": "__main__"}
    exec(SCRIPT, script)
    picklers = [pytest.importorskip("cloudpickle")]
    with suppress(ImportError):  # joblib up to 1.5 has a copy of its own
        picklers.append(importlib.import_module("joblib.externals.cloudpickle"))
    for pickler in picklers:
        assert pickler.loads(pickler.dumps(script["closes"])) is not script["closes"]
        assert pickler.loads(pickler.dumps(pb.get_priceBars)) is pb.get_priceBars
        assert pickler.loads(pickler.dumps(guard_access)) is guard_access
    assert pickle.loads(pickle.dumps(pool_tasks.guarded_bars)) is pool_tasks.guarded_bars
    refused, closes = pools(kind).submit(script["task"], sample.url, sample_service.DEMO_TOKEN,
                                         "HPX", *ARGS).result(60)
    assert refused == "Chưa đăng nhập. Vui lòng đăng nhập trước."
    assert closes == list(pb.get_priceBars("HPX", *ARGS)["Close"])


@pytest.mark.parametrize("kind", ["spawn", "dask"])
def test_ctrl_c_cancels_the_tasks_not_started(sample, pools, kind):
    executor = pools(kind)
    # Ctrl-C raises KeyboardInterrupt even where the suite runs as a
    # background job (whose shell has it ignored).
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    sample.delay = 0.2  # 30 tickers on 2 workers: 3 s at least
    stop, seen = threading.Event(), []

    def interrupt():  # as Ctrl-C would, to this process only
        if eventually(lambda: sample.requests_served >= WORKERS or stop.is_set(), 60):
            seen.extend([sample.requests_served, time.monotonic()])
            if not stop.is_set():
                _thread.interrupt_main()
    watcher = threading.Thread(target=interrupt, daemon=True)
    watcher.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            fetch_many(pb.get_priceBars, [f"U{i:02d}" for i in range(30)], *ARGS,
                       executor=executor, progress=False)
        assert time.monotonic() - seen[1] < 2.0
    finally:
        stop.set()
        watcher.join()
        signal.signal(signal.SIGINT, handler)
    # Once the tasks under way end, nothing more arrives (else 10 a second):
    # at most each worker's call, one more each handed over, and one queued.
    assert eventually(lambda: time.monotonic() - sample.arrivals[-1] > 0.8, 10)
    assert sample.requests_served <= seen[0] + 2 * WORKERS + 1
