"""The ValueError for a status other than 200 carries the status and the
body, for every data function and through fetch_many, so that a program can
tell a 401 from a 404 or a 503 without reading the message."""

import copy
import pickle
import sys
from types import SimpleNamespace

import pytest

from quorvane.process_client import Client, fetch_many
from quorvane.process_stock import dealerDesk, dividend, foreign, orderFlow, priceBars

CALLS = [(priceBars.get_priceBars, "/api/stock/priceBars", ("HPX", "2024-03-01", "2024-03-31", "W")),
         (orderFlow.get_order_flow, "/api/stock/orderFlow", ("HPX", "2024-03-01", "2024-03-31", "W")),
         (foreign.get_foreign, "/api/stock/foreign", ("HPX", "2024-03-01", "2024-03-31", "W", 1e9)),
         (dealerDesk.get_dealerDesk, "/api/stock/dealerDesk",
          ("HPX", "2024-03-01", "2024-03-31", "W", 1e9)),
         (dividend.get_dividend, "/api/stock/diviend", ("HPX", "2024-01-01", "2024-12-31"))]
EACH = pytest.mark.parametrize("function, path, args", CALLS, ids=[c[0].__name__ for c in CALLS])


def message(status, text):
    return f"Có lỗi xảy ra\nChi tiết: \nstatus:{status}\ncontent: {text}"


@pytest.mark.parametrize("status, body", [(401, '{"error": "token expired"}'),
                                          (404, "không có mã <b>HPX</b>"),
                                          (429, ""), (503, "busy"), (201, "[]")])
@EACH
def test_status_and_body_as_attributes(service, function, path, args, status, body):
    service.point(sys.modules[function.__module__])
    service.answer(path, body=body, status=status, content_type="text/plain; charset=utf-8")
    with pytest.raises(ValueError) as excinfo:
        function(*args)
    error = excinfo.value
    assert type(error) is ValueError and error.args == (message(status, body),)
    assert type(error.status_code) is int and error.status_code == status
    assert error.text == body
    # The attributes survive what a program may do with the error.
    for kept in (pickle.loads(pickle.dumps(error)), copy.copy(error)):
        assert (kept.args, kept.status_code, kept.text) == (error.args, status, body)


class Status(int):
    """A status the response makes itself: kept as it was read."""

    def __str__(self):
        return "four-oh-four"


@pytest.mark.parametrize("status, text, shown, body", [
    (Status(404), "gone", "four-oh-four", "gone"),  # an f-string field's text, as in the message
    ("503", b"busy", "503", "b'busy'"),
    (404.0, 42, "404.0", "42"),
], ids=["int-subclass", "str-status-bytes-text", "float-status-int-text"])
def test_attributes_are_the_pieces_of_the_message(monkeypatch, status, text, shown, body):
    response = SimpleNamespace(status_code=status, text=text)
    monkeypatch.setattr(priceBars, "requests", SimpleNamespace(get=lambda **kwargs: response))
    with pytest.raises(ValueError) as excinfo:
        priceBars.get_priceBars("HPX", "2024-03-01", "2024-03-31", "D")
    assert str(excinfo.value) == message(shown, body)
    assert excinfo.value.status_code is status and excinfo.value.text == body


def test_fetch_many_keeps_the_errors_with_their_status(sample):
    tickers = ["HPX", "NOPE", "QVA"]
    tables, errors = fetch_many(priceBars.get_priceBars, tickers, "2024-03-01", "2024-03-31", "W",
                                progress=False)
    assert list(tables) == ["HPX", "QVA"] and list(errors) == ["NOPE"]
    assert errors["NOPE"].status_code == 404 and "unknown ticker 'NOPE'" in errors["NOPE"].text
    Client().logout()
    tables, errors = fetch_many(priceBars.get_priceBars, tickers, "2024-03-01", "2024-03-31", "W",
                                progress=False)
    assert tables == {} and {t: e.status_code for t, e in errors.items()} == dict.fromkeys(tickers, 401)
