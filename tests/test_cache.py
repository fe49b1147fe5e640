"""Connection(cache=...): answers kept in a SQLite file, against the sample
service and pytest-httpserver, with the real requests-cache."""

import base64
import contextlib
import datetime
import gc
import json
import os
import pickle
import re
import shutil
import sqlite3
import subprocess
import tempfile
import textwrap
import threading
import time
import traceback
import warnings
from pathlib import Path
from urllib.parse import quote

import pandas as pd
import pytest
import requests
from hypothesis import given, settings
from hypothesis import strategies as st
from werkzeug import Response

import sample_service
from conftest import PYTHON, ROOT, eventually, in_child, locked, redis_dump, sample_script
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


def test_a_hit_is_a_normal_response(sample, place):
    """Served by the hit path from the file or from Redis: a Response with
    the answer's status, headers and bytes, and a new object from every
    json(), so that a table one caller changes never reaches another."""
    url = sample.url + "/api/stock/priceBars"
    params = {"ticker": "HPX", "fromDate": "2024-01-02", "toDate": "2024-01-05"}
    headers = Client()._get_headers()
    with Connection(cache=place) as connection:
        sent = connection.get(url, headers=headers, params=params)
        kept = connection.get(url, headers=headers, params=params)
        records = kept.json()
        records[0]["Open"] = -1.0
        again = connection.get(url, headers=headers, params=params)
    assert sample.requests_served == 1
    assert (type(kept).__name__, type(again).__name__) == ("CacheHit", "CacheHit")
    assert isinstance(kept, requests.Response) and kept.status_code == 200 and kept.from_cache
    assert kept.json() == again.json() == sent.json() != records and len(sent.json()) == 4
    assert (kept.content, kept.text, kept.headers["Content-Type"]) == (
        sent.content, sent.text, sent.headers["Content-Type"])


# An address and a query, as a caller may give them: the hit path's key
# must be the full path's, or the hit path must leave the call to it (None).
@pytest.mark.parametrize("url, params, plain", [
    ("http://127.0.0.1:8000/api/stock/priceBars", {"ticker": "HPX", "toDate": "2024-01-31"}, True),
    ("https://data.example.com/v1.2/api/stock/diviend", {"ticker": "A B", "x": "é&=+/?#%"}, True),
    ("http://127.0.0.1:8000", None, True),
    ("http://127.0.0.1:8000/api", {}, True),
    ("http://Data.Example.com/api", {"ticker": "HPX"}, False),
    ("http://127.0.0.1:08000/api", {"ticker": "HPX"}, False),
    ("http://127.0.0.1:8000/a/../api", {"ticker": "HPX"}, False),
    ("http://127.0.0.1:8000/api%20x", {"ticker": "HPX"}, False),
    ("http://127.0.0.1:8000/api?x=1", {"ticker": "HPX"}, False),
    ("http://127.0.0.1:8000/api", {"ticker": ["HPX", "QVA"]}, False),
    ("http://127.0.0.1:8000/api", {"ticker": None}, False),
    ("http://user:pw@127.0.0.1:8000/api", {"ticker": "HPX"}, False),
])
def test_the_hit_paths_address_is_the_one_requests_sends(url, params, plain):
    from quorvane.process_client.cache_hits import prepared_url
    sent = requests.Request("GET", url, params=params).prepare().url
    assert prepared_url(url, params) == (sent if plain else None)


@settings(max_examples=300, deadline=None)
@given(st.text(max_size=12), st.text(max_size=12))
def test_the_hit_paths_address_for_any_ticker(ticker, date):
    from quorvane.process_client.cache_hits import prepared_url
    url, params = "https://data.example.com/api/stock/priceBars", {"ticker": ticker, "toDate": date}
    assert prepared_url(url, params) == requests.Request("GET", url, params=params).prepare().url


def test_an_answer_expires_at_its_moment():
    """As requests-cache reads it: served before its expiry, not from then on."""
    from quorvane.process_client.cache_hits import hit_from
    expires = datetime.datetime(2030, 1, 1, tzinfo=datetime.timezone.utc)
    for stored in (expires.isoformat(), expires.replace(tzinfo=None).isoformat()):
        entry = pickle.dumps({"_content": b"[]", "status_code": 200, "expires": stored})
        assert hit_from(entry, now=expires - datetime.timedelta(microseconds=1)).json() == []
        assert hit_from(entry, now=expires) is None


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


