"""Where a Connection keeps what several processes share: a SQLite file for
the processes of one machine, a Redis database for those of many.

Two things use them. The rate limit keeps in them the slots that requests
hold (:class:`FileSlots`, :class:`RedisSlots`), so that every process naming
one store holds one limit; the cache keeps its answers in them, through
requests-cache's SQLite and Redis backends (``cache.py``). A store is named
by a path or by a ``redis://host:port/db`` URL (``rediss://`` for TLS,
``unix://`` for a socket, as redis-py reads them).

The slots of the rate limit
---------------------------
A slot is taken when a try is sent and given back when the head of its
answer has arrived (or the try failed); it stays counted ``per`` seconds
after that. In the store a slot is one entry with a release time: while
its try is under way, the end of its lease (the time it was taken plus
``lease``); once the try has ended, the end plus ``per``. An entry whose
release time has passed is gone. So a process that dies holding slots
(killed, or its machine lost) keeps them at most ``lease`` seconds after it
took them, and the others then go on.

Taking a slot is one atomic step: drop the entries whose time has passed,
count the others, and add one if there are fewer than ``calls``. In SQLite
that is one write transaction (``BEGIN IMMEDIATE``: the processes take
turns); in Redis one Lua script, which the server runs alone. Every time
in it is read inside that step: in SQLite, the machine's clock
(``julianday('now')``, read by each process's SQLite: the file is for the
processes of one machine, which share that clock); in Redis, the server's
(``TIME``), so that machines whose clocks disagree still hold one limit.
Should the store's clock be set back, no entry is kept longer than
``lease`` from the new time.

What the stores never hold: a credential. The slots are random ids and
times; the cache strips the token before anything is written.

Forks: no SQLite connection of this module is open across a fork. Before
a fork the process waits for the database work under way (a few
milliseconds) and closes every connection; parent and child open new ones
on their next use. redis-py's pool sees a new process id and opens new
connections by itself.
"""

import os
import re
import sqlite3
import threading
import time
import uuid
import weakref
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple, Union
from urllib.parse import unquote_plus, urlsplit, urlunsplit

import requests

from . import sqlite_file

__all__ = ["StoreUnavailable", "REDIS_INSTALL", "Place", "check_place", "shown",
           "redis_client", "FileSlots", "RedisSlots", "Taken", "in_use", "close_files",
           "close_before_fork", "LOCK_SECONDS", "REDIS_SECONDS"]

#: What to install for a ``redis://`` store.
REDIS_INSTALL = "pip install redis (or quorvane's extra: pip install 'quorvane[redis]')"
#: How long a write waits for another process's write to end (giving a slot
#: back, storing an answer), and how long opening a file may take while
#: other processes hold it. Taking a slot waits for as long as ``max_wait``.
LOCK_SECONDS = 30.0
#: The longest wait for Redis: to connect, and for each answer.
REDIS_SECONDS = 5.0

REDIS_SCHEMES = ("redis", "rediss", "unix")

#: A store as given: a file, or a Redis URL (str).
Place = Union[Path, str]


class StoreUnavailable(requests.exceptions.RequestException):
    """The rate limit's or the cache's store could not be used: a Redis
    server that cannot be reached (it is given 5 s to connect and to
    answer), a file whose folder cannot be made or written.

    The call fails at once and nothing is sent to the service. A
    ``requests.exceptions.RequestException``; its text names the store, a
    Redis password shown as ``***``, such as "the rate limit's store
    redis://127.0.0.1:6379/0 cannot be used: ...".
    """


def check_place(value: Any, what: str) -> Optional[Place]:
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


