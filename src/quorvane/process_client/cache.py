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
other's half-way and hand it an empty answer. Every database connection of this
module is closed before a fork (stores.py) and opened again on first use
afterwards, in the parent and in the child alike: a connection open across a fork leaves
the child without the file locks that SQLite believes it holds, and writes
can then be lost when another process closes the file.
"""

import base64
import binascii
import datetime
import hashlib
import json
import os
import re
import sqlite3
import threading
import time
import warnings
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Iterable, Iterator, NamedTuple, Optional, Set, Union
from urllib.parse import parse_qs, quote, quote_plus, unquote, urlsplit

import platformdirs
import requests
from requests.cookies import RequestsCookieJar
from requests.structures import CaseInsensitiveDict
from requests_cache import DO_NOT_CACHE, NEVER_EXPIRE, BaseCache, CachedResponse, CacheMixin
from requests_cache import SQLiteCache
from requests_cache.backends.sqlite import SQLiteDict

from . import sqlite_file
from .stores import (LOCK_SECONDS, StoreUnavailable, close_before_fork, close_files, in_use,
                     redis_client, redis_errors, redis_failure, shown)

__all__ = ["CacheInfo", "CachedSession", "RedisStore", "Store", "WritableTable", "cache_key", "default_path",
           "expiry_for"]

#: Request headers that carry credentials.
CREDENTIAL_HEADERS = frozenset({"authorization", "proxy-authorization", "cookie"})
#: The only response header that is kept: what the functions read of an
#: answer is its status, its body and the body's text encoding.
KEPT_HEADERS = frozenset({"content-type"})
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
    """What ``Connection.cache_info()`` tells."""

    #: The SQLite file, or the Redis URL (its password shown as ``***``).
    path: Union[Path, str]
    #: Answers stored, expired ones included until they are fetched again.
    entries: int
    #: Bytes on disk: the file and its write-ahead log; in Redis, the bytes
    #: of the stored answers.
    bytes: int


class WritableTable(SQLiteDict):
    """A table of a writable cache file. Its reads never wait (the file is
    in WAL mode); each write is one transaction of ``sqlite_file.write``,
    which waits for another process's write lock in short slices, for
    ``LOCK_SECONDS`` at most (then ``sqlite_file.Locked``), instead of
    requests-cache's own loop, which waits for as long as the lock is held.
    Opening a file whose tables exist writes nothing."""

    def init_db(self) -> None:
        with self.connection() as connection:
            found = connection.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' "
                                       "AND name = ?", (self.table_name,)).fetchone()
        if found is None:
            super().init_db()

    @contextmanager
    def connection(self, commit: bool = False) -> Iterator[sqlite3.Connection]:
        with super().connection() as connection:
            if not commit:
                yield connection
                return
            with sqlite_file.write(connection, time.monotonic() + LOCK_SECONDS):
                yield connection


class _Backend(SQLiteCache):
    """requests-cache's SQLite backend of ``path`` in WAL mode, on tables
    of ``WritableTable``."""

    def __init__(self, path: Path) -> None:
        BaseCache.__init__(self, cache_name=str(path))
        lock = threading.RLock()
        self.responses = WritableTable(path, table_name="responses", lock=lock, wal=True,
                                timeout=sqlite_file.SLICE_SECONDS)
        self.redirects = WritableTable(path, table_name="redirects", lock=lock, serializer=None,
                                wal=True, timeout=sqlite_file.SLICE_SECONDS)


def _open_backend(path: Path) -> SQLiteCache:
    """The SQLite backend of ``path``, in WAL mode.

    Switching a file to WAL mode takes it for a moment alone, and SQLite
    refuses at once, without waiting, where another process is in the
    middle of a write ("database is locked"): two processes opening a new
    file together, or one opening it while another writes before the switch.
    So opening is tried again, for as long as a write would wait.

    Opening a new file writes (it makes the tables in a write transaction),
    and whatever ends it half-way (that error, or Ctrl-C) leaves a database
    connection that nobody will use, possibly inside that transaction and
    holding the file's write lock. The exception's frames keep it alive as
    long as the exception lives, and for good where they sit in a reference
    cycle, which every later write of every process would wait behind: it
    is closed at once.
    """
    deadline = time.monotonic() + LOCK_SECONDS
    while True:
        try:
            return _Backend(path)
        except BaseException as error:
            _close_half_opened(error)
            if not isinstance(error, sqlite3.OperationalError) or "locked" not in str(error):
                raise
            if time.monotonic() >= deadline:
                raise sqlite_file.Locked(LOCK_SECONDS) from error
        time.sleep(sqlite_file.SLICE_SECONDS)


def _close_half_opened(error: BaseException) -> None:
    """Closes the tables (and their connections) that the frames of
    ``error``'s traceback were making."""
    traceback = error.__traceback__
    while traceback is not None:
        made = traceback.tb_frame.f_locals.get("self")
        if isinstance(made, (SQLiteCache, SQLiteDict)):
            try:
                made.close()
            except Exception:  # half-made: there may be nothing to close
                pass
        traceback = traceback.tb_next


