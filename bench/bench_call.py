"""Call overhead of vemra.markets functions against equivalent Python functions.

Each case calls a function of the module and a pure-Python function with the
same parameters and the same trivial body, the same way, and prints the time
per call of both and their ratio (module / Python; below 1 means faster).

    VEMRA_BUILD_DIR=build/<name> python bench/bench_call.py [--repeat N]

Without VEMRA_BUILD_DIR the installed package is used.
"""

from __future__ import annotations

import argparse
import os
import sys
import timeit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load_markets():
    build = os.environ.get("VEMRA_BUILD_DIR")
    if build:
        sys.path.insert(0, os.path.join(ROOT, "python"))
        import vemra

        vemra.__path__.insert(0, os.path.abspath(os.path.join(ROOT, build) if not os.path.isabs(build) else build))
    import vemra.markets as markets

    return markets


# The Python twins: same parameters, same bodies as the interface operations
# (the days check is the one the module makes before its empty body).
def get_indices(self):
    return None


def get_history(self, days=10):
    if type(days) is not int:
        if isinstance(days, (str, bytes)) or not hasattr(type(days), "__int__"):
            raise TypeError(f"Argument 'days' has incorrect type (expected int, got {type(days).__name__})")
        days = int(days)
    return None


def cases(markets):
    m_history = markets.IndexHistoryProvider.get_history
    m_indices = markets.MarketIndexProvider.get_indices

    class ModuleHolder:
        get_history = m_history

    class PythonHolder:
        get_history = get_history

    obj = object()
    return [
        ("get_history(obj, 3)", "f(obj, 3)", m_history, get_history, {"obj": obj}),
        ("get_history(obj, days=3)", "f(obj, days=3)", m_history, get_history, {"obj": obj}),
        ("get_history(obj)  [default]", "f(obj)", m_history, get_history, {"obj": obj}),
        ("get_history(obj, 3.7)  [coerced]", "f(obj, 3.7)", m_history, get_history, {"obj": obj}),
        ("holder.get_history(3)  [bound]", "h.get_history(3)", ModuleHolder(), PythonHolder(), {}),
        ("get_indices(obj)  [plain]", "f(obj)", m_indices, get_indices, {"obj": obj}),
    ]


def timed_pair(stmt: str, env_ours: dict, env_theirs: dict, repeat: int) -> tuple[float, float]:
    """Best time per call of both, measured in alternating rounds so that both
    see the same machine load."""
    ours = timeit.Timer(stmt, globals=env_ours)
    theirs = timeit.Timer(stmt, globals=env_theirs)
    number = max(theirs.autorange()[0], 200_000)
    best_ours = best_theirs = float("inf")
    for _ in range(repeat):
        best_ours = min(best_ours, ours.timeit(number))
        best_theirs = min(best_theirs, theirs.timeit(number))
    return best_ours / number, best_theirs / number


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, help="timing rounds per case (best is kept)")
    args = parser.parse_args()

    markets = load_markets()
    print(f"Python {sys.version.split()[0]}, module {markets.__file__}")
    print(f"{'call':36} {'module ns':>10} {'python ns':>10} {'ratio':>7}")
    for label, stmt, ours, theirs, extra in cases(markets):
        name = "h" if stmt.startswith("h.") else "f"
        t_ours, t_theirs = timed_pair(stmt, {name: ours, **extra}, {name: theirs, **extra}, args.repeat)
        print(f"{label:36} {t_ours * 1e9:10.1f} {t_theirs * 1e9:10.1f} {t_ours / t_theirs:7.2f}")


if __name__ == "__main__":
    main()
