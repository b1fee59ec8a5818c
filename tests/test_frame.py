"""The module frame: shared tables and enumerations, the provider interfaces,
the function and class machinery as Python code sees it, and import-time
behaviour of vemra.markets."""

import abc
import copy
import datetime as dt
import enum
import functools
import gc
import inspect
import pickle
import sys
import tracemalloc
import types
import typing
import urllib.parse
import weakref
from decimal import Decimal

import numpy as np
import pytest

from support import run_python


def _defined(markets, *names):
    missing = [n for n in names if not hasattr(markets, n)]
    if missing:
        pytest.skip("not defined yet: " + ", ".join(missing))
    return [getattr(markets, n) for n in names]


# --------------------------------------------------------------- index tables

MAIN_ROWS = [
    ("000001", 1, "上证指数", True), ("399001", 0, "深证成指", True), ("399006", 0, "创业板指", True),
    ("000688", 1, "科创50", True), ("000300", 1, "沪深300", True), ("000905", 1, "中证500", True),
    ("000852", 1, "中证1000", True), ("000016", 1, "上证50", True), ("000680", 1, "科创综指", True),
]

MARKET_INDEX = [
    ("SH", "上证指数", "sh.000001"), ("SZ", "深证成指", "sz.399001"), ("CYB", "创业板指", "sz.399006"),
    ("KC50", "科创50", "sh.000688"), ("KCZZ", "科创综指", "sh.000680"), ("HS300", "沪深300", "sh.000300"),
    ("ZZ500", "中证500", "sh.000905"), ("HSI", "恒生指数", "hk.HSI"), ("HSTECH", "恒生科技指数", "hk.HSTECH"),
    ("SP500", "标普500", "us.SPY"), ("NASDAQ", "纳斯达克", "us.QQQ"), ("DJI", "道琼斯", "us.DIA"),
]


def test_a_share_lists_and_their_identities(markets):
    main = markets.MOOTDX_A_MAIN
    assert main == MAIN_ROWS
    assert all(type(r) is tuple and type(r[1]) is int and r[3] is True for r in main)
    assert markets.MOOTDX_CN_ETF is main
    assert markets.CN_INDICES_EXTRA == [MAIN_ROWS[4], MAIN_ROWS[5]]
    cn = markets.CN_INDICES
    assert cn is not main and len(cn) == 11 and len(main) == 9
    assert cn == MAIN_ROWS + [MAIN_ROWS[4], MAIN_ROWS[5]]
    assert [r[0] for r in cn[-2:]] == ["000300", "000905"]

    # One list under two names: a row added through one is seen through the
    # other, never in the list built from it at import.
    row = ("399999", 0, "测试指数", True)
    markets.MOOTDX_CN_ETF.append(row)
    try:
        assert markets.MOOTDX_A_MAIN[-1] is row
        assert row not in markets.CN_INDICES
    finally:
        markets.MOOTDX_CN_ETF.remove(row)


def test_market_index_is_a_plain_enum_with_its_instrument_map(markets):
    mi = markets.MarketIndex
    assert type(mi) is enum.EnumMeta and mi.__bases__ == (enum.Enum,)
    assert (mi.__module__, mi.__qualname__) == ("vemra.markets", "MarketIndex")
    assert [(m.name, m.value) for m in mi] == [(n, v) for n, v, _ in MARKET_INDEX]
    assert len(mi.__members__) == 12  # no aliases
    assert mi("沪深300") is mi.HS300
    assert mi.HS300 != "沪深300" and not isinstance(mi.HS300, str)
    for text in ("get_any_ohlc", "from vemra import", "MarketIndex.SH", "MarketIndex.HS300",
                 "MarketIndex.SP500", "MarketIndex.HSI"):
        assert text in mi.__doc__
    assert pickle.loads(pickle.dumps(mi.KC50)) is mi.KC50

    codes = markets._MARKET_INDEX_CODE
    assert list(codes.items()) == [(mi[n], code) for n, _, code in MARKET_INDEX]
    assert codes[mi.NASDAQ] == "us.QQQ"