def _writable(path: Path) -> bool:
    """Whether this process may write to the file (and make its log and
    index beside it)."""
    return os.access(path, os.W_OK) and os.access(path.parent, os.W_OK | os.X_OK)


class _ReadOnlyTable(SQLiteDict):
    """A table of a file that this process may not write: read through a
    connection of its own that SQLite opens read-only, and never changed.

    A file in WAL mode can be read without write access only while its log
    and index files exist; where they do not, the file is read as it is
    (SQLite's ``immutable``), which is right for a file that nobody writes.
    """

    def init_db(self) -> None:
        pass  # nothing to create, and no right to

    @contextmanager
    def connection(self, commit: bool = False) -> Iterator[sqlite3.Connection]:
        with self._lock:
            if not self._connection:
                self._connection = _connect_read_only(Path(self.db_path))
        yield self._connection

    def __setitem__(self, key: str, value: Any) -> None:
        pass

    def __delitem__(self, key: str) -> None:
        pass

    def bulk_delete(self, *args: Any, **kwargs: Any) -> None:
        pass


def _connect_read_only(path: Path) -> sqlite3.Connection:
    address = "file:" + quote(str(path))
    connection = sqlite3.connect(address + "?mode=ro", uri=True, check_same_thread=False,
                                 timeout=LOCK_SECONDS)
    try:
        connection.execute("SELECT COUNT(*) FROM sqlite_master").fetchone()
        return connection
    except sqlite3.OperationalError:  # no log and index, and no right to make them
        connection.close()
    return sqlite3.connect(address + "?immutable=1", uri=True, check_same_thread=False)


class _ReadOnlyBackend(BaseCache):
    """The tables of a read-only file, as SQLiteCache has them."""

    def __init__(self, path: Path) -> None:
        super().__init__(cache_name=str(path))
        self.responses = _ReadOnlyTable(path, table_name="responses")
        self.redirects = _ReadOnlyTable(path, table_name="redirects", serializer=None)

    def close(self) -> None:
        for table in (self.responses, self.redirects):
            table.close()


class Store:
    """One cache file, opened on first use, shared by every thread of a
    Connection.

    A file that this process may read but not write (another user's, or on
    a read-only disk) still answers the calls it holds answers for; new
    answers are not stored, and a ``UserWarning`` says so once.
    """

    def __init__(self, path: Path) -> None:
        # As requests-cache would name it, fixed now: a later change of the
        # working directory does not move the cache.
        path = Path(path).expanduser().absolute()
        self.path = path if path.suffix else path.with_name(path.name + ".sqlite")
        self._backend: Optional[BaseCache] = None
        self.read_only = False
        self._said_locked = False
        self._opening = threading.RLock()
        self._turn = threading.RLock()
        close_before_fork(self)

    def shown(self) -> str:
        return shown(self.path)

    def backend(self) -> BaseCache:
        backend = self._backend
        if backend is None:
            with self._opening, in_use():
                backend = self._backend
                if backend is None:
                    backend = self._open()
                    self._backend = backend
        return backend

    def _open(self) -> BaseCache:
        if self.path.is_file() and not _writable(self.path):
            if not self.read_only:
                self.read_only = True
                warnings.warn(f"the cache file {str(self.path)!r} is read-only: calls are "
                              "answered from it where it can, and new answers are not stored",
                              UserWarning, stacklevel=2)
            return _ReadOnlyBackend(self.path)
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            return _open_backend(self.path)
        except (OSError, sqlite3.Error, sqlite_file.Locked) as error:
            raise self._failure(error) from error

    def _failure(self, error: BaseException) -> StoreUnavailable:
        return StoreUnavailable(f"the cache file {shown(self.path)} cannot be used: {error}")

    def not_stored(self, error: sqlite_file.Locked) -> None:
        """An answer was not stored: another process held the file's write
        lock for as long as a write waits. Said once per store."""
        if not self._said_locked:
            self._said_locked = True
            warnings.warn(f"the cache file {str(self.path)!r} is locked: {error}, so an answer "
                          "was not stored (the call got its table; answers are stored again "
                          "once the lock is let go)", UserWarning, stacklevel=2)

    def view(self) -> "_View":
        return _View(self.backend(), self)

    @contextmanager
    def turn(self) -> Iterator[None]:
        """The database, for this thread alone within the process.

        An exception that interrupts the work (Ctrl-C, or whatever a signal
        handler raises) can land between the start of a write transaction
        and its commit; the transaction would then stay open on the
        connection that every thread shares, holding the file's write lock
        against other processes, and each later write would wait for ever
        to start its own. So whatever ends the turn, an open transaction
        is rolled back (the interrupted answer is then not stored at all),
        and one found open at the start is too.
        """
        with in_use(), self._turn:
            self._settle()
            try:
                yield
            finally:
                self._settle()

    def _settle(self) -> None:
        backend = self._backend
        if backend is None:
            return
        for table in (backend.responses, backend.redirects):
            with table.connection() as connection:
                sqlite_file.roll_back(connection)

    def clear(self) -> None:
        backend = self.backend()
        if self.read_only:
            raise PermissionError(f"the cache file {str(self.path)!r} is read-only")
        with self.turn():
            for table in (backend.responses, backend.redirects):
                try:
                    with table.connection(commit=True) as connection:
                        connection.execute(f"DELETE FROM {table.table_name}")
                except sqlite_file.Locked as error:
                    raise self._failure(error) from error
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
        close_files([self])

    def close_now(self) -> None:
        if self._backend is not None:
            self._backend.close()  # opened again on next use

    def __del__(self) -> None:
        # Unreachable, so unused by any thread: its connections go with it.
        if getattr(self, "_backend", None) is not None:
            self.close_now()


