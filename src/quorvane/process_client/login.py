"""The login client.

The login state is shared by the whole process: a token given to one
``Client`` shows in every ``Client()`` made afterwards, which is how each
data call (that makes a fresh client) sends it.

Until somebody logs in or out in the process, the token is the environment
variable ``QUORVANE_TOKEN``, looked up at every ``Client()``: a worker
process started with it (a process pool's, joblib's, Dask's) is logged in
without any set-up code. An empty value counts as unset. A login made in
the process wins over it, and a logout is not undone by it.

The state is two module globals, the token and whether the environment
still counts. Every method assigns each at most once, in an order that
keeps them consistent for a reader that reads the token first: each read
and each assignment is atomic under the interpreter lock, so no lock is
needed. (A lock here would be unsafe: a thread holding it while another
forks leaves it held forever in the child, and a signal handler that logs
out while the interrupted code holds it waits for itself.)
"""

import os
from typing import TYPE_CHECKING, Dict, Optional, Union

__all__ = ["Client", "TOKEN_VARIABLE", "current_token"]

#: The environment variable that logs in a process where nobody has.
TOKEN_VARIABLE = "QUORVANE_TOKEN"

# The token of the last login; None before any and after a logout.
_token: Optional[str] = None
# Whether QUORVANE_TOKEN counts while _token is None: until the first logout.
_environment = True


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


def _problem(token: str) -> Optional[str]:
    """Why ``token`` cannot be sent in a header, or None."""
    if not token or token.strip() != token or any(c in token for c in "\r\n"):
        return "it must be a non-empty str without surrounding blanks or line breaks"
    return None


def _from_environment() -> Union[str, None, _Unusable]:
    """QUORVANE_TOKEN's token, if it counts and is set."""
    value = os.environ.get(TOKEN_VARIABLE) if _environment else None
    if not value:
        return None
    problem = _problem(value)
    return value if problem is None else _Unusable(problem)


def _current() -> Union[str, None, _Unusable]:
    """The token that a call made now would send."""
    token = _token
    return _from_environment() if token is None else token


def current_token() -> Optional[str]:
    """The token that a call made now would send: the last login's, else
    a usable ``QUORVANE_TOKEN``'s, else None."""
    token = _current()
    return token if isinstance(token, str) else None


class Client:
    """A handle on the process-wide login: every ``Client()`` sees the same.

    Each data call makes a fresh ``Client()`` and sends its token in the
    request's headers, ``Authorization: Bearer <token>``, with ``Accept:
    application/json``; with no token, the request goes without the
    ``Authorization`` header and the service answers 401. The token is
    checked by the service at the first call, not here.

    The environment variable ``QUORVANE_TOKEN`` logs in a process where
    nobody has logged in or out (a worker process, say): it is looked up at
    every ``Client()`` until a login or a logout is made in the process. An
    empty value counts as unset. A token, given here or in the variable,
    never appears in a repr, a log line, an error or the cache.

    Attributes
    ----------
    token : str or None
        The token of the last login, else that of ``QUORVANE_TOKEN`` if no
        login or logout was made in the process, else ``None``. With an
        unusable ``QUORVANE_TOKEN`` (blanks around it, a line break),
        reading ``token`` or sending a request raises ``ValueError``
        ("the environment variable QUORVANE_TOKEN is not a usable token:
        ...", which never shows the value) until somebody logs in or out.
    """

    token: Optional[str]

    def __init__(self) -> None:
        token = _token
        if token is None:
            found = _from_environment()
            if isinstance(found, _Unusable):
                self._unusable = found
                return
            token = found
        self.token = token

    if not TYPE_CHECKING:
        def __getattr__(self, name):
            # Only for a missing attribute: a client that found QUORVANE_TOKEN
            # unusable has no token. Every other one has it in its __dict__,
            # as fast to read as it always was (a guarded call reads it at
            # every call).
            unusable = self.__dict__.get("_unusable")
            if name == "token" and unusable is not None:
                raise unusable.error()
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def login(self, token: str) -> "Client":
        """Logs the whole process in with an access token issued by the
        service; every later request of every thread sends it. It wins over
        ``QUORVANE_TOKEN``.

        Parameters
        ----------
        token : str
            The token, sent as ``Authorization: Bearer <token>``.

        Returns
        -------
        Client
            This client, so that ``client = Client().login(token)`` works.

        Raises
        ------
        ValueError
            ``token`` is not a ``str``, is empty, or has blanks around it or
            a line break in it (it could not be sent in a header).
        """
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
        """Forgets the token for the whole process, ``QUORVANE_TOKEN``
        included: later requests go without an ``Authorization`` header,
        and guarded functions refuse to run, until the next login."""
        global _token, _environment
        _environment = False  # first: a reader that sees no token must see this
        _token = None
        self.token = None

    def _get_headers(self) -> Dict[str, str]:
        """Request headers that carry the current login."""
        token = _token
        if token is None:
            found = _from_environment()
            if isinstance(found, _Unusable):
                raise found.error()
            token = found
        headers = {"Accept": "application/json"}
        if token is not None:
            headers["Authorization"] = f"Bearer {token}"
        return headers