def test_us_and_hk_lists(markets):
    yf_rows = [("^GSPC", "标普500"), ("^IXIC", "纳斯达克"), ("^DJI", "道琼斯")]
    assert markets.US_INDICES_YF == yf_rows
    assert markets.US_INDICES_TX == [("us.INX", "标普500"), ("us.IXIC", "纳斯达克"), ("us.DJI", "道琼斯")]
    assert markets.US_ETF_PROXIES == [("SPY", "标普500"), ("QQQ", "纳斯达克"), ("DIA", "道琼斯")]
    assert markets.HK_INDICES == [("HSI.HK", "恒生指数"), ("HSTECH.HK", "恒生科技指数")]
    assert [s for s, _ in markets.GLOBAL_INDICES] == ["HSI.HK", "HSTECH.HK", "^GSPC", "^IXIC", "^DJI"]
    assert markets.GLOBAL_INDICES is not markets.HK_INDICES
    # The ETF proxies pair with the yfinance rows by display name.
    assert {n for _, n in markets.US_ETF_PROXIES} == {n for _, n in yf_rows}


def test_web_request_settings(markets):
    headers = markets._EM_HEADERS
    assert list(headers) == ["User-Agent", "Referer"]
    assert headers["User-Agent"] == "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7)"
    assert headers["Referer"] == markets._EM_QUOTE_SITE
    referer = urllib.parse.urlsplit(headers["Referer"])
    assert referer.scheme == "https" and referer.netloc and referer.path in ("", "/")
    assert type(markets._EM_TIMEOUT) is int and markets._EM_TIMEOUT == 15

    for name in ("_EM_PUSH2_BASE_URL", "_EM_PUSH2EX_BASE_URL", "_EM_PUSH2HIS_BASE_URL",
                 "_EM_DATACENTER_BASE_URL"):
        base = urllib.parse.urlsplit(getattr(markets, name))
        assert base.scheme == "https" and base.netloc and base.path == "", name
    tencent = urllib.parse.urlsplit(markets._TENCENT_QUOTE_URL)
    assert tencent.scheme == "https" and markets._TENCENT_QUOTE_URL.endswith("/q=")

    kline = markets._EM_KLINE_URL
    assert kline == markets._EM_PUSH2HIS_BASE_URL + "/api/qt/stock/kline/get"
    assert urllib.parse.urlsplit(kline).scheme == "https"


def test_command_line_tables(markets):
    colours = {"_B": "[1m", "_R": "[91m", "_G": "[92m", "_Y": "[93m", "_C": "[96m", "_D": "[2m", "_E": "[0m"}
    for name, tail in colours.items():
        assert getattr(markets, name) == "\x1b" + tail, name
    assert len(markets._B) == 4 and len(markets._R) == 5

    cli = markets.CLI_MARKET_INDICES
    assert list(cli) == ["cn", "hk", "usa"]
    assert cli["cn"] == [("sh.000001", "上证指数"), ("sz.399001", "深证成指"), ("sz.399006", "创业板指"),
                         ("sh.000688", "科创50"), ("sh.000680", "科创综指"), ("sh.000300", "沪深300"),
                         ("sh.000905", "中证500")]
    assert cli["hk"] == [("hk.HSI", "恒生指数"), ("hk.HSTECH", "恒生科技指数")]
    assert cli["usa"] == [("us.GSPC", "标普500"), ("us.IXIC", "纳斯达克"), ("us.DJI", "道琼斯")]
    assert cli["usa"][1] is markets.US_INDICES_TX[1] and cli["usa"][2] is markets.US_INDICES_TX[2]


SHARE_INDICES = [
    ("SZ50", "上证50", "baostock", None), ("CSI300", "沪深300", "baostock", None),
    ("CSI500", "中证500", "baostock", None), ("STAR50", "科创50", "akshare", "000688"),
    ("SZEXT50", "创业板50", "akshare", "399673"), ("SZEXT", "创业板", "akshare", "399006"),
    ("STAR", "科创综指", "akshare", "000680"), ("SZMS", "上证指数", "akshare", "000046"),
    ("SZ1000", "深证1000", "akshare", "399011"), ("SZ200", "创业200", "akshare", "399019"),
    ("SZSMALL", "中小盘", "akshare", "399401"), ("SZCOMPREHENSIVE", "创业板综合指数", "akshare", "399102"),
    ("SZ300", "创业300", "akshare", "399012"), ("HKG", "港股通", "akshare", None),
]


