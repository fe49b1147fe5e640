"""fetch_many: one data function for many tickers on a pool of threads, over
the sample service on 127.0.0.1."""

import json
import os
import signal
import subprocess
import threading
import time

import pandas as pd
import pytest

import quorvane.process_stock.priceBars as pb
import sample_service
from conftest import PYTHON, ROOT
from quorvane.process_client import FetchResult, fetch_many, use_connection
from quorvane.process_client.batch import THREAD_NAME_PREFIX

GOOD = sorted(sample_service.TICKERS)
DATES = ("2024-03-01", "2024-05-31")


@pytest.mark.parametrize("through", ["requests", "connection"])
def test_one_unknown_ticker_among_good_ones(sample, through):
    tickers = GOOD[:2] + ["NOPE"] + GOOD[2:] + [GOOD[0], "NOPE"]  # with repeats
    if through == "connection":
        use_connection(timeout=(3, 10), retries=1)
    result = fetch_many(pb.get_priceBars, tickers, *DATES, period="W", workers=3, progress=False)
    assert isinstance(result, FetchResult) and not result.ok
    tables, errors = result
    assert list(tables) == GOOD  # the order given, each ticker once
    for ticker in GOOD:
        pd.testing.assert_frame_equal(tables[ticker], pb.get_priceBars(ticker, *DATES, "W"))
    assert list(errors) == ["NOPE"]
    assert type(errors["NOPE"]) is ValueError and "status:404" in str(errors["NOPE"])
    assert sample.requests_served == 2 * len(GOOD) + 1
    assert [t for t in threading.enumerate() if t.name.startswith(THREAD_NAME_PREFIX)] == []


def test_no_tickers_and_one_ticker_in_place_of_a_list():
    assert fetch_many(pb.get_priceBars, [], *DATES, "D") == ({}, {})
    with pytest.raises(TypeError):  # not the tickers "H", "P" and "X"
        fetch_many(pb.get_priceBars, "HPX", *DATES, "D")


def test_progress_bar(sample, capsys):
    pytest.importorskip("tqdm")
    fetch_many(pb.get_priceBars, GOOD + ["NOPE"], *DATES, "D", progress=True)
    shown = capsys.readouterr().err
    assert f"{len(GOOD) + 1}/{len(GOOD) + 1}" in shown and "failed=1" in shown
    fetch_many(pb.get_priceBars, GOOD, *DATES, "D")  # stderr is no terminal: no bar
    assert capsys.readouterr().err == ""


# 200 calls, on 4 threads, to a service that answers each after DELAY seconds;
# "started" is printed once the first request arrived. Ctrl-C is noted when
# the interpreter handles it: the parent's own delays on a loaded machine
# count for nothing.
CHILD = """
import json, signal, threading, time
import quorvane.process_stock.priceBars as pb
import sample_service
from quorvane.process_client.batch import THREAD_NAME_PREFIX, fetch_many

service = sample_service.SampleService(delay=%r).start()
pb.base_url = service.url
signalled = {}

def interrupt(signum, frame):
    signalled.update(served=service.requests_served, at=time.monotonic())
    raise KeyboardInterrupt

signal.signal(signal.SIGINT, interrupt)

def announce():
    while not service.requests_served:
        time.sleep(0.01)
    print("started", flush=True)

threading.Thread(target=announce, daemon=True).start()
try:
    fetch_many(pb.get_priceBars, ["T%%03d" %% i for i in range(200)], "2024-01-01", "2024-01-31",
               "D", workers=4, progress=False)
except KeyboardInterrupt:
    left = [t.name for t in threading.enumerate() if t.name.startswith(THREAD_NAME_PREFIX)]
    print(json.dumps({"left": left, "served": service.requests_served,
                      "served_when_signalled": signalled["served"],
                      "waited": time.monotonic() - signalled["at"]}), flush=True)
"""


def test_ctrl_c_stops_promptly_and_leaves_no_thread():
    delay, workers = 0.5, 4
    child = subprocess.Popen([PYTHON, "-c", CHILD % delay], env=dict(os.environ, PYTHONPATH=ROOT),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "started"
        time.sleep(0.1)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    report = json.loads(out)
    # The calls under way finished their request: at most one per thread
    # beyond those the service had seen, and at most one more per thread that
    # started before the calls not yet started were dropped. Nothing else
    # started: all 200 calls would take 25 s.
    assert report["left"] == []
    assert report["served"] <= report["served_when_signalled"] + 2 * workers
    assert report["waited"] < delay + 5
