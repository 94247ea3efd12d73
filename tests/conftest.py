from __future__ import annotations

import os

import pytest

import brevalo.vra_qel_python_bindings.qel as qel_module
from helpers import CAMERAS, run_python


@pytest.fixture(autouse=True, scope="session")
def base_configuration(tmp_path_factory):
    """Every reset, in this process and in the interpreters the tests start, returns to the test cameras,
    under the synthetic sky unless a test configures a star catalogue file."""
    path = tmp_path_factory.mktemp("sim") / "cameras.conf"
    path.write_text(CAMERAS)
    saved = {name: os.environ.get(name) for name in ("QELSIM_CONFIG", "QELSIM_SKY_CATALOGUE")}
    os.environ["QELSIM_CONFIG"] = str(path)
    os.environ["QELSIM_SKY_CATALOGUE"] = "none"
    yield
    for name, value in saved.items():
        if value is None:
            del os.environ[name]
        else:
            os.environ[name] = value


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
    """The simulated Camera SDK with the test cameras and an empty journal."""
    from brevalo.vra_qel_python_bindings import sim as simulator

    simulator.configure(CAMERAS)
    yield simulator
    simulator.reset()
