"""Double of the TDX client library ``mootdx2`` (shapes of release 1.7.4).

Nothing here touches a socket: the quote hosts are loopback addresses, the
"connection" is bookkeeping, and every data reply comes from the script::

    from doubles import mootdx2 as tdx
    tdx.script.index_bars = {"000001": tdx.make_bars(30, close=3000.0)}
    tdx.script.bars = [tdx.make_bars(5), RuntimeError("reset by peer"), None]
    tdx.script.ping_host = {"127.0.0.11": 0.012, "127.0.0.12": None}
    client = tdx.last_client()           # the client that Quotes.factory built

Scripted calls (``script.<name>`` / ``calls_to(<name>)``): factory, bars,
index_bars, xdxr, finance, close, get_security_count, _reconnect, disconnect,
socket_close, sock_close, report_failure, current_server, config_get,
config_set, ping_host, DailyDataManager, get_daily, reader_factory, daily,
reader_xdxr, reversion.
"""

from __future__ import annotations

import copy
import logging
import os
import threading
import time
from typing import Any

import pandas as pd

from . import frames
from ._script import Library, Scripted

lib = Library("mootdx2", "mootdx2 ")
script = lib.script
calls = lib.calls
calls_to = lib.calls_to
reset = lib.reset

# ---------------------------------------------------------------------------
# consts
# ---------------------------------------------------------------------------

_HQ_DEFAULT = [
    ("测试行情主站1", "127.0.0.11", 7709),
    ("测试行情主站2", "127.0.0.12", 7709),
    ("测试行情主站3", "127.0.0.13", 7711),
]
_EX_DEFAULT = [("测试扩展行情主站", "127.0.0.21", 7727)]
_GP_DEFAULT = [("测试财务数据主站", "127.0.0.31", 7709)]

# Lists keep their identity across resets: code that bound them at import
# still sees the restored contents.
HQ_HOSTS: list = list(_HQ_DEFAULT)
EX_HOSTS: list = list(_EX_DEFAULT)
GP_HOSTS: list = list(_GP_DEFAULT)


def _default_tdxdir() -> str:
    return os.environ.get("MOOTDX2_TDX_DIR") or os.path.join(os.path.expanduser("~"), ".local", "share", "new_tdx")


CONST_VALUES = {
    "MARKET_SZ": 0,
    "MARKET_SH": 1,
    "MARKET_BJ": 2,
    "KLINE_5MIN": 0,
    "KLINE_15MIN": 1,
    "KLINE_30MIN": 2,
    "KLINE_1HOUR": 3,
    "KLINE_DAILY": 4,
    "KLINE_WEEKLY": 5,
    "KLINE_MONTHLY": 6,
    "KLINE_EX_1MIN": 7,
    "KLINE_1MIN": 8,
    "KLINE_RI_K": 9,
    "KLINE_3MONTH": 10,
    "KLINE_YEARLY": 11,
    "MAX_TRANSACTION_COUNT": 2000,
    "MAX_KLINE_COUNT": 800,
}

_pkg = lib.module("mootdx2", package=True, __version__="1.7.4")
consts = lib.module(
    "mootdx2.consts",
    HQ_HOSTS=HQ_HOSTS,
    EX_HOSTS=EX_HOSTS,
    GP_HOSTS=GP_HOSTS,
    DEFAULT_TDXDIR=_default_tdxdir(),
    **CONST_VALUES,
)
consts.CONFIG = {
    "SERVER": {"HQ": HQ_HOSTS, "EX": EX_HOSTS, "GP": GP_HOSTS},
    "BESTIP": {"HQ": "", "EX": "", "GP": ""},
    "TDXDIR": consts.DEFAULT_TDXDIR,
}

# ---------------------------------------------------------------------------
# logger, exceptions
# ---------------------------------------------------------------------------

_logger = logging.getLogger("mootdx2")


def _get_logger(name=None):
    if name is None:
        return _logger
    return logging.getLogger(name if name.startswith("mootdx2") else f"mootdx2.{name}")


lib.module("mootdx2.logger", logger=_logger, get_logger=_get_logger)


class MootdxException(Exception):
    pass


class ReversionError(MootdxException):
    def __init__(self, message="", symbol=None):
        super().__init__(message)
        self.symbol = symbol


