"""The slots of a rate limit in a SQLite file, for the processes of one
machine (see ``slots.py`` for the protocol).

Taking a slot is one write transaction (``BEGIN IMMEDIATE``: the processes
take turns), and every time in it is read inside that step from SQLite's
clock (``julianday('now')``, the machine's clock, read by each process's
SQLite: the file is for the processes of one machine, which share that
clock; for machines whose clocks may differ, use Redis). Should the clock
be set back, no entry is kept longer than ``lease`` from the new time.

Another process's lock is waited for in short slices (``sqlite_file``), so
that Ctrl-C ends the wait at once, until the caller's deadline.
"""

import os
import sqlite3
import threading
import time
import uuid
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator, Optional, Tuple

from . import forks, sqlite_file
from .slots import Availability, every_slot_held
from .stores import StoreUnavailable, describe

__all__ = ["FileSlots"]

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
        self.location = self.path = path
        self._connection: Optional[sqlite3.Connection] = None
        # The device and inode of the file that _connection has open.
        self._file: Optional[Tuple[int, int]] = None
        self._turn = threading.RLock()
        forks.drop_before_fork(self)

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
        return StoreUnavailable(f"the rate limit's store {describe(self.path)} cannot be used: "
                                f"{error}")

    @contextmanager
    def _transaction(self, deadline: float) -> Iterator[sqlite3.Connection]:
        with forks.in_use(), self._turn:
            try:
                with sqlite_file.write(self._open_file(deadline), deadline) as connection:
                    yield connection
            except sqlite_file.Locked as error:
                raise self._failure(error) from error
            except sqlite3.Error as error:
                raise self._failure(error) from error

    def take(self, calls: int, per: float, lease: float, deadline: float) -> Availability:
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
            return Availability(slot, 0, None, 0.0)
        return every_slot_held(count - int(ended),
                               None if first_ended is None else first_ended - now,
                               None if first_lease is None else first_lease - now, per)

    def end(self, slot: str, per: float) -> None:
        with self._transaction(time.monotonic() + sqlite_file.LOCK_SECONDS) as db:
            (now,) = db.execute(_SQLITE_NOW).fetchone()
            db.execute(f"UPDATE {_TABLE} SET release = ?, ended = 1 WHERE slot = ? AND NOT ended",
                       (now + per, slot))

    def wait(self, seconds: float) -> None:
        time.sleep(seconds)

    def close(self) -> None:
        forks.close_when_idle([self])

    def after_fork(self) -> "FileSlots":
        """The same file for a forked child, through a connection of its
        own. The parent's tries under way are the parent's: it ends them."""
        return FileSlots(self.path)

    def drop_connection(self) -> None:
        connection, self._connection = self._connection, None
        if connection is not None:
            connection.close()

    def __del__(self) -> None:
        # Unreachable, so unused by any thread: its connection goes with it.
        if getattr(self, "_connection", None) is not None:
            self.drop_connection()
