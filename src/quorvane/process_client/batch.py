"""One data function for many tickers at once, on a pool of threads or on
any ``concurrent.futures`` executor (processes, joblib's, Dask's).

::

    from quorvane.process_client.batch import fetch_many
    from quorvane.process_stock.priceBars import get_priceBars

    tables, errors = fetch_many(get_priceBars, tickers, "2024-01-01", "2024-06-30", "D")

    with ProcessPoolExecutor(4) as pool:   # the work of pandas on 4 cores
        tables, errors = fetch_many(get_priceBars, tickers, "2024-01-01", "2024-06-30", "D",
                                    executor=pool)

Combine it with :func:`quorvane.process_client.connection.use_connection`
for time limits, retries and reused connections.
"""

import collections
import importlib
import inspect
import itertools
import os
import pickle
import queue
import sys
import threading
import uuid
from concurrent.futures import Executor, Future
from contextlib import nullcontext
from typing import (TYPE_CHECKING, Any, Callable, ContextManager, Dict, Iterable, List,
                    NamedTuple, Optional, Tuple)

from quorvane.process_stock import DATA_MODULES

from . import connection as connections
from .connection import Connection, ConnectionBinding, use_connection
from .ratelimit import waits_end_with

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["FetchResult", "fetch_many", "DEFAULT_WORKERS", "THREAD_NAME_PREFIX"]

#: Threads used by default: enough to overlap the waits on the service
#: without pressing it hard. fetch_many's signature writes it out, so that
#: its reference shows the number.
DEFAULT_WORKERS = 8
#: The names of fetch_many's threads start with this.
THREAD_NAME_PREFIX = "quorvane-fetch"
# How long the calling thread blocks at a time, so that Ctrl-C is seen
# promptly even where a blocking wait would not let it through.
_POLL_SECONDS = 0.25
# The failed tickers that a FetchResult's repr names.
_ERRORS_SHOWN = 5
# Seconds before the progress bar of progress=None shows.
_BAR_DELAY = 0.5


class FetchResult(NamedTuple):
    """Every ticker of a ``fetch_many()`` run, in exactly one of two dicts.

    Unpacks as ``tables, errors = fetch_many(...)``. Both dicts keep the
    order of the tickers as given, each ticker once. Its repr sums it up
    rather than showing every table: ``FetchResult(4 tables, 1 error:
    NOPE 404)``, with the status of each failed ticker's error (or the
    error's type) for the first five.

    Attributes
    ----------
    tables : dict
        Ticker -> the function's result (a ``pandas.DataFrame`` for the
        data functions), for each ticker whose call returned.
    errors : dict
        Ticker -> the exception its call raised, for each ticker whose call
        failed: the data functions' ``ValueError`` with ``status_code`` and
        ``text`` for a status other than 200, ``KeyError`` for a range
        without records, ``requests``' own exceptions for a request that
        failed on the way.
    """

    tables: Dict[str, "pd.DataFrame"]
    errors: Dict[str, Exception]

    def __repr__(self) -> str:
        """``FetchResult(97 tables, 3 errors: NOPE 404, OLD KeyError, BAD
        503)``: the tables counted, the first failed tickers named."""
        def count(items: Dict[Any, Any], noun: str) -> str:
            return f"{len(items)} {noun}{'' if len(items) == 1 else 's'}"

        shown = []
        for ticker, error in itertools.islice(self.errors.items(), _ERRORS_SHOWN):
            status = getattr(error, "status_code", None)
            shown.append(f"{ticker if isinstance(ticker, str) else repr(ticker)} "
                         f"{type(error).__name__ if status is None else status}")
        if len(self.errors) > _ERRORS_SHOWN:
            shown.append("...")
        failed = f": {', '.join(shown)}" if shown else ""
        return f"FetchResult({count(self.tables, 'table')}, {count(self.errors, 'error')}{failed})"

    @property
    def ok(self) -> bool:
        """True when no ticker failed."""
        return not self.errors

    def to_frame(self) -> "pd.DataFrame":
        """Every table in one ``DataFrame``, under an outer index level
        ``ticker``.

        The tables are joined by ``pandas.concat`` in the order of
        ``tables`` (the order the tickers were given), each table's rows in
        their own order; the tickers in ``errors`` are not in it. The inner
        index is each table's own: ``DateTime`` for the time series, the
        row numbers 0, 1, 2... of each ticker for ``get_dividend``, so that
        ``frame.loc["HPX"]`` is HPX's table.

        A column named ``ticker`` (the regrouped tables' first column,
        which holds the ticker of every row) is left out: the index level
        holds it, and a column of the same name would make
        ``frame.reset_index()`` and ``frame.groupby("ticker")`` fail.

        Returns
        -------
        pandas.DataFrame
            The columns of every table, in the order they first appear.
            A column that has the same dtype in every table (as it has
            for one function and one period) keeps it. Tables whose
            columns or dtypes differ (with ``"D"`` a table holds every
            field the service sends) are joined as ``pandas.concat``
            joins them: a column that a table lacks is ``NaN`` in its rows,
            and takes the dtype that pandas gives it (``float64`` for
            integers).
            With no table (every ticker failed, or none was given): an
            empty ``DataFrame``, no rows and no columns, whose index is
            one level named ``ticker``.

        Raises
        ------
        TypeError
            A result in ``tables`` is not a ``pandas.DataFrame`` (a
            function of your own that returns something else); it names
            the ticker.
        """
        import pandas as pd

        frames = []
        for ticker, table in self.tables.items():
            if not isinstance(table, pd.DataFrame):
                raise TypeError(f"to_frame joins DataFrames, and the result for {ticker!r} is "
                                f"of type {type(table).__name__}")
            frames.append(table.drop(columns="ticker") if "ticker" in table.columns else table)
        if not frames:
            return pd.DataFrame(index=pd.Index([], dtype=object, name="ticker"))
        return pd.concat(frames, keys=list(self.tables), names=["ticker"])


