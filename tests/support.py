"""Helpers for tests that need a fresh interpreter."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import textwrap

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

_PRELUDE = """\
import sys
sys.path.insert(0, {tests_dir!r})
from doubles import setup_env as _setup_env
_setup_env.prepare(doubles={doubles!r}, without={without!r}, env={env!r}, cleanup=True)
del _setup_env
"""


def run_python(code: str, *, doubles: bool = True, without=(), env=None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Run ``code`` in a new interpreter set up like the test session.

    The child gets its own temporary home and data folder, the network guard,
    and the doubles unless ``doubles`` is false (then the real libraries are
    imported). ``without`` names libraries made unimportable. ``env`` entries
    are set in the child's environment, after the set-up (a value of None
    removes the variable). Output is captured as text.
    """
    env = dict(env or {})
    without = (without,) if isinstance(without, str) else tuple(without)
    prelude = _PRELUDE.format(tests_dir=TESTS_DIR, doubles=bool(doubles), without=without, env=env)
    child_env = dict(os.environ)
    for key, value in env.items():
        if value is None:
            child_env.pop(key, None)
        else:
            child_env[key] = value
    with tempfile.TemporaryDirectory(prefix="vemra-run-") as work:
        script = os.path.join(work, "main.py")
        with open(script, "w", encoding="utf-8") as fh:
            fh.write(prelude)
            fh.write(textwrap.dedent(code))
        return subprocess.run(
            [sys.executable, script],
            cwd=work,
            env=child_env,
            capture_output=True,
            text=True,
            timeout=timeout,
        )


def last_json_line(proc: subprocess.CompletedProcess):
    """Decode the last line of a child's standard output as JSON."""
    lines = [line for line in proc.stdout.splitlines() if line.strip()]
    if proc.returncode != 0 or not lines:
        raise AssertionError(f"child failed (exit {proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return json.loads(lines[-1])
