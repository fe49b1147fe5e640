"""Time limits, retries and many tickers: what a Connection and fetch_many
change end to end.

get_priceBars(..., "D") (pandas' shortest path, so that the sending shows
most) against the sample service started in a process of its own, so that
it does not share the benchmark's interpreter lock:

- `calls` calls one after another for one ticker, plain `requests` against
  one Connection;
- `tickers` distinct tickers one after another, and through fetch_many with
  8 threads, plain and through a Connection; on loopback, and against a
  service that answers each request after 20 ms.

Then the cache and the rate limit: `calls` repeated calls, plain, through a
Connection, and through a Connection whose cache already holds the answer,
on loopback and against a service that answers after 50 ms; and fetch_many
of 100 tickers on 8 threads through a Connection limited to 20 requests a
second, its elapsed time against the 5 s that 100 requests at 20 a second
take.

Then many processes: 2 processes sharing rate_limit=(20, 1) through a file
(and through Redis, where redis-server and the redis client are installed),
each fetching 50 tickers with fetch_many on 8 threads, against the time 100
requests take at exactly 20 a second, with the busiest second at the
service; and 4 processes starting the same 200 tickers together on one cold
cache file, the requests the service saw against the 200 answers.

Calls per second, best and median of interleaved runs, and the CPU time of
this process per call (all its threads). Where valgrind is present, also
the instructions of the calling process per call, plain and through a
Connection, counted with callgrind while itertools.starmap drives the calls
(`--toggle-collect=starmap_next`, a fixed PYTHONHASHSEED).
"""

import bisect
import glob
import json
import math
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

DELAY = 0.02
CACHE_DELAY = 0.05
LIMIT, LIMITED_TICKERS = (20, 1), 100
SHARING_PROCESSES, DUPLICATE_PROCESSES, DUPLICATE_TICKERS = 2, 4, 200

# The sample service with extra synthetic tickers T000, T001, ...; it prints
# its address, then the arrival times of the requests so far for each line
# it reads, and serves until its standard input closes.
SERVICE_PROCESS = r"""
import json, sys
from sample_service import SampleService, data
for i in range(%(extra)d):
    data.TICKERS.setdefault("T%%03d" %% i, (10.0 + i, 1_000_000 + 1_000 * i))
with SampleService(delay=%(delay)r) as service:
    print(service.url, flush=True)
    for line in sys.stdin:
        print(json.dumps(service.arrivals), flush=True)
"""

# One of several processes: fetch_many of `tickers` on 8 threads through a
# Connection with `options`, started when the go file appears; prints the
# time it finished (time.time) and the tickers that failed.
FETCHING_PROCESS = r"""
import json, os, sys, time
from quorvane.process_client import Client, Connection, fetch_many, use_connection
from quorvane.process_stock import priceBars
priceBars.base_url = %(url)r
Client().login(%(token)r)
use_connection(Connection(timeout=(3.05, 30), retries=3, **%(options)r))
print("ready", flush=True)
while not os.path.exists(%(go)r):
    time.sleep(0.001)
result = fetch_many(priceBars.get_priceBars, %(tickers)r, "2024-01-01", "2024-06-30", "D",
                    workers=8, progress=False)
print(json.dumps([time.time(), list(result.errors)]))
"""

# Run under callgrind: `calls` calls made plain, then `calls` calls through a
# Connection (after one call that opens it); os.getppid() dumps the count of
# each part.
COUNTED_CALLS = r"""
import os
from itertools import repeat, starmap
from quorvane.process_client import Client, Connection, use_connection
from quorvane.process_stock import priceBars
priceBars.base_url = %(url)r
Client().login(%(token)r)
args = %(args)r
for _ in range(3):
    priceBars.get_priceBars(*args)
list(starmap(priceBars.get_priceBars, repeat(args, %(calls)d)))
os.getppid()
with use_connection(Connection(timeout=(3.05, 30), retries=3)):
    priceBars.get_priceBars(*args)
    list(starmap(priceBars.get_priceBars, repeat(args, %(calls)d)))
os.getppid()
"""


