"""Connection(rate_limit=(calls, per_seconds)): counted where the service
counts, at the sample service and pytest-httpserver on 127.0.0.1."""

import bisect
import json
import math
import multiprocessing
import os
import threading
import time

import pandas as pd
import pytest
from werkzeug import Response

import pool_tasks
import sample_service
from conftest import BAR, PATH, bars, eventually_served, in_child, sample_script
from quorvane.process_client import Connection, RateLimitExceeded, fetch_many, use_connection
from quorvane.process_client.ratelimit import RateLimit
from quorvane.process_client.slots import Availability
from quorvane.process_stock import priceBars

SPAWN = multiprocessing.get_context("spawn")


def busiest_window(arrivals, seconds):
    """The most requests that arrived within any `seconds`-long window."""
    times = sorted(arrivals)
    return max(bisect.bisect_left(times, start + seconds) - i for i, start in enumerate(times))


@pytest.fixture(params=["own", "file", "redis"])
def any_store(request, tmp_path):
    """rate_limit_store: None (this process's own limit), a file, or Redis."""
    if request.param == "redis":
        return request.getfixturevalue("redis_url")
    return None if request.param == "own" else str(tmp_path / "limits.sqlite")


@pytest.mark.threads
def test_eight_threads_keep_the_limit_at_the_service(sample):
    expected = bars("HPX")
    got, failures = [], []

    def work(i):
        try:
            for n in range(8):
                # 64 different requests (identical ones at once would share
                # one); the service reads the day only.
                got.append(bars("HPX", end=f"2024-01-31T00:{i:02d}:{n:02d}"))
        except BaseException as error:  # reported by the main thread
            failures.append(error)
    first = len(sample.arrivals)
    with use_connection(timeout=30, rate_limit=(20, 1)):
        start = time.monotonic()
        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        elapsed = time.monotonic() - start
    assert not failures and len(got) == 64
    for table in got:
        pd.testing.assert_frame_equal(table, expected)
    arrivals = sample.arrivals[first:]
    assert len(arrivals) == 64
    assert busiest_window(arrivals, 1.0) == 20
    # 64 requests, 20 a second at most: the 61st comes 3 s after the first
    # at the earliest; each second's batch goes as soon as the one before has
    # been answered.
    assert arrivals[60] - arrivals[0] >= 3.0
    assert elapsed < 3.0 + 5.0


@pytest.mark.threads
def test_fetch_many_keeps_the_limit_with_any_number_of_workers(sample, monkeypatch):
    tickers = [f"R{i:03d}" for i in range(35)]
    for i, ticker in enumerate(tickers):
        monkeypatch.setitem(sample_service.TICKERS, ticker, (10.0 + i, 1_000_000))
    first = len(sample.arrivals)
    with use_connection(timeout=30, rate_limit=(10, 1)):
        result = fetch_many(priceBars.get_priceBars, tickers, "2024-01-01", "2024-01-31", "D",
                            workers=16, progress=False)
    assert result.ok and list(result.tables) == tickers
    arrivals = sample.arrivals[first:]
    assert len(arrivals) == 35 and busiest_window(arrivals, 1.0) == 10
    assert arrivals[30] - arrivals[0] >= 3.0


def test_cache_hits_pass_a_spent_limit(sample, tmp_path, any_store):
    pytest.importorskip("requests_cache", reason="the cache needs requests-cache")
    ends = ["2024-01-29", "2024-01-30", "2024-01-31"]
    with use_connection(cache=tmp_path / "c.sqlite", rate_limit=(3, 60), max_wait=0.5,
                        rate_limit_store=any_store):
        tables = [bars("HPX", end=end) for end in ends]
        start = time.monotonic()
        for _ in range(10):  # the limit is spent for a minute: only hits can go
            for end, table in zip(ends, tables):
                pd.testing.assert_frame_equal(bars("HPX", end=end), table)
        with pytest.raises(RateLimitExceeded) as excinfo:
            bars("HPX", end="2024-01-26")  # not in the cache
        elapsed = time.monotonic() - start
    assert sample.requests_served == 3
    # A turn a minute away is refused at once rather than after max_wait.
    assert str(excinfo.value).startswith(
        "rate limit of 3 requests per 60 s: the next request may go in 5")
    assert "after max_wait=0.5 s" in str(excinfo.value)
    assert elapsed < 5.0


def test_retries_count_against_the_limit(service, any_store):
    service.point(priceBars)
    service.server.expect_request(PATH).respond_with_response(Response("busy", status=503))
    with use_connection(timeout=5, retries=3, backoff=0, rate_limit=(2, 60), max_wait=0.5,
                        rate_limit_store=any_store):
        with pytest.raises(RateLimitExceeded, match="rate limit of 2 requests per 60 s"):
            bars("HPX")
    assert len(service.requests) == 2


