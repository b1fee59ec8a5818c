"""Test session set-up: runs before any test module imports vemra.markets.

The process gets a temporary home and data folder, the network guard and the
doubles of the outside client libraries (tests/doubles). With
``VEMRA_BUILD_DIR`` set to a CMake build folder, ``vemra.markets`` is loaded
from there and the rest of ``vemra`` from the source tree; otherwise the
installed package is used.
"""

from __future__ import annotations

import os
import shutil
import sys

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
if TESTS_DIR not in sys.path:
    sys.path.insert(0, TESTS_DIR)

from doubles import setup_env  # noqa: E402

ENV = setup_env.prepare()

import pytest  # noqa: E402

import doubles  # noqa: E402
from doubles import netguard  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "allow_unscripted: the test expects calls to doubles that have no scripted reply (wrong calls still fail)",
    )


def pytest_unconfigure(config):
    shutil.rmtree(ENV.home, ignore_errors=True)


@pytest.fixture(scope="session")
def markets():
    """The module under test."""
    if ENV.vemra_error is not None:
        pytest.fail(f"vemra is not importable from {setup_env.PYTHON_SRC}: {ENV.vemra_error}", pytrace=False)
    try:
        import vemra.markets as module
    except ImportError as exc:
        pytest.fail(
            f"vemra.markets is not importable ({exc}); install the package or set VEMRA_BUILD_DIR "
            "to the CMake build folder holding markets.*.so",
            pytrace=False,
        )
    return module


def _empty_data_dir() -> None:
    for entry in os.scandir(ENV.data_dir):
        if entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path, ignore_errors=True)
        else:
            os.unlink(entry.path)


@pytest.fixture(autouse=True)
def _isolate_outside_world(request):
    """After each test: fail it if it reached for the network or called a double
    without a scripted reply, then forget scripts, logs and data files."""
    yield
    refused = netguard.take_refusals()
    unscripted = doubles.take_unscripted()
    doubles.install()
    doubles.reset()
    _empty_data_dir()
    if refused:
        pytest.fail("network access refused during the test: " + ", ".join(refused), pytrace=False)
    if request.node.get_closest_marker("allow_unscripted") is not None:
        unscripted = [p for p in unscripted if p.startswith("wrong call")]
    if unscripted:
        pytest.fail("doubles called without a scripted reply or wrongly: " + "; ".join(unscripted), pytrace=False)
