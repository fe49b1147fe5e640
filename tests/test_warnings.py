"""Every data function, against the sample service with the real requests and
pandas, raises no warning of any kind, on whichever pandas is installed."""

import warnings

import numpy as np
import pandas as pd
import pytest

from quorvane.process_stock import dealerDesk, dividend, foreign, orderFlow, priceBars


def quietly(function, *args):
    """The call's result (with the arguments the function takes), failing
    on any warning raised inside it."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = function(*args[:function.__code__.co_argcount])
    assert [f"{w.category.__name__}: {w.message} ({w.filename}:{w.lineno})"
            for w in caught] == []
    return result


@pytest.mark.parametrize("period", ["D", "W"])
@pytest.mark.parametrize("function", [priceBars.get_priceBars, orderFlow.get_order_flow,
                                      foreign.get_foreign, dealerDesk.get_dealerDesk],
                         ids=lambda function: function.__name__)
def test_time_series_without_warnings(sample, function, period):
    table = quietly(function, "HPX", "2024-01-01", "2024-06-30", period, 1e9)
    assert len(table) and str(table.index.dtype).startswith("datetime64[")
    assert all(pd.api.types.is_numeric_dtype(table[column])
               for column in table.columns if column != "ticker")


def test_dividend_without_warnings_and_with_a_numeric_value_column(sample):
    value = quietly(dividend.get_dividend, "HPX", "2016-01-01", "2024-12-31")["Giá trị (đồng/CP)"]
    # The sample service writes "-" for the value of share dividends.
    assert value.isna().any() and value.notna().any() and value.dtype == np.float64