#: The prefix of the cache's keys in Redis: one per answer, and the
#: redirects in ``quorvane:cache-redirects``.
REDIS_NAMESPACE = "quorvane:cache"


class RedisStore:
    """The cache in a Redis database, for every process on every machine
    that names it: requests-cache's Redis backend, with the rules of the
    file (the same keys, expiry, answers kept and credentials left out).

    An answer that expires is also given a time to live in Redis, a minute
    past its expiry, so that Redis drops what no one asks for again; one
    for a finished range is kept until the cache is cleared.
    """

    def __init__(self, url: str) -> None:
        self.url = url
        self.read_only = False
        self._client = redis_client(url, "cache")
        from requests_cache import RedisCache
        self._backend = RedisCache(REDIS_NAMESPACE, connection=self._client, ttl_offset=60)

    def shown(self) -> str:
        return shown(self.url)

    def backend(self) -> BaseCache:
        return self._backend

    def view(self) -> "_View":
        return _View(self._backend, self)

    @contextmanager
    def turn(self) -> Iterator[None]:
        """Work on the database; a server that cannot be used raises
        ``StoreUnavailable``, which names it. (redis-py's pool is safe for
        threads: they need not take turns.)"""
        try:
            yield
        except redis_errors() as error:
            raise redis_failure(self.url, "the cache", error) from error

    def clear(self) -> None:
        with self.turn():
            self._backend.clear()

    def info(self) -> CacheInfo:
        with self.turn():
            keys = list(self._client.scan_iter(match=REDIS_NAMESPACE + ":*", count=1000))
            pipeline = self._client.pipeline(transaction=False)
            for key in keys:
                pipeline.strlen(key)
            sizes = pipeline.execute() if keys else []
        return CacheInfo(shown(self.url), len(keys), sum(sizes))

    def close(self) -> None:
        self._client.close()  # connections are opened again on next use


class _View(BaseCache):
    """One thread's access to a store's tables, with settings of its own
    (each call sets its own expiry), and with credentials kept out."""

    def __init__(self, backend: BaseCache, store: Union[Store, "RedisStore"]) -> None:
        super().__init__(cache_name=backend.cache_name)
        self.responses = backend.responses
        self.redirects = backend.redirects
        self._store = store

    def get_response(self, key: str, default: Any = None) -> Any:
        with self._store.turn():
            return super().get_response(key, default)

    def delete(self, *args: Any, **kwargs: Any) -> None:
        with self._store.turn():
            try:
                super().delete(*args, **kwargs)
            except sqlite_file.Locked:
                pass  # an expired answer: it is replaced when the next is stored

    def save_response(self, response: requests.Response, cache_key: Optional[str] = None,
                      expires: Optional[datetime.datetime] = None) -> None:
        if self._store.read_only or not readable(response):
            return
        with self._store.turn():
            cached = CachedResponse.from_response(response, expires=expires)
            for kept in [cached, *cached.history]:
                _strip(kept)
            written = self.responses.serialize(cached)
            if isinstance(written, (bytes, bytearray, memoryview)):
                if _shows_any(bytes(written), _secrets(response)):
                    return
            try:
                super().save_response(cached, cache_key or self.create_key(response.request),
                                      expires)
            except sqlite_file.Locked as error:
                self._store.not_stored(error)

    def close(self) -> None:
        pass  # the tables are the store's


