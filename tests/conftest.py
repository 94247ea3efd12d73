from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

import brevalo.vra_qel_python_bindings.qel as qel_module

MODULE_NAME = "brevalo.vra_qel_python_bindings.qel"


@pytest.fixture
def qel():
    return qel_module


@pytest.fixture
def restore_globals():
    """Undo whatever a test rebinds or deletes in the module namespace."""
    saved = dict(vars(qel_module))
    table = qel_module.QEL_ERROR_CODE_TO_EXCEPTION
    saved_table = dict(table)
    yield vars(qel_module)
    namespace = vars(qel_module)
    if list(namespace) != list(saved) or any(namespace[k] is not v for k, v in saved.items()):
        namespace.clear()  # refill in the original order
        namespace.update(saved)
    table.clear()
    table.update(saved_table)


def run_python(code: str, *args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter of this environment and returns what it printed."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, **(env or {})},
    )


@pytest.fixture
def python():
    def run(code: str, *args: str, env: dict[str, str] | None = None) -> str:
        done = run_python(code, *args, env=env)
        assert done.returncode == 0, done.stderr
        return done.stdout

    return run


@pytest.fixture
def sim():
    """The simulated Camera SDK, reset to its built-in cameras with an empty journal."""
    from brevalo.vra_qel_python_bindings import sim as simulator

    simulator.reset()
    yield simulator
    simulator.reset()
