"""Service settings and the login guard.

``set_base_url(url)`` points every data function at the service at ``url``,
process-wide (``quorvane.config.config.base_url`` holds the address; the
environment variable ``QUORVANE_BASE_URL`` sets it at import).
``quorvane.config.guard_access.guard_access`` refuses to run a function
before a login.
"""

from .config import set_base_url

__all__ = ["set_base_url"]
