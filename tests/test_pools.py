"""Beyond one process: workers set up by the environment alone, a Connection
that pickles, and fetch_many on process pools and on joblib's and Dask's
executors, against the sample service on 127.0.0.1.

The pools are started once per module, with nothing set up in their
workers: no address, no login, no connection.
"""

import _thread
import base64
import copy
import multiprocessing
import os
import pickle
import random
import subprocess
import threading
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pandas as pd
import pytest

import pool_tasks
import quorvane.process_stock.priceBars as pb
import sample_service
from conftest import PYTHON, ROOT, eventually, in_child
from quorvane.process_client import Connection, fetch_many, use_connection

ARGS = ("2024-03-01", "2024-03-31", "W")
TESTS = os.path.dirname(os.path.abspath(__file__))
ENV_TOKEN = "env-token-8c1d5f2e9a4b"
WORKERS = 2


@pytest.fixture(scope="module")
def spawn():
    with ProcessPoolExecutor(WORKERS, mp_context=multiprocessing.get_context("spawn")) as pool:
        yield pool


@pytest.fixture(scope="module")
def default():
    """The start method that ProcessPoolExecutor picks: fork up to CPython
    3.13, forkserver from 3.14."""
    with ProcessPoolExecutor(WORKERS) as pool:
        yield pool


@pytest.fixture(scope="module")
def joblib():
    loky = pytest.importorskip("joblib.externals.loky")
    spawning = pytest.importorskip("joblib.externals.loky.backend.spawn")
    # loky starts its workers from sys.executable, which under emulation
    # cannot be run; the suite's interpreter can.
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(spawning, "_python_exe", PYTHON)
        executor = loky.get_reusable_executor(max_workers=WORKERS)
        yield executor
        executor.shutdown(wait=True)


@pytest.fixture(scope="module")
def dask():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        yield client.get_executor()


@pytest.fixture(scope="module")
def threads():
    """An executor in the calling process itself."""
    with ThreadPoolExecutor(WORKERS) as pool:
        yield pool


# ---- workers set up by the environment ---------------------------------------------

# A user's script with QUORVANE_BASE_URL and QUORVANE_TOKEN set and no set-up
# code, logging everything: a forkserver worker (the default of CPython 3.14
# and later) calls a data function and a guarded one. (README's examples do
# the same with spawn, joblib and Dask.)
ENVIRONMENT_ONLY = r"""
import json, logging, multiprocessing, os
from concurrent.futures import ProcessPoolExecutor

import pool_tasks
from quorvane.process_client import Client
from quorvane.process_stock.priceBars import get_priceBars

logging.basicConfig(level=logging.DEBUG)
if os.environ.get("QUORVANE_TEST_PYTHON"):  # under emulation sys.executable cannot be run
    multiprocessing.set_executable(os.environ["QUORVANE_TEST_PYTHON"])
TICKERS = ["HPX", "QVA", "MSR"]
ARGS = %r
COLUMNS = [[arg] * len(TICKERS) for arg in ARGS]

assert Client().token == os.environ["QUORVANE_TOKEN"]
expected = [get_priceBars(ticker, *ARGS) for ticker in TICKERS]
with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("forkserver")) as pool:
    got = [list(pool.map(function, TICKERS, *COLUMNS))
           for function in (get_priceBars, pool_tasks.guarded_bars)]
print(repr(Client()))
print(json.dumps([[table.equals(want) for table, want in zip(tables, expected)]
                  for tables in got]))
""" % (ARGS,)


def test_a_worker_set_up_by_the_environment_alone():
    with sample_service.SampleService(tokens=[ENV_TOKEN]) as service:
        done = subprocess.run(
            [PYTHON, "-c", ENVIRONMENT_ONLY], capture_output=True, text=True, timeout=100,
            env=dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT, TESTS]),
                     QUORVANE_BASE_URL=service.url, QUORVANE_TOKEN=ENV_TOKEN))
        assert done.returncode == 0, done.stderr
        assert service.requests_served == 3 * 3
    assert done.stdout.splitlines()[-1] == "[[true, true, true], [true, true, true]]"
    assert "GET /api/stock/priceBars?ticker=HPX" in done.stderr  # logged at DEBUG
    assert ENV_TOKEN not in done.stdout + done.stderr


# ---- a Connection that pickles -----------------------------------------------------

def test_a_pickled_connection_works_in_another_process(sample, tmp_path):
    connection = Connection(timeout=(3.05, 30), retries=2, backoff=0.1, max_wait=5, pool_size=4,
                            cache=tmp_path / "answers", cache_expiry=60, rate_limit=(50, 1))
    with use_connection(connection):
        expected = pb.get_priceBars("HPX", *ARGS)  # now in the cache
    data = pickle.dumps(connection)
    assert sample_service.DEMO_TOKEN.encode() not in data
    for copied in (copy.copy(connection), copy.deepcopy(connection)):
        assert copied is not connection and repr(copied) == repr(connection)
        assert copied.cache_info().entries == 1
        copied.close()
        assert not connection.closed
    served = sample.requests_served
    # Neither logged in nor told the address of the service: only the
    # cache can answer, as it does for the same address.
    report = in_child(f"""
        import base64, json, pickle
        from quorvane.process_client import use_connection
        from quorvane.process_stock import priceBars
        priceBars.base_url = {sample.url!r}
        connection = pickle.loads(base64.b64decode({base64.b64encode(data)!r}))
        with use_connection(connection):
            table = priceBars.get_priceBars("HPX", *{ARGS!r})
        print(json.dumps([repr(connection), base64.b64encode(pickle.dumps(table)).decode()]))
    """)
    assert report[0] == repr(connection)
    pd.testing.assert_frame_equal(pickle.loads(base64.b64decode(report[1])), expected)
    assert sample.requests_served == served
    connection.close()