class AllServersExhaustedError(MootdxException):
    pass


lib.module(
    "mootdx2.exceptions",
    MootdxException=MootdxException,
    ReversionError=ReversionError,
    AllServersExhaustedError=AllServersExhaustedError,
)

# ---------------------------------------------------------------------------
# config: an in-memory store, as the real one is after start-up
# ---------------------------------------------------------------------------

settings: dict = {}


def _fresh_settings() -> dict:
    return {
        "SERVER": {"HQ": HQ_HOSTS, "EX": EX_HOSTS, "GP": GP_HOSTS},
        "BESTIP": {"HQ": "", "EX": "", "GP": ""},
        "TDXDIR": _default_tdxdir(),
        "FALLBACK_MODE": "raise",
    }


def _config_get(_obj, a):
    parts = a["key"].split(".")
    cfg = settings.get(parts[0])
    if len(parts) > 1 and isinstance(cfg, dict):
        for part in parts[1:]:
            cfg = cfg.get(part, a["default"])
            if not isinstance(cfg, dict):
                break
    elif len(parts) > 1:
        return a["default"]
    return cfg if cfg is not None else a["default"]


def _config_set(_obj, a):
    settings[a["key"]] = a["value"]


config = lib.module(
    "mootdx2.config",
    settings=settings,
    get=Scripted(lib, "config_get", "key, default=None", label="mootdx2.config.get", default=_config_get),
    set=Scripted(lib, "config_set", "key, value", label="mootdx2.config.set", default=_config_set),
    setup=lambda: True,
    has=lambda key, value: value in settings[key],
    clone=lambda: copy.deepcopy(settings),
    update=lambda options: settings.update(options),
)

# ---------------------------------------------------------------------------
# server: the candidate-pool manager
# ---------------------------------------------------------------------------


def _current_server(mgr, _a):
    with mgr.lock:
        if not mgr._candidates:
            return None
        return mgr._candidates[mgr._cursor % len(mgr._candidates)]


def _report_failure(mgr, a):
    # Same bookkeeping as the real manager: count failures, and once the
    # threshold is reached cool the host down and move to the next one.
    with mgr.lock:
        old = a["server"] or mgr.current
        now = time.time()
        mgr._failures += 1
        if mgr._failures < mgr.threshold:
            return False
        mgr._failures = 0
        if old:
            mgr._cooldown[old] = now + mgr.cooldown_ttl
        if not mgr._candidates:
            return False
        n = len(mgr._candidates)
        nxt = None
        for step in range(1, n + 1):
            idx = (mgr._cursor + step) % n
            cand = mgr._candidates[idx]
            if now >= mgr._cooldown.get(cand, 0):
                mgr._cursor = idx
                nxt = cand
                break
        if nxt is None:
            mgr._cursor = (mgr._cursor + 1) % n
            nxt = min(mgr._candidates, key=lambda s: mgr._cooldown.get(s, 0))
        mgr.current = nxt
        return True


class ServerManager:
    """Candidate pool: ordered (host, port) pairs, a cursor and cool-downs."""

    # The real ``candidates`` is a property returning a copy; a test that
    # needs a live list can set this to True on the class or an instance.
    live_candidates = False

    def __init__(self, index="HQ", candidates=None, threshold=3, cooldown_ttl=300, circuit_breaker=None):
        self.index = index
        self.threshold = max(1, int(threshold))
        self.cooldown_ttl = max(10, int(cooldown_ttl))
        self.lock = threading.RLock()
        self._candidates = list(candidates) if candidates else self._default_candidates(index)
        self._cursor = 0
        self._failures = 0
        self._cooldown: dict = {}
        self.current = self._candidates[0] if self._candidates else None

    @staticmethod
    def _default_candidates(index):
        ordered = []
        best = (settings.get("BESTIP") or {}).get(index)
        if best:
            ordered.append(tuple(best))
        for item in (settings.get("SERVER") or {}).get(index) or []:
            cand = (item[1], int(item[2]))
            if cand not in ordered:
                ordered.append(cand)
        return ordered

    @property
    def candidates(self):
        if self.live_candidates:
            return self._candidates
        with self.lock:
            return list(self._candidates)

    current_server = Scripted(lib, "current_server", "", label="mootdx2 manager.current_server", default=_current_server, method=True)
    report_failure = Scripted(
        lib, "report_failure", "server=None, reason=''", label="mootdx2 manager.report_failure", default=_report_failure, method=True
    )

    def mark_connected(self, addr, port):
        with self.lock:
            target = (addr, int(port))
            if target in self._candidates:
                self._cursor = self._candidates.index(target)
            self.current = target
            self._failures = 0

    def report_success(self, server=None):
        with self.lock:
            target = server or self.current
            self._failures = 0
            self._cooldown.pop(target, None)


