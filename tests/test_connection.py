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
import sample_service
from quorvane.process_client import Client, Connection, restore_requests, use_connection
from quorvane.process_client.connection import DATA_MODULES

PATH = "/api/stock/priceBars"
BAR = {"DateTime": "2024-01-02T00:00:00", "Open": 1.5, "High": 2.0, "Low": 1.0,
       "Close": 1.75, "Volume": 100}
HEAD = "Có lỗi xảy ra\nChi tiết: \nstatus:"
DATA = [importlib.import_module(name) for name in DATA_MODULES]


def bars(ticker="AAA", period="D"):
    return pb.get_priceBars(ticker, "2024-01-01", "2024-01-31", period)


@pytest.fixture(autouse=True)
def _plain_afterwards():
    yield
    restore_requests()


@pytest.fixture
def sample(monkeypatch):
    """The sample service, with every data module pointed at it and a login."""
    with sample_service.SampleService() as service:
        for module in DATA:
            monkeypatch.setattr(module, "base_url", service.url)
        Client().login(sample_service.DEMO_TOKEN)
        yield service


class StallingServer:
    """Accepts connections and reads requests, but never answers."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.1)
        self.url = "http://127.0.0.1:%d" % self.listener.getsockname()[1]
        self.requests = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def _serve(self):
        held = []
        deadline = time.monotonic() + 30
        while not self.stop.is_set() and time.monotonic() < deadline:
            try:
                connection = self.listener.accept()[0]
            except socket.timeout:
                pass
            else:
                held.append(connection)
                connection.settimeout(0.1)
            for connection in held:
                try:
                    if b"\r\n\r\n" in connection.recv(65536):
                        self.requests += 1
                except OSError:
                    pass
        for connection in held:
            connection.close()
        self.listener.close()

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(5)


# ---- time limits and errors ----------------------------------------------------

@pytest.mark.parametrize("retries", [0, 2])
def test_stalled_server_ends_in_read_timeout(monkeypatch, retries):
    read = 0.4
    with StallingServer() as server:
        monkeypatch.setattr(pb, "base_url", server.url)
        use_connection(Connection(timeout=(2, read), retries=retries, backoff=0.05))
        start = time.monotonic()
        with pytest.raises(requests.exceptions.ReadTimeout) as excinfo:
            bars()
        elapsed = time.monotonic() - start
    # Without the adapter's mapping, the last try's time-out would come out
    # of requests as a ConnectionError once retries are counted.
    assert type(excinfo.value) is requests.exceptions.ReadTimeout
    assert server.requests == retries + 1
    waits = 0.05 * 2 * (retries > 1)  # urllib3: no wait before the first retry
    assert (retries + 1) * read <= elapsed < (retries + 1) * read + waits + 1.0


def test_refused_connection_stays_a_connection_error(monkeypatch):
    with socket.create_server(("127.0.0.1", 0)) as closed:
        port = closed.getsockname()[1]
    monkeypatch.setattr(pb, "base_url", "http://127.0.0.1:%d" % port)
    use_connection(Connection(timeout=1, retries=2, backoff=0.01))
    with pytest.raises(requests.exceptions.ConnectionError) as excinfo:
        bars()
    assert type(excinfo.value) is requests.exceptions.ConnectionError


def test_connect_time_limit(monkeypatch):
    # A listener that never accepts, with its backlog full: the kernel drops
    # further connection attempts, which then time out.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    try:
        for _ in range(8):
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex(listener.getsockname())
            fillers.append(filler)
        time.sleep(0.2)
        monkeypatch.setattr(pb, "base_url", "http://127.0.0.1:%d" % listener.getsockname()[1])
        use_connection(Connection(timeout=(0.3, 5), retries=1, backoff=0.01))
        start = time.monotonic()
        with pytest.raises(requests.exceptions.ConnectionError) as excinfo:
            bars()
        elapsed = time.monotonic() - start
    finally:
        for sock in fillers + [listener]:
            sock.close()
    if type(excinfo.value) is requests.exceptions.ConnectionError:
        pytest.skip("this kernel refuses instead of dropping connections beyond the backlog")
    assert type(excinfo.value) is requests.exceptions.ConnectTimeout
    assert elapsed < 2 * 0.3 + 1.0


# ---- retries ---------------------------------------------------------------------

def test_two_503_then_the_table(service):
    service.point(pb)
    for _ in range(2):
        service.server.expect_oneshot_request(PATH).respond_with_data("busy", status=503)
    service.answer(PATH, [BAR])
    use_connection(Connection(timeout=5, retries=3, backoff=0.01))
    table = bars()
    assert len(service.requests) == 3
    assert len({str(request.url) for request in service.requests}) == 1  # the same request
    assert table.loc["2024-01-02", "Close"] == 1.75 and len(table) == 1


@pytest.mark.parametrize("status, tries", [(503, 3), (429, 3), (502, 3), (504, 3),
                                           (500, 1), (404, 1)])
def test_lasting_error_status(service, status, tries):
    """429/502/503/504 are tried again, others not; the last answer comes
    back unchanged and ends in the function's own ValueError."""
    service.point(pb)
    service.answer(PATH, body="service busy", status=status, content_type="text/plain")
    use_connection(Connection(timeout=5, retries=2, backoff=0.01))
    with pytest.raises(ValueError) as excinfo:
        bars()
    assert str(excinfo.value) == f"{HEAD}{status}\ncontent: service busy"
    assert len(service.requests) == tries


def answer_503_once(service, retry_after):
    service.server.expect_oneshot_request(PATH).respond_with_response(
        Response("busy", status=503, headers={"Retry-After": retry_after}))
    service.answer(PATH, [BAR])


