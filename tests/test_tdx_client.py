"""The shared TDX quotes client, the shared daily-data manager and the
clearing of TDX failure marks, against the mootdx2 double."""

import json
import logging
import os
import stat
import sys
import threading
import time
from types import SimpleNamespace

import pytest

from doubles import Compute, mootdx2 as tdx

T0 = 1_700_000_000.0


@pytest.fixture(autouse=True)
def fresh_pool(markets, monkeypatch):
    monkeypatch.setattr(markets, "_mootdx_std_client", None)
    monkeypatch.setattr(markets, "_client_created_at", 0.0)
    monkeypatch.setattr(markets, "_client_last_used_at", 0.0)
    monkeypatch.setattr(markets, "_daily_manager", None)


@pytest.fixture
def clock(monkeypatch):
    fake = SimpleNamespace(now=T0)
    monkeypatch.setattr(time, "time", lambda: fake.now)
    return fake


def pool_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "vemra.markets"]


# ------------------------------------------------------------------ the client


@pytest.mark.parametrize(
    "env, driver, timeout",
    [
        ({}, "native", 3.0),
        ({"VEMRA_MOOTDX_DRIVER": "tcp", "VEMRA_MOOTDX_TIMEOUT": "2.5"}, "tcp", 2.5),
        ({"VEMRA_MOOTDX_DRIVER": "", "VEMRA_MOOTDX_TIMEOUT": " 7 "}, "", 7.0),
    ],
)
def test_first_demand_builds_the_client_from_the_environment_and_later_calls_reuse_it(
    markets, clock, monkeypatch, env, driver, timeout
):
    for key, value in env.items():
        monkeypatch.setenv(key, value)

    client = markets._get_mootdx_client()
    (built,) = tdx.calls_to("factory")
    assert built.kwargs == {"market": "std", "driver": driver, "timeout": timeout}
    assert type(built.kwargs["timeout"]) is float
    assert client is tdx.last_client() is markets._mootdx_std_client
    assert markets._client_created_at == markets._client_last_used_at == T0

    clock.now = T0 + 30
    assert markets._get_mootdx_client() is client
    assert len(tdx.calls_to("factory")) == 1
    assert (markets._client_created_at, markets._client_last_used_at) == (T0, T0 + 30)


@pytest.mark.parametrize("value", ["abc", "", "0", "-1", "nan", "inf"])
def test_an_unusable_timeout_is_refused_and_no_client_is_stored(markets, clock, monkeypatch, value):
    monkeypatch.setenv("VEMRA_MOOTDX_TIMEOUT", value)
    with pytest.raises(ValueError, match="VEMRA_MOOTDX_TIMEOUT"):
        markets._get_mootdx_client()
    assert tdx.calls_to("factory") == []
    assert markets._mootdx_std_client is None
    assert markets._client_created_at == markets._client_last_used_at == 0.0

    monkeypatch.setenv("VEMRA_MOOTDX_TIMEOUT", "1.5")
    assert markets._get_mootdx_client() is tdx.last_client()


def test_the_client_is_rebuilt_only_when_strictly_older_than_its_lifetime(markets, clock, caplog):
    caplog.set_level(logging.DEBUG, logger="vemra.markets")
    first = markets._get_mootdx_client()

    clock.now = T0 + 900.0
    assert markets._get_mootdx_client() is first and not first.closed

    clock.now = T0 + 900.5
    second = markets._get_mootdx_client()
    assert second is not first and first.closed
    assert markets._client_created_at == markets._client_last_used_at == T0 + 900.5
    assert [m for m in pool_lines(caplog) if "生命周期" in m] == [
        "mootdx 连接已达到最大生命周期 (900.5s > 900.0s)，平滑重建连接"
    ]


def test_a_client_dropped_for_its_age_is_not_heartbeat_tested(markets, clock):
    first = markets._get_mootdx_client()
    clock.now = T0 + 1000.0  # past both the lifetime and the idle limit
    assert markets._get_mootdx_client() is not first
    assert tdx.calls_to("get_security_count") == []


def test_an_idle_client_is_heartbeat_tested_after_strictly_more_than_the_idle_time(markets, clock):
    client = markets._get_mootdx_client()
    clock.now = T0 + 45.0
    assert markets._get_mootdx_client() is client
    assert tdx.calls_to("get_security_count") == []

    clock.now = T0 + 90.001
    assert markets._get_mootdx_client() is client
    (heartbeat,) = tdx.calls_to("get_security_count")
    assert heartbeat.args == (0,) and heartbeat.obj is client.client
    assert len(tdx.calls_to("factory")) == 1


