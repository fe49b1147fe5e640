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

Calls per second, best and median of interleaved runs, and the CPU time of
this process per call (all its threads). Where valgrind is present, also
the instructions of the calling process per call, plain and through a
Connection, counted with callgrind while itertools.starmap drives the calls
(`--toggle-collect=starmap_next`, a fixed PYTHONHASHSEED).
"""

import glob
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

DELAY = 0.02

# The sample service with extra synthetic tickers T000, T001, ...; it prints
# its address and serves until its standard input closes.
SERVICE_PROCESS = r"""
import sys
from sample_service import SampleService, data
for i in range(%(extra)d):
    data.TICKERS.setdefault("T%%03d" %% i, (10.0 + i, 1_000_000 + 1_000 * i))
with SampleService(delay=%(delay)r) as service:
    print(service.url, flush=True)
    sys.stdin.read()
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

    def __exit__(self, *exc):
        self.process.stdin.close()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def rates(bench, calls, tickers, repeats):
    """Calls per second and CPU time per call, by service delay and run."""
    from quorvane.process_client import Connection, fetch_many, use_connection

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
                        binding = use_connection(Connection(timeout=(3.05, 30), retries=3)) \
                            if through else None
                        try:
                            start, start_cpu = time.perf_counter(), time.process_time()
                            done = work()
                            per_s[name].append(done / (time.perf_counter() - start))
                            cpu[name].append((time.process_time() - start_cpu) / done)
                        finally:
                            if binding is not None:
                                binding.restore()
                                binding.connection.close()
            finally:
                bench.Client().logout()
        sections[title] = {
            name: {"calls_per_s": max(per_s[name]),
                   "median_calls_per_s": statistics.median(per_s[name]),
                   "client_cpu_ms_per_call": min(cpu[name]) * 1e3}
            for name, _, _ in runs}
    return sections


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
            "instructions": instructions(bench, counted)}


def report(figures):
    print(f"\nget_priceBars(..., \"D\") against the sample service in its own process; "
          f"best and median of {figures['repeats']} runs")
    for title, rows in figures["sections"].items():
        print(f"{title:<52}{'calls/s':>9}{'median':>8}{'client CPU ms/call':>20}")
        for name, row in rows.items():
            print(f"  {name:<50}{row['calls_per_s']:>9.0f}{row['median_calls_per_s']:>8.0f}"
                  f"{row['client_cpu_ms_per_call']:>20.2f}")
    counted = figures["instructions"]
    if counted:
        print(f"instructions of this process per call (callgrind, {counted['calls']} calls): "
              f"plain {counted['plain_per_call'] / 1e6:.2f} M, Connection "
              f"{counted['connection_per_call'] / 1e6:.2f} M ({counted['ratio']:.2f})")
    else:
        print("(instructions not counted: a quick run, --no-callgrind, or no valgrind)")
