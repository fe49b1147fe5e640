"""A client-side rate limit that holds as the service counts: at most
``calls`` requests in ANY window of ``per_seconds``.

A request takes a slot just before it is sent and gives it back when its
try has ended (the answer's head has arrived, or the try failed); the slot
stays counted for ``per_seconds`` after that. A service stamps a request
somewhere between those two moments, so however long each request takes to
reach it, no window of ``per_seconds`` at the service holds more than
``calls`` of them. (A limiter that counts only the moment a request is let
go would not give that: under load, requests let go in one window arrive
in the next one, together with that window's own.)

The slots are taken where urllib3 sends each try, so a retry counts like
any other request. Cache hits never get here.

Without a store the slots are this process's own (:class:`RateLimit`).
With one (a SQLite file or a Redis database, stores.py), every process
that names it takes its slots there, and they hold one limit together
(:class:`SharedRateLimit`): the store keeps the time, and a slot whose
process died is freed when its lease runs out.
"""

import collections
import threading
import time
import weakref
from contextlib import contextmanager
from typing import Any, Callable, Deque, Dict, Iterator, List, Optional, Type, Union

import requests

from .stores import FileSlots, RedisSlots, StoreUnavailable

__all__ = ["RateLimitExceeded", "RateLimit", "SharedRateLimit", "waits_end_with"]

# The event that ends this thread's waits for the limit, if any (fetch_many's
# workers: a stopped run drops its requests that have not gone yet).
_waits_end = threading.local()
# How often such a wait looks at its event.
_POLL_SECONDS = 0.25
# A wait for a slot of a shared limit ends this much after the slot is due.
_AFTER_DUE = 0.002

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
    __slots__ = ("ended", "id", "__weakref__")

    def __init__(self, id: str = "") -> None:
        self.ended = False
        # Its id in a shared store.
        self.id = id


class RateLimit:
    """At most ``calls`` tries in flight or ended less than ``per`` seconds
    ago, across every thread; a try over the limit waits, at most
    ``max_wait`` seconds in all."""

    def __init__(self, calls: int, per: float, max_wait: float,
                 ended: Optional[List[float]] = None) -> None:
        self.calls, self.per, self.max_wait = calls, per, max_wait
        # A reentrant lock: a signal handler that sends a request while the
        # code it interrupted holds the lock must not wait for itself.
        self._changed = threading.Condition(threading.RLock())
        # The slots taken and not yet given back. A slot dropped unended
        # (an exception between taking it and sending) leaves by itself,
        # with no lock taken: its request was never sent.
        self._in_flight: "weakref.WeakSet[_Slot]" = weakref.WeakSet()
        # When each recent try ended, oldest first (they end in this order,
        # since each is stamped under the lock).
        self._ended: Deque[float] = collections.deque(sorted(ended or ()))
        self._local = threading.local()
        self._pool_classes: Dict[type, type] = {}

    def describe(self) -> str:
        return f"{self.calls} request{'s' if self.calls != 1 else ''} per {self.per:g} s"

    def after_fork(self) -> "RateLimit":
        """The limit for a forked child: the tries the parent had in flight
        count as ended now, since the child will never see them end."""
        now = time.monotonic()
        return RateLimit(self.calls, self.per, self.max_wait,
                         list(self._ended) + [now] * len(self._in_flight))

    def _take(self) -> _Slot:
        start = time.monotonic()
        stop: Optional[threading.Event] = getattr(_waits_end, "event", None)
        with self._changed:
            while True:
                now = time.monotonic()
                ended = self._ended
                while ended and ended[0] + self.per <= now:
                    ended.popleft()
                if len(self._in_flight) + len(ended) < self.calls:
                    slot = _Slot()
                    self._in_flight.add(slot)
                    return slot
                left = start + self.max_wait - now
                # The earliest a slot can come free; unknown while every
                # counted try is still in flight.
                free_in = ended[0] + self.per - now if ended else None
                if left <= 0 or (free_in is not None and free_in > left):
                    raise RateLimitExceeded(self._refusal(now - start, free_in))
                if stop is not None and stop.is_set():
                    raise RateLimitExceeded(f"rate limit of {self.describe()}: the run was "
                                            "stopped while this request waited for its turn")
                # Waiting on a condition lets Ctrl-C through in the main
                # thread, and a try that ends wakes the waiters.
                wait = left if free_in is None else free_in
                self._changed.wait(wait if stop is None else min(wait, _POLL_SECONDS))

    def _refusal(self, waited: float, free_in: Optional[float],
                 under_way: Optional[int] = None) -> str:
        head = f"rate limit of {self.describe()}: "
        if free_in is None:
            return (head + f"no request could go within max_wait={self.max_wait:g} s "
                    f"({self.calls if under_way is None else under_way} still under way)")
        return (head + f"the next request may go in {free_in:.1f} s, after "
                f"max_wait={self.max_wait:g} s" + (f" (waited {waited:.1f} s)" if waited else ""))

    def _end(self, slot: _Slot) -> None:
        if slot.ended:
            return
        with self._changed:
            if slot.ended:
                return
            slot.ended = True
            self._in_flight.discard(slot)
            self._ended.append(time.monotonic())
            self._changed.notify_all()

    def send(self, urlopen: Callable[..., Any], args: Any, kwargs: Any) -> Any:
        """One try of urllib3's ``urlopen``. A retry calls ``urlopen`` again
        from inside the try before it, which by then has ended."""
        local = self._local
        before: Optional[_Slot] = getattr(local, "slot", None)
        if before is not None:
            self._end(before)
        slot = self._take()
        local.slot = slot
        try:
            return urlopen(*args, **kwargs)
        finally:
            self._end(slot)
            local.slot = before

    def sent(self) -> None:
        """The current try's answer head has arrived, or the try failed."""
        slot: Optional[_Slot] = getattr(self._local, "slot", None)
        if slot is not None:
            self._end(slot)

    def pool_class(self, base: type) -> type:
        """``base`` (an urllib3 connection pool class) with every try
        counted against this limit."""
        if issubclass(base, _LimitedPool):
            return base
        limited = self._pool_classes.get(base)
        if limited is None:
            limited = type(base.__name__, (_LimitedPool, base), {"rate_limit": self})
            self._pool_classes[base] = limited
        return limited

    def limit_pools(self, manager: Any) -> None:
        """Makes the pools that ``manager`` (an urllib3 PoolManager or
        ProxyManager) opens from now on count their tries here."""
        classes: Dict[str, Type[Any]] = manager.pool_classes_by_scheme
        manager.pool_classes_by_scheme = {scheme: self.pool_class(base)
                                          for scheme, base in classes.items()}


