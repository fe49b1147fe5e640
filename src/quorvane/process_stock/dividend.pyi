"""Dividend events: ``get_dividend``."""

from types import ModuleType

import numpy
import pandas

from quorvane.config.config import base_url as base_url
from quorvane.process_client.login import Client as Client

requests: ModuleType
pd = pandas
np = numpy
__test__: dict[str, object]

def get_dividend(ticker: object, fromDate: object, toDate: object) -> pandas.DataFrame:
    """Dividend events of one ticker over a range of dates.

    Sends one GET to ``<address>/api/stock/diviend`` with the query
    ``ticker``, ``fromDate``, ``toDate`` and the login's headers.

    Parameters
    ----------
    ticker : str
        The ticker, sent as given.
    fromDate, toDate : str
        The first and the last day of the range, sent as given: no
        trimming, case change or date check (the sample service reads
        ``YYYY-MM-DD``).

    Returns
    -------
    pandas.DataFrame
        One row per event, in the service's order, under the default index
        0, 1, 2... The columns are the service's: ``Mã CK`` (the ticker),
        ``Ngày GD không hưởng quyền`` (ex-rights date), ``Ngày ĐK cuối
        cùng`` (record date), ``Ngày thực hiện`` (payment date), ``Loại sự
        kiện`` (the kind of event), ``Tỷ lệ`` (ratio) and ``Giá trị
        (đồng/CP)`` (value in dong per share). Cells that are exactly
        ``"-"`` become ``NaN``; the three dates are ``datetime64`` (``NaT``
        when missing); a column left with only numbers is ``float64``.

    Raises
    ------
    ValueError
        The service answered with a status other than 200. The message is
        ``Có lỗi xảy ra\\nChi tiết: \\nstatus:{status}\\ncontent: {body}``;
        the attributes ``status_code`` and ``text`` hold the status and the body
        (401: log in again; 404: unknown ticker; 429, 502, 503, 504: try
        again later, or let a ``Connection`` retry).
    KeyError
        The range has no records (a weekend, ``fromDate`` after ``toDate``):
        the function fails on the first field it needs,
        ``KeyError('Ngày GD không hưởng quyền')``.
    TypeError
        Wrong number or names of arguments.
    requests.exceptions.RequestException
        The request failed on the way (``ConnectionError``, ``Timeout``...);
        a body that is not JSON gives requests' ``JSONDecodeError``.
    """
