"""Every data function, against the sample service with the real requests and
pandas, raises no warning of any kind and gives the same dtypes on whichever
pandas is installed (text columns and the resolution of parsed dates aside,
which pandas chooses)."""

import warnings

import numpy as np
import pandas as pd
import pytest

import sample_service
from quorvane.process_client.login import Client
from quorvane.process_stock import dealerDesk, dividend, foreign, orderFlow, priceBars

VALUE = "Giá trị (đồng/CP)"
DATES = ["Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"]
CALLS = [
    (priceBars.get_priceBars, ()),
    (orderFlow.get_order_flow, ()),
    (foreign.get_foreign, (1e9,)),
    (dealerDesk.get_dealerDesk, (1e9,)),
]


@pytest.fixture(scope="module")
def service():
    with sample_service.SampleService() as running:
        yield running


@pytest.fixture
def pointed(service, monkeypatch):
    for module in (priceBars, orderFlow, foreign, dealerDesk, dividend):
        monkeypatch.setattr(module, "base_url", service.url)
    Client().login(sample_service.DEMO_TOKEN)


def quietly(function, *args):
    """The call's result, failing on any warning raised inside it."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = function(*args)
    assert [f"{w.category.__name__}: {w.message} ({w.filename}:{w.lineno})"
            for w in caught] == []
    return result


def is_dates(dtype):
    return str(dtype).startswith("datetime64[")


@pytest.mark.parametrize("period", ["D", "W"])
@pytest.mark.parametrize("function, unit", CALLS, ids=[f.__name__ for f, _ in CALLS])
def test_time_series_without_warnings(pointed, function, unit, period):
    table = quietly(function, "HPX", "2024-01-01", "2024-06-30", period, *unit)
    assert len(table) and table.index.name == "DateTime" and is_dates(table.index.dtype)
    numeric = [column for column in table.columns if column != "ticker"]
    assert all(pd.api.types.is_numeric_dtype(table[column]) for column in numeric)
    assert ("ticker" in table.columns) == (period != "D")


def test_dividend_without_warnings_and_with_a_numeric_value_column(pointed):
    table = quietly(dividend.get_dividend, "HPX", "2016-01-01", "2024-12-31")
    # The sample service writes "-" for the value of share dividends.
    assert table[VALUE].isna().any() and table[VALUE].notna().any()
    assert table[VALUE].dtype == np.float64
    assert all(is_dates(table[column].dtype) for column in DATES)
    assert not pd.api.types.is_numeric_dtype(table["Tỷ lệ"])

