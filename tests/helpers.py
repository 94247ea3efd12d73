"""Helpers shared by the extension's tests."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

MODULE_NAME = "brevalo.vra_qel_python_bindings.qel"


def run_python(
    code: str, *args: str, env: dict[str, str] | None = None, options: tuple[str, ...] = ()
) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter of this environment (with interpreter `options`) and returns
    what it printed."""
    return subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, **(env or {})},
    )
