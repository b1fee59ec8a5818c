"""The harness itself: network guard, scripted replies, installation, set-up."""

from __future__ import annotations

import importlib
import os
import socket
import socketserver
import sys
import threading
import time

import pandas as pd
import pytest
import requests

import doubles
from doubles import baostock as bs_double
from doubles import longport as lp_double
from doubles import mootdx2 as tdx
from doubles import netguard, surface
from support import last_json_line, run_python

# ---------------------------------------------------------------------------
# network guard
# ---------------------------------------------------------------------------


@pytest.fixture
def tripwire(monkeypatch):
    """Make the real socket calls fail the test instead of sending anything,
    should the guard let an outside address through."""

    def reached(*args, **kwargs):
        raise AssertionError(f"the guard let a call through: {args!r}")

    for name in ("connect", "connect_ex", "create_connection", "getaddrinfo"):
        monkeypatch.setitem(netguard._originals, name, reached)


def _socket_call(method, address, family=socket.AF_INET):
    def reach():
        with socket.socket(family) as sock:
            getattr(sock, method)(address)

    return reach


@pytest.mark.parametrize(
    "reach, address",
    [
        (_socket_call("connect", ("192.0.2.1", 80)), "192.0.2.1:80"),
        (_socket_call("connect_ex", ("198.51.100.7", 7709)), "198.51.100.7:7709"),
        (_socket_call("connect", ("2001:db8::1", 443, 0, 0), socket.AF_INET6), "2001:db8::1:443"),
        (lambda: socket.create_connection(("quotes.example.com", 7709), timeout=30), "quotes.example.com:7709"),
        (lambda: socket.getaddrinfo("push2his.example.com", 443), "push2his.example.com:443"),
        (lambda: requests.get("http://203.0.113.9:8080/api/qt/clist/get", timeout=30), "203.0.113.9:8080"),
    ],
    ids=["connect", "connect_ex", "ipv6", "create_connection", "getaddrinfo", "requests"],
)
def test_net_guard_refuses_outside_addresses_at_once(tripwire, reach, address):
    started = time.monotonic()
    with pytest.raises(netguard.NetworkAccessRefused, match=f"network access refused in tests: {address}"):
        reach()
    assert time.monotonic() - started < 1.0
    assert netguard.take_refusals() == [address]


