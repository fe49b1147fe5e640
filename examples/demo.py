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
        from quorvane.config.guard_access import guard_access
        from quorvane.process_client.login import Client
        from quorvane.process_stock.dealerDesk import get_dealerDesk
        from quorvane.process_stock.dividend import get_dividend
        from quorvane.process_stock.foreign import get_foreign
        from quorvane.process_stock.orderFlow import get_order_flow
        from quorvane.process_stock.priceBars import get_priceBars

        print(f"sample service at {service.url}")

        @guard_access
        def weekly_close(ticker: str) -> pd.Series:
            """Weekly closing prices of one ticker."""
            return get_priceBars(ticker, FROM, TO, "W")["Close"]

        print("\n== a guarded function of our own, before logging in")
        try:
            weekly_close(TICKER)
        except Exception as refusal:  # the guard's refusal is a plain Exception
            print(f"refused: {refusal}")

        Client().login(DEMO_TOKEN)
        print("\n== the same function after logging in")
        print(weekly_close(TICKER).to_string())

        show(f"daily price bars of {TICKER}", get_priceBars(TICKER, FROM, TO, "D"))
        show(f"weekly price bars of {TICKER}", get_priceBars(TICKER, FROM, TO, "W"))
        show(f"daily order flow of {TICKER}", get_order_flow(TICKER, FROM, TO, "D"))
        show(f"weekly order flow of {TICKER} (weeks without trades dropped)",
             get_order_flow(TICKER, FROM, TO, "W"))
        show(f"daily foreign-investor trading of {TICKER}, values in billions",
             get_foreign(TICKER, FROM, TO, "D", 1e9))
        show(f"monthly foreign-investor trading of {TICKER}, values in billions",
             get_foreign(TICKER, FROM, TO, "MS", 1e9))
        show(f"daily proprietary trading of {TICKER}, net value in billions",
             get_dealerDesk(TICKER, FROM, TO, "D", 1e9))
        show(f"weekly proprietary trading of {TICKER}, net value in billions",
             get_dealerDesk(TICKER, FROM, TO, "W", 1e9))
        show(f"dividend events of {TICKER}, 2022 to 2024",
             get_dividend(TICKER, "2022-01-01", "2024-12-31"))


if __name__ == "__main__":
    main()
