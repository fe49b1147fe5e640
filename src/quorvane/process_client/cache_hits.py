"""A cache hit without the session machinery: the key computed from the
address and the query alone, one look-up in the store, and a response made
from the stored answer.

A call through ``requests``' session prepares a request, merges the
environment's settings, runs hooks and cookies, and then requests-cache
rebuilds its stored response field by field. None of that changes what a
hit gives back, and on a warm cache it is most of a call's cost. So
``Connection.get`` first tries this: where the request is one whose key
can be told here exactly as the full path would make it (a plain address
and a query of texts; anything else takes the full path), the stored
answer is read with one ``SELECT`` or one Redis ``GET``, checked against
the expiry rules, and handed back as a ``CacheHit``. A miss, or an answer
that has expired, takes the full path, rate limit included.
"""

import datetime
import pickle
import re
from typing import Any, Dict, Mapping, Optional, Tuple
from urllib.parse import urlencode

import requests
from requests.structures import CaseInsensitiveDict
from requests_cache import DO_NOT_CACHE

from .cache_rules import expiry_for, key_of

__all__ = ["CacheHit", "prepared_url", "request_key", "hit_from"]

# An address that requests prepares as it is: http or https, a host of
# lowercase letters, digits, dots and dashes, a port without leading zeros,
# and a path of characters that are never escaped or changed. No query, no
# fragment, no user part, no escapes.
_PLAIN_URL = re.compile(r"https?://[a-z0-9.\-]+(:[1-9][0-9]*)?(/[A-Za-z0-9._~!$'()*+,;=:@/\-]*)?\Z")
# Path segments that urllib3 would remove.
_DOT_SEGMENT = re.compile(r"/\.\.?(/|\Z)")
# Request headers that change how requests-cache reads (Cache-Control and
# its kin): their requests take the full path.
_CACHE_HEADERS = frozenset({"cache-control", "pragma", "if-none-match", "if-modified-since"})


def prepared_url(url: Any, params: Any) -> Optional[str]:
    """The address that requests would send for ``url`` and ``params``,
    where it can be told without preparing the request; None where it
    cannot."""
    if type(url) is not str or not _PLAIN_URL.match(url) or _DOT_SEGMENT.search(url):
        return None
    if url.count("/") == 2:
        url += "/"  # requests sends an empty path as "/"
    if params is None:
        return url
    if type(params) is not dict:
        return None
    for name, value in params.items():
        if type(name) is not str or type(value) is not str:
            return None
    query = urlencode(list(params.items()))
    return f"{url}?{query}" if query else url


def request_key(url: Any, params: Any, kwargs: Mapping[str, Any]) -> Optional[Tuple[str, str]]:
    """(the cache key, the address) of a GET that the hit path can serve,
    or None: a request with an argument other than headers and a time
    limit, a header about caching, or an address that only preparing the
    request can tell."""
    for name in kwargs:
        if name not in ("headers", "timeout"):
            return None
    headers = kwargs.get("headers")
    if headers is not None:
        if not isinstance(headers, dict):
            return None
        for name in headers:
            if not isinstance(name, str) or name.lower() in _CACHE_HEADERS:
                return None
    address = prepared_url(url, params)
    if address is None:
        return None
    return key_of("GET", address, b"", verified=True), address


def usable(address: str, cache_expiry: float) -> bool:
    """Whether requests-cache would read the cache for this address at
    all: not where its answers are not to be kept (``cache_expiry=0`` and a
    range that reaches today)."""
    return cache_expiry > 0 or expiry_for(address, cache_expiry) != DO_NOT_CACHE


class CacheHit(requests.Response):
    """An answer from the cache, as ``requests.Response``: ``status_code``,
    ``headers``, ``url``, ``encoding``, ``content``, ``text``, ``json()``
    (a new object at every call, decoded from the stored bytes),
    ``from_cache`` (True), ``expires`` and ``created_at``. What a hit never
    needs (its request, cookies) is made on first use."""

    from_cache = True

    def __init__(self, entry: Dict[str, Any]) -> None:  # no super().__init__: set here
        self._content = entry["_content"]
        self._content_consumed = True
        self._next = None
        self.status_code = entry["status_code"]
        self.headers = CaseInsensitiveDict(entry.get("headers") or {})
        self.raw = None
        self.url = entry.get("url", "")
        self.encoding = entry.get("encoding")
        self.history = []
        self.reason = entry.get("reason", "OK")
        self.elapsed = datetime.timedelta(seconds=entry.get("elapsed") or 0.0)
        self.connection = None
        self._entry = entry

    def __getattr__(self, name: str) -> Any:
        # Made on first use, and kept: what a hit seldom needs.
        if name == "cookies":
            from requests.cookies import RequestsCookieJar
            value: Any = RequestsCookieJar()
        elif name == "request":
            value = requests.Request("GET", self.url).prepare()
        elif name in ("expires", "created_at"):
            value = _moment(self.__dict__.get("_entry", {}).get(name))
        else:
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")
        setattr(self, name, value)
        return value

    @property
    def is_expired(self) -> bool:
        expires = self.expires
        return expires is not None and datetime.datetime.now(datetime.timezone.utc) >= expires


def _moment(value: Any) -> Optional[datetime.datetime]:
    """A stored time (ISO text, or a datetime) as an aware UTC datetime."""
    if value is None:
        return None
    moment = value if isinstance(value, datetime.datetime) else \
        datetime.datetime.fromisoformat(str(value))
    return moment if moment.tzinfo else moment.replace(tzinfo=datetime.timezone.utc)


def hit_from(value: bytes, now: Optional[datetime.datetime] = None) -> Optional[CacheHit]:
    """The answer stored as ``value`` (requests-cache's pickled form), or
    None where it has expired by ``now`` (an aware datetime; by default the
    present) or is not of the form the hit path reads (it then takes the
    full path, which reads it as requests-cache does)."""
    try:
        entry = pickle.loads(value)
    except Exception:  # unreadable: the full path says what to do with it
        return None
    if (not isinstance(entry, dict) or not isinstance(entry.get("_content"), bytes)
            or entry.get("status_code") != 200 or entry.get("_decoded_content") is not None):
        return None
    try:
        expires = _moment(entry.get("expires"))
    except (TypeError, ValueError):
        return None
    if expires is not None and (now or datetime.datetime.now(datetime.timezone.utc)) >= expires:
        return None  # as requests-cache: expired from the moment itself on
    return CacheHit(entry)
