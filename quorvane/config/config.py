"""Where the data service is.

``base_url`` is the service's scheme, host and optional prefix, without a
trailing "/": request paths are appended to it directly. Set the environment
variable ``QUORVANE_BASE_URL`` before importing to use another address.
"""

import os

DEFAULT_BASE_URL = "https://api.quorvane.example"

base_url: str = os.environ.get("QUORVANE_BASE_URL", DEFAULT_BASE_URL).rstrip("/")
