"""Bar-count estimates, TDX bar normalisation, ex-rights tables, offline
forward adjustment, daily bars from the client and row date and time."""

from __future__ import annotations

import logging

import numpy as np
import pandas as pd
import pytest

from doubles import Compute, mootdx2 as tdx


def days_ago(n: int) -> str:
    return (pd.Timestamp.now().normalize() - pd.Timedelta(days=n)).strftime("%Y-%m-%d")


# ------------------------------------------------------------ offset estimate


@pytest.mark.parametrize(
    "start, default, expected",
    [
        (None, 800, 800), ("", 800, 800), ("no date", 800, 800), (days_ago(365), 800, 800),
        (days_ago(1081), 800, 800), (days_ago(1082), 800, 801), (days_ago(3650), 800, 2560),
        (days_ago(11592), 800, 7999), (days_ago(11593), 800, 8000), (days_ago(40 * 366), 800, 8000),
        (days_ago(40 * 366), 10000, 10000), (days_ago(-10), 0, 54), (days_ago(365), 7.9, 310),
        (pd.Timestamp("2000-01-01", tz="UTC"), 123, 123),
    ],
)  # fmt: skip
def test_offset_estimate(markets, start, default, expected):
    assert markets._calc_mootdx_offset(start, default) == expected


@pytest.mark.parametrize(
    "initial, steps",
    [(1200, [1200, 800, 300, 120]), (801, [801, 800, 300, 120]), (800, [800, 300, 120]), (300.5, [300, 120]),
     (121, [121, 120]), (120, [120]), (50, [50])],
)  # fmt: skip
def test_offset_steps(markets, initial, steps):
    assert markets._get_adaptive_offset_steps(initial) == steps


def test_offset_arguments_must_be_numbers(markets):
    with pytest.raises(TypeError, match="'default_offset'.*got str"):
        markets._calc_mootdx_offset(None, "3")
    with pytest.raises(TypeError, match="'initial_offset'.*got str"):
        markets._get_adaptive_offset_steps("800")
    # A start date whose truth is undecidable is the caller's error, not "no date".
    with pytest.raises(ValueError, match="ambiguous"):
        markets._calc_mootdx_offset(pd.Series(["2020-01-01", "2021-01-01"]))


# ------------------------------------------------------------ bar normalisation


def bars(**cols) -> pd.DataFrame:
    base = {"open": 1.0, "high": 2.0, "low": 0.5, "close": 10.0, "datetime": "2024-06-14 15:00"}
    base.update(cols)
    n = max((len(v) for v in base.values() if isinstance(v, list)), default=1)
    return pd.DataFrame({k: v if isinstance(v, list) else [v] * n for k, v in base.items()})


def test_finalize_shape_dates_and_index(markets):
    data = bars(vol=[100.0, 200.0], amount=[1.0, 2.0], code="600000", datetime=["2024-06-14 15:00", "1969-12-31 09:31"])
    data.index = pd.Index(["x", "y"])
    before = data.copy()
    out = markets._finalize_mootdx_ohlcv(data)
    pd.testing.assert_frame_equal(data, before)
    assert list(out.columns) == ["date", "open", "high", "low", "close", "volume"]
    assert list(out.index) == ["x", "y"]
    assert list(out["date"]) == [pd.Timestamp("2024-06-14"), pd.Timestamp("1969-12-31")]
    assert out["volume"].tolist() == [100.0, 200.0]
    # "date" wins over "datetime"; without either the index gives the dates.
    both = markets._finalize_mootdx_ohlcv(bars(date="2020-01-02 10:00", vol=1.0))
    assert both["date"].iloc[0] == pd.Timestamp("2020-01-02")
    by_index = bars(vol=[1.0, 2.0]).drop(columns="datetime")
    by_index.index = pd.DatetimeIndex(["2021-03-04 15:00", "1969-12-31 15:00"])
    assert list(markets._finalize_mootdx_ohlcv(by_index)["date"]) == list(pd.to_datetime(["2021-03-04", "1969-12-31"]))


