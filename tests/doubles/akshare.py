"""Double of ``akshare``: every function the module calls, scripted per symbol.

    from doubles import akshare as ak_double
    ak_double.script.stock_zh_a_hist = {"600000": ak_double.make_em_hist(5, code="600000")}
    ak_double.script.stock_us_daily = RuntimeError("Sina is down")
"""

from __future__ import annotations

import pandas as pd

from . import frames
from ._script import Library, Scripted

lib = Library("akshare", "ak.")
script = lib.script
calls = lib.calls
calls_to = lib.calls_to
reset = lib.reset

# Real parameter lists (akshare 1.19); the real-library test keeps them honest.
SIGNATURES = {
    "stock_zh_index_daily_em": "symbol='csi931151', start_date='19900101', end_date='20500101'",
    "stock_zh_a_hist": "symbol='000001', period='daily', start_date='19700101', end_date='20500101', adjust='', timeout=None",
    "fund_etf_hist_em": "symbol='159707', period='daily', start_date='19700101', end_date='20500101', adjust=''",
    "fund_etf_hist_sina": "symbol='sh510050'",
    "stock_hk_hist": "symbol='00593', period='daily', start_date='19700101', end_date='22220101', adjust=''",
    "stock_hk_daily": "symbol='00981', adjust=''",
    "stock_us_hist": "symbol='105.MSFT', period='daily', start_date='19700101', end_date='22220101', adjust=''",
    "stock_us_daily": "symbol='FB', adjust=''",
    "index_stock_cons": "symbol='399639'",
    "stock_hk_ggt_components_em": "",
    "stock_us_spot_em": "",
}

module = lib.module("akshare", __version__="1.19.5")
for _name, _params in SIGNATURES.items():
    setattr(module, _name, Scripted(lib, _name, _params, key="symbol" if "symbol" in _params else None))

EM_HIST_COLUMNS = ["日期", "开盘", "收盘", "最高", "最低", "成交量", "成交额", "振幅", "涨跌幅", "涨跌额", "换手率"]


def make_em_hist(
    n: int = 5,
    start: str = "2024-01-02",
    *,
    code: str | None = None,
    date_as: str = "date",
    close: float = 10.0,
    step: float = 0.1,
    volume: float = 1_000_000.0,
    dates=None,
) -> pd.DataFrame:
    """An EastMoney history table (``stock_zh_a_hist``, ``stock_hk_hist``,
    ``fund_etf_hist_em``, ``stock_us_hist``).

    "成交量" is in lots of 100; "日期" is a ``datetime.date`` (``date_as="date"``,
    as the A-share and Hong Kong functions give it) or text (``"str"``, as the
    ETF and US functions do). ``code`` adds "股票代码" after "日期".
    """
    rows = []
    prev = None
    for row in frames.ohlcv_rows(n, start, close=close, step=step, volume=volume, dates=dates):
        base = prev if prev is not None else row["open"]
        change = round(row["close"] - base, 4)
        rows.append(
            {
                "日期": row["date"].date() if date_as == "date" else f"{row['date']:%Y-%m-%d}",
                "开盘": row["open"],
                "收盘": row["close"],
                "最高": row["high"],
                "最低": row["low"],
                "成交量": int(row["volume"] // 100),
                "成交额": row["amount"],
                "振幅": round((row["high"] - row["low"]) / base * 100, 2),
                "涨跌幅": round(change / base * 100, 2),
                "涨跌额": change,
                "换手率": 0.5,
            }
        )
        prev = row["close"]
    df = pd.DataFrame(rows, columns=EM_HIST_COLUMNS)
    if code is not None:
        df.insert(1, "股票代码", code)
    return df


def make_en_daily(
    n: int = 5,
    start: str = "2024-01-02",
    *,
    columns=("date", "open", "close", "high", "low", "volume", "amount"),
    date_as: str = "str",
    close: float = 10.0,
    step: float = 0.1,
    volume: float = 1_000_000.0,
    dates=None,
) -> pd.DataFrame:
    """A daily table with English column names (``stock_zh_index_daily_em``,
    ``stock_hk_daily``, ``stock_us_daily``, ``fund_etf_hist_sina``).

    ``date_as`` is "str" (text), "date" (``datetime.date``) or "timestamp".
    Pick ``columns`` in the order of the function being imitated.
    """
    rows = frames.ohlcv_rows(n, start, close=close, step=step, volume=volume, dates=dates)
    for row in rows:
        day = row["date"]
        row["date"] = {"str": f"{day:%Y-%m-%d}", "date": day.date(), "timestamp": day}[date_as]
    return pd.DataFrame(rows, columns=list(columns))
