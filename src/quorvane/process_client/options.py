"""The options of a :class:`~quorvane.process_client.connection.Connection`,
checked once and kept in one frozen object.

:meth:`Options.checked` takes what the constructor was given and raises the
``TypeError`` or ``ValueError`` that names a wrong one. What it returns is
final: the locations of the cache and of the shared rate limit are resolved at
that moment (a file as an absolute path, a Redis URL as given), so that a
later change of the working directory moves neither. Opening the stores,
pickling and copying the Connection, its repr and a forked child all read
these same values.
"""

import importlib
import math
import os
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any, Dict, Optional, Tuple, Union

from .stores import Location, resolve_location
from .stores import describe as describe_location

__all__ = ["Options", "Timeout", "LONGEST_SECONDS", "UNLIMITED_TRY_SECONDS", "CACHE_INSTALL",
           "cache_module", "too_long"]

Timeout = Union[None, float, Tuple[Optional[float], Optional[float]]]

#: The longest time any option of a Connection may give, in seconds (about
#: 31 years): longer ones would overflow the clocks and dates they are added
#: to (a wait's time limit, a cache entry's expiry date) only when first used.
LONGEST_SECONDS = 1_000_000_000

#: In a lease, a connect or read time limit that is not set counts as this.
UNLIMITED_TRY_SECONDS = 60.0

#: What to install for ``cache=``.
CACHE_INSTALL = ("pip install requests-cache platformdirs (or quorvane's extra: "
                 "pip install 'quorvane[cache]', '/path/to/quorvane-*.whl[cache]', "
                 "or '.[cache]' in a clone)")


def too_long(what: str, value: float) -> ValueError:
    return ValueError(f"{what} must be at most {LONGEST_SECONDS:,} seconds (about 31 years), "
                      f"not {value!r}")


def cache_module(name: str = "cache") -> ModuleType:
    """``quorvane.process_client.<name>``, a module of the cache (``cache``,
    ``cache_file``, ``cache_redis``), or an ImportError that says what to
    install."""
    try:
        return importlib.import_module(f"quorvane.process_client.{name}")
    except ModuleNotFoundError as error:
        if (error.name or "").partition(".")[0] not in ("requests_cache", "platformdirs"):
            raise  # installed, but broken: its own error says more
        raise ImportError(f"cache= needs requests-cache and platformdirs: {CACHE_INSTALL}",
                          name=error.name) from error