def _progress_bar(progress: Optional[bool], total: int, name: str) -> Any:
    """A tqdm bar, or None when there is to be none."""
    if progress is False:
        return None
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        if progress:
            raise ImportError("progress=True needs tqdm: pip install tqdm") from None
        return None
    if progress:
        return tqdm(total=total, desc=name, unit="ticker", disable=False)
    # The bar that shows by itself (disable=None: where stderr is a terminal)
    # leaves no line after a short run: it shows after _BAR_DELAY seconds
    # (tqdm 4.58 on), and an older tqdm clears it at the end.
    shy = ({"delay": _BAR_DELAY} if "delay" in inspect.signature(tqdm.__init__).parameters
           else {"leave": False})
    return tqdm(total=total, desc=name, unit="ticker", disable=None, **shy)


def fetch_many(function: Callable[..., Any], tickers: Iterable[str], *args: Any,
               workers: int = 8, progress: Optional[bool] = None,
               executor: Optional[Executor] = None, connection: Optional[Connection] = None,
               chunksize: int = 1, **kwargs: Any) -> FetchResult:
    """Calls ``function(ticker, *args, **kwargs)`` for every ticker, on up to
    ``workers`` threads or on ``executor``, and returns every table and
    every failure.

    Each call sends its own GET, as it would alone: ``fetch_many`` adds no
    request, and sends each ticker's once, however often it is given. A
    call that raises does not stop the others.

    Parameters
    ----------
    function : callable
        One of the five data functions, or any function that takes the
        ticker first.
    tickers : iterable of str
        The tickers, in the order the result keeps. A single ``str`` is
        refused (``TypeError``), not read as one ticker per letter.
    *args, **kwargs
        The function's other arguments, the same for every ticker:
        ``fromDate``, ``toDate``, ``period``, ``unit``.
    workers : int, default 8
        Threads, and so the most requests under way at once. Give a
        ``Connection`` at least as many pooled connections (``pool_size``,
        16 by default). Not with ``executor``.
    progress : bool or None, default None
        ``None`` shows a tqdm bar when tqdm is installed (``pip install
        tqdm``; the extra ``quorvane[progress]`` once the package is on an
        index) and stderr is a terminal, once the run has taken half a
        second: a shorter run leaves no line behind (with tqdm before 4.58
        the bar shows at once and is cleared at the end); ``True`` always
        shows one from the start (and needs tqdm); ``False`` never.
    executor : concurrent.futures.Executor, optional
        Runs the calls instead of the threads: a ``ProcessPoolExecutor``
        with any start method, joblib's ``get_reusable_executor()``, Dask's
        ``Client.get_executor()``. One task per ticker, or per
        ``chunksize`` tickers; its own size decides how many run at once.
        The function, the arguments and the tables must be picklable as the
        executor pickles them: the five data functions and functions of an
        importable module are; joblib's and Dask's executors also take
        functions defined in a script or notebook.
    connection : Connection, optional
        The run's calls go through it: it is bound in the calling process
        for the length of the run (process-wide, as ``use_connection``
        binds it), and in the worker processes of ``executor``. By default
        the calls go through what the calling process has bound.
    chunksize : int, default 1
        Tickers in each task of ``executor`` (a task's own cost, tiny on a
        process pool, is a few milliseconds on Dask's scheduler: there
        ``chunksize=10`` or more pays). Only with ``executor``.

    Returns
    -------
    FetchResult
        ``(tables, errors)``: every ticker in exactly one of the two, in
        the order given; ``FetchResult.to_frame()`` joins the tables into
        one ``DataFrame``.

    Raises
    ------
    TypeError, ValueError
        Arguments that would not do what they say: one ``str`` as
        ``tickers``, ``workers`` with ``executor``, ``chunksize`` without
        it, a closed ``connection``, an unhashable ticker...
    ImportError
        ``progress=True`` without tqdm.
    KeyboardInterrupt, SystemExit
        Ctrl-C, or raised by a call itself: the run stops (see Notes) and
        they go on to the caller; they are never kept in ``errors``.

    Notes
    -----
    Ctrl-C (``KeyboardInterrupt``) stops the run: calls that have not started
    are dropped (so are calls still waiting for a connection's rate limit),
    the calls already under way finish their current request, and then the
    ``KeyboardInterrupt`` goes on; none of the run's threads is left. How
    long that takes is how long those requests take: bounded by the
    connection's time limit when one is in place
    (``use_connection()``), unbounded
    with plain ``requests`` and a service that stalls. A second Ctrl-C
    stops the waiting at once. The calls still under way then go on in the
    background, and their results are dropped; their threads are daemon
    threads, so they do not keep the program from ending: if it ends first,
    they are stopped where they are, in the middle of their request.
    Tables fetched before the interruption are not returned.

    On an executor, everything is as with the threads: the order, each
    ticker once, ``errors``, the progress bar (which moves a task at a
    time). What each task carries to its worker, so that the call there is
    made as it would be here: the service address of the calling process,
    its login (the token; no repr shows it, but it is in the task's
    pickled bytes, as it would be in the request), and the options of the
    connection (``connection``, or the ``Connection`` bound here; see
    ``Connection`` on what pickling carries). A worker process sets the
    address, logs in and binds a connection with those options once, at
    its first task, and keeps them after the run. Without a login here the
    worker's own stays (its ``QUORVANE_TOKEN``, say); with no ``Connection``
    bound here, the worker's own binding stays. A worker that is the
    calling process itself (a thread pool) changes nothing. A rate limit
    without a store is counted by each worker process on its own.

    The exceptions come back pickled, with their attributes (``status_code``
    and ``text`` among them), without the worker's traceback. One that
    cannot be pickled comes back as a ``RuntimeError`` that names it,
    with its ``status_code`` and ``text`` if it had them. A ticker that
    the executor itself fails (a worker process that died:
    ``BrokenProcessPool``; a cancelled task: ``CancelledError``) ends in
    ``errors`` with the executor's exception.

    Ctrl-C with an executor cancels the tasks that have not started, and
    the ``KeyboardInterrupt`` goes on at once; the tasks already started
    finish in their workers (each with all its tickers) and their results
    are dropped (shutting the executor down waits for them).
    """
    if isinstance(tickers, (str, bytes)):
        raise TypeError("tickers must be a list (or other iterable) of tickers, not one "
                        + type(tickers).__name__)
    if isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError(f"workers must be an int, not {type(workers).__name__}")
    if workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    if progress is not None and not isinstance(progress, bool):
        raise TypeError(f"progress must be True, False or None, not {type(progress).__name__}")
    if isinstance(chunksize, bool) or not isinstance(chunksize, int):
        raise TypeError(f"chunksize must be an int, not {type(chunksize).__name__}")
    if chunksize < 1:
        raise ValueError(f"chunksize must be at least 1, not {chunksize}")
    if executor is not None:
        if not callable(getattr(executor, "submit", None)):
            raise TypeError("executor must be a concurrent.futures.Executor, not "
                            + type(executor).__name__)
        if workers != DEFAULT_WORKERS:
            raise TypeError("workers= is the number of threads; with executor= the executor's "
                            "own workers make the calls, as many at once as it has")
    elif chunksize != 1:
        raise TypeError("chunksize= is the number of tickers in each task of executor=; "
                        "the threads take one ticker at a time")
    if connection is not None and not isinstance(connection, Connection):
        raise TypeError(f"connection must be a Connection, not {type(connection).__name__}")
    unique: Dict[str, None] = {}
    for ticker in tickers:  # what the iterable itself raises goes on as it is
        try:
            hash(ticker)
        except TypeError as error:
            raise TypeError(f"every ticker must be hashable: {error}") from None
        unique[ticker] = None

    results: Dict[str, Any] = {}
    failures: Dict[str, Exception] = {}
    bound: ContextManager[Any] = nullcontext() if connection is None else use_connection(connection)
    with bound:
        if unique and executor is None:
            _run(function, list(unique), args, kwargs, min(workers, len(unique)), progress,
                 results, failures)
        elif unique and executor is not None:
            _run_on(executor, _Settings.here(connection), function, list(unique), chunksize,
                    args, kwargs, progress, results, failures)
    # Every ticker is accounted for exactly once.
    assert len(results) + len(failures) == len(unique)
    return FetchResult(
        tables={ticker: results[ticker] for ticker in unique if ticker in results},
        errors={ticker: failures[ticker] for ticker in unique if ticker in failures})


