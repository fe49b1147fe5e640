"""Functions that tests run in worker processes, which import them from here
as they would from a user's module."""

import threading
import time
from concurrent.futures import ThreadPoolExecutor

from quorvane.config import set_base_url
from quorvane.config.guard_access import guard_access
from quorvane.process_client import Client, use_connection
from quorvane.process_stock.priceBars import get_priceBars


@guard_access
def guarded_bars(ticker, fromDate, toDate, period):
    return get_priceBars(ticker, fromDate, toDate, period)


class Refusal(Exception):
    """Pickles, but does not unpickle: its constructor takes other arguments
    than the args it passes on."""

    def __init__(self, status_code, text):
        super().__init__(f"refused: {status_code}")
        self.status_code, self.text = status_code, text


def refusing(ticker, *args):
    if ticker.startswith("R"):
        raise Refusal(403, f"not for you: {ticker}")
    return get_priceBars(ticker, *args)


def bars_through(connection, url, *args):
    """A call through a Connection unpickled here, with no login: the copy's
    repr and the table."""
    set_base_url(url)
    Client().logout()
    with use_connection(connection):
        return repr(connection), get_priceBars("HPX", *args)


def share_a_limit(url, token, limit, offset, index, ready, go, results):
    """Once `go` is set, 10 calls from 4 threads under a rate limit of 10 a
    second kept in `limit`, with this process's clocks `offset` s off (a
    machine whose clock is wrong); puts how many went through."""
    real_time, real_monotonic = time.time, time.monotonic
    time.time = lambda: real_time() + offset
    time.monotonic = lambda: real_monotonic() + offset
    set_base_url(url)
    Client().login(token)
    use_connection(timeout=(3.05, 30), rate_limit=(10, 1), rate_limit_store=limit)
    get_priceBars("HPX", "2024-01-01", "2024-01-02", "D")  # what pandas imports
    ready.wait(60)
    go.wait(60)
    with ThreadPoolExecutor(4) as threads:
        done = list(threads.map(lambda n: get_priceBars(
            "HPX", "2024-01-01", f"2024-01-31T{index:02d}:{n:02d}", "D"), range(10)))
    results.put(len(done))


def hold_two_slots(url, token, limit):
    """Takes both slots of a (2, 0.5) limit kept in `limit` with two calls
    that the service is slow to answer, and waits to be killed."""
    set_base_url(url)
    Client().login(token)
    use_connection(timeout=(0.5, 1.0), retries=0, rate_limit=(2, 0.5), rate_limit_store=limit)
    for ticker in ("HPX", "QVA"):
        threading.Thread(target=get_priceBars, args=(ticker, "2024-01-01", "2024-01-31", "D")).start()
    time.sleep(60)