lib.module("mootdx2.server", ServerManager=ServerManager, server=lambda index=None, limit=5, console=False, sync=True: [])

# ---------------------------------------------------------------------------
# connection objects: API object -> socket client -> socket
# ---------------------------------------------------------------------------


def _mark(attr, value):
    def default(obj, _a):
        setattr(obj, attr, value)

    return default


class Socket:
    """The innermost socket handle."""

    close = Scripted(lib, "sock_close", "", label="mootdx2 sock.close", default=_mark("closed", True), method=True)

    def __init__(self):
        self.closed = False


class SocketClient:
    """The protocol's socket client: holds the socket in ``sock`` (or ``_sock``)."""

    close = Scripted(lib, "socket_close", "", label="mootdx2 socket_client.close", default=_mark("closed", True), method=True)

    def __init__(self, sock=None):
        self.sock = sock if sock is not None else Socket()
        self.closed = False


class NativeTdxHqAPI:
    """Protocol object with the heartbeat and disconnect calls."""

    get_security_count = Scripted(
        lib, "get_security_count", "market=0", label="mootdx2 api.get_security_count", default=lambda obj, a: 5000, method=True
    )
    disconnect = Scripted(lib, "disconnect", "", label="mootdx2 api.disconnect", default=_mark("connected_to", None), method=True)

    def __init__(self, heartbeat=False, auto_retry=True, raise_exception=False):
        self.heartbeat = heartbeat
        self.auto_retry = auto_retry
        self.raise_exception = raise_exception
        self.client = SocketClient()
        self.connected_to = None

    def connect(self, ip="127.0.0.1", port=7709, time_out=15.0):
        self.connected_to = (ip, int(port))
        return True

    def close(self):
        self.disconnect()


def _reconnect(api, _a):
    target = api.manager.current_server() if api.manager is not None else None
    if target:
        api.client = SocketClient()
        api.connected_to = (target[0], int(target[1]))


class AutoSwitchClient(NativeTdxHqAPI):
    """The API object a client holds in ``client``; reconnects where the manager points."""

    _reconnect = Scripted(lib, "_reconnect", "target_api=None", label="mootdx2 api._reconnect", default=_reconnect, method=True)

    def __init__(self, manager=None, timeout=15, **kwargs):
        super().__init__(**kwargs)
        self.manager = manager
        self.timeout = timeout


lib.module("mootdx2.tdx", package=True)
lib.module("mootdx2.tdx.compat", NativeTdxHqAPI=NativeTdxHqAPI)

# ---------------------------------------------------------------------------
# quotes
# ---------------------------------------------------------------------------


def _close_client(client, _a):
    client.closed = True
    if client.client is not None:
        client.client.connected_to = None


