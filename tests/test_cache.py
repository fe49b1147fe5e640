"""Connection(cache=...): answers kept in a SQLite file, against the sample
service and pytest-httpserver, with the real requests-cache."""

import base64
import datetime
import json
import os
import re
import shutil
import sqlite3
import subprocess
import tempfile
import textwrap
import threading
import time
from pathlib import Path
from urllib.parse import quote

import pandas as pd
import pytest
import requests
from werkzeug import Response

import sample_service
from conftest import PYTHON, ROOT, in_child, redis_dump
from quorvane.process_client import Client, Connection, use_connection
from quorvane.process_stock import dealerDesk, dividend, foreign, orderFlow, priceBars

pytest.importorskip("requests_cache", reason="the cache needs requests-cache")

# Each function with a past range that has records.
CALLS = {
    "get_priceBars": (priceBars.get_priceBars, ("HPX", "2024-01-01", "2024-03-31", "W")),
    "get_order_flow": (orderFlow.get_order_flow, ("QVA", "2024-01-01", "2024-02-29", "D")),
    "get_foreign": (foreign.get_foreign, ("MSR", "2023-05-01", "2023-06-30", "W", 1000)),
    "get_dealerDesk": (dealerDesk.get_dealerDesk, ("TCL", "2023-01-01", "2023-03-31", "D", 1e6)),
    "get_dividend": (dividend.get_dividend, ("VNQ", "2021-01-01", "2024-12-31")),
}
LONG_TOKEN = "tok-5f0c1e9a7b3d42c8a61e0b9d2f4c7a13"


def cache_bytes(path):
    """Everything SQLite keeps for the file: the file, its log and its index."""
    return b"".join(Path(name).read_bytes() for name in
                    (str(path), f"{path}-wal", f"{path}-shm", f"{path}-journal")
                    if os.path.exists(name))


@pytest.fixture(params=["file", "redis"])
def place(request, tmp_path):
    """Where the cache is kept: a file, or a Redis database."""
    if request.param == "redis":
        return request.getfixturevalue("redis_url")
    return tmp_path / "c.sqlite"


def stored(place):
    """Every byte the cache keeps: the file's, or every key and value in Redis."""
    return redis_dump(place) if isinstance(place, str) else cache_bytes(place)


@pytest.mark.parametrize("name", list(CALLS))
def test_a_past_range_is_fetched_once(sample, place, name):
    function, args = CALLS[name]
    from_network = function(*args)  # plain requests
    with use_connection(cache=place) as connection:
        first = function(*args)
        second = function(*args)
        assert connection.cache_info().entries == 1
    assert sample.requests_served == 2
    pd.testing.assert_frame_equal(first, from_network)
    pd.testing.assert_frame_equal(second, from_network)
    assert second is not first


def test_a_hit_is_a_normal_response(sample, tmp_path):
    url = sample.url + "/api/stock/priceBars"
    params = {"ticker": "HPX", "fromDate": "2024-01-02", "toDate": "2024-01-05"}
    headers = Client()._get_headers()
    with Connection(cache=tmp_path / "c.sqlite") as connection:
        sent = connection.get(url, headers=headers, params=params)
        kept = connection.get(url, headers=headers, params=params)
    assert sample.requests_served == 1
    assert isinstance(kept, requests.Response) and kept.status_code == 200
    assert kept.json() == sent.json() and len(sent.json()) == 4
    assert kept.headers["Content-Type"] == sent.headers["Content-Type"]


def test_expiry_follows_the_range(sample, place):
    """Ranges ending before today are kept for good; those that reach today
    or later, or whose toDate is no plain date, expire after cache_expiry."""
    today = datetime.date.today()
    ends = {"yesterday": (today - datetime.timedelta(days=1)).isoformat(),
            "today": today.isoformat(),
            "tomorrow": (today + datetime.timedelta(days=1)).isoformat(),
            # The service reads the first ten characters; the cache does not.
            "past, with a time": "2024-01-31T00:00:00"}
    seconds = 2.0

    def fetch_each():
        """How many requests each range sent."""
        sent = {}
        for name, end in ends.items():
            start = (datetime.date.fromisoformat(end[:10]) - datetime.timedelta(days=10))
            before = sample.requests_served
            priceBars.get_priceBars("HPX", start.isoformat(), end, "D")
            sent[name] = sample.requests_served - before
        return sent
    with use_connection(cache=place, cache_expiry=seconds):
        started = time.monotonic()
        assert fetch_each() == dict.fromkeys(ends, 1)
        assert fetch_each() == dict.fromkeys(ends, 0)
        # Still well within the expiry, even on a loaded machine.
        assert time.monotonic() - started < seconds
        time.sleep(seconds + 0.2)
        assert fetch_each() == {"yesterday": 0, "today": 1, "tomorrow": 1, "past, with a time": 1}


