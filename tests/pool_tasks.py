"""Functions that tests run in worker processes, which import them from here
as they would from a user's module."""

from quorvane.config.guard_access import guard_access
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
