"""What the module takes from each outside library, in one list.

The doubles must provide every name here, and the real libraries must still
have them with the same parameters (tests/test_real_libraries.py).
"""

from __future__ import annotations

import inspect
import types
from typing import Any

SURFACE: dict[str, list[str]] = {
    "mootdx2": [
        "mootdx2.quotes.Quotes.factory",
        "mootdx2.quotes.StdQuotes.bars",
        "mootdx2.quotes.StdQuotes.index_bars",
        "mootdx2.quotes.StdQuotes.xdxr",
        "mootdx2.quotes.StdQuotes.finance",
        "mootdx2.quotes.StdQuotes.close",
        "mootdx2.quotes.AutoSwitchClient._reconnect",
        "mootdx2.tdx.compat.NativeTdxHqAPI.get_security_count",
        "mootdx2.tdx.compat.NativeTdxHqAPI.disconnect",
        "mootdx2.server.ServerManager",
        "mootdx2.server.ServerManager.report_failure",
        "mootdx2.server.ServerManager.current_server",
        "mootdx2.server.ServerManager.candidates",
        "mootdx2.consts.KLINE_DAILY",
        "mootdx2.consts.KLINE_WEEKLY",
        "mootdx2.consts.MARKET_SH",
        "mootdx2.consts.MARKET_SZ",
        "mootdx2.consts.HQ_HOSTS",
        "mootdx2.config.get",
        "mootdx2.config.set",
        "mootdx2.tdx.transport.sync.ping_host",
        "mootdx2.daily.DailyDataManager",
        "mootdx2.daily.DailyDataManager.get_daily",
        "mootdx2.reader.Reader.factory",
        "mootdx2.reader.StdReader.daily",
        "mootdx2.reader.StdReader.xdxr",
        "mootdx2.tools.reversion.reversion",
    ],
    "akshare": [
        "akshare.stock_zh_index_daily_em",
        "akshare.stock_zh_a_hist",
        "akshare.fund_etf_hist_em",
        "akshare.fund_etf_hist_sina",
        "akshare.stock_hk_hist",
        "akshare.stock_hk_daily",
        "akshare.stock_us_hist",
        "akshare.stock_us_daily",
        "akshare.index_stock_cons",
        "akshare.stock_hk_ggt_components_em",
        "akshare.stock_us_spot_em",
    ],
    "baostock": [
        "baostock.login",
        "baostock.logout",
        "baostock.query_history_k_data_plus",
        "baostock.query_sz50_stocks",
        "baostock.query_hs300_stocks",
        "baostock.query_zz500_stocks",
        "baostock.data.resultset.ResultData.next",
        "baostock.data.resultset.ResultData.get_row_data",
        "baostock.data.resultset.ResultData.get_data",
    ],
    "efinance": [
        "efinance.stock.get_quote_history",
        "efinance.fund.get_quote_history",
        "efinance.fund.get_base_info",
    ],
    "yfinance": [
        "yfinance.download",
        "yfinance.Ticker",
        "yfinance.Ticker.history",
    ],
    "longport": [
        "longport.openapi.Config",
        "longport.openapi.QuoteContext",
        "longport.openapi.QuoteContext.quote",
        "longport.openapi.QuoteContext.history_candlesticks_by_date",
        "longport.openapi.Period.Day",
        "longport.openapi.AdjustType.ForwardAdjust",
        "longport.openapi.AdjustType.NoAdjust",
    ],
    "fear_and_greed": [
        "fear_and_greed.get",
        "fear_and_greed.FearGreedIndex",
    ],
    # Used as it is (no double): the indicator functions and MA_Type.
    "talib": [
        "talib.MA_Type.EMA",
        "talib.MA_Type.SMA",
        "talib.BBANDS",
        "talib.STOCH",
        "talib.MACD",
        "talib.RSI",
        "talib.SMA",
        "talib.EMA",
        "talib.MA",
        "talib.ATR",
        "talib.STDDEV",
    ],
}

# Libraries that tests replace with a double.
DOUBLED = ("mootdx2", "akshare", "baostock", "efinance", "yfinance", "longport", "fear_and_greed")

# Where the real parameters of a name live when the name itself only passes
# its arguments on.
SIGNATURE_SOURCE = {
    "yfinance.Ticker.history": "yfinance.scrapers.history.PriceHistory.history",
}


def resolve(dotted: str, import_module) -> Any:
    """Resolve a dotted name as code reaches it: through attributes
    (``bs.login``) or through submodule imports (``from mootdx2.server import
    ServerManager``, where the package attribute ``server`` is a function)."""
    parts = dotted.split(".")

    def static_attr(obj, attr):
        # getattr_static keeps properties and static methods visible as such.
        try:
            value = inspect.getattr_static(obj, attr)
        except AttributeError:
            value = getattr(obj, attr)
        return value.__func__ if isinstance(value, (staticmethod, classmethod)) else value

    def walk(obj, path, rest):
        if not rest:
            return obj
        attr, tail = rest[0], rest[1:]
        steps = []
        if isinstance(obj, types.ModuleType):
            if attr in vars(obj):
                steps.append(lambda: vars(obj)[attr])
            steps.append(lambda: import_module(f"{path}.{attr}"))
        else:
            steps.append(lambda: static_attr(obj, attr))
        error: Exception | None = None
        for step in steps:
            try:
                return walk(step(), f"{path}.{attr}", tail)
            except (ImportError, AttributeError) as exc:
                error = exc
        raise error

    return walk(import_module(parts[0]), parts[0], parts[1:])


_SIMPLE = (str, int, float, bool, type(None))
_KIND = {
    inspect.Parameter.POSITIONAL_ONLY: "pos",
    inspect.Parameter.POSITIONAL_OR_KEYWORD: "",
    inspect.Parameter.KEYWORD_ONLY: "kw",
}


def describe(obj: Any) -> Any:
    """A comparable description: constants by value, sequences by item shape,
    callables by parameter names, kinds and simple defaults."""
    if isinstance(obj, property):
        return "property"
    if isinstance(obj, bool) or isinstance(obj, (int, float, str)):
        return ["value", obj]
    if isinstance(obj, (list, tuple)):
        first = obj[0] if obj else None
        shape = [type(x).__name__ for x in first] if isinstance(first, (list, tuple)) else type(first).__name__
        return ["sequence", shape]
    if not callable(obj):
        return ["object"]
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        return ["callable", None]
    params = list(sig.parameters.values())
    if params and params[0].name in ("self", "cls"):
        params = params[1:]
    out = []
    for p in params:
        if p.kind is inspect.Parameter.VAR_POSITIONAL:
            out.append("*")
        elif p.kind is inspect.Parameter.VAR_KEYWORD:
            out.append("**")
        else:
            text = p.name + (":" + _KIND[p.kind] if _KIND[p.kind] else "")
            if p.default is not inspect.Parameter.empty:
                text += "=" + (repr(p.default) if isinstance(p.default, _SIMPLE) else "<obj>")
            out.append(text)
    return ["callable", out]