def shown(place: Place) -> str:
    """How errors and reprs name a store: a path in quotes, a Redis URL
    with every credential that redis-py reads from it (the password of its
    user part, and a ``password`` in its query, in any letter case) as
    ``***``."""
    if isinstance(place, Path):
        return repr(str(place))
    parts = urlsplit(place)
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
        raise ImportError(f"{what}={shown(url)} needs the Redis client: {REDIS_INSTALL}",
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
        raise ValueError(f"{what}={shown(url)}: {error}") from error


def redis_failure(url: str, what: str, error: BaseException) -> StoreUnavailable:
    return StoreUnavailable(f"{what} {shown(url)} cannot be used: {error}")


def redis_errors() -> Any:
    """The exceptions redis-py raises for a server it cannot use."""
    import redis
    return redis.exceptions.RedisError


# ---- SQLite files across forks ---------------------------------------------------


class _Gate:
    """Database work in many threads at once, none while a fork is made or
    a file is closed. Reentrant per thread, so that a signal handler that
    calls while the code it interrupted is inside never waits for it.

    Each thread's depth is kept under its own id and put back, in a
    ``finally``, to what it was before: an exception raised at any moment
    (Ctrl-C, a signal handler's time-out) never leaves a thread counted as
    at work, which would keep a later fork or close waiting for ever.
    """

    def __init__(self) -> None:
        self._changed = threading.Condition(threading.RLock())
        self._at_work: Dict[int, int] = {}
        self._closing = 0

    @contextmanager
    def shared(self) -> Iterator[None]:
        me = threading.get_ident()
        outer = self._at_work.get(me, 0)
        try:
            with self._changed:
                while self._closing and not outer:
                    self._changed.wait()
                self._at_work[me] = outer + 1
            yield
        finally:
            with self._changed:
                if outer:
                    self._at_work[me] = outer
                else:
                    self._at_work.pop(me, None)
                self._changed.notify_all()

    def close_all(self, files: List[Any]) -> bool:
        """Waits until no other thread is at work, then closes ``files``
        and keeps new work waiting until :meth:`reopen`; False when the
        calling thread is itself at work (nothing is closed then)."""
        me = threading.get_ident()
        with self._changed:
            self._closing += 1
            if me in self._at_work:
                return False
            while self._at_work:
                self._changed.wait()
            for file in files:
                file.close_now()
            return True

    def reopen(self) -> None:
        with self._changed:
            self._closing -= 1
            self._changed.notify_all()


_gate = _Gate()
# Everything that holds a SQLite connection: closed before a fork.
_files: "weakref.WeakSet[Any]" = weakref.WeakSet()
# Files a forked child must keep open and never close (see _after_fork_in_child).
_kept: List[Any] = []
_closed_for_fork = True


def in_use() -> Any:
    """A context for work on a SQLite connection of this module's kind: a
    fork waits until it is over."""
    return _gate.shared()


def close_before_fork(file: Any) -> None:
    """``file.close_now()`` is called before every fork (once no thread
    is at work); it opens its connections again on next use."""
    _files.add(file)


def close_files(files: List[Any]) -> None:
    """Closes ``files`` once no thread is at work on any of them."""
    try:
        _gate.close_all(files)
    finally:
        _gate.reopen()


def _before_fork() -> None:
    global _closed_for_fork
    _closed_for_fork = _gate.close_all(list(_files))


def _after_fork_in_parent() -> None:
    _gate.reopen()


def _after_fork_in_child() -> None:
    global _gate
    _gate = _Gate()
    if not _closed_for_fork:
        # Forked while this very thread was using a file: its connections
        # are still open, and closing them here would release locks that
        # the parent's connections rely on. They stay open, unused.
        _kept.extend(_files)


if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_before_fork, after_in_parent=_after_fork_in_parent,
                        after_in_child=_after_fork_in_child)


# ---- the slots of the rate limit --------------------------------------------------


class Taken(NamedTuple):
    """What one attempt to take a slot found, in seconds from then."""

    #: The slot's id, or None when every slot was held.
    slot: Optional[str]
    #: Slots whose tries were still under way.
    under_way: int
    #: When the next slot comes free: the first of an ended try, or of a
    #: lease that runs out. None while only tries under way hold slots: one
    #: may end at any moment.
    free_in: Optional[float]
    #: The earliest a slot can come free at all: a try under way that ends
    #: now frees its slot ``per`` seconds later.
    retry_in: float


def _taken(under_way: int, first_ended: Optional[float], first_lease: Optional[float],
           per: float) -> Taken:
    """Every slot held: when one comes free."""
    if first_ended is not None:
        free_in = first_ended if first_lease is None else min(first_ended, first_lease)
        return Taken(None, under_way, max(free_in, 0.0), max(free_in, 0.0))
    soonest = per if first_lease is None else min(per, first_lease)
    return Taken(None, under_way, None, max(soonest, 0.0))


