"""The cache of a :class:`~quorvane.process_client.connection.Connection`:
answers kept in one SQLite file, or in a Redis database that many machines
share, on requests-cache.

What is kept: the answers with status 200 to GET requests whose body the
data functions can read (a JSON list of records), under a key made of the
method, the address with its query exactly as sent, and whether
certificates were checked (never a header, so never the token). Of each
answer only what the functions read is written: its status, its body, its
content type and text encoding; no other header, no cookie, nothing of the
request but its method and address. How long: an answer for a range whose
``toDate`` lies before today does not change any more and never expires;
one for a range that reaches today or later, or whose ``toDate`` cannot be
read as a date, expires after the connection's ``cache_expiry`` seconds.
"Today" is the date of the machine's local time zone, the calendar the
caller writes the dates in.

What is never kept: the request's credentials. Should one still turn up in
what would be written (a service that echoes the token in its body, as it
is, percent-encoded, escaped in JSON or in base64), the answer is not kept.

An interrupted call (Ctrl-C, or an exception from a signal handler) leaves
the file as it was or with the answer stored whole: a write that did not
finish is rolled back, so no transaction stays open and no lock held.

Threads and processes: the file is in WAL mode, so that readers never wait
for a writer and processes can share it. Within a process, the threads of a
Connection share one database connection and take turns on it: Python's
sqlite3 module gives two threads that run the same statement on one
connection the same prepared statement, so one thread's read can reset the
other's half-way and hand it an empty answer. Every database connection is
closed before a fork (``forks.py``) and opened again on first use
afterwards, in the parent and in the child alike.

The pieces: ``cache_rules.py`` (the key, the expiry, what is kept),
``cache_file.py`` (the file), ``cache_redis.py`` (Redis), and here what
both share: the view that each thread's session reads and writes through,
and that session.
"""

import datetime
from pathlib import Path
from typing import Any, NamedTuple, Optional, Union

import platformdirs
import requests
from requests_cache import NEVER_EXPIRE, BaseCache, CachedResponse, CacheMixin

from . import sqlite_file
from .cache_rules import cache_key, expiry_for, readable, secrets_of, shows_any, strip

__all__ = ["CacheInfo", "CacheView", "CachedSession", "default_path", "cache_key",
           "expiry_for", "NEVER_EXPIRE"]


def default_path() -> Path:
    """The file that ``cache=True`` uses, in the user's cache folder
    (``~/.cache/quorvane/`` on Linux, or ``$XDG_CACHE_HOME/quorvane/``)."""
    return Path(platformdirs.user_cache_dir("quorvane", appauthor=False)) / "http-cache.sqlite"


class CacheInfo(NamedTuple):
    """What ``Connection.cache_info()`` tells."""

    #: The SQLite file, or the Redis URL (its password shown as ``***``).
    path: Union[Path, str]
    #: Answers stored, expired ones included until they are fetched again.
    entries: int
    #: Bytes on disk: the file and its write-ahead log; in Redis, the bytes
    #: of the stored answers.
    bytes: int


class CacheView(BaseCache):
    """One thread's access to a store's tables, with settings of its own
    (each call sets its own expiry), and with credentials kept out."""

    def __init__(self, backend: BaseCache, store: Any) -> None:
        super().__init__(cache_name=backend.cache_name)
        self.responses = backend.responses
        self.redirects = backend.redirects
        self._store = store

    def get_response(self, key: str, default: Any = None) -> Any:
        with self._store.operation():
            return super().get_response(key, default)

    def delete(self, *args: Any, **kwargs: Any) -> None:
        with self._store.operation():
            try:
                super().delete(*args, **kwargs)
            except sqlite_file.Locked:
                pass  # an expired answer: it is replaced when the next is stored

    def save_response(self, response: requests.Response, cache_key: Optional[str] = None,
                      expires: Optional[datetime.datetime] = None) -> None:
        if self._store.read_only or not readable(response):
            return
        with self._store.operation():
            cached = CachedResponse.from_response(response, expires=expires)
            for kept in [cached, *cached.history]:
                strip(kept)
            written = self.responses.serialize(cached)
            if isinstance(written, (bytes, bytearray, memoryview)):
                if shows_any(bytes(written), secrets_of(response)):
                    return
            try:
                super().save_response(cached, cache_key or self.create_key(response.request),
                                      expires)
            except sqlite_file.Locked as error:
                self._store.not_stored(error)

    def close(self) -> None:
        pass  # the tables are the store's


class CachedSession(CacheMixin, requests.Session):  # type: ignore[misc]
    """One thread's session: requests-cache in front of the connection's
    shared adapter."""

    def __init__(self, store: Any, seconds: float) -> None:
        super().__init__(
            backend=store.view(),
            allowable_codes=(200,), allowable_methods=("GET",), key_fn=cache_key,
            match_headers=False, cache_control=False, stale_if_error=False,
            expire_after=NEVER_EXPIRE, autoclose=False)
        self._seconds = seconds

    def send(self, request: requests.PreparedRequest, **kwargs: Any) -> Any:  # type: ignore[override]
        settings = self.settings
        before = settings.expire_after
        settings.expire_after = expiry_for(request.url or "", self._seconds)
        try:
            return super().send(request, **kwargs)
        finally:
            settings.expire_after = before