class _Echo(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.sendall(self.request.recv(64))


def test_net_guard_lets_loopback_and_unix_sockets_through(tmp_path):
    with socketserver.ThreadingTCPServer(("127.0.0.1", 0), _Echo) as server:
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        try:
            port = server.server_address[1]
            for host in ("127.0.0.1", "localhost"):
                with socket.create_connection((host, port), timeout=5) as conn:
                    conn.sendall(b"ping")
                    assert conn.recv(64) == b"ping"
        finally:
            server.shutdown()
    path = str(tmp_path / "s")
    with socket.socket(socket.AF_UNIX) as listener, socket.socket(socket.AF_UNIX) as client:
        listener.bind(path)
        listener.listen(1)
        client.connect(path)
    assert netguard.take_refusals() == []


# ---------------------------------------------------------------------------
# scripted replies
# ---------------------------------------------------------------------------


def _client():
    from mootdx2.quotes import Quotes

    return Quotes.factory(market="std", driver="native", timeout=3.0)


def test_replies_are_consumed_in_order_and_exceptions_raised():
    first = tdx.make_bars(3)
    tdx.script.bars = [first, RuntimeError("connection reset"), None]
    client = _client()
    assert client.bars(symbol="600000", frequency=4, start=0, offset=3) is first
    with pytest.raises(RuntimeError, match="connection reset"):
        client.bars(symbol="600000", frequency=4, start=0, offset=3)
    assert client.bars(symbol="600000", frequency=4, start=0, offset=3) is None
    with pytest.raises(doubles.UnscriptedCall, match="exhausted after 3 calls"):
        client.bars(symbol="600000", frequency=4, start=0, offset=3)
    assert doubles.take_unscripted() == ["scripted replies for mootdx2 client.bars exhausted after 3 calls"]

    records = tdx.calls_to("bars")
    assert [r.kwargs for r in records] == [{"symbol": "600000", "frequency": 4, "start": 0, "offset": 3}] * 4
    assert records[0].obj is client and records[0].result is first
    assert isinstance(records[1].error, RuntimeError)


def test_standing_table_reply_is_a_fresh_copy_per_call():
    import akshare

    table = doubles.akshare.make_em_hist(3, code="600000")
    doubles.akshare.script.stock_zh_a_hist = table
    one = akshare.stock_zh_a_hist(symbol="600000", start_date="20240101", end_date="20240110", adjust="qfq")
    one["成交量"] = 0
    two = akshare.stock_zh_a_hist(symbol="600000", start_date="20240101", end_date="20240110", adjust="qfq")
    pd.testing.assert_frame_equal(two, table)


def test_keyed_replies_follow_the_symbol():
    sh, sz = tdx.make_bars(2, close=3000.0), tdx.make_bars(2, close=9000.0)
    tdx.script.index_bars = {"000001": sh, "399001": [sz, None]}
    client = _client()
    assert client.index_bars(symbol="399001", frequency=4, start=0, offset=2) is sz
    assert client.index_bars(symbol="000001", frequency=4, start=0, offset=2).equals(sh)
    assert client.index_bars(symbol="399001", frequency=4, start=0, offset=2) is None
    with pytest.raises(doubles.UnscriptedCall, match="with '000300'"):
        client.index_bars(symbol="000300", frequency=4, start=0, offset=2)
    assert len(doubles.take_unscripted()) == 1


def test_unscripted_and_wrongly_made_calls_are_reported():
    import akshare

    with pytest.raises(doubles.UnscriptedCall, match="no scripted reply for ak.stock_us_daily"):
        akshare.stock_us_daily(symbol="AAPL", adjust="qfq")
    doubles.akshare.script.stock_zh_a_hist = pd.DataFrame()
    with pytest.raises(TypeError, match="unexpected keyword argument 'code'"):
        akshare.stock_zh_a_hist(code="600000")
    problems = doubles.take_unscripted()
    assert problems[0] == "no scripted reply for ak.stock_us_daily"
    assert problems[1].startswith("wrong call: ak.stock_zh_a_hist()")
    with pytest.raises(AttributeError, match="no scripted call 'stock_zh_a_hists'"):
        doubles.akshare.script.stock_zh_a_hists = pd.DataFrame()


def test_list_results_values_and_computed_replies():
    from longport.openapi import AdjustType, Config, Period, QuoteContext

    ctx = QuoteContext(Config("key", "secret", "token"))
    quotes = [lp_double.security_quote("HSI.HK", 18000.0), lp_double.security_quote("HSTECH.HK", 3800.0)]
    lp_double.script.quote = quotes
    assert ctx.quote(["HSI.HK", "HSTECH.HK"]) is quotes
    assert ctx.quote(["HSI.HK"]) is quotes
    lp_double.script.history_candlesticks_by_date = doubles.Compute(
        lambda symbol, start, end, **_: lp_double.make_candles((end - start).days + 1, str(start))
    )
    import datetime

    candles = ctx.history_candlesticks_by_date(
        symbol="700.HK", period=Period.Day, adjust_type=AdjustType.ForwardAdjust,
        start=datetime.date(2024, 6, 3), end=datetime.date(2024, 6, 5),
    )  # fmt: skip
    assert [c.timestamp.date().isoformat() for c in candles] == ["2024-06-03", "2024-06-04", "2024-06-05"]
    doubles.yfinance.script.download = doubles.Value({"SPY": 1})
    assert sys.modules["yfinance"].download("SPY") == {"SPY": 1}


def test_reset_forgets_scripts_calls_and_library_state():
    tdx.script.finance = tdx.make_finance(1.2)
    _client().finance("510300")
    tdx.HQ_HOSTS.append(("另一主站", "127.0.0.99", 7709))
    sys.modules["mootdx2"].config.set("BESTIP", {"HQ": ["127.0.0.99", 7709], "EX": "", "GP": ""})
    doubles.reset()
    assert tdx.calls == [] and tdx.script.finance is None
    assert [h[1] for h in tdx.HQ_HOSTS] == ["127.0.0.11", "127.0.0.12", "127.0.0.13"]
    assert sys.modules["mootdx2"].config.get("BESTIP.HQ") == ""


# ---------------------------------------------------------------------------
# the mootdx2 double behaves like the real client where tests lean on it
# ---------------------------------------------------------------------------


def test_tdx_client_shape_and_failover_bookkeeping():
    client = _client()
    assert tdx.calls_to("factory")[0].kwargs == {"market": "std", "driver": "native", "timeout": 3.0}
    assert client.server == ("127.0.0.11", 7709) == client.manager.current
    assert isinstance(client.client.get_security_count(0), int)
    assert hasattr(client.client.client.sock, "close")

    manager = client.manager
    # As in the real manager: the host changes only when the threshold (3) is reached.
    assert manager.report_failure(server=client.server, reason="empty_daily_data") is False
    assert manager.report_failure(server=client.server, reason="empty_daily_data") is False
    assert manager.current_server() == ("127.0.0.11", 7709)
    assert manager.report_failure(server=client.server, reason="empty_daily_data") is True
    assert manager.current_server() == ("127.0.0.12", 7709) == manager.current
    assert ("127.0.0.11", 7709) in manager._cooldown
    client.client._reconnect()
    assert client.client.connected_to == ("127.0.0.12", 7709)
    # ``candidates`` is a copy in the real library too.
    manager.candidates.insert(0, ("127.0.0.13", 7711))
    assert manager._candidates[0] == ("127.0.0.11", 7709)


def test_ping_host_answers_per_host():
    from mootdx2.tdx.transport.sync import ping_host

    tdx.script.ping_host = {"127.0.0.11": 0.012, ("127.0.0.12", 7709): None, "127.0.0.13": OSError("refused")}
    assert ping_host("127.0.0.11", 7709, 1.5) == 0.012
    assert ping_host("127.0.0.12", 7709, 1.5) is None
    with pytest.raises(OSError, match="refused"):
        ping_host("127.0.0.13", 7711, 1.5)


def test_default_reversion_scales_bars_before_the_ex_date():
    from mootdx2.tools.reversion import ReversionError, reversion

    bars = tdx.make_bars(4, "2024-06-12")  # 12, 13, 14, 17 June; closes 10.0 .. 10.3
    events = tdx.make_xdxr({"date": "2024-06-14", "fenhong": 3.0})
    out = reversion(symbol="600000", stock_data=bars, xdxr=events, type_="qfq")
    ratio = (10.1 * 10 - 3.0) / 10 / 10.1
    assert out["close"].tolist() == pytest.approx([10.0 * ratio, 10.1 * ratio, 10.2, 10.3])
    assert out["volume"].iloc[0] == pytest.approx(bars["volume"].iloc[0] / ratio)
    assert out["volume"].iloc[2] == bars["volume"].iloc[2]
    unchanged = reversion(symbol="600000", stock_data=bars, xdxr=pd.DataFrame(), type_="qfq")
    pd.testing.assert_frame_equal(unchanged, bars)
    with pytest.raises(ReversionError):
        reversion(symbol="600000", stock_data=bars, xdxr=events, type_="hfq")


def test_daily_manager_and_reader_are_scripted():
    from mootdx2.daily import DailyDataManager
    from mootdx2.reader import Reader

    tdx.script.DailyDataManager = [PermissionError("tdx dir unreadable")]
    with pytest.raises(PermissionError):
        DailyDataManager(tdxdir="/no/such/tdx")
    assert DailyDataManager(tdxdir="/srv/tdx").tdxdir == "/srv/tdx"  # past the script: built as usual

    reader = Reader.factory(market="std", tdxdir="/srv/tdx")
    tdx.script.daily = {"600000": tdx.make_bars(2)}
    assert reader.tdxdir == "/srv/tdx"
    assert len(reader.daily(symbol="600000", auto_download=True)) == 2
    assert tdx.calls_to("daily")[0].arguments["auto_download"] is True


# ---------------------------------------------------------------------------
# baostock login state and result sets
# ---------------------------------------------------------------------------


def test_baostock_queries_need_a_login_and_page_rows_as_text(monkeypatch):
    import baostock as bs

    monkeypatch.setattr(bs_double.state, "logged_in", False)
    bs_double.script.query_history_k_data_plus = pd.DataFrame({"date": ["2024-06-14"], "close": [10.5]})
    assert bs.query_history_k_data_plus("sh.600000", "date,close").error_code == "10001001"
    assert bs.login().error_code == "0"
    rs = bs.query_history_k_data_plus("sh.600000", "date,close", start_date="2024-06-01", end_date="2024-06-14")
    rows = []
    while rs.error_code == "0" and rs.next():
        rows.append(rs.get_row_data())
    assert rs.fields == ["date", "close"] and rows == [["2024-06-14", "10.5"]]
    assert bs_double.constituents(["sh.600000"]).get_data()["code"].tolist() == ["sh.600000"]


# ---------------------------------------------------------------------------
# installation and import forms
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "statement, name, library",
    [
        ("from mootdx2.quotes import Quotes", "Quotes", "mootdx2"),
        ("from mootdx2.consts import KLINE_DAILY", "KLINE_DAILY", "mootdx2"),
        ("from mootdx2.tools.reversion import reversion", "reversion", "mootdx2"),
        ("import mootdx2.tdx.transport.sync", "mootdx2", "mootdx2"),
        ("from mootdx2 import config", "config", "mootdx2"),
        ("from longport.openapi import Period as LPPeriod", "LPPeriod", "longport"),
        ("import efinance", "efinance", "efinance"),
        ("import fear_and_greed", "fear_and_greed", "fear_and_greed"),
    ],
)
def test_import_forms_reach_the_doubles(statement, name, library):
    namespace: dict = {}
    exec(statement, namespace)
    lib = next(lib for lib in doubles.LIBRARIES if lib.name == library)
    assert sys.modules[library] is lib.modules[library]
    assert namespace[name] is not None
    assert importlib.util.find_spec("mootdx2.tdx.transport.sync") is not None