# SQLite's clock reads in whole milliseconds, truncated: a slot is kept one
# more, so that none is freed before its time.
_SQLITE_NOW = "SELECT (julianday('now') - 2440587.5) * 86400.0 + 0.001"
_TABLE = "quorvane_rate_limit"


class FileSlots:
    """The slots of a rate limit in a SQLite file (a table of its own: the
    file may be the cache's too). One connection per process, opened on
    first use and shared by its threads, which take turns.

    Every take first checks that the path still names the file that is
    open (one ``stat``): a file deleted or replaced since (and so, likely,
    started anew by another process at the same path) is left for the one
    the path names now, so that every process counts in the same file.
    """

    def __init__(self, path: Path) -> None:
        self.path = path
        self._connection: Optional[sqlite3.Connection] = None
        # The device and inode of the file that _connection has open.
        self._file: Optional[Tuple[int, int]] = None
        self._turn = threading.RLock()
        close_before_fork(self)

    def reopened(self) -> "FileSlots":
        """The same file for a forked child."""
        return FileSlots(self.path)

    def describe(self) -> str:
        return shown(self.path)

    def _identity(self) -> Optional[Tuple[int, int]]:
        try:
            found = os.stat(self.path)
        except FileNotFoundError:
            return None
        return found.st_dev, found.st_ino

    def _open(self, deadline: float) -> sqlite3.Connection:
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            connection = sqlite_file.connect(self.path)
        except (OSError, sqlite3.Error) as error:
            raise self._failure(error) from error
        try:
            # WAL: readers of the same file (the cache's) never wait.
            sqlite_file.use_wal(connection, deadline)
            sqlite_file.retry_while_locked(lambda: connection.execute(
                f"CREATE TABLE IF NOT EXISTS {_TABLE} (slot TEXT PRIMARY KEY, "
                "release REAL NOT NULL, ended INTEGER NOT NULL)"), deadline)
            self._file = self._identity()
        except BaseException:
            connection.close()
            raise
        return connection

    def _open_file(self, deadline: float) -> sqlite3.Connection:
        """The connection to the file that the path names now."""
        connection = self._connection
        if connection is not None and self._identity() != self._file:
            self._connection = None
            connection.close()
            connection = None
        if connection is None:
            connection = self._connection = self._open(deadline)
        return connection

    def _failure(self, error: BaseException) -> StoreUnavailable:
        return StoreUnavailable(f"the rate limit's store {shown(self.path)} cannot be used: "
                                f"{error}")

    @contextmanager
    def _transaction(self, deadline: float) -> Iterator[sqlite3.Connection]:
        with in_use(), self._turn:
            try:
                with sqlite_file.write(self._open_file(deadline), deadline) as connection:
                    yield connection
            except sqlite_file.Locked as error:
                raise self._failure(error) from error
            except sqlite3.Error as error:
                raise self._failure(error) from error

    def take(self, calls: int, per: float, lease: float, deadline: float) -> Taken:
        slot = uuid.uuid4().hex
        with self._transaction(deadline) as db:
            (now,) = db.execute(_SQLITE_NOW).fetchone()
            db.execute(f"DELETE FROM {_TABLE} WHERE release <= ?", (now,))
            # A clock set back: nothing is held longer than a lease from now.
            db.execute(f"UPDATE {_TABLE} SET release = ? WHERE release > ?",
                       (now + lease, now + lease))
            count, ended, first_ended, first_lease = db.execute(
                f"SELECT COUNT(*), TOTAL(ended), MIN(CASE WHEN ended THEN release END), "
                f"MIN(CASE WHEN ended THEN NULL ELSE release END) FROM {_TABLE}").fetchone()
            if count < calls:
                db.execute(f"INSERT INTO {_TABLE} VALUES (?, ?, 0)", (slot, now + lease))
        if count < calls:
            return Taken(slot, 0, None, 0.0)
        return _taken(count - int(ended), None if first_ended is None else first_ended - now,
                      None if first_lease is None else first_lease - now, per)

    def end(self, slot: str, per: float) -> None:
        with self._transaction(time.monotonic() + LOCK_SECONDS) as db:
            (now,) = db.execute(_SQLITE_NOW).fetchone()
            db.execute(f"UPDATE {_TABLE} SET release = ?, ended = 1 WHERE slot = ? AND NOT ended",
                       (now + per, slot))

    def close(self) -> None:
        close_files([self])

    def close_now(self) -> None:
        connection, self._connection = self._connection, None
        if connection is not None:
            connection.close()

    def __del__(self) -> None:
        # Unreachable, so unused by any thread: its connection goes with it.
        if getattr(self, "_connection", None) is not None:
            self.close_now()


