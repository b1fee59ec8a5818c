"""The one start-up of every test interpreter: pytest's and the child ones.

``prepare()`` gives the process a fresh home folder (real client libraries
write config and caches under it), a data folder, no pacing, the network
guard, the doubles, and the location of ``vemra.markets``.
"""

from __future__ import annotations

import atexit
import dataclasses
import importlib
import os
import shutil
import sys
import tempfile

TESTS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO_DIR = os.path.dirname(TESTS_DIR)
PYTHON_SRC = os.path.join(REPO_DIR, "python")

# Settings of a developer's shell that would make a test depend on it.
CLEARED_VARS = (
    "VEMRA_CENTER",
    "VEMRA_MOOTDX_DRIVER",
    "VEMRA_MOOTDX_TIMEOUT",
    "MOOTDX2_TDX_DIR",
    "VEMRA_ASTOCK_IGNORE_FAILURE_CACHE",
    "LONGPORT_APP_KEY",
    "LONGPORT_APP_SECRET",
    "LONGPORT_ACCESS_TOKEN",
    "TIINGO_API_KEY",
    "TIINGO_API_KEYS",
)


@dataclasses.dataclass
class Environment:
    home: str
    data_dir: str
    build_dir: str | None
    vemra_error: BaseException | None


def _locate_vemra(build_dir: str | None) -> BaseException | None:
    """With a CMake build folder, take the pure-Python package from the source
    tree and ``vemra.markets`` from the build folder."""
    if not build_dir:
        return None
    build_dir = os.path.abspath(build_dir)
    if PYTHON_SRC not in sys.path:
        sys.path.insert(0, PYTHON_SRC)
    importlib.invalidate_caches()
    try:
        import vemra
    except ImportError as exc:
        return exc
    path = vemra.__path__
    if build_dir not in list(path):
        if isinstance(path, list):
            path.insert(0, build_dir)
        else:  # namespace package: its path object cannot be edited in place
            vemra.__path__ = [build_dir, *path]
    return None


def prepare(*, doubles: bool = True, without=(), env=None, cleanup: bool = False) -> Environment:
    """Set the process up; ``env`` entries are applied last (None removes a
    variable), ``cleanup`` removes the home folder when the process ends."""
    home = tempfile.mkdtemp(prefix="vemra-test-home-")
    if cleanup:
        atexit.register(shutil.rmtree, home, True)
    data_dir = os.path.join(home, "vemra-data")
    os.makedirs(data_dir)
    os.environ.update(
        HOME=home,
        XDG_CACHE_HOME=os.path.join(home, ".cache"),
        XDG_CONFIG_HOME=os.path.join(home, ".config"),
        XDG_DATA_HOME=os.path.join(home, ".local", "share"),
        VEMRA_DATA_DIR=data_dir,
        VEMRA_PACING_DISABLED="1",
    )
    for name in CLEARED_VARS:
        os.environ.pop(name, None)
    for name, value in (env or {}).items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value

    from . import netguard

    netguard.install()
    if doubles:
        from . import install, reset

        reset()  # values derived from HOME are taken anew
        install(without=without)
    else:
        for name in without:
            sys.modules[name] = None

    build_dir = os.environ.get("VEMRA_BUILD_DIR") or None
    if build_dir:
        # Children run in other folders: pass the location on as an absolute path.
        build_dir = os.path.abspath(build_dir)
        os.environ["VEMRA_BUILD_DIR"] = build_dir
    return Environment(home, data_dir, build_dir, _locate_vemra(build_dir))
