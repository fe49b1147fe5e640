"""Where a rate limit keeps its slots: the protocol of a slot store.

A slot is one try of a request. It is taken just before the try is sent
and ended when the head of the answer has arrived (or the try failed); it
stays counted ``per`` seconds after that. So no window of ``per`` seconds
at the service sees more than ``calls`` tries, however long each takes to
get there.

A slot store holds the slots of one limit, and says what it found when a
slot could not be taken, so that :class:`~.ratelimit.RateLimit`'s one wait
loop knows how long to wait. Three stores keep this protocol:

- ``process_slots.ProcessSlots``: this process's own, in memory;
- ``file_slots.FileSlots``: a SQLite file, for the processes of one
  machine;
- ``redis_slots.RedisSlots``: a Redis database, for many machines.

In a shared store a slot is one entry with a release time: while its try
is under way, the end of its lease (the time it was taken plus ``lease``);
once ended, the end plus ``per``. An entry whose time has passed is gone,
so a process that dies holding slots holds them ``lease`` seconds at most.
"""

from typing import Any, NamedTuple, Optional, Protocol

__all__ = ["Availability", "SlotStore", "every_slot_held", "AFTER_DUE"]

#: A wait for a slot of a shared store ends this much after the slot is
#: due, so that the store's clock has passed the slot's time when it is
#: asked again.
AFTER_DUE = 0.002


class Availability(NamedTuple):
    """What one attempt to take a slot found, times in seconds from then."""

    #: The slot taken (to give to ``end``), or None when every slot was held.
    slot: Any
    #: Slots held by tries still under way.
    under_way: int
    #: When the next slot comes free: the first of an ended try, or of a
    #: lease that runs out. None while only tries under way hold slots: one
    #: may end at any moment.
    free_in: Optional[float]
    #: How long to wait before asking again (``math.inf``: until the store's
    #: ``wait`` is woken by a try that ends).
    retry_in: float


def every_slot_held(under_way: int, first_ended: Optional[float],
                    first_lease: Optional[float], per: float) -> Availability:
    """A shared store's answer when every slot is held: the first slot of
    an ended try comes free at its time, and so does the first lease that
    runs out; while every slot is under way, none comes free sooner than
    ``per`` seconds (a try that ends now frees its slot then)."""
    if first_ended is not None:
        free_in = max(first_ended if first_lease is None else min(first_ended, first_lease), 0.0)
        return Availability(None, under_way, free_in, free_in + AFTER_DUE)
    soonest = per if first_lease is None else min(per, first_lease)
    return Availability(None, under_way, None, max(soonest, 0.0) + AFTER_DUE)


class SlotStore(Protocol):
    """The methods of a slot store.

    ``take(calls, per, lease, deadline)``
        In one atomic step: drop the slots whose time has passed, count the
        others, and take one if there are fewer than ``calls``. Waits for
        the store itself (another process's lock on a file) until
        ``deadline`` (``time.monotonic()``) at most, then raises
        ``StoreUnavailable``.
    ``end(slot, per)``
        The try of ``slot`` has ended: the slot stays counted ``per``
        seconds more. Called once per slot.
    ``wait(seconds)``
        Waits before the next ``take``: at most ``seconds``, less where the
        store can tell that a slot may have come free.
    ``close()``
        Lets go of connections (a file's, a Redis pool's), once no thread
        is at work on them; they are opened again on next use.
    ``after_fork()``
        The store for a forked child: it never reuses the parent's
        connection, and counts the parent's tries still under way.
    """

    def take(self, calls: int, per: float, lease: float, deadline: float) -> Availability: ...

    def end(self, slot: Any, per: float) -> None: ...

    def wait(self, seconds: float) -> None: ...

    def close(self) -> None: ...

    def after_fork(self) -> "SlotStore": ...
