"""A notebook run again: ours against the twin (twin.py) and the floor
(floor.py), in the same run.

TICKERS tickers x the five functions (cases.DAILY: 500 daily tables),
against the sample service in a process of its own (with the synthetic
tickers T000, T001, ...). Every run is a new interpreter, as a notebook run
again is: its imports and login are done before its clock starts; the clock
runs from opening the cache (and starting the pool) until every table is in
hand (and the pool is shut down). Each way, cold (a new, empty cache file)
and warm (the file that its first cold run filled):

- ours, fetch_many on its 8 threads, through a Connection with the cache;
- ours, fetch_many on ProcessPoolExecutor(WORKERS), CHUNK tickers to a task,
  the pool's start-up included;
- the twin, minimal and fair, one call after another;
- warm only, ours one call after another through the cached Connection
  (no fetch_many): the cache's hit without the threads, as the twin calls;
- warm only, the floor: our five functions one call after another on
  answers already decoded (no I/O, no cache).

Runs interleaved, the best of 5 kept (with --quick, of 3 warm runs and one
cold). Before any timing the fair twin's tables are checked equal to ours,
cold and warm. Then, where valgrind is present (not with --quick), the
instructions of one warm call of get_priceBars(..., "D"), counted with
callgrind over COUNTED calls (`--toggle-collect=starmap_next`,
PYTHONHASHSEED=0), as bench/peers.py counts its loops: ours through the
cached Connection, the twin's two ways and the floor's.

    python bench/notebook.py --child SPEC   (a run: started by the part, not by hand)
    python bench/notebook.py --count SPEC   (run by callgrind)
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if __name__ == "__main__":
    # A new interpreter: bench/ for twin.py and floor.py, nothing else.
    sys.path.insert(0, HERE)

TICKERS = 100
WORKERS = 2
CHUNK = 25
COUNTED = 20
THREADS, POOL = "ours, threads (8)", f"ours, ProcessPoolExecutor({WORKERS}), chunksize={CHUNK}"
ONE_BY_ONE = "ours, one call after another"
MINIMAL, FAIR, FLOOR = "twin, minimal", "twin, fair", "floor: our steps, decoded answers"
# (way, whose cache file it uses); the floor has none.
COLD = [(THREADS, "ours"), (POOL, "ours"), (MINIMAL, "twin"), (FAIR, "twin")]
WARM = COLD + [(ONE_BY_ONE, "ours"), (FLOOR, None)]
OURS = [THREADS, POOL, ONE_BY_ONE]


# ---- in the new interpreter ----------------------------------------------------

def _ours(spec):
    """Our data functions, the address set and logged in; all that a run
    needs imported."""
    import importlib

    import pandas  # noqa: F401
    from quorvane.process_client import Client, set_base_url
    functions = [getattr(importlib.import_module("quorvane.process_stock." + module), name)
                 for module, name, _ in spec["calls"]]
    set_base_url(spec["url"])
    Client().login(spec["token"])
    return functions


def child(spec):
    """One run of one way; prints its figures as JSON."""
    import resource

    way, tickers = spec["way"], spec["tickers"]
    calls = [(module, name, tuple(args)) for module, name, args in spec["calls"]]
    if way in OURS or way == FLOOR:
        functions = _ours(spec)
        from quorvane.process_client import Connection, fetch_many, use_connection
        if way == FLOOR:
            import floor
            stand_in = floor.load(spec["answers"])
        else:
            # requests-cache and our cache module: imported before the
            # clock starts, as the twin's requests-cache is.
            import quorvane.process_client.cache  # noqa: F401
        if way == POOL:
            from concurrent.futures import ProcessPoolExecutor
    else:
        import twin
    tables = []
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    start, cpu = time.perf_counter(), time.process_time()
    if way == THREADS:
        use_connection(Connection(timeout=(3.05, 30), retries=3, cache=spec["cache"]))
        for function, (_, _, args) in zip(functions, calls):
            result = fetch_many(function, tickers, *args, progress=False)
            assert result.ok, result.errors
            tables += result.tables.values()
    elif way == POOL:
        use_connection(Connection(timeout=(3.05, 30), retries=3, cache=spec["cache"]))
        with ProcessPoolExecutor(WORKERS) as pool:
            for function, (_, _, args) in zip(functions, calls):
                result = fetch_many(function, tickers, *args, executor=pool, chunksize=CHUNK,
                                    progress=False)
                assert result.ok, result.errors
                tables += result.tables.values()
    elif way in (ONE_BY_ONE, FLOOR):
        use_connection(stand_in if way == FLOOR else
                       Connection(timeout=(3.05, 30), retries=3, cache=spec["cache"]))
        for function, (_, _, args) in zip(functions, calls):
            for ticker in tickers:
                tables.append(function(ticker, *args))
    else:
        session = twin.Twin(spec["url"], spec["token"], spec["cache"], fair=way == FAIR)
        for module, _, args in calls:
            for ticker in tickers:
                tables.append(session.fetch(module, ticker, *args))
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    workers = (after.ru_utime + after.ru_stime) - (children.ru_utime + children.ru_stime)
    print(json.dumps({"seconds": seconds, "cpu_s": cpu, "workers_cpu_s": workers,
                      "tables": len(tables), "rows": sum(len(t) for t in tables)}))


def count(spec):
    """Runs under callgrind: COUNTED warm calls of the first function each
    way, a dump (os.getppid) after each loop."""
    from itertools import repeat, starmap

    import floor
    import twin
    from quorvane.process_client import Connection, use_connection
    function = _ours(spec)[0]
    endpoint, _, args = spec["calls"][0]
    args = (spec["tickers"][0], *args)
    n = spec["counted"]

    def loop(call, arguments):
        for _ in range(3):  # the first opens the file; the others warm what they use
            call(*arguments)
        list(starmap(call, repeat(arguments, n)))
        os.getppid()

    with use_connection(Connection(timeout=(3.05, 30), retries=3, cache=spec["ours_cache"])):
        loop(function, args)
    with use_connection(floor.load(spec["answers"])):
        loop(function, args)
    for fair in (False, True):
        loop(twin.Twin(spec["url"], spec["token"], spec["twin_cache"], fair).fetch,
             (endpoint, *args))


# ---- in the benchmark ------------------------------------------------------------

def _environment():
    import cases
    return dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=os.pathsep.join(
        [cases.ROOT] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))


def one_run(spec):
    """A run in a new interpreter: its figures, and the interpreter's whole
    life (start-up and imports included)."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", json.dumps(spec)],
                          env=_environment(), capture_output=True, text=True)
    life = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"the run {spec['way']!r} failed:\n{done.stderr[-3000:]}")
    figures = json.loads(done.stdout.splitlines()[-1])
    figures["process_s"] = life
    return figures


