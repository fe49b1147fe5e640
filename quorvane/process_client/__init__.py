"""The login client, and how the data functions send their requests.

``Client`` (login), ``Connection``, ``use_connection`` and
``restore_requests`` (time limits, retries, connection reuse), and
``fetch_many`` with its ``FetchResult`` (many tickers at once) can be
imported from here; each submodule is imported when one of its names is
first asked for.
"""

import importlib
from typing import TYPE_CHECKING, Any, List

if TYPE_CHECKING:
    from .batch import FetchResult, fetch_many
    from .connection import Connection, restore_requests, use_connection
    from .login import Client

_SOURCES = {
    "Client": "login",
    "Connection": "connection",
    "use_connection": "connection",
    "restore_requests": "connection",
    "fetch_many": "batch",
    "FetchResult": "batch",
}
__all__ = ["Client", "Connection", "FetchResult", "fetch_many", "restore_requests",
           "use_connection"]


def __getattr__(name: str) -> Any:
    if name in _SOURCES:
        return getattr(importlib.import_module(f"{__name__}.{_SOURCES[name]}"), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(__all__))
