"""Tests of the package modules beside the market module: vemra.core,
vemra.exceptions and vemra.central_hub."""

import json
import os
import subprocess
import sys
import threading
import time
import weakref
from abc import ABCMeta
from datetime import date, datetime
from types import SimpleNamespace
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from zoneinfo import ZoneInfo

import pandas as pd
import pytest

import vemra.core as core
from vemra import central_hub
from vemra.exceptions import VemraError, VemraParamError

# The names the market module imports from the core at start-up, in its order.
MARKET_IMPORTS = """OHLC DownloadProvider Period LONGPORT_AVAILABLE fetch_daily_prices_json
get_logical_date get_default_start_date get_any_ohlc normalize_market_end_date is_usable_cache_csv
clean_ohlc_data find_best_extensible_cache generate_weekly_vemra longport_client tiingo_token_manager
global_pacer is_cache_fresh is_market_closed data_file_path find_cached_file_containing_range
get_data_dir ma_string restrict_file_permissions ensure_parent_dir _DIR_MODE init_env init_log
ensure_vemra_logging default_ohlc_end_date normalize_stock_code strip_user_stock_code
validate_ohlc_download_provider infer_ohlc_download_scope infer_ohlc_market csv_storage_symbol
is_cache_settled vemra_to_json get_date_string_v2 load_json_robust save_json_atomic
rate_limited_provider_call record_provider_backoff""".split()


class FakeTime:
    """Stands in for the time module: sleeping moves the clock on."""
    def __init__(self):
        self.now, self.sleeps = 1000.0, []

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(round(seconds, 6))
        self.now += seconds


@pytest.fixture
def fake_time(monkeypatch):
    fake = FakeTime()
    monkeypatch.setattr(core, "time", fake)
    monkeypatch.setattr(core, "global_pacer", core.ProviderPacer())
    monkeypatch.delenv("VEMRA_PACING_DISABLED", raising=False)
    return fake


def at(monkeypatch, *args):
    """Freeze the market clock at the given wall time in each market's zone."""
    seen = []

    def fake_now(tz):
        seen.append(tz)
        return datetime(*args, tzinfo=ZoneInfo(tz))
    monkeypatch.setattr(core, "_now", fake_now)
    return seen


# ---------------------------------------------------------------- module surface

def test_core_provides_every_name_the_market_module_imports():
    assert len(MARKET_IMPORTS) == 42
    assert [n for n in MARKET_IMPORTS if not hasattr(core, n)] == []
    for name in ("validate_ohlc_symbol", "validate_ohlc_period", "validate_ohlc_date", "is_index_symbol",
                 "get_index_ohlc", "get_stock_ohlc", "_get_any_ohlc_impl", "get_failure_timeout",
                 "is_a_stock_code", "is_etf_code"):
        assert callable(getattr(core, name))


def test_importing_core_loads_no_pandas_and_reads_no_setting():
    code = ("import os, sys; os.environ['VEMRA_DATA_DIR'] = '/nonexistent/should-not-be-made'; "
            "import vemra.core; print('pandas' in sys.modules, os.path.exists('/nonexistent'))")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(core.__file__)))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False"]


def test_download_provider_and_period_values():
    assert core.DownloadProvider("mootdx") is core.DownloadProvider.MOOTDX
    assert core.DownloadProvider(" Stock_US_Hist ") is core.DownloadProvider.STOCK_US_HIST
    assert core.DownloadProvider(core.DownloadProvider.TIINGO) is core.DownloadProvider.TIINGO
    with pytest.raises(ValueError):
        core.DownloadProvider("nosuchsource")
    values = [m.value for m in core.DownloadProvider]
    assert all(type(v) is str and v == v.lower() for v in values) and len(set(values)) == len(values)
    assert core.Period.DAILY.value == "d" and core.Period("WEEKLY") is core.Period.WEEKLY
    assert issubclass(VemraParamError, VemraError) and issubclass(VemraParamError, ValueError)


