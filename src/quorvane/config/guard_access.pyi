"""The login guard: ``guard_access``."""

from functools import wraps as wraps
from typing import Callable, TypeVar

from typing_extensions import ParamSpec

from quorvane.process_client.login import Client as Client

_P = ParamSpec("_P")
_R = TypeVar("_R")

__test__: dict[str, object]

def guard_access(func: Callable[_P, _R]) -> Callable[_P, _R]:
    """Refuses every call of ``func`` while nobody is logged in.

    Returns a callable that, at each call, makes a new ``Client()`` and
    looks at its ``token``: while it is ``None``, the call raises
    ``Exception("Chưa đăng nhập. Vui lòng đăng nhập trước.")`` and ``func``
    is not called; otherwise ``func`` runs with exactly the arguments given
    and its result comes back unchanged. The login is looked at when the
    guarded function is called, never when it is decorated, so a function
    decorated before the login runs as soon as somebody logs in.

    The returned callable presents ``func``'s name, qualified name, module
    and documentation (``functools.wraps``), and ``__wrapped__`` is
    ``func``.

    Parameters
    ----------
    func : callable
        Any callable; it is not called here, nor checked for being
        callable.

    Raises
    ------
    TypeError
        No argument, or more than one.
    """
