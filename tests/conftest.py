"""Shared test harness: a real HTTP server on 127.0.0.1 (pytest-httpserver)
and helpers to point the native modules at it and read what they sent."""

import contextlib
import importlib
import importlib.metadata
import json
import multiprocessing
import os
import shutil
import socket
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time
import traceback
from pathlib import Path
from typing import Any, List, Optional, Tuple

import pytest

import quorvane
import sample_service
from quorvane.process_client import Connection
from quorvane.process_client.connection import DATA_MODULES, restore_requests
from quorvane.process_client.login import Client

TOKEN = "test-token"
PACKAGE = Path(quorvane.__file__).resolve().parent
# The tests' own tree (under ./dev test: the top of the source tree, which
# holds no quorvane/; under ./dev test-wheel: a copy of tests/ and
# sample_service/). The package is always the installed one.
ROOT = str(Path(__file__).resolve().parents[1])
# The interpreter that tests start in child processes: this one, or what
# QUORVANE_TEST_PYTHON names instead (under emulation, a wrapper that starts
# this same interpreter through the emulator, which the kernel cannot do).
PYTHON = os.environ.get("QUORVANE_TEST_PYTHON") or sys.executable
# multiprocessing starts its helpers from sys.executable too: the resource
# tracker that a lock of tqdm's needs on 3.14 and later, and the workers of
# spawn and forkserver pools.
multiprocessing.set_executable(PYTHON)
# Nobody is logged in by the environment of whoever runs the suite, here or
# in the processes the tests start; the tests that want it set it.
os.environ.pop("QUORVANE_TOKEN", None)


def pytest_report_header(config):
    return f"quorvane {quorvane.__version__} from {PACKAGE}"


def not_installed() -> Optional[str]:
    """Why the quorvane imported here is not the package as pip installed
    it (src/quorvane, say, which holds no built modules), or None."""
    try:
        installed = importlib.metadata.distribution("quorvane")
    except importlib.metadata.PackageNotFoundError:
        return f"quorvane was imported from {PACKAGE}, and no installed quorvane was found"
    recorded = Path(installed.locate_file("quorvane/__init__.py")).resolve()
    if recorded.parent != PACKAGE:
        return f"quorvane was imported from {PACKAGE}, not from where pip installed it ({recorded.parent})"
    # ./dev test-wheel sets this: the package is the wheel, installed in
    # the environment that runs the suite.
    if os.environ.get("QUORVANE_TEST_INSTALLED"):
        site = Path(sysconfig.get_paths()["platlib"]).resolve()
        if PACKAGE.parent != site:
            return f"quorvane was imported from {PACKAGE}, not from {site}"
    return None


def pytest_sessionstart(session):
    # The run is only worth something against the package as users get it:
    # ./dev test installs the tree into its environment, ./dev test-wheel a
    # wheel. A source tree put on the path instead ends the run at once.
    problem = not_installed()
    if problem:
        pytest.exit(f"{problem} (./dev test installs the package and runs the suite)", returncode=3)


# The tests of the native modules themselves (-m core, ./dev test-core): the
# module frame, argument binding, the guard, each data function's steps,
# references and hostile callers. The sanitizer and debug builds and the
# installed wheel run these; the Python layer's tests run on the others.
CORE = {f"test_{name}.py" for name in (
    "frame", "guard_access", "binding_fuzz", "loading", "leaks", "hostile", "hostile_globals",
    "threads", "price_bars", "order_flow", "foreign_dealer", "dividend", "market_calls",
    "status_error", "line_profiler")}


def pytest_collection_modifyitems(items):
    for item in items:
        name = os.path.basename(item.nodeid.split("::")[0])
        if name in CORE:
            item.add_marker(pytest.mark.core)
        elif name == "test_packaging.py":
            item.add_marker(pytest.mark.packaging)