def test_constituent_tables(markets):
    si = markets.ShareIndices
    assert si.__bases__ == (enum.Enum,) and si.__module__ == "vemra.markets" and si.__doc__ is None
    assert [(m.name, m.value) for m in si] == [(n, v) for n, v, _, _ in SHARE_INDICES]
    assert si("上证50") is si.SZ50 and si.SZMS.value == "上证指数"

    config = markets.INDICES_CONFIG
    expected = {si[n]: (lib, code) for n, _, lib, code in SHARE_INDICES}
    assert config == expected and len(config) == 14
    order = [m.name for m in config]
    assert order.index("SZ300") == order.index("SZCOMPREHENSIVE") - 1
    assert config[si.HKG] == ("akshare", None)
    with pytest.raises(KeyError):
        config["HKG"]

    queries = markets.BAOSTOCK_QUERY_METHODS
    assert queries == {si.SZ50: "query_sz50_stocks", si.CSI300: "query_hs300_stocks",
                       si.CSI500: "query_zz500_stocks"}
    assert all(callable(getattr(markets.bs, name)) for name in queries.values())


def test_market_type(markets):
    smt = markets.StockMarkType
    assert smt.__bases__ == (enum.Enum,) and smt.__module__ == "vemra.markets"
    assert [(m.name, m.value) for m in smt] == [("A_STOCK", "CHINA"), ("US_STOCK", "US")]
    assert smt("US") is smt.US_STOCK and smt.A_STOCK != "CHINA"


# ---------------------------------------------------------- provider interfaces

INTERFACES = [
    ("MarketIndexProvider", "get_indices", "(self) -> 'Any'", "大盘指数数据提供者"),
    ("SectorProvider", "get_sectors", "(self) -> 'Any'", "行业板块数据提供者"),
    ("LimitCountProvider", "get_limit_counts", "(self) -> 'dict'", "涨跌停统计提供者"),
    ("MarginProvider", "get_margin", "(self) -> 'dict'", "两融余额数据提供者"),
    ("IndexHistoryProvider", "get_history", "(self, days: 'int' = 10) -> 'dict[str, Any]'", "指数历史行情提供者"),
    ("MarketBreadthProvider", "get_breadth", "(self, days: 'int' = 5) -> 'Any'", "市场宽度数据提供者（仅 A 股）"),
]


@pytest.mark.parametrize("cls_name, op, signature, title", INTERFACES, ids=[i[0] for i in INTERFACES])
def test_interface_shape(markets, cls_name, op, signature, title):
    cls = getattr(markets, cls_name)
    assert cls.__bases__ == (abc.ABC,) and type(cls) is abc.ABCMeta
    assert (cls.__module__, cls.__qualname__) == ("vemra.markets", cls_name)
    assert cls.__doc__.startswith(title + "\n")
    assert cls.__abstractmethods__ == frozenset({op})
    assert [k for k in vars(cls) if not k.startswith("_")] == [op]  # no data, no constructor
    assert "__init__" not in vars(cls)

    fn = vars(cls)[op]
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (op, f"{cls_name}.{op}", "vemra.markets")
    assert fn.__isabstractmethod__ is True
    assert str(inspect.signature(fn)) == signature
    assert all(type(a) is str for a in fn.__annotations__.values())
    assert fn.__kwdefaults__ is None
    inst = type("Impl", (cls,), {op: lambda self, *a, **k: "impl"})()
    assert getattr(inst, op)() == "impl"
    assert fn(inst) is None  # the base operation does nothing


@pytest.mark.parametrize("cls_name, op", [(c, o) for c, o, _, _ in INTERFACES])
def test_interfaces_refuse_instantiation(markets, cls_name, op):
    cls = getattr(markets, cls_name)
    with pytest.raises(TypeError, match=f"Can't instantiate abstract class {cls_name} with abstract method {op}"):
        cls()
    incomplete = type("Incomplete", (cls,), {})
    with pytest.raises(TypeError, match="Incomplete"):
        incomplete()


def _history_impl(markets):
    class Impl(markets.IndexHistoryProvider):
        def get_history(self, days=10):
            return super().get_history(days)
    return Impl()


def test_method_binding(markets):
    base = markets.IndexHistoryProvider
    fn = vars(base)["get_history"]
    inst = _history_impl(markets)
    assert base.get_history is fn and fn.__get__(None, base) is fn
    bound = fn.__get__(inst, type(inst))
    assert isinstance(bound, types.MethodType) and bound.__self__ is inst and bound.__func__ is fn
    assert str(inspect.signature(bound)) == "(days: 'int' = 10) -> 'dict[str, Any]'"
    assert bound(3) is None and bound(days=3) is None and bound() is None
    assert inst.get_history(3.7) is None  # reaches the base through super()
    assert base.get_history(inst, 3.7) is None

    # The override's own signature decides; the base default is not inherited.
    class Breadth(markets.MarketBreadthProvider):
        def get_breadth(self, days):
            return days
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'days'"):
        Breadth().get_breadth()