@pytest.mark.parametrize("backoff, per, gaps", [
    (0, 0.4, [0.4]),
    # The second retry waits 1 s of backoff, during which the second try's
    # slot has ended already: the third try goes when the backoff ends.
    (0.5, 0.6, [0.6, 1.0]),
])
def test_a_retry_waits_for_its_turn(service, backoff, per, gaps):
    """With one request a window, a retry goes `per` seconds after the
    try before it was answered (or after its backoff, if later): the slot is
    given back when the answer arrives, not when the call ends or the next
    try starts."""
    arrived = []

    def answer(request):
        arrived.append(time.monotonic())
        return Response("busy", status=503) if len(arrived) <= len(gaps) else Response(
            json.dumps([BAR]), content_type="application/json")
    service.point(priceBars)
    service.server.expect_request(PATH).respond_with_handler(answer)
    with use_connection(timeout=5, retries=len(gaps), backoff=backoff, rate_limit=(1, per)):
        assert len(bars("HPX")) == 1
    assert len(arrived) == len(gaps) + 1
    for gap, (before, after) in zip(gaps, zip(arrived, arrived[1:])):
        assert gap <= after - before < gap + 0.5


class ScriptedSlots:
    """A slot store that answers from a script, on a clock that only its
    waits move."""

    def __init__(self, answers):
        self.answers, self.now, self.waits, self.deadlines = list(answers), 0.0, [], []

    def take(self, calls, per, lease, deadline):
        self.deadlines.append(deadline)
        return self.answers.pop(0)

    def wait(self, seconds):
        self.waits.append(round(seconds, 3))
        self.now += seconds


TAKEN, INF = Availability("slot", 0, None, 0.0), math.inf


# What the store answers, one take after another, and how the wait for a
# slot of a (2, 1) limit with max_wait=5 ends: "taken" or the refusal.
@pytest.mark.parametrize("answers, ends, waits", [
    pytest.param([TAKEN], "taken", [], id="free"),
    pytest.param([Availability(None, 0, 2.0, 2.0), TAKEN], "taken", [2.0], id="free in 2 s"),
    pytest.param([Availability(None, 0, 6.0, 6.0)],
                 "the next request may go in 6.0 s, after max_wait=5 s", [],
                 id="free in 6 s: refused at once"),
    pytest.param([Availability(None, 0, 2.0, 2.0), Availability(None, 0, 4.0, 4.0)],
                 "the next request may go in 4.0 s, after max_wait=5 s (waited 2.0 s)", [2.0],
                 id="free later than first said"),
    pytest.param([Availability(None, 2, None, INF)] * 2,
                 "no request could go within max_wait=5 s (2 still under way)", [5.0],
                 id="all under way: until one ends, or max_wait"),
    pytest.param([Availability(None, 2, None, 1.5)] * 4 + [TAKEN], "taken", [1.5, 1.5, 1.5, 0.5],
                 id="all under way, shared: asked again, within max_wait"),
])
def test_the_wait_for_a_slot(answers, ends, waits):
    slots = ScriptedSlots(answers)
    limit = RateLimit(2, 1.0, 5.0, slots, lease=3.0, clock=lambda: slots.now)
    try:
        got = "taken" if limit.take() else None
    except RateLimitExceeded as error:
        got = str(error).replace("rate limit of 2 requests per 1 s: ", "")
    assert (got, slots.waits, set(slots.deadlines)) == (ends, waits, {5.0})


def test_a_wait_beyond_max_wait_fails_and_names_the_limit(sample, any_store):
    """Every slot in flight: when one comes free is unknown, so the request
    waits max_wait, then gives up."""
    sample.delay = 1.5
    with use_connection(timeout=10, rate_limit=(1, 5), max_wait=0.3,
                        rate_limit_store=any_store):
        under_way = threading.Thread(target=bars, args=("HPX",))
        under_way.start()
        assert eventually_served(sample, 1)
        start = time.monotonic()
        with pytest.raises(RateLimitExceeded) as excinfo:
            bars("QVA")
        elapsed = time.monotonic() - start
        under_way.join(10)
    assert 0.3 <= elapsed < 0.3 + 1.0
    assert str(excinfo.value) == ("rate limit of 1 request per 5 s: no request could go "
                                  "within max_wait=0.3 s (1 still under way)")
    assert sample.requests_served == 1


def test_ctrl_c_stops_the_wait(any_store):
    report = in_child(sample_script("""
        signal.signal(signal.SIGINT, signal.default_int_handler)  # even as a background job
        use_connection(rate_limit=(1, 60), max_wait=120, rate_limit_store=%r)
        priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-31", "D")
        start = time.monotonic()
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            priceBars.get_priceBars("QVA", "2024-01-01", "2024-01-31", "D")
            outcome = "sent"
        except KeyboardInterrupt:
            outcome = "interrupted"
        print(json.dumps([outcome, time.monotonic() - start, service.requests_served]))
    """ % any_store))
    assert report[0] == "interrupted" and 0.5 <= report[1] < 5.0 and report[2] == 1


