"""Video capture: frame timing, the bounded queue and dropped frames, waits and how they end, and two
cameras capturing at once."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading

import pytest

from . import sdk
from .sdk import COLOUR, MONO, lib


def start(cam, w=64, h=32, t=sdk.RAW8, **controls):
    sdk.ready(cam)
    sdk.ok(lib.QELSetROIFormat(cam, w, h, 1, t))
    for control, value in controls.items():
        sdk.set_control(cam, getattr(sdk, control.upper()), value)
    sdk.ok(lib.QELStartVideoCapture(cam))


def frame_times(cam, n):
    """Start times of n consecutive frames, from their GPS records."""
    return [sdk.gps_utc_us(sdk.video_frame(cam, gps=True)[1]) for _ in range(n)]


def gaps_on_schedule(times, interval, cam):
    """Frames keep their places in the schedule; whatever is missing between them counts as dropped."""
    gaps = [b - a for a, b in zip(times, times[1:])]
    assert all(g > 0 and g % interval == 0 for g in gaps), gaps
    assert sum(gaps) // interval - len(gaps) <= sdk.dropped(cam)


@pytest.mark.parametrize("exposure", [100_000, 300_000])
def test_frames_follow_the_exposure_when_it_is_longer_than_readout(fast, exposure):
    start(COLOUR, exposure=exposure)
    gaps_on_schedule(frame_times(COLOUR, 6), exposure, COLOUR)


def test_short_exposures_run_at_the_readout_rate(fast):
    start(COLOUR, w=1920, h=1080, t=sdk.RAW8, exposure=32)
    fast.set_clock_speed(1)  # full frames at their own pace
    readout, interval = fast.timing(COLOUR)
    assert interval == pytest.approx(readout, abs=1)
    gaps_on_schedule(frame_times(COLOUR, 4), interval, COLOUR)


# The timing model of the monochrome camera: 20 us per sensor row, a 350 MB/s link.
LINE_US, LINK = 20.0, 350.0


def readout_model(w, h, b, bpp, bandwidth=50, high_speed_mode=0, hardware_bin=0):
    rows = h if hardware_bin else h * b
    sensor = rows * LINE_US * (0.5 if high_speed_mode else 1)
    return max(sensor, w * h * bpp / (LINK * bandwidth / 100))


@pytest.mark.parametrize(
    "roi, controls",
    [
        ((2048, 1536, 1, sdk.RAW8), {}),  # the sensor is the slower part
        ((2048, 1536, 1, sdk.RAW16), {}),  # the link is
        ((2048, 1536, 1, sdk.RAW16), {"bandwidth": 100}),
        ((2048, 1536, 1, sdk.RAW16), {"bandwidth": 100, "high_speed_mode": 1}),
        ((2048, 1536, 1, sdk.RAW8), {"bandwidth": 100, "high_speed_mode": 1}),
        ((2048, 768, 1, sdk.RAW8), {}),
        ((1024, 768, 2, sdk.RAW8), {}),
        ((1024, 768, 2, sdk.RAW8), {"hardware_bin": 1}),
        ((512, 384, 4, sdk.RAW16), {"hardware_bin": 1, "high_speed_mode": 1}),
    ],
)
def test_readout_time_follows_size_format_bandwidth_and_speed(simulator, roi, controls):
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, *roi))
    for control, value in controls.items():
        sdk.set_control(MONO, getattr(sdk, control.upper()), value)
    readout, interval = simulator.timing(MONO)
    w, h, b, t = roi
    assert readout == pytest.approx(readout_model(w, h, b, sdk.BYTES_PER_PIXEL[t], **controls), rel=1e-6)
    sdk.set_control(MONO, sdk.EXPOSURE, 1_000_000)
    assert simulator.timing(MONO) == (readout, 1_000_000)


def drain(cam):
    """Start times of the frames waiting in the queue, oldest first."""
    held, g = [], sdk.GpsData()
    while lib.QELGetVideoDataGPS(cam, sdk.as_buf(sdk.buffer(2048)), 2048, 0, sdk.ctypes.byref(g)) == 0:
        held.append(sdk.gps_utc_us(g))
    return held


def test_unfetched_frames_are_dropped_oldest_first_and_counted(stepped):
    sdk.ready(COLOUR)
    sdk.ok(lib.QELSetROIFormat(COLOUR, 64, 32, 1, sdk.RAW8))
    sdk.set_control(COLOUR, sdk.EXPOSURE, 100_000)
    sdk.ok(lib.QELSetCameraMode(COLOUR, sdk.MODE_SOFT_EDGE))
    sdk.ok(lib.QELStartVideoCapture(COLOUR))
    for _ in range(10):  # ten frames, one after the other
        sdk.ok(lib.QELSendSoftTrigger(COLOUR, 1))
    stepped.advance(1_500_000)
    held = drain(COLOUR)
    assert len(held) == 3  # the queue holds three frames: the newest
    assert [b - a for a, b in zip(held, held[1:])] == [100_000, 100_000]
    assert sdk.dropped(COLOUR) == 7


def test_free_running_frames_are_lost_while_not_fetched(stepped):
    # frames of a simulated second; draining the queue takes no simulated time
    start(COLOUR, exposure=1_000_000)
    first = sdk.gps_utc_us(sdk.video_frame(COLOUR, gps=True)[1])
    stepped.advance(30_000_000)  # 30 frame times pass unfetched
    held = drain(COLOUR)
    assert 3 <= len(held) <= 4 and held == sorted(held) and held[0] > first + 20_000_000
    assert sdk.dropped(COLOUR) >= (held[0] - first) // 1_000_000 - 1


def test_dropped_frames_restart_at_each_capture(stepped):
    start(COLOUR, exposure=100_000)
    stepped.advance(1_000_000)
    assert sdk.dropped(COLOUR) > 0
    sdk.ok(lib.QELStopVideoCapture(COLOUR))
    assert sdk.dropped(COLOUR) > 0  # still readable after the stop
    sdk.ok(lib.QELStartVideoCapture(COLOUR))
    assert sdk.dropped(COLOUR) == 0


def test_waiting_times_out_when_nothing_comes(stepped):
    start(MONO, exposure=5_000_000)
    size = sdk.image_size(MONO)
    t0 = stepped.now_us()
    assert lib.QELGetVideoData(MONO, sdk.as_buf(sdk.buffer(size)), size, 500) == sdk.TIMEOUT
    assert stepped.now_us() - t0 >= 500_000
    assert lib.QELGetVideoData(MONO, sdk.as_buf(sdk.buffer(size)), size, 0) == sdk.TIMEOUT
    assert len(sdk.video_frame(MONO, wait_ms=-1)) == size  # waiting without end gets the frame


def test_stop_and_start_again(fast):
    start(MONO, exposure=1000)
    sdk.video_frame(MONO)
    sdk.ok(lib.QELStopVideoCapture(MONO))
    sdk.ok(lib.QELStopVideoCapture(MONO))
    assert lib.QELGetVideoData(MONO, sdk.as_buf(sdk.buffer(2048)), 2048, 0) == sdk.INVALID_SEQUENCE
    sdk.ok(lib.QELStartVideoCapture(MONO))
    sdk.ok(lib.QELStartVideoCapture(MONO))  # already running
    assert len(sdk.video_frame(MONO)) == 2048


def _blocked_wait(cam):
    """A thread waiting for a frame without end; returns (thread, result list)."""
    size = sdk.image_size(cam)
    buf = sdk.buffer(size)
    result = []
    thread = threading.Thread(target=lambda: result.append(lib.QELGetVideoData(cam, sdk.as_buf(buf), size, -1)))
    thread.start()
    thread.join(0.05)
    assert thread.is_alive()
    return thread, result


@pytest.mark.parametrize(
    "end, code",
    [
        (lambda: lib.QELStopVideoCapture(COLOUR), sdk.INVALID_SEQUENCE),
        (lambda: lib.QELCloseCamera(COLOUR), sdk.CAMERA_CLOSED),
        (lambda: __import__("brevalo.vra_qel_python_bindings.sim").vra_qel_python_bindings.sim.unplug_camera(COLOUR), sdk.CAMERA_REMOVED),
    ],
    ids=["stop", "close", "unplug"],
)
def test_an_endless_wait_ends_with_the_capture(simulator, end, code):
    sdk.ready(COLOUR)
    sdk.ok(lib.QELSetCameraMode(COLOUR, sdk.MODE_SOFT_EDGE))  # no frame ever comes untriggered
    sdk.ok(lib.QELStartVideoCapture(COLOUR))
    thread, result = _blocked_wait(COLOUR)
    end()
    thread.join(5)
    assert not thread.is_alive() and result == [code]


def test_two_cameras_capture_at_once_without_blocking_each_other(fast):
    start(MONO, exposure=20_000)
    sdk.ready(COLOUR)
    sdk.ok(lib.QELSetROIFormat(COLOUR, 64, 32, 1, sdk.RAW8))
    sdk.ok(lib.QELSetCameraMode(COLOUR, sdk.MODE_SOFT_EDGE))
    sdk.ok(lib.QELStartVideoCapture(COLOUR))
    thread, result = _blocked_wait(COLOUR)  # the colour camera waits for a trigger
    frames = [sdk.video_frame(MONO) for _ in range(10)]  # the mono camera goes on meanwhile
    assert len(frames) == 10 and thread.is_alive()
    sdk.ok(lib.QELSendSoftTrigger(COLOUR, 1))
    thread.join(5)
    assert result == [sdk.SUCCESS]


def test_guide_and_imaging_cameras_stream_together(fast):
    start(MONO, exposure=30_000)
    start(COLOUR, exposure=70_000)
    got = {MONO: 0, COLOUR: 0}

    def pull(cam):
        for _ in range(6):
            sdk.video_frame(cam)
            got[cam] += 1

    threads = [threading.Thread(target=pull, args=(c,)) for c in (MONO, COLOUR)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert got == {MONO: 6, COLOUR: 6}


@pytest.mark.parametrize("waiting", [False, True])
def test_process_exit_with_capture_running(tmp_path, waiting):
    code = textwrap.dedent(
        f"""
        import sys, threading
        sys.path.insert(0, {str(__import__('pathlib').Path(__file__).parent)!r})
        import sdk
        for cam in (0, 1):
            sdk.ready(cam)
            sdk.ok(sdk.lib.QELSetROIFormat(cam, 640, 480, 1, 2))
            sdk.ok(sdk.lib.QELStartVideoCapture(cam))
        sdk.video_frame(0)
        if {waiting}:
            sdk.ok(sdk.lib.QELStopVideoCapture(1))
            sdk.ok(sdk.lib.QELSetCameraMode(1, 1))
            sdk.ok(sdk.lib.QELStartVideoCapture(1))
            threading.Thread(target=sdk.video_frame, args=(1,), daemon=True).start()
        print("leaving")
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "leaving"