def test_days_coercion(markets):
    get_history = markets.IndexHistoryProvider.get_history
    get_breadth = markets.MarketBreadthProvider.get_breadth
    inst = _history_impl(markets)

    converted = []

    class Number:
        def __init__(self, v):
            self.v = v

        def __int__(self):
            converted.append(self.v)
            return int(self.v)

    class MyInt(int):
        def __int__(self):
            converted.append("MyInt")
            return 4

    for days in (5, 5.9, True, False, np.int64(7), np.float32(2.5), Decimal("5.9"), Number(8), MyInt(3)):
        assert get_history(inst, days) is None
        assert get_breadth(inst, days=days) is None
    assert converted == [8, 8, "MyInt", "MyInt"]  # only values not exactly int are converted

    # The conversion really runs: int() of these fails in its own way.
    with pytest.raises(ValueError, match="NaN"):
        get_history(inst, float("nan"))
    with pytest.raises(OverflowError):
        get_breadth(inst, float("inf"))

    for bad, got in (("3", "str"), (None, "NoneType"), ([3], "list"), (b"3", "bytes")):
        with pytest.raises(TypeError) as e:
            get_history(inst, bad)
        assert str(e.value) == f"Argument 'days' has incorrect type (expected int, got {got})"


def test_days_error_names_the_type_plainly(markets):
    with pytest.raises(TypeError) as e:
        markets.IndexHistoryProvider.get_history(_history_impl(markets), dt.date(2024, 1, 2))
    assert str(e.value) == "Argument 'days' has incorrect type (expected int, got date)"


# ------------------------------------------------- functions as Python sees them

def test_plain_function_attributes(markets):
    f = markets.clear_mootdx_failure_caches
    assert (f.__name__, f.__qualname__, f.__module__) == ("clear_mootdx_failure_caches",) * 2 + ("vemra.markets",)
    assert repr(f).startswith("<function clear_mootdx_failure_caches at 0x")
    assert f.__defaults__ == (None,) and f.__kwdefaults__ is None
    assert list(inspect.signature(f).parameters) == ["cache_dir"]
    assert inspect.isroutine(f) and callable(f)
    assert isinstance(f.__doc__, str) and f.__doc__
    assert weakref.ref(f)() is f

    @functools.wraps(f)
    def wrapper(*a, **k):
        return f(*a, **k)
    assert wrapper.__wrapped__ is f and wrapper.__qualname__ == f.__qualname__
    assert inspect.signature(wrapper) == inspect.signature(f)

    fn = markets.IndexHistoryProvider.get_history
    fn.marker = "kept"
    try:
        assert fn.__dict__["marker"] == "kept" and fn.__dict__["__isabstractmethod__"] is True
    finally:
        del fn.marker


def test_defaults_live_on_the_function(markets):
    fn = markets.IndexHistoryProvider.get_history
    inst = _history_impl(markets)
    saved = fn.__defaults__
    assert saved == (10,)
    try:
        # The bound call reads the current __defaults__, as a Python function does.
        fn.__defaults__ = ("ten",)
        assert str(inspect.signature(fn)) == "(self, days: 'int' = 'ten') -> 'dict[str, Any]'"
        with pytest.raises(TypeError, match=r"\(expected int, got str\)"):
            fn(inst)
        fn.__defaults__ = None
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'days'"):
            fn(inst)
        with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
            fn.__defaults__ = [10]
    finally:
        fn.__defaults__ = saved
    assert fn(inst) is None

    ann = fn.__annotations__
    assert fn.__annotations__ is ann and ann == {"days": "int", "return": "dict[str, Any]"}


class IndexHistoryProvider:
    """Pure-Python twin of the interface, for the interpreter's own messages."""

    def get_history(self, days: "int" = 10) -> "dict[str, Any]":
        return None


def clear_mootdx_failure_caches(cache_dir=None):
    return None


def _get_mootdx_client():
    return None


def _messages(fn, calls):
    out = []
    for args, kwargs in calls:
        try:
            fn(*args, **kwargs)
            out.append(None)
        except TypeError as e:
            out.append(str(e))
    return out


