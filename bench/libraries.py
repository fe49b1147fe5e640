"""Why quorvane keeps its own rate limit, single-flight and cache key: the
experiments behind docs/libraries.md, against the libraries one would
otherwise use (pyrate-limiter, limits, requests-ratelimiter, cachetools,
requests-cache's default key). Not run by the tests nor by CI.

    PYTHON=3.12 ./dev build      # the libraries' releases need CPython 3.11 or newer
    .venv/py3.12/bin/python -m pip install -r requirements/libraries.txt
    nice -n 10 .venv/py3.12/bin/python bench/libraries.py --runs 3   # about 5 minutes
    .venv/py3.12/bin/python bench/libraries.py a c                   # some of them
    .venv/py3.12/bin/python bench/libraries.py keys   # the cache keys, for this requests-cache

`keys` prints requests-cache's default key and ours for the same requests,
with the requests-cache and url-normalize installed: run it in environments
with other versions and compare. The experiments run against a small HTTP
server started here on 127.0.0.1, which records when each request reaches
it (time.monotonic in this process):

a. When a request is counted. 8 threads send for 8 s within 5 requests a
   second; the service queues each request 0.3 to 1.0 s (random, seeded)
   before it takes it up and counts it, as behind a busy gateway, then
   answers at once. The busiest second at the service, by the time each
   request was counted there, and by the time its bytes arrived.
b. Retries. One GET to a service that answers 503 three times, then 200,
   with urllib3's Retry(3) (no backoff) within 2 requests a second: the
   tries that reached the service, and the most within one second.
c. Clock skew. Two processes of 4 threads each send for 5 s within 10
   requests a second kept in one Redis (a redis-server started here on a
   free port); in the second run the second process's clocks (time.time,
   time.monotonic and their _ns forms) are 2 s ahead. The busiest second at
   the service.
d. Single-flight. 8 threads call for the same answer at the same moment
   through cachetools.cached (with a lock; with a condition) and through
   one Connection; the service answers after 0.5 s, with 500 (a failure)
   or 200, or after 1 s, past the read time limit of 0.3 s (each caller
   gets a time-out). The requests that reached it.

Each limiter goes through its own integration with requests where it has
one: a pyrate-limiter Limiter (a sliding log) through its
RateLimitedRequestsSession, requests-ratelimiter's LimiterAdapter; limits,
which has none, as a moving window checked in an HTTPAdapter's send. All
share one HTTPAdapter between the threads' sessions, as a Connection
shares its own.
"""

import os
import time

# The second process of experiment c runs with its clocks ahead: set before
# anything imports a clock function by name.
_SKEW = float(os.environ.get("LIBRARIES_BENCH_SKEW") or 0)
_real_time = time.time
if _SKEW:
    for _name in ("time", "monotonic", "perf_counter"):
        setattr(time, _name, lambda _clock=getattr(time, _name): _clock() + _SKEW)
    for _name in ("time_ns", "monotonic_ns", "perf_counter_ns"):
        setattr(time, _name, lambda _clock=getattr(time, _name): _clock() + int(_SKEW * 1e9))

import json  # noqa: E402 (after the clocks)
import random  # noqa: E402
import shutil  # noqa: E402
import socket  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import threading  # noqa: E402
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer  # noqa: E402
from urllib.parse import parse_qs, urlsplit  # noqa: E402

LIBRARIES = ("pyrate-limiter", "limits", "requests-ratelimiter", "ours")

QUEUE = (0.3, 1.0)           # a: seconds a request waits before the service takes it up
A_LIMIT, A_THREADS, A_SECONDS = (5, 1.0), 8, 8.0
B_LIMIT, B_RETRIES = (2, 1.0), 3
C_LIMIT, C_THREADS, C_SECONDS, C_SKEW = (10, 1.0), 4, 5.0, 2.0
D_CALLERS, D_DELAY, D_TIMEOUT = 8, 0.5, 0.3


