"""Configuration (text, file, QELSIM_CONFIG), discovery of configured cameras, hot-plug and the clock."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from ctypes import byref
from pathlib import Path

import pytest

from helpers import TEST_CAMERAS, UNKNOWN_ID

from . import sdk
from .sdk import lib

THREE = """
# two guide cameras and a colour camera
seed = 5
[camera]
model = M1
name = Guide
width = 640
height = 480
pixel_size = 3.75
bit_depth = 12
bins = 1 2
formats = RAW8, RAW16
count = 2
[camera]
model = C2
bayer = GB
"""


def infos():
    return [sdk.info_by_index(i) for i in range(lib.QELGetNumOfConnectedCameras())]


def test_configured_cameras_appear_in_order_with_their_properties(simulator):
    simulator.configure(THREE)
    cams = infos()
    assert [c.camera_id for c in cams] == [0, 1, 2]
    assert [c.name for c in cams] == [b"Guide", b"Guide", b"QELSim C2 Colour GPS"]
    g = cams[0]
    assert (g.max_width, g.max_height, g.pixel_size, g.bit_depth) == (640, 480, 3.75, 12)
    assert list(g.supported_bins) == [1, 2] + [0] * 14
    assert list(g.supported_video_formats) == [sdk.RAW8, sdk.RAW16] + [-1] * 6
    assert g.st_4_port == 1 and g.is_cooler_cam == 1  # the rest from the M1 model
    assert cams[2].bayer_pattern == 3


def test_configured_size_is_the_full_frame(simulator):
    simulator.configure(THREE)
    sdk.ready(1)
    assert sdk.roi(1) == (640, 480, 1, sdk.RAW8)


def test_no_cameras(simulator):
    simulator.configure("[camera]\ncount = 0\n")
    assert lib.QELGetNumOfConnectedCameras() == 0
    assert lib.QELGetCameraProperty(byref(sdk.CameraInfo()), 0) == sdk.INVALID_INDEX
    assert lib.QELOpenCamera(0) == sdk.INVALID_ID


@pytest.fixture
def catalogue(simulator, monkeypatch):
    """The names of the built-in catalogue's cameras, as a reset without QELSIM_CONFIG connects them."""
    monkeypatch.delenv("QELSIM_CONFIG", raising=False)
    simulator.reset()
    names = [c.name for c in infos()]
    assert names[:2] == [b"QELSim M1 Mono Cooled", b"QELSim C2 Colour GPS"]
    return names


def test_a_text_without_cameras_keeps_the_catalogue(simulator, catalogue):
    simulator.configure("[camera]\nmodel = C2\n")
    simulator.configure("seed = 3\nspeed = 50\n")
    assert [c.name for c in infos()] == catalogue
    assert simulator.clock_speed() == 50


@pytest.mark.parametrize(
    "text, message",
    [
        ("bogus = 1\n", "line 1: unknown key 'bogus'"),
        ("\n[camera]\nwidth = 100\n", "line 3: 'width' must be a multiple of 8"),
        ("[camera]\nheight = 3\n", "line 2: 'height' must be an even number"),
        ("[camera]\nmodel = X9\n", "line 2: no model 'X9'"),
        ("[camera]\nbins = 2 4\n", "line 2: 'bins' must be 1 to 16 bins, starting with 1"),
        ("[camera]\nbins = 1 1\n", "line 2: 'bins' must be a list without repeats"),
        ("[camera]\nformats = RAW8 JPEG\n", "line 2: 'formats' must be a list of"),
        ("[camera]\nformats = RGB24\n", "line 1: RGB24 needs a colour camera"),
        ("[camera]\nbit_depth = 17\n", "line 2: 'bit_depth' must be an integer from 8 to 16"),
        ("[camera]\nlatitude = 91\n", "line 2: 'latitude' must be a number from -90 to 90"),
        ("[camera]\nserial = NINECHARS\n", "line 2: 'serial' must be at most 8 characters"),
        ("[camera]\ngps = maybe\n", "line 2: 'gps' must be yes or no"),
        ("[camera]\ncount = 65\n", "line 2: 'count' must be an integer from 0 to 64"),
        ("[camera]\nwidth = 16\nbins = 1 4\n", "bin 4 leaves no image"),
        ("[cameras]\n", "line 1: unknown section [cameras]"),
        ("seed\n", "line 1: expected key = value"),
        ("speed = 0\n", "line 1: 'speed' must be a number"),
        ("utc = 2024-02-30T00:00:00\n", "line 1: 'utc' must look like"),
        ("[camera]\nfwhm = nan\n", "line 2: 'fwhm' must be a number"),
    ],
)
def test_bad_configurations_are_refused_with_the_line(simulator, text, message):
    simulator.configure("seed = 1\n[camera]\nmodel = C2\n")
    with pytest.raises(simulator.SimulatorError) as error:
        simulator.configure(text)
    assert message in str(error.value)
    assert [c.name for c in infos()] == [b"QELSim C2 Colour GPS"]  # nothing changed


def test_configuration_from_a_file(simulator, tmp_path):
    path = tmp_path / "sim.conf"
    path.write_text(THREE)
    simulator.load_config(str(path))
    assert lib.QELGetNumOfConnectedCameras() == 3
    with pytest.raises(simulator.SimulatorError, match="cannot read"):
        simulator.load_config(str(tmp_path / "missing.conf"))


