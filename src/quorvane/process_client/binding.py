"""Putting a Connection in place of ``requests`` in the five data modules,
and taking it away: :func:`use_connection`, :class:`ConnectionBinding`,
:func:`restore_requests`.

Bindings may overlap, from one thread or several, and be restored in any
order: the newest binding still in force is what the modules send with.
``fetch_many`` asks :func:`bound_connection` what that is.
"""

import importlib
import threading
import weakref
from types import ModuleType, TracebackType
from typing import Any, Dict, List, Optional, Type

import requests

from quorvane.process_stock import DATA_MODULES

from . import forks
from .connection import Connection

__all__ = ["ConnectionBinding", "use_connection", "restore_requests", "bound_connection",
           "in_force"]

# The bindings in force, oldest first; the newest one's connection is what
# the modules send with. _before holds what each module had before the
# oldest. All of it changes under _lock.
_lock = threading.Lock()
_in_force: List["ConnectionBinding"] = []
_before: Dict[str, Any] = {}
# The connections that use_connection made from options: each is closed
# once no binding in force holds it any more.
_made_from_options: "weakref.WeakSet[Connection]" = weakref.WeakSet()


def _new_lock() -> None:
    # A forked child has only the forking thread: a lock another thread
    # held at the fork would stay held.
    global _lock
    _lock = threading.Lock()


forks.call_in_child(_new_lock)


def _data_modules() -> List[ModuleType]:
    return [importlib.import_module(name) for name in DATA_MODULES]


def bound_connection() -> Optional[Connection]:
    """The Connection that the data modules send through now, if a binding
    put one there; None for plain ``requests`` or a stand-in of another
    type."""
    found = _in_force[-1].connection if _in_force else None
    return found if isinstance(found, Connection) else None


def in_force(binding: "ConnectionBinding") -> bool:
    """Whether ``binding`` has not been restored."""
    return any(held is binding for held in _in_force)


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

    def __init__(self, connection: Any, made_from_options: bool) -> None:
        self.connection = connection
        modules = _data_modules()
        with _lock:
            if made_from_options:
                _made_from_options.add(connection)
            if not _in_force:
                _before.clear()
                _before.update((module.__name__, module.__dict__.get("requests", requests))
                               for module in modules)
            _in_force.append(self)
            for module in modules:
                setattr(module, "requests", connection)

    def restore(self) -> None:
        """Takes this binding away; a second call does nothing. The data
        modules send through the newest binding still in force, or, once
        none is left, through what they had before the first."""
        modules = _data_modules()
        with _lock:
            if not in_force(self):
                return
            newest = _in_force[-1] is self
            _in_force[:] = [binding for binding in _in_force if binding is not self]
            if newest:
                for module in modules:
                    if module.__dict__.get("requests") is self.connection:
                        setattr(module, "requests", _in_force[-1].connection if _in_force
                                else _before[module.__name__])
            if not _in_force:
                _before.clear()
            unheld = _made_from_options_and_unheld([self.connection])
        for connection in unheld:
            connection.close_when_unused()

    def __enter__(self) -> Any:
        return self.connection

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        self.restore()


def _made_from_options_and_unheld(taken: List[Any]) -> List[Connection]:
    """Of the connections just taken away, those that use_connection made
    and that no binding in force holds any more (under _lock)."""
    held = {id(binding.connection) for binding in _in_force}
    unheld = []
    for connection in taken:
        if connection in _made_from_options and id(connection) not in held:
            _made_from_options.discard(connection)
            unheld.append(connection)
    return unheld


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
        return ConnectionBinding(Connection(**options), made_from_options=True)
    if options:
        raise TypeError("give a connection or the options for a new one, not both")
    if not callable(getattr(connection, "get", None)):
        raise TypeError(f"a connection needs a get method; {type(connection).__name__} has none")
    if getattr(connection, "closed", False) is True:
        raise ValueError("this Connection is closed: every data call would fail")
    return ConnectionBinding(connection, made_from_options=False)


def restore_requests() -> None:
    """Binds the ``requests`` module again in the five data modules,
    PROCESS-WIDE, and takes every binding away.

    Every later call is a plain ``requests.get`` once more: no time limit,
    no retry, a new TCP connection per call, no cache and no rate limit.
    The connections that ``use_connection()`` made from options are
    closed once no call uses them; those given to it are not.
    """
    modules = _data_modules()
    with _lock:
        taken = _in_force[:]
        del _in_force[:]
        _before.clear()
        for module in modules:
            setattr(module, "requests", requests)
        unheld = _made_from_options_and_unheld([binding.connection for binding in taken])
    for connection in unheld:
        connection.close_when_unused()
