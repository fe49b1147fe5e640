"""Beyond one process: a warm re-run of TICKERS tickers x the five functions,
every answer already in a shared cache file, so that the time is the work of
pandas, which threads cannot spread over the cores.

The sample service (with extra synthetic tickers T000, T001, ...) runs in a
process of its own; a run fills the cache file first. Then each way fetches
the 5 x TICKERS tables with fetch_many through a Connection on that file:

- 8 threads in this process;
- ProcessPoolExecutor(2), with the interpreter's default start method;
- a Dask LocalCluster of 2 worker processes (one thread each), through
  Client.get_executor(), with one ticker to a task and then CHUNK.

Wall time of each run (best and first of `repeats`: the first includes each
worker's first task, which binds the connection and opens the file), the CPU
time of this process and of the workers (with psutil, which Dask brings),
and the start-up of the pool or cluster apart: from its creation until
every worker has imported the five data functions.
"""

import importlib
import multiprocessing
import os
import tempfile
import time

TICKERS = 100
WORKERS = 2
# Tickers to a task in the last run on Dask.
CHUNK = 10
FROM, TO = "2024-01-01", "2024-06-30"
# (module, function, the arguments after the ticker): every time series
# regrouped by week, as in bench.py.
FUNCTIONS = [
    ("priceBars", "get_priceBars", (FROM, TO, "W")),
    ("orderFlow", "get_order_flow", (FROM, TO, "W")),
    ("foreign", "get_foreign", (FROM, TO, "W", 1e9)),
    ("dealerDesk", "get_dealerDesk", (FROM, TO, "W", 1e9)),
    ("dividend", "get_dividend", ("2022-01-01", "2024-06-30")),
]


def ready(pause=0.0):
    """In a worker: imports the data functions; its process id."""
    for module, _, _ in FUNCTIONS:
        importlib.import_module("quorvane.process_stock." + module)
    time.sleep(pause)
    return os.getpid()


def wait_until_ready(executor, workers):
    """The process ids of `workers` processes of `executor`, once ready."""
    pids = set()
    while len(pids) < workers:
        pids.update(executor.map(ready, [0.05] * (2 * workers)))
    return pids


def cpu_of(pids):
    """CPU seconds used so far by the processes `pids`; None for none, or
    without psutil."""
    try:
        import psutil
    except ImportError:
        return None
    if not pids:
        return None
    return sum(sum(psutil.Process(pid).cpu_times()[:2]) for pid in pids)


def re_run(executor, names, chunksize=1):
    """Seconds to fetch every table, and how many came back (tables, errors)."""
    from quorvane.process_client import fetch_many

    start = time.perf_counter()
    tables = errors = 0
    for module, name, args in FUNCTIONS:
        function = getattr(importlib.import_module("quorvane.process_stock." + module), name)
        options = ({"executor": executor, "chunksize": chunksize} if executor is not None
                   else {"workers": 8})
        result = fetch_many(function, names, *args, progress=False, **options)
        tables += len(result.tables)
        errors += len(result.errors)
    return time.perf_counter() - start, tables, errors


def run(bench, opts, quick):
    from concurrent.futures import ProcessPoolExecutor

    from quorvane.process_client import Connection, use_connection
    from sending import ServiceProcess

    repeats = 2 if quick else 3
    names = [f"T{i:03d}" for i in range(TICKERS)]
    figures = {"tickers": TICKERS, "functions": len(FUNCTIONS), "workers": WORKERS,
               "repeats": repeats, "start_method": multiprocessing.get_start_method(),
               "ways": {}}
    with ServiceProcess(bench.ROOT, TICKERS, 0.0) as service, \
            bench.Rebound(bench.DATA_MODULES, {"base_url": service.url}), \
            tempfile.TemporaryDirectory() as folder:
        bench.Client().login(bench.DEMO_TOKEN)
        connection = Connection(timeout=(3.05, 30), retries=3,
                                cache=os.path.join(folder, "answers.sqlite"))
        try:
            with use_connection(connection):
                figures["cold_s"], tables, errors = re_run(None, names)
                figures["tables"], figures["errors"] = tables, errors

                def measure(label, executor, start_up, chunksize=1, pids=()):
                    times, cpu, worker_cpu = [], [], []
                    load = os.getloadavg()[0]
                    for _ in range(repeats):
                        before, workers_before = time.process_time(), cpu_of(pids)
                        seconds, got, failed = re_run(executor, names, chunksize)
                        cpu.append(time.process_time() - before)
                        if workers_before is not None:
                            worker_cpu.append(cpu_of(pids) - workers_before)
                        assert (got, failed) == (tables, errors), (label, got, failed)
                        times.append(seconds)
                    figures["ways"][label] = {
                        "start_up_s": start_up, "first_s": times[0], "best_s": min(times),
                        "caller_cpu_s": min(cpu), "load": load,
                        "workers_cpu_s": min(worker_cpu) if worker_cpu else None}

                measure("threads (8)", None, None)
                begin = time.perf_counter()
                with ProcessPoolExecutor(WORKERS) as pool:
                    pids = wait_until_ready(pool, WORKERS)
                    measure(f"ProcessPoolExecutor({WORKERS})", pool, time.perf_counter() - begin,
                            pids=pids)
                try:
                    from distributed import Client as DaskClient, LocalCluster
                except ImportError:
                    figures["dask"] = "distributed is not installed"
                else:
                    begin = time.perf_counter()
                    with LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                            DaskClient(cluster) as dask:
                        pids = set(dask.run(ready).values())
                        start_up = time.perf_counter() - begin
                        executor = dask.get_executor()
                        measure(f"Dask LocalCluster({WORKERS} workers)", executor, start_up,
                                pids=pids)
                        measure(f"  the same, chunksize={CHUNK}", executor, None, CHUNK, pids)
        finally:
            connection.close()
            bench.Client().logout()
    return figures


def add_options(parser):
    group = parser.add_argument_group("beyond one process")
    group.add_argument("--processes-only", action="store_true", help="run only this part")


def report(figures):
    count = figures["functions"] * figures["tickers"]
    print(f"\nwarm re-run of {figures['tickers']} tickers x {figures['functions']} functions "
          f"({figures['tables']} tables, {figures['errors']} without records) from a shared "
          f"cache file; filling it: {figures['cold_s']:.2f} s; default start method: "
          f"{figures['start_method']}")
    print(f"{'':<34}{'start-up s':>11}{'first run s':>12}{'best run s':>11}{'tables/s':>10}"
          f"{'CPU s here':>11}{'in workers':>11}{'load':>6}")
    for label, row in figures["ways"].items():
        start_up = "" if row["start_up_s"] is None else f"{row['start_up_s']:.2f}"
        workers = "" if row["workers_cpu_s"] is None else f"{row['workers_cpu_s']:.2f}"
        print(f"  {label:<32}{start_up:>11}{row['first_s']:>12.2f}{row['best_s']:>11.2f}"
              f"{count / row['best_s']:>10.0f}{row['caller_cpu_s']:>11.2f}{workers:>11}"
              f"{row['load']:>6.1f}")
    print("  (CPU s: the least of the runs, of this process with all its threads and of the "
          "workers;\n  load: the machine's 1-minute load average before the runs)")
    if "dask" in figures:
        print(f"  (Dask: {figures['dask']})")
