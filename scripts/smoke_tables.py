"""The five data functions and guard_access on two builds, tables compared.

    python scripts/smoke_tables.py OTHER_PYTHON

run from the top of the source tree with quorvane installed (./dev smoke
does both): starts the sample service, makes the same calls here and in
OTHER_PYTHON (an interpreter with another build of quorvane installed, such
as an arm64 one that a launcher starts under emulation; it runs this file
with "--calls URL"), and compares every table exactly: columns, index, the
kind of each column (integer, float, text, date) and every value, floats to
the last bit. Exits with status 1 and shows the first differences when
anything differs.
"""

import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Any, Dict

TICKERS = ("HPX", "QVA")
FROM, TO = "2024-03-01", "2024-04-30"


def scalar(value: Any) -> Any:
    """A JSON value that tells exactly which value `value` is."""
    import pandas as pd

    if value is None or value is pd.NaT or (isinstance(value, float) and value != value):
        return None
    if isinstance(value, pd.Timestamp):
        return value.isoformat()
    if isinstance(value, float):
        return float.hex(value)
    if hasattr(value, "item"):  # a numpy scalar
        return scalar(value.item())
    return value


def table(data: Any) -> Dict[str, Any]:
    import pandas as pd

    frame = data.to_frame() if isinstance(data, pd.Series) else data
    return {
        "columns": [str(column) for column in frame.columns],
        "kinds": [frame[column].dtype.kind for column in frame.columns],
        "index": [str(frame.index.name), frame.index.dtype.kind,
                  [scalar(value) for value in frame.index]],
        "rows": [[scalar(value) for value in row] for row in frame.itertuples(index=False)],
    }


def calls(url: str) -> Dict[str, Any]:
    """Every function of the package against the service at `url`."""
    import quorvane.process_stock as stock
    from quorvane.config.guard_access import guard_access
    from quorvane.process_client.connection import DATA_MODULES
    from quorvane.process_client.login import Client
    from quorvane.process_stock.dealerDesk import get_dealerDesk
    from quorvane.process_stock.dividend import get_dividend
    from quorvane.process_stock.foreign import get_foreign
    from quorvane.process_stock.orderFlow import get_order_flow
    from quorvane.process_stock.priceBars import get_priceBars

    for name in DATA_MODULES:
        sys.modules[name].base_url = url
    found: Dict[str, Any] = {"built for": Path(stock.priceBars.__file__).name}

    @guard_access
    def weekly_close(ticker: str):
        return get_priceBars(ticker, FROM, TO, "W")["Close"]

    Client().logout()
    try:
        weekly_close(TICKERS[0])
        found["guard before login"] = "ran"
    except Exception as refusal:
        found["guard before login"] = f"{type(refusal).__name__}: {refusal}"
    Client().login("demo-token")
    found["guard after login"] = table(weekly_close(TICKERS[0]))
    for ticker in TICKERS:
        for period in ("D", "W"):
            found[f"priceBars {ticker} {period}"] = table(get_priceBars(ticker, FROM, TO, period))
            found[f"orderFlow {ticker} {period}"] = table(get_order_flow(ticker, FROM, TO, period))
            found[f"dealerDesk {ticker} {period}"] = table(get_dealerDesk(ticker, FROM, TO, period, 1e9))
        for period in ("D", "MS"):
            found[f"foreign {ticker} {period}"] = table(get_foreign(ticker, FROM, TO, period, 1e9))
        found[f"dividend {ticker}"] = table(get_dividend(ticker, "2022-01-01", "2024-12-31"))
    Client().logout()
    return found


def differences(here: Dict[str, Any], there: Dict[str, Any]):
    for name in sorted(set(here) | set(there)):
        if name == "built for":
            continue
        mine, theirs = here.get(name), there.get(name)
        if mine == theirs:
            continue
        if not isinstance(mine, dict) or not isinstance(theirs, dict):
            yield f"{name}: {mine!r} here, {theirs!r} there"
            continue
        for part in ("columns", "kinds", "index"):
            if mine[part] != theirs[part]:
                yield f"{name}: {part} {mine[part]!r} here, {theirs[part]!r} there"
        if len(mine["rows"]) != len(theirs["rows"]):
            yield f"{name}: {len(mine['rows'])} rows here, {len(theirs['rows'])} there"
        for number, (row, other) in enumerate(zip(mine["rows"], theirs["rows"])):
            if row != other:
                yield f"{name}: row {number}: {row!r} here, {other!r} there"
                break


def main() -> int:
    if sys.argv[1:2] == ["--calls"]:
        print(json.dumps(calls(sys.argv[2]), ensure_ascii=False))
        return 0
    from sample_service import SampleService

    with SampleService() as service:
        here = calls(service.url)
        # The other interpreter's own quorvane, not the one on this one's path.
        env = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
        done = subprocess.run([sys.argv[1], __file__, "--calls", service.url], env=env,
                              capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        print(done.stdout + done.stderr, file=sys.stderr)
        return 1
    there = json.loads(done.stdout.splitlines()[-1])
    found = list(differences(here, there))
    for line in found[:20]:
        print(line)
    tables = [value for value in here.values() if isinstance(value, dict)]
    print(f"{len(tables)} tables, {sum(len(t['rows']) for t in tables)} rows, and the guard's refusal: "
          f"{'identical' if not found else f'{len(found)} differences'} "
          f"({here['built for']} here, {there['built for']} there)")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
