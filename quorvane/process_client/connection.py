"""Time limits, retries and connection reuse for the data functions, opt-in.

By default each data function sends its request as
``requests.get(url=..., headers=..., params=...)``: no time limit, no second
try, a new TCP connection for every call. The functions read ``requests``
from their module's namespace at every call, so binding a :class:`Connection`
there instead changes how every later call is sent, in every thread::

    from quorvane.process_client.connection import Connection, use_connection

    use_connection(Connection(timeout=(3.05, 30), retries=3))   # process-wide
    ...
    restore_requests()                                          # plain again

or, for one block of code (still seen by every thread while it runs)::

    with use_connection(timeout=(3.05, 30), retries=3):
        ...
"""

import importlib
import math
import threading
import weakref
from types import ModuleType, TracebackType
from typing import Any, Dict, List, Mapping, Optional, Tuple, Type, Union

import requests
import requests.adapters
from urllib3.exceptions import InvalidHeader, MaxRetryError, ReadTimeoutError
from urllib3.util.retry import Retry

# The modules whose ``requests`` global use_connection rebinds.
from quorvane.process_stock import DATA_MODULES

__all__ = ["Connection", "ConnectionBinding", "use_connection", "restore_requests",
           "DATA_MODULES", "RETRY_STATUSES"]

#: Answers that are tried again: too many requests, and a gateway or service
#: that is briefly unavailable.
RETRY_STATUSES = frozenset({429, 502, 503, 504})

Timeout = Union[None, float, Tuple[Optional[float], Optional[float]]]


class _Retry(Retry):
    """urllib3's retry policy with every wait between tries capped.

    Only methods and attributes that urllib3 1.26 and 2.x share are used
    (``allowed_methods``, ``new``, ``get_backoff_time``, ``get_retry_after``);
    2.x alone has ``backoff_max`` and ``retry_after_max``.
    """

    # Without this, a 413 carrying Retry-After would be tried again too.
    RETRY_AFTER_STATUS_CODES = frozenset({429, 503})
    max_wait: float = 60.0

    def new(self, **kw: Any) -> "_Retry":
        retry = super().new(**kw)
        retry.max_wait = self.max_wait
        return retry

    def get_backoff_time(self) -> float:
        return min(float(super().get_backoff_time()), self.max_wait)

    def get_retry_after(self, response: Any) -> Optional[float]:
        try:
            seconds = super().get_retry_after(response)
        except InvalidHeader:  # unreadable: wait as if there were none
            return None
        return None if seconds is None else min(float(seconds), self.max_wait)


class _Adapter(requests.adapters.HTTPAdapter):
    """Keeps a read time-out a ``ReadTimeout`` after the last try.

    Once tries are counted, urllib3 reports the last failure wrapped in a
    ``MaxRetryError``, and requests turns every such error that is not a
    connect time-out into a plain ``ConnectionError``; a read time-out then
    would no longer be caught by ``except requests.exceptions.ReadTimeout``
    (or ``Timeout``) as it is without retries.
    """

    def send(self, request: requests.PreparedRequest, *args: Any,
             **kwargs: Any) -> requests.Response:
        try:
            return super().send(request, *args, **kwargs)
        except requests.exceptions.ConnectionError as error:
            cause = error.args[0] if error.args else None
            if (isinstance(cause, MaxRetryError)
                    and isinstance(cause.reason, ReadTimeoutError)):
                raise requests.exceptions.ReadTimeout(cause, request=request) from None
            raise