def test_a_missing_submodule_fails_to_import():
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("mootdx2.no_such_module")


@pytest.mark.parametrize("library", surface.DOUBLED)
def test_each_double_provides_the_whole_surface(library):
    for dotted in surface.SURFACE[library]:
        assert surface.describe(surface.resolve(dotted, importlib.import_module)) != ["callable", None], dotted


def test_install_without_makes_a_library_unimportable():
    try:
        doubles.install(without=("yfinance",))
        with pytest.raises(ImportError):
            import yfinance  # noqa: F401
        import akshare

        assert akshare is doubles.akshare.lib.modules["akshare"]
    finally:
        doubles.install()
    import yfinance  # noqa: F401, F811


_CHILD_REPORT = """
import json, os, socket, sys
from doubles import netguard
def _reached(*args, **kwargs):
    raise AssertionError("the guard let a call through")
netguard._originals["create_connection"] = _reached
try:
    import yfinance
    yf = "importable"
except ImportError:
    yf = "missing"
try:
    socket.create_connection(("192.0.2.1", 80), timeout=30)
    guard = "open"
except RuntimeError as exc:
    guard = str(exc)
import baostock
print(json.dumps({
    "home": os.environ["HOME"], "data": os.environ["VEMRA_DATA_DIR"], "pacing": os.environ["VEMRA_PACING_DISABLED"],
    "driver": os.environ.get("VEMRA_MOOTDX_DRIVER"), "yfinance": yf, "guard": guard,
    "baostock": getattr(baostock, "__file__", None),
}))
"""