@pytest.mark.parametrize("retry_after, max_wait, least, most", [
    ("1", 60, 1.0, 1.8),          # honoured
    ("3600", 0.3, 0.3, 1.1),      # capped by max_wait
    ("soon", 60, 0.0, 0.8),       # unreadable: as if absent, not an error
])
def test_retry_after(service, retry_after, max_wait, least, most):
    service.point(pb)
    answer_503_once(service, retry_after)
    use_connection(Connection(timeout=5, retries=2, backoff=0, max_wait=max_wait))
    start = time.monotonic()
    assert len(bars()) == 1
    elapsed = time.monotonic() - start
    assert len(service.requests) == 2
    assert least <= elapsed < most


def test_retry_after_on_a_status_not_retried(service):
    service.point(pb)
    service.server.expect_request(PATH).respond_with_response(
        Response("too large", status=413, headers={"Retry-After": "1"}))
    use_connection(Connection(timeout=5, retries=2, backoff=0))
    with pytest.raises(ValueError, match="status:413"):
        bars()
    assert len(service.requests) == 1


# ---- connection reuse and threads ---------------------------------------------------

def test_sequential_calls_share_one_tcp_connection(sample):
    with use_connection(timeout=(3, 10), retries=1) as connection:
        tables = [bars("HPX") for _ in range(20)]
    assert connection.closed
    assert (sample.requests_served, sample.connections_accepted) == (20, 1)
    for table in tables[1:]:
        pd.testing.assert_frame_equal(table, tables[0])


def test_threads_get_the_tables_of_single_calls(sample):
    tickers = sorted(sample_service.TICKERS)
    calls = [(DATA[i % 5], tickers[i % len(tickers)], f"{2016 + i}-03-01", f"{2016 + i}-10-31",
              "D" if i % 2 else "W") for i in range(8)]

    def call(module, ticker, start, end, period):
        function = {"priceBars": "get_priceBars", "orderFlow": "get_order_flow",
                    "foreign": "get_foreign", "dealerDesk": "get_dealerDesk",
                    "dividend": "get_dividend"}[module.__name__.rsplit(".", 1)[1]]
        args = [ticker, start, end, period, 1000][:getattr(module, function).__code__.co_argcount]
        return getattr(module, function)(*args)

    expected = [call(*c) for c in calls]  # plain requests
    plain_connections = sample.connections_accepted
    failures = []

    def repeat(c, want):
        try:
            for _ in range(25):
                pd.testing.assert_frame_equal(call(*c), want)
        except BaseException as error:  # reported by the main thread
            failures.append(error)

    with use_connection(timeout=(3, 10), retries=1, pool_size=8):
        threads = [threading.Thread(target=repeat, args=(c, w), daemon=True)
                   for c, w in zip(calls, expected)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
    assert not any(thread.is_alive() for thread in threads) and failures == []
    assert sample.requests_served == 8 + 8 * 25
    assert sample.connections_accepted - plain_connections <= 8


# ---- putting it in place and back ------------------------------------------------------

def test_restoring_gives_back_plain_requests(sample, monkeypatch):
    sent = []
    real_get = requests.get

    def counting_get(*args, **kwargs):
        sent.append((args, sorted(kwargs)))
        return real_get(*args, **kwargs)

    monkeypatch.setattr(requests, "get", counting_get)
    binding = use_connection(timeout=1, retries=5)
    bars("HPX")
    assert all(module.requests is binding.connection for module in DATA)
    restore_requests()
    assert all(module.requests is requests for module in DATA)
    before = sample.connections_accepted
    for _ in range(3):
        bars("HPX")
    assert sent == [((), ["headers", "params", "url"])] * 3  # no time limit
    assert sample.connections_accepted - before == 3  # a new connection each
    binding.connection.close()


def test_bindings_nest(sample):
    outer = Connection()
    with use_connection(outer) as got:
        assert got is outer
        inner = use_connection(timeout=2)
        assert all(module.requests is inner.connection for module in DATA)
        inner.restore()
        inner.restore()  # a second restore does nothing
        assert all(module.requests is outer for module in DATA)
        assert inner.connection.closed  # made by use_connection: closed with it
        bars("HPX")
        made_here = use_connection(timeout=2).connection
        restore_requests()
        assert made_here.closed and not outer.closed
    assert all(module.requests is requests for module in DATA)
    assert not outer.closed  # given, not made here: the caller closes it
    outer.close()
    with pytest.raises(RuntimeError, match="closed"):
        outer.get(sample.url)
    with pytest.raises(ValueError, match="closed"):
        use_connection(outer)
    assert all(module.requests is requests for module in DATA)


@pytest.mark.parametrize("options, error", [
    ({"timeout": (1, 2, 3)}, ValueError),
    ({"timeout": (float("inf"), 1)}, ValueError),
    ({"timeout": float("nan")}, ValueError),
    ({"timeout": "5"}, TypeError),
    ({"retries": -1}, ValueError),
    ({"max_wait": None}, TypeError),
])
def test_bad_options_change_nothing(options, error):
    with pytest.raises(error):
        use_connection(**options)
    with pytest.raises(TypeError):
        use_connection(object())  # nothing to send with
    assert all(module.requests is requests for module in DATA)


def test_calls_carry_no_cookies_from_earlier_calls(service):
    """As with plain requests.get, a cookie set by one answer is not sent
    with the next call."""
    service.point(pb)
    service.server.expect_oneshot_request(PATH).respond_with_response(
        Response('[{"DateTime": "2024-01-02", "Close": 1}]', headers={"Set-Cookie": "s=1; Path=/"}))
    service.answer(PATH, [BAR])
    use_connection(Connection(timeout=5))
    bars()
    bars()
    assert [request.headers.get("Cookie") for request in service.requests] == [None, None]