def test_today_is_the_local_date():
    """A range that ends yesterday by the caller's clock is over, even where
    it is already today in UTC; one that ends today is not, even where UTC
    is still on yesterday. Checked in a time zone whose date differs from
    UTC's now (14 hours ahead, or 12 behind)."""
    now = datetime.datetime.now(datetime.timezone.utc)
    ahead = (now + datetime.timedelta(hours=14)).date() != now.date()
    assert in_child("""
        import datetime, json
        from quorvane.process_client.cache import NEVER_EXPIRE, expiry_for
        today = datetime.date.today()
        url = "http://127.0.0.1/api/stock/priceBars?ticker=HPX&fromDate=2020-01-01&toDate="
        print(json.dumps([today != datetime.datetime.now(datetime.timezone.utc).date(),
                          expiry_for(url + str(today - datetime.timedelta(days=1)), 60.0) == NEVER_EXPIRE,
                          expiry_for(url + str(today), 60.0)]))
    """, env={"TZ": "XXX-14" if ahead else "XXX+12"}) == [True, True, 60.0]


@pytest.mark.parametrize("headers", [
    {},
    # Validators would let an answer be kept to be asked about again later.
    {"ETag": '"v1"'},
    {"Last-Modified": "Mon, 01 Jan 2024 00:00:00 GMT", "Cache-Control": "max-age=3600"},
])
def test_no_expiry_keeps_nothing_that_reaches_today(service, tmp_path, headers):
    today = datetime.date.today()
    args = ("HPX", (today - datetime.timedelta(days=10)).isoformat(), today.isoformat(), "D")
    service.point(priceBars)
    service.server.expect_request("/api/stock/priceBars").respond_with_response(Response(
        json.dumps([{"DateTime": "2024-01-02T00:00:00", "Volume": 10}]),
        content_type="application/json", headers=headers))
    with use_connection(cache=tmp_path / "c.sqlite", cache_expiry=0) as connection:
        priceBars.get_priceBars(*args)
        priceBars.get_priceBars(*args)
        assert connection.cache_info().entries == 0
    assert len(service.requests) == 2


def test_the_key_tells_apart_what_may_answer_differently(sample, service, tmp_path,
                                                          monkeypatch):
    """Two services (one file for both, as cache=True gives), and the same
    address with and without checking certificates."""
    service.answer("/api/stock/priceBars", [{"DateTime": "2024-01-02T00:00:00", "Volume": 7}])
    args = ("HPX", "2024-01-01", "2024-01-31", "D")
    with use_connection(cache=tmp_path / "c.sqlite") as connection:
        volumes = []
        for url in (sample.url, service.url, sample.url, service.url):
            monkeypatch.setattr(priceBars, "base_url", url)
            volumes.append(priceBars.get_priceBars(*args)["Volume"].iloc[0])
        query = {"ticker": "HPX", "fromDate": "2024-01-01", "toDate": "2024-01-31"}
        for verify in (True, False, False):
            connection.get(service.url + "/api/stock/priceBars", params=query, verify=verify)
        assert connection.cache_info().entries == 3
    assert volumes[0] != 7 and volumes == volumes[:2] * 2 and volumes[1] == 7
    assert (sample.requests_served, len(service.requests)) == (1, 2)


def test_the_file_is_shared_safely(sample, tmp_path):
    """WAL mode (readers never wait for a writer, processes share the file)
    and a busy time-out long enough to wait for another process's write."""
    path = tmp_path / "c.sqlite"
    with use_connection(cache=path) as connection:
        priceBars.get_priceBars(*CALLS["get_priceBars"][1])
        with connection._store.backend().responses.connection() as database:
            assert database.execute("PRAGMA busy_timeout").fetchone() == (30_000,)
    with sqlite3.connect(str(path)) as database:
        assert database.execute("PRAGMA journal_mode").fetchone() == ("wal",)


