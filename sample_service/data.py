"""Deterministic synthetic market data.

Every series is a function of the ticker and the trading day alone, so a
day's record is the same whatever range it is requested in.
"""

import datetime as dt
import random
import zlib
from typing import Dict, List, Optional

# Ticker -> (reference price in thousand dong, typical daily volume).
TICKERS: Dict[str, tuple] = {
    "QVA": (86.4, 2_400_000),
    "HPX": (27.9, 18_500_000),
    "MSR": (15.2, 6_100_000),
    "TCL": (112.0, 950_000),
    "VNQ": (41.5, 4_300_000),
}

DATE_COLUMNS = ("Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện")


def parse_day(text: str) -> Optional[dt.date]:
    """A query date, "YYYY-MM-DD"; None when it cannot be read."""
    try:
        return dt.date.fromisoformat(text[:10])
    except (TypeError, ValueError):
        return None


def trading_days(start: dt.date, end: dt.date) -> List[dt.date]:
    days = []
    day = start
    while day <= end:
        if day.weekday() < 5:
            days.append(day)
        day += dt.timedelta(days=1)
    return days


def _rng(*parts: object) -> random.Random:
    return random.Random(zlib.crc32("|".join(map(str, parts)).encode("utf-8")))


def _close(ticker: str, day: dt.date) -> float:
    """A closing price that wanders around the reference price."""
    base, _ = TICKERS[ticker]
    phase = day.toordinal()
    drift = 0.08 * ((phase % 97) / 97 - 0.5) + 0.05 * ((phase % 23) / 23 - 0.5)
    noise = _rng(ticker, "close", day).uniform(-0.012, 0.012)
    return round(base * (1 + drift + noise), 2)


def price_bars(ticker: str, days: List[dt.date]) -> List[dict]:
    records = []
    _, volume = TICKERS[ticker]
    for day in days:
        rng = _rng(ticker, "bar", day)
        close = _close(ticker, day)
        open_ = round(close * (1 + rng.uniform(-0.015, 0.015)), 2)
        high = round(max(open_, close) * (1 + rng.uniform(0, 0.02)), 2)
        low = round(min(open_, close) * (1 - rng.uniform(0, 0.02)), 2)
        records.append({
            "DateTime": f"{day.isoformat()}T00:00:00",
            "Open": open_,
            "High": high,
            "Low": low,
            "Close": close,
            "Volume": int(volume * rng.uniform(0.4, 1.8)) // 100 * 100,
        })
    return records


def order_flow(ticker: str, days: List[dt.date]) -> List[dict]:
    records = []
    _, volume = TICKERS[ticker]
    for day in days:
        rng = _rng(ticker, "flow", day)
        if rng.random() < 0.08:  # a day without matched orders
            counts = (0, 0, 0, 0)
        else:
            buy = int(volume * rng.uniform(0.2, 0.9)) // 100 * 100
            sell = int(volume * rng.uniform(0.2, 0.9)) // 100 * 100
            counts = (rng.randint(200, 4000), buy, rng.randint(200, 4000), sell)
        records.append(dict(zip(
            ("DateTime", "buyCount", "buyVolume", "sellCount", "sellVolume"),
            (f"{day.isoformat()}T00:00:00",) + counts)))
    return records


def foreign(ticker: str, days: List[dt.date]) -> List[dict]:
    records = []
    _, volume = TICKERS[ticker]
    for day in days:
        rng = _rng(ticker, "foreign", day)
        close = _close(ticker, day)
        buy_volume = int(volume * rng.uniform(0.02, 0.25)) // 100 * 100
        sell_volume = int(volume * rng.uniform(0.02, 0.25)) // 100 * 100
        buy_value = buy_volume * close * 1000
        sell_value = sell_volume * close * 1000
        records.append({
            "DateTime": f"{day.isoformat()}T00:00:00",
            "Close": close,
            "buyForeignVolume": buy_volume,
            "sellForeignVolume": sell_volume,
            "buyForeignValue": buy_value,
            "sellForeignValue": sell_value,
            "netForeignValue": buy_value - sell_value,
        })
    return records


def dealer_desk(ticker: str, days: List[dt.date]) -> List[dict]:
    records = []
    _, volume = TICKERS[ticker]
    for day in days:
        rng = _rng(ticker, "dealer", day)
        net_volume = int(volume * rng.uniform(-0.05, 0.05)) // 100 * 100
        records.append({
            "DateTime": f"{day.isoformat()}T00:00:00",
            "dealerDeskNetValue": net_volume * _close(ticker, day) * 1000,
        })
    return records


def dividends(ticker: str, start: dt.date, end: dt.date) -> List[dict]:
    """Two events a year, the later one announced but not yet scheduled."""
    records = []
    for year in range(start.year, end.year + 1):
        rng = _rng(ticker, "dividend", year)
        for half, month in enumerate((5, 11)):
            ex_day = dt.date(year, month, 10 + rng.randint(0, 12))
            if not start <= ex_day <= end:
                continue
            cash = half == 0 or rng.random() < 0.5
            scheduled = half == 0
            record_day = ex_day + dt.timedelta(days=1)
            pay_day = ex_day + dt.timedelta(days=30 + rng.randint(0, 20))
            records.append({
                "Mã CK": ticker,
                DATE_COLUMNS[0]: ex_day.isoformat(),
                DATE_COLUMNS[1]: record_day.isoformat(),
                DATE_COLUMNS[2]: pay_day.isoformat() if scheduled else "-",
                "Loại sự kiện": "Trả cổ tức bằng tiền" if cash else "Trả cổ tức bằng cổ phiếu",
                "Tỷ lệ": f"{rng.choice((5, 8, 10, 12, 15))}%" if cash else "-",
                "Giá trị (đồng/CP)": rng.choice((500, 800, 1000, 1200, 1500)) if cash else "-",
            })
    return records