def _number(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{what} must be a number of seconds, not {type(value).__name__}")
    return value


def _seconds(value: Any, what: str) -> float:
    _number(value, what)
    if not 0 < value < math.inf:  # also refuses NaN
        raise ValueError(f"{what} must be a finite number of seconds above 0, not {value!r}")
    if value > LONGEST_SECONDS:
        raise too_long(what, value)
    return float(value)


def _limit(value: Any, what: str) -> Optional[float]:
    return None if value is None else _seconds(value, what + " (or None for no limit)")


def _timeout(timeout: Any) -> Timeout:
    if isinstance(timeout, tuple):
        if len(timeout) != 2:
            raise ValueError("timeout must be (connect seconds, read seconds), "
                             f"not a tuple of {len(timeout)}")
        return (_limit(timeout[0], "the connect time limit"),
                _limit(timeout[1], "the read time limit"))
    return _limit(timeout, "timeout")


def _count(value: Any, what: str, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if value < least:
        raise ValueError(f"{what} must be at least {least}, not {value}")
    return int(value)


def _backoff(value: Any) -> float:
    _number(value, "backoff")
    if not value >= 0:  # also refuses NaN
        raise ValueError(f"backoff must be 0 seconds or more, not {value!r}")
    if value > LONGEST_SECONDS:
        raise too_long("backoff", value)
    return float(value)


def _expiry(value: Any) -> float:
    _number(value, "cache_expiry")
    if not 0 <= value < math.inf:
        raise ValueError(f"cache_expiry must be finite and 0 or more, not {value!r}")
    if value > LONGEST_SECONDS:
        raise too_long("cache_expiry", value)
    return float(value)


def _rate_limit(value: Any) -> Optional[Tuple[int, float]]:
    if value is None:
        return None
    if not isinstance(value, tuple) or len(value) != 2:
        raise TypeError("rate_limit must be (calls, per_seconds), for example (60, 60), "
                        f"not {value!r}")
    calls, per = value
    if isinstance(calls, bool) or not isinstance(calls, int):
        raise TypeError(f"rate_limit's calls must be an int, not {type(calls).__name__}")
    if calls < 1:
        raise ValueError(f"rate_limit's calls must be at least 1, not {calls}")
    if isinstance(per, bool) or not isinstance(per, (int, float)):
        raise TypeError(f"rate_limit's per_seconds must be a number, not {type(per).__name__}")
    if not 0 < per < math.inf:
        raise ValueError(f"rate_limit's per_seconds must be finite and above 0, not {per!r}")
    if per > LONGEST_SECONDS:
        raise too_long("rate_limit's per_seconds", per)
    return int(calls), float(per)


def _cache(value: Any) -> Optional[Location]:
    if value is None or value is False:
        return None
    if value is not True and not isinstance(value, (str, os.PathLike)):
        raise TypeError("cache must be True, a path, a redis:// URL or None, not "
                        + type(value).__name__)
    if isinstance(value, str) and not value.strip():
        raise ValueError("cache must be True, a path, a redis:// URL or None, not an empty str")
    location = None if value is True else resolve_location(value, "cache")
    module = cache_module()
    if location is None:
        return module.default_path()
    if isinstance(location, Path) and not location.suffix:
        return location.with_name(location.name + ".sqlite")  # as requests-cache names it
    return location


@dataclass(frozen=True)
class Options:
    """Every option of a Connection, checked, with the stores' locations
    resolved. See ``Connection`` for what each one does."""

    timeout: Timeout = None
    retries: int = 3
    backoff: float = 0.5
    max_wait: float = 60.0
    pool_size: int = 16
    #: The cache's file (absolute, with its extension) or Redis URL; None
    #: for no cache.
    cache: Optional[Location] = None
    cache_expiry: float = 900.0
    rate_limit: Optional[Tuple[int, float]] = None
    #: Where the rate limit is kept: a file (absolute) or a Redis URL; None
    #: for this process alone.
    rate_limit_store: Optional[Location] = None

    @classmethod
    def checked(cls, timeout: Any = None, retries: Any = 3, backoff: Any = 0.5, *,
                max_wait: Any = 60.0, pool_size: Any = 16, cache: Any = None,
                cache_expiry: Any = 900.0, rate_limit: Any = None,
                rate_limit_store: Any = None) -> "Options":
        """The options from what a Connection was given; ``TypeError`` or
        ``ValueError`` for one that is wrong, ``ImportError`` for a cache or
        a Redis store without the packages it needs."""
        checked_timeout = _timeout(timeout)
        checked_retries = _count(retries, "retries", 0)
        checked_pool_size = _count(pool_size, "pool_size", 1)
        checked_backoff = _backoff(backoff)
        checked_max_wait = _seconds(max_wait, "max_wait")
        checked_expiry = _expiry(cache_expiry)
        checked_limit = _rate_limit(rate_limit)
        store = resolve_location(rate_limit_store, "rate_limit_store")
        if store is not None and checked_limit is None:
            raise ValueError("rate_limit_store needs a rate_limit=(calls, per_seconds)")
        return cls(checked_timeout, checked_retries, checked_backoff, checked_max_wait,
                   checked_pool_size, _cache(cache), checked_expiry, checked_limit, store)

    def keywords(self) -> Dict[str, Any]:
        """The keyword arguments that make a Connection with these options
        again: what a pickled or copied Connection carries. A store is
        carried by where it lives, never as the open store."""
        return {"timeout": self.timeout, "retries": self.retries, "backoff": self.backoff,
                "max_wait": self.max_wait, "pool_size": self.pool_size,
                "cache": None if self.cache is None else str(self.cache),
                "cache_expiry": self.cache_expiry, "rate_limit": self.rate_limit,
                "rate_limit_store": (None if self.rate_limit_store is None
                                     else str(self.rate_limit_store))}

    @property
    def lease(self) -> float:
        """How long a slot of a shared limit is held at most: ``per`` plus
        the connect and read time limits (``UNLIMITED_TRY_SECONDS`` each
        where there is none). A request reaches the service within its
        connect time and a fraction of its read time, so a try still under
        way by then had its request counted more than ``per`` seconds
        before, and its slot can go; a process that dies holding slots
        holds them no longer than that."""
        assert self.rate_limit is not None
        timeout = self.timeout
        connect, read = timeout if isinstance(timeout, tuple) else (timeout, timeout)
        return self.rate_limit[1] + sum(UNLIMITED_TRY_SECONDS if limit is None else limit
                                        for limit in (connect, read))

    def describe(self, separator: str = ", ") -> str:
        """Each option as ``name=value``, a Redis password as ``***``."""
        fields = [f"timeout={self.timeout!r}", f"retries={self.retries}",
                  f"backoff={self.backoff}", f"max_wait={self.max_wait}",
                  f"pool_size={self.pool_size}"]
        if self.cache is not None:
            fields += [f"cache={describe_location(self.cache)}", f"cache_expiry={self.cache_expiry:g}"]
        if self.rate_limit is not None:
            fields.append(f"rate_limit={self.rate_limit!r}")
        if self.rate_limit_store is not None:
            fields.append(f"rate_limit_store={describe_location(self.rate_limit_store)}")
        return separator.join(fields)

    def __repr__(self) -> str:
        return f"Options({self.describe()})"