class SharedRateLimit(RateLimit):
    """The limit of every process that names one store: the slots are kept
    there (stores.py), taken and given back in one atomic step each, and
    timed by the store's clock alone.

    A request over the limit waits until the store says a slot can come
    free (the first slot of an ended try, or the end of a lease; while
    every slot is under way, ``per`` seconds, since a try that ends now
    frees its slot no sooner), then asks again. This process's clock only
    measures how long it has waited (``max_wait``).
    """

    def __init__(self, calls: int, per: float, max_wait: float,
                 store: Union[FileSlots, RedisSlots], lease: float) -> None:
        super().__init__(calls, per, max_wait)
        self.store, self.lease = store, lease

    def after_fork(self) -> "SharedRateLimit":
        """The same limit for a forked child. The parent's tries under way
        are the parent's: it gives their slots back itself."""
        return SharedRateLimit(self.calls, self.per, self.max_wait, self.store.reopened(),
                               self.lease)

    def _take(self) -> _Slot:
        start = time.monotonic()
        stop: Optional[threading.Event] = getattr(_waits_end, "event", None)
        while True:
            # The store's lock too is waited for within max_wait.
            taken = self.store.take(self.calls, self.per, self.lease, start + self.max_wait)
            if taken.slot is not None:
                return _Slot(taken.slot)
            waited = time.monotonic() - start
            left = self.max_wait - waited
            if left <= 0 or (taken.free_in is not None and taken.free_in > left):
                raise RateLimitExceeded(self._refusal(waited, taken.free_in, taken.under_way))
            if stop is not None and stop.is_set():
                raise RateLimitExceeded(f"rate limit of {self.describe()}: the run was "
                                        "stopped while this request waited for its turn")
            wait = min(taken.retry_in + _AFTER_DUE, left)
            # A condition's wait lets Ctrl-C through in the main thread.
            with self._changed:
                self._changed.wait(wait if stop is None else min(wait, _POLL_SECONDS))

    def _end(self, slot: _Slot) -> None:
        if slot.ended:
            return
        slot.ended = True
        try:
            self.store.end(slot.id, self.per)
        except StoreUnavailable:
            pass  # the slot stays held until its lease ends; the next take says why
        # No waiter is woken: a slot given back now is free only per_seconds
        # later, and no waiter sleeps past that.


class _LimitedPool:
    """Mixed into an urllib3 connection pool class: each try waits for a
    slot before the pool hands out a connection, and gives the slot back
    once the answer's head has arrived."""

    rate_limit: RateLimit

    def urlopen(self, *args: Any, **kwargs: Any) -> Any:
        return self.rate_limit.send(super().urlopen, args, kwargs)  # type: ignore[misc]

    # One call per try in urllib3 1.26 and 2.x, ending once the head of the
    # answer has been read. Without it a slot would end only when the next
    # try starts, after the wait between tries.
    def _make_request(self, *args: Any, **kwargs: Any) -> Any:
        try:
            return super()._make_request(*args, **kwargs)  # type: ignore[misc]
        finally:
            self.rate_limit.sent()
