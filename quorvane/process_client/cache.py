"""The local cache of a :class:`~quorvane.process_client.connection.Connection`:
answers kept in one SQLite file, on requests-cache.

What is kept: the answers with status 200 to GET requests, under a key made
of the method and the address with its query, exactly as sent (never the
headers, so never the token). How long: an answer for a range whose ``toDate`` lies before today
does not change any more and never expires; one for a range that reaches
today or later, or whose ``toDate`` cannot be read as a date, expires after
the connection's ``cache_expiry`` seconds. "Today" is the date of the
machine's local time zone, the calendar the caller writes the dates in.

What is never kept: the request's credentials. Before an answer is written,
the ``Authorization``, ``Proxy-Authorization`` and ``Cookie`` headers are
taken out of the request stored with it (and of the requests of any
redirect before it); should a credential still turn up anywhere in what
would be written (a service that echoes it, say), the answer is not kept.

Threads and processes: the file is in WAL mode, so that readers never wait
for a writer and processes can share it. Within a process, the threads of a
Connection share one database connection and take turns on it: Python's
sqlite3 module gives two threads that run the same statement on one
connection the same prepared statement, so one thread's read can reset the
other's half-way and hand it an empty answer. Every database connection of this
module is closed before a fork and opened again on first use afterwards, in
the parent and in the child alike: a connection open across a fork leaves
the child without the file locks that SQLite believes it holds, and writes
can then be lost when another process closes the file.
"""

import datetime
import hashlib
import os
import re
import sqlite3
import threading
import time
import weakref
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Iterator, List, NamedTuple, Optional, Set, Union
from urllib.parse import parse_qs, urlsplit

import platformdirs
import requests
from requests.structures import CaseInsensitiveDict
from requests_cache import DO_NOT_CACHE, NEVER_EXPIRE, BaseCache, CachedResponse, CacheMixin
from requests_cache import SQLiteCache

__all__ = ["CacheInfo", "CachedSession", "Store", "cache_key", "default_path", "expiry_for"]

#: Request headers that are never written to the cache.
CREDENTIAL_HEADERS = frozenset({"authorization", "proxy-authorization", "cookie"})
# Shorter secrets are not looked for in what is written: they would turn up
# in ordinary data by chance.
_SHORTEST_SECRET = 8
_DAY = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}\Z")


def default_path() -> Path:
    """The file that ``cache=True`` uses, in the user's cache folder
    (``~/.cache/quorvane/`` on Linux, or ``$XDG_CACHE_HOME/quorvane/``)."""
    return Path(platformdirs.user_cache_dir("quorvane", appauthor=False)) / "http-cache.sqlite"


def cache_key(request: Any, **kwargs: Any) -> str:
    """The key of a request: a hash of its method, its address with the
    query, its body and whether certificates were checked. No header enters
    it, so a new login finds the answers fetched under the old one."""
    digest = hashlib.sha256()
    body = request.body or b""
    for part in (request.method or "", request.url or "", body,
                 "verified" if kwargs.get("verify", True) else "unverified"):
        digest.update(part.encode("utf-8") if isinstance(part, str) else bytes(part))
        digest.update(b"\0")
    return digest.hexdigest()


def expiry_for(url: str, seconds: float) -> Union[int, float]:
    """How long the answer to ``url`` is kept, as requests-cache takes it."""
    values = parse_qs(urlsplit(url).query, keep_blank_values=True).get("toDate", [])
    if len(values) == 1 and _DAY.match(values[0]):
        try:
            last = datetime.date.fromisoformat(values[0])
        except ValueError:  # 2024-02-30
            pass
        else:
            if last < datetime.date.today():
                return NEVER_EXPIRE
    return seconds if seconds > 0 else DO_NOT_CACHE


class CacheInfo(NamedTuple):
    """What :meth:`Connection.cache_info` tells."""

    #: The SQLite file.
    path: Path
    #: Answers stored, expired ones included until they are fetched again.
    entries: int
    #: Bytes on disk: the file and its write-ahead log.
    bytes: int


class _Gate:
    """Database work in many threads at once, none while a fork is made or
    a store is closed. Reentrant per thread, so that a signal handler that
    calls while the code it interrupted is inside never waits for it."""

    def __init__(self) -> None:
        self._changed = threading.Condition(threading.RLock())
        self._working = 0
        self._closing = 0
        self._local = threading.local()

    def _depth(self) -> int:
        return getattr(self._local, "depth", 0)

    @contextmanager
    def shared(self) -> Iterator[None]:
        depth = self._depth()
        with self._changed:
            while self._closing and not depth:
                self._changed.wait()
            self._working += 1
        self._local.depth = depth + 1
        try:
            yield
        finally:
            self._local.depth = depth
            with self._changed:
                self._working -= 1
                self._changed.notify_all()

    def close_all(self, stores: List["Store"]) -> bool:
        """Waits until no other thread is at work, then closes ``stores``
        and keeps new work waiting until :meth:`reopen`; False when the
        calling thread is itself at work (nothing is closed then)."""
        with self._changed:
            self._closing += 1
            mine = self._depth()
            if mine:
                return False
            while self._working:
                self._changed.wait()
            for store in stores:
                store.close_now()
            return True

    def reopen(self) -> None:
        with self._changed:
            self._closing -= 1
            self._changed.notify_all()


_gate = _Gate()
_stores: "weakref.WeakSet[Store]" = weakref.WeakSet()
# Stores a forked child must keep open and never close (see
# _after_fork_in_child).
_kept: List["Store"] = []
_closed_for_fork = True


# How long SQLite waits for another process's write to end, and how long
# opening the file may take while other processes hold it.
_LOCK_SECONDS = 30.0


