"""How much the native functions cost on top of the libraries they call.

    python bench/bench.py [--quick] [--json PATH]
                          [--peers-only | --connection-only | --processes-only |
                           --notebook-only | --whole-market-only] [--whole-market]

1. Own overhead: each native function against its plain-Python twin
   (bench/reference.py), both with `Client`, `requests`, `pd` and `np`
   rebound in their modules to the same trivial stand-ins (bench/cases.py,
   which every part shares), so that only the functions' own steps
   (look-ups, calls, argument handling) are timed.
2. End to end: calls per second against the sample service on 127.0.0.1 with
   the real requests and pandas, and the share of a call that is our own.
3. The login guard: decoration and a guarded call, against a plain-Python
   decorator, with a stand-in and with the real login client.
4. Import time of each module in a fresh interpreter (its dependencies
   already imported), beside the import time of pandas itself.
5. Native, Cython and plain Python side by side, times and callgrind
   instruction counts (bench/peers.py; `--peers-only` runs just this).
6. Time limits, retries and many tickers: calls plain and through a
   Connection, many tickers one after another and through fetch_many
   (bench/sending.py; `--connection-only` runs just this).
7. Beyond one process: a warm re-run of 100 tickers x 5 functions from a
   shared cache on threads, on ProcessPoolExecutor(2) and on a 2-worker Dask
   cluster (bench/processes.py; `--processes-only` runs just this); with
   `--whole-market`, also a whole market's warm re-run (1,600 tickers x 5
   functions) on a process pool from one shared cache, a file and Redis,
   beside the floor's time for the same calls (4 to 7 minutes;
   `--whole-market-only` runs just this).
8. A notebook run again: 100 tickers x 5 daily functions, cold and warm, each
   run a new interpreter, ours (threads, a process pool, one call after
   another) against the twin a user could write with requests-cache and pandas (bench/twin.py) and the
   floor, our table steps on answers already decoded (bench/floor.py);
   callgrind's instructions per warm call (bench/notebook.py;
   `--notebook-only` runs just this).
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [ROOT, HERE]

import pandas  # noqa: E402

import notebook  # noqa: E402
import peers  # noqa: E402
import processes  # noqa: E402
import reference  # noqa: E402
import sending  # noqa: E402
from cases import (  # noqa: E402
    CASES, DATA_MODULES, STANDINS, Rebound, StandInClient, guard_module, target)
from quorvane.process_client.login import Client  # noqa: E402
from sample_service import DEMO_TOKEN, SampleService  # noqa: E402

MODULE_NAMES = [module.__name__ for module in DATA_MODULES] + [guard_module.__name__]


# ---- timing -------------------------------------------------------------------

def timers(pairs, repeats, seconds):
    """Per-call times (s) of several statements, repeats interleaved so that
    drift of the machine hits all of them alike."""
    prepared = []
    for fn, args, kwargs in pairs:
        names = {"f": fn, **{f"a{i}": a for i, a in enumerate(args)}, **kwargs}
        call = ", ".join([f"a{i}" for i in range(len(args))] + [f"{k}={k}" for k in kwargs])
        timer = timeit.Timer(f"f({call})", globals=names)
        number = max(1, int(seconds / max(timer.timeit(200) / 200, 1e-9)))
        prepared.append((timer, number, []))
    for _ in range(repeats):
        for timer, number, times in prepared:
            times.append(timer.timeit(number) / number)
    return [times for _, _, times in prepared]


def summary(times):
    return {"min_us": min(times) * 1e6, "median_us": statistics.median(times) * 1e6}


def compare(native, python):
    n, p = summary(native), summary(python)
    return {"native": n, "python": p,
            "ratio_min": n["min_us"] / p["min_us"],
            "ratio_median": n["median_us"] / p["median_us"]}


def own_overhead(repeats, seconds):
    rows = {}
    with Rebound(DATA_MODULES + [reference], STANDINS):
        for name, module, attr, args in CASES:
            native, python = timers([(getattr(module, attr), args, {}),
                                     (getattr(reference, attr), args, {})], repeats, seconds)
            rows[name] = compare(native, python)
    return rows


def guard(repeats, seconds):
    rows = {}
    decorate = timers([(guard_module.guard_access, (target,), {}),
                       (reference.guard_access, (target,), {})], repeats, seconds)
    rows["decoration"] = compare(*decorate)
    native_guarded = guard_module.guard_access(target)
    python_guarded = reference.guard_access(target)
    direct, = timers([(target, (1,), {"key": 2})], repeats, seconds)
    rows["direct call"] = summary(direct)
    Client().login(DEMO_TOKEN)  # the real client lets the call through
    try:
        for label, client in (("call, stand-in Client", StandInClient),
                              ("call, real Client", Client)):
            with Rebound([guard_module, reference], {"Client": client}):
                native, python = timers([(native_guarded, (1,), {"key": 2}),
                                         (python_guarded, (1,), {"key": 2})], repeats, seconds)
            row = rows[label] = compare(native, python)
            # What the guard adds to calling target(1, key=2) directly.
            added = [statistics.median(t) - statistics.median(direct) for t in (native, python)]
            row.update(added_native_us=added[0] * 1e6, added_python_us=added[1] * 1e6,
                       ratio_added=added[0] / added[1])
    finally:
        Client().logout()
    return rows


def end_to_end(calls):
    rows = {}
    with SampleService() as service, \
            Rebound(DATA_MODULES + [reference], {"base_url": service.url}):
        Client().login(DEMO_TOKEN)
        try:
            for name, module, attr, args in CASES:
                fn = getattr(module, attr)
                # The twin must do what the native function does.
                pandas.testing.assert_frame_equal(fn(*args), getattr(reference, attr)(*args))
                fn(*args)  # warm-up: pandas' lazy imports and caches
                times = []
                for _ in range(calls):
                    start = time.perf_counter()
                    fn(*args)
                    times.append(time.perf_counter() - start)
                median = statistics.median(times)
                rows[name] = {"calls_per_s": 1 / median, "median_ms": median * 1e3,
                              "min_ms": min(times) * 1e3, "rows": len(fn(*args))}
        finally:
            Client().logout()
    return rows


IMPORT_ONE = """
import time, functools, datetime
import numpy, pandas, requests
import quorvane.process_client.login, quorvane.config.config
start = time.perf_counter()
import {module}
print(time.perf_counter() - start)
"""
IMPORT_PANDAS = """
import time
start = time.perf_counter()
import pandas
print(time.perf_counter() - start)
"""


def import_times(repeats):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [ROOT] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))

    def run(code):
        times = [float(subprocess.run([sys.executable, "-c", code], env=env, check=True,
                                      capture_output=True, text=True).stdout)
                 for _ in range(repeats)]
        return {"min_ms": min(times) * 1e3, "median_ms": statistics.median(times) * 1e3}

    rows = {name: run(IMPORT_ONE.format(module=name)) for name in MODULE_NAMES}
    rows["pandas"] = run(IMPORT_PANDAS)
    return rows


# ---- report -------------------------------------------------------------------

def report(results):
    own, e2e, grd, imp = (results[k] for k in ("own_overhead", "end_to_end", "guard", "imports"))
    print(f"\nOwn overhead per call, median of {results['repeats']} repeats; stand-ins for "
          f"Client/requests/pandas/numpy,\nwhose own cost (the same on both sides) is included; "
          f"share = native time / end-to-end time")
    print(f"{'function':<24}{'native us':>11}{'python us':>11}{'ratio min':>11}"
          f"{'ratio med':>11}{'e2e ms':>9}{'calls/s':>9}{'share':>8}")
    for name, row in own.items():
        e = e2e[name]
        share = results["share_pct"][name] / 100
        print(f"{name:<24}{row['native']['median_us']:>11.2f}{row['python']['median_us']:>11.2f}"
              f"{row['ratio_min']:>11.2f}{row['ratio_median']:>11.2f}{e['median_ms']:>9.2f}"
              f"{e['calls_per_s']:>9.0f}{share:>8.3%}")
    print("\nLogin guard on target(1, key=2); added = guarded call - direct call")
    print(f"{'':<24}{'native us':>11}{'python us':>11}{'ratio min':>11}{'ratio med':>11}"
          f"{'added n/p us':>16}")
    for label in ("decoration", "call, stand-in Client", "call, real Client"):
        row = grd[label]
        added = (f"{row['added_native_us']:.2f}/{row['added_python_us']:.2f}"
                 if "added_native_us" in row else "")
        print(f"{label:<24}{row['native']['median_us']:>11.2f}{row['python']['median_us']:>11.2f}"
              f"{row['ratio_min']:>11.2f}{row['ratio_median']:>11.2f}{added:>16}")
    print(f"{'direct call':<24}{grd['direct call']['median_us']:>11.2f}")
    print("\nImport time in a fresh interpreter, dependencies already imported (ms)")
    for name, row in imp.items():
        print(f"{name:<36}{row['min_ms']:>8.2f} min{row['median_ms']:>8.2f} median")

    misses = [f"{name}: ratio {row['ratio_median']:.2f} > 0.5"
              for name, row in list(own.items()) + [(k, grd[k]) for k in
                                                    ("decoration", "call, stand-in Client")]
              if row["ratio_median"] > 0.5]
    misses += [f"{name}: share {pct:.3f}% >= 1%"
               for name, pct in results["share_pct"].items() if pct >= 1]
    results["target_misses"] = misses
    print("\nTargets (ratio <= 0.5, share < 1%):", "met" if not misses else "; ".join(misses))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer repeats in every part (docs/speed.md: how long each takes)")
    parser.add_argument("--json", default=os.path.join(HERE, "results.json"),
                        help="where to write the figures (default bench/results.json)")
    peers.add_options(parser)
    sending.add_options(parser)
    processes.add_options(parser)
    notebook.add_options(parser)
    opts = parser.parse_args()
    repeats, seconds, calls, imports = (5, 0.02, 10, 3) if opts.quick else (7, 0.1, 40, 7)

    started = time.perf_counter()
    # A part of its own: (key in the results, its module).
    only = [("peers", peers)] if opts.peers_only else \
        [("connection", sending)] if opts.connection_only else \
        [("processes", processes)] if opts.processes_only or opts.whole_market_only else \
        [("notebook", notebook)] if opts.notebook_only else None
    if only:
        results = {"python": platform.python_version(), "quick": opts.quick}
    else:
        results = {
            "python": platform.python_version(), "quick": opts.quick, "repeats": repeats,
            "own_overhead": own_overhead(repeats, seconds),
            "guard": guard(repeats, seconds),
            "end_to_end": end_to_end(calls),
            "imports": import_times(imports),
        }
        results["share_pct"] = {
            name: 100 * row["native"]["median_us"] / 1e3 / results["end_to_end"][name]["median_ms"]
            for name, row in results["own_overhead"].items()}
        report(results)
    for key, part in only or [("peers", peers), ("connection", sending),
                              ("processes", processes), ("notebook", notebook)]:
        results[key] = part.run(opts, opts.quick)
        part.report(results[key])
    results["seconds"] = time.perf_counter() - started
    with open(opts.json, "w") as out:
        json.dump(results, out, indent=2)
    print(f"\n{results['seconds']:.0f} s; figures written to {opts.json}")


if __name__ == "__main__":
    main()
