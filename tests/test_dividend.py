"""get_dividend: "-" placeholders and the three date columns."""

import unicodedata

import pandas as pd
import pytest

from conftest import entries
from quorvane.process_stock import dividend

PATH = "/api/stock/diviend"
EX_DATE, RECORD_DATE, PAY_DATE = (unicodedata.normalize("NFC", name) for name in (
    "Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"))
# Newest first, as served; the record date is never known.
RECORDS = [
    {"Mã": "fpt", EX_DATE: "2024-06-05", RECORD_DATE: "-", PAY_DATE: "-",
     "Nội dung": "-", "Tỷ lệ": "--", "Ghi chú": " -", "Tiền": 1000},
    {"Mã": "-", EX_DATE: "-", RECORD_DATE: "-", PAY_DATE: "2024-02-01",
     "Nội dung": "Cổ tức 10%", "Tỷ lệ": "10-5", "Ghi chú": "2024-01-01", "Tiền": "-"},
    {"Mã": "fpt", EX_DATE: "2023-12-28", RECORD_DATE: "-", PAY_DATE: None,
     "Nội dung": "Thưởng", "Tỷ lệ": "-", "Ghi chú": "", "Tiền": 500},
]


def fetch(service, records=RECORDS):
    service.point(dividend)
    service.answer(PATH, records)
    return dividend.get_dividend("fpt", "2023-01-01", "2024-12-31")


def own_entries(excinfo):
    return [e for e in entries(excinfo) if e[1].startswith("quorvane/")]


def test_placeholders_become_missing_and_dates_are_parsed(service):
    data = fetch(service)
    assert list(data.columns) == list(RECORDS[0])
    pd.testing.assert_index_equal(data.index, pd.RangeIndex(3))
    # The resolution of parsed dates is pandas' own choice.
    assert all(str(data[col].dtype).startswith("datetime64[")
               for col in (EX_DATE, RECORD_DATE, PAY_DATE))
    # A column of numbers and placeholders is numeric; texts stay texts.
    assert data["Tiền"].dtype == "float64"
    assert not pd.api.types.is_numeric_dtype(data["Tỷ lệ"])
    day = pd.Timestamp
    assert data.astype(object).where(data.notna(), None).values.tolist() == [
        ["fpt", day("2024-06-05"), None, None, None, "--", " -", 1000],
        [None, None, None, day("2024-02-01"), "Cổ tức 10%", "10-5", "2024-01-01", None],
        ["fpt", day("2023-12-28"), None, None, "Thưởng", None, "", 500]]


@pytest.mark.parametrize("records, missing", [
    ([], EX_DATE),
    ([{k: v for k, v in RECORDS[0].items() if k != PAY_DATE}], PAY_DATE),
], ids=["empty", "no-pay-date"])
def test_missing_date_column_is_a_key_error(service, records, missing):
    with pytest.raises(KeyError) as excinfo:
        fetch(service, records)
    assert excinfo.value.args == (missing,)
    assert own_entries(excinfo) == [("quorvane.process_stock.dividend.get_dividend",
                                     "quorvane/process_stock/dividend", 30)]


def test_missing_numpy_global_fails_at_placeholder_step(service, monkeypatch):
    monkeypatch.delattr(dividend, "np")
    with pytest.raises(NameError, match=r"^name 'np' is not defined$") as excinfo:
        fetch(service)
    assert own_entries(excinfo) == [("quorvane.process_stock.dividend.get_dividend",
                                     "quorvane/process_stock/dividend", 23)]