SELF = object()
METHOD_CALLS = {
    "no-self": ((), {}),
    "too-many": ((SELF, 1, 2), {}),
    "far-too-many": ((SELF, 1, 2, 3, 4), {}),
    "unknown-keyword": ((SELF,), {"bogus": 1}),
    "repeated": ((SELF, 1), {"days": 2}),
    "self-by-keyword": ((), {"self": SELF, "days": 1}),
    "self-twice": ((SELF,), {"self": SELF}),
    "days-only": ((), {"days": 3}),
    "too-many-and-unknown": ((SELF, 1, 2), {"bogus": 1}),
    "too-many-and-repeated": ((SELF, 1, 2), {"days": 1}),
}


@pytest.mark.parametrize("call", list(METHOD_CALLS.values()), ids=list(METHOD_CALLS))
def test_argument_errors_match_python_method(markets, call):
    args, kwargs = call
    inst = _history_impl(markets)
    args = tuple(inst if a is SELF else a for a in args)
    kwargs = {k: inst if v is SELF else v for k, v in kwargs.items()}
    ours = _messages(markets.IndexHistoryProvider.get_history, [(args, kwargs)])
    python = _messages(IndexHistoryProvider.get_history, [(args, kwargs)])
    assert ours == python
    if args and args[0] is inst:  # the same through a bound method
        assert _messages(markets.IndexHistoryProvider.get_history.__get__(inst), [(args[1:], kwargs)]) == \
            _messages(IndexHistoryProvider.get_history.__get__(args[0]), [(args[1:], kwargs)])


FUNCTION_CALLS = {
    "unknown-keyword": ((), {"bogus": 1}),
    "repeated": (("/tmp",), {"cache_dir": "/tmp"}),
    "two-unknown": ((), {"a": 1, "b": 2}),
    "too-many-with-default": ((1, 2), {}),
}


@pytest.mark.parametrize("call", list(FUNCTION_CALLS.values()), ids=list(FUNCTION_CALLS))
def test_argument_errors_match_python_function(markets, call):
    assert _messages(markets.clear_mootdx_failure_caches, [call]) == _messages(clear_mootdx_failure_caches, [call])


def test_argument_errors_without_parameters(markets):
    calls = [((1,), {}), ((1, 2), {}), ((), {"x": 1})]
    assert _messages(markets._get_mootdx_client, calls) == _messages(_get_mootdx_client, calls)


def test_call_forms(markets):
    inst = _history_impl(markets)
    fn = markets.IndexHistoryProvider.get_history
    assert fn(*(inst, 2)) is None and fn(**{"self": inst, "days": 2}) is None
    assert functools.partial(fn, inst)(days=1) is None
    assert list(map(fn, [inst, inst], [1, 2])) == [None, None]
    with pytest.raises(TypeError, match="keywords must be strings"):
        fn(inst, **{1: 2})


def test_functions_pickle_and_copy_by_reference(markets):
    f = markets.clear_mootdx_failure_caches
    assert copy.deepcopy({"f": f})["f"] is f
    assert pickle.loads(pickle.dumps(f)) is f
    assert pickle.loads(pickle.dumps(markets.IndexHistoryProvider.get_history)) is \
        markets.IndexHistoryProvider.get_history


def test_annotations_resolve_in_the_module(markets):
    hints = typing.get_type_hints(markets.IndexHistoryProvider.get_history)
    assert hints == {"days": int, "return": dict[str, typing.Any]}


def test_keyword_only_and_var_keyword_parameters(markets):
    finalize, = _defined(markets, "_finalize_mootdx_ohlcv")
    assert str(inspect.signature(finalize)) == "(data, *, volume_as_amount=False)"
    assert finalize.__defaults__ is None and finalize.__kwdefaults__ == {"volume_as_amount": False}

    def twin(data, *, volume_as_amount=False):
        return None
    twin.__qualname__ = "_finalize_mootdx_ohlcv"
    calls = [((None, True), {}), ((), {"volume_as_amount": True}), ((None,), {"bogus": 1}),
             ((None,), {"data": 1})]
    assert _messages(finalize, calls) == _messages(twin, calls)

    any_ohlc = markets.get_any_ohlc
    if getattr(any_ohlc, "__module__", None) != "vemra.markets":
        pytest.skip("get_any_ohlc is not defined by the module yet")
    params = inspect.signature(any_ohlc).parameters
    assert list(params) == ["symbol", "start_date", "end_date", "period", "kwargs"]
    assert params["kwargs"].kind is inspect.Parameter.VAR_KEYWORD
    assert any_ohlc.__defaults__[-1] is markets.Period.DAILY