@pytest.mark.parametrize("status", [201, 404, 503])
def test_only_status_200_is_kept(service, place, status):
    service.point(priceBars)
    service.answer("/api/stock/priceBars", body='[{"DateTime": "2024-01-02"}]', status=status)
    with use_connection(cache=place, retries=0) as connection:
        for _ in range(2):
            with pytest.raises(ValueError, match=f"status:{status}"):
                priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-31", "D")
        assert connection.cache_info().entries == 0
    assert len(service.requests) == 2


def test_the_token_never_reaches_the_disk(service, place):
    """Not in the key, not in the stored request nor in a redirect's, not in
    any column or Redis value; a new login still finds the answers."""
    path = place
    records = [{"DateTime": "2024-01-02T00:00:00", "Open": 1, "High": 2, "Low": 1,
                "Close": 2, "Volume": 10}]
    service.point(priceBars)
    service.answer("/api/stock/priceBars", records)
    service.server.expect_request("/moved").respond_with_response(Response(
        status=302, headers={"Location": "/api/stock/priceBars?ticker=HPX"}))
    Client().login(LONG_TOKEN)
    with use_connection(cache=path) as connection:
        table = priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-31", "D")
        moved = connection.get(service.url + "/moved", headers=Client()._get_headers())
        assert [r.request.headers["Authorization"] for r in moved.history] == [
            f"Bearer {LONG_TOKEN}"]
        Client().login(LONG_TOKEN[::-1])
        again = priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-31", "D")
        assert connection.get(service.url + "/moved").json() == records
        # The table, the redirect's target, and the same answer under /moved.
        assert connection.cache_info().entries == 3
    assert len(service.requests) == 3  # the second login's calls were hits
    pd.testing.assert_frame_equal(again, table)
    kept = stored(path)
    assert b"api/stock/priceBars" in kept  # the answers are there ...
    for secret in (LONG_TOKEN, LONG_TOKEN[::-1]):  # ... and no token, in any encoding
        for form in token_forms(secret) | {secret.encode("utf-16-le")}:
            assert form not in kept


# One process of two that share a Redis cache: calls every function once,
# logged in with the long token, and prints how many requests it sent.
REDIS_PROCESS = """
import json, sys
sys.path.insert(0, {tests!r})
from quorvane.process_client import Client, use_connection
from quorvane.process_stock import priceBars, orderFlow, foreign, dealerDesk, dividend
from test_cache import CALLS
for module in (priceBars, orderFlow, foreign, dealerDesk, dividend):
    module.base_url = {url!r}
Client().login({token!r})
with use_connection(cache={cache!r}) as connection:
    tables = [function(*args).to_json() for function, args in CALLS.values()]
    print(json.dumps([tables, connection.cache_info().entries]))
"""


def test_two_processes_share_one_redis_cache(redis_url):
    """The second process's calls are hits; no form of the token is in any
    key or value; clearing empties the database for everyone."""
    with sample_service.SampleService(tokens=[LONG_TOKEN]) as service:
        code = REDIS_PROCESS.format(tests=os.path.dirname(__file__), url=service.url,
                                    token=LONG_TOKEN, cache=redis_url)
        first = in_child(code)
        served = service.requests_served
        second = in_child(code)
        assert (served, service.requests_served) == (5, 5)
    assert first == second and first[1] == 5
    kept = redis_dump(redis_url)
    assert b"api/stock/priceBars" in kept
    for form in token_forms(LONG_TOKEN) | {LONG_TOKEN.encode("utf-16-le")}:
        assert form not in kept
    with Connection(cache=redis_url) as connection:
        assert connection.cache_info()[:2] == (redis_url, 5)
        connection.clear_cache()
        assert connection.cache_info()[1:] == (0, 0)


