from functools import wraps as wraps
from typing import Callable, TypeVar

from typing_extensions import ParamSpec

from quorvane.process_client.login import Client as Client

_P = ParamSpec("_P")
_R = TypeVar("_R")

__test__: dict[str, object]

def guard_access(func: Callable[_P, _R]) -> Callable[_P, _R]: ...