def in_child(code, *options, env=None, timeout=60):
    """Runs `code` in a new interpreter, so that a crash or a hang fails one
    test only; returns the JSON it printed last."""
    done = subprocess.run([PYTHON, *options, "-c", textwrap.dedent(code)],
                          env=dict(os.environ, PYTHONPATH=ROOT, **(env or {})),
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


# The start that scripts run in a child process share: the names they use,
# and no warning of a fork in a process that has threads (CPython 3.12 and
# later give one). sample_script adds a login to the sample service.
CHILD_START = """\
import json, os, signal, threading, time, warnings
import sample_service
from quorvane.process_client import (Client, Connection, RateLimitExceeded, fetch_many,
                                     use_connection)
from quorvane.process_stock import priceBars
warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
"""


def sample_script(code, url=None):
    """`code` (dedented) after CHILD_START, with priceBars pointed at the
    sample service at `url` or, by default, at one that the child starts
    (`service`), and logged in to it with the demo token."""
    point = (f"priceBars.base_url = {url!r}\n" if url is not None else
             "service = sample_service.SampleService().start()\n"
             "priceBars.base_url = service.url\n")
    return (CHILD_START + point + "Client().login(sample_service.DEMO_TOKEN)\n"
            + textwrap.dedent(code))


def eventually(predicate, timeout=10.0):
    """Whether `predicate()` became true within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def eventually_served(sample, count, timeout=10.0):
    """Whether the sample service had served `count` requests within `timeout` seconds."""
    return eventually(lambda: sample.requests_served >= count, timeout)


# The priceBars endpoint, and one daily bar as a service sends it.
PATH = "/api/stock/priceBars"
BAR = {"DateTime": "2024-01-02T00:00:00", "Open": 1.5, "High": 2.0, "Low": 1.0,
       "Close": 1.75, "Volume": 100}


def bars(ticker="AAA", start="2024-01-01", end="2024-01-31"):
    """The daily priceBars table of `ticker` from `start` to `end` (the
    module imported at the call: conftest itself loads no data module)."""
    priceBars = importlib.import_module("quorvane.process_stock.priceBars")
    return priceBars.get_priceBars(ticker, start, end, "D")


def bound():
    """What the data modules send with."""
    return {importlib.import_module(name).requests for name in DATA_MODULES}


def closed_connection():
    connection = Connection()
    connection.close()
    return connection


@pytest.fixture
def logged_in():
    """A login for the duration of one test."""
    client = Client().login(TOKEN)
    yield client
    Client().logout()


@pytest.fixture(autouse=True)
def _plain_afterwards():
    """Every test ends logged out, with plain requests in the data modules."""
    yield
    Client().logout()
    restore_requests()


@pytest.fixture
def sample(monkeypatch):
    """The sample service, with every data module pointed at it and a login."""
    with sample_service.SampleService() as service:
        for name in DATA_MODULES:
            monkeypatch.setattr(name + ".base_url", service.url)
        Client().login(sample_service.DEMO_TOKEN)
        yield service


class Service:
    """The local server, seen from a test."""

    def __init__(self, httpserver, monkeypatch) -> None:
        self.server = httpserver
        self.monkeypatch = monkeypatch
        self.url = httpserver.url_for("").rstrip("/")

    def point(self, module) -> None:
        """Rebinds the module's `base_url` to this server for this test."""
        self.monkeypatch.setattr(module, "base_url", self.url)

    def answer(self, path: str, records: Any = None, status: int = 200,
               body: Optional[str] = None, content_type: str = "application/json") -> None:
        """Serves `records` as JSON (or `body` as it is) at `path`."""
        if body is None:
            body = json.dumps(records, ensure_ascii=False)
        self.server.expect_request(path, method="GET").respond_with_data(
            body, status=status, content_type=content_type)

    @property
    def requests(self) -> List[Any]:
        """The werkzeug requests received so far."""
        return [request for request, _ in self.server.log]

    def query(self, index: int = -1) -> List[Tuple[str, str]]:
        """The query of a received request as (key, value) pairs, in order."""
        return list(self.requests[index].args.items(multi=True))


@pytest.fixture
def service(httpserver, monkeypatch) -> Service:
    return Service(httpserver, monkeypatch)


def last_entry(excinfo) -> Tuple[str, str, int]:
    """(function name, file name, line) of the innermost traceback entry."""
    frame = traceback.extract_tb(excinfo.value.__traceback__)[-1]
    return frame.name, frame.filename, frame.lineno


def entries(excinfo) -> List[Tuple[str, str, int]]:
    return [(f.name, f.filename, f.lineno)
            for f in traceback.extract_tb(excinfo.value.__traceback__)]


@pytest.fixture(scope="session")
def redis_server():
    """Debian's redis-server on a free loopback port, with nothing written
    to disk, for the whole run; its URL. Stopped by its process id."""
    # CI sets QUORVANE_REQUIRE_REDIS=1: there, a missing Redis fails the run.
    missing = pytest.fail if os.environ.get("QUORVANE_REQUIRE_REDIS") else pytest.skip
    try:
        import redis
    except ImportError:
        missing("the Redis tests need the Redis client: pip install redis")
    program = shutil.which("redis-server") or missing(
        "the Redis tests need a Redis server: apt-get install redis-server "
        "(./dev test installs it when run as root)")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    folder = tempfile.mkdtemp(prefix="quorvane-redis-")
    # Values uncompressed: DUMP then holds their bytes as they are (see redis_dump).
    server = subprocess.Popen([program, "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                               "--appendonly", "no", "--rdbcompression", "no", "--dir", folder],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        with redis.Redis(port=port) as client:
            def answers():
                try:
                    return client.ping()
                except redis.ConnectionError:
                    return server.poll() is not None  # ended: reported below
            assert eventually(answers) and server.poll() is None, "redis-server did not start"
        yield f"redis://127.0.0.1:{port}/0"
    finally:
        server.kill()
        server.wait()
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def redis_url(redis_server):
    """The Redis server, its database empty at the start of the test."""
    import redis
    with redis.Redis.from_url(redis_server) as client:
        client.flushdb()
    return redis_server


def redis_dump(url):
    """Every key and every value in the Redis database, as bytes (numbers
    aside, as Redis keeps them)."""
    import redis
    with redis.Redis.from_url(url) as client:
        return b"\n".join(key + b"\n" + client.dump(key) for key in client.scan_iter(count=1000))


@contextlib.contextmanager
def locked(path, seconds=60.0):
    """Another process inside a write transaction on the SQLite file (a
    sqlite3 shell, a process stopped half-way), for ``seconds`` or until
    the block ends. Yields a list that then holds when the lock was let go
    (by the wall clock, which SQLite reads)."""
    holder = subprocess.Popen([PYTHON, "-c", textwrap.dedent("""
        import select, sqlite3, sys, time
        database = sqlite3.connect(sys.argv[1], isolation_level=None)
        database.execute("BEGIN IMMEDIATE")
        print("held", flush=True)
        select.select([sys.stdin], [], [], float(sys.argv[2]))
        database.execute("ROLLBACK")
        print(time.time(), flush=True)
    """), str(path), str(seconds)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    let_go = []
    try:
        assert holder.stdout.readline() == "held\n"
        yield let_go
    finally:
        with holder:
            holder.stdin.close()
            let_go.append(float(holder.stdout.readline() or "nan"))