def _environment(root):
    return dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=os.pathsep.join(
        [root] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))


class ServiceProcess:
    def __init__(self, root, extra_tickers, delay):
        self.root, self.extra, self.delay = root, extra_tickers, delay

    def __enter__(self):
        code = SERVICE_PROCESS % {"extra": self.extra, "delay": self.delay}
        self.process = subprocess.Popen([sys.executable, "-c", code],
                                        env=_environment(self.root), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        self.url = self.process.stdout.readline().strip()
        if not self.url:
            self.process.kill()
            raise RuntimeError("the sample service did not start")
        return self

    def arrivals(self):
        """When each request reached the service, by its time.monotonic()."""
        self.process.stdin.write("\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def __exit__(self, *exc):
        self.process.stdin.close()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def timed(work, options, warm_up=None):
    """(calls per second, CPU seconds of this process per call) of `work`,
    which returns the calls it made, sent plain (`options` None) or through
    a new Connection(**options) after `warm_up()`."""
    from quorvane.process_client import Connection, use_connection

    binding = None if options is None else use_connection(
        Connection(timeout=(3.05, 30), retries=3, **options))
    try:
        if warm_up is not None:
            warm_up()
        start, start_cpu = time.perf_counter(), time.process_time()
        done = work()
        return done / (time.perf_counter() - start), (time.process_time() - start_cpu) / done
    finally:
        if binding is not None:
            binding.restore()
            binding.connection.close()


def summary(per_s, cpu):
    return {"calls_per_s": max(per_s), "median_calls_per_s": statistics.median(per_s),
            "client_cpu_ms_per_call": min(cpu) * 1e3}


def rates(bench, calls, tickers, repeats):
    """Calls per second and CPU time per call, by service delay and run."""
    from quorvane.process_client import fetch_many

    fn, args = bench.priceBars.get_priceBars, (bench.TICKER, bench.FROM, bench.TO, "D")
    names = [f"T{i:03d}" for i in range(tickers)]

    def one_ticker():
        for _ in range(calls):
            fn(*args)
        return calls

    def sequential():
        for ticker in names:
            fn(ticker, *args[1:])
        return tickers

    def pooled():
        result = fetch_many(fn, names, *args[1:], workers=8, progress=False)
        assert result.ok, result.errors
        return tickers

    plans = [  # (service delay, row name, work, through a connection)
        (0.0, f"{calls} calls, plain requests", one_ticker, False),
        (0.0, f"{calls} calls, one Connection", one_ticker, True),
        (0.0, f"{tickers} tickers, sequential, plain", sequential, False),
        (0.0, f"{tickers} tickers, fetch_many 8 threads, plain", pooled, False),
        (0.0, f"{tickers} tickers, fetch_many 8 threads, Connection", pooled, True),
        (DELAY, f"{tickers} tickers, sequential, plain", sequential, False),
        (DELAY, f"{tickers} tickers, sequential, Connection", sequential, True),
        (DELAY, f"{tickers} tickers, fetch_many 8 threads, plain", pooled, False),
        (DELAY, f"{tickers} tickers, fetch_many 8 threads, Connection", pooled, True),
    ]
    sections = {}
    for wait in sorted({plan[0] for plan in plans}):
        title = f"service answers after {wait * 1e3:.0f} ms" if wait else "loopback"
        runs = [plan[1:] for plan in plans if plan[0] == wait]
        per_s = {name: [] for name, _, _ in runs}
        cpu = {name: [] for name, _, _ in runs}
        with ServiceProcess(bench.ROOT, tickers, wait) as service, \
                bench.Rebound(bench.DATA_MODULES, {"base_url": service.url}):
            bench.Client().login(bench.DEMO_TOKEN)
            try:
                fn(*args)  # warm-up
                for _ in range(repeats):
                    for name, work, through in runs:
                        rate, cpu_s = timed(work, {} if through else None)
                        per_s[name].append(rate)
                        cpu[name].append(cpu_s)
            finally:
                bench.Client().logout()
        sections[title] = {name: summary(per_s[name], cpu[name]) for name, _, _ in runs}
    return sections


def caching(bench, calls, repeats):
    """Calls per second of one repeated call: plain, through a Connection,
    and answered from a warm cache; by service delay."""
    fn, args = bench.priceBars.get_priceBars, (bench.TICKER, bench.FROM, bench.TO, "D")

    def repeated():
        for _ in range(calls):
            fn(*args)
        return calls
    sections = {}
    with tempfile.TemporaryDirectory() as folder:
        for wait in (0.0, CACHE_DELAY):
            title = f"service answers after {wait * 1e3:.0f} ms" if wait else "loopback"
            kinds = [("plain requests", None), ("one Connection", {}),
                     ("Connection, warm cache",
                      {"cache": os.path.join(folder, f"cache-{wait}.sqlite")})]
            per_s = {name: [] for name, _ in kinds}
            cpu = {name: [] for name, _ in kinds}
            with ServiceProcess(bench.ROOT, 0, wait) as service, \
                    bench.Rebound(bench.DATA_MODULES, {"base_url": service.url}):
                bench.Client().login(bench.DEMO_TOKEN)
                try:
                    fn(*args)  # warm-up
                    for _ in range(repeats):
                        for name, options in kinds:
                            # The first call opens the connection and fills the cache.
                            rate, cpu_s = timed(repeated, options, lambda: fn(*args))
                            per_s[name].append(rate)
                            cpu[name].append(cpu_s)
                finally:
                    bench.Client().logout()
            sections[title] = {f"{calls} calls, {name}": summary(per_s[name], cpu[name])
                               for name, _ in kinds}
    return sections


def rate_limited(bench):
    """fetch_many of LIMITED_TICKERS tickers on 8 threads through a
    Connection limited to LIMIT: elapsed seconds, and the time those
    requests take at exactly the limit's rate."""
    from quorvane.process_client import Connection, fetch_many, use_connection

    calls, per = LIMIT
    names = [f"T{i:03d}" for i in range(LIMITED_TICKERS)]
    with ServiceProcess(bench.ROOT, LIMITED_TICKERS, 0.0) as service, \
            bench.Rebound(bench.DATA_MODULES, {"base_url": service.url}):
        bench.Client().login(bench.DEMO_TOKEN)
        try:
            with use_connection(Connection(timeout=(3.05, 30), retries=3, rate_limit=LIMIT)):
                start = time.perf_counter()
                result = fetch_many(bench.priceBars.get_priceBars, names, bench.FROM, bench.TO,
                                    "D", workers=8, progress=False)
                elapsed = time.perf_counter() - start
            assert result.ok, result.errors
        finally:
            bench.Client().logout()
    return {"tickers": LIMITED_TICKERS, "limit": list(LIMIT), "workers": 8,
            "elapsed_s": elapsed, "ideal_s": LIMITED_TICKERS / calls * per,
            # A sliding window lets the first `calls` go at once.
            "earliest_s": (math.ceil(LIMITED_TICKERS / calls) - 1) * per}


def busiest_window(arrivals, seconds):
    """The most requests that arrived within any `seconds`-long window."""
    times = sorted(arrivals)
    return max(bisect.bisect_left(times, start + seconds) - i for i, start in enumerate(times))


def in_processes(root, url, token, lists, options):
    """Processes that fetch one list each at once, through a Connection
    with `options`: the seconds from the start to the last one's end."""
    with tempfile.TemporaryDirectory() as folder:
        go = os.path.join(folder, "go")
        children = [subprocess.Popen(
            [sys.executable, "-c", FETCHING_PROCESS % {
                "url": url, "token": token, "options": options, "go": go, "tickers": names}],
            env=_environment(root), stdout=subprocess.PIPE, text=True) for names in lists]
        try:
            for child in children:
                if child.stdout.readline() != "ready\n":
                    raise RuntimeError("a fetching process did not start")
            start = time.time()
            open(go, "w").close()
            ends = []
            for child in children:
                end, failed = json.loads(child.communicate(timeout=300)[0].splitlines()[-1])
                if failed:
                    raise RuntimeError(f"tickers failed: {failed}")
                ends.append(end)
        finally:
            for child in children:
                child.kill()
    return max(ends) - start


def redis_server():
    """(URL, process) of a redis-server on a free loopback port with nothing
    written to disk, or None where there is no server or no client."""
    program = shutil.which("redis-server")
    try:
        import redis  # noqa: F401
    except ImportError:
        return None
    if program is None:
        return None
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    process = subprocess.Popen([program, "--port", str(port), "--bind", "127.0.0.1", "--save",
                                "", "--appendonly", "no", "--dir", tempfile.gettempdir()],
                               stdout=subprocess.DEVNULL)
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return f"redis://127.0.0.1:{port}/0", process
        except OSError:
            time.sleep(0.01)
    process.kill()
    return None


def shared_limit(bench):
    """SHARING_PROCESSES processes sharing LIMIT, through a file and through
    Redis: seconds for LIMITED_TICKERS requests in all, and the most that
    reached the service in one window of the limit."""
    calls, per = LIMIT
    names = [f"T{i:03d}" for i in range(LIMITED_TICKERS)]
    lists = [names[i::SHARING_PROCESSES] for i in range(SHARING_PROCESSES)]
    rows = {}
    redis = redis_server()
    with ServiceProcess(bench.ROOT, LIMITED_TICKERS, 0.0) as service, \
            tempfile.TemporaryDirectory() as folder:
        stores = {"a file": os.path.join(folder, "limits.sqlite")}
        if redis is not None:
            stores["Redis"] = redis[0]
        try:
            for name, store in stores.items():
                first = len(service.arrivals())
                elapsed = in_processes(bench.ROOT, service.url, bench.DEMO_TOKEN, lists,
                                       {"rate_limit": LIMIT, "rate_limit_store": store})
                arrivals = service.arrivals()[first:]
                rows[name] = {"elapsed_s": elapsed, "requests": len(arrivals),
                              "busiest_window": busiest_window(arrivals, per)}
        finally:
            if redis is not None:
                redis[1].kill()
                redis[1].wait()
    return {"processes": SHARING_PROCESSES, "tickers": LIMITED_TICKERS, "limit": list(LIMIT),
            "workers": 8, "ideal_s": LIMITED_TICKERS / calls * per,
            "earliest_s": (math.ceil(LIMITED_TICKERS / calls) - 1) * per, "stores": rows}


def duplicate_fetches(root, processes=DUPLICATE_PROCESSES, tickers=DUPLICATE_TICKERS):
    """`processes` processes starting the same `tickers` tickers together on
    one cold cache file: the requests the service saw, against the distinct
    answers. `root` is the tree whose package the processes run."""
    from sample_service import DEMO_TOKEN
    names = [f"T{i:03d}" for i in range(tickers)]
    with ServiceProcess(root, tickers, 0.0) as service, \
            tempfile.TemporaryDirectory() as folder:
        elapsed = in_processes(root, service.url, DEMO_TOKEN, [names] * processes,
                               {"cache": os.path.join(folder, "c.sqlite")})
        requests = len(service.arrivals())
    return {"processes": processes, "distinct": tickers, "requests": requests,
            "elapsed_s": elapsed}


def instructions(bench, calls):
    """This process's instructions per call, plain and through a Connection;
    None without valgrind."""
    if not calls or not shutil.which("valgrind"):
        return None
    with ServiceProcess(bench.ROOT, 0, 0.0) as service, tempfile.TemporaryDirectory() as out:
        code = COUNTED_CALLS % {"url": service.url, "token": bench.DEMO_TOKEN, "calls": calls,
                                "args": (bench.TICKER, bench.FROM, bench.TO, "D")}
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                        "--toggle-collect=starmap_next", "--dump-before=os_getppid",
                        f"--callgrind-out-file={out}/cg.out", sys.executable, "-c", code],
                       env=_environment(bench.ROOT), check=True, capture_output=True)
        counts = []
        for name in sorted(glob.glob(f"{out}/cg.out.*"), key=lambda n: int(n.rsplit(".", 1)[1])):
            with open(name) as dump:
                counts += [int(line.split()[1]) for line in dump if line.startswith("totals:")]
    plain, connection = (count / calls for count in counts[:2])
    return {"calls": calls, "plain_per_call": plain, "connection_per_call": connection,
            "ratio": connection / plain}


