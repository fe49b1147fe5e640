"""One data function for many tickers at once, on a pool of threads.

::

    from quorvane.process_client.batch import fetch_many
    from quorvane.process_stock.priceBars import get_priceBars

    tables, errors = fetch_many(get_priceBars, tickers, "2024-01-01", "2024-06-30", "D")

Combine it with :func:`quorvane.process_client.connection.use_connection`
for time limits, retries and reused connections.
"""

import collections
import importlib
import queue
import threading
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Tuple

from .ratelimit import waits_end_with

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["FetchResult", "fetch_many", "DEFAULT_WORKERS", "THREAD_NAME_PREFIX"]

#: Threads used by default: enough to overlap the waits on the service
#: without pressing it hard.
DEFAULT_WORKERS = 8
#: The names of fetch_many's threads start with this.
THREAD_NAME_PREFIX = "quorvane-fetch"
# How long the calling thread blocks at a time, so that Ctrl-C is seen
# promptly even where a blocking wait would not let it through.
_POLL_SECONDS = 0.25


class FetchResult(NamedTuple):
    """Every ticker of a :func:`fetch_many` run, in exactly one of two dicts.

    ``tables``: ticker -> the function's result, for the tickers that
    succeeded; ``errors``: ticker -> the exception its call raised. Both
    keep the order of the tickers as given (each ticker once). Unpacks as
    ``tables, errors = fetch_many(...)``.
    """

    tables: Dict[str, "pd.DataFrame"]
    errors: Dict[str, Exception]

    @property
    def ok(self) -> bool:
        """True when no ticker failed."""
        return not self.errors


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
    # disable=None is tqdm's own rule: no bar when stderr is not a terminal.
    return tqdm(total=total, desc=name, unit="ticker", disable=None if progress is None else False)


def fetch_many(function: Callable[..., Any], tickers: Iterable[str], *args: Any,
               workers: int = DEFAULT_WORKERS, progress: Optional[bool] = None,
               **kwargs: Any) -> FetchResult:
    """Calls ``function(ticker, *args, **kwargs)`` for every ticker, on up to
    ``workers`` threads, and returns every table and every failure.

    A ticker that appears more than once is fetched once. A call that raises
    does not stop the others: its exception is kept in ``errors`` under its
    ticker, and every ticker ends in exactly one of ``tables`` and
    ``errors``.

    ``progress``: ``None`` shows a tqdm bar when tqdm is installed
    (``pip install tqdm``; the extra ``quorvane[progress]`` once the
    package is on an index) and stderr is a terminal;
    ``True`` always shows one (and needs tqdm); ``False`` never.

    Ctrl-C (``KeyboardInterrupt``) stops the run: calls that have not started
    are dropped (so are calls still waiting for a connection's rate limit),
    the calls already under way finish their current request, and then the
    ``KeyboardInterrupt`` goes on; none of the run's threads is left. How
    long that takes is how long those requests take: bounded by the
    connection's time limit when one is in place
    (:func:`~quorvane.process_client.connection.use_connection`), unbounded
    with plain ``requests`` and a service that stalls. A second Ctrl-C
    stops the waiting at once. The calls still under way then go on in the
    background, and their results are dropped; their threads are daemon
    threads, so they do not keep the program from ending: if it ends first,
    they are stopped where they are, in the middle of their request.

    A ``KeyboardInterrupt`` or ``SystemExit`` raised by a call itself ends
    the run the same way and goes on to the caller; it is not kept in
    ``errors``.
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
    unique: Dict[str, None] = {}
    for ticker in tickers:  # what the iterable itself raises goes on as it is
        try:
            hash(ticker)
        except TypeError as error:
            raise TypeError(f"every ticker must be hashable: {error}") from None
        unique[ticker] = None

    results: Dict[str, Any] = {}
    failures: Dict[str, Exception] = {}
    if unique:
        _run(function, list(unique), args, kwargs, min(workers, len(unique)), progress,
             results, failures)
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
