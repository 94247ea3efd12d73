"""qel-capture as a user runs it: exit statuses, error lines, and Ctrl-C (SIGINT to the process)."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("rich", reason="the capture extra is not installed")

from test_capture_files import CONFIG, read_ser  # noqa: E402

# Run the tool's main in a child; on the way out report whether camera 0 is still open.
CHILD = """
import atexit, sys
from brevalo.vra_qel_python_bindings import cli, qel

def report():
    try:
        qel.get_roi_format(0)
        print("camera still open", file=sys.stderr)
    except qel.QELCameraClosed:
        print("camera closed", file=sys.stderr)

atexit.register(report)
sys.exit(cli.main(sys.argv[1:]))
"""


@pytest.fixture
def config(tmp_path):
    path = tmp_path / "sim.ini"
    path.write_text(CONFIG)
    return str(path)


def tool(*args: str) -> subprocess.CompletedProcess[str]:
    script = os.path.join(os.path.dirname(sys.executable), "qel-capture")
    return subprocess.run([script, *args], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize(
    "args, status, error",
    [
        (["expose", "--exposure", "1"], 2, "the following arguments are required: --output"),
        (["expose", "--exposure", "-1", "--output", "x"], 2, "argument --exposure: -1 is not greater than 0"),
        (["video", "--region", "64by32", "--output", "x.ser"], 2, "'64by32' is not WIDTHxHEIGHT or WIDTHxHEIGHT+X+Y"),
        (["expose", "--exposure", "1", "--gain", "100000", "--output", "{tmp}"], 2,
         "QELSim M1 Mono Cooled: gain 100000 is outside the range 0 .. 400"),
        (["expose", "--exposure", "1", "--camera", "7", "--output", "{tmp}"], 1, "no camera at index 7 (2 connected)"),
    ],
)
def test_exit_status_and_one_error_line(tmp_path, config, args, status, error):
    done = tool(*[a.format(tmp=tmp_path) for a in args], "--simulator-config", config)
    assert done.returncode == status, done.stderr
    lines = done.stderr.splitlines()
    last = lines[-1]
    assert last.startswith("qel-capture") and ": error: " in last and last.endswith(error)
    assert sum(": error: " in line for line in lines) == 1
    assert any(line.startswith("usage: qel-capture") for line in lines) == (status == 2)
    assert os.listdir(tmp_path) == ["sim.ini"]  # nothing written


def test_list_shows_each_camera(config):
    done = tool("list", "--simulator-config", config)
    assert done.returncode == 0, done.stderr
    for expected in ("QELSim M1 Mono Cooled", "SIMM0001", "320x240", "QELSim C2 Colour GPS", "SIMC0002", "RGGB"):
        assert expected in done.stdout


def interrupt(args: list[str], settle: float) -> tuple[float, subprocess.CompletedProcess[str]]:
    """Start the tool, wait until it opened the camera and ran a while, send SIGINT; seconds to exit."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, *args], stderr=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stderr is not None
        line = child.stderr.readline()
        assert line.startswith("camera 0:"), line + child.stderr.read()
        time.sleep(settle)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        child.wait(timeout=10)
        took = time.monotonic() - sent
        out, err = child.communicate()
    finally:
        if child.poll() is None:
            child.kill()
    return took, subprocess.CompletedProcess(args, child.returncode, out, line + err)


@pytest.mark.skipif(
    sys.platform == "win32",
    reason="Ctrl-C reaches a Windows console program as a control event to its whole console, not as a signal "
    "that a test can send to one child (Popen.send_signal has no SIGINT there)",
)
@pytest.mark.parametrize("command", ["expose", "video"])
def test_ctrl_c_ends_within_half_a_second_with_closed_camera_and_complete_files(tmp_path, config, command):
    if command == "expose":
        args = ["expose", "--exposure", "30", "--count", "2", "--output", str(tmp_path / "lights")]
    else:  # without --seconds the video runs until Ctrl-C
        args = ["video", "--exposure", "0.01", "--format", "RAW8", "--output", str(tmp_path / "run.ser")]
    took, done = interrupt([*args, "--simulator-config", config], settle=1.0)
    assert done.returncode == 130, done.stderr
    assert took < 0.5
    assert "interrupted" in done.stderr and "camera closed" in done.stderr
    if command == "expose":
        assert os.listdir(tmp_path / "lights") == []  # no half-written FITS file
    else:
        header, frames, stamps = read_ser(tmp_path / "run.ser")
        assert header["frames"] >= 5 and len(frames) == header["frames"] and stamps == sorted(stamps)
