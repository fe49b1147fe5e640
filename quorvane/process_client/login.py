"""The login client.

The login state is shared by the whole process: a token given to one
``Client`` shows in every ``Client()`` made afterwards, which is how each
data call (that makes a fresh client) sends it.

The state is one module global, and every method reads it once or assigns
it once: each of those is atomic under the interpreter lock, so no lock is
needed. (A lock here would be unsafe: a thread holding it while another
forks leaves it held forever in the child, and a signal handler that logs
out while the interrupted code holds it waits for itself.)
"""

from typing import Dict, Optional

_token: Optional[str] = None


class Client:
    """A handle on the process-wide login.

    ``token`` is ``None`` until somebody logs in.
    """

    def __init__(self) -> None:
        self.token: Optional[str] = _token

    def login(self, token: str) -> "Client":
        """Log in with an access token issued by the service."""
        if not isinstance(token, str):
            raise ValueError(
                f"token must be a non-empty str, not {type(token).__name__}"
            )
        if not token or token.strip() != token or any(c in token for c in "\r\n"):
            raise ValueError(
                "token must be a non-empty str without surrounding blanks or line breaks"
            )
        global _token
        _token = token
        self.token = token
        return self

    def logout(self) -> None:
        """Forget the token for the whole process."""
        global _token
        _token = None
        self.token = None

    def _get_headers(self) -> Dict[str, str]:
        """Request headers that carry the current login."""
        token = _token
        headers = {"Accept": "application/json"}
        if token is not None:
            headers["Authorization"] = f"Bearer {token}"
        return headers