# ---- fetch_many on an executor -----------------------------------------------------

def many_tickers(monkeypatch):
    """100 tickers in a mixed order, 65 of which the service knows, and two
    of them given twice."""
    for i in range(60):
        monkeypatch.setitem(sample_service.TICKERS, f"S{i:03d}", (10.0 + i, 1000 * (i + 1)))
    tickers = list(sample_service.TICKERS) + [f"U{i:03d}" for i in range(35)]
    random.Random(25).shuffle(tickers)
    return tickers[:50] + tickers[3:5] + tickers[50:]


def outcome(result):
    errors = [(ticker, type(error), str(error), getattr(error, "status_code", None),
               getattr(error, "text", None)) for ticker, error in result.errors.items()]
    return list(result.tables), errors


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("kind, chunksize", [
    ("spawn", 1), ("default", 7), ("joblib", 1), ("dask", 1), ("threads", 1)])
def test_on_an_executor_as_on_threads(sample, monkeypatch, request, tmp_path, capsys, kind,
                                      chunksize):
    """Same tables, order and errors; the address, login and connection of
    the calling process travel to workers that have none: the connection's
    cache answers every known ticker, and each worker sends the unknown ones
    over one connection of its own."""
    pytest.importorskip("tqdm")
    executor = request.getfixturevalue(kind)
    tickers = many_tickers(monkeypatch)
    with use_connection(timeout=30, cache=tmp_path / "answers"):
        on_threads = fetch_many(pb.get_priceBars, tickers, *ARGS, progress=False)
        served, accepted = sample.requests_served, sample.connections_accepted
        pooled = fetch_many(pb.get_priceBars, tickers, *ARGS, executor=executor,
                            chunksize=chunksize, progress=True)
    assert len(on_threads.tables) == 65 and len(on_threads.errors) == 35
    assert outcome(pooled) == outcome(on_threads)
    for ticker, table in on_threads.tables.items():
        pd.testing.assert_frame_equal(pooled.tables[ticker], table)
    assert sample.requests_served - served == 35
    assert sample.connections_accepted - accepted <= WORKERS
    shown = capsys.readouterr().err
    assert "100/100" in shown and "failed=35" in shown


@pytest.mark.parametrize("function, failure", [
    # Pickles, but would not unpickle in the calling process, where it would
    # break the pool: it comes back as a RuntimeError with the same status.
    (pool_tasks.refusing, RuntimeError),
    # Defined here, so a pickle of it names a module the workers cannot import.
    (lambda ticker, *args: pb.get_priceBars(ticker, *args), Exception),
], ids=["an exception that does not unpickle", "a function that does not pickle"])
def test_what_pickling_would_lose_ends_in_errors(sample, spawn, function, failure):
    tickers = ["HPX", "RAA", "QVA", "RBB"]
    tables, errors = fetch_many(function, tickers, *ARGS, executor=spawn, progress=False)
    if failure is RuntimeError:
        assert list(tables) == ["HPX", "QVA"] and list(errors) == ["RAA", "RBB"]
        assert type(errors["RAA"]) is RuntimeError
        assert "test_pools.Refusal" not in str(errors["RAA"])  # named by its module
        assert "pool_tasks.Refusal: refused: 403" in str(errors["RAA"])
        assert (errors["RBB"].status_code, errors["RBB"].text) == (403, "not for you: RBB")
    else:
        assert tables == {} and list(errors) == tickers
    # The pool still works.
    assert fetch_many(pb.get_priceBars, ["HPX"], *ARGS, executor=spawn, progress=False).ok


@pytest.mark.parametrize("kind", ["spawn", "dask"])
def test_ctrl_c_cancels_the_tasks_not_started(sample, request, kind):
    executor = request.getfixturevalue(kind)
    sample.delay = 0.2  # 30 tickers on 2 workers: 3 s at least
    stop = threading.Event()
    seen = []

    def interrupt():
        if eventually(lambda: sample.requests_served >= WORKERS or stop.is_set(), 60) \
                and not stop.is_set():
            seen.extend([sample.requests_served, time.monotonic()])
            _thread.interrupt_main()  # as Ctrl-C does, to this process only
    watcher = threading.Thread(target=interrupt, daemon=True)
    watcher.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            fetch_many(pb.get_priceBars, [f"U{i:02d}" for i in range(30)], *ARGS,
                       executor=executor, progress=False)
        interrupted = time.monotonic() - seen[1]
    finally:
        stop.set()
        watcher.join()
    assert interrupted < 2.0
    # The tasks under way end; without the cancelling, the others would go
    # on arriving, 10 a second.
    assert eventually(lambda: time.monotonic() - sample.arrivals[-1] > 0.8, 10)
    # Each worker's call under way, and at most one more each that the pool
    # had already handed over (and so started), and one it queued.
    assert sample.requests_served <= seen[0] + 2 * WORKERS + 1