class StdQuotes:
    """Standard-market quotes client, "connected" to the first candidate host."""

    def __init__(
        self,
        server=None,
        bestip=False,
        timeout=15,
        heartbeat=False,
        auto_retry=True,
        raise_exception=False,
        auto_switch=3,
        driver=None,
        fallback_mode=None,
        **kwargs,
    ):
        self.server = tuple(server) if server else None
        self.timeout = timeout or 15
        self.driver = driver or "native"
        self.fallback_mode = fallback_mode
        self.options = dict(kwargs)
        self.closed = False
        self.manager = ServerManager("HQ", candidates=[self.server] if self.server else None, threshold=auto_switch or 1)
        self.client = AutoSwitchClient(self.manager, timeout=self.timeout, heartbeat=heartbeat)
        for addr, port in self.manager.candidates:
            self.server = (addr, int(port))
            self.manager.mark_connected(addr, port)
            self.client.connect(addr, int(port), time_out=self.timeout)
            break

    bars = Scripted(
        lib, "bars", "symbol='000001', frequency=9, start=0, offset=800, **kwargs", label="mootdx2 client.bars", key="symbol", method=True
    )
    index_bars = Scripted(
        lib,
        "index_bars",
        "symbol='000001', frequency=9, start=0, offset=800, **kwargs",
        label="mootdx2 client.index_bars",
        key="symbol",
        method=True,
    )
    xdxr = Scripted(lib, "xdxr", "symbol='', **kwargs", label="mootdx2 client.xdxr", key="symbol", method=True)
    finance = Scripted(lib, "finance", "symbol='000001', **kwargs", label="mootdx2 client.finance", key="symbol", method=True)
    close = Scripted(lib, "close", "", label="mootdx2 client.close", default=_close_client, method=True)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False

    def __repr__(self):
        return f"<StdQuotes double server={self.server!r}>"


def _factory(_obj, a):
    if a["market"] == "ext":
        raise NotImplementedError("the mootdx2 double has no extended market")
    return StdQuotes(driver=a["driver"], **a["kwargs"])


class Quotes:
    def __new__(cls, market="std", driver=None, **kwargs):
        return cls.factory(market=market, driver=driver, **kwargs)

    factory = Scripted(
        lib, "factory", "market='std', driver=None, **kwargs", label="mootdx2 Quotes.factory", default=_factory, static=True
    )


lib.module("mootdx2.quotes", Quotes=Quotes, StdQuotes=StdQuotes, AutoSwitchClient=AutoSwitchClient)


def last_client() -> StdQuotes:
    """The client built by the latest successful ``Quotes.factory`` call."""
    for record in reversed(calls_to("factory")):
        if record.error is None and record.result is not None:
            return record.result
    raise LookupError("Quotes.factory has not built a client")


# ---------------------------------------------------------------------------
# transport: latency probe
# ---------------------------------------------------------------------------


def _ping_keys(_obj, a):
    return [(a["host"], a["port"]), a["host"]]


ping_host = Scripted(lib, "ping_host", "host, port=7709, timeout=5.0", label="mootdx2 ping_host", key=_ping_keys)
lib.module("mootdx2.tdx.transport", package=True)
lib.module("mootdx2.tdx.transport.sync", ping_host=ping_host, DEFAULT_PORT=7709, DEFAULT_TIMEOUT=5.0)

# ---------------------------------------------------------------------------
# daily-data manager and local reader
# ---------------------------------------------------------------------------


def _init_manager(obj, a):
    obj.tdxdir = a["tdxdir"]


class DailyDataManager:
    __init__ = Scripted(lib, "DailyDataManager", "tdxdir=None", label="mootdx2 DailyDataManager", default=_init_manager, method=True)
    get_daily = Scripted(
        lib,
        "get_daily",
        "symbol, start=None, end=None, adjust='qfq', auto_download=True, turnover=False, offset=800",
        label="mootdx2 DailyDataManager.get_daily",
        key="symbol",
        method=True,
    )


lib.module("mootdx2.daily", DailyDataManager=DailyDataManager)


class StdReader:
    def __init__(self, tdxdir=None):
        self.tdxdir = tdxdir if tdxdir is not None else _default_tdxdir()

    daily = Scripted(
        lib,
        "daily",
        "symbol=None, auto_download=False, turnover=False, adjust=None, **kwargs",
        label="mootdx2 reader.daily",
        key="symbol",
        method=True,
    )
    xdxr = Scripted(lib, "reader_xdxr", "symbol='', **kwargs", label="mootdx2 reader.xdxr", key="symbol", method=True)


def _reader_factory(_obj, a):
    if a["market"] == "ext":
        raise NotImplementedError("the mootdx2 double has no extended-market reader")
    return StdReader(**a["kwargs"])


class Reader:
    factory = Scripted(
        lib, "reader_factory", "market='std', **kwargs", label="mootdx2 Reader.factory", default=_reader_factory, static=True
    )


lib.module("mootdx2.reader", Reader=Reader, StdReader=StdReader)

# ---------------------------------------------------------------------------
# forward adjustment
# ---------------------------------------------------------------------------