def _open_backend(path: Path) -> SQLiteCache:
    """The SQLite backend of ``path``, in WAL mode.

    Switching a file to WAL mode takes it for a moment alone, and SQLite
    refuses at once, without waiting, where another process is in the
    middle of a write ("database is locked"): two processes opening a new
    file together, or one opening it while another writes before the switch.
    So opening is tried again, for as long as a write would wait.
    """
    deadline = time.monotonic() + _LOCK_SECONDS
    pause = 0.005
    while True:
        try:
            return SQLiteCache(path, wal=True, timeout=_LOCK_SECONDS)
        except sqlite3.OperationalError as error:
            if "locked" not in str(error) or time.monotonic() + pause > deadline:
                raise
        time.sleep(pause)
        pause = min(2 * pause, 0.1)


class Store:
    """One cache file, opened on first use, shared by every thread of a
    Connection."""

    def __init__(self, path: Path) -> None:
        # As requests-cache would name it, fixed now: a later change of the
        # working directory does not move the cache.
        path = Path(path).expanduser().absolute()
        self.path = path if path.suffix else path.with_name(path.name + ".sqlite")
        self._backend: Optional[SQLiteCache] = None
        self._opening = threading.RLock()
        self._turn = threading.RLock()
        _stores.add(self)

    def backend(self) -> SQLiteCache:
        backend = self._backend
        if backend is None:
            with self._opening, _gate.shared():
                backend = self._backend
                if backend is None:
                    self.path.parent.mkdir(parents=True, exist_ok=True)
                    backend = _open_backend(self.path)
                    self._backend = backend
        return backend

    def view(self) -> "_View":
        return _View(self.backend(), self)

    @contextmanager
    def turn(self) -> Iterator[None]:
        """The database, for this thread alone within the process."""
        with _gate.shared(), self._turn:
            yield

    def clear(self) -> None:
        backend = self.backend()
        with self.turn():
            for table in (backend.responses, backend.redirects):
                with table.connection(commit=True) as connection:
                    connection.execute(f"DELETE FROM {table.table_name}")
            try:
                backend.responses.vacuum()
            except sqlite3.OperationalError:
                pass  # in use elsewhere: the space is reused for new answers

    def info(self) -> CacheInfo:
        backend = self.backend()
        with self.turn():
            entries = backend.responses.count()
        size = 0
        for name in (str(self.path), str(self.path) + "-wal"):
            try:
                size += os.path.getsize(name)
            except OSError:
                pass
        return CacheInfo(self.path, entries, size)

    def close(self) -> None:
        try:
            _gate.close_all([self])
        finally:
            _gate.reopen()

    def close_now(self) -> None:
        if self._backend is not None:
            self._backend.close()  # opened again on next use


class _View(BaseCache):
    """One thread's access to a store's tables, with settings of its own
    (each call sets its own expiry), and with credentials kept out."""

    def __init__(self, backend: SQLiteCache, store: Store) -> None:
        super().__init__(cache_name=backend.cache_name)
        self.responses = backend.responses
        self.redirects = backend.redirects
        self._store = store

    def get_response(self, key: str, default: Any = None) -> Any:
        with self._store.turn():
            return super().get_response(key, default)

    def delete(self, *args: Any, **kwargs: Any) -> None:
        with self._store.turn():
            super().delete(*args, **kwargs)

    def save_response(self, response: requests.Response, cache_key: Optional[str] = None,
                      expires: Optional[datetime.datetime] = None) -> None:
        with self._store.turn():
            cached = CachedResponse.from_response(response, expires=expires)
            secrets = _secrets(response)
            for kept in [cached, *cached.history]:
                # A new mapping: the stored request shares the sent one's.
                kept.request.headers = CaseInsensitiveDict(
                    (name, value) for name, value in kept.request.headers.items()
                    if name.lower() not in CREDENTIAL_HEADERS)
            written = self.responses.serialize(cached)
            if isinstance(written, (bytes, bytearray, memoryview)):
                written = bytes(written)
                if any(secret in written for secret in secrets):
                    return
            super().save_response(cached, cache_key or self.create_key(response.request),
                                  expires)

    def close(self) -> None:
        pass  # the tables are the store's


def _secrets(response: requests.Response) -> Set[bytes]:
    """The credentials the request (and any redirect before it) carried,
    as they would appear when written, long enough to look for."""
    found: Set[bytes] = set()
    for sent in [response, *response.history]:
        request = sent.request
        if request is None:
            continue
        for name, value in request.headers.items():
            if name.lower() not in CREDENTIAL_HEADERS:
                continue
            text = value.decode("latin-1") if isinstance(value, bytes) else str(value)
            for part in [text, *text.split(None, 1)[1:]]:  # "Bearer <token>": also the token
                if len(part) >= _SHORTEST_SECRET:
                    found.update({part.encode("utf-8"), part.encode("latin-1", "ignore")})
    return found


class CachedSession(CacheMixin, requests.Session):  # type: ignore[misc]
    """One thread's session: requests-cache in front of the connection's
    shared adapter."""

    def __init__(self, store: Store, seconds: float) -> None:
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


def _before_fork() -> None:
    global _closed_for_fork
    _closed_for_fork = _gate.close_all(list(_stores))


def _after_fork_in_parent() -> None:
    _gate.reopen()


def _after_fork_in_child() -> None:
    global _gate
    _gate = _Gate()
    if not _closed_for_fork:
        # Forked while this very thread was using a store: its connections
        # are still open, and closing them here would release locks that
        # the parent's connections rely on. They stay open, unused.
        _kept.extend(_stores)


if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_before_fork, after_in_parent=_after_fork_in_parent,
                        after_in_child=_after_fork_in_child)