def _run(function: Callable[..., Any], tickers: List[str], args: Any, kwargs: Any,
         workers: int, progress: Optional[bool], results: Dict[str, Any],
         failures: Dict[str, Exception]) -> None:
    name = getattr(function, "__name__", None) or "fetch_many"
    bar = _progress_bar(progress, len(tickers), name)
    # The tickers not yet taken; clearing it drops the calls not started.
    pending = collections.deque(tickers)
    # Each finished call lands here, as (ticker, exception or None, result).
    finished: "queue.SimpleQueue[Tuple[str, Optional[BaseException], Any]]" = queue.SimpleQueue()
    # Set once the run is over; ends the waits for a rate limit.
    stopped = threading.Event()

    def work() -> None:
        with waits_end_with(stopped):
            while True:
                try:
                    ticker = pending.popleft()
                except IndexError:
                    return
                try:
                    value = function(ticker, *args, **kwargs)
                except BaseException as error:  # the calling thread sorts them out
                    finished.put((ticker, error, None))
                else:
                    finished.put((ticker, None, value))

    # Daemon threads of our own rather than concurrent.futures' pool, whose
    # threads the interpreter waits for at exit: a call stalled on a silent
    # service would then keep an interrupted program from ending.
    threads = [threading.Thread(target=work, name=f"{THREAD_NAME_PREFIX}_{i}", daemon=True)
               for i in range(workers)]
    try:
        for thread in threads:
            thread.start()
        for _ in range(len(tickers)):
            while True:
                try:
                    ticker, error, value = finished.get(timeout=_POLL_SECONDS)
                    break
                except queue.Empty:
                    pass
            if error is None:
                results[ticker] = value
            elif isinstance(error, Exception):
                failures[ticker] = error
            else:  # SystemExit, KeyboardInterrupt, ... raised by the call itself
                raise error
            if bar is not None:
                bar.update(1)
                if failures:
                    bar.set_postfix(failed=len(failures), refresh=False)
    finally:
        pending.clear()
        stopped.set()
        try:
            # Waits for the calls under way; after a normal run there are none.
            for thread in threads:
                while thread.is_alive():
                    thread.join(_POLL_SECONDS)
        finally:
            if bar is not None:
                bar.close()