def add_options(parser):
    group = parser.add_argument_group("time limits, retries and many tickers")
    group.add_argument("--connection-only", action="store_true", help="run only this part")


def run(bench, opts, quick):
    calls, tickers, repeats, counted = (50, 50, 1, 0) if quick else (200, 200, 3, 20)
    if getattr(opts, "no_callgrind", False):
        counted = 0
    return {"calls": calls, "tickers": tickers, "repeats": repeats, "delay_s": DELAY,
            "sections": rates(bench, calls, tickers, repeats),
            "caching": caching(bench, calls, repeats),
            "rate_limited": rate_limited(bench),
            "shared_limit": shared_limit(bench),
            "duplicates": [duplicate_fetches(bench.ROOT) for _ in range(1 if quick else 3)],
            "instructions": instructions(bench, counted)}


def report(figures):
    print(f"\nget_priceBars(..., \"D\") against the sample service in its own process; "
          f"best and median of {figures['repeats']} runs")
    for title, rows in figures["sections"].items():
        print(f"{title:<52}{'calls/s':>9}{'median':>8}{'client CPU ms/call':>20}")
        for name, row in rows.items():
            print(f"  {name:<50}{row['calls_per_s']:>9.0f}{row['median_calls_per_s']:>8.0f}"
                  f"{row['client_cpu_ms_per_call']:>20.2f}")
    print("\nthe cache: one call repeated, plain, through a Connection, and answered from the "
          "cache file")
    for title, rows in figures["caching"].items():
        print(f"{title:<52}{'calls/s':>9}{'median':>8}{'client CPU ms/call':>20}")
        for name, row in rows.items():
            print(f"  {name:<50}{row['calls_per_s']:>9.0f}{row['median_calls_per_s']:>8.0f}"
                  f"{row['client_cpu_ms_per_call']:>20.2f}")
    limited = figures["rate_limited"]
    calls, per = limited["limit"]
    print(f"fetch_many of {limited['tickers']} tickers, {limited['workers']} threads, "
          f"rate_limit=({calls}, {per}): {limited['elapsed_s']:.2f} s; at exactly {calls} "
          f"a {per} s: {limited['ideal_s']:.0f} s, or {limited['earliest_s']:.0f} s plus the "
          f"last answers when the first {calls} go at once")
    shared = figures["shared_limit"]
    calls, per = shared["limit"]
    for name, row in shared["stores"].items():
        print(f"{shared['processes']} processes sharing rate_limit=({calls}, {per}) through "
              f"{name}, {shared['tickers']} tickers in all, fetch_many {shared['workers']} "
              f"threads each: {row['elapsed_s']:.2f} s (ideal {shared['ideal_s']:.0f} s, "
              f"{shared['earliest_s']:.0f} s plus the last answers when the first {calls} go at "
              f"once); {row['requests']} requests, at most {row['busiest_window']} in {per} s")
    for row in figures["duplicates"]:
        print(f"{row['processes']} processes, the same {row['distinct']} tickers on one cold "
              f"cache file: {row['requests']} requests for {row['distinct']} answers "
              f"({row['elapsed_s']:.2f} s)")
    counted = figures["instructions"]
    if counted:
        print(f"instructions of this process per call (callgrind, {counted['calls']} calls): "
              f"plain {counted['plain_per_call'] / 1e6:.2f} M, Connection "
              f"{counted['connection_per_call'] / 1e6:.2f} M ({counted['ratio']:.2f})")
    else:
        print("(instructions not counted: a quick run, --no-callgrind, or no valgrind)")
