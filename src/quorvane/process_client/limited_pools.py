"""How a rate limit sees every try: urllib3's connection pools, each try
of whose ``urlopen`` takes a slot first and ends it once the head of its
answer has arrived.

urllib3 makes a retry by calling ``urlopen`` again from inside the try
before it, which by then has ended: so each try, first or not, counts once.
Only methods that urllib3 1.26 and 2.x share are used.
"""

import threading
from typing import Any, Callable, Dict, Optional

from .ratelimit import RateLimit

__all__ = ["LimitedPools"]


class LimitedPools:
    """Makes the pools of an urllib3 ``PoolManager`` (or ``ProxyManager``)
    count their tries against ``rate_limit``."""

    def __init__(self, rate_limit: RateLimit) -> None:
        self.rate_limit = rate_limit
        self._tries = threading.local()  # this thread's try under way
        self._classes: Dict[type, type] = {}

    def apply(self, manager: Any) -> None:
        """The pools that ``manager`` opens from now on count their tries."""
        manager.pool_classes_by_scheme = {scheme: self._limited(base) for scheme, base
                                          in manager.pool_classes_by_scheme.items()}

    def _limited(self, base: type) -> type:
        if issubclass(base, _LimitedPool):
            return base
        limited = self._classes.get(base)
        if limited is None:
            limited = type(base.__name__, (_LimitedPool, base), {"limited_pools": self})
            self._classes[base] = limited
        return limited

    def send(self, urlopen: Callable[..., Any], args: Any, kwargs: Any) -> Any:
        """One try of ``urlopen``, within the limit."""
        tries = self._tries
        before = getattr(tries, "slot", None)
        if before is not None:  # the try that this retry follows
            self.rate_limit.end(before)
        slot = self.rate_limit.take()
        tries.slot = slot
        try:
            return urlopen(*args, **kwargs)
        finally:
            self.rate_limit.end(slot)
            tries.slot = before

    def head_arrived(self) -> None:
        """The current try's answer head has arrived, or the try failed."""
        slot: Optional[Any] = getattr(self._tries, "slot", None)
        if slot is not None:
            self.rate_limit.end(slot)


class _LimitedPool:
    """Mixed into an urllib3 connection pool class."""

    limited_pools: LimitedPools

    def urlopen(self, *args: Any, **kwargs: Any) -> Any:
        return self.limited_pools.send(super().urlopen, args, kwargs)  # type: ignore[misc]

    # One call per try in urllib3 1.26 and 2.x, ending once the head of the
    # answer has been read. Without it a slot would end only when the next
    # try starts, after the wait between tries.
    def _make_request(self, *args: Any, **kwargs: Any) -> Any:
        try:
            return super()._make_request(*args, **kwargs)  # type: ignore[misc]
        finally:
            self.limited_pools.head_arrived()