def readable(response: requests.Response) -> bool:
    """Whether ``response`` is an answer the data functions build a table
    from: a JSON list of records (objects), possibly empty. A maintenance
    page, a body cut short or ``{"error": ...}`` sent with status 200 is
    not, and is never stored: the next call asks the service again."""
    try:
        records = json.loads(response.content)
    except (ValueError, TypeError):  # not JSON, not text, cut short
        return False
    return isinstance(records, list) and all(isinstance(record, dict) for record in records)


def _strip(kept: CachedResponse) -> None:
    """Leaves of an answer only what the functions read: no request header
    (so no credential), no cookie either way, and of the response headers
    only the content type."""
    kept.headers = CaseInsensitiveDict(
        (name, value) for name, value in kept.headers.items() if name.lower() in KEPT_HEADERS)
    kept.cookies = RequestsCookieJar()
    # A new request object: the stored one shares the sent one's mappings.
    kept.request = type(kept.request)(method=kept.request.method, url=kept.request.url,
                                      body=kept.request.body)


def _secrets(response: requests.Response) -> Set[str]:
    """The credentials that the request (and any redirect before it)
    carried: each credential header whole, the token after its scheme
    ("Bearer <token>"), a Basic user:password and password, each cookie's
    value, and a password in the address."""
    found: Set[str] = set()
    for sent in [response, *response.history]:
        request = sent.request
        if request is None:
            continue
        password = urlsplit(request.url or "").password
        if password:
            found.update({password, unquote(password)})
        for name, value in request.headers.items():
            name = name.lower()
            if name not in CREDENTIAL_HEADERS:
                continue
            text = value.decode("latin-1") if isinstance(value, bytes) else str(value)
            found.add(text)
            if name == "cookie":
                found.update(part.partition("=")[2].strip() for part in text.split(";"))
                continue
            scheme, _, credential = text.partition(" ")
            credential = credential.strip()
            found.add(credential)
            if scheme.lower() == "basic":
                try:
                    pair = base64.b64decode(credential, validate=True).decode("utf-8")
                except (binascii.Error, ValueError):
                    continue
                found.update({pair, pair.partition(":")[2]})
    found.discard("")
    return found


def _forms(secret: str) -> Iterable[bytes]:
    """``secret`` as it would appear in a stored answer that echoes it: as
    it is, percent-encoded, escaped in JSON, or in base64."""
    raw = secret.encode("utf-8")
    yield raw
    yield secret.encode("utf-16-le")
    for safe in ("", "/"):
        for encoded in (quote(secret, safe=safe), quote_plus(secret, safe=safe)):
            yield encoded.encode("ascii")
            yield re.sub("%[0-9A-F]{2}", lambda m: m.group().lower(), encoded).encode("ascii")
    for ascii_only in (True, False):
        escaped = json.dumps(secret, ensure_ascii=ascii_only)[1:-1]
        for form in (escaped, escaped.replace("/", "\\/")):
            yield form.encode("utf-8")
            yield re.sub(r"\\u[0-9a-f]{4}", lambda m: m.group().upper().replace("\\U", "\\u"),
                         form).encode("utf-8")
    for encoder in (base64.b64encode, base64.urlsafe_b64encode):
        encoded_bytes = encoder(raw)
        yield encoded_bytes
        yield encoded_bytes.rstrip(b"=")


def _shows_any(written: bytes, secrets: Set[str]) -> bool:
    """Whether any form of any secret appears in ``written``. Short secrets
    are looked for too: refusing an answer by mistake only costs a miss."""
    forms = {form for secret in secrets for form in _forms(secret)}
    return any(form in written for form in forms)


class CachedSession(CacheMixin, requests.Session):  # type: ignore[misc]
    """One thread's session: requests-cache in front of the connection's
    shared adapter."""

    def __init__(self, store: Union[Store, RedisStore], seconds: float) -> None:
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
