"""Identity: the flash identifier (per process, and across processes with QELSIM_STATE_DIR), serial
numbers and gain presets from the catalogue."""

from __future__ import annotations

import ctypes
import os
import subprocess
import sys
import textwrap
from ctypes import byref, c_int
from pathlib import Path

import pytest

from . import sdk
from .sdk import COLOUR, MONO, lib


def make_id(text: bytes) -> sdk.Id:
    return sdk.Id((ctypes.c_ubyte * 8)(*text.ljust(8, b"\0")))


def read_id(cam) -> bytes:
    ident = sdk.Id()
    sdk.ok(lib.QELGetID(cam, byref(ident)))
    return bytes(ident.id)


def serial(cam) -> bytes:
    s = sdk.Id()
    sdk.ok(lib.QELGetSerialNumber(cam, byref(s)))
    return bytes(s.id)


@pytest.fixture
def no_state_dir(monkeypatch):
    monkeypatch.delenv("QELSIM_STATE_DIR", raising=False)


def test_serial_numbers_come_from_the_catalogue(simulator):
    for cam, expected in [(MONO, b"SIMM0001"), (COLOUR, b"SIMC0002")]:
        sdk.ok(lib.QELOpenCamera(cam))
        assert serial(cam) == expected


def test_configured_cameras_are_numbered(simulator):
    simulator.configure("[camera]\nmodel = M1\ncount = 2\n[camera]\nmodel = C2\nserial = OWN-1\n[camera]\nmodel = C2\nserial =\n")
    for cam in range(4):
        sdk.ok(lib.QELOpenCamera(cam))
    assert [serial(c) for c in range(3)] == [b"SIMM0001", b"SIMM0002", b"OWN-1\0\0\0"]
    assert lib.QELGetSerialNumber(3, byref(sdk.Id())) == sdk.GENERAL  # this one has none


def test_flash_id_starts_empty_and_keeps_what_is_written(simulator, no_state_dir):
    sdk.ok(lib.QELOpenCamera(MONO))
    sdk.ok(lib.QELOpenCamera(COLOUR))
    assert read_id(MONO) == bytes(8)
    sdk.ok(lib.QELSetID(MONO, make_id(b"guider")))
    assert read_id(MONO) == b"guider\0\0" and read_id(COLOUR) == bytes(8)
    sdk.ok(lib.QELSetID(MONO, make_id(b"\xff\x01ABCDEF")))  # any eight bytes
    assert read_id(MONO) == b"\xff\x01ABCDEF"
    assert simulator.journal("SetID").id == b"\xff\x01ABCDEF"


def test_flash_survives_close_and_replug_but_not_a_reset(simulator, no_state_dir):
    sdk.ok(lib.QELOpenCamera(MONO))
    sdk.ok(lib.QELSetID(MONO, make_id(b"mine")))
    sdk.ok(lib.QELCloseCamera(MONO))
    sdk.ok(lib.QELOpenCamera(MONO))
    assert read_id(MONO) == b"mine\0\0\0\0"
    simulator.unplug_camera(MONO)
    again = simulator.replug_camera(MONO)
    sdk.ok(lib.QELOpenCamera(again))
    assert read_id(again) == b"mine\0\0\0\0" and serial(again) == b"SIMM0001"
    simulator.reset()
    sdk.ok(lib.QELOpenCamera(MONO))
    assert read_id(MONO) == bytes(8)


def run(code: str, state_dir: Path) -> str:
    here = Path(__file__).parent
    done = subprocess.run(
        [sys.executable, "-c", f"import sys; sys.path.insert(0, {str(here)!r})\n" + textwrap.dedent(code)],
        capture_output=True, text=True, timeout=60, env={**os.environ, "QELSIM_STATE_DIR": str(state_dir)},
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_flash_persists_across_processes_in_the_state_directory(tmp_path):
    run(
        """
        import ctypes, sdk
        sdk.ok(sdk.lib.QELOpenCamera(1))
        sdk.ok(sdk.lib.QELSetID(1, sdk.Id((ctypes.c_ubyte * 8)(*b"persist!"))))
        """,
        tmp_path,
    )
    assert any(p.name.startswith("flash-") for p in tmp_path.iterdir())
    out = run(
        """
        import ctypes, sdk
        for cam in (0, 1):
            sdk.ok(sdk.lib.QELOpenCamera(cam))
            ident = sdk.Id()
            sdk.ok(sdk.lib.QELGetID(cam, ctypes.byref(ident)))
            print(bytes(ident.id))
        """,
        tmp_path,
    )
    assert out.split() == [repr(bytes(8)), repr(b"persist!")]


def test_an_unwritable_state_directory_refuses_the_write(simulator, tmp_path, monkeypatch):
    blocker = tmp_path / "a-file"
    blocker.write_text("not a directory")
    monkeypatch.setenv("QELSIM_STATE_DIR", str(blocker))
    sdk.ok(lib.QELOpenCamera(MONO))
    assert lib.QELSetID(MONO, make_id(b"lost")) == sdk.GENERAL
    assert read_id(MONO) == bytes(8)


@pytest.mark.parametrize("cam, presets, lmh", [(MONO, (10, 20, 250, 30), (0, 101, 250, 30)),
                                               (COLOUR, (4, 8, 350, 12), (0, 276, 350, 12))])
def test_gain_presets_come_from_the_catalogue(simulator, cam, presets, lmh):
    sdk.ok(lib.QELOpenCamera(cam))
    out = [c_int() for _ in range(4)]
    sdk.ok(lib.QELGetGainOffset(cam, *map(byref, out)))
    assert tuple(v.value for v in out) == presets
    sdk.ok(lib.QELGetLMHGainOffset(cam, *map(byref, out)))
    assert tuple(v.value for v in out) == lmh
    # Unity gain is where one electron makes one ADU of the converter's own depth.
    info = sdk.info_by_index(cam)
    electrons_per_native_adu = info.elec_per_adu * 2 ** (16 - info.bit_depth)
    assert 10 ** (lmh[1] / 200) == pytest.approx(electrons_per_native_adu, rel=0.01)