def test_facades_are_made_through_the_ohlc_metaclass(monkeypatch):
    monkeypatch.setattr(core.OHLCMeta, "registry", weakref.WeakValueDictionary())
    meta = type(core.OHLC)
    assert issubclass(meta, ABCMeta) and meta is not ABCMeta
    Demo = meta("Demo", (core.OHLC,), {"get_k_data": lambda self, *a, **k: "bars"})
    demo = Demo.__new__(Demo)  # facades never run the base constructor
    assert isinstance(demo, core.OHLC) and demo.get_k_data("x", "a", "b") == "bars"
    assert core.OHLCMeta.registry["Demo"] is Demo
    Incomplete = meta("Incomplete", (core.OHLC,), {})
    with pytest.raises(TypeError):
        Incomplete()
    assert "Incomplete" not in core.OHLCMeta.registry


# ---------------------------------------------------------------- pacing

def test_pacing_lets_errors_through_and_backs_off_one_key_only(fake_time):
    with pytest.raises(KeyError):
        with core.rate_limited_provider_call("eastmoney"):
            raise KeyError("boom")
    fake_time.now += 10
    assert core.record_provider_backoff("eastmoney", 2.0) is None
    with core.global_pacer.limit("tencent"):
        pass
    assert fake_time.sleeps == []
    with core.rate_limited_provider_call("EastMoney"):
        pass
    assert fake_time.sleeps == [2.0]
    assert core.record_provider_backoff("eastmoney", backoff_seconds="not a number") is None


def test_pacing_spaces_calls_of_one_key_and_never_nests_into_a_deadlock(fake_time, monkeypatch):
    monkeypatch.setitem(core._MIN_INTERVALS, "slowsrc", 0.5)
    with core.global_pacer.limit(core.DownloadProvider.TIINGO):
        with core.global_pacer.limit("tiingo"):  # the manager and the fetch may both pace
            pass
    for _ in range(3):
        with core.global_pacer.limit("slowsrc"):
            pass
    assert fake_time.sleeps == [0.2, 0.5, 0.5]
    monkeypatch.setenv("VEMRA_PACING_DISABLED", "1")
    core.record_provider_backoff("slowsrc", 30)
    with core.global_pacer.limit("slowsrc"):
        pass
    assert fake_time.sleeps == [0.2, 0.5, 0.5]


def test_pacing_is_thread_safe_per_key(monkeypatch):
    monkeypatch.delenv("VEMRA_PACING_DISABLED", raising=False)
    monkeypatch.setitem(core._MIN_INTERVALS, "threaded", 0.03)
    pacer, starts = core.ProviderPacer(), []

    def call():
        with pacer.limit("threaded"):
            starts.append(time.monotonic())
    threads = [threading.Thread(target=call) for _ in range(6)]
    begin = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join(5)
    # Six distinct slots 0.03 s apart: the last one cannot start before 0.15 s.
    # (Sleeps may run late but never early, so this holds on a busy machine.)
    assert len(starts) == 6 and max(starts) - begin >= 0.149


# ---------------------------------------------------------------- files

def test_data_dir_follows_the_environment_at_call_time(tmp_path, monkeypatch):
    monkeypatch.setenv("VEMRA_DATA_DIR", str(tmp_path / "one"))
    assert core.get_data_dir() == str(tmp_path / "one")
    assert os.stat(tmp_path / "one").st_mode & 0o777 == core._DIR_MODE
    monkeypatch.delenv("VEMRA_DATA_DIR")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    assert core.get_data_dir() == str(tmp_path / "home" / ".vemra" / "data")
    assert os.path.isdir(tmp_path / "home" / ".vemra" / "data")


def test_json_files_are_written_whole_or_not_at_all(tmp_path):
    path = str(tmp_path / "cache.json")
    core.save_json_atomic(path, {"mootdx": {"failure_count": 1}, "名": "值"})
    assert core.load_json_robust(path) == {"mootdx": {"failure_count": 1}, "名": "值"}
    with pytest.raises(TypeError):
        core.save_json_atomic(path, {"ok": 1, "bad": object()})
    assert core.load_json_robust(path) == {"mootdx": {"failure_count": 1}, "名": "值"}
    assert os.listdir(tmp_path) == ["cache.json"]
    core.restrict_file_permissions(path)
    assert os.stat(path).st_mode & 0o777 == 0o600
    with pytest.raises(OSError):
        core.restrict_file_permissions(str(tmp_path / "missing.json"))


