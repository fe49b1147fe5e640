"""The login client.

The login state is shared by the whole process: a token given to one
``Client`` shows in every ``Client()`` made afterwards, which is how each
data call (that makes a fresh client) sends it.

Until somebody logs in or out in the process, the token is the environment
variable ``QUORVANE_TOKEN``, looked up at every ``Client()``: a worker
process started with it (a process pool's, joblib's, Dask's) is logged in
without any set-up code. An empty value counts as unset. A login made in
the process wins over it, and a logout is not undone by it.

The state is one module global, and every method reads it once or assigns
it once: each of those is atomic under the interpreter lock, so no lock is
needed. (A lock here would be unsafe: a thread holding it while another
forks leaves it held forever in the child, and a signal handler that logs
out while the interrupted code holds it waits for itself.)
"""

import os
from typing import TYPE_CHECKING, Any, Dict, Optional, Union

__all__ = ["Client", "TOKEN_VARIABLE"]

#: The environment variable that logs in a process where nobody has.
TOKEN_VARIABLE = "QUORVANE_TOKEN"


class _FromEnvironment:
    """The state before any login or logout: the token is the environment's."""

    def __repr__(self) -> str:
        return f"<the token of {TOKEN_VARIABLE}, if set>"


class _Unusable:
    """What a Client saw when QUORVANE_TOKEN held no usable token. The value
    itself is kept nowhere: it must not show in an error."""

    __slots__ = ("problem",)

    def __init__(self, problem: str) -> None:
        self.problem = problem

    def error(self) -> ValueError:
        return ValueError(f"the environment variable {TOKEN_VARIABLE} is not a usable token: "
                          f"{self.problem} (its value is not shown). Fix or unset it, or log "
                          "in with Client().login(token)")


class _UnusableToken:
    """``Client.token`` of a client that found QUORVANE_TOKEN unusable:
    reading it raises. Every other client has its token in its own
    ``__dict__``, which is read first (this descriptor defines no
    ``__set__``), so that reading it costs what reading a plain attribute
    costs: a guarded call reads it every time."""

    def __get__(self, client: Optional["Client"], owner: type) -> Any:
        if client is None:
            return self
        raise client._unusable.error()


_FROM_ENVIRONMENT = _FromEnvironment()
# A token from login(), None after logout(), or _FROM_ENVIRONMENT before either.
_token: Union[str, None, _FromEnvironment] = _FROM_ENVIRONMENT


def _problem(token: str) -> Optional[str]:
    """Why ``token`` cannot be sent in a header, or None."""
    if not token or token.strip() != token or any(c in token for c in "\r\n"):
        return "it must be a non-empty str without surrounding blanks or line breaks"
    return None


def _current() -> Union[str, None, _Unusable]:
    token = _token
    if not isinstance(token, _FromEnvironment):
        return token
    return _from_environment()


def _from_environment() -> Union[str, None, _Unusable]:
    value = os.environ.get(TOKEN_VARIABLE)
    if not value:
        return None
    problem = _problem(value)
    return value if problem is None else _Unusable(problem)


class Client:
    """A handle on the process-wide login.

    ``token`` is the token of the last login, else that of the environment
    variable ``QUORVANE_TOKEN`` if no login or logout was made in the
    process, else ``None``. With an unusable ``QUORVANE_TOKEN`` (blanks around
    it, a line break), reading ``token`` or sending a request raises
    ``ValueError`` until somebody logs in or out.
    """

    if TYPE_CHECKING:
        token: Optional[str]
        _unusable: _Unusable
    else:
        token = _UnusableToken()

    def __init__(self) -> None:
        token = _token
        if isinstance(token, _FromEnvironment):
            found = _from_environment()
            if isinstance(found, _Unusable):
                self._unusable = found
                return
            token = found
        self.token = token

    def login(self, token: str) -> "Client":
        """Log in with an access token issued by the service."""
        if not isinstance(token, str):
            raise ValueError(
                f"token must be a non-empty str, not {type(token).__name__}"
            )
        if _problem(token) is not None:
            raise ValueError(
                "token must be a non-empty str without surrounding blanks or line breaks"
            )
        global _token
        _token = token
        self.token = token
        return self

    def logout(self) -> None:
        """Forget the token for the whole process (QUORVANE_TOKEN included)."""
        global _token
        _token = None
        self.token = None

    def _get_headers(self) -> Dict[str, str]:
        """Request headers that carry the current login."""
        token = _token
        if isinstance(token, _FromEnvironment):
            found = _from_environment()
            if isinstance(found, _Unusable):
                raise found.error()
            token = found
        headers = {"Accept": "application/json"}
        if token is not None:
            headers["Authorization"] = f"Bearer {token}"
        return headers
