"""The same seed and calls give the same frames on every machine: this build's frames against those of a
build for another machine, run by the interpreter that QEL_REFERENCE_PYTHON names (make cross-aarch64
names this machine's own when it runs the tests under qemu-aarch64)."""

from __future__ import annotations

import hashlib
import json
import os
import platform
import subprocess

import pytest

from . import sdk

REFERENCE = os.environ.get("QEL_REFERENCE_PYTHON")
TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Exposures whose pixels go through the whole sensor model: stars, sky, noise, gain, binning, colour.
SHOTS = [
    (sdk.MONO, 1000, 802, 1, sdk.RAW16, {"exposure": 30_000_000, "gain": 300}),
    (sdk.COLOUR, 1600, 906, 1, sdk.RGB24, {"exposure": 20_000_000, "gain": 400}),
    (sdk.MONO, 512, 382, 4, sdk.RAW16, {"exposure": 20_000_000}),
]


def digests() -> list[str]:
    from brevalo.vra_qel_python_bindings import sim
    from helpers import CAMERAS

    out = []
    for cam, w, h, b, t, controls in SHOTS:
        sim.configure(CAMERAS)
        sim.set_clock_speed(1e5)
        sdk.ready(cam)
        sdk.ok(sdk.lib.QELSetROIFormat(cam, w, h, b, t))
        for control, value in controls.items():
            sdk.set_control(cam, getattr(sdk, control.upper()), value)
        out.append(hashlib.sha256(sdk.expose(cam)).hexdigest())
    sim.reset()
    return out


def report() -> str:
    return json.dumps({"machine": platform.machine(), "digests": digests()})


@pytest.mark.skipif(not REFERENCE, reason="QEL_REFERENCE_PYTHON names no interpreter of another build")
def test_frames_equal_those_of_another_machines_build():
    code = f"import sys; sys.path.insert(0, {TESTS!r}); from sim.test_sim_machines import report; print(report())"
    # The other interpreter has its own packages: none of this one's search path.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    done = subprocess.run([REFERENCE, "-c", code], capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    theirs = json.loads(done.stdout)
    ours = json.loads(report())
    differ = [shot[:5] for shot, a, b in zip(SHOTS, ours["digests"], theirs["digests"]) if a != b]
    assert differ == [], f"frames of {ours['machine']} and {theirs['machine']} differ"