# ---- on an executor -----------------------------------------------------------------

# This process, as a task made here tells it from a worker process (a forked
# worker has another pid; a spawned one, another number).
_PROCESS = uuid.uuid4().hex


def _this_process() -> str:
    return f"{os.getpid()}-{_PROCESS}"


class _Settings:
    """What a task carries so that its worker makes the call as the calling
    process would: the address of each data module (unless it is still the
    placeholder), the token (unless there is none), and the options of the
    connection to bind (unless none is bound). No repr shows the token."""

    __slots__ = ("origin", "addresses", "token", "connection")

    def __init__(self, origin: str, addresses: Tuple[Tuple[str, str], ...],
                 token: Optional[str], connection: Optional[Dict[str, Any]]) -> None:
        self.origin = origin
        self.addresses = addresses
        self.token = token
        self.connection = connection

    @classmethod
    def here(cls, connection: Optional[Connection]) -> "_Settings":
        from quorvane.config import config

        from .login import _current
        addresses = []
        for name in ("quorvane.config.config",) + tuple(DATA_MODULES):
            module = sys.modules.get(name)
            address = getattr(module, "base_url", config.base_url)
            if isinstance(address, str) and address != config.DEFAULT_BASE_URL:
                addresses.append((name, address))
        token = _current()
        if connection is None:
            active = connections._active
            bound = active[-1].connection if active else None
            connection = bound if isinstance(bound, Connection) else None
        if connection is not None and connection.closed:
            # Its calls here would all fail; a copy in each worker would not.
            raise ValueError("the Connection bound in this process is closed: every call "
                             "would fail")
        return cls(_this_process(), tuple(addresses), token if isinstance(token, str) else None,
                   None if connection is None else connection.options.keywords())

    def __repr__(self) -> str:
        return (f"<quorvane settings of process {self.origin.partition('-')[0]}: "
                f"{len(self.addresses)} addresses, token {'given' if self.token else 'none'}, "
                f"connection {self.connection!r}>")