# ------------------------------------------------------------------ no leaks

def test_calls_leak_nothing(markets):
    inst = _history_impl(markets)
    fn = markets.IndexHistoryProvider.get_history
    days = 3.7
    text = "3"
    defaults = fn.__defaults__

    def burst(n):
        for _ in range(n):
            fn(inst, days)
            fn(inst, days=days)
            fn(inst)
            inst.get_history(days)
            markets.clear_mootdx_failure_caches.__defaults__
            try:
                fn(inst, text)
            except TypeError:
                pass
            try:
                fn(inst, days, bogus=days)
            except TypeError:
                pass

    burst(2000)  # warm caches
    gc.collect()
    refs = (sys.getrefcount(inst), sys.getrefcount(days), sys.getrefcount(text), sys.getrefcount(defaults))
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        burst(20000)
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    grown = sum(s.size_diff for s in after.compare_to(before, "filename") if s.size_diff > 0)
    assert grown < 64 * 1024, f"{grown} bytes kept after 140000 calls"
    assert (sys.getrefcount(inst), sys.getrefcount(days), sys.getrefcount(text),
            sys.getrefcount(defaults)) == refs


# -------------------------------------------------------------- module frame

def test_reimport_gives_the_same_module_without_running_the_body(markets, monkeypatch):
    import importlib
    import vemra
    monkeypatch.setattr(markets, "_LAST_GLOBAL_PROBE_TIME", 1234.5)
    monkeypatch.delitem(sys.modules, "vemra.markets")
    again = importlib.import_module("vemra.markets")
    assert again is markets and sys.modules["vemra.markets"] is markets
    assert markets._LAST_GLOBAL_PROBE_TIME == 1234.5
    assert importlib.reload(markets) is markets and markets._LAST_GLOBAL_PROBE_TIME == 1234.5
    assert vemra.markets is markets