def _seconds(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{what} must be a number of seconds, not {type(value).__name__}")
    if not 0 < value < math.inf:  # also refuses NaN
        raise ValueError(f"{what} must be a finite number of seconds above 0, not {value!r}")
    return float(value)


def _limit(value: Any, what: str) -> Optional[float]:
    return None if value is None else _seconds(value, what + " (or None for no limit)")


def _check_timeout(timeout: Any) -> Timeout:
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


class Connection:
    """Sends the data functions' requests with a time limit, retries and
    pooled, reused connections.

    ``timeout``
        ``(connect_seconds, read_seconds)``, one number for both, or
        ``None`` for no limit (as ``requests``). The read limit is the
        longest wait for the next bytes of the answer, not for the whole
        answer; it applies to each try.
    ``retries``
        How many times a request is tried again after a connection error
        (refused, reset or dropped before the answer), a connect or read
        time-out, or an answer with status 429, 502, 503 or 504. ``0`` sends
        each request once.
    ``backoff``
        Seconds of the exponential wait between tries, urllib3's rule: the
        first retry goes at once, then ``backoff * 2 ** (n - 1)`` seconds
        before retry ``n`` (0.5: 0, 1, 2, 4 s...). An answer's
        ``Retry-After`` (seconds or a date) replaces that wait.
    ``max_wait``
        No single wait, backoff or ``Retry-After``, is longer than this.
    ``pool_size``
        Connections kept open to one host: at least the number of threads
        that call at once (more threads still work, but their surplus
        connections are closed after use, with a warning from urllib3).

    After the last try the final answer is handed back unchanged, so a 503
    that lasts still ends in the data function's ``ValueError`` with status
    503 and the service's text. Failures stay ``requests``' own exceptions:
    ``ConnectTimeout``, ``ReadTimeout``, ``ConnectionError``, ...

    Safe to use from many threads at once: each thread gets its own
    ``requests.Session`` (cookies are kept for the length of one call only,
    as with ``requests.get``), and all of them share one urllib3 pool
    manager, which is thread-safe. ``close()`` (or leaving a ``with`` block)
    closes the pooled connections; a closed connection refuses to send.
    """

    def __init__(self, timeout: Timeout = None, retries: int = 3, backoff: float = 0.5,
                 *, max_wait: float = 60.0, pool_size: int = 16) -> None:
        self.timeout = _check_timeout(timeout)
        self.retries = _count(retries, "retries", 0)
        self.pool_size = _count(pool_size, "pool_size", 1)
        if isinstance(backoff, bool) or not isinstance(backoff, (int, float)):
            raise TypeError(f"backoff must be a number of seconds, not {type(backoff).__name__}")
        if not backoff >= 0:
            raise ValueError(f"backoff must be 0 seconds or more, not {backoff!r}")
        self.backoff = float(backoff)
        self.max_wait = _seconds(max_wait, "max_wait")

        retry = _Retry(
            total=self.retries, connect=self.retries, read=self.retries,
            status=self.retries, other=0,
            allowed_methods=frozenset({"GET"}), status_forcelist=RETRY_STATUSES,
            backoff_factor=self.backoff, raise_on_status=False,
            respect_retry_after_header=True)
        retry.max_wait = self.max_wait
        self._adapter = _Adapter(pool_connections=4, pool_maxsize=self.pool_size,
                                 max_retries=retry)
        self._local = threading.local()
        self._closed = False

    def _session(self) -> requests.Session:
        session: Optional[requests.Session] = getattr(self._local, "session", None)
        if session is None:
            session = requests.Session()
            # The thread's session drops its own default adapters (which
            # hold no connection yet) for the shared one.
            session.mount("http://", self._adapter)
            session.mount("https://", self._adapter)
            self._local.session = session
        return session

    def get(self, url: str, params: Any = None, **kwargs: Any) -> requests.Response:
        """``requests.get`` with this connection's time limit, retries and
        pool; a ``timeout=`` given here wins over the connection's."""
        if self._closed:
            raise RuntimeError("this Connection is closed")
        kwargs.setdefault("timeout", self.timeout)
        session = self._session()
        try:
            return session.get(url, params=params, **kwargs)
        finally:
            # Each call stands alone, as a call of requests.get does.
            session.cookies.clear()

    def close(self) -> None:
        """Closes the pooled connections; later calls of ``get`` raise."""
        self._closed = True
        self._adapter.close()

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        self.close()

    def __repr__(self) -> str:
        state = " closed" if self._closed else ""
        return (f"<Connection{state} timeout={self.timeout!r} retries={self.retries} "
                f"backoff={self.backoff} max_wait={self.max_wait} "
                f"pool_size={self.pool_size}>")


_binding_lock = threading.Lock()


def _data_modules() -> List[ModuleType]:
    return [importlib.import_module(name) for name in DATA_MODULES]


def _bind(senders: Mapping[str, Any]) -> Dict[str, Any]:
    """Binds each module's ``requests``; returns what was bound before."""
    with _binding_lock:
        previous = {}
        for module in _data_modules():
            previous[module.__name__] = module.__dict__.get("requests", requests)
            setattr(module, "requests", senders[module.__name__])
        return previous


class ConnectionBinding:
    """What :func:`use_connection` put in place.

    ``restore()`` puts back what the five modules had before (the
    ``requests`` module, or an earlier connection), process-wide, and closes
    the connection if ``use_connection`` made it. As a context manager it
    returns the connection and restores on leaving.
    """

    def __init__(self, connection: Connection, owned: bool) -> None:
        self.connection = connection
        self._owned = owned
        if owned:
            _made_here.add(connection)
        self._previous: Optional[Dict[str, Any]] = _bind(
            {name: connection for name in DATA_MODULES})

    def restore(self) -> None:
        """Puts back the earlier senders; a second call does nothing."""
        previous, self._previous = self._previous, None
        if previous is not None:
            _bind(previous)
        if self._owned:
            _close_made_here(self.connection)

    def __enter__(self) -> Connection:
        return self.connection

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        self.restore()


# Connections that use_connection made from options: nobody else holds them
# to close them, so taking them away closes them.
_made_here: "weakref.WeakSet[Connection]" = weakref.WeakSet()


def _close_made_here(sender: Any) -> None:
    if sender in _made_here:
        _made_here.discard(sender)
        sender.close()


def use_connection(connection: Optional[Connection] = None, **options: Any) -> ConnectionBinding:
    """Makes every data function send through ``connection``, PROCESS-WIDE.

    Binds ``connection`` (or a new ``Connection(**options)``) as
    ``requests`` in the five data modules. This affects every thread and
    every caller in the process, from the next call on, until
    :func:`restore_requests` or the returned binding's ``restore()``. Used as
    ``with use_connection(...) as conn:``, the earlier senders come back at
    the end of the block, but while the block runs every thread sends
    through it. A connection made here from ``options`` is closed when it is
    taken away; one given here is left to its owner to close.

    Anything with a ``get(url=..., headers=..., params=...)`` that returns a
    ``requests.Response``-like answer may stand in for a ``Connection``.
    """
    if connection is None:
        return ConnectionBinding(Connection(**options), owned=True)
    if options:
        raise TypeError("give a connection or the options for a new one, not both")
    if not callable(getattr(connection, "get", None)):
        raise TypeError(f"a connection needs a get method; {type(connection).__name__} has none")
    if getattr(connection, "closed", False) is True:
        raise ValueError("this Connection is closed: every data call would fail")
    return ConnectionBinding(connection, owned=False)


def restore_requests() -> None:
    """Binds the ``requests`` module again in the five data modules,
    PROCESS-WIDE: every later call is a plain ``requests.get`` once more (no
    time limit, no retry, a new connection per call). A connection that
    ``use_connection`` made from options is closed; one given to it is not."""
    previous = _bind({name: requests for name in DATA_MODULES})
    for sender in {id(s): s for s in previous.values()}.values():
        _close_made_here(sender)