# Tokens of every length and alphabet, and the ways a service may echo one.
TOKENS = [LONG_TOKEN, "s3cr3t", "Zm9v+YmFy/cXV4==", "clé-ñ-ü"]
ECHOES = {
    "as it is": lambda token: token,
    "percent-encoded": lambda token: quote(token, safe=""),
    "percent-encoded, lower-case hex": lambda token: re.sub(
        "%..", lambda escape: escape.group().lower(), quote(token, safe="")),
    "JSON-escaped": lambda token: json.dumps(token)[1:-1].replace("/", "\\/"),
    "base64": lambda token: base64.b64encode(token.encode()).decode(),
}


def token_forms(token):
    return {form(token).encode() for form in ECHOES.values()} | {token.encode()}


@pytest.mark.parametrize("echo", list(ECHOES))
@pytest.mark.parametrize("token", TOKENS)
def test_an_answer_that_echoes_the_token_is_not_kept(service, place, token, echo):
    body = ('[{"DateTime": "2024-01-02T00:00:00", "Open": 1, "High": 2, "Low": 1, "Close": 2, '
            f'"Volume": 10, "note": "seen {ECHOES[echo](token)}"}}]')
    service.point(priceBars)
    service.answer("/api/stock/priceBars", body=body)
    Client().login(token)
    with use_connection(cache=place) as connection:
        for _ in range(2):
            assert priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-31", "D")["Volume"].iloc[0] == 10
        assert connection.cache_info().entries == 0
    assert len(service.requests) == 2
    kept = stored(place)
    assert not [form for form in token_forms(token) if form in kept]


@pytest.mark.parametrize("token", TOKENS)
def test_only_the_content_type_of_the_headers_is_kept(service, place, token):
    """Headers the functions do not read are not kept, whatever they hold: a
    token echoed in one, a session cookie."""
    service.point(priceBars)
    service.server.expect_request("/api/stock/priceBars").respond_with_response(Response(
        json.dumps([{"DateTime": "2024-01-02T00:00:00", "Volume": 10}]),
        content_type="application/json; charset=utf-8",
        headers={"X-Seen": quote(f"Bearer {token}"), "Set-Cookie": "session=c00k1e-v4lue; Path=/",
                 "X-Plain": "unremarkable-header-value"}))
    Client().login(token)
    with use_connection(cache=place):
        priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-31", "D")
        kept = priceBars.requests.get(service.url + "/api/stock/priceBars", params={
            "ticker": "HPX", "fromDate": "2024-01-01", "toDate": "2024-01-31"})
    assert len(service.requests) == 1 and kept.from_cache
    assert dict(kept.headers) == {"Content-Type": "application/json; charset=utf-8"}
    assert kept.encoding == "utf-8" and not kept.cookies
    kept = stored(place)
    for form in token_forms(token) | {b"c00k1e-v4lue", b"unremarkable-header-value"}:
        assert form not in kept


@pytest.mark.parametrize("content_type, body", [
    ("text/html", "<html><body>Down for maintenance</body></html>"),
    ("application/json", '[{"DateTime": "2024-01-02T00:00:00", "Open"'),  # cut short
    ("application/json", '{"error": "maintenance"}'),
    ("application/json", '[{"DateTime": "2024-01-02T00:00:00"}, 1]'),
])
def test_an_answer_the_functions_cannot_read_is_not_kept(service, place, content_type, body):
    service.point(priceBars)
    service.server.expect_oneshot_request("/api/stock/priceBars").respond_with_data(
        body, content_type=content_type)
    service.answer("/api/stock/priceBars", [{"DateTime": "2024-01-02T00:00:00", "Volume": 10}])
    with use_connection(cache=place) as connection:
        with pytest.raises(Exception):
            priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-31", "D")
        assert connection.cache_info().entries == 0
        for _ in range(2):  # the good answer, then the same from the file
            assert priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-31", "D")["Volume"].iloc[0] == 10
    assert len(service.requests) == 2


def test_clear_and_info(sample, tmp_path):
    path = tmp_path / "c"
    with Connection(cache=path) as connection:
        assert connection.cache_info() == (tmp_path / "c.sqlite", 0,
                                           connection.cache_info().bytes)
        with use_connection(connection):
            for name in CALLS:
                function, args = CALLS[name]
                function(*args)
                function(*args)
        info = connection.cache_info()
        assert info.entries == 5 and info.bytes > 10_000
        assert info.bytes == sum(os.path.getsize(name) for name in
                                 (path.with_suffix(".sqlite"), f"{path}.sqlite-wal")
                                 if os.path.exists(name))
        connection.clear_cache()
        assert connection.cache_info().entries == 0
        with use_connection(connection):
            priceBars.get_priceBars(*CALLS["get_priceBars"][1])
        assert connection.cache_info().entries == 1
    assert sample.requests_served == 6
    with pytest.raises(RuntimeError, match="this Connection is closed"):
        connection.cache_info()
    with pytest.raises(RuntimeError, match="has no cache: give it cache=True or cache=path"):
        Connection().clear_cache()


