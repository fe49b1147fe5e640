"""get_priceBars against a real local HTTP server."""

import json
from types import SimpleNamespace

import pandas as pd
import pytest
import requests

import quorvane.process_stock.priceBars as pb
from conftest import TOKEN, entries, last_entry

PATH = "/api/stock/priceBars"
ENTRY = ("quorvane.process_stock.priceBars.get_priceBars", "quorvane/process_stock/priceBars")
FIELDS = ("DateTime", "Open", "High", "Low", "Close", "Volume")
RECORDS = [dict(zip(FIELDS, bar)) for bar in [
    ("2024-01-02T09:15:00", 10, 12, 9, 11, 100),
    ("2024-01-02T14:30:00", 11, 13, 8, 12, 50),
    ("2024-01-04T10:00:00", 12, 12.5, 10, 10.5, 30),
    ("2024-01-09T10:00:00", 20, 21, 19, 20.5, 7),
    ("2024-01-23T10:00:00", 30, 31, 29, 30, 1),
]]
RECORDS[0]["Turnover"] = 1.5
NAN = float("nan")


def our_lines(excinfo):
    return [line for name, path, line in entries(excinfo) if path.startswith("quorvane/")]


@pytest.fixture
def bars(service):
    service.point(pb)

    def call(records=RECORDS, period="D", ticker="FPT", dates=("2024-01-01", "2024-01-31"), **answer):
        service.answer(PATH, records, **answer)
        return pb.get_priceBars(ticker, *dates, period)
    return call


def test_request_as_sent(service, bars, logged_in):
    bars(ticker=" fpt&x=1 ", dates=("01/02/2024", "not a date"), period="W")
    (request,) = service.requests
    assert request.path == PATH
    assert service.query() == [("ticker", " fpt&x=1 "), ("fromDate", "01/02/2024"), ("toDate", "not a date")]
    assert (request.headers["Authorization"], request.headers["Accept"]) == (f"Bearer {TOKEN}", "application/json")


FORMATTED = type("Formatted", (), {"__init__": lambda self, url: setattr(self, "url", url),
                                  "__format__": lambda self, spec: self.url, "__str__": lambda self: "wrong"})


@pytest.mark.parametrize("make, tail", [(lambda url: url + "/", "//api/stock/priceBars"), (FORMATTED, PATH)],
                         ids=["trailing slash", "formatted object"])
def test_text_form_of_base_url(service, monkeypatch, make, tail):
    urls = []  # the address as handed to requests (the wire form may merge "//")
    monkeypatch.setattr(pb, "base_url", make(service.url))
    monkeypatch.setattr(pb, "requests", SimpleNamespace(get=lambda **kw: urls.append(kw["url"]) or requests.get(**kw)))
    service.answer(PATH, RECORDS)
    assert len(pb.get_priceBars("FPT", "a", "b", "D")) == len(RECORDS)
    assert urls == [service.url + tail]


def test_daily_table_as_sent(bars):
    records = RECORDS[::-1]
    expected = pd.DataFrame(records)
    expected["DateTime"] = pd.to_datetime(expected["DateTime"])
    pd.testing.assert_frame_equal(bars(records), expected.set_index("DateTime"))


def test_weekly_bars(bars):
    expected = pd.DataFrame({
        "ticker": ["FPT"] * 4,
        "Open": [10, 20, NAN, 30], "High": [13, 21, NAN, 31], "Low": [8, 19, NAN, 29],
        "Close": [10.5, 20.5, NAN, 30], "Volume": [180, 7, 0, 1],
    }, index=pd.date_range("2024-01-07", periods=4, freq="W", name="DateTime"))
    pd.testing.assert_frame_equal(bars(period="W"), expected, check_dtype=False)


def test_one_day_is_not_d(bars):
    table = bars(period="1D")
    assert list(table.columns) == ["ticker", "Open", "High", "Low", "Close", "Volume"]
    assert len(table) == 22 and table.loc["2024-01-02"].tolist() == ["FPT", 10, 13, 8, 12, 150]


@pytest.mark.parametrize("args, name, got", [
    ((None, "a", "b", "D"), "ticker", "NoneType"),
    (("a", 20240101, "b", "D"), "fromDate", "int"),
    (("a", "b", type("Text", (str,), {})("c"), "D"), "toDate", "Text"),
    (("a", "b", "c", b"D"), "period", "bytes"),
    ((5, "b", "c", None), "ticker", "int"),
])
def test_arguments_must_be_exactly_str(service, args, name, got):
    service.point(pb)
    with pytest.raises(TypeError) as excinfo:
        pb.get_priceBars(*args)
    assert str(excinfo.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"
    assert our_lines(excinfo) == [] and service.requests == []


@pytest.mark.parametrize("status, body", [
    (404, "không tìm thấy"), (500, '{"error": "boom"}'), (201, json.dumps(RECORDS)), (204, "")])
def test_status_other_than_200(bars, status, body):
    with pytest.raises(ValueError) as excinfo:
        bars(status=status, body=body, content_type="text/plain; charset=utf-8")
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == (f"Có lỗi xảy ra\nChi tiết: \nstatus:{status}\ncontent: {body}",)
    assert last_entry(excinfo) == (*ENTRY, 40) and our_lines(excinfo) == [40]


@pytest.mark.parametrize("body, period, error, line", [
    ("<html>oops</html>", "D", requests.exceptions.JSONDecodeError, 24),
    ("[]", "D", KeyError, 25),
    ('[{"Open": 1}]', "D", KeyError, 25),
    ('[{"DateTime": "no date"}]', "D", ValueError, 25),
    (json.dumps([{k: v for k, v in r.items() if k != "Volume"} for r in RECORDS]), "W", KeyError, 28),
    (json.dumps(RECORDS), "XYZ", ValueError, 28),
], ids=["not json", "empty", "no DateTime", "bad DateTime", "no Volume", "bad period"])
def test_answer_failures(bars, body, period, error, line):
    with pytest.raises(error) as excinfo:
        bars(body=body, period=period)
    assert our_lines(excinfo) == [line]


@pytest.mark.parametrize("name, value, error, match, line", [
    ("Client", type("Broken", (), {"_get_headers": lambda self: 1 / 0}), ZeroDivisionError, "", 11),
    ("base_url", 8080, requests.exceptions.MissingSchema, "'8080/api/stock/priceBars'", 18),
    ("base_url", "http://127.0.0.1:1", requests.exceptions.ConnectionError, PATH, 18),
], ids=["headers fail", "int base_url", "connection refused"])
def test_request_failures(service, monkeypatch, name, value, error, match, line):
    service.point(pb)
    monkeypatch.setattr(pb, name, value)
    with pytest.raises(error, match=match) as excinfo:
        pb.get_priceBars("FPT", "a", "b", "D")
    assert our_lines(excinfo) == [line] and service.requests == []
