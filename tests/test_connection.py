"""Connection and use_connection: time limits, retries and reused connections
for the data functions, over real servers on 127.0.0.1."""

import importlib
import socket
import threading
import time

import pandas as pd
import pytest
import requests
from werkzeug import Response

import quorvane.process_stock.priceBars as pb
from quorvane.process_client import Connection, restore_requests, use_connection
from quorvane.process_client.connection import DATA_MODULES

PATH = "/api/stock/priceBars"
BAR = {"DateTime": "2024-01-02T00:00:00", "Open": 1.5, "High": 2.0, "Low": 1.0,
       "Close": 1.75, "Volume": 100}
DATA = [importlib.import_module(name) for name in DATA_MODULES]


def bars(ticker="AAA"):
    return pb.get_priceBars(ticker, "2024-01-01", "2024-01-31", "D")


def bound():
    """What the five data modules send with."""
    return {module.requests for module in DATA}


def answer_with(service, status, body="busy", once=False, **headers):
    expect = service.server.expect_oneshot_request if once else service.server.expect_request
    expect(PATH).respond_with_response(Response(body, status=status, headers=headers))


# ---- time limits and errors ----------------------------------------------------

@pytest.fixture
def stalling(monkeypatch):
    """A server that accepts connections and never answers; yields the list
    of connections accepted (one per try)."""
    listener = socket.create_server(("127.0.0.1", 0))
    held = []

    def accept():
        while True:
            try:
                held.append(listener.accept()[0])
            except OSError:  # shut down
                return
    thread = threading.Thread(target=accept, daemon=True)
    thread.start()
    monkeypatch.setattr(pb, "base_url", "http://127.0.0.1:%d" % listener.getsockname()[1])
    yield held
    listener.shutdown(socket.SHUT_RDWR)
    thread.join(5)
    for sock in held + [listener]:
        sock.close()


@pytest.mark.parametrize("retries", [0, 2])
def test_stalled_server_ends_in_read_timeout(stalling, retries):
    read = 0.4
    use_connection(Connection(timeout=(2, read), retries=retries, backoff=0.05))
    start = time.monotonic()
    with pytest.raises(requests.exceptions.ReadTimeout) as excinfo:
        bars()
    elapsed = time.monotonic() - start
    # Without our adapter, the last try's time-out would come out of requests
    # as a ConnectionError once retries are counted.
    assert type(excinfo.value) is requests.exceptions.ReadTimeout
    assert len(stalling) == retries + 1
    waits = 0.05 * 2 * (retries > 1)  # urllib3: no wait before the first retry
    assert (retries + 1) * read <= elapsed < (retries + 1) * read + waits + 1.0


@pytest.mark.parametrize("backlog_full", [False, True])
def test_connect_failures_stay_requests_own(monkeypatch, backlog_full):
    # No listener: refused. A listener that never accepts, with its backlog
    # full: the kernel drops further attempts, which then time out.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    monkeypatch.setattr(pb, "base_url", "http://127.0.0.1:%d" % listener.getsockname()[1])
    fillers = [socket.socket() for _ in range(8 * backlog_full)]
    for filler in fillers:
        filler.setblocking(False)
        filler.connect_ex(listener.getsockname())
    if backlog_full:
        time.sleep(0.2)
    else:
        listener.close()
    use_connection(Connection(timeout=(0.3, 5), retries=1, backoff=0.01))
    start = time.monotonic()
    try:
        with pytest.raises(requests.exceptions.ConnectionError) as excinfo:
            bars()
    finally:
        for sock in fillers + [listener]:
            sock.close()
    error = type(excinfo.value)
    if backlog_full and error is requests.exceptions.ConnectionError:
        pytest.skip("this kernel refuses instead of dropping connections beyond the backlog")
    assert error is (requests.exceptions.ConnectTimeout if backlog_full
                     else requests.exceptions.ConnectionError)
    assert time.monotonic() - start < 2 * 0.3 + 1.0


# ---- retries ---------------------------------------------------------------------

