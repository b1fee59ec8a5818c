"""Double of ``yfinance`` (1.7): ``download`` and ``Ticker(...).history``.

    from doubles import yfinance as yf_double
    yf_double.script.history = {"^GSPC": yf_double.make_history(5, close=5400.0)}
    yf_double.script.download = yf_double.make_download(["SPY"], 5)

``history`` is keyed by the ticker's symbol; a ticker's calls carry the
ticker object in ``record.obj``.
"""

from __future__ import annotations

import pandas as pd

from . import frames
from ._script import Library, Scripted

lib = Library("yfinance", "yf.")
script = lib.script
calls = lib.calls
calls_to = lib.calls_to
reset = lib.reset

PERIOD_DEFAULT = "1mo if start & end None"

download = Scripted(
    lib,
    "download",
    "tickers, start=None, end=None, actions=False, threads=True, ignore_tz=None, group_by='column', "
    "auto_adjust=True, back_adjust=False, repair=False, keepna=False, progress=True, "
    f"period={PERIOD_DEFAULT!r}, interval='1d', prepost=False, rounding=False, timeout=10, session=None, "
    "multi_level_index=True",
    key=lambda _obj, a: [a["tickers"]] if isinstance(a["tickers"], str) else [],
)


def _init_ticker(obj, a):
    obj.ticker = a["ticker"].upper() if isinstance(a["ticker"], str) else a["ticker"]
    obj.session = a["session"]


class Ticker:
    __init__ = Scripted(lib, "Ticker", "ticker, session=None", label="yf.Ticker", default=_init_ticker, method=True)
    # The real method passes its arguments on to the price-history scraper,
    # whose parameters are these.
    history = Scripted(
        lib,
        "history",
        f"period={PERIOD_DEFAULT!r}, interval='1d', start=None, end=None, prepost=False, actions=True, "
        "auto_adjust=True, back_adjust=False, repair=False, keepna=False, rounding=False, timeout=10, raise_errors=False",
        label="yf.Ticker.history",
        key=lambda obj, _a: [obj.ticker],
        method=True,
    )

    def __repr__(self):
        return f"yfinance.Ticker object <{self.ticker}>"


lib.module("yfinance", package=True, __version__="1.7.0", download=download, Ticker=Ticker)


def make_history(
    n: int = 5,
    start: str = "2024-06-03",
    *,
    tz: str = "America/New_York",
    close: float = 100.0,
    step: float = 1.0,
    volume: float = 50_000_000.0,
    dates=None,
) -> pd.DataFrame:
    """A ``Ticker.history`` table: Open, High, Low, Close, Volume, Dividends,
    Stock Splits, indexed by exchange-zone midnights under the name "Date"."""
    rows = frames.ohlcv_rows(n, start, close=close, step=step, volume=volume, dates=dates)
    index = pd.DatetimeIndex([r["date"] for r in rows]).tz_localize(tz)
    index.name = "Date"
    return pd.DataFrame(
        {
            "Open": [r["open"] for r in rows],
            "High": [r["high"] for r in rows],
            "Low": [r["low"] for r in rows],
            "Close": [r["close"] for r in rows],
            "Volume": [int(r["volume"]) for r in rows],
            "Dividends": 0.0,
            "Stock Splits": 0.0,
        },
        index=index,
    )


def make_download(tickers, n: int = 5, start: str = "2024-06-03", **kw) -> pd.DataFrame:
    """A ``download`` table: columns (Price, Ticker) for Close, High, Low, Open,
    Volume, tz-naive "Date" index."""
    tickers = [tickers] if isinstance(tickers, str) else list(tickers)
    base = kw.pop("close", 100.0)
    parts = {}
    for i, symbol in enumerate(tickers):
        hist = make_history(n, start, close=base + 10 * i, **kw)
        hist.index = hist.index.tz_localize(None)
        parts[symbol] = hist[["Close", "High", "Low", "Open", "Volume"]]
    data = pd.concat(parts, axis=1, names=["Ticker", "Price"])
    data = data.swaplevel(0, 1, axis=1).sort_index(axis=1, level=0, sort_remaining=False)
    return data