def run(code: str, config: str | None, tmp_path: Path) -> subprocess.CompletedProcess:
    here = Path(__file__).parent
    env = {k: v for k, v in os.environ.items() if k != "QELSIM_CONFIG"}
    if config is not None:
        path = tmp_path / "env.conf"
        path.write_text(config)
        env["QELSIM_CONFIG"] = str(path)
    return subprocess.run(
        [sys.executable, "-c", f"import sys; sys.path.insert(0, {str(here)!r})\n" + textwrap.dedent(code)],
        capture_output=True, text=True, timeout=60, env=env,
    )


SHOW = """
    import sdk
    from brevalo.vra_qel_python_bindings import sim
    print([sdk.info_by_index(i).name.decode() for i in range(sdk.lib.QELGetNumOfConnectedCameras())])
    sim.reset()  # the reset comes back to the same base
    print(sdk.lib.QELGetNumOfConnectedCameras(), repr(sim.base_config_error()))
"""


def test_qelsim_config_names_the_base_configuration(tmp_path):
    done = run(SHOW, THREE, tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["['Guide', 'Guide', 'QELSim C2 Colour GPS']", "3 ''"]


def test_a_bad_qelsim_config_falls_back_to_the_catalogue_and_says_why(tmp_path, catalogue):
    done = run(SHOW, "[camera]\nwidth = 7\n", tmp_path)
    assert done.returncode == 0, done.stderr
    names, status = done.stdout.splitlines()
    assert names == repr([name.decode() for name in catalogue])
    assert "line 2: 'width' must be a multiple of 8" in status and status.startswith(f"{len(catalogue)} ")
    assert "QELSIM_CONFIG" in done.stderr


# ---- hot-plug


def test_unplugged_camera_leaves_discovery_and_answers_removed(simulator):
    sdk.ready(0)
    simulator.unplug_camera(0)
    assert lib.QELGetNumOfConnectedCameras() == len(TEST_CAMERAS) - 1
    assert sdk.info_by_index(0).camera_id == 1  # indexes close up
    assert lib.QELGetCameraPropertyByID(0, byref(sdk.CameraInfo())) == sdk.CAMERA_REMOVED
    assert lib.QELOpenCamera(0) == sdk.CAMERA_REMOVED
    with pytest.raises(simulator.SimulatorError):
        simulator.unplug_camera(0)


def test_plugging_back_gives_a_new_id_once(simulator):
    simulator.unplug_camera(0)
    new = simulator.replug_camera(0)
    assert new == UNKNOWN_ID  # the first id not given yet
    assert [c.camera_id for c in infos()] == [1, 2]  # registry order: the newcomer last
    assert lib.QELOpenCamera(0) == sdk.CAMERA_REMOVED  # the old id stays gone
    sdk.ready(new)
    with pytest.raises(simulator.SimulatorError):
        simulator.replug_camera(0)
    with pytest.raises(simulator.SimulatorError):
        simulator.replug_camera(1)  # not removed


def test_plugging_a_new_camera(simulator):
    new = simulator.plug_camera("model = C2\nname = Extra\nwidth = 320\nheight = 240\n")
    assert new == UNKNOWN_ID and lib.QELGetNumOfConnectedCameras() == len(TEST_CAMERAS) + 1
    info = sdk.info_by_index(len(TEST_CAMERAS))
    assert (info.name, info.camera_id, info.max_width) == (b"Extra", new, 320)
    assert lib.QELCameraCheck(0x51E1, 0x0102) == 1
    with pytest.raises(simulator.SimulatorError, match="line 1: unknown key"):
        simulator.plug_camera("colour_depth = 3\n")
    with pytest.raises(simulator.SimulatorError, match="exactly one camera"):
        simulator.plug_camera("count = 2\n")


def test_unplug_during_an_exposure(simulator):
    sdk.ready(0)
    sdk.ok(lib.QELStartExposure(0, 0))
    simulator.unplug_camera(0)
    assert lib.QELGetExpStatus(0, byref(sdk.ctypes.c_int())) == sdk.CAMERA_REMOVED


@pytest.mark.parametrize("vid, pid, expected", [(0x51E1, 0x0101, 1), (0x51E1, 0x0102, 1), (0x51E1, 0xFFFF, 0),
                                                (0x51E2, 0x0101, 0), (-1, -1, 0)])
def test_camera_check_knows_the_simulators_products(simulator, vid, pid, expected):
    assert lib.QELCameraCheck(vid, pid) == expected


# ---- the clock


def test_clock_speed_is_set_and_refused_outside_its_range(simulator):
    simulator.set_clock_speed(250)
    assert simulator.clock_speed() == 250
    for bad in (0, -1, 1e7, float("nan")):
        with pytest.raises(simulator.SimulatorError):
            simulator.set_clock_speed(bad)
    assert simulator.clock_speed() == 250
    simulator.reset()
    assert simulator.clock_speed() == 1


def test_simulated_time_is_continuous_across_speed_changes(simulator):
    # Nearly frozen (a simulated microsecond in a third of a real second and more), so that a host busy
    # elsewhere cannot move time by the margin; a jump at a change would show.
    simulator.set_clock_speed(1e-6)
    stamps = []
    for factor in (2e-6, 1e-6, 3e-6, 1e-6):
        stamps.append(simulator.now_us())
        simulator.set_clock_speed(factor)
    stamps.append(simulator.now_us())
    assert stamps == sorted(stamps) and stamps[-1] - stamps[0] <= 2