def same_tables(url, token, tickers, folder):
    """The fair twin's tables equal ours, cold and from the cache, for each
    function; the minimal twin's have the same rows."""
    import importlib

    import pandas

    import cases
    import twin
    from quorvane.process_client import Connection, use_connection
    fair = twin.Twin(url, token, os.path.join(folder, "twin.sqlite"), fair=True)
    minimal = twin.Twin(url, token, os.path.join(folder, "twin.sqlite"), fair=False)
    with cases.Rebound(cases.DATA_MODULES, {"base_url": url}), \
            Connection(timeout=(3.05, 30), retries=3,
                       cache=os.path.join(folder, "ours.sqlite")) as connection, \
            use_connection(connection):
        cases.Client().login(token)
        try:
            for _ in ("cold", "warm"):
                for module, name, args in cases.DAILY:
                    function = getattr(importlib.import_module("quorvane.process_stock." + module),
                                       name)
                    for ticker in tickers:
                        ours = function(ticker, *args)
                        pandas.testing.assert_frame_equal(fair.fetch(module, ticker, *args), ours)
                        assert len(minimal.fetch(module, ticker, *args)) == len(ours)
        finally:
            cases.Client().logout()
            fair.close()
            minimal.close()
    return len(cases.DAILY) * len(tickers)


def instructions(spec):
    """Instructions per warm call of each way; None without valgrind."""
    if not shutil.which("valgrind"):
        return None
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                        "--toggle-collect=starmap_next", "--dump-before=os_getppid",
                        f"--callgrind-out-file={out}/cg.out", sys.executable,
                        os.path.abspath(__file__), "--count", json.dumps(spec)],
                       env=_environment(), check=True, capture_output=True)
        counts = []
        names = [n for n in os.listdir(out) if n.startswith("cg.out.")]
        for name in sorted(names, key=lambda n: int(n.rsplit(".", 1)[1])):
            with open(os.path.join(out, name)) as dump:
                counts += [int(line.split()[1]) for line in dump if line.startswith("totals:")]
    ours, floor_, minimal, fair = (c / spec["counted"] for c in counts[:4])
    _, name, args = spec["calls"][0]
    return {"calls": spec["counted"], "call": f"{name}{(spec['tickers'][0], *args)}",
            "ours": ours, "floor": floor_, "twin_minimal": minimal, "twin_fair": fair,
            "ours_above_floor": ours - floor_}


def add_options(parser):
    group = parser.add_argument_group("a notebook run again, ours against the twin")
    group.add_argument("--notebook-only", action="store_true", help="run only this part")


