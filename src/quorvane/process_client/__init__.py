"""Login, service address, and how the data functions send their requests.

Every name here can be imported from this package; the module behind it is
imported when the name is first asked for:

``Client``
    The login, shared by the whole process: ``Client().login(token)``,
    ``Client().logout()``, ``Client().token`` (None when logged out). The
    environment variable ``QUORVANE_TOKEN`` logs in a process where nobody
    has logged in or out (a worker process, say).
``set_base_url(url)``
    The function of ``quorvane.config``, also importable from here. Sends
    every data call to the service at ``url`` (http or https, host,
    optional port and path prefix), in every module and thread; a bad
    address raises ``ValueError`` and changes nothing. Plain http to another
    machine gives a ``UserWarning``, once per process. The environment
    variable ``QUORVANE_BASE_URL`` sets the first address.
``Connection``, ``use_connection``, ``restore_requests``
    Time limits, retries (401 is not retried; 429, 502, 503 and 504 are)
    and reused connections, process-wide; opt-in, a local cache of the
    answers (``cache=True``) and a rate limit (``rate_limit=(60, 60)``),
    whose refusal is ``RateLimitExceeded``; both shared by many processes
    through a file or a ``redis://`` URL (``rate_limit_store=``), whose
    failure is ``StoreUnavailable``. A Connection pickles, as its options
    and where its cache and its shared limit live. ``use_connection()``
    returns a ``ConnectionBinding`` (``restore()``, or a ``with`` block);
    ``Connection.cache_info()`` a ``CacheInfo``, which needs requests-cache
    to be imported (it is left out of ``import *``).
``fetch_many``, ``FetchResult``
    One data function for many tickers on a pool of threads, or on any
    ``concurrent.futures`` executor (processes, joblib's, Dask's:
    ``executor=``); every ticker ends in ``tables`` or, with the exception
    its call raised, in ``errors``. ``result.to_frame()`` joins the tables
    into one DataFrame, under an outer index level ``ticker``.

A first call::

    from quorvane.config import set_base_url
    from quorvane.process_client import Client
    from quorvane.process_stock.priceBars import get_priceBars

    set_base_url("https://your-provider.example")
    Client().login("your-access-token")
    bars = get_priceBars("HPX", "2024-03-01", "2024-03-31", "W")

Telling errors apart: a status other than 200 raises the built-in
``ValueError`` with the attributes ``status_code`` and ``text`` (the body)::

    try:
        bars = get_priceBars(ticker, "2024-03-01", "2024-03-31", "W")
    except ValueError as error:
        status = getattr(error, "status_code", None)  # None: not the service's
        if status == 401:
            ...   # log in again: Client().login(new_token), then call again
        elif status == 404:
            ...   # unknown ticker: skip it
        elif status in (429, 502, 503, 504):
            ...   # busy: try later, or use_connection(retries=3) beforehand
        else:
            raise
    except KeyError:
        bars = None   # no records in the range (a weekend, say)

``fetch_many`` keeps those exceptions: ``errors[ticker].status_code``.
``help(quorvane.process_stock)`` describes the functions, their columns,
``period``, ``unit`` and their errors.
"""

import importlib
from typing import TYPE_CHECKING, Any, List

if TYPE_CHECKING:
    from quorvane.config import set_base_url

    from .batch import FetchResult, fetch_many
    from .binding import ConnectionBinding, restore_requests, use_connection
    from .cache import CacheInfo
    from .connection import Connection
    from .login import Client
    from .ratelimit import RateLimitExceeded
    from .stores import StoreUnavailable

# Name -> the module it comes from (relative to this package, or absolute).
_SOURCES = {
    "Client": ".login",
    "set_base_url": "quorvane.config",
    "Connection": ".connection",
    "use_connection": ".binding",
    "restore_requests": ".binding",
    "ConnectionBinding": ".binding",
    "CacheInfo": ".cache",  # imports requests-cache: asked for by name only
    "fetch_many": ".batch",
    "RateLimitExceeded": ".ratelimit",
    "StoreUnavailable": ".stores",
    "FetchResult": ".batch",
}
# Without CacheInfo, so that import * and help() work without requests-cache.
__all__ = ["Client", "Connection", "ConnectionBinding", "FetchResult", "RateLimitExceeded",
           "StoreUnavailable", "fetch_many", "restore_requests", "set_base_url", "use_connection"]


def __getattr__(name: str) -> Any:
    if name in _SOURCES:
        return getattr(importlib.import_module(_SOURCES[name], __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(__all__))