def test_today_is_the_local_date(monkeypatch):
    """By the caller's clock, in a time zone whose date differs from UTC's
    now (14 hours ahead, or 12 behind): yesterday's range is over, today's not."""
    from quorvane.process_client.cache import NEVER_EXPIRE, expiry_for
    now = datetime.datetime.now(datetime.timezone.utc)
    ahead = (now + datetime.timedelta(hours=14)).date() != now.date()
    monkeypatch.setenv("TZ", "XXX-14" if ahead else "XXX+12")
    time.tzset()
    try:
        today = datetime.date.today()
        url = "http://127.0.0.1/api/stock/priceBars?ticker=HPX&fromDate=2020-01-01&toDate="
        assert today != now.date() and expiry_for(url + str(today), 60.0) == 60.0
        assert expiry_for(url + str(today - datetime.timedelta(days=1)), 60.0) == NEVER_EXPIRE
    finally:
        monkeypatch.undo()
        time.tzset()


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
    any column or Redis value, nor a header but the content type, nor a
    cookie; a new login still finds the answers."""
    path = place
    records = [{"DateTime": "2024-01-02T00:00:00", "Open": 1, "High": 2, "Low": 1,
                "Close": 2, "Volume": 10}]
    service.point(priceBars)
    service.server.expect_request("/api/stock/priceBars").respond_with_response(Response(
        json.dumps(records), content_type="application/json; charset=utf-8", headers={
            "X-Seen": quote(f"Bearer {LONG_TOKEN}"), "Set-Cookie": "session=c00k1e-v4lue; Path=/",
            "X-Plain": "unremarkable-header-value"}))
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
        hit = connection.get(service.url + "/moved")
        assert hit.json() == records and not hit.cookies
        assert dict(hit.headers) == {"Content-Type": "application/json; charset=utf-8"}
        # The table, the redirect's target, and the same answer under /moved.
        assert connection.cache_info().entries == 3
    assert len(service.requests) == 3  # the second login's calls were hits
    pd.testing.assert_frame_equal(again, table)
    kept = stored(path)
    assert b"api/stock/priceBars" in kept  # the answers are there ...
    for secret in (LONG_TOKEN, LONG_TOKEN[::-1]):  # ... and no token, in any encoding
        for form in token_forms(secret) | {secret.encode("utf-16-le")}:
            assert form not in kept
    assert b"c00k1e-v4lue" not in kept and b"unremarkable-header-value" not in kept


# Tokens of every length and alphabet, and the ways a service may echo one.
# ~~~??? is "fn5+Pz8/" in base64 and "fn5-Pz8_" in its URL-safe alphabet.
TOKENS = [LONG_TOKEN, "s3cr3t", "Zm9v+YmFy/cXV4==", "clé-ñ-ü", "~~~???"]
ECHOES = {
    "as it is": lambda token: token,
    "percent-encoded": lambda token: quote(token, safe=""),
    "percent-encoded, lower-case hex": lambda token: re.sub(
        "%..", lambda escape: escape.group().lower(), quote(token, safe="")),
    "JSON-escaped": lambda token: json.dumps(token)[1:-1].replace("/", "\\/"),
    "base64": lambda token: base64.b64encode(token.encode()).decode(),
    "URL-safe base64": lambda token: base64.urlsafe_b64encode(token.encode()).decode(),
}


def token_forms(token):
    return {form(token).encode() for form in ECHOES.values()} | {token.encode()}


ECHOED = '[{"DateTime": "2024-01-02T00:00:00", "Volume": 10, "note": "seen %s"}]'


# The token, the answer, and what the function raises on it (None: its table).
@pytest.mark.parametrize("token, content_type, body, error", [
    *[pytest.param(token, "application/json", ECHOED % echo(token), None, id=f"{name}: {token}")
      for token in TOKENS for name, echo in ECHOES.items()],
    # Answers the functions cannot read.
    pytest.param(LONG_TOKEN, "text/html", "<html><body>Down</body></html>", ValueError,
                 id="a page"),
    pytest.param(LONG_TOKEN, "application/json", '[{"DateTime": "2024-01-02T00:00:00", "Op',
                 ValueError, id="cut short"),
    pytest.param(LONG_TOKEN, "application/json", '{"error": "maintenance"}', ValueError,
                 id="an object"),
    pytest.param(LONG_TOKEN, "application/json", '[{"DateTime": "2024-01-02"}, 1]',
                 (AttributeError, TypeError), id="not records"),
])
def test_an_answer_is_not_kept(service, place, token, content_type, body, error):
    """One that echoes the token in any form (the caller still gets its
    table), or one the functions cannot read: the next call asks again."""
    service.point(priceBars)
    service.answer("/api/stock/priceBars", body=body, content_type=content_type)
    Client().login(token)
    with use_connection(cache=place) as connection:
        for _ in range(2):
            if error is None:
                table = priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-31", "D")
                assert table["Volume"].iloc[0] == 10
            else:
                with pytest.raises(error):
                    priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-31", "D")
        assert connection.cache_info().entries == 0
    assert len(service.requests) == 2
    kept = stored(place)
    assert not [form for form in token_forms(token) if form in kept]


def test_clear_and_info(sample, tmp_path):
    path = tmp_path / "c"
    with Connection(cache=path) as connection:
        empty = connection.cache_info()
        assert empty[:2] == (tmp_path / "c.sqlite", 0) and empty.bytes == sum(
            os.path.getsize(name) for name in (path.with_suffix(".sqlite"), f"{path}.sqlite-wal")
            if os.path.exists(name)) > 0
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


def open_files(folder):
    """How many of this process's file descriptors are files in `folder`."""
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):  # the listing's own, closed by now
            count += os.readlink(f"/proc/self/fd/{fd}").startswith(str(folder))
    return count


