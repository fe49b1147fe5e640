"""A cache file: requests-cache's SQLite backend in WAL mode, whose writes
wait for another process's lock in short slices (``sqlite_file``), and a
file that this process may only read.

Within a process, the threads of a Connection share one database
connection and take turns on it (:meth:`FileStore.operation`): Python's
sqlite3 module gives two threads that run the same statement on one
connection the same prepared statement, so one thread's read could reset
the other's half-way and hand it an empty answer. Every database
connection here is dropped before a fork (``forks``) and opened again on
first use afterwards, in the parent and in the child alike.
"""

import os
import sqlite3
import threading
import time
import warnings
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Iterator, Optional
from urllib.parse import quote

from requests_cache import BaseCache, SQLiteCache
from requests_cache.backends.sqlite import SQLiteDict

from . import forks, sqlite_file
from .cache import CacheInfo, CacheView
from .stores import StoreUnavailable, describe

__all__ = ["FileStore", "WritableTable"]


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
            with sqlite_file.write(connection, time.monotonic() + sqlite_file.LOCK_SECONDS):
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
    def attempt() -> SQLiteCache:
        try:
            return _Backend(path)
        except BaseException as error:
            _close_half_opened(error)
            raise
    return sqlite_file.retry_while_locked(attempt, time.monotonic() + sqlite_file.LOCK_SECONDS)


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
                                 timeout=sqlite_file.LOCK_SECONDS)
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


class FileStore:
    """One cache file, opened on first use, shared by every thread of a
    Connection.

    A file that this process may read but not write (another user's, or on
    a read-only disk) still answers the calls it holds answers for; new
    answers are not stored, and a ``UserWarning`` says so once.
    """

    def __init__(self, path: Path) -> None:
        #: The file: absolute, with its extension (``Options`` resolved it).
        self.path = path
        self._backend: Optional[BaseCache] = None
        self.read_only = False
        self._said_locked = False
        self._opening = threading.RLock()
        # This thread's turn on the database connection, and whether a
        # rollback after an interruption has yet to finish.
        self._turn = threading.RLock()
        self._rolling_back = False
        # Hits read through a connection of their own, one thread at a
        # time (threads must not share a statement), under a lock that
        # nothing else takes: a write under way never holds a hit up.
        # Reentrant, for a signal handler's call inside a hit.
        self._reader: Optional[sqlite3.Connection] = None
        self._reading = threading.RLock()
        forks.drop_before_fork(self)

    def find(self, key: str) -> Optional[bytes]:
        """The stored answer of ``key`` as it was written, with one
        ``SELECT``; None where there is none, or where the file cannot be
        read now (the full path then says why)."""
        backend = self.backend()
        with forks.in_use(), self._reading:
            try:
                reader = self._reader
                if reader is None:
                    reader = self._reader = (_connect_read_only(self.path) if self.read_only
                                             else sqlite_file.connect(self.path))
                row = reader.execute(f"SELECT value FROM {backend.responses.table_name} "
                                     "WHERE key = ?", (key,)).fetchone()
            except sqlite3.Error:
                return None
        return None if row is None else row[0]

    def backend(self) -> BaseCache:
        backend = self._backend
        if backend is None:
            with self._opening, forks.in_use():
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
        return StoreUnavailable(f"the cache file {describe(self.path)} cannot be used: {error}")

    def not_stored(self, error: sqlite_file.Locked) -> None:
        """An answer was not stored: another process held the file's write
        lock for as long as a write waits. Said once per store."""
        if not self._said_locked:
            self._said_locked = True
            warnings.warn(f"the cache file {str(self.path)!r} is locked: {error}, so an answer "
                          "was not stored (the call got its table; answers are stored again "
                          "once the lock is let go)", UserWarning, stacklevel=2)

    def view(self) -> CacheView:
        return CacheView(self.backend(), self)

    @contextmanager
    def operation(self) -> Iterator[None]:
        """The database, for this thread alone within the process.

        An exception that interrupts the work (Ctrl-C, or whatever a signal
        handler raises) can land between the start of a write transaction
        and its commit; the transaction would then stay open on the
        connection that every thread shares, holding the file's write lock
        against other processes, and each later write would wait for ever
        to start its own. So whatever exception ends the work, an open
        transaction is rolled back (the interrupted answer is then not
        stored at all); should that rollback itself be cut short, the next
        operation starts with it. Work that ends normally has committed or
        rolled back each of its writes already (``sqlite_file.write``).
        """
        with forks.in_use(), self._turn:
            if self._rolling_back:
                self._roll_back()
            try:
                yield
            except BaseException:
                self._roll_back()
                raise

    def _roll_back(self) -> None:
        """Ends the transactions left open by an interruption."""
        self._rolling_back = True
        backend = self._backend
        if backend is not None:
            for table in (backend.responses, backend.redirects):
                with table.connection() as connection:
                    sqlite_file.roll_back(connection)
        self._rolling_back = False

    def clear(self) -> None:
        backend = self.backend()
        if self.read_only:
            raise PermissionError(f"the cache file {str(self.path)!r} is read-only")
        with self.operation():
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
        with self.operation():
            entries = backend.responses.count()
        size = 0
        for name in (str(self.path), str(self.path) + "-wal"):
            try:
                size += os.path.getsize(name)
            except OSError:
                pass
        return CacheInfo(self.path, entries, size)

    def close(self) -> None:
        forks.close_when_idle([self])

    def drop_connection(self) -> None:
        if self._backend is not None:
            self._backend.close()  # opened again on next use
        reader, self._reader = self._reader, None
        if reader is not None:
            reader.close()

    def __del__(self) -> None:
        # Unreachable, so unused by any thread: its connections go with it.
        if getattr(self, "_backend", None) is not None or getattr(self, "_reader", None):
            self.drop_connection()
