"""How a Connection sends: urllib3's retries with their waits capped, the
adapter that counts every try against the rate limit, and one
``requests`` session per thread over that one adapter.
"""

import threading
from typing import Any, Dict, Optional

import requests
import requests.adapters
from urllib3.exceptions import MaxRetryError, ReadTimeoutError
from urllib3.util.retry import Retry

from .limited_pools import LimitedPools
from .options import Options
from .ratelimit import RateLimit, RateLimitExceeded
from .stores import StoreUnavailable

__all__ = ["RETRY_STATUSES", "CappedRetry", "Adapter", "Sessions", "new_adapter"]

#: Answers that are tried again: too many requests, and a gateway or service
#: that is briefly unavailable.
RETRY_STATUSES = frozenset({429, 502, 503, 504})


class CappedRetry(Retry):
    """urllib3's retry policy with every wait between tries capped.

    Only methods and attributes that urllib3 1.26 and 2.x share are used
    (``allowed_methods``, ``new``, ``get_backoff_time``, ``get_retry_after``);
    2.x alone has ``backoff_max`` and ``retry_after_max``.
    """

    # Without this, a 413 carrying Retry-After would be tried again too.
    RETRY_AFTER_STATUS_CODES = frozenset({429, 503})
    max_wait: float = 60.0

    def new(self, **kw: Any) -> "CappedRetry":
        retry = super().new(**kw)
        retry.max_wait = self.max_wait
        return retry

    def get_backoff_time(self) -> float:
        return min(float(super().get_backoff_time()), self.max_wait)

    def get_retry_after(self, response: Any) -> Optional[float]:
        try:
            seconds = super().get_retry_after(response)
            if seconds is None:
                return None
            return min(float(seconds), self.max_wait)
        except Exception:
            # Unreadable, whatever the parser made of it (urllib3's own
            # InvalidHeader, or ValueError and OverflowError from a date past
            # year 9999 or a number too long to convert): wait as if there
            # were none.
            return None


class Adapter(requests.adapters.HTTPAdapter):
    """Keeps a read time-out a ``ReadTimeout`` after the last try, and
    counts every try against the rate limit, if there is one.

    Once tries are counted, urllib3 reports the last failure wrapped in a
    ``MaxRetryError``, and requests turns every such error that is not a
    connect time-out into a plain ``ConnectionError``; a read time-out then
    would no longer be caught by ``except requests.exceptions.ReadTimeout``
    (or ``Timeout``) as it is without retries.
    """

    def __init__(self, rate_limit: Optional[RateLimit], **kwargs: Any) -> None:
        # Before requests makes the pool manager, in __init__.
        self._limited = None if rate_limit is None else LimitedPools(rate_limit)
        super().__init__(**kwargs)

    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        super().init_poolmanager(*args, **kwargs)
        if self._limited is not None:
            self._limited.apply(self.poolmanager)

    def proxy_manager_for(self, *args: Any, **kwargs: Any) -> Any:
        manager = super().proxy_manager_for(*args, **kwargs)
        if self._limited is not None:
            self._limited.apply(manager)
        return manager

    def send(self, request: requests.PreparedRequest, *args: Any,
             **kwargs: Any) -> requests.Response:
        try:
            return super().send(request, *args, **kwargs)
        except requests.exceptions.ConnectionError as error:
            cause = error.args[0] if error.args else None
            if (isinstance(cause, MaxRetryError)
                    and isinstance(cause.reason, ReadTimeoutError)):
                raise requests.exceptions.ReadTimeout(cause, request=request) from None
            if isinstance(cause, (RateLimitExceeded, StoreUnavailable)):
                # requests wraps every OSError it sees; these are ours.
                cause.request = request
                raise cause from None
            raise


def new_adapter(options: Options, rate_limit: Optional[RateLimit]) -> Adapter:
    """The adapter of a Connection: its pool of connections, retries and
    rate limit."""
    retry = CappedRetry(
        total=options.retries, connect=options.retries, read=options.retries,
        status=options.retries, other=0,
        allowed_methods=frozenset({"GET"}), status_forcelist=RETRY_STATUSES,
        backoff_factor=options.backoff, raise_on_status=False,
        respect_retry_after_header=True)
    retry.max_wait = options.max_wait
    return Adapter(rate_limit, pool_connections=4, pool_maxsize=options.pool_size,
                   max_retries=retry)


class Sessions:
    """One ``requests.Session`` per thread (requests-cache's over the
    cache's store, where there is one), all sending through one adapter.
    Cookies last one call, as with ``requests.get``."""

    def __init__(self, adapter: Adapter, store: Any, cache_expiry: float) -> None:
        self._adapter, self._store, self._cache_expiry = adapter, store, cache_expiry
        self._local = threading.local()

    def _session(self) -> requests.Session:
        session: Optional[requests.Session] = getattr(self._local, "session", None)
        if session is None:
            if self._store is not None:
                from .cache import CachedSession
                session = CachedSession(self._store, self._cache_expiry)
            else:
                session = requests.Session()
            # The thread's session drops its own default adapters (which
            # hold no connection yet) for the shared one.
            session.mount("http://", self._adapter)
            session.mount("https://", self._adapter)
            self._local.session = session
        return session

    def get(self, url: str, params: Any, kwargs: Dict[str, Any]) -> requests.Response:
        session = self._session()
        try:
            return session.get(url, params=params, **kwargs)
        finally:
            # Each call stands alone, as a call of requests.get does.
            session.cookies.clear()