@pytest.mark.parametrize("ending", ["close", "collected"])
def test_the_files_are_let_go_with_the_connection(sample, tmp_path, ending):
    """The cache's and the shared limit's SQLite connections end when the
    Connection is closed, or, left open, when it is collected: without a
    ResourceWarning (CPython 3.13 and later warn of a connection collected
    open)."""
    connection = Connection(cache=tmp_path / "c", rate_limit=(100, 1),
                            rate_limit_store=tmp_path / "limits.sqlite")
    with use_connection(connection):
        priceBars.get_priceBars(*CALLS["get_priceBars"][1])
    assert open_files(tmp_path) > 0
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if ending == "close":
            connection.close()
        else:
            del connection
            gc.collect()
    assert open_files(tmp_path) == 0
    # (A pooled socket collected open is requests' own: urllib3 1.26 warns.)
    assert [str(w.message) for w in caught if "database" in str(w.message)] == []


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


@pytest.mark.threads
def test_a_write_under_way_keeps_the_other_threads_out(sample, tmp_path, monkeypatch):
    """One thread held inside its write transaction while another reads an
    answer and stores one on the same file: the other waits its turn, and
    every answer is stored and read back whole."""
    from quorvane.process_client.cache_file import WritableTable
    write, path = WritableTable.connection, tmp_path / "c.sqlite"
    inside, go_on = threading.Event(), threading.Event()

    @contextlib.contextmanager
    def held(table, commit=False):
        with write(table, commit) as database:
            yield database
            if commit and threading.current_thread().name == "writer":
                inside.set()
                go_on.wait(10)
    calls = mixed_calls(3)
    expected = [function(*args) for function, args in calls]
    with use_connection(cache=path) as connection:
        function, args = calls[0]
        function(*args)
        monkeypatch.setattr(WritableTable, "connection", held)
        writer = threading.Thread(target=lambda: calls[1][0](*calls[1][1]), name="writer")
        other = threading.Thread(target=lambda: [function(*args) for function, args in
                                                 (calls[0], calls[2])])
        writer.start()
        assert inside.wait(10)
        other.start()
        other.join(1.0)
        waited = other.is_alive()
        go_on.set()
        writer.join(10)
        other.join(10)
        assert waited and connection.cache_info().entries == 3
    served = sample.requests_served
    with use_connection(cache=path):
        for (function, args), table in zip(calls, expected):
            pd.testing.assert_frame_equal(function(*args), table)
    assert sample.requests_served == served


@pytest.mark.threads
def test_hits_wait_for_no_write(sample, place, monkeypatch):
    """Eight threads hitting while another process holds the file's write
    lock and a miss of this process waits for it: no hit waits with it."""
    monkeypatch.setattr("quorvane.process_client.sqlite_file.LOCK_SECONDS", 20.0)
    calls = mixed_calls(9)
    with use_connection(cache=place) as connection:
        expected = [function(*args) for function, args in calls[:8]]
        with contextlib.ExitStack() as stack:
            if isinstance(place, Path):
                stack.enter_context(locked(place))
            else:  # Redis has no lock: a miss whose answer is slow to come
                sample.delay = 3.0
            function, args = calls[8]
            miss = threading.Thread(target=function, args=args)
            served = sample.requests_served
            miss.start()
            assert eventually(lambda: sample.requests_served > served)
            started = time.monotonic()
            got, failures = in_eight_threads(calls[:8], 20, 1)
            hits_took, waiting = time.monotonic() - started, miss.is_alive()
        miss.join(30)
        assert connection.cache_info().entries == 9
    assert not failures and waiting and hits_took < 2.0
    for results in got:
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
            # WAL mode, and SQLite's own waits for a lock short: a longer
            # wait is made of many, between which signals are handled.
            with connection._store.backend().responses.connection() as database:
                assert database.execute("PRAGMA journal_mode").fetchone() == ("wal",)
                assert database.execute("PRAGMA busy_timeout").fetchone() == (50,)
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


