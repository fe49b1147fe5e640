"""fetch_many: one data function for many tickers on a pool of threads, over
the sample service on 127.0.0.1."""

import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pandas as pd
import pytest

import quorvane.process_stock.foreign as fo
import quorvane.process_stock.priceBars as pb
import sample_service
from quorvane.process_client import Client, FetchResult, fetch_many, restore_requests, use_connection
from quorvane.process_client.batch import THREAD_NAME_PREFIX

ROOT = Path(__file__).resolve().parent.parent
GOOD = sorted(sample_service.TICKERS)
DATES = ("2024-03-01", "2024-05-31")


def pool_threads():
    return [t.name for t in threading.enumerate() if t.name.startswith(THREAD_NAME_PREFIX)]


@pytest.fixture
def sample(monkeypatch):
    with sample_service.SampleService() as service:
        for module in (pb, fo):
            monkeypatch.setattr(module, "base_url", service.url)
        Client().login(sample_service.DEMO_TOKEN)
        yield service
    restore_requests()


@pytest.mark.parametrize("through", ["requests", "connection"])
def test_one_unknown_ticker_among_good_ones(sample, through):
    tickers = GOOD[:2] + ["NOPE"] + GOOD[2:] + [GOOD[0], "NOPE"]  # with repeats
    if through == "connection":
        use_connection(timeout=(3, 10), retries=1)
    result = fetch_many(pb.get_priceBars, tickers, *DATES, "W", workers=3, progress=False)
    assert isinstance(result, FetchResult) and not result.ok
    tables, errors = result
    assert list(tables) == GOOD  # the order given, each ticker once
    for ticker in GOOD:
        pd.testing.assert_frame_equal(tables[ticker], pb.get_priceBars(ticker, *DATES, "W"))
    assert list(errors) == ["NOPE"]
    assert type(errors["NOPE"]) is ValueError and "status:404" in str(errors["NOPE"])
    assert sample.requests_served == 2 * len(GOOD) + 1
    assert pool_threads() == []


def test_keyword_arguments_and_every_ticker_failing(sample):
    result = fetch_many(fo.get_foreign, ["AAA", "BBB"], *DATES, period="D", unit=1e9,
                        progress=False)
    assert result.tables == {} and list(result.errors) == ["AAA", "BBB"]
    result = fetch_many(fo.get_foreign, GOOD[:2], *DATES, period="D", unit=1e9, progress=False)
    assert result.ok and list(result.tables) == GOOD[:2]
    pd.testing.assert_frame_equal(result.tables[GOOD[1]], fo.get_foreign(GOOD[1], *DATES, "D", 1e9))


def test_progress_bar(sample, capsys):
    pytest.importorskip("tqdm")
    fetch_many(pb.get_priceBars, GOOD + ["NOPE"], *DATES, "D", progress=True)
    shown = capsys.readouterr().err
    assert f"{len(GOOD) + 1}/{len(GOOD) + 1}" in shown and "failed=1" in shown
    # Not a terminal: the automatic choice shows nothing.
    fetch_many(pb.get_priceBars, GOOD, *DATES, "D")
    fetch_many(pb.get_priceBars, GOOD, *DATES, "D", progress=False)
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("tickers, options, error", [
    ("HPX", {}, TypeError),                   # one ticker given as the list
    ([["HPX"]], {}, TypeError),               # unhashable
    (["HPX"], {"workers": 0}, ValueError),
])
def test_bad_arguments(tickers, options, error):
    with pytest.raises(error):
        fetch_many(pb.get_priceBars, tickers, *DATES, "D", **options)
    assert fetch_many(pb.get_priceBars, [], *DATES, "D") == ({}, {})


# A slow service (each answer after DELAY seconds) in the child's own
# process; it prints "started" once the first request arrives.
CHILD = r"""
import json, sys, threading, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
import quorvane.process_stock.priceBars as pb
from quorvane.process_client.batch import THREAD_NAME_PREFIX, fetch_many

DELAY = %(delay)r
served = []

class Slow(BaseHTTPRequestHandler):
    def do_GET(self):
        served.append(time.monotonic())
        if len(served) == 1:
            print("started", flush=True)
        time.sleep(DELAY)
        body = b'[{"DateTime": "2024-01-02", "Close": 1.5}]'
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass

server = ThreadingHTTPServer(("127.0.0.1", 0), Slow)
server.daemon_threads = True
threading.Thread(target=server.serve_forever, daemon=True).start()
pb.base_url = "http://127.0.0.1:%%d" %% server.server_address[1]
tickers = ["T%%03d" %% i for i in range(200)]
try:
    fetch_many(pb.get_priceBars, tickers, "2024-01-01", "2024-01-31", "D", workers=4,
               progress=False)
except KeyboardInterrupt:
    left = [t.name for t in threading.enumerate() if t.name.startswith(THREAD_NAME_PREFIX)]
    print(json.dumps({"left": left, "served": len(served)}), flush=True)
else:
    print(json.dumps({"finished": True}), flush=True)
"""


def test_ctrl_c_stops_promptly_and_leaves_no_thread():
    delay = 0.5
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(ROOT)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    child = subprocess.Popen([sys.executable, "-c", CHILD % {"delay": delay}], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "started"
        time.sleep(0.1)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
        elapsed = time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    report = json.loads(out)
    assert report["left"] == []
    # The four calls under way finished their request; nothing else started
    # (all 200 calls would take 25 s).
    assert report["served"] <= 8
    assert elapsed < delay + 2.5
