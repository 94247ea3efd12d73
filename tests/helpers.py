"""Helpers shared by the tests, and the cameras they configure."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

MODULE_NAME = "brevalo.vra_qel_python_bindings.qel"

# The cameras of the tests, ids 0 and 1: the built-in catalogue's monochrome and colour models with
# the serial numbers and seeds they have there. The fixtures configure them (and make them what a reset
# returns to), so that only the tests of the catalogue itself depend on the built-in one.
TEST_CAMERAS = [("M1", "SIMM0001", 1000003), ("C2", "SIMC0002", 2000007)]
CAMERAS = "".join(f"[camera]\nmodel = {m}\nserial = {serial}\nseed = {seed}\n" for m, serial, seed in TEST_CAMERAS)
UNKNOWN_ID = len(TEST_CAMERAS)  # the first id that the test cameras leave free


def run_python(code: str, *args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter of this environment and returns what it printed."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, **(env or {})},
    )