# The start of both forking children (after sample_script's login): a
# binding with a cache.
FORK_SETUP = """
import contextlib, sqlite3
from quorvane.process_client.cache_file import WritableTable
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
    assert in_child(sample_script(FORKED.format(path=str(path)), url=sample.url)) == {"status": 0}
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
write = WritableTable.connection
inside = threading.Event()
@contextlib.contextmanager
def slow_write(self, commit=False):
    with write(self, commit) as connection:
        yield connection
        if commit and threading.current_thread().name == "writer":
            inside.set()
            time.sleep(1.0)
WritableTable.connection = slow_write
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
    assert in_child(sample_script(FORKED_MID_WRITE.format(path=str(tmp_path / "c.sqlite")),
                                  url=sample.url)) == [0, 4, "ok"]


@pytest.mark.parametrize("opened", [False, True], ids=["while opening", "while storing"])
def test_ctrl_c_inside_a_write_holds_no_lock(sample, tmp_path, monkeypatch, opened):
    """Ctrl-C inside a write transaction (the file's tables being made, or an
    answer stored): even while the interrupt's frames are alive, another
    process can write at once, the next call here stores its answer, and
    the file is whole."""
    from quorvane.process_client.cache_file import WritableTable
    write, path = WritableTable.connection, tmp_path / "c.sqlite"

    @contextlib.contextmanager
    def interrupted(table, commit=False):
        with write(table, commit) as database:
            yield database
            if commit:  # the write is made, not committed
                monkeypatch.setattr(WritableTable, "connection", write)
                raise KeyboardInterrupt
    args = CALLS["get_priceBars"][1]
    with use_connection(cache=path) as connection:
        if opened:
            priceBars.get_priceBars("HPX", "2024-02-01", "2024-02-28", "D")
        monkeypatch.setattr(WritableTable, "connection", interrupted)
        with pytest.raises(KeyboardInterrupt) as kept:
            priceBars.get_priceBars(*args)
        with contextlib.closing(sqlite3.connect(str(path), timeout=5)) as other:
            other.execute("BEGIN IMMEDIATE")  # the write lock, as another process takes it
            assert other.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        later = threading.Thread(target=priceBars.get_priceBars, args=args, daemon=True)
        later.start()
        later.join(10)
        assert not later.is_alive() and connection.cache_info().entries == 1 + opened
    # The interrupt's frames were alive all along, the table that was writing among them.
    assert any(isinstance(frame.f_locals.get("table"), WritableTable)
               for frame, _ in traceback.walk_tb(kept.value.__traceback__))


@pytest.mark.parametrize("mode", [0o444, 0o666], ids=["read-only file", "in a read-only folder"])
def test_a_read_only_file_answers_what_it_holds(sample, mode):
    """A cache file that this process may read and not write, or may write
    but not in a folder where it could make its log and index: hits are
    served, misses fetched and not stored, and one warning says so. (Root
    writes any file: the child gives its rights up, once it has imported
    what it needs.)"""
    folder = Path(tempfile.mkdtemp(prefix="quorvane-read-only-"))
    path = folder / "c.sqlite"
    try:
        with use_connection(cache=path):
            priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-28", "D")
        path.chmod(mode)
        folder.chmod(0o555)
        served = sample.requests_served
        messages, entries, refused, hit = in_child(sample_script(f"""
            import tempfile
            # A cached call while it can read everything: all that one imports
            # is imported (the tree may be root's alone).
            with use_connection(cache=os.path.join(tempfile.mkdtemp(), "warm")):
                priceBars.get_priceBars("HPX", "2024-05-01", "2024-05-31", "D")
            if os.getuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                with use_connection(cache={str(path)!r}) as connection:
                    for month in ("01", "01", "02", "02"):
                        priceBars.get_priceBars("HPX", f"2024-{{month}}-01", f"2024-{{month}}-28", "D")
                    hit = connection.get(priceBars.base_url + "/api/stock/priceBars", params={{
                        "ticker": "HPX", "fromDate": "2024-01-01", "toDate": "2024-01-28"}})
                    entries = connection.cache_info().entries
                    try:
                        connection.clear_cache()
                    except PermissionError as error:
                        refused = str(error)
            print(json.dumps([[str(w.message) for w in caught], entries, refused,
                              type(hit).__name__]))
        """, url=sample.url))
    finally:
        folder.chmod(0o755)
        shutil.rmtree(folder)
    assert messages == [f"the cache file {str(path)!r} is read-only: calls are answered from "
                        "it where it can, and new answers are not stored"]
    assert (entries, refused) == (1, f"the cache file {str(path)!r} is read-only")
    assert hit == "CacheHit"  # read through the hit path
    assert sample.requests_served - served == 1 + 2  # the child's warm-up, then February twice