# ---- the service -------------------------------------------------------------------


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True
    server: "_Server"

    def do_GET(self) -> None:  # noqa: N802
        arrived = time.monotonic()
        parts = urlsplit(self.path)
        query = parse_qs(parts.query)
        status = 200
        if parts.path == "/queue":
            time.sleep(self.server.queue_wait())
        elif parts.path == "/flaky":
            status = 503 if self.server.tries(query["id"][0]) <= 3 else 200
        elif parts.path in ("/fail", "/slow", "/hang"):
            time.sleep(2 * D_DELAY if parts.path == "/hang" else D_DELAY)
            status = 500 if parts.path == "/fail" else 200
        self.server.record(parts.path, arrived, time.monotonic())
        body = b"[]"
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except ConnectionError:  # the client gave up waiting (d's time-out)
            self.close_connection = True

    def log_message(self, *args: object) -> None:
        pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128

    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), _Handler)
        self.lock = threading.Lock()
        self.random = random.Random(20240301)
        self.seen = {}
        self.log = []

    def queue_wait(self) -> float:
        with self.lock:
            return self.random.uniform(*QUEUE)

    def tries(self, key: str) -> int:
        with self.lock:
            self.seen[key] = self.seen.get(key, 0) + 1
            return self.seen[key]

    def record(self, path: str, arrived: float, counted: float) -> None:
        with self.lock:
            self.log.append((path, arrived, counted))

    def take(self, path: str) -> list:
        """The (arrived, counted) times of the requests for ``path`` so far,
        which are forgotten."""
        with self.lock:
            found = [(a, c) for p, a, c in self.log if p == path]
            self.log = [entry for entry in self.log if entry[0] != path]
            return found


def start_service() -> "tuple[_Server, str]":
    server = _Server()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    host, port = server.server_address[:2]
    return server, f"http://{host}:{port}"


def busiest(times: list, per: float) -> int:
    """The most of ``times`` within any window of ``per`` seconds."""
    times = sorted(times)
    most, first = 0, 0
    for last, moment in enumerate(times):
        while times[first] <= moment - per:
            first += 1
        most = max(most, last - first + 1)
    return most


# ---- the limiters, each on one adapter shared by every thread's session ------------


def _retry(retries: int):
    from urllib3.util.retry import Retry
    return Retry(total=retries, connect=retries, read=retries, status=retries, other=0,
                 allowed_methods=frozenset({"GET"}), status_forcelist=[503],
                 backoff_factor=0, raise_on_status=False)


class Sender:
    """``get(url)`` from any thread through one library's limit (or ours)."""

    def __init__(self, library: str, limit: tuple, retries: int = 0,
                 redis_url: "str | None" = None) -> None:
        import requests
        from requests.adapters import HTTPAdapter

        calls, per = limit
        assert per == 1.0, "requests-ratelimiter's per_second: one-second windows only"
        self.library, self._local = library, threading.local()
        self._session_class = requests.Session
        self.connection = None
        retry = _retry(retries)
        if library == "ours":
            from quorvane.process_client import Connection
            self.connection = Connection(timeout=(3.05, 30), retries=retries, backoff=0,
                                         max_wait=120, rate_limit=limit,
                                         rate_limit_store=redis_url)
            return
        if library == "pyrate-limiter":
            from pyrate_limiter import Duration, InMemoryBucket, Limiter, Rate, RedisBucket
            from pyrate_limiter.extras.requests_limiter import RateLimitedRequestsSession
            rates = [Rate(calls, int(Duration.SECOND * per))]
            if redis_url:
                import redis
                bucket = RedisBucket.init(rates, redis.Redis.from_url(redis_url), "bench-pyrate")
            else:
                bucket = InMemoryBucket(rates)
            limiter = Limiter(bucket)
            self._session_class = lambda: RateLimitedRequestsSession(limiter, name="bench")
            self._adapter = HTTPAdapter(pool_maxsize=16, max_retries=retry)
        elif library == "requests-ratelimiter":
            from requests_ratelimiter import LimiterAdapter
            options = {}
            if redis_url:
                import redis
                from pyrate_limiter import RedisBucket
                options = {"bucket_class": RedisBucket,
                           "bucket_kwargs": {"redis": redis.Redis.from_url(redis_url),
                                             "bucket_key": "bench-requests-ratelimiter"}}
            self._adapter = LimiterAdapter(per_second=calls, pool_maxsize=16, max_retries=retry,
                                           **options)
        elif library == "limits":
            from limits import RateLimitItemPerSecond
            from limits.storage import storage_from_string
            from limits.strategies import MovingWindowRateLimiter
            limiter = MovingWindowRateLimiter(storage_from_string(redis_url or "memory://"))
            item = RateLimitItemPerSecond(calls, int(per))

            class LimitsAdapter(HTTPAdapter):
                def send(self, request, **kwargs):
                    while not limiter.hit(item, "bench"):
                        reset = limiter.get_window_stats(item, "bench").reset_time
                        time.sleep(min(max(reset - time.time(), 0.001), 0.1))
                    return super().send(request, **kwargs)

            self._adapter = LimitsAdapter(pool_maxsize=16, max_retries=retry)
        else:
            raise ValueError(library)

    def get(self, url: str):
        if self.connection is not None:
            return self.connection.get(url)
        session = getattr(self._local, "session", None)
        if session is None:
            session = self._local.session = self._session_class()
            session.mount("http://", self._adapter)
        return session.get(url, timeout=(3.05, 30))

    def close(self) -> None:
        if self.connection is not None:
            self.connection.close()
        else:
            self._adapter.close()


