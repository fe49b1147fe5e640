"""``fetch_many`` on an executor: the tasks that its worker processes run,
and what each task carries so that the call there is made as it would be
in the calling process (the service's address, the login, the options of
the bound connection)."""

import importlib
import os
import pickle
import queue
import sys
import threading
import uuid
from concurrent.futures import Executor, Future
from typing import Any, Callable, Dict, List, Optional, Tuple

from quorvane.process_stock import DATA_MODULES

from . import forks, login
from .binding import ConnectionBinding, bound_connection, in_force, use_connection
from .connection import Connection

__all__ = ["Settings", "run_on"]

# How long the calling thread blocks at a time, so that Ctrl-C is seen
# promptly even where a blocking wait would not let it through.
_POLL_SECONDS = 0.25



# This process, as a task made here tells it from a worker process (a forked
# worker has another pid; a spawned one, another number).
_PROCESS = uuid.uuid4().hex


def _this_process() -> str:
    return f"{os.getpid()}-{_PROCESS}"


class Settings:
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
    def here(cls, connection: Optional[Connection]) -> "Settings":
        from quorvane.config import config

        addresses = []
        for name in ("quorvane.config.config",) + tuple(DATA_MODULES):
            module = sys.modules.get(name)
            address = getattr(module, "base_url", config.base_url)
            if isinstance(address, str) and address != config.DEFAULT_BASE_URL:
                addresses.append((name, address))
        token = login.current_token()
        if connection is None:
            connection = bound_connection()
        if connection is not None and connection.closed:
            # Its calls here would all fail; a copy in each worker would not.
            raise ValueError("the Connection bound in this process is closed: every call "
                             "would fail")
        return cls(_this_process(), tuple(addresses), token,
                   None if connection is None else connection.options.keywords())

    def __repr__(self) -> str:
        return (f"<quorvane settings of process {self.origin.partition('-')[0]}: "
                f"{len(self.addresses)} addresses, token {'given' if self.token else 'none'}, "
                f"connection {self.connection!r}>")


# In a worker process: what the last task set up, and the connection it
# bound (its options, and the binding).
_set_up_lock = threading.Lock()


def _new_lock() -> None:
    global _set_up_lock
    _set_up_lock = threading.Lock()


forks.call_in_child(_new_lock)
_bound: Optional[Tuple[Dict[str, Any], ConnectionBinding]] = None


def _set_up(settings: Settings) -> None:
    global _bound
    with _set_up_lock:
        for name, address in settings.addresses:
            module = importlib.import_module(name)
            if getattr(module, "base_url", None) != address:
                setattr(module, "base_url", address)
        if settings.token is not None:
            login.Client().login(settings.token)
        options = settings.connection
        if options is not None and (_bound is None or _bound[0] != options
                                    # taken away meanwhile (restore_requests())
                                    or not in_force(_bound[1])):
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


def _call(settings: Settings, function: Callable[..., Any], tickers: Tuple[str, ...],
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


def run_on(executor: Executor, settings: Settings, function: Callable[..., Any],
           tickers: List[str], chunksize: int, args: Any, kwargs: Any,
           bar: Any, results: Dict[str, Any], failures: Dict[str, Exception]) -> None:
    """Runs the calls on ``executor``, ``chunksize`` tickers a task, and
    sorts what they return into ``results`` and ``failures``."""
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
