"""Where a Connection keeps what several processes share, and how a store
that cannot be used is reported.

A store is named by a location: a SQLite file (for the processes of one
machine) or a Redis database (for those of many), given as a path or as a
``redis://host:port/db`` URL (``rediss://`` for TLS, ``unix://`` for a
socket, as redis-py reads them). The rate limit keeps its slots there
(``file_slots.py``, ``redis_slots.py``), and the cache its answers
(``cache_file.py``, ``cache.py``). What the stores never hold: a
credential.
"""

import os
import re
from pathlib import Path
from typing import Any, Optional, Union
from urllib.parse import unquote_plus, urlsplit, urlunsplit

import requests

__all__ = ["StoreUnavailable", "Location", "REDIS_INSTALL", "REDIS_SECONDS", "resolve_location",
           "describe", "redis_client", "redis_failure", "redis_errors"]

#: What to install for a ``redis://`` store.
REDIS_INSTALL = "pip install redis (or quorvane's extra: pip install 'quorvane[redis]')"
#: The longest wait for Redis: to connect, and for an answer; each once.
REDIS_SECONDS = 5.0

REDIS_SCHEMES = ("redis", "rediss", "unix")

#: Where a store is: a file (an absolute path), or a Redis URL (a str).
Location = Union[Path, str]


class StoreUnavailable(requests.exceptions.RequestException):
    """The rate limit's or the cache's store could not be used: a Redis
    server that cannot be reached (it is given 5 s to connect and to
    answer), a file whose folder cannot be made or written.

    The call fails at once and nothing is sent to the service. A
    ``requests.exceptions.RequestException``; its text names the store, a
    Redis password shown as ``***``, such as "the rate limit's store
    redis://127.0.0.1:6379/0 cannot be used: ...".
    """


def resolve_location(value: Any, what: str) -> Optional[Location]:
    """``None``, a file as an absolute ``Path``, or a Redis URL."""
    if value is None:
        return None
    if isinstance(value, str):
        if not value.strip():
            raise ValueError(f"{what} must be a path or a redis:// URL, not an empty str")
        scheme = urlsplit(value).scheme if "://" in value else ""
        if scheme in REDIS_SCHEMES:
            return value
        if scheme:
            raise ValueError(f"{what} must be a path or a redis:// URL, not a {scheme}:// URL")
    elif not isinstance(value, os.PathLike):
        raise TypeError(f"{what} must be a path or a redis:// URL, not {type(value).__name__}")
    # Fixed now: a later change of the working directory does not move it.
    return Path(value).expanduser().absolute()


def describe(location: Location) -> str:
    """How errors and reprs name a store: a path in quotes, a Redis URL
    with every credential that redis-py reads from it (the password of its
    user part, and a ``password`` in its query, in any letter case) as
    ``***``."""
    if isinstance(location, Path):
        return repr(str(location))
    parts = urlsplit(location)
    netloc = parts.netloc
    if "@" in netloc:
        user_part, _, host = netloc.rpartition("@")
        user, colon, _ = user_part.partition(":")
        # A lone user part may be a password written without its colon.
        netloc = f"{user}:***@{host}" if colon else f"***@{host}"
    return urlunsplit(parts._replace(netloc=netloc, query=_QUERY_ITEM.sub(_hidden, parts.query)))


_QUERY_ITEM = re.compile(r"[^&;]+")


def _hidden(item: Any) -> str:
    name, equals, _ = item.group().partition("=")
    if equals and "password" in unquote_plus(name).lower():
        return f"{name}=***"
    return str(item.group())


def redis_client(url: str, what: str) -> Any:
    """A redis-py client for ``url`` that gives up within seconds: it
    connects on first use, and a server that cannot be reached raises
    rather than hangs."""
    try:
        import redis
        from redis.backoff import NoBackoff
        from redis.retry import Retry
    except ModuleNotFoundError as error:
        if (error.name or "").partition(".")[0] != "redis":
            raise
        raise ImportError(f"{what}={describe(url)} needs the Redis client: {REDIS_INSTALL}",
                          name=error.name) from error
    try:
        # One more try at once, where a pooled connection that the server
        # closed (a restart, an idle time-out) fails: it is opened again. Not
        # after a time-out, which would double the wait for a server that
        # does not answer (redis-py 8 tries again after one by default).
        retry = Retry(NoBackoff(), 1, supported_errors=(redis.exceptions.ConnectionError,))
        return redis.Redis.from_url(url, socket_connect_timeout=REDIS_SECONDS,
                                    socket_timeout=REDIS_SECONDS, retry=retry)
    except ValueError as error:
        raise ValueError(f"{what}={describe(url)}: {error}") from error


def redis_failure(url: str, what: str, error: BaseException) -> StoreUnavailable:
    return StoreUnavailable(f"{what} {describe(url)} cannot be used: {error}")


def redis_errors() -> Any:
    """The exceptions redis-py raises for a server it cannot use."""
    import redis
    return redis.exceptions.RedisError
