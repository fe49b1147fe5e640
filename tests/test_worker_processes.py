"""A guarded function defined in a script goes to the worker processes of the
pools that pickle by value (cloudpickle: joblib's default backend, Dask),
alone or inside a task, and guards there as in the script; what the
interpreter imports stays pickled by reference (sample service)."""

import pytest

import sample_service
from conftest import in_child
from quorvane.process_stock.priceBars import get_priceBars

REFUSAL = "Chưa đăng nhập. Vui lòng đăng nhập trước."

SCRIPT = """
import contextlib, json, multiprocessing, os, pickle, sys
# The workers start as the suite's other child processes do: under
# emulation, through the launcher that QUORVANE_TEST_PYTHON names.
sys.executable = os.environ.get("QUORVANE_TEST_PYTHON") or sys.executable
multiprocessing.set_executable(sys.executable)
import cloudpickle
from quorvane.config.guard_access import guard_access
from quorvane.process_client import Client
from quorvane.process_stock.priceBars import get_priceBars

@guard_access
def closes(ticker):
    return list(get_priceBars(ticker, "2024-03-01", "2024-03-08", "D")["Close"])

def outcome(call, *args):
    try:
        return call(*args)
    except Exception as error:
        return [type(error).__name__, str(error)]

def task(ticker):
    # In a worker, which has no login of its own.
    refused = outcome(closes, ticker)
    Client().login({token!r})
    try:
        return [refused, closes(ticker)]
    finally:
        Client().logout()

@contextlib.contextmanager
def pool():
{pool}

if __name__ == "__main__":
    with pool() as run:
        shown = [outcome(run, task, ["HPX", "QVA"]), outcome(run, closes, ["HPX"])]
    shown.append([pickle.loads(pickle.dumps(closes)) is closes,
                  cloudpickle.loads(cloudpickle.dumps(closes)) is not closes,
                  cloudpickle.loads(cloudpickle.dumps(get_priceBars)) is get_priceBars,
                  cloudpickle.loads(cloudpickle.dumps(guard_access)) is guard_access])
    print(json.dumps(shown))
"""

POOLS = {
    "cloudpickle": ("cloudpickle", """
    yield lambda function, tickers: [cloudpickle.loads(cloudpickle.dumps(function))(ticker)
                                     for ticker in tickers]"""),
    "joblib": ("joblib", """
    from joblib import Parallel, delayed
    with Parallel(n_jobs=2) as parallel:
        yield lambda function, tickers: parallel(delayed(function)(ticker) for ticker in tickers)"""),
    "dask processes": ("dask", """
    import dask
    yield lambda function, tickers: list(dask.compute(
        *[dask.delayed(function)(ticker) for ticker in tickers], scheduler="processes"))"""),
    "dask cluster": ("distributed", """
    from distributed import Client as Scheduler, LocalCluster
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \\
            Scheduler(cluster) as scheduler:
        yield lambda function, tickers: scheduler.gather(scheduler.map(function, tickers, pure=False))"""),
}


@pytest.mark.parametrize("name", POOLS)
def test_guarded_function_of_a_script_in_worker_processes(sample, name):
    needed, pool = POOLS[name]
    pytest.importorskip(needed)
    script = SCRIPT.format(token=sample_service.DEMO_TOKEN, pool=pool.strip("\n"))
    shown = in_child(script, env={"QUORVANE_BASE_URL": sample.url}, timeout=300)
    closes = {ticker: list(get_priceBars(ticker, "2024-03-01", "2024-03-08", "D")["Close"])
              for ticker in ("HPX", "QVA")}
    assert shown == [
        [[["Exception", REFUSAL], closes[ticker]] for ticker in ("HPX", "QVA")],
        ["Exception", REFUSAL],  # sent alone, to a worker without a login
        [True, True, True, True],
    ]
