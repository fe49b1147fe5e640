"""Identical requests under way at the same time, sent once.

Within one Connection, a call of ``get`` whose request is the same as one
already under way (the same address, query, headers, time limit and every
other argument) waits for that one instead of sending its own, and gets a
copy of its answer, or of its failure when the failure is the request's
own. Across processes nothing is shared: two processes that miss the same
answer both fetch it.

``docs/libraries.md`` says why this is not ``cachetools.cached``: that one
runs a failing call once per caller.
"""

import copy
import threading
from typing import Any, Callable, Dict, Optional

import requests

from .ratelimit import RateLimitExceeded
from .stores import StoreUnavailable

__all__ = ["SingleFlight", "flight_key"]


def _frozen(value: Any) -> Any:
    """``value`` as a key, or TypeError for anything that is not plain data."""
    if value is None or isinstance(value, (str, bytes, int, float, bool)):
        return (type(value).__name__, value)
    if isinstance(value, (list, tuple)):
        return ("seq", tuple(_frozen(item) for item in value))
    if isinstance(value, dict):
        return ("map", tuple(sorted((_frozen(k), _frozen(v)) for k, v in value.items())))
    raise TypeError(type(value).__name__)


def flight_key(url: Any, params: Any, kwargs: Dict[str, Any]) -> Any:
    """What makes two calls the same request: the address, the query and
    every other argument, the headers (and so the login) and the time limit
    among them. None when they cannot be told the same: a stream, or an
    argument that is not plain data (an auth object, hooks, a file)."""
    if kwargs.get("stream"):
        return None
    try:
        return (_frozen(url), _frozen(params), _frozen(kwargs))
    except TypeError:
        return None


def _shared(error: Exception) -> bool:
    """Whether ``error`` is the outcome of the request itself, which every
    caller of an identical request would have met: a failure of the
    connection or of the time limit. Not the rate limit's refusal or an
    unusable store (nothing was sent), nor an exception of the caller's own
    (a signal handler's, say)."""
    return (isinstance(error, requests.exceptions.RequestException)
            and not isinstance(error, (RateLimitExceeded, StoreUnavailable)))


class _Flight:
    __slots__ = ("leader", "done", "response", "error")

    def __init__(self) -> None:
        self.leader = threading.get_ident()
        self.done = threading.Event()
        self.response: Optional[requests.Response] = None
        self.error: Optional[Exception] = None


class SingleFlight:
    """Identical calls under way at the same time share one: the first is
    sent, the others wait for its answer and get copies of it, or of the
    request's own failure (see ``_shared``). Anything else that ends the
    first call stays with its caller (Ctrl-C, a signal handler's exception,
    a deadline of its own): those waiting for it send again, one of them
    for all."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._under_way: Dict[Any, _Flight] = {}

    def call(self, key: Any, send: Callable[[], requests.Response]) -> requests.Response:
        """``send()``, or the outcome of the identical call under way."""
        while True:
            with self._lock:
                flight = self._under_way.get(key)
                if flight is None:
                    flight = self._under_way[key] = _Flight()
                    leading = True
                elif flight.leader == threading.get_ident():
                    leading = None  # a signal handler's call, inside the first
                else:
                    leading = False
            if leading is None:
                return send()
            if leading:
                return self._send_for_all(key, flight, send)
            flight.done.wait()
            if flight.response is not None:
                return copy.copy(flight.response)
            if flight.error is not None:
                try:
                    error = copy.copy(flight.error)
                except Exception:
                    error = flight.error
                raise error

    def _send_for_all(self, key: Any, flight: _Flight,
                      send: Callable[[], requests.Response]) -> requests.Response:
        try:
            response = send()
            response.content  # read whole: the copies share it
            flight.response = response
            return response
        except Exception as error:
            if _shared(error):
                flight.error = error
            raise
        finally:
            with self._lock:
                if self._under_way.get(key) is flight:
                    del self._under_way[key]
            flight.done.set()
