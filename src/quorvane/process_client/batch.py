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
import queue
import sys
import threading
from concurrent.futures import Executor
from contextlib import nullcontext
from typing import Any, Callable, ContextManager, Dict, Iterable, List, Optional, Tuple

from quorvane.process_stock import DATA_MODULES

from .binding import bound_connection, use_connection
from .cache_first import NotCached, only_from_cache
from .connection import Connection
from .executor_tasks import Settings, run_on
from .fetch_result import FetchResult
from .ratelimit import waits_end_with

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
# Seconds before the progress bar of progress=None shows.
_BAR_DELAY = 0.5


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
        16 by default). Not with ``executor``. Through a ``Connection`` with
        a cache, the five data functions' calls that the cache answers are
        made first, one after another in the calling thread (the work of a
        hit is all the interpreter's, which threads would only take turns
        on); the threads then make the calls that send a request.
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
        if unique:
            name = getattr(function, "__name__", None) or "fetch_many"
            settings = None if executor is None else Settings.here(connection)
            bar = _progress_bar(progress, len(unique), name)
            try:
                if executor is None or settings is None:
                    _run(function, list(unique), args, kwargs, workers, bar, results, failures)
                else:
                    run_on(executor, settings, function, list(unique), chunksize, args, kwargs,
                           bar, results, failures)
            finally:
                if bar is not None:
                    bar.close()
    # Every ticker is accounted for exactly once.
    assert len(results) + len(failures) == len(unique)
    return FetchResult(
        tables={ticker: results[ticker] for ticker in unique if ticker in results},
        errors={ticker: failures[ticker] for ticker in unique if ticker in failures})


def _from_cache_first(function: Callable[..., Any], tickers: List[str], args: Any,
                      kwargs: Any, bar: Any, results: Dict[str, Any],
                      failures: Dict[str, Exception]) -> List[str]:
    """Where one of the five data functions goes through a Connection with
    a cache: the calls that the cache answers, made one after another in
    this thread (on a warm cache all of them, where threads would only take
    turns on the interpreter); the tickers whose calls must send their
    request, which the threads then make. A data function sends nothing
    before its request, so a call stopped there is as if not made."""
    connection = bound_connection()
    if (connection is None or connection.options.cache is None or connection.closed
            or not _is_data_function(function)):
        return tickers
    to_send = []
    with only_from_cache():
        for ticker in tickers:
            try:
                results[ticker] = function(ticker, *args, **kwargs)
            except NotCached:
                to_send.append(ticker)
                continue
            except Exception as error:
                failures[ticker] = error
            _advance(bar, failures)
    return to_send


def _is_data_function(function: Callable[..., Any]) -> bool:
    module = sys.modules.get(getattr(function, "__module__", None) or "")
    return (module is not None and module.__name__ in DATA_MODULES
            and getattr(module, getattr(function, "__name__", ""), None) is function)


def _advance(bar: Any, failures: Dict[str, Exception], by: int = 1) -> None:
    if bar is not None:
        bar.update(by)
        if failures:
            bar.set_postfix(failed=len(failures), refresh=False)


def _run(function: Callable[..., Any], tickers: List[str], args: Any, kwargs: Any,
         workers: int, bar: Any, results: Dict[str, Any],
         failures: Dict[str, Exception]) -> None:
    tickers = _from_cache_first(function, tickers, args, kwargs, bar, results, failures)
    if not tickers:
        return
    workers = min(workers, len(tickers))
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
            _advance(bar, failures)
    finally:
        pending.clear()
        stopped.set()
        # Waits for the calls under way; after a normal run there are none.
        for thread in threads:
            while thread.is_alive():
                thread.join(_POLL_SECONDS)
