"""The login client's process-wide state and the configured service address."""

import os
import subprocess
import sys

import pytest

from conftest import PYTHON, in_child
from quorvane.config.guard_access import guard_access
from quorvane.process_client import login
from quorvane.process_client.login import Client
from quorvane.process_stock.priceBars import get_priceBars

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


# The address; then, if asked, a call, whose error must say what to do.
ADDRESS = """
import sys
from quorvane.config.config import base_url
from quorvane.process_client.login import Client
from quorvane.process_stock.priceBars import get_priceBars
print(base_url)
if sys.argv[1:]:
    Client().login("t")
    try:
        get_priceBars("HPX", "2024-01-01", "2024-01-31", "D")
    except Exception as error:
        print(type(error).__name__, error)
"""


@pytest.mark.parametrize("value, expected, says", [
    (None, "https://quorvane-service-address-not-set.invalid"
           "/call-set_base_url-or-set-QUORVANE_BASE_URL",
     ["ConnectionError", "host='quorvane-service-address-not-set.invalid'",
      "url: /call-set_base_url-or-set-QUORVANE_BASE_URL/api/stock/priceBars?"]),
    ("http://127.0.0.1:8000/prefix/", "http://127.0.0.1:8000/prefix", []),
    ("http://127.0.0.1:8000//", "http://127.0.0.1:8000", []),
])
def test_base_url_from_environment(value, expected, says):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env.pop("QUORVANE_BASE_URL", None)
    if value is not None:
        env["QUORVANE_BASE_URL"] = value
    out = subprocess.run([PYTHON, "-c", ADDRESS, *(["call"] if says else [])], env=env,
                         capture_output=True, text=True, check=True, timeout=60)
    address, *error = out.stdout.splitlines()
    assert address == expected
    assert len(error) == bool(says) and [word for word in says if word not in error[0]] == []


# Threads that use the login all the time: a guarded function, and plain clients.
BUSY = """
import json, os, signal, threading, time
from quorvane.config.guard_access import guard_access
from quorvane.process_client.login import Client

guarded = guard_access(lambda: "ran")
Client().login("t")
stop = threading.Event()

def use_guarded():
    while not stop.is_set():
        guarded()

def use_clients():
    while not stop.is_set():
        Client()._get_headers()
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_children_can_use_the_login():
    # Each child runs a guarded function and then exits; a child stuck on the
    # login ends by SIGALRM (exit code -14).
    codes = in_child(BUSY + """
threads = [threading.Thread(target=use_guarded, daemon=True)]
threads += [threading.Thread(target=use_clients, daemon=True) for _ in range(4)]
for thread in threads:
    thread.start()
time.sleep(0.05)
children = []
for _ in range(50):
    pid = os.fork()
    if pid == 0:
        signal.alarm(10)
        try:
            os._exit(0 if guarded() == "ran" and Client().token == "t" else 1)
        except BaseException:
            os._exit(2)
    children.append(pid)
    time.sleep(0.002)
stop.set()
print(json.dumps(sorted({os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in children})))
""", "-W", "ignore::DeprecationWarning", timeout=120)
    assert codes == [0]


@pytest.mark.skipif(not hasattr(os, "kill") or sys.platform == "win32", reason="needs signals")
def test_signal_handler_can_log_out():
    # SIGTERM arrives while the main thread is inside guarded calls; the
    # handler logs out. A handler that waits for the interrupted code hangs
    # the run, which the time limit turns into a failure.
    script = BUSY + """
handled = 0

def on_term(signum, frame):
    global handled
    Client().logout()
    handled += 1

def send():  # one signal at a time: pending signals of one kind merge
    for sent in range(1, 51):
        os.kill(os.getpid(), signal.SIGTERM)
        while handled < sent:
            time.sleep(0.0002)
    stop.set()

signal.signal(signal.SIGTERM, on_term)
threading.Thread(target=send, daemon=True).start()
calls = 0
while not stop.is_set() or calls == 0:
    try:
        guarded()
    except Exception:
        Client().login("t")
    calls += 1
print(json.dumps([handled, Client().token]))
"""
    for _ in range(20):
        handled, token = in_child(script, timeout=60)
        assert handled == 50 and token in ("t", None)


@pytest.mark.parametrize("value", ["from-env", " hidden-1", "hidden-2\n", "hid\r\nden-3", ""])
def test_token_from_the_environment(monkeypatch, value):
    """QUORVANE_TOKEN, read at each Client(), logs in a process where nobody
    has logged in or out; an empty one is unset, an unusable one fails every
    use with an error that never shows it; a login wins, a logout stands."""
    monkeypatch.setattr(login, "_environment", True)  # as before any login or logout
    monkeypatch.setenv("QUORVANE_TOKEN", value)
    guarded = guard_access(lambda: "ran")
    uses = [lambda: Client().token, Client()._get_headers, guarded,
            lambda: get_priceBars("HPX", "2024-03-01", "2024-03-31", "D")]
    if value == "from-env":
        assert uses[0]() == value and uses[1]() == {**ANONYMOUS, "Authorization": "Bearer " + value}
        assert guarded() == "ran" and value not in repr(Client())
    elif value:
        for use in uses:
            with pytest.raises(ValueError, match="QUORVANE_TOKEN is not a usable token") as excinfo:
                use()
            assert "hid" not in str(excinfo.value)
    else:
        assert uses[0]() is None and uses[1]() == ANONYMOUS
    assert Client().login("t").token == "t" and guarded() == "ran"
    Client().logout()
    assert Client().token is None and Client()._get_headers() == ANONYMOUS
