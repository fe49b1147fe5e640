"""What the order-flow, foreign, dealer-desk and dividend calls share: the
request they send, the status error and traceback lines. (Argument binding
of every module is in test_frame.py.)"""

from collections import namedtuple
from types import SimpleNamespace

import pytest

from conftest import TOKEN, entries, last_entry
from quorvane.process_stock import dealerDesk, dividend, foreign, orderFlow

Call = namedtuple("Call", "module name path n def_line status_line client_line time_line")
CALLS = [Call(orderFlow, "get_order_flow", "/api/stock/orderFlow", 4, 9, 33, 10, 25),
         Call(foreign, "get_foreign", "/api/stock/foreign", 5, 7, 39, 8, 23),
         Call(dealerDesk, "get_dealerDesk", "/api/stock/dealerDesk", 5, 9, 34, 10, 25),
         Call(dividend, "get_dividend", "/api/stock/diviend", 3, 7, 33, 8, None)]
EACH = pytest.mark.parametrize("c", CALLS, ids=[c.name for c in CALLS])
PARAMS = ["ticker", "fromDate", "toDate", "period", "unit"]
ARGS = ("fpt", "01/02/2024", "2024-13-40", "W", 1000)


def entry(c, line):
    return f"{c.module.__name__}.{c.name}", c.module.__name__.replace(".", "/"), line


def call(service, c, *args, **kwargs):
    service.point(c.module)
    return getattr(c.module, c.name)(*args, **kwargs)


@EACH
def test_request_carries_only_ticker_and_dates(service, logged_in, c):
    service.answer(c.path, body="gone", status=404)
    with pytest.raises(ValueError):
        call(service, c, *ARGS[:3], *("D", 1)[:c.n - 3])
    with pytest.raises(ValueError):
        call(service, c, **dict(zip(PARAMS, ARGS[:c.n])))
    first, second = service.requests
    assert first.path == second.path == c.path
    assert first.query_string == second.query_string
    assert service.query() == [("ticker", "fpt"), ("fromDate", "01/02/2024"),
                               ("toDate", "2024-13-40")]
    assert second.headers["Authorization"] == f"Bearer {TOKEN}"


@pytest.mark.parametrize("status, body", [(404, "không có <b>"),
                                          (201, '[{"DateTime": "2024-01-02"}]')])
@EACH
def test_status_other_than_200_raises(service, c, status, body):
    service.answer(c.path, body=body, status=status)
    with pytest.raises(ValueError) as excinfo:
        call(service, c, *ARGS[:c.n])
    assert str(excinfo.value) == (
        f"Có lỗi xảy ra\nChi tiết: \nstatus:{status}\ncontent: {body}")
    assert last_entry(excinfo) == entry(c, c.status_line)


@EACH
def test_missing_client_fails_before_sending(service, monkeypatch, c):
    monkeypatch.delattr(c.module, "Client")
    with pytest.raises(NameError, match=r"^name 'Client' is not defined$") as excinfo:
        call(service, c, *ARGS[:c.n])
    assert last_entry(excinfo) == entry(c, c.client_line)
    assert service.requests == []


@pytest.mark.parametrize("records", [[{"Close": 1}], []], ids=["no-field", "empty"])
@pytest.mark.parametrize("c", CALLS[:3], ids=[c.name for c in CALLS[:3]])
def test_missing_datetime_is_a_key_error(service, c, records):
    service.answer(c.path, records)
    with pytest.raises(KeyError, match="DateTime") as excinfo:
        call(service, c, *ARGS[:c.n])
    assert [e for e in entries(excinfo) if e[1].startswith("quorvane/")] == [entry(c, c.time_line)]


@pytest.mark.parametrize("status, accepted", [(200, False), (500, True)], ids=["200", "500"])
@EACH
def test_status_compared_by_its_own_equality(service, monkeypatch, c, status, accepted):
    # Only an exact int is compared by value; a subclass answers `==` itself.
    class Status(int):
        def __eq__(self, other):
            return accepted
        __hash__ = int.__hash__
    response = SimpleNamespace(status_code=Status(status), text="body", json=lambda: [])
    monkeypatch.setattr(c.module, "requests", SimpleNamespace(get=lambda **kwargs: response))
    if accepted:
        with pytest.raises(KeyError):  # past the status check: no DateTime column
            call(service, c, *ARGS[:c.n])
    else:
        with pytest.raises(ValueError, match=f"status:{status}\ncontent: body$"):
            call(service, c, *ARGS[:c.n])
