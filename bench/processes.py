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

With --whole-market (or --whole-market-only): a whole market run again,
MARKET_TICKERS tickers x the five functions by day (cases.DAILY), on
ProcessPoolExecutor(2) with MARKET_CHUNK tickers to a task, from one cache
shared by the workers: a file, then Redis (Debian's redis-server, started
as sending.py starts it, where it and the redis client are installed). Each
cache is filled once on its pool (the cold run), then the warm runs of every
way are interleaved, beside the floor for the same calls (floor.py: our
table steps on answers already decoded) on a pool of its own and in this
process alone.
"""

import importlib
import multiprocessing
import os
import tempfile
import time

TICKERS = 100
WORKERS = 2
# The whole market's re-run (--whole-market): tickers, tickers to a task, and
# the tickers whose decoded answers the floor keeps (for the others it
# answers with one of these: the same days and columns).
MARKET_TICKERS = 1600
MARKET_CHUNK = 50
MARKET_SAMPLE = 50
# Tickers to a task in the last run on Dask.
CHUNK = 10
FROM, TO = "2024-01-01", "2024-06-30"
# (module, function, the arguments after the ticker): every time series
# regrouped by week, as in cases.py.
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


def re_run(executor, names, chunksize=1, functions=FUNCTIONS, **options):
    """Seconds to fetch every table, and how many came back (tables, errors)."""
    from quorvane.process_client import fetch_many

    start = time.perf_counter()
    tables = errors = 0
    for module, name, args in functions:
        function = getattr(importlib.import_module("quorvane.process_stock." + module), name)
        options.update({"executor": executor, "chunksize": chunksize} if executor is not None
                       else {"workers": 8})
        result = fetch_many(function, names, *args, progress=False, **options)
        tables += len(result.tables)
        errors += len(result.errors)
    return time.perf_counter() - start, tables, errors


def run(opts, quick):
    figures = {}
    if not opts.whole_market_only:
        figures = re_runs(quick)
    if opts.whole_market or opts.whole_market_only:
        figures["whole_market"] = whole_market(quick)
    return figures


def re_runs(quick):
    from concurrent.futures import ProcessPoolExecutor

    import cases
    from quorvane.process_client import Connection, use_connection
    from sending import ServiceProcess

    repeats = 2 if quick else 3
    names = [f"T{i:03d}" for i in range(TICKERS)]
    figures = {"tickers": TICKERS, "functions": len(FUNCTIONS), "workers": WORKERS,
               "repeats": repeats, "start_method": multiprocessing.get_start_method(),
               "ways": {}}
    with ServiceProcess(cases.ROOT, TICKERS, 0.0) as service, \
            cases.Rebound(cases.DATA_MODULES, {"base_url": service.url}), \
            tempfile.TemporaryDirectory() as folder:
        cases.Client().login(cases.DEMO_TOKEN)
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
            cases.Client().logout()
    return figures


def whole_market(quick):
    """MARKET_TICKERS tickers x the five daily functions, warm, on
    ProcessPoolExecutor(WORKERS) from one shared cache (a file, and Redis
    where there is a server), against the floor for the same calls: on the
    same pool, and in one process one call after another."""
    from concurrent.futures import ProcessPoolExecutor

    import cases
    import floor
    from quorvane.process_client import Connection, use_connection
    from sending import ServiceProcess, redis_server

    repeats = 2 if quick else 3
    names = [f"T{i:03d}" for i in range(MARKET_TICKERS)]
    calls = len(names) * len(cases.DAILY)
    figures = {"tickers": MARKET_TICKERS, "functions": len(cases.DAILY), "workers": WORKERS,
               "chunksize": MARKET_CHUNK, "repeats": repeats, "floor_sample": MARKET_SAMPLE,
               "start_method": multiprocessing.get_start_method(),
               "load_before": os.getloadavg(), "ways": {}}
    started = time.perf_counter()
    redis = redis_server()
    pools, connections = {}, []
    with ServiceProcess(cases.ROOT, MARKET_TICKERS, 0.0) as service, \
            cases.Rebound(cases.DATA_MODULES, {"base_url": service.url}), \
            tempfile.TemporaryDirectory() as folder:
        cases.Client().login(cases.DEMO_TOKEN)
        try:
            stores = {"a file": os.path.join(folder, "answers.sqlite")}
            if redis is not None:
                stores["Redis"] = redis[0]
            else:
                figures["redis"] = "no redis-server or no redis client: the file only"
            answers = os.path.join(folder, "answers.pickle")
            floor.fetch(service.url, cases.DEMO_TOKEN, names[:MARKET_SAMPLE], cases.DAILY,
                        answers)
            # (label, pool or None, connection or None): each pool started, and
            # each cache filled on it, before the interleaved warm runs.
            ways = []
            for store, place in stores.items():
                connection = Connection(timeout=(3.05, 30), retries=3, cache=place)
                connections.append(connection)
                begin = time.perf_counter()
                pool = pools[store] = ProcessPoolExecutor(WORKERS)
                pids = wait_until_ready(pool, WORKERS)
                start_up = time.perf_counter() - begin
                seconds, tables, errors = re_run(pool, names, MARKET_CHUNK, cases.DAILY,
                                                 connection=connection)
                assert (tables, errors) == (calls, 0), (store, tables, errors)
                label = f"cache in {store}, ProcessPoolExecutor({WORKERS})"
                figures["ways"][label] = {"start_up_s": start_up, "cold_s": seconds}
                ways.append((label, pool, connection, pids))
            begin = time.perf_counter()
            pool = pools["floor"] = ProcessPoolExecutor(WORKERS, initializer=floor.bind,
                                                        initargs=(answers,))
            pids = wait_until_ready(pool, WORKERS)
            label = f"floor, ProcessPoolExecutor({WORKERS})"
            figures["ways"][label] = {"start_up_s": time.perf_counter() - begin}
            ways.append((label, pool, None, pids))
            ways.append(("floor, one process, one call after another", None, None, ()))
            stand_in = floor.load(answers)
            runs = {label: [] for label, _, _, _ in ways}
            for _ in range(repeats):
                for label, pool, connection, pids in ways:
                    before, workers_before = time.process_time(), cpu_of(pids)
                    if pool is not None:
                        seconds, tables, errors = re_run(pool, names, MARKET_CHUNK, cases.DAILY,
                                                         connection=connection)
                    else:
                        with use_connection(stand_in):
                            seconds, tables, errors = one_by_one(names)
                    assert (tables, errors) == (calls, 0), (label, tables, errors)
                    runs[label].append((seconds, time.process_time() - before,
                                        None if workers_before is None
                                        else cpu_of(pids) - workers_before))
            for label, done in runs.items():
                row = figures["ways"].setdefault(label, {})
                row.update(best_s=min(r[0] for r in done), all_s=[r[0] for r in done],
                           caller_cpu_s=min(r[1] for r in done),
                           workers_cpu_s=None if done[0][2] is None else min(r[2] for r in done))
        finally:
            for pool in pools.values():
                pool.shutdown()
            for connection in connections:
                connection.close()
            cases.Client().logout()
            if redis is not None:
                redis[1].kill()
                redis[1].wait()
    figures["load_after"] = os.getloadavg()
    figures["seconds"] = time.perf_counter() - started
    return figures


def one_by_one(names):
    """The daily calls for every ticker, one after another in this process."""
    import cases

    start = time.perf_counter()
    tables = 0
    for module, name, args in cases.DAILY:
        function = getattr(importlib.import_module("quorvane.process_stock." + module), name)
        for ticker in names:
            function(ticker, *args)
            tables += 1
    return time.perf_counter() - start, tables, 0


def add_options(parser):
    group = parser.add_argument_group("beyond one process")
    group.add_argument("--processes-only", action="store_true", help="run only this part")
    group.add_argument("--whole-market", action="store_true",
                       help=f"add a whole market's warm re-run ({MARKET_TICKERS} tickers x 5 "
                            "functions) from a shared cache file and Redis, beside the floor "
                            "(several minutes; see docs/speed.md)")
    group.add_argument("--whole-market-only", action="store_true",
                       help="run only the whole market's re-run")


def report(figures):
    if "ways" in figures:
        report_re_runs(figures)
    if "whole_market" in figures:
        report_whole_market(figures["whole_market"])


def report_whole_market(figures):
    calls = figures["tickers"] * figures["functions"]
    print(f"\na whole market run again: {figures['tickers']} tickers x {figures['functions']} "
          f"daily functions ({calls} calls), chunksize={figures['chunksize']}, start method "
          f"{figures['start_method']}; best of {figures['repeats']} interleaved warm runs; the "
          f"floor's answers those of {figures['floor_sample']} tickers, decoded")
    print(f"{'':<48}{'start-up s':>11}{'cold s':>8}{'warm s':>8}{'ms/call':>8}"
          f"{'/ floor':>8}{'CPU s here':>11}{'in workers':>11}")
    floor_s = figures["ways"][f"floor, ProcessPoolExecutor({figures['workers']})"]["best_s"]
    for label, row in figures["ways"].items():
        start_up = "" if row.get("start_up_s") is None else f"{row['start_up_s']:.2f}"
        cold = f"{row['cold_s']:.1f}" if "cold_s" in row else ""
        workers = "" if row["workers_cpu_s"] is None else f"{row['workers_cpu_s']:.2f}"
        print(f"  {label:<46}{start_up:>11}{cold:>8}{row['best_s']:>8.2f}"
              f"{row['best_s'] / calls * 1e3:>8.2f}{row['best_s'] / floor_s:>8.2f}"
              f"{row['caller_cpu_s']:>11.2f}{workers:>11}")
    before, after = figures["load_before"], figures["load_after"]
    print(f"  (/ floor: against the floor on the same pool) load (1, 5, 15 min) before "
          f"{before[0]:.1f} {before[1]:.1f} {before[2]:.1f}, after {after[0]:.1f} "
          f"{after[1]:.1f} {after[2]:.1f}; {figures['seconds']:.0f} s")
    if "redis" in figures:
        print(f"  ({figures['redis']})")


def report_re_runs(figures):
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
