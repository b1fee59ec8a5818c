"""Deterministic daily OHLCV rows that the table builders of every double share."""

from __future__ import annotations

from typing import Iterable

import pandas as pd


def trading_days(n: int, start: str = "2024-01-02", dates: Iterable | None = None) -> pd.DatetimeIndex:
    """``n`` weekdays from ``start`` (exchange holidays are not modelled), or the given dates."""
    if dates is not None:
        return pd.DatetimeIndex(pd.to_datetime(list(dates)))
    return pd.bdate_range(start=start, periods=n)


def ohlcv_rows(
    n: int,
    start: str = "2024-01-02",
    *,
    close: float = 10.0,
    step: float = 0.1,
    volume: float = 1_000_000.0,
    dates: Iterable | None = None,
) -> list[dict]:
    """Rows with date, open, high, low, close, volume (shares) and amount (currency).

    Prices climb by ``step`` a day, so a test can tell rows apart and check
    the order; high and low bracket open and close.
    """
    days = trading_days(n, start, dates)
    rows = []
    for i, day in enumerate(days):
        c = round(close + step * i, 4)
        o = round(c - step / 2, 4)
        spread = max(abs(step), 0.01)
        rows.append(
            {
                "date": day,
                "open": o,
                "high": round(max(o, c) + spread, 4),
                "low": round(min(o, c) - spread, 4),
                "close": c,
                "volume": float(volume + 1000.0 * i),
                "amount": round((volume + 1000.0 * i) * c, 2),
            }
        )
    return rows
