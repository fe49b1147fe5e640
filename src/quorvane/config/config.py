"""Where the data service is.

``base_url`` is the service's scheme, host and optional prefix, without a
trailing "/": request paths are appended to it directly. It starts as the
environment variable ``QUORVANE_BASE_URL`` (trailing "/" dropped) when this
module is first imported, or as a placeholder, ``DEFAULT_BASE_URL``, whose
host is under the reserved domain ``.invalid`` (RFC 2606): it never
resolves, and the ``requests.exceptions.ConnectionError`` of a call says
what to do, in its host and path: call ``set_base_url`` or set
``QUORVANE_BASE_URL``.

Each data module copies ``base_url`` into its own namespace when it is
imported, and reads that copy at every call. Assigning ``base_url`` here
therefore reaches only the modules imported afterwards; :func:`set_base_url`
changes it here and in every data module already imported.
"""

import ipaddress
import os
import sys
import threading
import warnings
from typing import Optional
from urllib.parse import SplitResult, urlsplit

from quorvane.process_stock import DATA_MODULES

__all__ = ["base_url", "set_base_url", "DEFAULT_BASE_URL"]

DEFAULT_BASE_URL = ("https://quorvane-service-address-not-set.invalid"
                    "/call-set_base_url-or-set-QUORVANE_BASE_URL")

# Held while the address changes, so that concurrent calls leave every
# module with the same one, and while the warning below is decided. Reentrant:
# a warnings hook may itself call set_base_url.
_lock = threading.RLock()
# Whether the plain-http warning has been given in this process.
_warned = False


def _loopback(host: str) -> bool:
    """True for localhost, 127.0.0.0/8 and ::1 (also written as ::ffff:127.x.y.z)."""
    if host == "localhost":
        return True
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        return False
    if isinstance(address, ipaddress.IPv6Address):
        if address.ipv4_mapped is None:
            return address == ipaddress.IPv6Address("::1")
        address = address.ipv4_mapped
    return address in ipaddress.IPv4Network("127.0.0.0/8")


def _remote_plain_http(url: str) -> Optional[str]:
    """The host when ``url`` is plain http to another machine, else None."""
    try:
        parts = urlsplit(url)
    except ValueError:
        return None
    host = parts.hostname
    if parts.scheme != "http" or not host or _loopback(host):
        return None
    return host


def _warn_once_if_exposed(url: str, what: str, stacklevel: int) -> None:
    """Warns when ``url`` would carry the token unencrypted to another machine.

    Once per process, whatever the warning filters say (an "always" filter
    does not repeat it, and a later address does not either): the point is
    made the first time. A warning that a filter turns into an error raises
    and does not count, so the next such address raises again.
    """
    global _warned
    host = _remote_plain_http(url)
    if host is None or _warned:
        return
    _warned = True
    try:
        warnings.warn(
            # The host alone: the address may carry a password.
            f"{what} is plain http to {host!r}, which is not this machine: the access token "
            "is sent unencrypted with every request. Use https:// for a remote service. "
            "(This warning is given once per process.)",
            UserWarning, stacklevel=stacklevel + 1)
    except BaseException:
        _warned = False
        raise


def _problem(url: str) -> Optional[str]:
    """What makes ``url`` unusable as a service address, or None."""
    if not url:
        return "it is empty"
    if "://" not in url:
        return "it has no scheme (http:// or https://)"
    if any(c.isspace() or c < " " or c == "\x7f" for c in url):
        return "it contains blanks or control characters"
    try:
        parts: SplitResult = urlsplit(url)
        port = parts.port
    except ValueError as error:  # an unreadable port or [IPv6] host
        return f"its host or port cannot be read ({error})"
    if parts.scheme not in ("http", "https"):
        return f"the scheme must be http or https, not {parts.scheme!r}"
    if not parts.hostname:
        return "it has no host"
    if port == 0:
        return "port 0 is not a port a service listens on"
    if "?" in url or "#" in url:
        return "it has a query or fragment (? or #), and request paths are appended to it"
    return None


def set_base_url(url: str) -> None:
    """Sends every later data call to the service at ``url``, process-wide.

    Each data call sends its GET to ``<url>/api/stock/<kind>``. The address
    replaces ``quorvane.config.config.base_url`` and the address of every
    data module, those already imported and those imported later, for every
    thread, from the next call on. Set it again to change it back. The
    environment variable ``QUORVANE_BASE_URL`` sets the first address, when
    the package is first imported; without either, the address is a
    placeholder that reaches no service, and every call fails with a
    ``requests.exceptions.ConnectionError`` that names both (in its host,
    ``quorvane-service-address-not-set.invalid``, and its path).

    Parameters
    ----------
    url : str
        The scheme (http or https), host, optional port and optional path
        prefix, such as "https://data.example.com" or
        "http://127.0.0.1:8000/prefix"; a trailing "/" is dropped.

    Raises
    ------
    ValueError
        Anything that is not such an address (no scheme, another scheme, no
        host, a query, blanks...); nothing changes then.
    TypeError
        A value that is not a ``str``; nothing changes then.

    Warns
    -----
    UserWarning
        A plain ``http`` address of a host other than this machine
        (localhost, 127.0.0.0/8, ::1), once per process (counting the
        ``QUORVANE_BASE_URL`` address too): the token would travel
        unencrypted.
    """
    if not isinstance(url, str):
        raise TypeError(f"the service address must be a str, not {type(url).__name__}")
    problem = _problem(url)
    if problem is not None:
        raise ValueError(f"not a service address: {url!r}: {problem}. Give the scheme and host, "
                         "such as 'https://data.example.com' or 'http://127.0.0.1:8000/prefix'")
    url = url.rstrip("/")
    global base_url
    with _lock:
        _warn_once_if_exposed(url, "the service address", stacklevel=2)
        base_url = url
        for name in DATA_MODULES:  # the others copy it when they are imported
            module = sys.modules.get(name)
            if module is not None:
                setattr(module, "base_url", url)


base_url: str = os.environ.get("QUORVANE_BASE_URL", DEFAULT_BASE_URL).rstrip("/")
with _lock:
    _warn_once_if_exposed(base_url, "QUORVANE_BASE_URL", stacklevel=1)