def test_a_failing_heartbeat_gives_a_new_client_in_the_same_call(markets, clock, caplog):
    caplog.set_level(logging.DEBUG, logger="vemra.markets")
    first = markets._get_mootdx_client()
    tdx.script.get_security_count = ConnectionResetError("peer reset")

    clock.now = T0 + 60.0
    second = markets._get_mootdx_client()
    assert second is not first and second is tdx.last_client() and first.closed
    assert markets._client_created_at == T0 + 60.0
    assert pool_lines(caplog) == ["mootdx 闲置连接心跳探活失败 (peer reset)，平滑重建连接"]


def test_a_client_without_a_protocol_object_is_replaced_only_by_age(markets, clock):
    old, new = SimpleNamespace(server=None), SimpleNamespace(server=None)
    tdx.script.factory = [old, new]
    assert markets._get_mootdx_client() is old
    clock.now = T0 + 600.0
    assert markets._get_mootdx_client() is old
    clock.now = T0 + 900.5
    assert markets._get_mootdx_client() is new


@pytest.mark.parametrize("getter, builder", [("_get_mootdx_client", "factory"),
                                             ("_get_daily_data_manager", "DailyDataManager")])
def test_concurrent_first_callers_share_one_object(markets, monkeypatch, tmp_path, getter, builder):
    monkeypatch.setenv("MOOTDX2_TDX_DIR", str(tmp_path))
    real = {"factory": lambda **_: tdx.StdQuotes(), "DailyDataManager": lambda **_: None}[builder]
    # A slow build widens the window in which a second build could start.
    tdx.script.set(builder, Compute(lambda **a: time.sleep(0.05) or real(**a)))
    results, barrier = [], threading.Barrier(8)

    def ask():
        barrier.wait()
        results.append(getattr(markets, getter)())

    threads = [threading.Thread(target=ask) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert len(results) == 8 and len({id(r) for r in results}) == 1
    assert len(tdx.calls_to(builder)) == 1


def test_reset_closes_and_forgets_the_client(markets, clock, monkeypatch, caplog):
    caplog.set_level(logging.DEBUG, logger="vemra.markets")
    monkeypatch.setattr(markets, "_client_created_at", 5.0)
    assert markets._reset_mootdx_client() is None  # nothing to close: only the stamps
    assert markets._client_created_at == markets._client_last_used_at == 0.0

    client = markets._get_mootdx_client()
    markets._reset_mootdx_client()
    assert client.closed and markets._mootdx_std_client is None

    def stuck(_client):
        raise OSError("stuck")

    markets._get_mootdx_client()
    monkeypatch.setattr(markets, "_close_mootdx_socket", stuck)
    markets._reset_mootdx_client()
    assert markets._mootdx_std_client is None
    assert markets._client_created_at == markets._client_last_used_at == 0.0
    assert pool_lines(caplog) == ["_reset_mootdx_client 关闭旧连接异常: stuck"]


# ---------------------------------------------------------- closing the socket


def test_the_close_walks_every_handle_of_a_client_innermost_first(markets):
    client = tdx.StdQuotes()
    assert markets._close_mootdx_socket(client) is None
    assert [c.name for c in tdx.calls] == ["socket_close", "sock_close", "disconnect", "close"]
    assert client.closed
    for nothing in (None, object(), SimpleNamespace(client=None)):
        assert markets._close_mootdx_socket(nothing) is None


@pytest.mark.parametrize(
    "shape, expected",
    [
        ("sock_falsy", ["sockclient", "_sock", "api", "client"]),  # "_sock" stands in
        ("no_socket_client", ["api", "client"]),
        ("bare_api", ["client"]),
        ("no_api", ["client"]),
        ("socket_client_fails", ["sockclient"]),  # the first failure ends the close
        ("socket_fails", ["sockclient", "sock"]),
    ],
)
def test_the_close_tolerates_missing_handles_and_stops_at_the_first_failure(markets, caplog, shape, expected):
    journal = []

    def handle(name, fail=False):
        def close():
            journal.append(name)
            if fail:
                raise OSError(name)
        return SimpleNamespace(close=close)

    client = handle("client")
    api = SimpleNamespace(disconnect=handle("api").close)
    if shape == "sock_falsy":
        api.client = SimpleNamespace(close=handle("sockclient").close, sock=0, _sock=handle("_sock"))
    elif shape == "bare_api":
        api = SimpleNamespace()
    elif shape == "socket_client_fails":
        api.client = SimpleNamespace(close=handle("sockclient", fail=True).close, sock=handle("sock"))
    elif shape == "socket_fails":
        api.client = SimpleNamespace(close=handle("sockclient").close, sock=handle("sock", fail=True))
    if shape != "no_api":
        client.client = api

    assert markets._close_mootdx_socket(client) is None
    assert journal == expected
    assert pool_lines(caplog) == []


@pytest.mark.parametrize(
    "client, expected",
    [
        (None, "unknown"),
        (SimpleNamespace(server=("10.0.0.1", 7709), manager=SimpleNamespace(current=("10.0.0.9", 1))), "10.0.0.1:7709"),
        (SimpleNamespace(server=["10.0.0.1", 7709, "extra"]), "10.0.0.1:7709"),
        (SimpleNamespace(server=None, manager=SimpleNamespace(current=["10.0.0.2", 7711])), "10.0.0.2:7711"),
        (SimpleNamespace(server=("10.0.0.1",), manager=SimpleNamespace(current=("10.0.0.3", 7709))), "10.0.0.3:7709"),
        (SimpleNamespace(server=("10.0.0.1",)), "unknown"),
        (SimpleNamespace(server="10.0.0.1:7709", manager=SimpleNamespace()), "unknown"),
        (tdx.StdQuotes(), "127.0.0.11:7709"),
    ],
)
def test_server_info_for_each_shape(markets, client, expected):
    assert markets._get_mootdx_server_info(client) == expected


# ------------------------------------------------------------ daily manager


def test_the_daily_manager_is_built_once_from_the_setting_and_anew_after_a_reset(markets, monkeypatch, tmp_path):
    monkeypatch.setenv("MOOTDX2_TDX_DIR", str(tmp_path))
    monkeypatch.setitem(sys.modules, "vemra.offline", None)  # must not be needed

    first = markets._get_daily_data_manager()
    assert markets._get_daily_data_manager() is first
    assert [c.kwargs for c in tdx.calls_to("DailyDataManager")] == [{"tdxdir": str(tmp_path)}]

    monkeypatch.setenv("MOOTDX2_TDX_DIR", str(tmp_path / "other"))
    assert markets._reset_daily_data_manager() is None
    assert markets._get_daily_data_manager() is not first
    assert tdx.calls_to("DailyDataManager")[1].kwargs == {"tdxdir": str(tmp_path / "other")}


def test_a_library_without_the_manager_fails_as_an_import(markets, monkeypatch, tmp_path):
    monkeypatch.setenv("MOOTDX2_TDX_DIR", str(tmp_path))
    monkeypatch.delattr(sys.modules["mootdx2.daily"], "DailyDataManager")
    with pytest.raises(ImportError, match="^cannot import name DailyDataManager$"):
        markets._get_daily_data_manager()
    assert markets._daily_manager is None


@pytest.mark.parametrize("setting", [None, ""])
def test_without_a_setting_the_resolver_names_the_directory(markets, monkeypatch, setting):
    from vemra.offline import TdxPathResolver

    if setting is not None:
        monkeypatch.setenv("MOOTDX2_TDX_DIR", setting)
    monkeypatch.setattr(TdxPathResolver, "resolve_tdx_dir", staticmethod(lambda: "/opt/tdx-found"))
    markets._get_daily_data_manager()
    assert tdx.calls_to("DailyDataManager")[0].kwargs == {"tdxdir": "/opt/tdx-found"}


# ------------------------------------------------------ clearing failure marks

ASTOCK = "astock_download_failure_cache.json"
ETF = "etf_download_failure_cache.json"


@pytest.fixture
def caches(markets, monkeypatch):
    """The machine's own /tmp and /var/lib/vemra are hidden from the clearing."""
    real_exists = os.path.exists
    hidden = ("/var/lib/vemra/data", "/var/lib/vemra", "/tmp")
    monkeypatch.setattr(os.path, "exists", lambda p: p not in hidden and real_exists(p))

    def write(folder, name, content):
        path = os.path.join(str(folder), name)
        with open(path, "w", encoding="utf-8") as fh:
            fh.write(content if isinstance(content, str) else json.dumps(content, ensure_ascii=False))
        return path

    return SimpleNamespace(dir=markets.get_data_dir(), write=write)


def record(n):
    return {"last_failure": "2024-06-14T07:00:00+00:00", "failure_count": n}


def read(path):
    with open(path, encoding="utf-8") as fh:
        return json.load(fh)


def test_clearing_removes_only_the_mootdx_mark(markets, caches, caplog):
    caplog.set_level(logging.INFO, logger="vemra.markets")
    astock = caches.write(caches.dir, ASTOCK, {"baostock": record(2), "mootdx": record(5), "akshare": record(1)})
    etf = caches.write(caches.dir, ETF, {"mootdx": record(1), "efinance": {"note": "东财", "nested": [1, 2.5, None]}})

    assert markets.clear_mootdx_failure_caches() is None

    assert list(read(astock).items()) == [("baostock", record(2)), ("akshare", record(1))]
    assert read(etf) == {"efinance": {"note": "东财", "nested": [1, 2.5, None]}}
    assert {stat.S_IMODE(os.stat(p).st_mode) for p in (astock, etf)} == {0o600}
    assert pool_lines(caplog) == [f"已解除 {p} 中的 mootdx 故障熔断标记" for p in (astock, etf)]


def test_each_folder_is_cleared_once_under_its_first_name(markets, caches, monkeypatch, tmp_path, caplog):
    caplog.set_level(logging.INFO, logger="vemra.markets")
    link = tmp_path / "center"
    link.symlink_to(caches.dir)  # VEMRA_CENTER naming the data directory
    monkeypatch.setenv("VEMRA_CENTER", str(link))
    (tmp_path / "mine").mkdir()
    mine = caches.write(tmp_path / "mine", ASTOCK, {"mootdx": record(1)})
    caches.write(caches.dir, ASTOCK, {"mootdx": record(1), "akshare": record(3)})
    loads, saves = [], []
    real_load, real_save = markets.load_json_robust, markets.save_json_atomic
    monkeypatch.setattr(markets, "load_json_robust", lambda p: loads.append(p) or real_load(p))
    monkeypatch.setattr(markets, "save_json_atomic", lambda p, d: saves.append(p) or real_save(p, d))

    markets.clear_mootdx_failure_caches(str(tmp_path / "mine") + "/")

    through_link = os.path.join(str(link), ASTOCK)
    assert loads == saves == [mine, through_link]
    assert read(mine) == {} and read(through_link) == {"akshare": record(3)}
    assert len(pool_lines(caplog)) == 2


def test_unmarked_damaged_and_non_object_files_are_left_alone(markets, caches, tmp_path, caplog):
    caplog.set_level(logging.INFO)
    unmarked = caches.write(caches.dir, ASTOCK, {"baostock": record(1)})
    damaged = caches.write(caches.dir, ETF, '{"mootdx": {"failure_count": 3')
    array = caches.write(tmp_path, ASTOCK, [{"mootdx": record(1)}])
    text = caches.write(tmp_path, ETF, '"mootdx"')
    os.utime(unmarked, (1_600_000_000, 1_600_000_000))
    before = {p: open(p, encoding="utf-8").read() for p in (damaged, array, text)}

    markets.clear_mootdx_failure_caches(str(tmp_path))

    assert os.stat(unmarked).st_mtime == 1_600_000_000
    assert {p: open(p, encoding="utf-8").read() for p in before} == before
    assert pool_lines(caplog) == []
    assert any(damaged in r.getMessage() for r in caplog.records if r.levelno == logging.WARNING)


def test_a_failing_file_is_logged_and_the_next_one_still_cleared(markets, caches, monkeypatch, caplog):
    caplog.set_level(logging.INFO, logger="vemra.markets")
    astock = caches.write(caches.dir, ASTOCK, {"mootdx": record(1)})
    etf = caches.write(caches.dir, ETF, {"mootdx": record(1)})
    real_save, narrowed = markets.save_json_atomic, []

    def save(path, data):
        if path == astock:
            raise OSError("disk full")
        real_save(path, data)

    monkeypatch.setattr(markets, "save_json_atomic", save)
    monkeypatch.setattr(markets, "restrict_file_permissions", narrowed.append)
    markets.clear_mootdx_failure_caches()

    assert read(astock) == {"mootdx": record(1)} and read(etf) == {}
    assert narrowed == [etf]
    assert pool_lines(caplog) == [f"清理 {astock} 的 mootdx 故障记录异常: disk full",
                                  f"已解除 {etf} 中的 mootdx 故障熔断标记"]


def test_the_system_folders_are_candidates_too(markets, monkeypatch):
    # Nothing on this machine is touched: existence, reads and writes are faked.
    monkeypatch.setattr(os.path, "exists", lambda p: p in ("/tmp", "/tmp/" + ASTOCK))
    monkeypatch.setattr(markets, "get_data_dir", lambda: "/nonexistent/vemra-data")
    monkeypatch.setattr(markets, "load_json_robust", lambda p: {"mootdx": record(1), "akshare": record(2)})
    saved = []
    monkeypatch.setattr(markets, "save_json_atomic", lambda p, d: saved.append((p, d)))
    monkeypatch.setattr(markets, "restrict_file_permissions", lambda p: None)

    markets.clear_mootdx_failure_caches()
    assert saved == [("/tmp/" + ASTOCK, {"akshare": record(2)})]


def test_clearing_waits_for_a_manager_writing_the_same_cache(markets, caches):
    path = caches.write(caches.dir, ASTOCK, {"mootdx": record(4)})
    done = threading.Event()

    with markets._FAILURE_CACHE_LOCK:  # a download manager amid its own read-modify-write
        worker = threading.Thread(target=lambda: (markets.clear_mootdx_failure_caches(), done.set()))
        worker.start()
        assert not done.wait(0.2)
        data = markets.load_json_robust(path)
        data["baostock"] = record(1)
        markets.save_json_atomic(path, data)
    worker.join(10)
    assert done.is_set() and read(path) == {"baostock": record(1)}