def test_load_json_robust_tolerates_missing_empty_and_damaged_files(tmp_path, caplog):
    assert core.load_json_robust(str(tmp_path / "none.json")) == {}
    (tmp_path / "empty.json").write_text("  \n")
    assert core.load_json_robust(str(tmp_path / "empty.json")) == {}
    (tmp_path / "bad.json").write_text('{"mootdx": {"last_fail')
    assert core.load_json_robust(str(tmp_path / "bad.json")) == {}
    assert "bad.json" in caplog.text
    (tmp_path / "list.json").write_text("[1, 2]")
    assert core.load_json_robust(str(tmp_path / "list.json")) == [1, 2]


def test_cache_file_search_by_covered_range(tmp_path, monkeypatch):
    monkeypatch.setenv("VEMRA_DATA_DIR", str(tmp_path))
    (tmp_path / "market").mkdir()
    wide = tmp_path / "market" / "k_x_2024-01-01_2024-06-30_d.parquet"
    short = tmp_path / "k_x_2024-03-01_2024-04-30_d.csv"
    for p in (wide, short, tmp_path / "k_x_2023-01-01_2024-12-31_w.csv"):
        p.write_text("x")
    find = core.find_cached_file_containing_range
    assert find("k_x", "2024-03-05", "2024-04-01", core.Period.DAILY) in (str(wide), str(short))
    assert find("k_x", "2024-02-01", "2024-05-01") == str(wide)
    assert find("k_x", "2023-12-01", "2024-05-01") is None
    assert find("k_x", "2024-03-05", "2024-08-01") is None
    assert core.find_best_extensible_cache("k_x", "2024-03-10", "2024-09-01") == (
        str(wide), "2024-01-01", "2024-06-30")


# ---------------------------------------------------------------- trading clock

@pytest.mark.parametrize("when, logical, closed", [
    ((2024, 5, 10, 14, 59), "20240509", False),   # Friday, still trading
    ((2024, 5, 10, 15, 1), "20240510", True),     # Friday, after the close
    ((2024, 5, 11, 16, 0), "20240510", True),     # Saturday afternoon
    ((2024, 5, 13, 9, 0), "20240510", False),     # Monday morning
])
def test_logical_date_and_close_on_the_shanghai_clock(monkeypatch, when, logical, closed):
    zones = at(monkeypatch, *when)
    assert core.get_logical_date("cn") == logical
    assert core.is_market_closed("cn") is closed
    assert set(zones) == {"Asia/Shanghai"}


def test_other_markets_use_their_own_clock_and_end_dates_are_normalised(monkeypatch):
    zones = at(monkeypatch, 2024, 5, 10, 15, 30)
    assert core.get_logical_date("usa") == "20240509" and zones[-1] == "America/New_York"
    assert core.is_market_closed("hk") is False and zones[-1] == "Asia/Hong_Kong"
    assert core.normalize_market_end_date(None, "cn") == "2024-05-10"
    assert core.normalize_market_end_date("20240102", "hk") == "2024-01-02"
    assert core.normalize_market_end_date("2030-01-01", "cn") == "2024-05-10"
    with pytest.raises(ValueError):
        core.normalize_market_end_date("10/05/2024", "cn")


# ---------------------------------------------------------------- bars

def test_clean_ohlc_data_sorts_dedups_and_drops_rows_without_close():
    raw = pd.DataFrame({"open": ["3", "1", "2", "2.5"], "high": [3, 1, 2, 2.5], "low": [3, 1, 2, 2.5],
                        "close": [3, 1, None, 2.5], "volume": [30, 10, 20, 25]},
                       index=["2024-01-04", "2024-01-02", "2024-01-03", "2024-01-04"])
    out = core.clean_ohlc_data(raw)
    assert list(out.index.strftime("%Y-%m-%d")) == ["2024-01-02", "2024-01-04"]
    assert out.index.name == "Date" and out.loc["2024-01-04", "close"] == 2.5
    assert all(out[c].dtype == "float64" for c in ("open", "close", "volume"))