@pytest.mark.filterwarnings("ignore:Could not infer format")
@pytest.mark.parametrize(
    "texts",
    [["2024-06-14", "2024-02-29"], ["2024-06-14 09:31", "1700-01-01 23:59"], ["2024-06-14 09:31:05", "2261-12-31 00:00:00"],
     ["2024-06-14 15:00", "2024-06-15"], ["2023-02-29 15:00", "2023-03-01 15:00"], ["2024-06-14 24:00"],
     ["2024-6-14 15:00"], ["2024-06-14 09:31:60"], ["1677-06-14"],
     [pd.Timestamp("2024-06-14 15:00"), "2024-06-15 15:00"], ["2024-06-14 15:00+08:00", "2024-06-15 01:00+08:00"]],
)  # fmt: skip
def test_finalize_dates_match_pandas(markets, texts):
    data = bars(vol=1.0, datetime=texts)
    try:
        expected = pd.to_datetime(pd.to_datetime(data["datetime"])).dt.normalize()
    except (ValueError, TypeError) as exc:
        with pytest.raises(type(exc)):
            markets._finalize_mootdx_ohlcv(data)
        return
    pd.testing.assert_series_equal(markets._finalize_mootdx_ohlcv(data)["date"], expected, check_names=False)


@pytest.mark.parametrize(
    "ratio, multiplied", [(39.9, False), (40.0, True), (100.0, True), (250.0, True), (250.1, False)]
)
def test_finalize_lot_window(markets, ratio, multiplied):
    out = markets._finalize_mootdx_ohlcv(bars(volume=1000, amount=ratio * 1000 * 10.0))
    assert out["volume"].tolist() == [100_000.0 if multiplied else 1000.0]
    assert out["volume"].dtype == np.float64


def test_finalize_volume_sources_and_repair_guards(markets):
    # Index bars take the turnover and are never repaired.
    out = markets._finalize_mootdx_ohlcv(bars(vol=1000.0, amount=1e6), volume_as_amount=True)
    assert out["volume"].tolist() == [1e6] and "amount" not in out.columns
    assert markets._finalize_mootdx_ohlcv(bars(vol=7.0, amount=1.0), volume_as_amount=False)["volume"].tolist() == [7.0]
    assert markets._finalize_mootdx_ohlcv(bars(amount=5.0))["volume"].tolist() == [5.0]
    assert markets._finalize_mootdx_ohlcv(bars(vol=["1,2", None]))["volume"].tolist() == [0.0, 0.0]
    # Zero volume, non-positive close, or no amount: nothing multiplied.
    guards = bars(vol=[0.0, 1000.0, 1000.0], amount=1e6, close=[10.0, -10.0, 0.0])
    assert markets._finalize_mootdx_ohlcv(guards)["volume"].tolist() == [0.0, 1000.0, 1000.0]
    assert markets._finalize_mootdx_ohlcv(bars(vol=1000.0))["volume"].tolist() == [1000.0]
    # Repeated index labels: only the row in lots is multiplied.
    dup = bars(vol=[1000.0, 1000.0], amount=[1e6, 1e4]).set_axis(pd.Index([7, 7]))
    assert markets._finalize_mootdx_ohlcv(dup)["volume"].tolist() == [100_000.0, 1000.0]


def test_finalize_missing_columns(markets):
    with pytest.raises(RuntimeError) as err:
        markets._finalize_mootdx_ohlcv(bars().drop(columns="open"))
    assert str(err.value) == "mootdx data missing required column(s): ['open', 'volume']"
    with pytest.raises(TypeError):
        markets._finalize_mootdx_ohlcv(bars(vol=1.0), True)


# ------------------------------------------------------------ ex-rights tables


