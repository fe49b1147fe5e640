"""Order flow: ``get_order_flow``."""

from types import ModuleType

import pandas

from quorvane.config.config import base_url as base_url
from quorvane.process_client.login import Client as Client

requests: ModuleType
pd = pandas
__test__: dict[str, object]

def get_order_flow(
    ticker: object, fromDate: object, toDate: object, period: str
) -> pandas.DataFrame:
    """Buy and sell orders of one ticker over a range of dates.

    Sends one GET to ``<address>/api/stock/orderFlow`` with the query
    ``ticker``, ``fromDate``, ``toDate`` and the login's headers.

    Parameters
    ----------
    ticker : str
        The ticker, sent as given.
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
        Indexed by the parsed ``DateTime`` field, with the columns
        ``buyCount``, ``buyVolume``, ``sellCount``, ``sellVolume``.
        Regrouped: ``ticker`` and the four sums; periods whose four sums are
        all 0 (those without records too) are dropped. With ``"D"`` every
        record comes back, zero rows included.

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
        Wrong number or names of arguments.
    requests.exceptions.RequestException
        The request failed on the way (``ConnectionError``, ``Timeout``...);
        a body that is not JSON gives requests' ``JSONDecodeError``.
    """
