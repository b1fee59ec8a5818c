"""Time `_finalize_mootdx_ohlcv` against the plainest pandas version of the same steps.

Run with the built module, e.g.:

    VEMRA_BUILD_DIR=build/dev .venv/bin/python bench/bench_normalize.py

Without VEMRA_BUILD_DIR the installed `vemra` package is used.
"""

from __future__ import annotations

import os
import sys
import timeit

import numpy as np
import pandas as pd

ROWS = 8000
REPEAT = 7
NUMBER = 20


def load_markets():
    build_dir = os.environ.get("VEMRA_BUILD_DIR")
    if build_dir:
        repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        sys.path.insert(0, os.path.join(repo, "python"))
        import vemra

        vemra.__path__.insert(0, os.path.abspath(build_dir))
    import vemra.markets as markets

    return markets


def tdx_table(rows: int) -> pd.DataFrame:
    """Daily bars shaped as the TDX client returns them; every tenth row has
    its volume in lots of 100 so the repair has work to do."""
    days = pd.bdate_range("1990-01-02", periods=rows)
    close = np.round(10.0 + 0.01 * np.arange(rows), 2)
    shares = 1_000_000.0 + 100.0 * np.arange(rows)
    amount = np.round(shares * close, 2)
    vol = shares.copy()
    vol[::10] /= 100.0
    df = pd.DataFrame(
        {
            "open": close - 0.05,
            "close": close,
            "high": close + 0.1,
            "low": close - 0.1,
            "vol": vol,
            "amount": amount,
            "year": days.year,
            "month": days.month,
            "day": days.day,
            "hour": 15,
            "minute": 0,
            "datetime": days.strftime("%Y-%m-%d 15:00"),
        }
    )
    df.index = pd.to_datetime(df["datetime"])
    df["volume"] = df["vol"]
    return df


def plain_pandas(data: pd.DataFrame, *, volume_as_amount: bool = False) -> pd.DataFrame:
    df = data.copy()
    if "date" not in df.columns:
        if "datetime" in df.columns:
            df["date"] = pd.to_datetime(df["datetime"])
        else:
            df["date"] = pd.to_datetime(df.index)
    df["date"] = pd.to_datetime(df["date"]).dt.normalize()

    order = ("amount", "volume", "vol") if volume_as_amount else ("volume", "vol", "amount")
    for name in order:
        if name in df.columns:
            df["volume"] = pd.to_numeric(df[name], errors="coerce").fillna(0.0)
            break
    if not volume_as_amount and "amount" in df.columns and "close" in df.columns:
        vol = pd.to_numeric(df["volume"], errors="coerce").fillna(0.0)
        amt = pd.to_numeric(df["amount"], errors="coerce").fillna(0.0)
        close = pd.to_numeric(df["close"], errors="coerce").fillna(0.0)
        valid = (vol > 0) & (amt > 0) & (close > 0)
        if valid.any():
            ratio = amt[valid] / (vol[valid] * close[valid])
            hit = ratio[(ratio >= 40.0) & (ratio <= 250.0)].index
            df.loc[hit, "volume"] = vol.loc[hit] * 100.0
    if "vol" in df.columns:
        df = df.drop(columns="vol")

    required = ["date", "open", "high", "low", "close", "volume"]
    missing = [c for c in required if c not in df.columns]
    if missing:
        raise RuntimeError(f"mootdx data missing required column(s): {missing}")
    return df[required]


def best_ms(fn) -> float:
    return min(timeit.repeat(fn, number=NUMBER, repeat=REPEAT)) / NUMBER * 1e3


def main() -> None:
    markets = load_markets()
    table = tdx_table(ROWS)
    for as_amount in (False, True):
        ours = markets._finalize_mootdx_ohlcv(table, volume_as_amount=as_amount)
        pd.testing.assert_frame_equal(ours, plain_pandas(table, volume_as_amount=as_amount))
        t_plain = best_ms(lambda: plain_pandas(table, volume_as_amount=as_amount))
        t_ours = best_ms(lambda: markets._finalize_mootdx_ohlcv(table, volume_as_amount=as_amount))
        print(
            f"{ROWS} rows, volume_as_amount={as_amount}: "
            f"plain pandas {t_plain:.3f} ms, _finalize_mootdx_ohlcv {t_ours:.3f} ms, "
            f"ratio {t_plain / t_ours:.1f}x"
        )


if __name__ == "__main__":
    main()
