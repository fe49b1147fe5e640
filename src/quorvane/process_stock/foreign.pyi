"""Trading by foreign investors: ``get_foreign``."""

from types import ModuleType

import pandas

from quorvane.config.config import base_url as base_url
from quorvane.process_client.login import Client as Client

requests: ModuleType
pd = pandas
__test__: dict[str, object]

def get_foreign(
    ticker: object, fromDate: object, toDate: object, period: str, unit: float
) -> pandas.DataFrame:
    """Trading by foreign investors in one ticker over a range of dates.

    Sends one GET to ``<address>/api/stock/foreign`` with the query
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
    unit : float
        The divisor of the value columns (true division), applied after any
        regrouping and also with ``"D"``: ``1e9`` gives billions. Never
        sent to the service.

    Returns
    -------
    pandas.DataFrame
        Indexed by the parsed ``DateTime`` field, with the columns
        ``Close``, ``buyForeignVolume``, ``sellForeignVolume``,
        ``buyForeignValue``, ``sellForeignValue``, ``netForeignValue``.
        Regrouped: ``ticker``, ``Close`` (last) and the other five summed; a
        period without records stays (``Close`` ``NaN``, sums 0). The three
        ``...Value`` columns are divided by ``unit``; volumes and ``Close``
        never are.

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
