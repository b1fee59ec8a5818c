"""Double of ``fear_and_greed`` (0.4): ``get()`` answers from the script.

    from doubles import fear_and_greed as fg_double
    fg_double.script.get = fg_double.reading(30.8, "fear")

The real package installs a process-wide requests cache when imported; the
double does nothing of the kind.
"""

from __future__ import annotations

import datetime
import typing

from ._script import Library, Scripted

lib = Library("fear_and_greed", "fear_and_greed.")
script = lib.script
calls = lib.calls
calls_to = lib.calls_to
reset = lib.reset


class FearGreedIndex(typing.NamedTuple):
    value: float
    description: str
    last_update: datetime.datetime


FearGreedIndex.__module__ = "fear_and_greed.cnn"

get = Scripted(lib, "get", "fetcher=None")
package = lib.module("fear_and_greed", package=True, __version__="0.4", get=get, FearGreedIndex=FearGreedIndex)
lib.module("fear_and_greed.cnn", get=get, FearGreedIndex=FearGreedIndex)


def reading(value: float = 30.8254, description: str = "fear", last_update: datetime.datetime | None = None) -> FearGreedIndex:
    """A reading shaped like the real one: float score, lower-case rating, aware time."""
    if last_update is None:
        last_update = datetime.datetime(2024, 6, 14, 23, 59, 58, tzinfo=datetime.timezone.utc)
    return FearGreedIndex(value=value, description=description, last_update=last_update)
