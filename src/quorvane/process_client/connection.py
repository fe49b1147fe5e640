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

Bindings may overlap, from one thread or several, and be restored in any
order: the newest binding still in force is what the modules send with.

A Connection can also keep answers in a local cache and hold the requests
to a rate limit, both off by default::

    use_connection(Connection(cache=True, rate_limit=(60, 60)))

and share both with other processes and machines, through a file or Redis::

    use_connection(Connection(cache="redis://cache-host:6379/0", rate_limit=(60, 60),
                              rate_limit_store="redis://cache-host:6379/0"))
"""

import copy
import importlib
import os
import threading
import weakref
from types import ModuleType, TracebackType
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Set, Tuple, Type, Union

import requests
import requests.adapters
from urllib3.exceptions import MaxRetryError, ReadTimeoutError
from urllib3.util.retry import Retry

# The modules whose ``requests`` global use_connection rebinds.
from quorvane.process_stock import DATA_MODULES

from .options import CACHE_INSTALL, Options, Timeout, cache_module
from .ratelimit import RateLimit, RateLimitExceeded, SharedRateLimit
from .stores import FileSlots, RedisSlots, StoreUnavailable

if TYPE_CHECKING:
    from .cache import CacheInfo, RedisStore, Store

__all__ = ["Connection", "ConnectionBinding", "use_connection", "restore_requests",
           "DATA_MODULES", "RETRY_STATUSES", "RateLimitExceeded", "StoreUnavailable",
           "CACHE_INSTALL"]

#: Answers that are tried again: too many requests, and a gateway or service
#: that is briefly unavailable.
RETRY_STATUSES = frozenset({429, 502, 503, 504})

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
            if seconds is None:
                return None
            return min(float(seconds), self.max_wait)
        except Exception:
            # Unreadable, whatever the parser made of it (urllib3's own
            # InvalidHeader, or ValueError and OverflowError from a date past
            # year 9999 or a number too long to convert): wait as if there
            # were none.
            return None


class _Adapter(requests.adapters.HTTPAdapter):
    """Keeps a read time-out a ``ReadTimeout`` after the last try, and
    counts every try against the rate limit, if there is one.

    Once tries are counted, urllib3 reports the last failure wrapped in a
    ``MaxRetryError``, and requests turns every such error that is not a
    connect time-out into a plain ``ConnectionError``; a read time-out then
    would no longer be caught by ``except requests.exceptions.ReadTimeout``
    (or ``Timeout``) as it is without retries.
    """

    def __init__(self, rate_limit: Optional[RateLimit], **kwargs: Any) -> None:
        # Before requests makes the pool manager, in __init__.
        self._rate_limit = rate_limit
        super().__init__(**kwargs)

    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        super().init_poolmanager(*args, **kwargs)
        if self._rate_limit is not None:
            self._rate_limit.limit_pools(self.poolmanager)

    def proxy_manager_for(self, *args: Any, **kwargs: Any) -> Any:
        manager = super().proxy_manager_for(*args, **kwargs)
        if self._rate_limit is not None:
            self._rate_limit.limit_pools(manager)
        return manager

    def send(self, request: requests.PreparedRequest, *args: Any,
             **kwargs: Any) -> requests.Response:
        try:
            return super().send(request, *args, **kwargs)
        except requests.exceptions.ConnectionError as error:
            cause = error.args[0] if error.args else None
            if (isinstance(cause, MaxRetryError)
                    and isinstance(cause.reason, ReadTimeoutError)):
                raise requests.exceptions.ReadTimeout(cause, request=request) from None
            if isinstance(cause, (RateLimitExceeded, StoreUnavailable)):
                # requests wraps every OSError it sees; these are ours.
                cause.request = request
                raise cause from None
            raise


class Connection:
    """Sends the data functions' requests with a time limit, retries and
    pooled, reused connections; opt-in, a cache of the answers and a rate
    limit.

    Bound with ``use_connection()`` (or given to ``fetch_many()``), it
    stands in for the ``requests`` module in the five data modules: each
    call's one GET goes out through it. With the defaults it sends what
    ``requests.get`` sends, over a connection that stays open for the next
    call, and tries again after a failure that may pass.

    Parameters
    ----------
    timeout : float or (float, float) or None, default None
        ``(connect_seconds, read_seconds)``, one number for both, or
        ``None`` for no limit (as ``requests``). The connect limit bounds
        the opening of a TCP connection; the read limit is the longest
        wait for the next bytes of the answer, not for the whole answer.
        Both apply to each try.
    retries : int, default 3
        How many times a GET is sent again after a connection error
        (refused, reset or dropped before the answer), a connect or read
        time-out, or an answer with status 429, 502, 503 or 504; never
        after any other status (401 and 404 come back at once). ``0`` sends
        each request once.
    backoff : float, default 0.5
        Seconds of the exponential wait between tries, urllib3's rule: the
        first retry goes at once, then ``backoff * 2 ** (n - 1)`` seconds
        before retry ``n`` (0.5: 0, 1, 2, 4 s...). An answer's
        ``Retry-After`` (seconds or a date) replaces that wait; one that
        cannot be read counts as absent.
    max_wait : float, default 60
        No single wait, backoff or ``Retry-After``, is longer than this,
        nor any request's wait for the rate limit.
    pool_size : int, default 16
        Connections kept open to one host: give at least the number of
        threads that call at once. More threads still work, but each
        connection beyond ``pool_size`` is closed after its call, and the
        only sign of it is urllib3's warning "Connection pool is full,
        discarding connection" on the ``urllib3.connectionpool`` logger,
        which shows only once logging is set up (``logging.basicConfig()``).
    cache : bool or str or os.PathLike or None, default None
        ``None``: every call sends its GET. ``True``: answers are kept in
        ``http-cache.sqlite`` in the user's cache folder
        (``~/.cache/quorvane/`` on Linux); a path: in that file (a name
        without an extension gets ``.sqlite``); a ``redis://host:port/db``
        URL: in that Redis database, for every process on every machine
        that names it (needs ``redis`` too). Needs requests-cache and
        platformdirs (``pip install 'quorvane[cache]'``). A call answered
        from the cache sends nothing and does not count against the rate
        limit. Only answers with status 200 whose body is a JSON list of
        records are kept, keyed by the address and the query as sent, with
        no header but the content type, and never the token. A call
        interrupted by Ctrl-C leaves its answer stored whole or not at all.
        A file this process may not write answers what it holds and stores
        nothing more (with a ``UserWarning``).
    cache_expiry : float, default 900
        Seconds an answer is kept for a range whose ``toDate`` is today or
        later, or cannot be read as a ``YYYY-MM-DD`` date; after that the
        GET is sent again. ``0`` keeps none of those. A range that ends
        before today (the machine's local date) never expires.
    rate_limit : (int, float) or None, default None
        ``(calls, per_seconds)``, for example ``(60, 60)``: at most
        ``calls`` requests reach the network in any window of
        ``per_seconds``, across every thread using this connection, each
        retry counted. A request holds its place from just before it is
        sent until ``per_seconds`` after the head of its answer arrived, so
        the bound holds where the service counts. A request over the limit
        waits for its turn (Ctrl-C stops the wait); one that would wait
        longer than ``max_wait`` fails with ``RateLimitExceeded``,
        which names the limit, and sends nothing. Without
        ``rate_limit_store`` the limit is this process's own: four
        processes with ``(10, 1)`` send up to 40 requests a second between
        them, and a forked child keeps its own count, starting from the
        parent's recent requests.
    rate_limit_store : str or os.PathLike or None, default None
        Where the limit is kept, so that many processes hold it together:
        ``None``, this process alone; a path: every process of this
        machine that names the same file; a ``redis://host:port/db`` URL:
        every process of every machine that names it (needs ``pip install
        redis``). A file is for the processes of one machine, and is
        timed by its clock; Redis by the server's clock, so that machines
        whose clocks disagree still hold one limit. A process that dies while its requests are under way holds
        their slots at most ``per_seconds`` plus the connect and read time
        limits (60 s each where not set) after it took them.

    Raises
    ------
    TypeError, ValueError
        An option of the wrong type or out of range, here rather than at
        the first call: every time is at most 1,000,000,000 seconds (about
        31 years); ``rate_limit_store`` needs a ``rate_limit``.
    ImportError
        ``cache`` without requests-cache and platformdirs installed, or a
        Redis URL without ``redis``; the message says what to install.

    Notes
    -----
    After the last try the final answer is handed back unchanged, so a 503
    that lasts still ends in the data function's ``ValueError`` with status
    503 and the service's text. Failures stay ``requests``' own exceptions
    (``ConnectTimeout``, ``ReadTimeout``, ``ConnectionError``, ...), and
    two of this package, both ``requests.exceptions.RequestException``:
    ``RateLimitExceeded`` and ``StoreUnavailable`` (a store that
    cannot be used; nothing is sent).

    Safe to use from many threads at once: each thread gets its own
    ``requests.Session`` (cookies are kept for the length of one call only,
    as with ``requests.get``), and all of them share one urllib3 pool
    manager, which is thread-safe. Identical calls under way at the same
    time (the same address and query, from several threads) share one
    request. In a process forked from one that used it (``os.fork``,
    ``multiprocessing``), nothing inherited is reused: the child's first
    call opens a connection of its own.

    ``close()`` (or leaving a ``with`` block) refuses later calls; calls
    already under way finish normally, and the pooled connections are
    closed once the last of them has ended.

    A Connection can be pickled (to hand it to a worker process: a process
    pool, joblib, Dask) and copied (``copy.copy``, ``copy.deepcopy``). What
    travels is what its constructor was given: the options, and where the
    cache and the shared limit are (a file's absolute path, a Redis URL);
    never a socket, a session, a lock, a call under way or the login. The
    copy is a new, open Connection with those options, which opens its own
    connections on its first call and uses the same cache. A limit without
    a store is counted by each copy on its own, from zero.
    """

    def __init__(self, timeout: Timeout = None, retries: int = 3, backoff: float = 0.5,
                 *, max_wait: float = 60.0, pool_size: int = 16,
                 cache: Union[None, bool, str, "os.PathLike[str]"] = None,
                 cache_expiry: float = 900.0,
                 rate_limit: Optional[Tuple[int, float]] = None,
                 rate_limit_store: Union[None, str, "os.PathLike[str]"] = None) -> None:
        #: The options, checked, with the stores' places resolved: what this
        #: connection does, and what its pickle and copies carry.
        self.options = Options.checked(
            timeout, retries, backoff, max_wait=max_wait, pool_size=pool_size, cache=cache,
            cache_expiry=cache_expiry, rate_limit=rate_limit, rate_limit_store=rate_limit_store)
        self._rate_limit = _limit_for(self.options)
        self._store = _open_cache(self.options)
        self._closed = False
        # Made by use_connection from options, and so closed by it.
        self._made_here = False
        # Taken away by the binding that made it: closes once idle, but still
        # sends a call that picked it up just before.
        self._retired = False
        self._start()
        _all_connections.add(self)

    if not TYPE_CHECKING:
        def __getattr__(self, name):
            # connection.timeout, connection.retries...: the options.
            if name != "options" and name in Options.__dataclass_fields__:
                return getattr(self.options, name)
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def _start(self) -> None:
        """A new pool, new sessions and no call under way: at creation, and
        in a forked child, which must not touch the parent's sockets."""
        options = self.options
        retry = _Retry(
            total=options.retries, connect=options.retries, read=options.retries,
            status=options.retries, other=0,
            allowed_methods=frozenset({"GET"}), status_forcelist=RETRY_STATUSES,
            backoff_factor=options.backoff, raise_on_status=False,
            respect_retry_after_header=True)
        retry.max_wait = options.max_wait
        self._adapter = _Adapter(self._rate_limit, pool_connections=4,
                                 pool_maxsize=options.pool_size, max_retries=retry)
        self._local = threading.local()
        # One token per call under way. Adding and discarding are atomic, so
        # no lock is needed (a lock would hang a signal handler that calls
        # while the code it interrupted holds it, and a forked child).
        self._calls: Set[object] = set()
        self._flights = _Flights()

    def _after_fork_in_child(self) -> None:
        # The parent's tries under way never end here, and its database
        # connection is not to be used: the child has its own of both.
        if self._rate_limit is not None:
            self._rate_limit = self._rate_limit.after_fork()
        if self._store is not None:
            self._store = _open_cache(self.options)
        self._start()

    def _session(self) -> requests.Session:
        session: Optional[requests.Session] = getattr(self._local, "session", None)
        if session is None:
            if self._store is not None:
                from .cache import CachedSession
                session = CachedSession(self._store, self.options.cache_expiry)
            else:
                session = requests.Session()
            # The thread's session drops its own default adapters (which
            # hold no connection yet) for the shared one.
            session.mount("http://", self._adapter)
            session.mount("https://", self._adapter)
            self._local.session = session
        return session

    def get(self, url: str, params: Any = None, **kwargs: Any) -> requests.Response:
        """Sends one GET as ``requests.get(url, params=params, **kwargs)``
        does, with this connection's time limit, retries, pool, cache and
        rate limit: what the data functions call.

        Parameters
        ----------
        url : str
            The address, as for ``requests.get``.
        params : dict, optional
            The query.
        **kwargs
            As for ``requests.get`` (the data functions give ``headers``);
            a ``timeout=`` given here wins over the connection's.

        Returns
        -------
        requests.Response
            The last try's answer, whatever its status; or the cached one.

        Raises
        ------
        RuntimeError
            The connection is closed.
        requests.exceptions.RequestException
            ``requests``' own (``ConnectionError``, ``Timeout``...) after
            the last try, ``RateLimitExceeded``, ``StoreUnavailable``.
        """
        if self._closed:
            raise RuntimeError("this Connection is closed")
        kwargs.setdefault("timeout", self.options.timeout)
        call = object()
        self._calls.add(call)
        try:
            key = _flight_key(url, params, kwargs)
            if key is None:
                return self._send(url, params, kwargs)
            return self._flights.share(key, lambda: self._send(url, params, kwargs))
        finally:
            self._calls.discard(call)
            self._close_if_idle()

    def _send(self, url: str, params: Any, kwargs: Dict[str, Any]) -> requests.Response:
        session = self._session()
        try:
            return session.get(url, params=params, **kwargs)
        finally:
            # Each call stands alone, as a call of requests.get does.
            session.cookies.clear()

    def _close_if_idle(self) -> None:
        # Whichever comes last, the end of the last call or close(), sees
        # the other and closes the pool. Closing it twice, or under a call
        # that has just started, is harmless: urllib3 closes a connection
        # that comes back to a closed pool, and opens a new pool on demand.
        if (self._closed or self._retired) and not self._calls:
            self._adapter.close()
            if self._store is not None:
                self._store.close()
            limit = self._rate_limit
            if isinstance(limit, SharedRateLimit) and isinstance(limit.store, FileSlots):
                limit.store.close()  # opened again on next use

    def close(self) -> None:
        """Refuses later calls of ``get`` (``RuntimeError``); calls under
        way finish, then the pooled connections are closed. The cache file
        or database stays as it is."""
        self._closed = True
        self._close_if_idle()

    def _retire(self) -> None:
        self._retired = True
        self._close_if_idle()

    def _cache(self) -> Union["Store", "RedisStore"]:
        if self._store is None:
            raise RuntimeError("this Connection has no cache: give it cache=True or cache=path")
        if self.closed:
            raise RuntimeError("this Connection is closed")
        return self._store

    def clear_cache(self) -> None:
        """Removes every answer from the cache (the file, or the Redis
        database's answers), this connection's and those any other
        connection or process put there: the next call of each range sends
        its GET again.

        Raises
        ------
        RuntimeError
            The connection has no cache, or is closed.
        PermissionError
            A cache file this process may read but not write.
        StoreUnavailable
            A Redis cache that cannot be reached.
        """
        self._cache().clear()

    def cache_info(self) -> "CacheInfo":
        """What the cache holds.

        Returns
        -------
        CacheInfo
            ``(path, entries, bytes)``: the cache file (or the Redis URL,
            its password shown as ``***``), the answers in it (expired ones
            included, until they are fetched again) and the bytes it takes
            on disk with its write-ahead log (in Redis, the bytes of the
            stored answers).

        Raises
        ------
        RuntimeError
            The connection has no cache, or is closed.
        StoreUnavailable
            A Redis cache that cannot be reached.
        """
        return self._cache().info()

    @property
    def closed(self) -> bool:
        """True after ``close()``, or once the binding that made this
        connection has been restored."""
        return self._closed or self._retired

    def __getstate__(self) -> Dict[str, Any]:
        return self.options.keywords()

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__init__(**state)  # type: ignore[misc]

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        self.close()

    def __repr__(self) -> str:
        state = " closed" if self.closed else ""
        return f"<Connection{state} {' '.join(self.options.shown())}>"


def _frozen(value: Any) -> Any:
    """``value`` as a key, or TypeError for anything that is not plain data."""
    if value is None or isinstance(value, (str, bytes, int, float, bool)):
        return (type(value).__name__, value)
    if isinstance(value, (list, tuple)):
        return ("seq", tuple(_frozen(item) for item in value))
    if isinstance(value, dict):
        return ("map", tuple(sorted((_frozen(k), _frozen(v)) for k, v in value.items())))
    raise TypeError(type(value).__name__)


def _flight_key(url: Any, params: Any, kwargs: Dict[str, Any]) -> Any:
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


class _Flights:
    """Identical calls under way at the same time share one: the first is
    sent, the others wait for its answer and get copies of it, or of the
    request's own failure (see ``_shared``). Anything else that ends the
    first call stays with its caller (Ctrl-C, a signal handler's exception,
    a deadline of its own): those waiting for it send again, one of them
    for all."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._under_way: Dict[Any, _Flight] = {}

    def share(self, key: Any, send: Callable[[], requests.Response]) -> requests.Response:
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
                return self._lead(key, flight, send)
            flight.done.wait()
            if flight.response is not None:
                return copy.copy(flight.response)
            if flight.error is not None:
                try:
                    error = copy.copy(flight.error)
                except Exception:
                    error = flight.error
                raise error

    def _lead(self, key: Any, flight: _Flight,
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


def _limit_for(options: Options) -> Optional[RateLimit]:
    """The rate limit, this process's or kept in its store."""
    if options.rate_limit is None:
        return None
    place = options.rate_limit_store
    if place is None:
        return RateLimit(*options.rate_limit, options.max_wait)
    slots = RedisSlots(place) if isinstance(place, str) else FileSlots(place)
    return SharedRateLimit(*options.rate_limit, options.max_wait, slots, options.lease)


def _open_cache(options: Options) -> Optional[Union["Store", "RedisStore"]]:
    """The cache's store, opened on first use; None for no cache."""
    place = options.cache
    if place is None:
        return None
    module = cache_module()
    return module.RedisStore(place) if isinstance(place, str) else module.Store(place)


# Every connection alive, for a forked child to renew.
_all_connections: "weakref.WeakSet[Connection]" = weakref.WeakSet()


# The bindings in force, oldest first; the newest one's connection is what
# the modules send with. _before holds what each module had before the
# oldest. All of it changes under _binding_lock.
_binding_lock = threading.Lock()
_active: List["ConnectionBinding"] = []
_before: Dict[str, Any] = {}


def _data_modules() -> List[ModuleType]:
    return [importlib.import_module(name) for name in DATA_MODULES]


class ConnectionBinding:
    """What ``use_connection()`` put in place; not made directly.

    Bindings compose in any order, whichever thread makes or restores them.
    The data modules send through the newest binding still in force; once
    every binding is restored they have what they had before the first.
    ``restore()`` takes this binding away: if it is the newest, the modules
    go back to the binding before it (or to what they had before any); if a
    newer one is in force, that one stays, and nothing changes for the
    caller. A module whose ``requests`` was rebound by other means since is
    left as it is.

    A connection that ``use_connection`` made is closed once no binding in
    force holds it and no call is using it: calls already under way finish
    normally, and a call that picked it up just before it was taken away
    still goes out through it. As a context manager the binding returns
    the connection and restores on leaving.

    Attributes
    ----------
    connection : Connection
        The connection this binding sends through.
    """

    def __init__(self, connection: Connection, owned: bool) -> None:
        self.connection = connection
        if owned:
            connection._made_here = True
        modules = _data_modules()
        with _binding_lock:
            if not _active:
                _before.clear()
                _before.update((module.__name__, module.__dict__.get("requests", requests))
                               for module in modules)
            _active.append(self)
            for module in modules:
                setattr(module, "requests", connection)

    def restore(self) -> None:
        """Takes this binding away; a second call does nothing. The data
        modules send through the newest binding still in force, or, once
        none is left, through what they had before the first."""
        modules = _data_modules()
        with _binding_lock:
            if not any(binding is self for binding in _active):
                return
            newest = _active[-1] is self
            _active[:] = [binding for binding in _active if binding is not self]
            if newest:
                for module in modules:
                    if module.__dict__.get("requests") is self.connection:
                        setattr(module, "requests", _active[-1].connection if _active
                                else _before[module.__name__])
            if not _active:
                _before.clear()
            unbound = _made_here_unbound([self.connection])
        for connection in unbound:
            connection._retire()

    def __enter__(self) -> Connection:
        return self.connection

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        self.restore()


def _made_here_unbound(taken: List[Any]) -> List[Connection]:
    """Of the connections just taken away, those that use_connection made
    and that no binding in force holds any more (under _binding_lock)."""
    held = {id(binding.connection) for binding in _active}
    unbound = []
    for connection in taken:
        if (isinstance(connection, Connection) and connection._made_here
                and id(connection) not in held):
            connection._made_here = False
            unbound.append(connection)
    return unbound


def _after_fork_in_child() -> None:
    # The child has only the forking thread: a lock another thread held
    # stays held, and every pooled socket is shared with the parent.
    global _binding_lock
    _binding_lock = threading.Lock()
    for connection in list(_all_connections):
        connection._after_fork_in_child()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


def use_connection(connection: Optional[Connection] = None, **options: Any) -> ConnectionBinding:
    """Makes every data function send through ``connection``, PROCESS-WIDE.

    Binds ``connection`` (or a new ``Connection(**options)``) as
    ``requests`` in the five data modules. This affects every thread and
    every caller in the process, from the next call on, until
    ``restore_requests()`` or the returned binding's ``restore()``. Used as
    ``with use_connection(...) as conn:``, the binding is restored at the
    end of the block, but while the block runs every thread sends through
    it. Bindings may overlap in any order (see ``ConnectionBinding``).

    Parameters
    ----------
    connection : Connection, optional
        The connection to send through. It stays its owner's to close.
        Anything with a ``get(url=..., headers=..., params=...)`` that
        returns a ``requests.Response``-like answer may stand in for it.
    **options
        Without ``connection``: the options of a new ``Connection``
        (``timeout=``, ``retries=``, ``cache=``, ``rate_limit=``...). A
        connection made here is closed when it is taken away and no call
        uses it any more.

    Returns
    -------
    ConnectionBinding
        What was put in place: ``restore()`` takes it away; as a context
        manager it gives the connection and restores on leaving.

    Raises
    ------
    TypeError
        Both a connection and options, or an object without a ``get``
        method; the options' own ``TypeError`` and ``ValueError``.
    ValueError
        A closed connection, whose calls would all fail.
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
    PROCESS-WIDE, and takes every binding away.

    Every later call is a plain ``requests.get`` once more: no time limit,
    no retry, a new TCP connection per call, no cache and no rate limit.
    The connections that ``use_connection()`` made from options are
    closed once no call uses them; those given to it are not.
    """
    modules = _data_modules()
    with _binding_lock:
        taken = _active[:]
        del _active[:]
        _before.clear()
        for module in modules:
            setattr(module, "requests", requests)
        unbound = _made_here_unbound([binding.connection for binding in taken])
    for connection in unbound:
        connection._retire()
