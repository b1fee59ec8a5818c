"""The doubles against the real client libraries they stand in for.

Runs in child interpreters with the real libraries (never in this process:
importing the real fear_and_greed installs a process-wide requests cache).
"""

from __future__ import annotations

import pytest

from doubles.surface import SURFACE
from support import last_json_line, run_python

_SURFACE_PROBE = r"""
import importlib, json
import pandas as pd
import doubles
from doubles import netguard, surface

def importer_of(lib):
    modules = lib.modules
    def import_double(name):
        try:
            return modules[name]
        except KeyError:
            raise ImportError(name) from None
    return import_double

report = {"libraries": {}, "shapes": {}}
for name, dotted_names in surface.SURFACE.items():
    entry = {"absent": None, "missing": [], "mismatched": []}
    report["libraries"][name] = entry
    try:
        importlib.import_module(name)
    except ImportError as exc:
        entry["absent"] = f"{type(exc).__name__}: {exc}"
        continue
    double = next((lib for lib in doubles.LIBRARIES if lib.name == name), None)
    for dotted in dotted_names:
        try:
            real = surface.resolve(dotted, importlib.import_module)
            if dotted in surface.SIGNATURE_SOURCE:
                real = surface.resolve(surface.SIGNATURE_SOURCE[dotted], importlib.import_module)
        except (ImportError, AttributeError) as exc:
            entry["missing"].append(f"{dotted}: {exc}")
            continue
        if double is None:
            continue
        fake = surface.resolve(dotted, importer_of(double))
        if surface.describe(real) != surface.describe(fake):
            entry["mismatched"].append({"name": dotted, "real": surface.describe(real), "double": surface.describe(fake)})

def compare(real, fake):
    try:
        pd.testing.assert_frame_equal(real, fake, check_dtype=False)
        if list(real.dtypes.astype(str)) != list(fake.dtypes.astype(str)):
            return f"dtypes differ: {real.dtypes.to_dict()} != {fake.dtypes.to_dict()}"
        return None
    except AssertionError as exc:
        return str(exc)

try:
    from mootdx2.utils import to_data
    from mootdx2.tdx.compat import _to_record_dict
    from mootdx2.tdx.models.bar import SecurityBar
    from mootdx2.tdx.models.enums import Market
    from mootdx2.tdx.models.finance import FinanceInfo, XdxrRecord
except ImportError as exc:
    report["shapes"]["unavailable"] = f"{type(exc).__name__}: {exc}"
else:
    from doubles import mootdx2 as tdx
    fake = tdx.make_bars(3, "2024-06-12")
    bars = [SecurityBar(r.open, r.close, r.high, r.low, r.vol, r.amount, r.year, r.month, r.day, r.hour, r.minute).to_dict()
            for r in fake.itertuples()]
    report["shapes"]["bars"] = compare(to_data(bars, symbol="600000"), fake)
    record = XdxrRecord(Market(1), "600000", 2024, 6, 14, 1, "除权除息", fenhong=3.0, songzhuangu=2.0)
    report["shapes"]["xdxr"] = compare(
        to_data([_to_record_dict(record)], symbol="600000"),
        tdx.make_xdxr({"date": "2024-06-14", "fenhong": 3.0, "songzhuangu": 2.0}, code="600000", market=1),
    )
    fields = FinanceInfo.__dataclass_fields__
    numbers = {f: 0 if fields[f].type in (int, "int") else 0.0 for f in fields if f not in ("market", "code", "_raw")}
    numbers["meigujing_zichan"] = 1.5
    info = FinanceInfo(market=Market(1), code="510300", **numbers)
    report["shapes"]["finance"] = compare(
        to_data(_to_record_dict(info), symbol="510300"), tdx.make_finance(1.5, code="510300", market=1)
    )

report["refused"] = netguard.take_refusals()
print(json.dumps(report, ensure_ascii=False, default=str))
"""


@pytest.fixture(scope="module")
def real_report(tmp_path_factory):
    # The real fear_and_greed puts an SQLite cache in the temporary folder.
    tmp = tmp_path_factory.mktemp("real-libs-tmp")
    proc = run_python(_SURFACE_PROBE, doubles=False, env={"TMPDIR": str(tmp)}, timeout=300)
    return last_json_line(proc)


def test_real_libraries_make_no_network_access_on_import(real_report):
    assert real_report["refused"] == []


@pytest.mark.parametrize("library", sorted(SURFACE))
def test_real_library_still_has_what_the_double_mirrors(real_report, library):
    entry = real_report["libraries"][library]
    if entry["absent"]:
        pytest.skip(f"{library} is not installed: {entry['absent']}")
    assert entry["missing"] == []
    assert entry["mismatched"] == [], "double and real library differ (parameters or values)"


@pytest.mark.parametrize("table", ["bars", "xdxr", "finance"])
def test_tdx_table_builders_match_real_client_tables(real_report, table):
    shapes = real_report["shapes"]
    if "unavailable" in shapes:
        pytest.skip(f"mootdx2 internals moved: {shapes['unavailable']}")
    assert shapes[table] is None, shapes[table]


_IMPORT_MARKETS = r"""
import importlib.util, json
from doubles import netguard
try:
    built = importlib.util.find_spec("vemra") is not None and importlib.util.find_spec("vemra.markets") is not None
except Exception as exc:
    print(json.dumps({"status": "vemra-broken", "error": f"{type(exc).__name__}: {exc}"}))
    raise SystemExit(0)
if not built:
    print(json.dumps({"status": "not-built"}))
    raise SystemExit(0)
import vemra.markets
print(json.dumps({"status": "imported", "file": vemra.markets.__file__, "refused": netguard.take_refusals()}))
"""


def test_markets_imports_with_the_real_libraries_without_network(tmp_path):
    proc = run_python(_IMPORT_MARKETS, doubles=False, env={"TMPDIR": str(tmp_path)}, timeout=300)
    result = last_json_line(proc)
    if result["status"] == "not-built":
        pytest.skip("vemra.markets is not built")
    if result["status"] == "vemra-broken":
        pytest.skip(f"the vemra package does not import: {result['error']}")
    assert result["refused"] == []