# KEYS: the slots under way and the ended ones, sorted sets scored by release
# time. ARGV: calls, lease, per (seconds), the new slot's id. Returns {1} for
# a slot taken, else {0, under way, first ended release, first lease end}
# (as text: Lua numbers come back as integers), the times from now.
_TAKE = """
if redis.replicate_commands then redis.replicate_commands() end
local time = redis.call('TIME')
local now = tonumber(time[1]) + tonumber(time[2]) / 1000000
local calls, lease, per = tonumber(ARGV[1]), tonumber(ARGV[2]), tonumber(ARGV[3])
local count = 0
for _, key in ipairs(KEYS) do
  redis.call('ZREMRANGEBYSCORE', key, '-inf', now)
  -- A clock set back: nothing is held longer than a lease from now.
  for _, slot in ipairs(redis.call('ZRANGEBYSCORE', key, '(' .. (now + lease), '+inf')) do
    redis.call('ZADD', key, now + lease, slot)
  end
  count = count + redis.call('ZCARD', key)
end
if count < calls then
  redis.call('ZADD', KEYS[1], now + lease, ARGV[4])
  local ms = math.ceil(lease * 1000) + 1000
  if redis.call('PTTL', KEYS[1]) < ms then redis.call('PEXPIRE', KEYS[1], ms) end
  return {1}
end
local function first(key)
  local found = redis.call('ZRANGE', key, 0, 0, 'WITHSCORES')
  if found[2] then return tostring(tonumber(found[2]) - now) end
  return ''
end
return {0, redis.call('ZCARD', KEYS[1]), first(KEYS[2]), first(KEYS[1])}
"""

# The try of slot ARGV[2] has ended: it is kept ARGV[1] seconds more. A slot
# whose lease ran out meanwhile is gone and stays gone.
_END = """
if redis.replicate_commands then redis.replicate_commands() end
if redis.call('ZREM', KEYS[1], ARGV[2]) == 1 then
  local time = redis.call('TIME')
  local per = tonumber(ARGV[1])
  redis.call('ZADD', KEYS[2], tonumber(time[1]) + tonumber(time[2]) / 1000000 + per, ARGV[2])
  local ms = math.ceil(per * 1000) + 1000
  if redis.call('PTTL', KEYS[2]) < ms then redis.call('PEXPIRE', KEYS[2], ms) end
end
return 0
"""

#: The keys of the rate limit in its Redis database (one hash slot, for a
#: cluster).
REDIS_KEYS = ("{quorvane:rate-limit}:under-way", "{quorvane:rate-limit}:ended")


class RedisSlots:
    """The slots of a rate limit in a Redis database: two sorted sets,
    changed only by scripts that the server runs alone."""

    def __init__(self, url: str) -> None:
        self.url = url
        self._client = redis_client(url, "rate_limit_store")
        self._take = self._client.register_script(_TAKE)
        self._end = self._client.register_script(_END)

    def reopened(self) -> "RedisSlots":
        return self  # redis-py's pool opens new connections in a child

    def describe(self) -> str:
        return shown(self.url)

    def take(self, calls: int, per: float, lease: float, deadline: float) -> Taken:
        slot = uuid.uuid4().hex
        try:
            found = self._take(keys=REDIS_KEYS, args=[calls, repr(lease), repr(per), slot])
        except redis_errors() as error:
            raise redis_failure(self.url, "the rate limit's store", error) from error
        if found[0] == 1:
            return Taken(slot, 0, None, 0.0)
        under_way, first_ended, first_lease = int(found[1]), found[2], found[3]
        return _taken(under_way, float(first_ended) if first_ended else None,
                      float(first_lease) if first_lease else None, per)

    def end(self, slot: str, per: float) -> None:
        try:
            self._end(keys=REDIS_KEYS, args=[repr(per), slot])
        except redis_errors() as error:
            raise redis_failure(self.url, "the rate limit's store", error) from error
