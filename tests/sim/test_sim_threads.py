"""Many threads calling at once: every call returns one of its result codes and the simulator stays
consistent."""

from __future__ import annotations

import random
import threading
from ctypes import byref, c_int

from helpers import TEST_CAMERAS

from . import sdk
from .sdk import lib

ALLOWED = {sdk.SUCCESS, sdk.CAMERA_CLOSED, sdk.TIMEOUT, sdk.GENERAL, sdk.INVALID_SEQUENCE, sdk.VIDEO_MODE_ACTIVE,
           sdk.EXPOSURE_IN_PROGRESS, sdk.INVALID_MODE, sdk.BUFFER_TOO_SMALL, sdk.GPS_DATA_INVALID,
           sdk.INVALID_SIZE, sdk.OUT_OF_BOUNDARY}


def worker(seed, cams, results, stop):
    rng = random.Random(seed)
    buf = sdk.buffer(64 * 32 * 3)
    p = sdk.as_buf(buf)
    v, a = c_int(), c_int()
    g = sdk.GpsData()
    ops = [
        lambda c: lib.QELOpenCamera(c),
        lambda c: lib.QELInitCamera(c),
        lambda c: lib.QELCloseCamera(c) if rng.random() < 0.1 else 0,
        lambda c: lib.QELSetROIFormat(c, 64, 32, 1, sdk.RAW8),
        lambda c: lib.QELSetROIFormat(c, 32, 16, 2, sdk.RAW16),
        lambda c: lib.QELSetStartPos(c, rng.randrange(0, 64), rng.randrange(0, 64)),
        lambda c: lib.QELSetControlValue(c, sdk.EXPOSURE, rng.choice([32, 1000, 20000]), 0),
        lambda c: lib.QELSetControlValue(c, sdk.GAIN, rng.randrange(0, 300), 0),
        lambda c: lib.QELGetControlValue(c, sdk.TEMPERATURE, byref(v), byref(a)),
        lambda c: lib.QELStartVideoCapture(c),
        lambda c: lib.QELStopVideoCapture(c),
        lambda c: lib.QELGetVideoData(c, p, len(buf), rng.choice([0, 5, 50])),
        lambda c: lib.QELGetVideoDataGPS(c, p, len(buf), 5, byref(g)) if c == 1 else 0,
        lambda c: lib.QELStartExposure(c, rng.random() < 0.5),
        lambda c: lib.QELStopExposure(c),
        lambda c: lib.QELGetExpStatus(c, byref(v)),
        lambda c: lib.QELGetDataAfterExp(c, p, len(buf)),
        lambda c: lib.QELGetDroppedFrames(c, byref(v)),
        lambda c: lib.QELPulseGuideOn(c, rng.randrange(4)) if c == 0 else 0,
        lambda c: lib.QELPulseGuideOff(c, rng.randrange(4)) if c == 0 else 0,
        lambda c: lib.QELSetCameraMode(c, rng.choice([0, 0, 1])),
        lambda c: lib.QELSendSoftTrigger(c, 1),
        lambda c: lib.QELGPSGetData(c, byref(g), byref(g)) if c == 1 else 0,
        lambda c: int(lib.QELGetNumOfConnectedCameras() < 0),
    ]
    while not stop.is_set():
        rc = rng.choice(ops)(rng.choice(cams))
        results.append(rc)


# Small sensors: what is tested is the calls' interplay, and full frames in every thread only cost memory.
SMALL_CAMERAS = "".join(
    f"[camera]\nmodel = {m}\nserial = {serial}\nseed = {seed}\nwidth = 320\nheight = 240\n" for m, serial, seed in TEST_CAMERAS
)


def test_many_threads_at_once(simulator):
    simulator.configure(SMALL_CAMERAS)
    simulator.set_clock_speed(100)
    for cam in (0, 1):
        sdk.ready(cam)
    results: list[int] = []
    stop = threading.Event()
    threads = [threading.Thread(target=worker, args=(i, [0, 1], results, stop)) for i in range(8)]
    for t in threads:
        t.start()
    stop.wait(1.5)
    stop.set()
    for t in threads:
        t.join(10)
    assert not any(t.is_alive() for t in threads)
    assert len(results) > 1000
    assert set(results) <= ALLOWED, set(results) - ALLOWED
    assert sdk.SUCCESS in results
    # Still a working camera afterwards.
    for cam in (0, 1):
        sdk.ok(lib.QELCloseCamera(cam))
        sdk.ready(cam)
        sdk.ok(lib.QELSetROIFormat(cam, 64, 32, 1, sdk.RAW8))
        assert len(sdk.expose(cam)) == 64 * 32


def test_hot_plug_and_reset_while_threads_call(simulator, monkeypatch, tmp_path):
    config = tmp_path / "small.ini"
    config.write_text(SMALL_CAMERAS)
    monkeypatch.setenv("QELSIM_CONFIG", str(config))  # what each reset comes back to
    simulator.configure(SMALL_CAMERAS)
    simulator.set_clock_speed(100)
    results: list[int] = []
    stop = threading.Event()
    threads = [threading.Thread(target=worker, args=(i, [0, 1, 2, 3], results, stop)) for i in range(4)]
    for t in threads:
        t.start()
    for _ in range(5):
        simulator.unplug_camera(0)
        simulator.replug_camera(0)
        stop.wait(0.05)
        simulator.reset()
        simulator.set_clock_speed(100)
    stop.set()
    for t in threads:
        t.join(10)
    assert not any(t.is_alive() for t in threads)
    assert set(results) <= ALLOWED | {sdk.INVALID_ID, sdk.CAMERA_REMOVED}
    assert lib.QELGetNumOfConnectedCameras() == len(TEST_CAMERAS)
