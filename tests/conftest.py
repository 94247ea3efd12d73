from __future__ import annotations

import pytest

import brevalo.vra_qel_python_bindings.qel as qel_module
from helpers import run_python


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