def test_xdxr_date_forms(markets):
    empty = markets._normalize_xdxr_df(None)
    assert empty.empty and len(empty.columns) == 0
    assert markets._normalize_xdxr_df(pd.DataFrame()).empty
    ymd = pd.DataFrame({"year": [2024, 2024], "month": [6, 13], "day": [14, 1], "fenhong": [3.0, 1.0]})
    out = markets._normalize_xdxr_df(ymd)
    assert list(out.index) == [pd.Timestamp("2024-06-14")] and out.index.name == "date"
    assert len(ymd) == 2 and "date" not in ymd.columns
    text = markets._normalize_xdxr_df(pd.DataFrame({"date": ["2024-06-14", "no date"], "fenhong": [1.0, 2.0]}))
    assert list(text.index) == [pd.Timestamp("2024-06-14")] and "date" not in text.columns
    gone = markets._normalize_xdxr_df(pd.DataFrame({"date": ["bad"], "fenhong": [1.0]}))
    assert gone.empty and gone.index.name == "date"
    nat = pd.DataFrame({"fenhong": [1.0, 2.0]}, index=pd.DatetimeIndex(["2024-01-02", None]))
    assert list(markets._normalize_xdxr_df(nat)["fenhong"]) == [1.0]
    plain = markets._normalize_xdxr_df(pd.DataFrame({"v": [1, 2, 3]}, index=[5, 1, 5]))
    assert list(plain.index) == [1, 5] and list(plain["v"]) == [2, 3]


def test_xdxr_repeated_dates_keep_the_last_delivered(markets):
    n = 300
    dates = [f"2024-01-{1 + (i * 7) % 5:02d}" for i in range(n)]
    out = markets._normalize_xdxr_df(pd.DataFrame({"date": dates, "seq": range(n)}))
    expected = pd.DataFrame({"date": pd.to_datetime(dates), "seq": range(n)}).groupby("date")["seq"].max()
    assert list(out.index) == list(expected.index) and list(out["seq"]) == list(expected)


# ------------------------------------------------------------ offline adjustment


def local_bars(volume, amount, close=10.0, dates=None):
    dates = dates or [f"2024-01-{i + 2:02d}" for i in range(len(volume))]
    return pd.DataFrame(
        {"open": close, "high": close, "low": close, "close": close, "amount": amount, "vol": volume},
        index=pd.DatetimeIndex(dates),
    )


def test_offline_adjustment(markets):
    tdx.script.daily = local_bars([1000.0] * 4, [299_000.0, 300_000.0, 500_000.0, 4_000_000.0])
    tdx.script.reader_xdxr = tdx.make_xdxr()
    out = markets.fetch_qfq_offline("/tdx", "600000")
    (factory,) = tdx.calls_to("reader_factory")
    assert factory.kwargs == {"market": "std", "tdxdir": "/tdx"}
    assert tdx.calls_to("daily")[0].kwargs == {"symbol": "600000", "auto_download": True}
    (rev,) = tdx.calls_to("reversion")
    assert rev["type_"] == "qfq" and rev["xdxr"].empty and set(rev["stock_data"]["code"]) == {"600000"}
    assert list(out.columns) == ["open", "high", "low", "close", "volume"]
    assert out["volume"].tolist() == [1000.0, 100_000.0, 100_000.0, 100_000.0]


def test_offline_adjustment_with_a_reader_object(markets):
    reader = tdx.StdReader(tdxdir="/x")
    tdx.script.daily = Compute(lambda **_: local_bars([1000.0, 1000.0], [5e5, 1e4], dates=["2024-01-02"] * 2))
    tdx.script.reader_xdxr = None
    tdx.script.reversion = Compute(lambda symbol, stock_data, xdxr, type_: stock_data.iloc[::-1])
    out = markets.fetch_qfq_offline(reader, "600000")
    assert tdx.calls_to("reader_factory") == []
    assert out["volume"].tolist() == [1000.0, 100_000.0]  # sorted stably, repaired by position
    tdx.script.daily = [None, pd.DataFrame()]
    assert markets.fetch_qfq_offline(reader, "600000") is None
    assert markets.fetch_qfq_offline(reader, "600000") is None
    with pytest.raises(TypeError, match="'symbol'"):
        markets.fetch_qfq_offline(reader, 600000)


