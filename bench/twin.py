"""The twin: what a user could write in twenty lines instead of quorvane, to
re-run a notebook from a warm cache.

requests-cache's CachedSession on a SQLite file (its defaults: answers never
expire, pickled), then for each answer a pandas table:

- minimal: pd.DataFrame(r.json()), with DateTime parsed by pd.to_datetime and
  set as the index (dividends have no DateTime: the table as it comes);
- fair: also what our functions do to the table (src/quorvane/process_stock,
  common/table.cpp): foreign's and dealerDesk's values divided by `unit`, and
  for dividends "-" made a missing value, the columns' types inferred again,
  and the three date columns parsed. Regrouping by `period` is not written:
  the twin serves the notebook's daily tables only, which our functions do
  not regroup either. The benchmark checks that the fair twin's tables equal
  ours before it times anything (notebook.py).

One session, one call after another, in one thread: the twenty lines.
"""

import numpy as np
import pandas as pd
import requests_cache

ENDPOINTS = {"priceBars": "/api/stock/priceBars", "orderFlow": "/api/stock/orderFlow",
             "foreign": "/api/stock/foreign", "dealerDesk": "/api/stock/dealerDesk",
             "dividend": "/api/stock/diviend"}
VALUES = {"foreign": ["buyForeignValue", "sellForeignValue", "netForeignValue"],
          "dealerDesk": ["dealerDeskNetValue"]}
DATE_COLUMNS = ["Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"]


class Twin:
    def __init__(self, base_url, token, cache, fair):
        self.base_url = base_url
        self.headers = {"Accept": "application/json", "Authorization": f"Bearer {token}"}
        self.session = requests_cache.CachedSession(cache, backend="sqlite")
        self.fair = fair

    def fetch(self, endpoint, ticker, fromDate, toDate, period="D", unit=None):
        if period != "D":
            raise ValueError("the twin makes daily tables only")
        r = self.session.get(self.base_url + ENDPOINTS[endpoint], headers=self.headers,
                             params={"ticker": ticker, "fromDate": fromDate, "toDate": toDate})
        r.raise_for_status()
        data = pd.DataFrame(r.json())
        if endpoint == "dividend":
            if self.fair:
                data = data.mask(data.eq("-"), np.nan).infer_objects()
                for col in DATE_COLUMNS:
                    data[col] = pd.to_datetime(data[col])
            return data
        data["DateTime"] = pd.to_datetime(data["DateTime"])
        data = data.set_index("DateTime")
        if self.fair and endpoint in VALUES:
            cols = VALUES[endpoint]
            data[cols] = data[cols] / unit
        return data

    def close(self):
        self.session.close()
