"""get_foreign and get_dealerDesk: regrouping and scaling by `unit`.

Both are served the same records, so each one's value columns sit next to
the other's, which must come back untouched."""

from collections import namedtuple

import numpy as np
import pandas as pd
import pytest

from conftest import entries
from quorvane.process_stock import dealerDesk, foreign

FIELDS = ["Close", "buyForeignVolume", "sellForeignVolume", "buyForeignValue",
          "sellForeignValue", "netForeignValue", "dealerDeskNetValue"]
# The week of 8 January has no record.
ROWS = {"2024-01-02": (10, 100, 200, 1, 2, -1, 1),
        "2024-01-03": (11, 1, 2, 2, 4, -2, 2),
        "2024-01-16": (12, 3, 4, 5, 7, -2, -4)}
RECORDS = [{"DateTime": day, **dict(zip(FIELDS, row))} for day, row in ROWS.items()]
WEEKS = pd.DatetimeIndex(["2024-01-07", "2024-01-14", "2024-01-21"], name="DateTime")

# Weekly values are for unit 10, summed before dividing: 1 + 2 gives 0.3, not 0.1 + 0.2.
Desk = namedtuple("Desk", "module name path values weekly scale_line")
FOREIGN = Desk(foreign, "get_foreign", "/api/stock/foreign", FIELDS[3:6],
               {"Close": [11, np.nan, 12], "buyForeignVolume": [101, 0, 3],
                "sellForeignVolume": [202, 0, 4], "buyForeignValue": [0.3, 0.0, 0.5],
                "sellForeignValue": [0.6, 0.0, 0.7], "netForeignValue": [-0.3, 0.0, -0.2]}, 36)
DEALER = Desk(dealerDesk, "get_dealerDesk", "/api/stock/dealerDesk", FIELDS[6:],
              {"dealerDeskNetValue": [0.3, 0.0, -0.4]}, 31)
BOTH = pytest.mark.parametrize("d", [FOREIGN, DEALER], ids=["foreign", "dealerDesk"])


def fetch(service, d, period, unit, records=RECORDS):
    service.point(d.module)
    service.answer(d.path, records)
    return getattr(d.module, d.name)("fpt", "2024-01-01", "2024-01-31", period, unit)


@BOTH
@pytest.mark.parametrize("unit", [1, 1000])
def test_daily_divides_only_own_value_columns(service, d, unit):
    data = fetch(service, d, "D", unit)
    assert list(data.columns) == FIELDS
    assert data.index.equals(pd.DatetimeIndex(list(ROWS), name="DateTime"))
    for i, field in enumerate(FIELDS):
        raw = [row[i] for row in ROWS.values()]
        if field in d.values:
            assert data[field].dtype == np.float64
            assert data[field].tolist() == [v / unit for v in raw]
        else:
            assert data[field].dtype == np.int64 and data[field].tolist() == raw


@BOTH
def test_weekly_sums_then_divides_once(service, d):
    data = fetch(service, d, "W", 10)
    expected = pd.DataFrame(d.weekly, index=WEEKS)
    expected.insert(0, "ticker", "fpt")
    pd.testing.assert_frame_equal(data, expected, check_exact=True, check_freq=False)


@BOTH
# "d" is the user's rule, passed on unchanged: pandas 3.1 deprecates it.
@pytest.mark.parametrize("period", ["1D", pytest.param(
    "d", marks=pytest.mark.filterwarnings("ignore:'d' is deprecated"))])
def test_any_rule_but_exact_D_regroups(service, d, period):
    data = fetch(service, d, period, 1)
    assert list(data.columns) == ["ticker", *d.weekly]
    assert data.index.name == "DateTime" and len(data) == 15
    assert (data["ticker"] == "fpt").all()


@BOTH
@pytest.mark.parametrize("period, unit, records, error", [
    ("D", "1000", RECORDS, TypeError), ("W", "1000", RECORDS, TypeError),
    ("D", 1, [{"DateTime": "2024-01-02", "Close": 1}], KeyError),
], ids=["text-unit-D", "text-unit-W", "no-value-column-D"])
def test_scaling_failures(service, d, period, unit, records, error):
    with pytest.raises(error) as excinfo:
        fetch(service, d, period, unit, records=records)
    assert [e for e in entries(excinfo) if e[1].startswith("quorvane/")] == [
        (f"{d.module.__name__}.{d.name}", d.module.__name__.replace(".", "/"), d.scale_line)]


@BOTH
def test_regrouping_asks_the_periods_own_not_equal(service, d):
    # Only an exact str is compared as text; a subclass answers `!=` itself.
    class Rule(str):
        def __ne__(self, other):
            return False
    data = fetch(service, d, Rule("W"), 1)
    assert list(data.columns) == FIELDS and len(data) == len(ROWS)