def send_for(sender: Sender, url: str, threads: int, seconds: float, tag: str = "") -> int:
    """``threads`` threads send distinct GETs to ``url`` until ``seconds`` have
    passed (a request still waiting then goes out); how many they sent."""
    stop = time.monotonic() + seconds
    sent = []

    def work(number: int) -> None:
        count = 0
        while time.monotonic() < stop:
            sender.get(f"{url}?n={tag}{number}-{count}")  # distinct: never shared
            count += 1
        sent.append(count)

    workers = [threading.Thread(target=work, args=(n,)) for n in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return sum(sent)


# ---- a. when a request is counted ----------------------------------------------------


def experiment_a(server: _Server, url: str, runs: int) -> None:
    calls, per = A_LIMIT
    print(f"\na. When a request is counted: limit {calls} per {per:g} s, {A_THREADS} threads "
          f"for {A_SECONDS:g} s; the service takes each request up {QUEUE[0]}-{QUEUE[1]} s "
          f"after it arrives, and counts it then ({runs} run{'s' if runs > 1 else ''})")
    print(f"   {'':22} {'requests a second':>18} {'busiest s counted':>18} "
          f"{'busiest s arrived':>18}")
    for library in LIBRARIES:
        rates, counted, arrived = [], [], []
        for _ in range(runs):
            sender = Sender(library, A_LIMIT)
            start = time.monotonic()
            sent = send_for(sender, url + "/queue", A_THREADS, A_SECONDS)
            elapsed = time.monotonic() - start
            sender.close()
            times = server.take("/queue")
            assert len(times) == sent, (len(times), sent)
            rates.append(f"{sent / elapsed:.1f}")
            counted.append(str(busiest([c for _, c in times], per)))
            arrived.append(str(busiest([a for a, _ in times], per)))
        print(f"   {library:22} {' '.join(rates):>18} {' '.join(counted):>18} "
              f"{' '.join(arrived):>18}")


# ---- b. retries ------------------------------------------------------------------------


def experiment_b(server: _Server, url: str, runs: int) -> None:
    calls, per = B_LIMIT
    print(f"\nb. Retries: limit {calls} per {per:g} s, Retry({B_RETRIES}) without backoff; "
          "one GET, answered 503 three times, then 200")
    print(f"   {'':22} {'tries at service':>17} {'most in 1 s':>12} {'status':>7} "
          f"{'seconds':>8}")
    for number, library in enumerate(LIBRARIES):
        sender = Sender(library, B_LIMIT, retries=B_RETRIES)
        start = time.monotonic()
        status = sender.get(f"{url}/flaky?id={number}").status_code
        elapsed = time.monotonic() - start
        sender.close()
        arrived = [a for a, _ in server.take("/flaky")]
        print(f"   {library:22} {len(arrived):17} {busiest(arrived, per):12} {status:7} "
              f"{elapsed:8.2f}")


# ---- c. clock skew ---------------------------------------------------------------------


def redis_server() -> "tuple[subprocess.Popen, str, str]":
    program = shutil.which("redis-server")
    if program is None:
        raise SystemExit("experiment c needs redis-server (Debian: apt-get install redis-server)")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    folder = tempfile.mkdtemp(prefix="libraries-bench-redis-")
    process = subprocess.Popen([program, "--port", str(port), "--bind", "127.0.0.1",
                                "--save", "", "--appendonly", "no", "--dir", folder],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = f"redis://127.0.0.1:{port}/0"
    import redis
    for _ in range(500):
        try:
            with redis.Redis.from_url(url) as client:
                client.ping()
            return process, url, folder
        except redis.ConnectionError:
            time.sleep(0.01)
    process.kill()
    raise SystemExit("redis-server did not start")


def child(library: str, url: str, redis_url: str) -> None:
    """One process of experiment c: sends from C_THREADS threads once told
    to go, then prints how many it sent and the clock its limiter reads."""
    sender = Sender(library, C_LIMIT, redis_url=redis_url)
    ahead = time.time() - _real_time()
    print("ready", flush=True)
    sys.stdin.readline()
    sent = send_for(sender, url + "/ok", C_THREADS, C_SECONDS, tag=f"{os.getpid()}-")
    sender.close()
    print(json.dumps({"sent": sent, "ahead": round(ahead, 3)}), flush=True)


def experiment_c(server: _Server, url: str, runs: int) -> None:
    calls, per = C_LIMIT
    print(f"\nc. Clock skew: limit {calls} per {per:g} s kept in one Redis, 2 processes x "
          f"{C_THREADS} threads for {C_SECONDS:g} s; then the second one's clocks "
          f"{C_SKEW:g} s ahead ({runs} run{'s' if runs > 1 else ''})")
    print(f"   {'':22} {'busiest s, same clocks':>23} {'busiest s, one +2 s':>23}")
    process, redis_url, folder = redis_server()
    import redis
    try:
        for library in LIBRARIES:
            cells = []
            for skew in (0.0, C_SKEW):
                found = []
                for _ in range(runs):
                    with redis.Redis.from_url(redis_url) as client:
                        client.flushdb()
                    found.append(str(run_pair(server, url, library, redis_url, skew)))
                cells.append(f"{' '.join(found):>23}")
            print(f"   {library:22} {' '.join(cells)}")
    finally:
        process.kill()
        process.wait()
        shutil.rmtree(folder, ignore_errors=True)


def run_pair(server: _Server, url: str, library: str, redis_url: str, skew: float) -> int:
    """Two processes sending together, the second with its clocks ``skew``
    seconds ahead: the busiest second at the service."""
    children = []
    for number in range(2):
        env = dict(os.environ, LIBRARIES_BENCH_SKEW=str(skew if number else 0))
        children.append(subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "child", library, url, redis_url],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True))
    for one in children:
        assert one.stdout.readline().strip() == "ready"
    for one in children:
        one.stdin.write("go\n")
        one.stdin.flush()
    results = [json.loads(one.communicate()[0]) for one in children]
    arrived = [a for a, _ in server.take("/ok")]
    assert len(arrived) == sum(result["sent"] for result in results), results
    assert abs(results[1]["ahead"] - skew) < 0.05, results  # the limiter's clock is ahead
    return busiest(arrived, C_LIMIT[1])