def test_child_interpreters_get_the_same_set_up():
    with_doubles = last_json_line(run_python(_CHILD_REPORT, without=("yfinance",), env={"VEMRA_MOOTDX_DRIVER": "tdxpy"}))
    assert with_doubles["home"] != os.environ["HOME"]
    assert with_doubles["data"].startswith(with_doubles["home"] + os.sep)
    assert with_doubles["pacing"] == "1" and with_doubles["driver"] == "tdxpy"
    assert with_doubles["yfinance"] == "missing"
    assert with_doubles["guard"] == "network access refused in tests: 192.0.2.1:80"
    assert with_doubles["baostock"] is None  # the double has no file

    real = last_json_line(run_python(_CHILD_REPORT, doubles=False))
    assert real["baostock"].endswith(os.path.join("baostock", "__init__.py"))
    assert real["guard"].startswith("network access refused")


def test_build_folder_supplies_markets_and_the_source_tree_the_rest(tmp_path):
    build = tmp_path / "build"
    build.mkdir()
    (build / "markets.py").write_text("ORIGIN = 'build folder'\n")
    code = """
import json, vemra.markets, vemra.exceptions
print(json.dumps({"markets": vemra.markets.__file__, "origin": vemra.markets.ORIGIN,
                  "exceptions": vemra.exceptions.__file__}))
"""
    result = last_json_line(run_python(code, env={"VEMRA_BUILD_DIR": str(build)}))
    assert result["markets"] == str(build / "markets.py") and result["origin"] == "build folder"
    source = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python", "vemra")
    assert result["exceptions"] == os.path.join(source, "exceptions.py")
