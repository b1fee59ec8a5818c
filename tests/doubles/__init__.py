"""Test doubles of the outside client libraries, and their installation.

    import doubles
    doubles.install()                           # into sys.modules (conftest does this)
    doubles.mootdx2.script.bars = [df, RuntimeError("x"), None]
    doubles.akshare.script.stock_zh_a_hist = {"600000": table}
    doubles.akshare.calls_to("stock_zh_a_hist")[0].kwargs
    doubles.reset()                             # scripts and call logs (conftest does this)

See ``_script`` for the reply rules.
"""

from __future__ import annotations

import sys

from . import akshare, baostock, efinance, fear_and_greed, longport, mootdx2, yfinance
from ._script import LIBRARIES, CallRecord, Compute, Seq, UnscriptedCall, Value, take_problems
from .surface import DOUBLED, SIGNATURE_SOURCE, SURFACE

__all__ = [
    "akshare", "baostock", "efinance", "fear_and_greed", "longport", "mootdx2", "yfinance",
    "install", "reset", "take_unscripted", "LIBRARIES", "CallRecord", "Compute", "Seq", "Value",
    "UnscriptedCall", "SURFACE", "DOUBLED", "SIGNATURE_SOURCE",
]  # fmt: skip

take_unscripted = take_problems


def _drop(modules, name: str) -> None:
    for key in [k for k in modules if k == name or k.startswith(name + ".")]:
        del modules[key]


def install(modules=None, without=()) -> None:
    """Put every double into ``modules`` (default ``sys.modules``).

    Names in ``without`` become unimportable instead (``None`` in the module
    table, so ``import`` raises ImportError); they may also name libraries
    that have no double, such as "talib". The module objects are the same on
    every call, so reinstalling keeps references held by imported code valid.
    """
    if modules is None:
        modules = sys.modules
    without = (without,) if isinstance(without, str) else tuple(without)
    for lib in LIBRARIES:
        _drop(modules, lib.name)
        if lib.name not in without:
            modules.update(lib.modules)
    for name in without:
        _drop(modules, name)
        modules[name] = None


def reset() -> None:
    """Forget every script, call log and pending problem report."""
    for lib in LIBRARIES:
        lib.reset()
    take_problems()
