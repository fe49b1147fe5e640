"""Fetches every kind of market data from the sample service and prints it.

Starts the sample service on loopback, points the package at it through
QUORVANE_BASE_URL, logs in, and calls each function once or twice.
"""

import os
import sys

import pandas as pd

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from sample_service import DEMO_TOKEN, SampleService  # noqa: E402

TICKER = "HPX"
FROM, TO = "2024-03-01", "2024-04-30"


def show(title: str, table: pd.DataFrame) -> None:
    print(f"\n== {title}: {len(table)} rows")
    print(table.to_string(max_rows=12))


def main() -> None:
    pd.set_option("display.width", 160)
    pd.set_option("display.max_columns", 12)
    with SampleService() as service:
        # The address is read when quorvane.config.config is first imported.
        os.environ["QUORVANE_BASE_URL"] = service.url
        from quorvane.process_client.login import Client
        from quorvane.process_stock.priceBars import get_priceBars

        print(f"sample service at {service.url}")
        Client().login(DEMO_TOKEN)
        show(f"daily price bars of {TICKER}", get_priceBars(TICKER, FROM, TO, "D"))
        show(f"weekly price bars of {TICKER}", get_priceBars(TICKER, FROM, TO, "W"))


if __name__ == "__main__":
    main()