# In a worker process: what the last task set up, and the connection it
# bound (its options, and the binding).
_set_up_lock = threading.Lock()
_bound: Optional[Tuple[Dict[str, Any], ConnectionBinding]] = None


def _set_up(settings: _Settings) -> None:
    global _bound
    with _set_up_lock:
        for name, address in settings.addresses:
            module = importlib.import_module(name)
            if getattr(module, "base_url", None) != address:
                setattr(module, "base_url", address)
        if settings.token is not None:
            from . import login
            if login._token != settings.token:
                login.Client().login(settings.token)
        options = settings.connection
        if options is not None and (_bound is None or _bound[0] != options
                                    # taken away meanwhile (restore_requests())
                                    or not any(b is _bound[1] for b in connections._active)):
            binding = use_connection(**options)
            if _bound is not None:
                _bound[1].restore()
            _bound = (options, binding)


def _portable(error: Exception) -> Exception:
    """``error``, or a RuntimeError in its place when it does not survive
    pickling (a class whose constructor needs other arguments than its
    ``args``, an attribute that cannot be pickled, ...)."""
    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception:
        kind = type(error)
        stand_in = RuntimeError(f"{kind.__module__}.{kind.__qualname__}: {error} (the worker "
                                "could not pickle this exception to send it back)")
        for name in ("status_code", "text"):
            if hasattr(error, name):
                setattr(stand_in, name, getattr(error, name))
        return stand_in


def _call(settings: _Settings, function: Callable[..., Any], tickers: Tuple[str, ...],
          args: Any, kwargs: Any) -> List[Tuple[bool, Any]]:
    """One task: for each ticker, (True, the table) or (False, the exception)."""
    here = settings.origin == _this_process()
    if not here:
        _set_up(settings)
    done: List[Tuple[bool, Any]] = []
    for ticker in tickers:
        try:
            done.append((True, function(ticker, *args, **kwargs)))
        except Exception as error:  # KeyboardInterrupt and SystemExit end the run
            done.append((False, error if here else _portable(error)))
    return done


def _run_on(executor: Executor, settings: _Settings, function: Callable[..., Any],
            tickers: List[str], chunksize: int, args: Any, kwargs: Any,
            progress: Optional[bool], results: Dict[str, Any],
            failures: Dict[str, Exception]) -> None:
    name = getattr(function, "__name__", None) or "fetch_many"
    bar = _progress_bar(progress, len(tickers), name)
    futures: Dict["Future[Any]", Tuple[str, ...]] = {}
    finished: "queue.SimpleQueue[Future[Any]]" = queue.SimpleQueue()
    try:
        for start in range(0, len(tickers), chunksize):
            chunk = tuple(tickers[start:start + chunksize])
            future = executor.submit(_call, settings, function, chunk, args, kwargs)
            futures[future] = chunk
            future.add_done_callback(finished.put)
        for _ in range(len(futures)):
            while True:
                try:
                    future = finished.get(timeout=_POLL_SECONDS)
                    break
                except queue.Empty:
                    pass
            chunk = futures[future]
            try:
                done = future.result()
            except Exception as error:  # the executor's own: a worker lost, ...
                done = [(False, error)] * len(chunk)
            for ticker, (ok, value) in zip(chunk, done):
                if ok:
                    results[ticker] = value
                else:
                    failures[ticker] = value
            if bar is not None:
                bar.update(len(chunk))
                if failures:
                    bar.set_postfix(failed=len(failures), refresh=False)
    finally:
        for future in futures:  # those that have not started
            future.cancel()
        if bar is not None:
            bar.close()
