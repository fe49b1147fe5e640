from datetime import datetime as datetime
"""Price bars: ``get_priceBars``."""

from types import ModuleType

import pandas

from quorvane.config.config import base_url as base_url
from quorvane.process_client.login import Client as Client

requests: ModuleType
pd = pandas
__test__: dict[str, object]

def get_priceBars(ticker: str, fromDate: str, toDate: str, period: str) -> pandas.DataFrame:
    """Price bars of one ticker over a range of dates.

    Sends one GET to ``<address>/api/stock/priceBars`` with the query
    ``ticker``, ``fromDate``, ``toDate`` and the login's headers.

    Parameters
    ----------
    ticker : str
        The ticker, sent as given. All four arguments must be exactly
        ``str``.
    fromDate, toDate : str
        The first and the last day of the range, sent as given: no
        trimming, case change or date check (the sample service reads
        ``YYYY-MM-DD``).
    period : str
        ``"D"``, exactly: the service's rows as they come, with every field
        it sends. Anything else is a pandas resampling rule (``"W"``,
        ``"MS"``, ``"1D"``...) applied on your side, after which a first
        column ``ticker`` holds the ticker. Never sent to the service.

    Returns
    -------
    pandas.DataFrame
        Indexed by the parsed ``DateTime`` field. With ``"D"``: the columns
        ``Open``, ``High``, ``Low``, ``Close``, ``Volume`` as the service
        sends them. Regrouped: ``ticker``, ``Open`` (the period's first),
        ``High`` (highest), ``Low`` (lowest), ``Close`` (last), ``Volume``
        (total); a period without records stays, with ``NaN`` prices and
        ``Volume`` 0.

    Raises
    ------
    ValueError
        The service answered with a status other than 200. The message is
        ``Có lỗi xảy ra\\nChi tiết: \\nstatus:{status}\\ncontent: {body}``;
        the attributes ``status_code`` and ``text`` hold the status and the body
        (401: log in again; 404: unknown ticker; 429, 502, 503, 504: try
        again later, or let a ``Connection`` retry).
        Also ``Invalid frequency: ...`` for a ``period`` that your pandas
        does not know (no ``status_code`` then).
    KeyError
        The range has no records (a weekend, ``fromDate`` after ``toDate``):
        the function fails on the first field it needs,
        ``KeyError('DateTime')``.
    TypeError
        Wrong number or names of arguments or an argument that is not a ``str``.
    requests.exceptions.RequestException
        The request failed on the way (``ConnectionError``, ``Timeout``...);
        a body that is not JSON gives requests' ``JSONDecodeError``.
    """
