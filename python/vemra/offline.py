"""Discovery of a local TDX (通达信) installation for offline bar data."""

import os
from typing import List, Optional

# Settings that name the TDX folder explicitly, in order of preference.
_ENV_VARS = ("MOOTDX2_TDX_DIR", "VEMRA_TDX_DIR", "TDX_DIR")

# Usual install folders (wine prefixes on Linux, native ones elsewhere).
_COMMON_DIRS = (
    "~/.wine/drive_c/new_tdx",
    "~/.wine/drive_c/tdx",
    "~/.wine/drive_c/zd_zsone",
    "~/new_tdx",
    "~/tdx",
    "/opt/new_tdx",
    "/opt/tdx",
    "C:/new_tdx",
    "D:/new_tdx",
)


class TdxPathResolver:
    """Finds the folder of a local TDX client, if there is one."""

    @staticmethod
    def candidates() -> List[str]:
        """Folders looked at, explicit settings first (read at call time)."""
        found = []
        for var in _ENV_VARS:
            value = os.environ.get(var, "").strip()
            if value:
                found.append(os.path.expanduser(value))
        found.extend(os.path.expanduser(p) for p in _COMMON_DIRS)
        return found

    @staticmethod
    def is_tdx_dir(path: str) -> bool:
        """A TDX folder holds its day files under "vipdoc"."""
        return os.path.isdir(os.path.join(path, "vipdoc"))

    @classmethod
    def resolve_tdx_dir(cls) -> Optional[str]:
        """The TDX folder to use, or None when none is found.

        A folder named by a setting is trusted as long as it exists (the
        reader may download missing files into it); a usual install folder
        counts only when it really holds TDX data.
        """
        explicit = {os.path.expanduser(os.environ.get(v, "").strip())
                    for v in _ENV_VARS if os.environ.get(v, "").strip()}
        for path in cls.candidates():
            if path in explicit and os.path.isdir(path):
                return path
            if cls.is_tdx_dir(path):
                return path
        return None