def run(opts, quick):
    import cases
    import floor
    from sending import ServiceProcess

    # Cold runs wait on the service; --quick times them once.
    repeats, cold_repeats = (3, 1) if quick else (5, 5)
    names = [f"T{i:03d}" for i in range(TICKERS)]
    figures = {"tickers": TICKERS, "functions": len(cases.DAILY), "repeats": repeats,
               "cold_repeats": cold_repeats,
               "calls": [[m, f, list(a)] for m, f, a in cases.DAILY],
               "load_before": os.getloadavg()}
    started = time.perf_counter()
    with ServiceProcess(cases.ROOT, TICKERS, 0.0) as service, \
            tempfile.TemporaryDirectory() as folder:
        base = {"url": service.url, "token": cases.DEMO_TOKEN, "tickers": names,
                "calls": figures["calls"], "answers": os.path.join(folder, "answers.pickle")}
        figures["checked_tables"] = same_tables(service.url, cases.DEMO_TOKEN, names[:3],
                                                folder)
        floor.fetch(service.url, cases.DEMO_TOKEN, names, cases.DAILY, base["answers"])
        warm = {}  # kind -> the file its first cold run filled
        cold = {way: [] for way, _ in COLD}
        for r in range(cold_repeats):
            for way, kind in COLD:
                place = tempfile.mkdtemp(dir=folder)
                cache = os.path.join(place, "cache.sqlite")
                cold[way].append(one_run(dict(base, way=way, cache=cache)))
                if kind not in warm:
                    warm[kind] = cache
                else:
                    shutil.rmtree(place)
        sent = len(service.arrivals())
        hot = {way: [] for way, _ in WARM}
        for r in range(repeats):
            for way, kind in WARM:
                hot[way].append(one_run(dict(base, way=way, cache=warm.get(kind))))
        figures["warm_requests"] = len(service.arrivals()) - sent
        figures["load_after"] = os.getloadavg()
        figures["ways"] = {}
        for way, _ in WARM:
            runs = hot[way]
            best = min(runs, key=lambda f: f["seconds"])
            assert all(f["tables"] == TICKERS * len(cases.DAILY) for f in runs), (way, runs)
            row = figures["ways"][way] = {
                "warm_s": best["seconds"], "warm_all_s": [f["seconds"] for f in runs],
                "warm_cpu_s": min(f["cpu_s"] + f["workers_cpu_s"] for f in runs),
                "process_s": min(f["process_s"] for f in runs), "rows": best["rows"]}
            if way in cold:
                row["cold_s"] = min(f["seconds"] for f in cold[way])
                row["cold_all_s"] = [f["seconds"] for f in cold[way]]
        figures["instructions"] = None
        if not quick and not getattr(opts, "no_callgrind", False):
            figures["instructions"] = instructions(dict(
                base, counted=COUNTED, ours_cache=warm["ours"], twin_cache=warm["twin"]))
    figures["seconds"] = time.perf_counter() - started
    # Warm: each way's best against the fair twin's, the minimal twin's and
    # the floor's.
    ways = figures["ways"]
    figures["ratios"] = {way: {against: ways[way]["warm_s"] / ways[against]["warm_s"]
                               for against in (FAIR, MINIMAL, FLOOR)}
                         for way in OURS + [FAIR, MINIMAL]}
    return figures


def report(figures):
    tables = figures["tickers"] * figures["functions"]
    print(f"\na notebook run again: {figures['tickers']} tickers x {figures['functions']} "
          f"functions ({tables} daily tables), each run a new interpreter (its imports before "
          f"the clock); best of {figures['repeats']} interleaved runs warm, "
          f"{figures['cold_repeats']} cold; the fair twin's tables "
          f"checked equal to ours ({figures['checked_tables']} cold and warm)")
    print(f"{'':<48}{'cold s':>8}{'warm s':>8}{'warm CPU s':>11}{'ms/table':>9}"
          f"{'process s':>10}")
    for way, row in figures["ways"].items():
        cold = f"{row['cold_s']:.2f}" if "cold_s" in row else ""
        print(f"  {way:<46}{cold:>8}{row['warm_s']:>8.2f}{row['warm_cpu_s']:>11.2f}"
              f"{row['warm_s'] / tables * 1e3:>9.2f}{row['process_s']:>10.2f}")
    print("  (warm CPU s: the least of the runs, the workers' included; process s: the new "
          "interpreter's whole life, warm, start-up and imports included)")
    print(f"  warm, against:{'':<33}{'twin, fair':>11}{'minimal':>9}{'floor':>7}")
    for way, ratios in figures["ratios"].items():
        print(f"    {way:<44}{ratios[FAIR]:>11.2f}{ratios[MINIMAL]:>9.2f}{ratios[FLOOR]:>7.2f}")
    before, after = figures["load_before"], figures["load_after"]
    print(f"  requests that reached the service during the warm runs: "
          f"{figures['warm_requests']}; load (1, 5, 15 min) before "
          f"{before[0]:.1f} {before[1]:.1f} {before[2]:.1f}, after "
          f"{after[0]:.1f} {after[1]:.1f} {after[2]:.1f}; {figures['seconds']:.0f} s")
    counted = figures["instructions"]
    if counted:
        print(f"  instructions per warm call of {counted['call']} (callgrind, "
              f"{counted['calls']} calls): ours {counted['ours'] / 1e6:.2f} M, twin minimal "
              f"{counted['twin_minimal'] / 1e6:.2f} M, twin fair {counted['twin_fair'] / 1e6:.2f} "
              f"M, floor {counted['floor'] / 1e6:.2f} M; ours above the floor (the cache's "
              f"hit) {counted['ours_above_floor'] / 1e6:.2f} M")
    else:
        print("  (instructions not counted: a quick run, --no-callgrind, or no valgrind)")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        child(json.loads(sys.argv[2]))
    elif len(sys.argv) == 3 and sys.argv[1] == "--count":
        count(json.loads(sys.argv[2]))
    else:
        sys.exit(__doc__)
