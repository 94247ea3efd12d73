"""The type stub matches the built module, and the package's own code type-checks against it."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

pytest.importorskip("mypy")


def run(*args: str) -> subprocess.CompletedProcess[str]:
    # run outside the source tree, so that only the installed package is seen
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=HERE + "/data", timeout=600)


def test_stub_matches_the_module():
    done = run(
        "mypy.stubtest",
        "--allowlist",
        os.path.join(HERE, "data", "stubtest-allowlist.txt"),
        "brevalo.vra_qel_python_bindings.qel",
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_package_code_type_checks_strictly():
    import brevalo.vra_qel_python_bindings as package

    folder = os.path.dirname(package.__file__)
    sources = [os.path.join(folder, n) for n in sorted(os.listdir(folder)) if n.endswith(".py")]
    # the device servers' subpackages, each with its extra
    for subpackage, needs in (("alpaca", "falcon"), ("indi", "indipydriver")):
        try:
            __import__(needs)
        except ImportError:
            continue
        where = os.path.join(folder, subpackage)
        sources += [os.path.join(where, n) for n in sorted(os.listdir(where)) if n.endswith(".py")]
    done = run("mypy", "--strict", "--no-incremental", *sources)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_catches_misuse(tmp_path):
    program = tmp_path / "misuse.py"
    program.write_text(
        "from brevalo.vra_qel_python_bindings import qel\n"
        "info = qel.get_camera_property(0)\n"
        "name: int = info.name\n"
        "qel.set_roi_format(0, 640, 480, 1, 0)\n"
        "qel.get_data_after_exp('0', 10)\n"
    )
    done = run("mypy", "--no-incremental", str(program))
    assert done.returncode == 1
    assert "misuse.py:3: error" in done.stdout
    assert "misuse.py:4: error" in done.stdout
    assert "misuse.py:5: error" in done.stdout


def test_astronomers_example_is_short_and_type_checks_strictly():
    example = os.path.join(HERE, "..", "examples", "astronomer.py")
    with open(example) as source:
        assert len(source.read().splitlines()) <= 60
    done = run("mypy", "--strict", "--no-incremental", example)
    assert done.returncode == 0, done.stdout + done.stderr


def test_camera_properties_are_typed(tmp_path):
    program = tmp_path / "misuse_camera.py"
    program.write_text(
        "from brevalo.vra_qel_python_bindings.camera import Camera\n"
        "cam = Camera(0)\n"
        "cam.gain = 1.5\n"
        "cam.temperature = 5.0\n"
        "name: int = cam.description.name\n"
        "seconds: float = cam.exposure\n"
        "cam.cooler_on = True\n"
    )
    done = run("mypy", "--strict", "--no-incremental", str(program))
    assert done.returncode == 1
    errors = [line.split(":")[1] for line in done.stdout.splitlines() if ": error:" in line]
    assert errors == ["3", "4", "5"], done.stdout
