"""get_order_flow: the daily table as served and the per-period sums."""

import pandas as pd
import pytest

from conftest import entries
from quorvane.process_stock import orderFlow

PATH = "/api/stock/orderFlow"
MEASURES = ["buyCount", "buyVolume", "sellCount", "sellVolume"]
# Out of date order on purpose; the week of 8 January holds only zeros, the
# week of 15 January nothing, the week of 22 January one non-zero measure.
DAYS = [("2024-01-03", (3, 30, 4, 40)), ("2024-01-02", (1, 10, 2, 20)),
        ("2024-01-09", (0, 0, 0, 0)), ("2024-01-10", (0, 0, 0, 0)),
        ("2024-01-24", (0, 0, 0, 5))]
RECORDS = [{"DateTime": day, "ticker": "SERVICE", **dict(zip(MEASURES, values)),
            "note": day[-2:]} for day, values in DAYS]


def fetch(service, period, ticker="fpt", records=RECORDS):
    service.point(orderFlow)
    service.answer(PATH, records)
    return orderFlow.get_order_flow(ticker, "2024-01-01", "2024-01-31", period)


def test_daily_table_is_the_service_answer(service):
    data = fetch(service, "D")
    assert list(data.columns) == ["ticker", *MEASURES, "note"]
    assert data.index.name == "DateTime"
    assert list(data.index) == [pd.Timestamp(day) for day, _ in DAYS]
    assert data[MEASURES].values.tolist() == [list(values) for _, values in DAYS]
    assert (data["ticker"] == "SERVICE").all()
    assert data["note"].tolist() == ["03", "02", "09", "10", "24"]


@pytest.mark.parametrize("period, expected", [
    ("W", {"2024-01-07": (4, 40, 6, 60), "2024-01-28": (0, 0, 0, 5)}),
    ("1D", {"2024-01-02": (1, 10, 2, 20), "2024-01-03": (3, 30, 4, 40),
            "2024-01-24": (0, 0, 0, 5)}),
])
def test_regrouped_sums_drop_all_zero_periods(service, period, expected):
    data = fetch(service, period, ticker="fpt")
    assert list(data.columns) == ["ticker", *MEASURES]
    assert data.index.name == "DateTime"
    assert list(data.index) == [pd.Timestamp(label) for label in expected]
    assert data[MEASURES].values.tolist() == [list(sums) for sums in expected.values()]
    assert data["ticker"].tolist() == ["fpt"] * len(expected)


def test_daily_needs_no_measures_but_regrouping_does(service):
    records = [{"DateTime": "2024-01-02", "buyCount": 1}]
    assert list(fetch(service, "D", records=records).columns) == ["buyCount"]
    with pytest.raises(KeyError) as excinfo:
        fetch(service, "W", records=records)
    assert [e for e in entries(excinfo) if e[1].startswith("quorvane/")] == [
        ("quorvane.process_stock.orderFlow.get_order_flow", "quorvane/process_stock/orderFlow", 28)]