# ------------------------------------------------------------ daily bars from the client


def test_daily_bars_index_and_empty_stock(markets):
    client = tdx.StdQuotes()
    tdx.script.index_bars = pd.DataFrame()
    assert markets._mootdx_daily_ohlc(client, "000001", is_index=1, offset=30.9).empty
    (call,) = tdx.calls_to("index_bars")
    assert call.kwargs == {"symbol": "000001", "frequency": 4, "start": 0, "offset": 30}
    tdx.script.bars = [pd.DataFrame(), None]
    assert markets._mootdx_daily_ohlc(client, "600000", is_index=False, offset=30).empty
    assert markets._mootdx_daily_ohlc(client, "600000", is_index=False, offset=30) is None
    assert tdx.calls_to("xdxr") == [] and tdx.calls_to("reversion") == []
    with pytest.raises(TypeError, match="'offset'"):
        markets._mootdx_daily_ohlc(client, "600000", is_index=False, offset="30")
    with pytest.raises(TypeError, match=r"^_mootdx_daily_ohlc\(\) needs keyword-only argument offset$"):
        markets._mootdx_daily_ohlc(client, "600000", is_index=False)


def test_daily_bars_stock_adjustment(markets, caplog):
    client = tdx.StdQuotes()
    tdx.script.bars = tdx.make_bars(3)
    tdx.script.xdxr = RuntimeError("xdxr down")
    tdx.script.reversion = Compute(lambda symbol, stock_data, xdxr, type_: ("qfq", list(stock_data["code"]), xdxr.empty))
    assert markets._mootdx_daily_ohlc(client, "600000", is_index=False, offset=30) == ("qfq", ["600000"] * 3, True)
    # A failed adjustment is no data, not unadjusted bars.
    tdx.script.xdxr = tdx.make_xdxr()
    tdx.script.reversion = ValueError("bad factor")
    with caplog.at_level(logging.WARNING, logger="vemra.markets"):
        assert markets._mootdx_daily_ohlc(client, "600000", is_index=False, offset=30) is None
    assert any("600000" in r.getMessage() and "bad factor" in r.getMessage() for r in caplog.records)


# ------------------------------------------------------------ row date and time


@pytest.mark.parametrize(
    "value, date, time",
    [("2024-06-14 15:00", "2024-06-14", "15:00:00"), ("2024-06-14 09:31:00", "2024-06-14", "09:31:00"),
     ("2024-06-14", "2024-06-14", "15:00:00"), (pd.Timestamp("2024-06-14 09:31"), "2024-06-14", "09:31:00"),
     (pd.Timestamp("2024-06-14"), "2024-06-14", "00:00:00"), ("ab/cd/efgh-xy", "ab/cd/efgh-xy", "15:00:00"),
     ("2024-99-99 junk", "2024-99-99", "15:00:00"), ("n/a", "n/a", "15:00:00"), (pd.NaT, "NaT", "15:00:00")],
)  # fmt: skip
def test_row_date_and_time(markets, value, date, time):
    row = pd.Series({"open": 1.0, "datetime": value})
    assert (markets._mootdx_row_date(row), markets._mootdx_row_time(row)) == (date, time)


def test_row_without_datetime(markets, monkeypatch):
    class Clock:
        @staticmethod
        def now():
            return pd.Timestamp("2024-06-14 10:11:12").to_pydatetime()

    monkeypatch.setattr(markets, "datetime", Clock)
    assert (markets._mootdx_row_date({}), markets._mootdx_row_time({})) == ("", "10:11:12")