def _date_index(df: pd.DataFrame) -> pd.DatetimeIndex:
    if isinstance(df.index, pd.DatetimeIndex):
        return df.index
    if {"year", "month", "day"}.issubset(df.columns):
        return pd.DatetimeIndex(pd.to_datetime(df[["year", "month", "day"]]))
    for col in ("datetime", "date"):
        if col in df.columns:
            return pd.DatetimeIndex(pd.to_datetime(df[col]))
    raise ReversionError("bars carry no dates")


def adjust_forward(stock_data: pd.DataFrame, xdxr: pd.DataFrame | None) -> pd.DataFrame:
    """Forward-adjust bars with the ex-rights events of category 1.

    For an event on day d with cash ``fenhong``, bonus ``songzhuangu`` and
    rights ``peigu`` at ``peigujia`` (all per 10 shares), the reference price
    is (C*10 - fenhong + peigu*peigujia) / (10 + peigu + songzhuangu), C being
    the last close before d; every bar before d is scaled by reference / C and
    its volume divided by the same ratio. This is the real library's
    arithmetic, without its network fallback.
    """
    data = stock_data.copy()
    data.index = _date_index(data)
    data = data.sort_index()
    if xdxr is None or len(xdxr) == 0 or len(data) == 0:
        return data
    events = xdxr.copy()
    events.index = _date_index(events)
    if "category" in events.columns:
        events = events[events["category"] == 1]
    factor = pd.Series(1.0, index=data.index)
    for day, row in events.sort_index().iterrows():
        before = data.index < day.normalize()
        if not before.any():
            continue
        prev_close = float(data.loc[before, "close"].iloc[-1])

        def num(name):
            value = row.get(name)
            return 0.0 if value is None or pd.isna(value) else float(value)

        reference = (prev_close * 10 - num("fenhong") + num("peigu") * num("peigujia")) / (
            10 + num("peigu") + num("songzhuangu")
        )
        factor[before] *= reference / prev_close
    for col in ("open", "high", "low", "close"):
        if col in data.columns:
            data[col] = data[col] * factor
    for col in ("volume", "vol"):
        if col in data.columns:
            data[col] = data[col] / factor
    return data


def _reversion(_obj, a):
    if str(a["type_"]).lower() not in ("01", "qfq"):
        raise ReversionError(f"the double adjusts forward only, not {a['type_']!r}", symbol=a["symbol"])
    stock_data = a["stock_data"]
    if stock_data is None or len(stock_data) == 0:
        return stock_data if stock_data is not None else pd.DataFrame()
    return adjust_forward(stock_data, a["xdxr"])


reversion = Scripted(lib, "reversion", "symbol, stock_data=None, xdxr=None, type_='01'", label="mootdx2 reversion", default=_reversion)
lib.module("mootdx2.tools", package=True)
lib.module("mootdx2.tools.reversion", reversion=reversion, ReversionError=ReversionError)

# Package-level names of the real ``mootdx2/__init__``.
for _name, _value in {
    "config": config,
    "Quotes": Quotes,
    "DailyDataManager": DailyDataManager,
    "HQ_HOSTS": HQ_HOSTS,
    "EX_HOSTS": EX_HOSTS,
    "GP_HOSTS": GP_HOSTS,
}.items():
    setattr(_pkg, _name, _value)

# ---------------------------------------------------------------------------
# table builders
# ---------------------------------------------------------------------------

BAR_COLUMNS = ["open", "close", "high", "low", "vol", "amount", "year", "month", "day", "hour", "minute", "datetime", "volume"]


def make_bars(
    n: int = 5,
    start: str = "2024-01-02",
    *,
    close: float = 10.0,
    step: float = 0.1,
    volume: float = 1_000_000.0,
    dates=None,
    hour: int = 15,
    minute: int = 0,
) -> pd.DataFrame:
    """A daily bar table as ``bars``/``index_bars`` return it, oldest first.

    Columns as the real client gives them (``vol`` and ``volume`` in shares,
    ``amount`` in yuan, ``datetime`` text "YYYY-MM-DD HH:MM"), indexed by the
    bar time under the index name "datetime".
    """
    records = []
    for row in frames.ohlcv_rows(n, start, close=close, step=step, volume=volume, dates=dates):
        day = row["date"]
        records.append(
            {
                "open": row["open"],
                "close": row["close"],
                "high": row["high"],
                "low": row["low"],
                "vol": row["volume"],
                "amount": row["amount"],
                "year": day.year,
                "month": day.month,
                "day": day.day,
                "hour": hour,
                "minute": minute,
                "datetime": f"{day:%Y-%m-%d} {hour:02d}:{minute:02d}",
            }
        )
    if not records:
        return pd.DataFrame(data=None)
    df = pd.DataFrame(records)
    df.index = pd.to_datetime(df["datetime"])
    df["volume"] = df["vol"]
    return df


