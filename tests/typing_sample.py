"""Checked by mypy --strict in test_packaging.py, never run. Each line marked
`type: ignore` must be an error, or mypy reports the comment as unused."""
import pickle
from concurrent.futures import ProcessPoolExecutor
from typing import Dict, List

import pandas as pd

from quorvane.config import set_base_url
from quorvane.config.guard_access import guard_access
from quorvane.process_client import (
    Connection, FetchResult, fetch_many, restore_requests, set_base_url as set_address,
    use_connection)
from quorvane.process_stock.dealerDesk import get_dealerDesk
from quorvane.process_stock.dividend import get_dividend
from quorvane.process_stock.foreign import get_foreign
from quorvane.process_stock.orderFlow import get_order_flow
from quorvane.process_stock.priceBars import get_priceBars

tables: List[pd.DataFrame] = [
    get_priceBars("HPX", "2024-03-01", "2024-04-30", "W"),
    get_order_flow("HPX", "2024-03-01", "2024-04-30", period="D"),
    get_foreign("HPX", 20240301, "2024-04-30", "W", 1000),
    get_dealerDesk(ticker="HPX", fromDate="2024-03-01", toDate="2024-04-30", period="W", unit=1e3),
    get_dividend("HPX", "2024-01-01", "2024-12-31"),
]
volume: float = float(tables[0]["Volume"].sum())


@guard_access
def scaled(value: float, factor: int = 2) -> float:
    return value * factor


result: float = scaled(1.5, factor=3)

get_priceBars("HPX", "2024-03-01", "2024-04-30", None)  # type: ignore[arg-type]
get_foreign("HPX", "2024-03-01", "2024-04-30", "W")  # type: ignore[call-arg]
get_dividend("HPX", "2024-01-01", "2024-12-31", "D")  # type: ignore[call-arg]
not_a_table: int = get_order_flow("HPX", "a", "b", "W")  # type: ignore[assignment]
scaled("1.5")  # type: ignore[arg-type]
not_a_float: str = scaled(1.5)  # type: ignore[assignment]

binding = use_connection(Connection(timeout=(3.05, 30), retries=3, backoff=0.5))
binding.restore()
with use_connection(timeout=5.0, pool_size=8) as connection:
    closed: bool = connection.closed
restore_requests()
fetched: FetchResult = fetch_many(get_priceBars, ["HPX", "QVA"], "2024-03-01", "2024-04-30", "W",
                                  workers=4, progress=None)
by_ticker: Dict[str, pd.DataFrame] = fetched.tables
failed: Dict[str, Exception] = fetched.errors
one_table: pd.DataFrame = fetched.to_frame()
still_by_ticker: Dict[str, pd.DataFrame] = fetched.to_frame()  # type: ignore[assignment]
with ProcessPoolExecutor(2) as pool:
    on_processes: FetchResult = fetch_many(get_priceBars, ["HPX"], "2024-03-01", "2024-04-30",
                                           "W", executor=pool, connection=Connection(timeout=5))
fetch_many(get_priceBars, ["HPX"], executor=4)  # type: ignore[arg-type]
copied: Connection = pickle.loads(pickle.dumps(Connection(retries=1)))
Connection(timeout="5")  # type: ignore[arg-type]
fetch_many(get_priceBars, ["HPX"], workers="4")  # type: ignore[arg-type]
set_base_url("http://127.0.0.1:8000/prefix")
set_address(8000)  # type: ignore[arg-type]