# ---- d. single-flight ------------------------------------------------------------------


def experiment_d(server: _Server, url: str, runs: int) -> None:
    import cachetools
    import requests

    print(f"\nd. Single-flight: {D_CALLERS} threads ask for the same answer at the same "
          f"moment; the service answers after {D_DELAY:g} s with 500 or 200, or after "
          f"{2 * D_DELAY:g} s, past the read time limit of {D_TIMEOUT:g} s")
    print(f"   {'':30} {'500: requests':>14} {'seconds':>8} {'200: requests':>14} "
          f"{'seconds':>8} {'time-out: requests':>19} {'seconds':>8}")
    session = requests.Session()
    session.mount("http://", requests.adapters.HTTPAdapter(pool_maxsize=16))

    def fetch(address: str, read: float) -> bytes:
        response = session.get(address, timeout=(3.05, read))
        response.raise_for_status()  # a failure is not kept: raised to the caller
        return response.content

    ways = {
        "cachetools.cached(lock=)": lambda: cachetools.cached(
            cachetools.TTLCache(64, 900), lock=threading.Lock())(fetch),
        "cachetools.cached(condition=)": lambda: cachetools.cached(
            cachetools.TTLCache(64, 900), condition=threading.Condition())(fetch),
    }
    from quorvane.process_client import Connection
    for name, make in [*ways.items(), ("ours (Connection.get)", None)]:
        cells = []
        for path, width in (("/fail", 14), ("/slow", 14), ("/hang", 19)):
            read = D_TIMEOUT if path == "/hang" else 30
            connection = Connection(timeout=(3.05, read), retries=0) if make is None else None
            call = None if make is None else make()
            barrier = threading.Barrier(D_CALLERS)
            failures = []

            def caller() -> None:
                barrier.wait()
                try:
                    if connection is not None:
                        connection.get(url + path)
                    else:
                        call(url + path, read)
                except requests.RequestException as error:
                    failures.append(error)

            start = time.monotonic()
            threads = [threading.Thread(target=caller) for _ in range(D_CALLERS)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            elapsed = time.monotonic() - start
            if connection is not None:
                connection.close()
            if path == "/hang":  # every caller saw the time-out
                assert len(failures) == D_CALLERS and all(
                    isinstance(error, requests.Timeout) for error in failures), failures
                time.sleep(2 * D_DELAY)  # the service's last answers are over
            cells.append(f"{len(server.take(path)):{width}} {elapsed:8.2f}")
        print(f"   {name:30} {' '.join(cells)}")


# ---- the cache key ---------------------------------------------------------------------


def keys() -> None:
    """requests-cache's default key and ours for the same requests, with
    the requests-cache and url-normalize installed here: run it under each
    version and compare."""
    from importlib.metadata import version

    import requests
    import requests_cache

    from quorvane.process_client.cache import cache_key

    print("requests-cache", version("requests-cache"), "url-normalize", version("url-normalize"),
          "requests", version("requests"), "Python", sys.version.split()[0])
    folder = tempfile.mkdtemp(prefix="libraries-bench-keys-")
    theirs = requests_cache.CachedSession(os.path.join(folder, "default.sqlite"))
    print("serializer part:", str(theirs.cache.responses.serializer))
    base = "http://127.0.0.1:8000/api/stock/priceBars"
    query = {"ticker": "HPX", "fromDate": "2024-03-01", "toDate": "2024-03-08"}
    cases = [
        ("a data function's request", base, query, "demo-token", True),
        ("another token", base, query, "other-token", True),
        ("the query in another order", base, dict(reversed(list(query.items()))), "demo-token",
         True),
        ("the port written out", base.replace("127.0.0.1:8000", "localhost:80"), query,
         "demo-token", True),
        ("the port left out", base.replace("127.0.0.1:8000", "localhost"), query,
         "demo-token", True),
        ("verify=False", base, query, "demo-token", False),
        ("a ticker with a space", base, dict(query, ticker="A B"), "demo-token", True),
        ("a ticker with a plus", base, dict(query, ticker="A+B"), "demo-token", True),
        ("a ticker with a slash", base, dict(query, ticker="A/B"), "demo-token", True),
        ("a ticker not in ASCII", base, dict(query, ticker="\u00c4BC"), "demo-token", True),
        ("an empty parameter", base, dict(query, unit=""), "demo-token", True),
        ("a token in the query", base, dict(query, access_token="secret"), "demo-token", True),
        ("another token in the query", base, dict(query, access_token="other"), "demo-token",
         True),
    ]
    from requests_cache.cache_keys import normalize_url
    ignored = theirs.settings.ignored_parameters
    print(f"{'':28} {'default key':>16}  {'ours':>16}  the URL sent; what the default key hashes")
    for name, address, params, token, verify in cases:
        prepared = requests.Request("GET", address, params=params,
                                    headers={"Authorization": f"Bearer {token}"}).prepare()
        default = theirs.cache.create_key(prepared, verify=verify)
        ours = cache_key(prepared, verify=verify)
        print(f"{name:28} {default:>16}  {ours[:16]:>16}  {prepared.url}")
        normalised = normalize_url(prepared.url, ignored)
        if normalised != prepared.url:
            print(f"{'':64}{normalised}")

    # What each costs, per call (best of 5), against preparing the request.
    import timeit
    prepared = requests.Request("GET", base, params=query,
                                headers={"Authorization": "Bearer demo-token"}).prepare()
    costs = {
        "requests-cache's default key": lambda: theirs.cache.create_key(prepared, verify=True),
        "ours": lambda: cache_key(prepared, verify=True),
        "preparing the request": lambda: requests.Request(
            "GET", base, params=query, headers={"Authorization": "Bearer demo-token"}).prepare(),
    }
    for name, work in costs.items():
        best = min(timeit.repeat(work, number=2000, repeat=5)) / 2000
        print(f"{name}: {best * 1e6:.1f} us a call")
    theirs.close()
    shutil.rmtree(folder, ignore_errors=True)


EXPERIMENTS = {"a": experiment_a, "b": experiment_b, "c": experiment_c, "d": experiment_d}


def main(argv: list) -> None:
    if argv[:1] == ["child"]:
        return child(*argv[1:])
    if argv[:1] == ["keys"]:
        return keys()
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.partition("\n\n")[0])
    parser.add_argument("experiments", nargs="*", metavar="{a,b,c,d}",
                        help="the experiments to run (default: all)")
    parser.add_argument("--runs", type=int, default=1,
                        help="runs of experiments a and c, each shown (default 1)")
    args = parser.parse_args(argv)
    unknown = set(args.experiments) - set(EXPERIMENTS)
    if unknown:
        parser.error(f"no experiment {', '.join(sorted(unknown))}: choose from a, b, c, d")
    from importlib.metadata import version
    print("Python", sys.version.split()[0], "|", ", ".join(
        f"{name} {version(name)}" for name in ("pyrate-limiter", "limits",
                                               "requests-ratelimiter", "cachetools", "requests",
                                               "urllib3", "redis")))
    server, url = start_service()
    try:
        for name in args.experiments or list(EXPERIMENTS):
            EXPERIMENTS[name](server, url, args.runs)
    finally:
        server.shutdown()
        server.server_close()


if __name__ == "__main__":
    main(sys.argv[1:])