@pytest.mark.parametrize("second", ["ended", "in flight"])
def test_a_forked_child_counts_the_parents_requests(second):
    """The child starts from the parent's count: requests that ended, and
    requests still under way in another thread, which the child never sees
    end (they count as ended at the fork)."""
    report = in_child(sample_script("""
        use_connection(rate_limit=(2, 60), max_wait=0.5, timeout=10)
        priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-30", "D")
        second = lambda: priceBars.get_priceBars("HPX", "2024-01-01", "2024-01-31", "D")
        if %r == "ended":
            second()
        else:
            service.delay = 1.0
            threading.Thread(target=second).start()
            while service.requests_served < 2:
                time.sleep(0.01)
        pid = os.fork()
        if pid == 0:
            try:
                priceBars.get_priceBars("QVA", "2024-01-01", "2024-01-31", "D")
                os._exit(1)
            except RateLimitExceeded:
                os._exit(0)
            except BaseException:
                os._exit(2)
        print(json.dumps([os.waitpid(pid, 0)[1], service.requests_served]))
    """ % second))
    assert report == [0, 2]


def test_ctrl_c_drops_fetch_many_calls_waiting_for_their_turn(any_store):
    report = in_child(sample_script("""
        from quorvane.process_client.batch import THREAD_NAME_PREFIX
        signal.signal(signal.SIGINT, signal.default_int_handler)  # even as a background job
        use_connection(rate_limit=(2, 60), max_wait=120, rate_limit_store=%r)
        def interrupt():
            while service.requests_served < 2:
                time.sleep(0.01)
            time.sleep(0.3)  # the other workers are waiting for their turn
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=interrupt, daemon=True).start()
        start = time.monotonic()
        try:
            fetch_many(priceBars.get_priceBars, sorted(sample_service.TICKERS), "2024-01-01",
                       "2024-01-31", "D", workers=4, progress=False)
            outcome = "finished"
        except KeyboardInterrupt:
            outcome = "interrupted"
        left = [t.name for t in threading.enumerate() if t.name.startswith(THREAD_NAME_PREFIX)]
        print(json.dumps([outcome, time.monotonic() - start, left, service.requests_served]))
    """ % any_store))
    assert report[0] == "interrupted" and report[1] < 5.0
    assert report[2:] == [[], 2]


# ---- one limit for many processes: rate_limit_store ------------------------------

@pytest.mark.parametrize("any_store", ["file", "redis"], indirect=True)
def test_processes_share_one_limit(sample, any_store):
    """4 processes of 4 threads each, one with its clock 2 s ahead and one
    2 s behind: no 1 s window at the service sees more than 10 requests."""
    ready, go, results = SPAWN.Barrier(5), SPAWN.Event(), SPAWN.Queue()
    children = [SPAWN.Process(target=pool_tasks.share_a_limit, args=(
        sample.url, sample_service.DEMO_TOKEN, any_store, offset, index, ready, go, results))
        for index, offset in enumerate((2, -2, 0, 0))]
    try:
        for child in children:
            child.start()
        ready.wait(60)
        first = len(sample.arrivals)
        go.set()
        assert [results.get(timeout=60) for _ in children] == [10] * 4
    finally:
        for child in children:
            child.kill()
            child.join()
    arrivals = sample.arrivals[first:]
    assert len(arrivals) == 40 and busiest_window(arrivals, 1.0) == 10
    # 40 requests, 10 a second at most: the 31st comes 3 s after the first
    # at the earliest, and not much later.
    assert 3.0 <= arrivals[30] - arrivals[0] < 3.0 + 3.0


@pytest.mark.parametrize("any_store", ["file", "redis"], indirect=True)
def test_a_process_killed_holding_slots_holds_the_others_until_its_lease_ends(
        sample, any_store):
    """The lease of its slots: per_seconds + the connect and read time
    limits = 0.5 + 0.5 + 1.0 = 2 s after it took them, as documented."""
    sample.delay = 30.0
    holder = SPAWN.Process(target=pool_tasks.hold_two_slots, args=(
        sample.url, sample_service.DEMO_TOKEN, any_store))
    holder.start()
    try:
        assert eventually_served(sample, 2, 60)
    finally:
        holder.kill()
        holder.join()
    sample.delay = 0.0
    with use_connection(timeout=5, rate_limit=(2, 0.5), rate_limit_store=any_store, max_wait=10):
        bars("MSR")
    taken, freed = sample.arrivals[0], sample.arrivals[2]
    assert 2.0 - 0.2 < freed - taken < 2.0 + 1.5


def test_a_limit_file_deleted_while_in_use_is_left_for_the_new_one(sample, tmp_path):
    """The file (with its log and index) deleted while this process uses it,
    and a new one started at the same path by another process: this process
    counts in the new one too, so that the two still hold one limit."""
    path = tmp_path / "limits.sqlite"
    with use_connection(rate_limit=(2, 60), rate_limit_store=path, max_wait=0.5):
        bars("HPX")
        for name in (path, f"{path}-wal", f"{path}-shm"):
            os.remove(name)
        assert in_child(sample_script(f"""
            with use_connection(rate_limit=(2, 60), rate_limit_store={str(path)!r}):
                for ticker in ("QVA", "TCL"):
                    priceBars.get_priceBars(ticker, "2024-01-01", "2024-01-31", "D")
            print(json.dumps("sent"))
        """, url=sample.url)) == "sent"
        with pytest.raises(RateLimitExceeded):
            bars("MSR")  # both slots of the new file are taken
    assert sample.requests_served == 3