def test_import_state(markets):
    out = run_python("""
        import logging, threading, warnings
        before_filters = list(warnings.filters)
        threads = threading.active_count()
        caught = []
        warnings.showwarning = lambda message, *rest: caught.append(message)
        import vemra.markets as m
        new = warnings.filters[:len(warnings.filters) - len(before_filters)]
        import mootdx2.tools.reversion as rv, talib, yfinance, vemra.core
        checks = {
            "tdxpy": logging.getLogger("tdxpy").level == logging.CRITICAL,
            "mootdx2": logging.getLogger("mootdx2").level == logging.DEBUG,
            "log": m.log is logging.getLogger("vemra.markets") and m.log.handlers == []
                   and m.log.level == logging.NOTSET and logging.getLogger().handlers == [],
            "threads": threading.active_count() == threads,
            "filters": [(f[0], f[1] and f[1].pattern, f[2], f[3] and f[3].pattern) for f in new] == [
                ("ignore", ".*unclosed file.*mootdx.*config.json.*", ResourceWarning, None),
                ("ignore", ".*TrafficStatSocket.*", ResourceWarning, None),
                ("ignore", None, ResourceWarning, ".*tdxpy.*")],
            "no version warning": not [w for w in caught if "compile time Python version" in str(w)],
            "client": m._mootdx_std_client is None and m._daily_manager is None,
            "rlocks": type(m._mootdx_std_client_lock) is type(threading.RLock())
                      and type(m._daily_manager_lock) is type(threading.RLock())
                      and m._mootdx_std_client_lock is not m._daily_manager_lock,
            "probe lock": type(m._GLOBAL_PROBE_LOCK) is type(threading.Lock()),
            "floats": [(type(v), v) for v in (m._client_created_at, m._client_last_used_at,
                       m._MOOTDX_MAX_LIFETIME, m._MOOTDX_IDLE_HEARTBEAT, m._LAST_GLOBAL_PROBE_TIME)]
                      == [(float, 0.0), (float, 0.0), (float, 900.0), (float, 45.0), (float, 0.0)],
            "flags": m._BS_LOGGED_IN is False and type(m.__test__) is dict and m.__test__ == {},
            "imports": m.config is vemra.core and m.reversion is rv.reversion and m.MA_Type is talib.MA_Type
                       and m.yf is yfinance and m.Enum is __import__("enum").Enum,
        }
        print(sorted(k for k, ok in checks.items() if not ok))
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip().splitlines()[-1] == "[]"


def test_yfinance_is_optional():
    out = run_python("""
        import sys
        import vemra.markets as m
        print(m.yf is None, "yfinance" in sys.modules and sys.modules["yfinance"] is None)
    """, without=("yfinance",))
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", "True"]


IMPORT_FAILURE = """
import sys, traceback
{setup}
try:
    import vemra.markets
except ImportError as e:
    frames = [(f.name, f.filename) for f in traceback.extract_tb(e.__traceback__)]
    print("failed:", e)
    print("frame:", ("init vemra.markets", "src/vemra/markets") in frames)
    print("recorded:", "vemra.markets" in sys.modules)
else:
    print("imported")
{after}
"""


def test_import_fails_without_talib():
    out = run_python(IMPORT_FAILURE.format(setup="sys.modules['talib'] = None", after=""))
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("failed: import of talib halted")
    assert lines[1:] == ["frame: True", "recorded: False"]


def test_missing_core_name_fails_and_import_can_be_retried():
    out = run_python(IMPORT_FAILURE.format(
        setup="import vemra.core as core\nsaved = core.record_provider_backoff\ndel core.record_provider_backoff",
        after="""
core.record_provider_backoff = saved
import vemra.markets as m
print("retried:", m.record_provider_backoff is saved, m.__test__ == {}, len(m.MOOTDX_A_MAIN))
"""))
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["failed: cannot import name record_provider_backoff", "frame: True",
                                       "recorded: False", "retried: True True 9"]


def test_second_interpreter_is_refused():
    out = run_python("""
        import sys, vemra
        import vemra.markets
        import _xxsubinterpreters as si
        setup = f"import sys; sys.path[:] = {sys.path!r}; import vemra; vemra.__path__[:] = {list(vemra.__path__)!r}\\n"
        iid = si.create()
        try:
            si.run_string(iid, setup + "import vemra.markets")
        except si.RunFailedError as e:
            print(e)
        else:
            print("loaded twice")
        si.destroy(iid)
    """)
    assert out.returncode == 0, out.stderr
    assert "ImportError" in out.stdout
    assert out.stdout.strip().endswith(": Interpreter change detected - this module can only be loaded "
                                       "into one interpreter per process.")


# ------------------------------------------- conventions of later definitions

CLASS_DOCS = [
    ("MootdxIndexProvider", "MarketIndexProvider", "通达信行情 – 主要指数快照", True),
    ("EastMoneyIndexProvider", "MarketIndexProvider", "东方财富 push2 API – 实时指数快照", True),
    ("YFinanceIndexProvider", "MarketIndexProvider", "yfinance – 美股指数快照", False),
    ("TencentUSIndexProvider", "MarketIndexProvider", "腾讯财经 – 美股主要指数快照 (标普500, 纳斯达克, 道琼斯)", True),
    ("LongPortIndexProvider", "MarketIndexProvider", "LongPort 行情 – 实时指数快照", True),
    ("EastMoneySectorProvider", "SectorProvider", "东方财富 push2 API – 行业板块排行", True),
    ("EastMoneyLimitProvider", "LimitCountProvider", "东方财富 push2ex API – 涨跌停家数", True),
    ("EastMoneyMarginProvider", "MarginProvider", "东方财富 datacenter API – 两融余额及变化", True),
    ("MootdxIndexHistoryProvider", "IndexHistoryProvider", "通达信 – A 股指数日 K（含精确涨跌幅）", True),
    ("EastMoneyIndexHistoryProvider", "IndexHistoryProvider", "东方财富历史 K 线 – A 股指数（mootdx 回退）", True),
    ("YFinanceIndexHistoryProvider", "IndexHistoryProvider", "yfinance – 美股指数历史", False),
    ("TiingoIndexHistoryProvider", "IndexHistoryProvider", "Tiingo – 美股指数历史 (使用 SPY, QQQ, DIA 作为代理)", True),
    ("TencentUSIndexHistoryProvider", "IndexHistoryProvider", "腾讯财经 – 美股指数历史 (标普500, 纳斯达克, 道琼斯)", True),
    ("UsIndexHistoryFallbackProvider", "IndexHistoryProvider", "美股指数历史：优先使用 Tiingo，失败后尝试 Tencent，再尝试 yfinance。", True),
    ("CnIndexHistoryFallbackProvider", "IndexHistoryProvider", "A 股指数历史：优先 mootdx，失败后再尝试东方财富。", True),
    ("LongPortIndexHistoryProvider", "IndexHistoryProvider", "LongPort – 港股指数历史", True),
    ("EastMoneyBreadthProvider", "MarketBreadthProvider", "东方财富 – A 股市场宽度历史", False),
    ("HKDownloadFunctionManager", None, "港股下载函数管理器", True),
    ("USADownloadFunctionManager", None, "美股下载函数管理器，支持手动和自动切换", True),
    ("ETFDownloadFunctionManager", None, "下载函数管理器，支持手动和自动切换", True),
    ("HK", "OHLC", "港股数据提供类", True),
    ("AStock", "OHLC", None, True),
    ("USA", "OHLC", None, True),
    ("ETF", "OHLC", None, True),
]


@pytest.mark.parametrize("name, base, doc, exact", CLASS_DOCS, ids=[c[0] for c in CLASS_DOCS])
def test_class_conventions(markets, name, base, doc, exact):
    cls, = _defined(markets, name)
    assert cls.__module__ == "vemra.markets" and cls.__qualname__ == name
    assert cls.__bases__ == ((getattr(markets, base),) if base else (object,))
    if base == "OHLC":
        assert type(cls) is type(markets.OHLC)
    if doc is None or exact:
        assert cls.__doc__ == doc
    else:
        assert cls.__doc__.startswith(doc)


DEFAULT_LISTS = [
    ("MootdxIndexHistoryProvider", "_DEFAULT", "MOOTDX_CN_ETF"),
    ("YFinanceIndexHistoryProvider", "_DEFAULT", "US_INDICES_YF"),
    ("YFinanceIndexHistoryProvider", "_DEFAULT_ETF", "US_ETF_PROXIES"),
    ("TencentUSIndexHistoryProvider", "_DEFAULT", "US_INDICES_TX"),
    ("LongPortIndexHistoryProvider", "_DEFAULT", "HK_INDICES"),
]


@pytest.mark.parametrize("cls_name, attr, table", DEFAULT_LISTS)
def test_class_defaults_are_the_table_objects(markets, cls_name, attr, table):
    cls, = _defined(markets, cls_name)
    assert vars(cls)[attr] is getattr(markets, table)


def test_aliases(markets):
    overview, alias = _defined(markets, "get_market_overview", "fetch_market_overview")
    assert alias is overview
    etf_manager, manager = _defined(markets, "ETFDownloadFunctionManager", "DownloadFunctionManager")
    assert manager is etf_manager


def test_definition_time_defaults(markets):
    set_boll, = _defined(markets, "set_boll")
    assert set_boll.__defaults__ == (markets.MA_Type.EMA,)
    assert str(inspect.signature(set_boll)) == f"(df, ma_type={markets.MA_Type.EMA!r})"
    astock, hk = _defined(markets, "AStock", "HK")
    assert astock.get_k_data.__defaults__ == (markets.Period.DAILY, None, "")
    assert astock.get_k_data.__defaults__[0] is markets.Period.DAILY
    assert hk.get_k_data.__defaults__ == (markets.Period.DAILY, None, None)
    assert astock.__init__.__defaults__[0] is markets.DownloadProvider.AUTO
    assert isinstance(inspect.getattr_static(astock, "rename"), staticmethod)


ANNOTATIONS = [
    ("EastMoneyLimitProvider.get_limit_counts", {"return": "dict"}),
    ("EastMoneyMarginProvider.get_margin", {"return": "dict"}),
    ("MootdxIndexHistoryProvider.get_history", {"days": "int", "return": "dict[str, Any]"}),
    ("EastMoneyBreadthProvider.get_breadth", {"days": "int", "return": "Any"}),
    ("MarketRegistry.set_default_provider", {"provider": "Union[DownloadProvider, str]"}),
    ("_should_refresh_stale_cache", {"cached_data": "dict", "market": "str", "return": "bool"}),
    ("_klines_to_df", {"klines": "list[str]", "return": "Any"}),
    ("AStockDownloadFunctionManager.download", {"stock_code": "str", "start_date": "str", "end_date": "str",
                                                "provider": "DownloadProvider", "return": "Tuple[pd.DataFrame, str]"}),
]


@pytest.mark.parametrize("path, expected", ANNOTATIONS, ids=[a[0] for a in ANNOTATIONS])
def test_annotations_are_text(markets, path, expected):
    owner, _, attr = path.rpartition(".")
    obj, = _defined(markets, owner or attr)
    fn = getattr(obj, attr) if owner else obj
    assert fn.__annotations__ == expected
