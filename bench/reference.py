"""Plain-Python twins of the six native functions, step for step: the same
look-ups, calls and literals in the same order. The benchmark times each
native function against its twin, with the module-level names of both
modules rebound to the same stand-ins. Each twin is written out in full, as
a hand-written module would be: a shared helper would add a Python frame
that the native function does not have."""

from functools import wraps

import numpy as np
import pandas as pd
import requests

from quorvane.config.config import base_url
from quorvane.process_client.login import Client

_HEAD = "Có lỗi xảy ra\nChi tiết: \nstatus:"


def _wrong_type(name, value):
    return TypeError(f"Argument '{name}' has incorrect type "
                     f"(expected str, got {type(value).__name__})")


def get_priceBars(ticker, fromDate, toDate, period):
    if type(ticker) is not str:
        raise _wrong_type("ticker", ticker)
    if type(fromDate) is not str:
        raise _wrong_type("fromDate", fromDate)
    if type(toDate) is not str:
        raise _wrong_type("toDate", toDate)
    if type(period) is not str:
        raise _wrong_type("period", period)
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/priceBars"
    params = {"ticker": ticker, "fromDate": fromDate, "toDate": toDate}
    response = requests.get(url=url, headers=headers, params=params)
    if response.status_code == 200:
        data = pd.DataFrame(response.json())
        data["DateTime"] = pd.to_datetime(data["DateTime"])
        data = data.set_index("DateTime")
        if period != "D":
            data = data.resample(period).agg(
                {"Open": "first", "High": "max", "Low": "min", "Close": "last", "Volume": "sum"})
            data.insert(0, "ticker", ticker)
        return data
    raise ValueError(f"{_HEAD}{response.status_code}\ncontent: {response.text}")


def get_order_flow(ticker, fromDate, toDate, period):
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/orderFlow"
    params = {"ticker": ticker, "fromDate": fromDate, "toDate": toDate}
    response = requests.get(url=url, headers=headers, params=params)
    if response.status_code == 200:
        data = pd.DataFrame(response.json())
        data["DateTime"] = pd.to_datetime(data["DateTime"])
        data = data.set_index("DateTime")
        if period != "D":
            measures = ["buyCount", "buyVolume", "sellCount", "sellVolume"]
            data = data.resample(period)[measures].sum()
            data = data.loc[~data[measures].eq(0).all(axis=1)]
            data.insert(0, "ticker", ticker)
        return data
    raise ValueError(f"{_HEAD}{response.status_code}\ncontent: {response.text}")


def get_foreign(ticker, fromDate, toDate, period, unit):
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/foreign"
    params = {"ticker": ticker, "fromDate": fromDate, "toDate": toDate}
    response = requests.get(url=url, headers=headers, params=params)
    if response.status_code == 200:
        data = pd.DataFrame(response.json())
        data["DateTime"] = pd.to_datetime(data["DateTime"])
        data = data.set_index("DateTime")
        if period != "D":
            data = data.resample(period).agg({
                "Close": "last", "buyForeignVolume": "sum", "sellForeignVolume": "sum",
                "buyForeignValue": "sum", "sellForeignValue": "sum", "netForeignValue": "sum"})
            data.insert(0, "ticker", ticker)
        cols = ["buyForeignValue", "sellForeignValue", "netForeignValue"]
        data[cols] = data[cols] / unit
        return data
    raise ValueError(f"{_HEAD}{response.status_code}\ncontent: {response.text}")


def get_dealerDesk(ticker, fromDate, toDate, period, unit):
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/dealerDesk"
    params = {"ticker": ticker, "fromDate": fromDate, "toDate": toDate}
    response = requests.get(url=url, headers=headers, params=params)
    if response.status_code == 200:
        data = pd.DataFrame(response.json())
        data["DateTime"] = pd.to_datetime(data["DateTime"])
        data = data.set_index("DateTime")
        if period != "D":
            data = data.resample(period)[["dealerDeskNetValue"]].sum()
            data.insert(0, "ticker", ticker)
        cols = ["dealerDeskNetValue"]
        data[cols] = data[cols] / unit
        return data
    raise ValueError(f"{_HEAD}{response.status_code}\ncontent: {response.text}")


def get_dividend(ticker, fromDate, toDate):
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/diviend"
    params = {"ticker": ticker, "fromDate": fromDate, "toDate": toDate}
    response = requests.get(url=url, headers=headers, params=params)
    if response.status_code == 200:
        data = pd.DataFrame(response.json())
        data = data.mask(data.eq("-"), np.nan).infer_objects()
        cols = ["Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"]
        for col in cols:
            data[col] = pd.to_datetime(data[col])
        return data
    raise ValueError(f"{_HEAD}{response.status_code}\ncontent: {response.text}")


def guard_access(func):
    @wraps(func)
    def wrapper(*args, **kwargs):
        client = Client()
        if client.token is None:
            raise Exception("Chưa đăng nhập. Vui lòng đăng nhập trước.")
        return func(*args, **kwargs)
    return wrapper
