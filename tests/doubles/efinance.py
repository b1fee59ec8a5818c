"""Double of ``efinance``: the stock and fund history calls, scripted per code.

    from doubles import efinance as ef_double
    ef_double.script.stock_get_quote_history = {"510300": ef_double.make_quote_history(5, code="510300")}
"""

from __future__ import annotations

import pandas as pd

from . import frames
from ._script import Library, Scripted

lib = Library("efinance", "ef.")
script = lib.script
calls = lib.calls
calls_to = lib.calls_to
reset = lib.reset


def _codes(name):
    def keys(_obj, a):
        value = a[name]
        return [value] if isinstance(value, str) else []

    return keys


package = lib.module("efinance", package=True, __version__="0.5.9")
lib.module(
    "efinance.stock",
    package=True,
    get_quote_history=Scripted(
        lib,
        "stock_get_quote_history",
        "stock_codes, beg='19000101', end='20500101', klt=101, fqt=1, market_type=None, suppress_error=False, use_id_cache=True, **kwargs",
        label="ef.stock.get_quote_history",
        key=_codes("stock_codes"),
    ),
)
lib.module(
    "efinance.fund",
    package=True,
    get_quote_history=Scripted(
        lib, "fund_get_quote_history", "fund_code, pz=40000", label="ef.fund.get_quote_history", key=_codes("fund_code")
    ),
    get_base_info=Scripted(lib, "fund_get_base_info", "fund_codes", label="ef.fund.get_base_info", key=_codes("fund_codes")),
)

QUOTE_HISTORY_COLUMNS = ["股票名称", "股票代码", "日期", "开盘", "收盘", "最高", "最低", "成交量", "成交额", "振幅", "涨跌幅", "涨跌额", "换手率"]


def make_quote_history(
    n: int = 5, start: str = "2024-01-02", *, code: str = "510300", name: str = "沪深300ETF", **kw
) -> pd.DataFrame:
    """A ``stock.get_quote_history`` table: text dates, "成交量" in lots of 100."""
    rows = []
    prev = None
    for row in frames.ohlcv_rows(n, start, **kw):
        base = prev if prev is not None else row["open"]
        change = round(row["close"] - base, 4)
        rows.append(
            [name, code, f"{row['date']:%Y-%m-%d}", row["open"], row["close"], row["high"], row["low"],
             int(row["volume"] // 100), row["amount"], round((row["high"] - row["low"]) / base * 100, 2),
             round(change / base * 100, 2), change, 0.5]
        )  # fmt: skip
        prev = row["close"]
    return pd.DataFrame(rows, columns=QUOTE_HISTORY_COLUMNS)
