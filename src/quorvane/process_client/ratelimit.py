"""A client-side rate limit that holds as the service counts: at most
``calls`` requests in ANY window of ``per_seconds``.

A request takes a slot just before it is sent and gives it back when its
try has ended (the answer's head has arrived, or the try failed); the slot
stays counted for ``per_seconds`` after that. A service stamps a request
somewhere between those two moments, so however long each request takes to
reach it, no window of ``per_seconds`` at the service holds more than
``calls`` of them. (A limiter that counts only the moment a request is let
go would not give that: under load, requests let go in one window arrive
in the next one, together with that window's own. ``docs/libraries.md``
measures it.)

The slots are taken where urllib3 sends each try (``limited_pools.py``), so
a retry counts like any other request. Cache hits never get here. Where
the slots are kept is a slot store (``slots.py``): this process's memory,
a SQLite file or a Redis database. One wait loop, here, serves all three.
"""

import threading
import time
from contextlib import contextmanager
from typing import Any, Callable, Iterator, Optional

import requests

from .file_slots import FileSlots
from .options import Options
from .process_slots import ProcessSlots
from .redis_slots import RedisSlots
from .slots import Availability, SlotStore
from .stores import StoreUnavailable, describe

__all__ = ["RateLimitExceeded", "RateLimit", "waits_end_with"]

# The event that ends this thread's waits for the limit, if any (fetch_many's
# workers: a stopped run drops its requests that have not gone yet).
_waits_end = threading.local()
# How often such a wait looks at its event.
_POLL_SECONDS = 0.25


@contextmanager
def waits_end_with(event: threading.Event) -> Iterator[None]:
    """While in force, a wait of this thread for the rate limit ends with
    :class:`RateLimitExceeded` soon after ``event`` is set."""
    before = getattr(_waits_end, "event", None)
    _waits_end.event = event
    try:
        yield
    finally:
        _waits_end.event = before


class RateLimitExceeded(requests.exceptions.RequestException):
    """A request would have had to wait longer than ``max_wait`` for a
    ``Connection``'s ``rate_limit``; nothing was sent for it.

    A ``requests.exceptions.RequestException``, so that code which handles
    requests' failures handles it too. Its text names the limit and the
    wait, such as "rate limit of 60 requests per 60 s: the next request may
    go in 41.3 s, after max_wait=30 s". In ``fetch_many()`` it lands in
    ``errors`` like any failure; a run stopped by Ctrl-C ends the waits of
    its calls with it.
    """


class _Slot:
    """A slot this process took: the store's own, and whether its try has
    ended (a slot is ended once, whichever of its ends comes first)."""

    __slots__ = ("store_slot", "ended")

    def __init__(self, store_slot: Any) -> None:
        self.store_slot = store_slot
        self.ended = False


class RateLimit:
    """At most ``calls`` tries in flight or ended less than ``per`` seconds
    ago, across every thread (and every process of the store, if it is
    shared); a try over the limit waits, at most ``max_wait`` seconds in
    all, the wait for the store itself included.

    ``clock`` measures only how long this process has waited; the store
    keeps its own time."""

    def __init__(self, calls: int, per: float, max_wait: float, slots: SlotStore,
                 lease: float, clock: Callable[[], float] = time.monotonic) -> None:
        self.calls, self.per, self.max_wait = calls, per, max_wait
        self.slots, self.lease, self._clock = slots, lease, clock

    @classmethod
    def for_options(cls, options: Options) -> Optional["RateLimit"]:
        """The limit of a Connection's options, None for none."""
        if options.rate_limit is None:
            return None
        location = options.rate_limit_store
        slots: SlotStore = (ProcessSlots() if location is None
                            else RedisSlots(location) if isinstance(location, str)
                            else FileSlots(location))
        return cls(*options.rate_limit, options.max_wait, slots, options.lease)

    def describe(self) -> str:
        return f"{self.calls} request{'s' if self.calls != 1 else ''} per {self.per:g} s"

    def describe_store(self) -> Optional[str]:
        """The shared store, as a repr shows it; None for this process's own."""
        location = getattr(self.slots, "location", None)
        return None if location is None else describe(location)

    def take(self) -> _Slot:
        """A slot for one try: waits for it while the store says one may
        come free within ``max_wait``; else ``RateLimitExceeded``, which
        says when."""
        start = self._clock()
        stop: Optional[threading.Event] = getattr(_waits_end, "event", None)
        while True:
            found = self.slots.take(self.calls, self.per, self.lease, start + self.max_wait)
            if found.slot is not None:
                return _Slot(found.slot)
            waited = self._clock() - start
            left = self.max_wait - waited
            if left <= 0 or (found.free_in is not None and found.free_in > left):
                raise RateLimitExceeded(self._refusal(waited, found))
            if stop is not None and stop.is_set():
                raise RateLimitExceeded(f"rate limit of {self.describe()}: the run was "
                                        "stopped while this request waited for its turn")
            wait = min(found.retry_in, left)
            self.slots.wait(wait if stop is None else min(wait, _POLL_SECONDS))

    def _refusal(self, waited: float, found: Availability) -> str:
        head = f"rate limit of {self.describe()}: "
        if found.free_in is None:
            return (head + f"no request could go within max_wait={self.max_wait:g} s "
                    f"({found.under_way} still under way)")
        return (head + f"the next request may go in {found.free_in:.1f} s, after "
                f"max_wait={self.max_wait:g} s" + (f" (waited {waited:.1f} s)" if waited else ""))

    def end(self, slot: _Slot) -> None:
        """The try of ``slot`` has ended; a second call does nothing."""
        if slot.ended:
            return
        slot.ended = True
        try:
            self.slots.end(slot.store_slot, self.per)
        except StoreUnavailable:
            pass  # the slot stays held until its lease ends; the next take says why

    def close(self) -> None:
        """Lets go of the store's connections until the next take."""
        self.slots.close()

    def after_fork(self) -> "RateLimit":
        """The same limit for a forked child (see ``SlotStore.after_fork``)."""
        return RateLimit(self.calls, self.per, self.max_wait, self.slots.after_fork(),
                         self.lease, self._clock)
