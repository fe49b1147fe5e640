"""A SQLite file that several processes use at once: opening it in WAL mode,
writing to it, and waiting for another process's lock in short slices.

SQLite waits for a lock that another connection holds inside its own C
code (the busy time-out), where Python cannot run a signal handler: with a
30-second busy time-out, Ctrl-C would take effect only once those 30
seconds had passed. So every connection made here waits at most
``SLICE_SECONDS`` at a time, and the waiting goes on in Python, try after
try, until the caller's deadline: a signal is handled between two tries,
and a deadline is kept to within a slice.

Writes are one transaction each, begun with ``BEGIN IMMEDIATE`` (the write
lock first, then the reads that the write depends on). Whatever ends a
transaction early (an error, Ctrl-C, a signal handler's exception) rolls it
back, so that no transaction stays open on a connection that others share,
holding the file's write lock against every other process.
"""

import sqlite3
import time
from contextlib import contextmanager
from pathlib import Path
from typing import Callable, Iterator, TypeVar

__all__ = ["Locked", "LOCK_SECONDS", "SLICE_SECONDS", "connect", "retry_while_locked", "use_wal",
           "write", "roll_back"]

#: How long a write waits for another process's lock at most (storing an
#: answer, giving a slot back), and opening a file while other processes
#: hold it. Taking a slot waits for as long as the Connection's ``max_wait``.
LOCK_SECONDS = 30.0
#: The longest one wait for a lock lasts inside SQLite.
SLICE_SECONDS = 0.05
# Between two tries: SQLite refuses some locks at once, without waiting.
_PAUSE_SECONDS = 0.005

T = TypeVar("T")


class Locked(Exception):
    """Another connection held the file's lock until the deadline. Not a
    ``sqlite3.Error``: code that tries again on SQLite's own errors does
    not try again on this one."""

    def __init__(self, waited: float) -> None:
        super().__init__(f"another process held the file's lock for {waited:.1f} s")
        #: How long the lock was waited for, in seconds.
        self.waited = waited


def _is_lock(error: sqlite3.Error) -> bool:
    text = str(error)
    return isinstance(error, sqlite3.OperationalError) and ("locked" in text or "busy" in text)


def connect(path: Path) -> sqlite3.Connection:
    """A connection to ``path`` in autocommit mode (transactions are begun
    explicitly), usable from any thread, whose waits for a lock last
    ``SLICE_SECONDS``."""
    return sqlite3.connect(str(path), timeout=SLICE_SECONDS, isolation_level=None,
                           check_same_thread=False)


def retry_while_locked(work: Callable[[], T], deadline: float) -> T:
    """``work()``, tried again while it fails on a lock that another
    connection holds, until ``deadline`` (``time.monotonic()``); then
    :class:`Locked`, from the last failure."""
    start = time.monotonic()
    while True:
        try:
            return work()
        except sqlite3.OperationalError as error:
            now = time.monotonic()
            if not _is_lock(error):
                raise
            if now >= deadline:
                raise Locked(now - start) from error
        time.sleep(_PAUSE_SECONDS)


def use_wal(connection: sqlite3.Connection, deadline: float) -> None:
    """Puts the file in WAL mode: readers never wait for a writer. The
    switch needs the file alone for a moment, which SQLite refuses at once
    while another connection is in the middle of a write: tried again until
    ``deadline``."""
    retry_while_locked(lambda: connection.execute("PRAGMA journal_mode=WAL"), deadline)


def roll_back(connection: sqlite3.Connection) -> None:
    """Ends a transaction left open by an interruption, if there is one."""
    if connection.in_transaction:
        connection.rollback()


@contextmanager
def write(connection: sqlite3.Connection, deadline: float) -> Iterator[sqlite3.Connection]:
    """One write transaction: the write lock, waited for until ``deadline``
    (then :class:`Locked`); committed at the end of the block, rolled back
    if anything ends it early."""
    roll_back(connection)
    retry_while_locked(lambda: connection.execute("BEGIN IMMEDIATE"), deadline)
    try:
        yield connection
        connection.execute("COMMIT")
    finally:
        roll_back(connection)