XDXR_COLUMNS = [
    "market", "code", "year", "month", "day", "category", "name", "fenhong", "peigujia", "songzhuangu",
    "peigu", "suogu", "xingquanjia", "fenshu", "panqian_liutong", "panhou_liutong", "qian_zongguben",
    "hou_zongguben", "_raw",
]  # fmt: skip


def make_xdxr(*events: dict, code: str = "600000", market: int = 1) -> pd.DataFrame:
    """An ex-rights table as ``xdxr`` returns it.

    Each event is a dict with "date" and any of the event columns, e.g.
    ``{"date": "2024-06-14", "fenhong": 3.0}`` (category 1, cash per 10 shares).
    """
    records = []
    for event in events:
        event = dict(event)
        day = pd.Timestamp(event.pop("date"))
        record = dict.fromkeys(XDXR_COLUMNS)
        record.update(market=market, code=code, year=day.year, month=day.month, day=day.day, category=1, name="除权除息", _raw=b"")
        record.update(event)
        records.append(record)
    if not records:
        return pd.DataFrame(data=None)
    df = pd.DataFrame(records, columns=XDXR_COLUMNS)
    df.index = pd.to_datetime(df[["year", "month", "day"]])
    return df


FINANCE_FIELDS = [
    "liutong_guben", "zong_guben", "guojia_gu", "faqiren_faren_gu", "faren_gu", "b_gu", "h_gu", "zhigong_gu",
    "province", "industry", "updated_date", "ipo_date", "gudong_renshu", "zong_zichan", "liudong_zichan",
    "guding_zichan", "wuxing_zichan", "liudong_fuzhai", "changqi_fuzhai", "ziben_gongjijin", "jing_zichan",
    "zhuying_shouru", "zhuying_lirun", "yingshou_zhangkuan", "yingye_lirun", "touzi_shouyu", "jingying_xianjinliu",
    "zong_xianjinliu", "cunhuo", "lirun_zonghe", "shuihou_lirun", "jing_lirun", "weifen_lirun", "meigujing_zichan",
    "reserve2",
]  # fmt: skip


_FINANCE_INT_FIELDS = {"province", "industry", "updated_date", "ipo_date"}


def make_finance(meigujingzichan: float = 1.0, *, code: str = "510300", market: int = 1, **fields: Any) -> pd.DataFrame:
    """A one-row finance table as ``finance`` returns it (with the legacy alias columns)."""
    record: dict[str, Any] = {"market": market, "code": code}
    record.update({f: 0 if f in _FINANCE_INT_FIELDS else 0.0 for f in FINANCE_FIELDS})
    record["meigujing_zichan"] = meigujingzichan
    record["_raw"] = b""
    record.update(fields)
    df = pd.DataFrame([record])
    df["meigujingzichan"] = df["meigujing_zichan"]
    df["liutongguben"] = df["liutong_guben"]
    df["zongguben"] = df["zong_guben"]
    return df


@lib.on_reset
def _restore_state() -> None:
    HQ_HOSTS[:] = _HQ_DEFAULT
    EX_HOSTS[:] = _EX_DEFAULT
    GP_HOSTS[:] = _GP_DEFAULT
    for name, value in CONST_VALUES.items():
        setattr(consts, name, value)
    consts.HQ_HOSTS, consts.EX_HOSTS, consts.GP_HOSTS = HQ_HOSTS, EX_HOSTS, GP_HOSTS
    consts.DEFAULT_TDXDIR = _default_tdxdir()
    settings.clear()
    settings.update(_fresh_settings())
    ServerManager.live_candidates = False


_restore_state()