def test_cache_true_is_a_file_in_the_user_cache_folder(sample, tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "home-cache"))
    with Connection(cache=True) as connection:
        with use_connection(connection):
            priceBars.get_priceBars(*CALLS["get_priceBars"][1])
        assert connection.cache_info()[:2] == (
            tmp_path / "home-cache" / "quorvane" / "http-cache.sqlite", 1)


# ---- threads and processes on one file ---------------------------------------------

def mixed_calls(count):
    """`count` distinct calls over the five functions."""
    names = list(CALLS)
    calls = []
    for i in range(count):
        function, args = CALLS[names[i % len(names)]]
        ticker = sorted(sample_service.TICKERS)[i // len(names) % len(sample_service.TICKERS)]
        year = 2015 + i // (len(names) * len(sample_service.TICKERS))
        calls.append((function, (ticker, f"{year}-01-01", f"{year}-12-31", *args[3:])))
    return calls


def in_eight_threads(calls, rounds, step):
    """Eight threads started together, thread i making `rounds` calls, the
    n-th being calls[(step * i + n) % len(calls)]; returns each thread's
    (index into calls, table) pairs and the exceptions raised."""
    got = [[] for _ in range(8)]
    failures = []
    start = threading.Barrier(8)

    def work(index):
        try:
            start.wait()
            for n in range(rounds):
                which = (step * index + n) % len(calls)
                function, args = calls[which]
                got[index].append((which, function(*args)))
        except BaseException as error:  # reported by the main thread
            failures.append(error)
    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(90)
    return got, failures


@pytest.mark.threads
def test_eight_threads_share_one_cached_connection(sample, tmp_path):
    calls = mixed_calls(25)
    expected = [function(*args) for function, args in calls]  # plain requests
    with use_connection(cache=tmp_path / "c.sqlite", timeout=30) as connection:
        got, failures = in_eight_threads(calls, 50, 7)
        assert not failures, failures
        assert connection.cache_info().entries == len(calls)
    # Compared here: pandas' comparison is not safe to run in several threads.
    assert sum(map(len, got)) == 400
    for results in got:
        for index, table in results:
            pd.testing.assert_frame_equal(table, expected[index])
    # Each call once, but for calls that two threads missed at the same time.
    assert len(calls) <= sample.requests_served - len(calls) < 8 * len(calls)


@pytest.mark.threads
def test_eight_threads_read_the_same_answers_at_once(sample, tmp_path):
    # Threads reading one answer together on one database connection: a
    # read reset half-way by another thread's came back empty (EOFError from
    # pickle) or unreadable, and was then fetched again from the service.
    calls = mixed_calls(3)
    with use_connection(cache=tmp_path / "c.sqlite", timeout=30):
        expected = [function(*args) for function, args in calls]
        served = sample.requests_served
        got, failures = in_eight_threads(calls, 150, 1)
    assert not failures, failures
    assert sample.requests_served == served  # every call a hit
    for results in got:
        assert len(results) == 150
        assert all(table.equals(expected[index]) for index, table in results)


# Runs in a process of its own: 4 threads make CALLS calls each on the shared
# file, once the go file exists, and check every table against plain requests.
PROCESS = """
import json, os, sys, threading, time
import pandas as pd
from quorvane.config import set_base_url
from quorvane.process_client import Client, Connection, use_connection
from quorvane.process_stock import priceBars, orderFlow, foreign, dealerDesk, dividend
sys.path.insert(0, {tests!r})
from test_cache import mixed_calls
for module in (priceBars, orderFlow, foreign, dealerDesk, dividend):
    module.base_url = {url!r}
Client().login({token!r})
calls = mixed_calls({count})
expected = [function(*args) for function, args in calls]
use_connection(Connection(cache={path!r}, timeout=30))
results, failures = [], []
def work(index):
    try:
        for n in range({each}):
            i = (index * 5 + n) % len(calls)
            function, args = calls[i]
            results.append((i, function(*args)))
    except BaseException as error:
        failures.append(repr(error))
while not os.path.exists({go!r}):
    time.sleep(0.01)
threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
wrong = 0
for i, table in results:
    try:
        pd.testing.assert_frame_equal(table, expected[i])
    except AssertionError:
        wrong += 1
print(json.dumps({{"calls": len(results), "wrong": wrong, "failures": failures}}))
"""


def test_a_file_opened_while_another_process_writes_to_it(sample, tmp_path):
    """Opening switches the file to WAL mode, which SQLite refuses at once
    while another connection is in the middle of a write: opening waits for
    the write to end instead of failing, as when two processes open a new
    file together."""
    path = tmp_path / "c.sqlite"
    writer = sqlite3.connect(str(path), isolation_level=None, check_same_thread=False)
    writer.execute("CREATE TABLE other (x)")
    writer.execute("BEGIN IMMEDIATE")
    writer.execute("INSERT INTO other VALUES (1)")
    timer = threading.Timer(0.3, writer.execute, ("COMMIT",))
    timer.start()
    try:
        with Connection(cache=path) as connection:
            use_connection(connection)
            function, args = CALLS["get_priceBars"]
            assert function(*args).equals(function(*args))
            assert connection.cache_info().entries == 1
    finally:
        timer.join()
        writer.close()
    assert sample.requests_served == 1


@pytest.mark.threads
def test_two_processes_share_one_file(sample, tmp_path):
    path, go = tmp_path / "c.sqlite", tmp_path / "go"
    count, each = 20, 30
    code = textwrap.dedent(PROCESS.format(
        tests=os.path.dirname(__file__), url=sample.url, token=sample_service.DEMO_TOKEN,
        count=count, path=str(path), go=str(go), each=each))
    children = [subprocess.Popen([PYTHON, "-c", code], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True,
                                 env=dict(os.environ, PYTHONPATH=ROOT))
                for _ in range(2)]
    try:
        time.sleep(0.5)
        go.touch()
        outputs = [child.communicate(timeout=100) for child in children]
    finally:
        for child in children:
            child.kill()
    for child, (out, err) in zip(children, outputs):
        assert child.returncode == 0, err
        assert json.loads(out.splitlines()[-1]) == {"calls": 4 * each, "wrong": 0,
                                                    "failures": []}
    with Connection(cache=path) as connection:
        assert connection.cache_info().entries == count


# The start of both forking children: a login, and a binding with a cache.
FORK_SETUP = """
import contextlib, json, os, signal, sqlite3, threading, time, warnings
from requests_cache.backends.sqlite import SQLiteDict
from quorvane.process_client import Client, use_connection
from quorvane.process_stock import priceBars
warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
priceBars.base_url = {url!r}
Client().login({token!r})
def fetch(year):
    priceBars.get_priceBars("HPX", f"{{year}}-01-01", f"{{year}}-01-31", "D")
binding = use_connection(cache={path!r}, timeout=30)
"""


# A parent that has used the cache forks a child, which stores answers before
# and after the parent has closed its connection (and so the file: the
# parent's SQLite then folds its log into the file and removes it). Every
# answer must still be there for a new process.
FORKED = FORK_SETUP + """
fetch(2000)
parent_closed_r, parent_closed_w = os.pipe()
first_done_r, first_done_w = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(parent_closed_w)  # so that a parent that dies ends the wait
    try:
        fetch(2001)
        os.write(first_done_w, b"x")
        os.read(parent_closed_r, 1)
        fetch(2002)
        fetch(2003)
        os._exit(0)
    except BaseException:
        os._exit(1)
os.close(first_done_w)
os.read(first_done_r, 1)
binding.restore()  # made by use_connection: closed now, and its file with it
assert binding.connection.closed
os.write(parent_closed_w, b"x")
status = os.waitpid(pid, 0)[1]
print(json.dumps({{"status": status}}))
"""


def test_a_forked_child_keeps_what_it_stores(sample, tmp_path):
    path = tmp_path / "c.sqlite"
    assert in_child(FORKED.format(url=sample.url, token=sample_service.DEMO_TOKEN,
                                  path=str(path))) == {"status": 0}
    assert in_child(f"""
        import json
        from quorvane.process_client import Connection
        print(json.dumps(Connection(cache={str(path)!r}).cache_info().entries))
    """) == 4


# A thread of the parent is inside a write (its transaction open, the
# store's lock held) when the main thread forks. Without the wait before the
# fork, the child inherits both: it hangs on the lock when it drops the
# parent's store, and its own answer is lost.
FORKED_MID_WRITE = FORK_SETUP + """
fetch(2001)
write = SQLiteDict.connection
inside = threading.Event()
@contextlib.contextmanager
def slow_write(self, commit=False):
    with write(self, commit) as connection:
        yield connection
        if commit and threading.current_thread().name == "writer":
            inside.set()
            time.sleep(1.0)
SQLiteDict.connection = slow_write
writer = threading.Thread(target=fetch, args=(2002,), name="writer")
writer.start()
inside.wait(10)
pid = os.fork()
if pid == 0:
    signal.alarm(10)
    try:
        fetch(2003)
        os._exit(0)
    except BaseException:
        os._exit(3)
status = os.waitpid(pid, 0)[1]
writer.join()
fetch(2004)
binding.restore()
with sqlite3.connect({path!r}) as check:
    print(json.dumps([status, check.execute("SELECT COUNT(*) FROM responses").fetchone()[0],
                      check.execute("PRAGMA integrity_check").fetchone()[0]]))
"""


@pytest.mark.threads
def test_a_fork_waits_for_writes_under_way(sample, tmp_path):
    assert in_child(FORKED_MID_WRITE.format(url=sample.url, token=sample_service.DEMO_TOKEN,
                                            path=str(tmp_path / "c.sqlite"))) == [0, 4, "ok"]


# A loop of calls that each store an answer, with SIGINT sent at random
# moments (the handler raises only while a call is under way, so that the
# loop itself goes on); it stops once several interrupts landed inside a
# write. Then a call in another thread and a write from another process must
# go through, and what was stored must be whole.
INTERRUPTED = """
import json, os, random, signal, subprocess, sys, threading, time
from quorvane.config import set_base_url
from quorvane.process_client import Client, Connection, use_connection
from quorvane.process_stock import priceBars
priceBars.base_url = {url!r}
Client().login({token!r})
use_connection(cache={path!r}, timeout=30)
calling, inside, interrupts, whole = False, 0, 0, 0
def interrupt(signum, frame):
    global inside
    # Not in the loop's own lines (its except clause included): in the call.
    if calling and frame.f_code.co_name != "<module>":
        while frame is not None and frame.f_code.co_name != "save_response":
            frame = frame.f_back
        inside += frame is not None
        raise KeyboardInterrupt
signal.signal(signal.SIGINT, interrupt)
stop = threading.Event()
def send():
    while not stop.wait(random.uniform(0.0005, 0.008)):
        os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=send, daemon=True).start()
started, n = time.monotonic(), 0
# Until some calls went through whole too (a loaded machine interrupts most).
while (inside < 4 or whole < 2) and time.monotonic() - started < 20:
    n += 1
    try:
        calling = True
        priceBars.get_priceBars("HPX", f"{{1990 + n % 30}}-01-01", f"{{1990 + n % 30}}-{{1 + n // 30 % 12:02}}-28", "D")
        whole += 1
    except KeyboardInterrupt:
        interrupts += 1
    finally:
        calling = False
stop.set()
time.sleep(0.05)
done, failed = threading.Event(), []
def later():
    try:
        priceBars.get_priceBars("HPX", "2024-02-01", "2024-02-28", "D")
        done.set()
    except BaseException as error:
        failed.append(repr(error))
thread = threading.Thread(target=later, daemon=True)
thread.start()
other = subprocess.run([sys.executable, "-c", '''
from quorvane.process_client import Client, use_connection
from quorvane.process_stock import priceBars
priceBars.base_url = {url!r}
Client().login({token!r})
use_connection(cache={path!r}, timeout=30)
priceBars.get_priceBars("HPX", "2024-03-01", "2024-03-28", "D")
'''], timeout=30, capture_output=True, text=True)
if not done.wait(30) and not failed:  # where it waits
    import traceback
    failed.append("".join(traceback.format_stack(sys._current_frames()[thread.ident])))
print(json.dumps([inside > 0, interrupts >= inside, failed, other.returncode, other.stderr[-500:]]))
"""


def test_an_interrupted_opening_holds_no_lock(sample, tmp_path, monkeypatch):
    """Ctrl-C while the file is being opened (its tables made, in a write
    transaction): a later call opens it again and stores its answer, even
    while the interrupt's frames are still alive."""
    from requests_cache.backends.sqlite import SQLiteDict
    made = SQLiteDict.init_db

    def interrupted(table):
        monkeypatch.setattr(SQLiteDict, "init_db", made)
        with table.connection(commit=True) as database:
            database.execute("CREATE TABLE IF NOT EXISTS opened (x)")
            database.execute("INSERT INTO opened VALUES (1)")
            raise KeyboardInterrupt
    monkeypatch.setattr(SQLiteDict, "init_db", interrupted)
    with use_connection(cache=tmp_path / "c.sqlite") as connection:
        with pytest.raises(KeyboardInterrupt) as kept:
            priceBars.get_priceBars(*CALLS["get_priceBars"][1])
        later = threading.Thread(target=priceBars.get_priceBars, args=CALLS["get_priceBars"][1],
                                 daemon=True)
        later.start()
        later.join(10)
        assert not later.is_alive() and connection.cache_info().entries == 1
    assert kept.value.__traceback__ is not None


def test_an_interrupted_write_leaves_the_file_usable(sample, tmp_path):
    path = tmp_path / "c.sqlite"
    assert in_child(INTERRUPTED.format(url=sample.url, token=sample_service.DEMO_TOKEN,
                                       path=str(path))) == [True, True, [], 0, ""]
    with sqlite3.connect(str(path)) as check:
        assert check.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    # Every answer stored is whole: read back, each is the table itself.
    with Connection(cache=path) as connection, use_connection(connection):
        entries = connection.cache_info().entries
        served = sample.requests_served
        for month in ("02", "03"):
            priceBars.get_priceBars("HPX", f"2024-{month}-01", f"2024-{month}-28", "D")
        assert sample.requests_served == served
    assert entries > 2


# A cache file that this process may read and not write: hits are served,
# misses fetched and not stored, and one warning says so. (Root writes any
# file, so a child run as root gives its rights up first, once everything
# it needs is imported.)
READ_ONLY = """
import json, os, warnings
from quorvane.process_client import Client, use_connection
from quorvane.process_client import cache
from quorvane.process_stock import priceBars
priceBars.base_url = {url!r}
Client().login({token!r})
priceBars.get_priceBars("HPX", "2024-05-01", "2024-05-31", "D")  # imports what pandas needs
if os.getuid() == 0:
    os.setgid(65534)
    os.setuid(65534)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    with use_connection(cache={path!r}) as connection:
        for month in ("01", "01", "02", "02"):
            priceBars.get_priceBars("HPX", f"2024-{{month}}-01", f"2024-{{month}}-28", "D")
        entries = connection.cache_info().entries
        try:
            connection.clear_cache()
        except PermissionError as error:
            refused = str(error)
print(json.dumps([[str(w.message) for w in caught], entries, refused]))
"""


def test_a_read_only_file_answers_what_it_holds(sample, tmp_path):
    folder = Path(tempfile.mkdtemp(prefix="quorvane-read-only-"))
    path = folder / "c.sqlite"
    try:
        with use_connection(cache=path):
            priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-28", "D")
        path.chmod(0o444)
        folder.chmod(0o555)
        served = sample.requests_served
        messages, entries, refused = in_child(READ_ONLY.format(
            url=sample.url, token=sample_service.DEMO_TOKEN, path=str(path)))
    finally:
        folder.chmod(0o755)
        shutil.rmtree(folder)
    assert messages == [f"the cache file {str(path)!r} is read-only: calls are answered from "
                        "it where it can, and new answers are not stored"]
    assert (entries, refused) == (1, f"the cache file {str(path)!r} is read-only")
    assert sample.requests_served - served == 1 + 2  # the child's warm-up, then February twice
