"""What help() says about the packages holds: every function with its
parameters and the columns it returns, the period rules of the installed
pandas, and the KeyError of a range without records (sample service)."""

import importlib
import inspect
import pydoc

import pandas as pd
import pytest

import quorvane
import quorvane.config
import quorvane.process_client
import quorvane.process_stock
import sample_service
from quorvane.process_client import Client, fetch_many
from quorvane.process_stock import DATA_MODULES, dividend, priceBars

PANDAS = tuple(int(part) for part in pd.__version__.split(".")[:2])
MODULES = [importlib.import_module(name) for name in DATA_MODULES]
FUNCTIONS = [getattr(module, name) for module, name in zip(
    MODULES, ["get_priceBars", "get_order_flow", "get_foreign", "get_dealerDesk", "get_dividend"])]
EACH = pytest.mark.parametrize("function", FUNCTIONS, ids=lambda function: function.__name__)
MONTHS = ("2024-01-01", "2024-06-30")


@pytest.fixture(scope="module")
def running():
    with sample_service.SampleService() as service:
        yield service


@pytest.fixture
def sample(running, monkeypatch):
    """One sample service for the whole file (stopping one takes half a second)."""
    for module in MODULES:
        monkeypatch.setattr(module, "base_url", running.url)
    Client().login(sample_service.DEMO_TOKEN)
    return running


def shown(module):
    return pydoc.render_doc(module, renderer=pydoc.plaintext)


def call(function, dates, period):
    return function("HPX", *dates, *(period, 1e9)[:function.__code__.co_argcount - 3])


@EACH
def test_help_names_each_function_its_parameters_and_columns(sample, function):
    text = shown(quorvane.process_stock)
    parameters = ", ".join(inspect.signature(function).parameters)
    assert f"{function.__name__}({parameters})" in text
    columns = {column for period in ("D", "W") for column in call(function, MONTHS, period)}
    assert columns and [column for column in columns if column not in text] == []


@pytest.mark.parametrize("package, names", [
    (quorvane, ["quorvane.process_stock", "quorvane.process_client", "quorvane.config",
                "set_base_url", "help(quorvane.process_stock)"]),
    (quorvane.process_client, quorvane.process_client.__all__ + ["status_code"]),
    (quorvane.config, quorvane.config.__all__ + ["guard_access", "QUORVANE_BASE_URL"]),
], ids=lambda value: getattr(value, "__name__", ""))
def test_package_help_has_a_summary_and_names_what_is_there(package, names):
    assert f"{package.__name__} - " in shown(package)  # the summary line
    assert [name for name in names if name not in package.__doc__] == []


@pytest.mark.parametrize("rule", ["1D", "W", "2W", "W-MON", "B", "MS", "QS", "YS"])
def test_rules_that_every_pandas_takes(sample, rule):
    assert len(priceBars.get_priceBars("HPX", *MONTHS, rule))  # and no warning


@pytest.mark.parametrize("old, new", [("M", "ME"), ("Q", "QE"), ("Y", "YE")])
def test_period_end_rules_depend_on_the_pandas_version(sample, old, new):
    def bars(rule):
        return priceBars.get_priceBars("HPX", "2023-01-01", "2024-12-31", rule)
    if PANDAS < (2, 2):
        with pytest.raises(ValueError, match=f"Invalid frequency: {new}"):
            bars(new)
        assert len(bars(old))
    elif PANDAS < (3, 0):
        with pytest.warns(FutureWarning, match=f"'{old}' is deprecated"):
            pd.testing.assert_frame_equal(bars(old), bars(new))
    else:
        with pytest.raises(ValueError, match=f"Invalid frequency: {old}"):
            bars(old)
        assert len(bars(new))


def test_lower_case_d_regroups_by_day_and_warns_on_pandas_3(sample):
    daily = priceBars.get_priceBars("HPX", *MONTHS, "1D")
    assert list(daily.columns)[0] == "ticker"
    if PANDAS >= (3, 0):
        with pytest.warns(DeprecationWarning, match="'d' is deprecated"):
            pd.testing.assert_frame_equal(priceBars.get_priceBars("HPX", *MONTHS, "d"), daily)
    else:
        pd.testing.assert_frame_equal(priceBars.get_priceBars("HPX", *MONTHS, "d"), daily)


@pytest.mark.parametrize("dates", [("2024-03-02", "2024-03-03"), ("2024-03-08", "2024-03-01")],
                         ids=["weekend", "fromDate-after-toDate"])
@EACH
def test_a_range_without_records_is_a_key_error_for_the_first_field(sample, function, dates):
    with pytest.raises(KeyError) as excinfo:
        call(function, dates, "D")
    first = "Ngày GD không hưởng quyền" if function is dividend.get_dividend else "DateTime"
    assert excinfo.value.args == (first,)


def test_a_quarter_without_dividends_lands_in_fetch_many_errors(sample):
    tables, errors = fetch_many(dividend.get_dividend, sorted(sample_service.TICKERS),
                                "2024-01-01", "2024-03-31", progress=False)
    assert tables == {} and len(errors) == len(sample_service.TICKERS)
    assert {type(error) for error in errors.values()} == {KeyError}
