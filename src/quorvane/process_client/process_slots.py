"""The slots of a rate limit kept by this process alone (no
``rate_limit_store``): the tries in flight, across every thread, and when
the recent ones ended."""

import collections
import math
import threading
import time
import weakref
from typing import Any, Callable, Deque, Iterable

from .slots import Availability

__all__ = ["ProcessSlots"]


class _Try:
    """A slot taken: known to the store only weakly, so that one dropped
    before its try was sent (an exception in between) leaves by itself,
    with no lock taken: its request never went."""

    __slots__ = ("__weakref__",)


class ProcessSlots:
    """This process's slots, in memory. A try that ends wakes the threads
    that wait for a slot: once every slot is under way, the first to end
    tells when a slot comes free."""

    def __init__(self, clock: Callable[[], float] = time.monotonic,
                 ended: Iterable[float] = ()) -> None:
        self._clock = clock
        # Reentrant: a signal handler that sends a request while the code it
        # interrupted holds the lock must not wait for itself.
        self._changed = threading.Condition(threading.RLock())
        self._in_flight: "weakref.WeakSet[_Try]" = weakref.WeakSet()
        # When each recent try ended, oldest first (they end in this order,
        # since each is stamped under the lock).
        self._ended: Deque[float] = collections.deque(sorted(ended))
        # Tries ended so far, and the count each thread saw at its last
        # take: a wait that would miss an end returns at once.
        self._ends = 0
        self._seen = threading.local()

    def take(self, calls: int, per: float, lease: float, deadline: float) -> Availability:
        with self._changed:
            now = self._clock()
            ended = self._ended
            while ended and ended[0] + per <= now:
                ended.popleft()
            self._seen.ends = self._ends
            if len(self._in_flight) + len(ended) < calls:
                slot = _Try()
                self._in_flight.add(slot)
                return Availability(slot, 0, None, 0.0)
            free_in = ended[0] + per - now if ended else None
            return Availability(None, len(self._in_flight), free_in,
                                math.inf if free_in is None else free_in)

    def end(self, slot: Any, per: float) -> None:
        with self._changed:
            if slot not in self._in_flight:
                return
            self._in_flight.discard(slot)
            self._ended.append(self._clock())
            self._ends += 1
            self._changed.notify_all()

    def wait(self, seconds: float) -> None:
        # A condition's wait lets Ctrl-C through in the main thread.
        with self._changed:
            if getattr(self._seen, "ends", self._ends) == self._ends:
                self._changed.wait(seconds)

    def close(self) -> None:
        pass

    def after_fork(self) -> "ProcessSlots":
        """A forked child's: the tries the parent had in flight count as
        ended now, since the child will never see them end."""
        now = self._clock()
        return ProcessSlots(self._clock, list(self._ended) + [now] * len(self._in_flight))
