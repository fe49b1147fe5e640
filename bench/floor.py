"""The floor: our five data functions' table steps on answers already
decoded, with no I/O and no cache.

A stand-in for `requests`, bound in the data modules with
use_connection(stand_in) as a Connection would be, answers every GET with
status 200 and a response whose json() returns a fresh copy of the records
that the service sent for that address and ticker (decoded once, before any
timing): a new list of new dicts, as json.loads would give, whose values are
the same immutable numbers and texts. What a call then costs is the
functions' own steps and pandas': what no cache, however fast, can save.

For more tickers than are worth keeping in memory (a whole market), a
ticker without answers of its own gets those of one of the sampled
tickers, chosen by a hash of its name: the same days, the same columns, the
same steps.

The module imports nothing beyond the standard library at its top, so that
a worker or a fresh interpreter that loads it pays for nothing else.
"""

import pickle
import zlib


class Response:
    __slots__ = ("_records",)
    status_code = 200

    def __init__(self, records):
        self._records = records

    def json(self):
        return [dict(record) for record in self._records]


class DecodedAnswers:
    """Answers GET(url, headers, params) from `answers`: {(path, ticker):
    records}, the path being the address's last part (priceBars, ...)."""

    def __init__(self, answers):
        self.answers = answers
        self.sampled = {}
        for path, ticker in sorted(answers):
            self.sampled.setdefault(path, []).append(ticker)

    def get(self, url, headers=None, params=None, **kwargs):
        path = url.rsplit("/", 1)[-1]
        ticker = params["ticker"]
        records = self.answers.get((path, ticker))
        if records is None:
            sampled = self.sampled[path]
            records = self.answers[(path, sampled[zlib.crc32(ticker.encode()) % len(sampled)])]
        return Response(records)


def fetch(url, token, tickers, calls, out):
    """Fetches the answers of `calls` (cases.DAILY) for `tickers` from the
    service at `url`, decoded, into the file `out`; how many."""
    import requests

    answers = {}
    paths = {"priceBars": "priceBars", "orderFlow": "orderFlow", "foreign": "foreign",
             "dealerDesk": "dealerDesk", "dividend": "diviend"}
    headers = {"Accept": "application/json", "Authorization": f"Bearer {token}"}
    with requests.Session() as session:
        for module, _, args in calls:
            for ticker in tickers:
                path = paths[module]
                answer = session.get(f"{url}/api/stock/{path}", headers=headers,
                                     params={"ticker": ticker, "fromDate": args[0],
                                             "toDate": args[1]})
                answer.raise_for_status()
                answers[(path, ticker)] = answer.json()
    with open(out, "wb") as f:
        pickle.dump(answers, f, protocol=pickle.HIGHEST_PROTOCOL)
    return len(answers)


def load(path):
    with open(path, "rb") as f:
        return DecodedAnswers(pickle.load(f))


_binding = None


def bind(path):
    """Binds the answers of the file `path` in the data modules of this
    process (a pool's initializer: each worker its own)."""
    global _binding
    from quorvane.process_client import use_connection

    _binding = use_connection(load(path))
