"""The login client's process-wide state and the configured service address."""

import os
import subprocess
import sys

import pytest

from quorvane.process_client.login import Client

ANONYMOUS = {"Accept": "application/json"}


def test_login_is_shared_by_every_client():
    earlier = Client()
    assert earlier.token is None and earlier._get_headers() == ANONYMOUS
    client = Client()
    assert client.login("abc") is client
    assert Client().token == "abc" and earlier.token is None
    assert earlier._get_headers() == {**ANONYMOUS, "Authorization": "Bearer abc"}
    earlier.logout()
    assert Client().token is None and client._get_headers() == ANONYMOUS


@pytest.mark.parametrize("token", ["", None, 42, b"abc", " abc", "abc\n", "a\r\nb"])
def test_login_refuses_bad_tokens(token):
    Client().login("kept")
    with pytest.raises(ValueError):
        Client().login(token)
    assert Client().token == "kept"


@pytest.mark.parametrize("value, expected", [
    (None, "https://api.quorvane.example"),
    ("http://127.0.0.1:8000/prefix/", "http://127.0.0.1:8000/prefix"),
    ("http://127.0.0.1:8000//", "http://127.0.0.1:8000"),
])
def test_base_url_from_environment(value, expected):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env.pop("QUORVANE_BASE_URL", None)
    if value is not None:
        env["QUORVANE_BASE_URL"] = value
    out = subprocess.run([sys.executable, "-c", "from quorvane.config.config import base_url; print(base_url)"],
                         env=env, capture_output=True, text=True, check=True, timeout=60)
    assert out.stdout == expected + "\n"
