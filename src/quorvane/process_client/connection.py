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

import os
from types import TracebackType
from typing import TYPE_CHECKING, Any, Dict, Optional, Set, Tuple, Type, Union

import requests

# Names that this module has always offered, whatever module holds them now.
from quorvane.process_stock import DATA_MODULES

from . import cache_first, forks
from .options import CACHE_INSTALL, Options, Timeout, cache_module
from .ratelimit import RateLimit, RateLimitExceeded
from .single_flight import SingleFlight, flight_key
from .stores import StoreUnavailable
from .transport import RETRY_STATUSES, Sessions, new_adapter

if TYPE_CHECKING:
    from .binding import ConnectionBinding, restore_requests, use_connection
    from .cache import CacheInfo
    from .cache_file import FileStore
    from .cache_redis import RedisStore

__all__ = ["Connection", "ConnectionBinding", "use_connection", "restore_requests",
           "DATA_MODULES", "RETRY_STATUSES", "RateLimitExceeded", "StoreUnavailable",
           "CACHE_INSTALL"]


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
        redis``). A file is for the processes of one machine and is timed
        by its clock; Redis by the server's, so that machines whose clocks
        disagree still hold one limit. Another process's lock on the file
        is waited for within ``max_wait``. A process that dies while its
        requests are under way holds their slots at most ``per_seconds``
        plus the connect and read time limits (60 s each where not set).

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
    ``requests.Session`` (cookies last one call, as with ``requests.get``)
    over one thread-safe urllib3 pool. Identical calls under way at the
    same time share one request. A process forked from one that used it
    reuses nothing inherited: its first call opens its own connection.
    Leaving a ``with`` block is ``close()``.

    A Connection can be pickled (for a worker process: a process pool,
    joblib, Dask) and copied. What travels is its ``options``: the cache's
    and the shared limit's files as absolute paths, resolved where the
    Connection was made, or their Redis URLs; never a socket, a session, a
    lock, a call under way or the login. The copy is a new, open
    Connection with those options and the same stores. A limit without a
    store is counted by each copy on its own, from zero.
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
        # How it ends: "closed" refuses later calls; "unused" (taken away by
        # the binding that made it) still sends a call that picked it up
        # just before. Either way the pool closes once no call is under way.
        self._ending: Optional[str] = None
        self._start(RateLimit.for_options(self.options))
        forks.renew_in_child(self)

    def _start(self, rate_limit: Optional[RateLimit]) -> None:
        """Its own stores, pool and sessions, and no call under way: at
        creation, and in a forked child, which must not touch the parent's
        sockets and database connections."""
        self._rate_limit = rate_limit
        location = self.options.cache
        self._store: Optional[Union["FileStore", "RedisStore"]] = (
            None if location is None
            else cache_module("cache_redis").RedisStore(location) if isinstance(location, str)
            else cache_module("cache_file").FileStore(location))
        # The hit path, for a connection with a cache.
        self._hits = None if location is None else cache_module("cache_hits")
        self._adapter = new_adapter(self.options, rate_limit)
        self._sessions = Sessions(self._adapter, self._store, self.options.cache_expiry)
        self._flights = SingleFlight()
        # One token per call under way. Adding and discarding are atomic, so
        # no lock is needed (a lock would hang a signal handler that calls
        # while the code it interrupted holds it, and a forked child).
        self._calls: Set[object] = set()

    def renew_after_fork(self) -> None:
        # The parent's tries under way never end here: the limit counts them
        # as ended (or, shared, leaves them to the parent).
        self._start(None if self._rate_limit is None else self._rate_limit.after_fork())

    if not TYPE_CHECKING:
        def __getattr__(self, name):
            # connection.timeout, connection.retries...: the options.
            if name != "options" and name in Options.__dataclass_fields__:
                return getattr(self.options, name)
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

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
        if self._ending == "closed":
            raise RuntimeError("this Connection is closed")
        call = object()
        self._calls.add(call)
        try:
            if self._hits is not None:
                hit = self._find(url, params, kwargs)
                if hit is not None:
                    return hit
            if cache_first.in_force():
                raise cache_first.NotCached(url)
            kwargs.setdefault("timeout", self.options.timeout)
            key = flight_key(url, params, kwargs)
            if key is None:
                return self._sessions.get(url, params, kwargs)
            return self._flights.call(key, lambda: self._sessions.get(url, params, kwargs))
        finally:
            self._calls.discard(call)
            self._close_if_idle()

    def _find(self, url: Any, params: Any, kwargs: Dict[str, Any]) -> Optional[requests.Response]:
        """The cache's answer, through the hit path (``cache_hits``), or
        None: the full path then asks, sends and stores as it always does."""
        hits = self._hits
        found = hits.request_key(url, params, kwargs)
        if found is None or not hits.usable(found[1], self.options.cache_expiry):
            return None
        value = self._store.find(found[0])  # type: ignore[union-attr]
        return None if value is None else hits.hit_from(value)

    def _close_if_idle(self) -> None:
        # Whichever comes last, the end of the last call or close(), sees
        # the other and closes the pool. Closing it twice, or under a call
        # that has just started, is harmless: urllib3 closes a connection
        # that comes back to a closed pool, and opens a new pool on demand;
        # the stores open their connections again on next use.
        if self._ending is not None and not self._calls:
            self._adapter.close()
            if self._store is not None:
                self._store.close()
            if self._rate_limit is not None:
                self._rate_limit.close()

    def close(self) -> None:
        """Refuses later calls of ``get`` (``RuntimeError``); calls under
        way finish, then the pooled connections are closed. The cache file
        or database stays as it is."""
        self._ending = "closed"
        self._close_if_idle()

    def close_when_unused(self) -> None:
        """Closes the pooled connections once no call is under way, without
        refusing later calls: what a binding does with the connection that
        ``use_connection`` made when it is taken away (a call that picked
        the connection up just before still goes out through it)."""
        if self._ending is None:
            self._ending = "unused"
        self._close_if_idle()

    @property
    def closed(self) -> bool:
        """True after ``close()``, or once the binding that made this
        connection has been restored."""
        return self._ending is not None

    def _cache(self) -> Union["FileStore", "RedisStore"]:
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
        return f"<Connection{state} {self.options.describe(' ')}>"


def __getattr__(name: str) -> Any:
    # use_connection and its kin live in binding.py, which imports this module.
    if name in ("ConnectionBinding", "use_connection", "restore_requests"):
        from . import binding
        return getattr(binding, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