@pytest.mark.parametrize("status, headers, tries", [
    (503, {}, 3), (429, {}, 3), (502, {}, 3), (504, {}, 3), (500, {}, 1), (404, {}, 1),
    (413, {"Retry-After": "1"}, 1),  # Retry-After alone does not make a status retried
])
def test_lasting_error_status(service, status, headers, tries):
    """The last answer comes back unchanged and ends in the function's own
    ValueError."""
    service.point(pb)
    answer_with(service, status, "service busy", **headers)
    use_connection(Connection(timeout=5, retries=2, backoff=0.01))
    with pytest.raises(ValueError) as excinfo:
        bars()
    assert str(excinfo.value) == f"Có lỗi xảy ra\nChi tiết: \nstatus:{status}\ncontent: service busy"
    assert len(service.requests) == tries


@pytest.mark.parametrize("busy, headers, max_wait, least, most", [
    (2, {}, 60, 0.0, 0.8),                       # 503, 503, then the table
    (1, {"Retry-After": "1"}, 60, 1.0, 1.8),     # honoured
    (1, {"Retry-After": "3600"}, 0.3, 0.3, 1.1),  # capped by max_wait
    (1, {"Retry-After": "soon"}, 60, 0.0, 0.8),  # unreadable: as if absent, not an error
])
def test_busy_then_the_table(service, busy, headers, max_wait, least, most):
    service.point(pb)
    for _ in range(busy):
        answer_with(service, 503, once=True, **headers)
    service.answer(PATH, [BAR])
    use_connection(Connection(timeout=5, retries=2, backoff=0.01, max_wait=max_wait))
    start = time.monotonic()
    table = bars()
    assert least <= time.monotonic() - start < most
    assert len(service.requests) == busy + 1
    assert len({str(request.url) for request in service.requests}) == 1  # the same request
    assert table.loc["2024-01-02", "Close"] == 1.75 and len(table) == 1


def test_calls_carry_no_cookies_from_earlier_calls(service):
    # As with plain requests.get.
    service.point(pb)
    answer_with(service, 200, '[{"DateTime": "2024-01-02", "Close": 1}]', once=True,
                **{"Set-Cookie": "s=1; Path=/"})
    service.answer(PATH, [BAR])
    use_connection(Connection(timeout=5))
    bars()
    bars()
    assert [request.headers.get("Cookie") for request in service.requests] == [None, None]


# ---- connection reuse, putting it in place and back ---------------------------------

def test_sequential_calls_share_one_tcp_connection(sample):
    with use_connection(timeout=(3, 10), retries=1) as connection:
        tables = [bars("HPX") for _ in range(20)]
    assert connection.closed
    assert (sample.requests_served, sample.connections_accepted) == (20, 1)
    for table in tables[1:]:
        pd.testing.assert_frame_equal(table, tables[0])


def test_restoring_gives_back_plain_requests(sample, monkeypatch):
    sent = []
    real_get = requests.get

    def counting_get(*args, **kwargs):
        sent.append((args, sorted(kwargs)))
        return real_get(*args, **kwargs)

    monkeypatch.setattr(requests, "get", counting_get)
    binding = use_connection(timeout=1, retries=5)
    bars("HPX")
    assert bound() == {binding.connection}
    restore_requests()
    assert bound() == {requests} and binding.connection.closed
    before = sample.connections_accepted
    for _ in range(3):
        bars("HPX")
    assert sent == [((), ["headers", "params", "url"])] * 3  # no time limit
    assert sample.connections_accepted - before == 3  # a new connection each


def test_bindings_nest_and_close_only_what_they_made(sample):
    outer = Connection()
    with use_connection(outer) as got:
        assert got is outer
        inner = use_connection(timeout=2)
        assert bound() == {inner.connection}
        inner.restore()
        inner.restore()  # a second restore does nothing
        assert bound() == {outer} and inner.connection.closed
        bars("HPX")
        made_here = use_connection(timeout=2).connection
        restore_requests()
        assert made_here.closed and not outer.closed
    assert bound() == {requests} and not outer.closed  # given: the caller closes it
    outer.close()
    with pytest.raises(RuntimeError, match="closed"):
        outer.get(sample.url)
