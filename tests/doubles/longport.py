"""Double of the LongPort OpenAPI SDK (``longport.openapi``).

    from doubles import longport as lp_double
    lp_double.script.history_candlesticks_by_date = {"700.HK": lp_double.make_candles(5, close=380.0)}
    lp_double.script.quote = [lp_double.security_quote("HSI.HK", last_done=18000.0)]
    lp_double.script.QuoteContext = RuntimeError("no credentials")   # the connect fails

Calls returning lists take a plain list as the reply; use ``Seq`` for a
sequence of replies there.
"""

from __future__ import annotations

import datetime
import os
from decimal import Decimal

from . import frames
from ._script import Library, Scripted

lib = Library("longport", "longport.openapi.")
script = lib.script
calls = lib.calls
calls_to = lib.calls_to
reset = lib.reset

HK_TZ = datetime.timezone(datetime.timedelta(hours=8))


class OpenApiException(Exception):
    def __init__(self, message="", code=None):
        super().__init__(message)
        self.code = code
        self.message = message


class _Member:
    def __init__(self, owner: str, name: str):
        self._owner = owner
        self._name = name

    def __repr__(self):
        return f"{self._owner}.{self._name}"

    __str__ = __repr__


def _members(owner: str, *names: str) -> type:
    cls = type(owner, (), {"__module__": "builtins"})
    for name in names:
        setattr(cls, name, _Member(owner, name))
    return cls


Period = _members("Period", "Unknown", "Min_1", "Min_5", "Min_15", "Min_30", "Min_60", "Day", "Week", "Month", "Year")
AdjustType = _members("AdjustType", "NoAdjust", "ForwardAdjust")
TradeSessions = _members("TradeSessions", "Intraday", "All")
Language = _members("Language", "ZH_CN", "ZH_HK", "EN")


def _init_config(cfg, a):
    for name, value in a.items():
        setattr(cfg, name, value)


class Config:
    __init__ = Scripted(
        lib,
        "Config",
        "app_key, app_secret, access_token, http_url=None, quote_ws_url=None, trade_ws_url=None, language=None, "
        "enable_overnight=False, push_candlestick_mode=..., enable_print_quote_packages=True, log_path=None",
        default=_init_config,
        method=True,
    )

    @classmethod
    def from_env(cls):
        missing = [v for v in ("LONGPORT_APP_KEY", "LONGPORT_APP_SECRET", "LONGPORT_ACCESS_TOKEN") if not os.environ.get(v)]
        if missing:
            raise OpenApiException(f"missing environment variable: {missing[0]}")
        return cls(os.environ["LONGPORT_APP_KEY"], os.environ["LONGPORT_APP_SECRET"], os.environ["LONGPORT_ACCESS_TOKEN"])

    from_apikey_env = from_env

    @classmethod
    def from_apikey(cls, app_key, app_secret, access_token, **kwargs):
        return cls(app_key, app_secret, access_token, **kwargs)


def _init_context(ctx, a):
    ctx.config = a["config"]


def _by_symbol(_obj, a):
    return [a["symbol"]]


class QuoteContext:
    __init__ = Scripted(lib, "QuoteContext", "config", default=_init_context, method=True)
    quote = Scripted(lib, "quote", "symbols", label="longport.openapi.QuoteContext.quote", list_result=True, method=True)
    history_candlesticks_by_date = Scripted(
        lib,
        "history_candlesticks_by_date",
        "symbol, period, adjust_type, start=None, end=None, trade_sessions=...",
        label="longport.openapi.QuoteContext.history_candlesticks_by_date",
        key=_by_symbol,
        list_result=True,
        method=True,
    )
    candlesticks = Scripted(
        lib,
        "candlesticks",
        "symbol, period, count, adjust_type, trade_sessions=...",
        label="longport.openapi.QuoteContext.candlesticks",
        key=_by_symbol,
        list_result=True,
        method=True,
    )


class Candlestick:
    """A candle: Decimal prices and turnover, integer volume, aware timestamp."""

    def __init__(self, timestamp, open, high, low, close, volume, turnover, trade_session=None):
        self.timestamp = timestamp
        self.open = Decimal(str(open))
        self.high = Decimal(str(high))
        self.low = Decimal(str(low))
        self.close = Decimal(str(close))
        self.volume = int(volume)
        self.turnover = Decimal(str(turnover))
        self.trade_session = trade_session if trade_session is not None else TradeSessions.Intraday

    def __repr__(self):
        return f"Candlestick {{ timestamp: {self.timestamp}, close: {self.close} }}"


class SecurityQuote:
    def __init__(self, **fields):
        for name, value in fields.items():
            setattr(self, name, value)

    def __repr__(self):
        return f"SecurityQuote {{ symbol: {getattr(self, 'symbol', '?')}, last_done: {getattr(self, 'last_done', '?')} }}"


def make_candles(n: int = 5, start: str = "2024-06-03", *, tz=HK_TZ, **kw) -> list[Candlestick]:
    """Daily candles, oldest first, stamped at midnight in ``tz``."""
    out = []
    for row in frames.ohlcv_rows(n, start, **kw):
        stamp = row["date"].to_pydatetime().replace(tzinfo=tz)
        out.append(Candlestick(stamp, row["open"], row["high"], row["low"], row["close"], row["volume"], row["amount"]))
    return out


def security_quote(symbol: str, last_done: float = 100.0, *, prev_close: float | None = None, timestamp=None, **fields) -> SecurityQuote:
    """A quote with the attributes the real ``SecurityQuote`` has (Decimal prices)."""
    prev_close = last_done * 0.99 if prev_close is None else prev_close
    if timestamp is None:
        timestamp = datetime.datetime(2024, 6, 14, 16, 8, 0, tzinfo=HK_TZ)
    values = {
        "symbol": symbol,
        "last_done": Decimal(str(last_done)),
        "prev_close": Decimal(str(round(prev_close, 3))),
        "open": Decimal(str(round(prev_close * 1.001, 3))),
        "high": Decimal(str(round(max(last_done, prev_close) * 1.01, 3))),
        "low": Decimal(str(round(min(last_done, prev_close) * 0.99, 3))),
        "timestamp": timestamp,
        "volume": 123_456_789,
        "turnover": Decimal("98765432100.5"),
        "trade_status": "Normal",
        "pre_market_quote": None,
        "post_market_quote": None,
        "overnight_quote": None,
    }
    values.update(fields)
    return SecurityQuote(**values)


package = lib.module("longport", package=True, OpenApiException=OpenApiException)
lib.module(
    "longport.openapi",
    Config=Config,
    QuoteContext=QuoteContext,
    Period=Period,
    AdjustType=AdjustType,
    TradeSessions=TradeSessions,
    Language=Language,
    Candlestick=Candlestick,
    SecurityQuote=SecurityQuote,
    OpenApiException=OpenApiException,
)
