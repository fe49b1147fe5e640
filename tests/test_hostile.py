"""Data calls against misbehaving servers and awkward input, over real sockets
on 127.0.0.1: each failure is the failing library's own exception."""

import importlib
import socket
import threading
import time

import pytest
import requests
import urllib3
from werkzeug import Response

import quorvane.process_stock.priceBars as price_bars
from conftest import PATH, bars, entries

# A bar with a time of day (conftest's BAR has none).
TIMED_BAR = {"DateTime": "2024-01-02 09:15:00", "Open": 1.5, "High": 2.0, "Low": 1.0,
             "Close": 1.75, "Volume": 100}
HEAD = "Có lỗi xảy ra\nChi tiết: \nstatus:"


def assert_ours_at(excinfo, line, name="get_priceBars", module="priceBars"):
    """Exactly one entry of ours, whatever the failing library added inside it."""
    ours = [entry for entry in entries(excinfo) if entry[0].startswith("quorvane.")]
    assert ours == [(f"quorvane.process_stock.{module}.{name}", "quorvane/process_stock/" + module, line)]


@pytest.mark.parametrize("module, function, args, line", [
    ("priceBars", "get_priceBars", ("D",), 18),
    ("orderFlow", "get_order_flow", ("D",), 18),
    ("foreign", "get_foreign", ("D", 1), 16),
    ("dealerDesk", "get_dealerDesk", ("D", 1), 18),
    ("dividend", "get_dividend", (), 16),
])
def test_refused_connection(monkeypatch, module, function, args, line):
    with socket.create_server(("127.0.0.1", 0)) as closed:
        port = closed.getsockname()[1]
    target = importlib.import_module("quorvane.process_stock." + module)
    monkeypatch.setattr(target, "base_url", "http://127.0.0.1:%d" % port)
    with pytest.raises(requests.exceptions.ConnectionError) as excinfo:
        getattr(target, function)("AAA", "2024-01-01", "2024-01-31", *args)
    assert type(excinfo.value) is requests.exceptions.ConnectionError
    assert_ours_at(excinfo, line, function, module)


def test_body_cut_short(monkeypatch):
    # A raw server that promises 1000 bytes of body, sends a few and closes.
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(5)

    def serve():
        with listener, listener.accept()[0] as connection:
            connection.settimeout(5)
            head = b""
            while b"\r\n\r\n" not in head:
                head += connection.recv(4096) or b"\r\n\r\n"
            connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                               b"Content-Length: 1000\r\n\r\n[{\"DateTime\": ")

    server = threading.Thread(target=serve, daemon=True)
    server.start()
    monkeypatch.setattr(price_bars, "base_url", "http://127.0.0.1:%d" % listener.getsockname()[1])
    # urllib3 2 checks the length while requests reads the body; urllib3 1.26
    # hands over what came, which then fails to decode.
    if int(urllib3.__version__.split(".")[0]) >= 2:
        error, line = requests.exceptions.ChunkedEncodingError, 18
    else:
        error, line = requests.exceptions.JSONDecodeError, 24
    with pytest.raises(error) as excinfo:
        bars()
    server.join(5)
    assert_ours_at(excinfo, line)


def test_body_that_is_not_json(service):
    service.point(price_bars)
    service.answer(PATH, body="<html>maintenance</html>", content_type="text/html")
    with pytest.raises(requests.exceptions.JSONDecodeError) as excinfo:
        bars()
    assert_ours_at(excinfo, 24)


@pytest.mark.parametrize("status, body, content_type", [
    (204, "", "application/json"),
    (404, "Not Found", "text/plain; charset=utf-8"),
    (500, "<html><body><h1>Lỗi máy chủ</h1>\n<p>thử lại sau</p></body></html>",
     "text/html; charset=utf-8"),
])
def test_refused_status_carries_the_body(service, status, body, content_type):
    service.point(price_bars)
    service.answer(PATH, body=body, status=status, content_type=content_type)
    with pytest.raises(ValueError) as excinfo:
        bars()
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == (f"{HEAD}{status}\ncontent: {body}",)
    assert_ours_at(excinfo, 40)


def test_redirect_is_followed(service):
    service.point(price_bars)
    service.server.expect_request(PATH).respond_with_data(
        "", status=301, headers={"Location": "/moved"})
    service.answer("/moved", [TIMED_BAR, dict(TIMED_BAR, DateTime="2024-01-03 09:15:00")])
    assert list(bars()["Close"]) == [1.75, 1.75]
    assert [request.path for request in service.requests] == [PATH, "/moved"]


def test_large_body(service):
    service.point(price_bars)
    records = [dict(TIMED_BAR, DateTime=f"2024-01-01 00:00:{i % 60:02d}", Volume=i)
               for i in range(50_000)]
    service.answer(PATH, records)
    table = bars()
    assert len(table) == 50_000 and table["Volume"].iloc[-1] == 49_999


def test_slow_server(service):
    def slowly(request):
        time.sleep(0.5)
        return Response('[{"DateTime": "2024-01-02", "Close": 3}]', content_type="application/json")

    service.point(price_bars)
    service.server.expect_request(PATH).respond_with_handler(slowly)
    assert bars()["Close"].tolist() == [3]


@pytest.mark.parametrize("query", [
    ("A&B=C", "2024-01-01", "2024-01-31"),
    ("#frag x", "01/01/2024", " 31/01/2024 "),
    ("Hà Nội", "2024-01-01&period=W", "2024-01-31#"),
    ("a+b%20c", "", "toDate=x&ticker=y"),
])
def test_awkward_query_values_arrive_unchanged(service, query):
    service.point(price_bars)
    service.answer(PATH, [TIMED_BAR])
    bars(*query)
    assert service.query() == list(zip(("ticker", "fromDate", "toDate"), query))
