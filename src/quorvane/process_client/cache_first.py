"""Calls answered from the cache or not at all: how ``fetch_many`` makes
the calls that a cache answers first, one after another in the calling
thread, before its threads make the others.

A hit is all the interpreter's work, which threads would only take turns
on; a miss waits on the network, which threads overlap. Under
:func:`only_from_cache`, a ``Connection.get`` that its cache's hit path
cannot answer raises :class:`NotCached` before it sends anything.
"""

import threading
from contextlib import contextmanager
from typing import Iterator

__all__ = ["NotCached", "only_from_cache", "in_force"]

_only_from_cache = threading.local()


class NotCached(Exception):
    """A call made under ``only_from_cache()`` would have had to send its
    request: the cache has no answer for it (not yet, or expired)."""


@contextmanager
def only_from_cache() -> Iterator[None]:
    """While in force, a call of ``Connection.get`` in this thread that the
    cache cannot answer raises ``NotCached`` instead of sending."""
    before = in_force()
    _only_from_cache.active = True
    try:
        yield
    finally:
        _only_from_cache.active = before


def in_force() -> bool:
    """Whether this thread's calls are to be answered from the cache only."""
    return getattr(_only_from_cache, "active", False)
