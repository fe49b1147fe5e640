"""What the cache keeps, under what key, for how long, and what it never
keeps (see ``cache.py`` for the whole story).

The key is a hash of the method, the address with its query exactly as
sent, the body and whether certificates were checked: never a header, so
never the token. Ours rather than requests-cache's default key
(``docs/libraries.md`` has the comparison): the default one normalises the
query through url-normalize, whose versions disagree on what two tickers
are the same (``A B`` and ``A+B`` share one key before its 3.0), and drops
empty parameters; it also needs a request object, where ours can be
computed from the address alone.
"""

import base64
import binascii
import datetime
import hashlib
import json
import re
from typing import Any, Iterable, Set, Union
from urllib.parse import parse_qs, quote, quote_plus, unquote, urlsplit

import requests
from requests.cookies import RequestsCookieJar
from requests.structures import CaseInsensitiveDict
from requests_cache import DO_NOT_CACHE, NEVER_EXPIRE, CachedResponse

__all__ = ["CREDENTIAL_HEADERS", "KEPT_HEADERS", "NEVER_EXPIRE", "cache_key", "key_of",
           "expiry_for", "readable", "strip", "secrets_of", "shows_any"]

#: Request headers that carry credentials.
CREDENTIAL_HEADERS = frozenset({"authorization", "proxy-authorization", "cookie"})
#: The only response header that is kept: what the functions read of an
#: answer is its status, its body and the body's text encoding.
KEPT_HEADERS = frozenset({"content-type"})
_DAY = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}\Z")



def cache_key(request: Any, **kwargs: Any) -> str:
    """The key of a request, as requests-cache asks for it (``key_fn``):
    see :func:`key_of`."""
    return key_of(request.method or "", request.url or "", request.body or b"",
                  bool(kwargs.get("verify", True)))


def key_of(method: str, url: str, body: Any, verified: bool) -> str:
    """A hash of the method, the address with the query as sent, the body
    and whether certificates were checked. No header enters it, so a new
    login finds the answers fetched under the old one."""
    digest = hashlib.sha256()
    for part in (method, url, body, "verified" if verified else "unverified"):
        digest.update(part.encode("utf-8") if isinstance(part, str) else bytes(part))
        digest.update(b"\0")
    return digest.hexdigest()


def expiry_for(url: str, seconds: float) -> Union[int, float]:
    """How long the answer to ``url`` is kept, as requests-cache takes it."""
    values = parse_qs(urlsplit(url).query, keep_blank_values=True).get("toDate", [])
    if len(values) == 1 and _DAY.match(values[0]):
        try:
            last = datetime.date.fromisoformat(values[0])
        except ValueError:  # 2024-02-30
            pass
        else:
            if last < datetime.date.today():
                return NEVER_EXPIRE
    return seconds if seconds > 0 else DO_NOT_CACHE


def readable(response: requests.Response) -> bool:
    """Whether ``response`` is an answer the data functions build a table
    from: a JSON list of records (objects), possibly empty. A maintenance
    page, a body cut short or ``{"error": ...}`` sent with status 200 is
    not, and is never stored: the next call asks the service again."""
    try:
        records = json.loads(response.content)
    except (ValueError, TypeError):  # not JSON, not text, cut short
        return False
    return isinstance(records, list) and all(isinstance(record, dict) for record in records)


def strip(kept: CachedResponse) -> None:
    """Leaves of an answer only what the functions read: no request header
    (so no credential), no cookie either way, and of the response headers
    only the content type."""
    kept.headers = CaseInsensitiveDict(
        (name, value) for name, value in kept.headers.items() if name.lower() in KEPT_HEADERS)
    kept.cookies = RequestsCookieJar()
    # A new request object: the stored one shares the sent one's mappings.
    kept.request = type(kept.request)(method=kept.request.method, url=kept.request.url,
                                      body=kept.request.body)


def secrets_of(response: requests.Response) -> Set[str]:
    """The credentials that the request (and any redirect before it)
    carried: each credential header whole, the token after its scheme
    ("Bearer <token>"), a Basic user:password and password, each cookie's
    value, and a password in the address."""
    found: Set[str] = set()
    for sent in [response, *response.history]:
        request = sent.request
        if request is None:
            continue
        password = urlsplit(request.url or "").password
        if password:
            found.update({password, unquote(password)})
        for name, value in request.headers.items():
            name = name.lower()
            if name not in CREDENTIAL_HEADERS:
                continue
            text = value.decode("latin-1") if isinstance(value, bytes) else str(value)
            found.add(text)
            if name == "cookie":
                found.update(part.partition("=")[2].strip() for part in text.split(";"))
                continue
            scheme, _, credential = text.partition(" ")
            credential = credential.strip()
            found.add(credential)
            if scheme.lower() == "basic":
                try:
                    pair = base64.b64decode(credential, validate=True).decode("utf-8")
                except (binascii.Error, ValueError):
                    continue
                found.update({pair, pair.partition(":")[2]})
    found.discard("")
    return found


def _forms(secret: str) -> Iterable[bytes]:
    """``secret`` as it would appear in a stored answer that echoes it: as
    it is, percent-encoded, escaped in JSON, or in base64."""
    raw = secret.encode("utf-8")
    yield raw
    yield secret.encode("utf-16-le")
    for safe in ("", "/"):
        for encoded in (quote(secret, safe=safe), quote_plus(secret, safe=safe)):
            yield encoded.encode("ascii")
            yield re.sub("%[0-9A-F]{2}", lambda m: m.group().lower(), encoded).encode("ascii")
    for ascii_only in (True, False):
        escaped = json.dumps(secret, ensure_ascii=ascii_only)[1:-1]
        for form in (escaped, escaped.replace("/", "\\/")):
            yield form.encode("utf-8")
            yield re.sub(r"\\u[0-9a-f]{4}", lambda m: m.group().upper().replace("\\U", "\\u"),
                         form).encode("utf-8")
    for encoder in (base64.b64encode, base64.urlsafe_b64encode):
        encoded_bytes = encoder(raw)
        yield encoded_bytes
        yield encoded_bytes.rstrip(b"=")


def shows_any(written: bytes, secrets: Set[str]) -> bool:
    """Whether any form of any secret appears in ``written``. Short secrets
    are looked for too: refusing an answer by mistake only costs a miss."""
    forms = {form for secret in secrets for form in _forms(secret)}
    return any(form in written for form in forms)
