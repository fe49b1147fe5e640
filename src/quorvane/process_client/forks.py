"""Everything a forked child must not inherit as it is, in one place: the
only ``os.register_at_fork`` of the package.

A child made by ``fork()`` has only the thread that forked, every lock in
whatever state another thread left it, and the parent's open files and
sockets. Three kinds of thing are renewed here:

- **SQLite connections** (the cache file's, the rate limit file's). One
  open across a fork leaves the child without the file locks that SQLite
  believes it holds, and writes can then be lost when another process
  closes the file. Before every fork the process waits until no thread is
  at work on one (work runs inside :func:`in_use`; a matter of
  milliseconds) and drops them all (:func:`drop_before_fork`); parent and
  child open new ones on their next use.
- **Objects that renew themselves in the child** (:func:`renew_in_child`):
  a ``Connection`` makes a new pool, new sessions, a new rate limit and new
  stores, since the parent's sockets and tries under way are the parent's.
- **Functions of module state** (:func:`call_in_child`): a module's lock
  that another thread may have held at the fork is made anew.

redis-py needs nothing: its pool sees a new process id and opens new
connections by itself.
"""

import os
import threading
import weakref
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterable, Iterator, List

__all__ = ["in_use", "drop_before_fork", "close_when_idle", "renew_in_child", "call_in_child"]


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

    def drop_all(self, holders: Iterable[Any]) -> bool:
        """Waits until no other thread is at work, then drops the
        connections of ``holders`` and keeps new work waiting until
        :meth:`reopen`; False when the calling thread is itself at work
        (nothing is dropped then)."""
        me = threading.get_ident()
        with self._changed:
            self._closing += 1
            if me in self._at_work:
                return False
            while self._at_work:
                self._changed.wait()
            for holder in holders:
                holder.drop_connection()
            return True

    def reopen(self) -> None:
        with self._changed:
            self._closing -= 1
            self._changed.notify_all()


_gate = _Gate()
# Whatever holds a SQLite connection: dropped before a fork.
_holders: "weakref.WeakSet[Any]" = weakref.WeakSet()
# Holders a forked child must keep open and never close (see _after_in_child).
_kept: List[Any] = []
_dropped_for_fork = True
_renewed: "weakref.WeakSet[Any]" = weakref.WeakSet()
_functions: List[Callable[[], None]] = []


def in_use() -> Any:
    """A context for work on a SQLite connection: a fork, and
    :func:`close_when_idle`, wait until it is over."""
    return _gate.shared()


def drop_before_fork(holder: Any) -> None:
    """``holder.drop_connection()`` is called before every fork, once no
    thread is at work; the holder opens its connection again on next use.
    Kept weakly."""
    _holders.add(holder)


def close_when_idle(holders: Iterable[Any]) -> None:
    """Drops the connections of ``holders`` once no thread is at work on
    any of them (at once when this thread is itself at work: then
    nothing is dropped)."""
    try:
        _gate.drop_all(holders)
    finally:
        _gate.reopen()


def renew_in_child(renewed: Any) -> None:
    """``renewed.renew_after_fork()`` is called in every child forked from
    now on. Kept weakly."""
    _renewed.add(renewed)


def call_in_child(function: Callable[[], None]) -> None:
    """``function()`` is called in every child forked from now on, before
    the objects of :func:`renew_in_child` are renewed."""
    _functions.append(function)


def _before() -> None:
    global _dropped_for_fork
    _dropped_for_fork = _gate.drop_all(list(_holders))


def _after_in_parent() -> None:
    _gate.reopen()


def _after_in_child() -> None:
    global _gate
    _gate = _Gate()
    if not _dropped_for_fork:
        # Forked while this very thread was using a file: its connections
        # are still open, and closing them here would release locks that
        # the parent's connections rely on. They stay open, unused, and
        # are never dropped at a later fork.
        _kept.extend(_holders)
        _holders.clear()
    for function in _functions:
        function()
    for renewed in list(_renewed):
        renewed.renew_after_fork()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_before, after_in_parent=_after_in_parent,
                        after_in_child=_after_in_child)