def test_weekly_bars_from_daily_bars():
    days = pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-08", "2024-01-12"])
    daily = pd.DataFrame({"Date": days, "open": [1, 2, 3, 4, 5], "high": [5, 9, 6, 4, 8],
                          "low": [1, 0.5, 2, 3, 4], "close": [2, 3, 4, 5, 6], "volume": [10, 20, 30, 40, 50]})
    weekly = core.generate_weekly_vemra(daily)
    assert list(weekly.index.strftime("%Y-%m-%d")) == ["2024-01-04", "2024-01-12"]
    assert weekly.iloc[0][["open", "high", "low", "close", "volume"]].tolist() == [1, 9, 0.5, 4, 60]
    assert weekly.iloc[1][["open", "close", "volume"]].tolist() == [4, 6, 90]


# ---------------------------------------------------------------- symbols and bar entries

@pytest.mark.parametrize("raw, norm, scope", [
    ("600000", "sh.600000", "astock"), ("sz000001", "sz.000001", "astock"),
    ("000001.SZ", "sz.000001", "astock"), ("510300", "sh.510300", "etf"), ("159915", "sz.159915", "etf"),
    ("700", "hk.00700", "hk"), ("hk.hsi", "hk.HSI", "hk"), ("aapl", "us.AAPL", "usa"), ("SHOP", "us.SHOP", "usa"),
])
def test_codes_are_normalised_and_given_their_facade(raw, norm, scope):
    assert core.normalize_stock_code(raw) == norm
    assert core.infer_ohlc_download_scope(raw) == scope


def test_validators_of_the_bar_entry():
    assert core.validate_ohlc_symbol("  US.aapl ") == "us.AAPL"
    assert core.validate_ohlc_symbol("600000") == "600000"
    for bad in ("", "   ", 600000, "sh 600000; rm"):
        with pytest.raises(VemraParamError):
            core.validate_ohlc_symbol(bad)
    assert core.validate_ohlc_period(None) is core.Period.DAILY
    assert core.validate_ohlc_period("weekly") is core.Period.WEEKLY
    with pytest.raises(VemraParamError):
        core.validate_ohlc_period("monthly")
    for value in ("2024-01-02", "20240102", date(2024, 1, 2), datetime(2024, 1, 2, 9, 30)):
        assert core.validate_ohlc_date(value, name="起始日期 (start_date)") == date(2024, 1, 2)
    with pytest.raises(VemraParamError, match=r"结束日期 \(end_date\)"):
        core.validate_ohlc_date("2024-13-45", name="结束日期 (end_date)")
    assert [core.is_index_symbol(s) for s in ("sh.000300", "sz.399006", "hk.HSI", "sz.000001", "sh.600000")] \
        == [True, True, True, False, False]


@pytest.fixture
def facades(monkeypatch):
    """Stand-in facades, made the way the market module makes its own."""
    monkeypatch.setattr(core.OHLCMeta, "registry", weakref.WeakValueDictionary())
    calls = []

    def get_k_data(self, code, start, end, period=core.Period.DAILY, download_provider=None, storage_symbol=None):
        calls.append((type(self).__name__, code, start, end, period, self.download_provider))
        return "bars"
    made = {n: type(core.OHLC)(n, (core.OHLC,), {"get_k_data": get_k_data}) for n in ("AStock", "ETF", "HK", "USA")}
    return calls, made


def test_bar_entries_route_each_symbol_to_its_facade(facades, monkeypatch):
    calls, _made = facades
    at(monkeypatch, 2024, 5, 10, 12, 0)
    assert core.get_any_ohlc(" sh600000 ", "2024-01-02", "20240131", download_provider="MOOTDX") == "bars"
    core.get_any_ohlc("sh.000300", "2024-01-02", period="weekly")
    core.get_any_ohlc("00700", "2024-01-02", "2024-02-01")
    core.get_stock_ohlc("510300", start_date=date(2024, 3, 1), end_date="2024-03-29")
    core.get_index_ohlc("000001", "2024-01-02", "2024-02-01")
    D, W, AUTO = core.Period.DAILY, core.Period.WEEKLY, core.DownloadProvider.AUTO
    assert calls == [
        ("AStock", "sh.600000", "2024-01-02", "2024-01-31", D, core.DownloadProvider.MOOTDX),
        ("AStock", "sh.000300", "2024-01-02", "2024-05-09", W, AUTO),
        ("HK", "hk.00700", "2024-01-02", "2024-02-01", D, AUTO),
        ("ETF", "sh.510300", "2024-03-01", "2024-03-29", D, AUTO),
        ("AStock", "sh.000001", "2024-01-02", "2024-02-01", D, AUTO),
    ]
    with pytest.raises(VemraParamError, match="^起始日期 2024-05-01 不能晚于结束日期 2024-01-01$"):
        core.get_any_ohlc("sh.000001", "2024-05-01", "2024-01-01")
    assert len(calls) == 5


# ---------------------------------------------------------------- outside services

def test_tiingo_tokens_rotate_past_a_refused_one(monkeypatch):
    import requests
    seen, rows = [], [{"date": "2024-01-02", "close": 1.0}]

    def fake_get(url, params, timeout):
        seen.append(params["token"])
        status = 429 if params["token"] == "t1" else 200
        return SimpleNamespace(status_code=status, raise_for_status=lambda: None, json=lambda: rows)
    monkeypatch.setattr(requests, "get", fake_get)
    monkeypatch.setattr(core, "tiingo_token_manager", core.TiingoTokenManager())
    monkeypatch.setenv("TIINGO_API_KEYS", " t1, t2 ")
    assert core.fetch_daily_prices_json("SPY", "2024-01-01", "2024-01-05") == rows
    assert seen == ["t1", "t2"]
    monkeypatch.setenv("TIINGO_API_KEYS", "")
    with pytest.raises(RuntimeError, match="TIINGO_API_KEYS"):
        core.fetch_daily_prices_json("SPY", "2024-01-01", "2024-01-05")


@pytest.fixture
def hub(monkeypatch):
    """A loopback hub whose answers each test scripts by route."""
    answers, asked = {}, []

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            asked.append(self.path)
            status, body = answers.get(self.path.split("?")[0], (404, {}))
            data = json.dumps(body).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, *args):
            pass
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    monkeypatch.setenv("VEMRA_CENTRAL_HUB_URL", f"http://127.0.0.1:{server.server_port}/")
    yield answers, asked
    server.shutdown()
    server.server_close()


def test_central_hub_answers_are_tables_and_failures_are_no_answer(hub, monkeypatch):
    answers, asked = hub
    rows = [{"名称": "上证指数", "代码": "000001", "最新价": 3100.5}]
    answers["/market/overview"] = (200, {"fetch_time": "2024-05-10 15:30:00", "cn_indices": rows})
    answers["/market/indices"] = (200, {"data": []})
    overview = central_hub.fetch_market_overview_from_central_hub(
        include_global=False, include_hk=True, as_of_date=None, refresh_cache=False, use_snapshot=False)
    assert overview["fetch_time"] == "2024-05-10 15:30:00"
    assert overview["cn_indices"].loc[0, "最新价"] == 3100.5
    assert "include_hk=true" in asked[-1] and "as_of_date" not in asked[-1]
    assert central_hub.fetch_market_indices_from_central_hub(
        market="hk", as_of_date=None, refresh_cache=False, use_snapshot=False) is None
    answers["/market/overview"] = (500, {"error": "down"})
    assert central_hub.fetch_market_overview_from_central_hub(include_global=True, include_hk=True) is None
    monkeypatch.delenv("VEMRA_CENTRAL_HUB_URL")
    count = len(asked)
    assert central_hub.fetch_market_history_from_central_hub(days=5, market="cn") is None
    assert len(asked) == count
