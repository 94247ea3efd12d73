"""The non-blocking camera: exposure states, abort, pulse guides, cooler ramps, one worker per camera."""

from __future__ import annotations

import threading
import time

import pytest

from brevalo.vra_qel_python_bindings import core, qel
from brevalo.vra_qel_python_bindings.camera import Camera, CameraBusy, CameraState, Roi
from helpers import CAMERAS

MONO, COLOUR = 0, 1
G = qel.GuideDirection
RATE = 2.0  # the monochrome model's guide rate, sensor pixels per second
BUSY = (CameraState.EXPOSING, CameraState.READING, CameraState.DOWNLOADING)


@pytest.fixture
def stepped(sim, monkeypatch):
    """The stepped clock, and the worker's timers on it: time moves only with sim.advance and exposures."""
    sim.configure("clock = stepped\n" + CAMERAS)
    monkeypatch.setattr(core, "clock", lambda: sim.now_us() / 1e6)
    return sim


def gate(monkeypatch, name):
    """Hold the worker inside qel.<name> until the returned event is set."""
    opened, real = threading.Event(), getattr(qel, name)

    def held(*args):
        assert opened.wait(10)
        return real(*args)

    monkeypatch.setattr(qel, name, held)
    return opened


def until(condition, seconds=10.0):
    end = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < end, "timed out"
        time.sleep(0.001)


def test_exposure_goes_idle_exposing_downloading_idle_and_status_never_waits(stepped, monkeypatch):
    with Camera(MONO) as cam:
        cam.roi = Roi(64, 48)
        assert (cam.state, cam.image_ready, cam.last_frame) == (CameraState.IDLE, False, None)
        with pytest.raises(RuntimeError, match="no exposure has finished"):
            cam.wait_image(0)
        polled, read = gate(monkeypatch, "get_exp_status"), gate(monkeypatch, "get_data_after_exp")
        cam.start_exposure(2.0)
        status = cam.status()
        assert (status.state, status.image_ready, status.percent_completed) == (CameraState.EXPOSING, False, 0)
        stepped.advance(500_000)
        assert cam.percent_completed == pytest.approx(25)
        stepped.advance(1_000_000)
        assert cam.percent_completed == pytest.approx(75) and cam.state == CameraState.EXPOSING
        polled.set()
        until(lambda: cam.state == CameraState.DOWNLOADING)
        began = time.perf_counter()
        seen = [cam.status() for _ in range(1000)]  # while the worker is inside the image read
        assert time.perf_counter() - began < 1  # a wait for the worker would last until read.set()
        assert {(s.state, s.image_ready) for s in seen} == {(CameraState.DOWNLOADING, False)}
        read.set()
        frame = cam.wait_image(10)
        status = cam.status()
        assert (status.state, status.image_ready, status.percent_completed) == (CameraState.IDLE, True, 100)
        assert frame is cam.last_frame and frame.exposure == 2.0 and frame.array.shape == (48, 64)
        assert (frame.end - frame.start).total_seconds() == 2.0


def test_busy_and_abort(sim):
    with Camera(MONO) as cam:
        cam.roi = Roi(64, 48)
        refused = [(2001, "outside the range"), (-1, "outside the range"), (float("nan"), "not a number")]
        for seconds, problem in refused:
            with pytest.raises(ValueError, match=problem):
                cam.start_exposure(seconds)
        cam.start_exposure(30)
        assert cam.state == CameraState.EXPOSING
        with pytest.raises(CameraBusy):
            cam.start_exposure(1)
        with pytest.raises(CameraBusy):
            next(cam.video())
        with pytest.raises(NotImplementedError):
            cam.stop_exposure()
        cam.abort_exposure()
        assert (cam.state, cam.image_ready) == (CameraState.IDLE, False)
        assert qel.get_exp_status(cam.camera_id) == qel.ExposureStatus.QEL_EXP_FAILED
        with pytest.raises(RuntimeError, match="no exposure has finished"):
            cam.wait_image(1)
        cam.abort_exposure()  # idle: nothing to do
        assert cam.expose(0.01).exposure == 0.01 and cam.image_ready


@pytest.mark.parametrize(
    "fault, error",
    [
        ("QELGetExpStatus", qel.QELCameraRemoved),
        ("QELGetDataAfterExp", qel.QELGeneralError),
        (None, qel.QELGeneralError),  # stopped behind the camera's back: the SDK reports a failed exposure
    ],
)
def test_failures_while_exposing_surface_as_error(sim, fault, error):
    with Camera(MONO) as cam:
        cam.roi = Roi(64, 48)
        if fault is not None:
            sim.inject_fault(fault, 4 if error is qel.QELCameraRemoved else 6)
            cam.start_exposure(0.01)
        else:
            cam.start_exposure(0.2)
            qel.stop_exposure(cam.camera_id)
        with pytest.raises(error):
            cam.wait_image(10)
        assert cam.state == CameraState.ERROR and isinstance(cam.last_error, error) and not cam.image_ready
        cam.abort_exposure()
        assert cam.state == CameraState.IDLE
        sim.inject_fault("QELStartExposure", 6)
        with pytest.raises(qel.QELGeneralError, match="starting the exposure failed"):
            cam.start_exposure(0.01)
        assert cam.state == CameraState.IDLE


@pytest.mark.parametrize("direction, dx, dy", [(G.QEL_GUIDE_NORTH, 0, -1), (G.QEL_GUIDE_WEST, 1, 0)])
def test_pulse_guide_returns_at_once_and_ends_after_its_length(stepped, direction, dx, dy):
    with Camera(MONO) as cam:
        cam.pulse_guide(direction, 2000)
        assert cam.is_pulse_guiding and stepped.journal("PulseGuideOn").args == (MONO, direction)
        stepped.advance(1_999_000)
        cam.roi  # a call through the worker: its timers have looked at the clock since
        assert cam.is_pulse_guiding and stepped.calls("PulseGuideOff") == 0
        stepped.advance(2_000)
        cam.roi
        assert not cam.is_pulse_guiding and stepped.journal("PulseGuideOff").args == (MONO, direction)
        x, y = stepped.pointing(MONO)
        assert dx * x + dy * y == pytest.approx(RATE * 2.001, abs=1e-6)
        # a pulse on the same axis replaces the running one; the other axis guides beside it
        cam.pulse_guide(G.QEL_GUIDE_EAST, 5000)
        cam.pulse_guide(G.QEL_GUIDE_NORTH, 1000)
        cam.pulse_guide(G.QEL_GUIDE_WEST, 1000)
        assert stepped.journal("PulseGuideOff").args == (MONO, G.QEL_GUIDE_EAST)
        stepped.advance(1_000_000)
        cam.roi
        assert not cam.is_pulse_guiding and stepped.calls("PulseGuideOff") == 4


@pytest.mark.parametrize(
    "index, direction, milliseconds, problem",
    [
        (COLOUR, G.QEL_GUIDE_NORTH, 100, "no ST4 guide port"),
        (MONO, G.QEL_GUIDE_NORTH, 0, "outside 0 .. 60000 ms"),
        (MONO, G.QEL_GUIDE_NORTH, 60_001, "outside 0 .. 60000 ms"),
        (MONO, G.QEL_GUIDE_NORTH, float("nan"), "outside 0 .. 60000 ms"),
        (MONO, 4, 100, "is not a guide direction"),
    ],
)
def test_pulse_guide_refusals(sim, index, direction, milliseconds, problem):
    with Camera(index) as cam:
        with pytest.raises(ValueError, match=problem):
            cam.pulse_guide(direction, milliseconds)
    assert sim.calls("PulseGuideOn") == 0


def test_cooler_ramp_moves_the_target_at_its_rate(stepped):
    with Camera(MONO) as cam:
        stepped.set_temperature(MONO, 10.0)
        cam.cool_to(-10, rate=6)  # 0.1 C per second
        assert cam.cooler_on and cam.target_temperature == 10
        stepped.advance(30_000_000)
        cam.roi
        assert cam.status().cooler_target == pytest.approx(7.0) and cam.target_temperature == 7
        stepped.advance(300_000_000)
        cam.roi
        assert cam.status().cooler_target == -10 and cam.target_temperature == -10
        stepped.advance(10_000_000)
        cam.roi
        assert cam.status().cooler_on and cam.status().temperature < 5  # the sensor follows
        cam.cool_to(20, rate=1)
        cam.target_temperature = 0  # by hand: the ramp ends
        stepped.advance(120_000_000)
        cam.roi
        assert cam.target_temperature == 0 and cam.status().cooler_target == 0
        with pytest.raises(ValueError, match="outside the range"):
            cam.cool_to(-41)
    with Camera(COLOUR) as cam, pytest.raises(ValueError, match="no cooler"):
        cam.cool_to(0)


def test_calls_from_many_threads_reach_the_module_from_the_worker_alone(sim, monkeypatch):
    callers: set[int] = set()
    names = ["get_control_value", "set_control_value", "get_roi_format", "start_exposure", "get_exp_status",
             "get_data_after_exp", "pulse_guide_on", "pulse_guide_off", "stop_exposure"]
    with Camera(MONO) as cam:
        cam.roi = Roi(64, 48)
        for name in names:
            def call(*args, real=getattr(qel, name)):
                callers.add(threading.get_ident())
                return real(*args)

            monkeypatch.setattr(qel, name, call)
        errors = []

        def work(i):
            try:
                for n in range(20):
                    if i == 0:
                        assert cam.expose(0.001).array.shape == (48, 64)
                    elif i == 1:
                        cam.pulse_guide(G(n % 4), 5)
                    else:
                        cam.gain = 10 * i + n
                        assert cam.roi.width == 64 and 0 <= cam.gain <= 400 and cam.status().temperature is not None
            except BaseException as error:
                errors.append(error)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert errors == []
        seen = set(callers)
    assert len(seen) == 1 and seen.isdisjoint({t.ident for t in threads} | {threading.get_ident()})


def test_close_during_an_exposure_and_a_pulse_ends_everything(sim):
    before = threading.active_count()
    cam = Camera(MONO)
    cam.roi = Roi(64, 48)
    cam.start_exposure(30)
    cam.pulse_guide(G.QEL_GUIDE_SOUTH, 30_000)
    waited = []
    waiter = threading.Thread(target=lambda: waited.append(pytest.raises(ValueError, cam.wait_image)))
    waiter.start()
    began = time.monotonic()
    cam.close()
    waiter.join(5)
    assert time.monotonic() - began < 2 and not waiter.is_alive() and waited
    assert sim.calls("StopExposure") >= 1 and sim.journal("PulseGuideOff").args == (MONO, G.QEL_GUIDE_SOUTH)
    assert threading.active_count() <= before and not cam.is_pulse_guiding and cam.state == CameraState.IDLE


def test_an_open_camera_does_not_keep_the_process_alive(python):
    out = python(
        """
        import atexit, time
        from brevalo.vra_qel_python_bindings import sim
        from brevalo.vra_qel_python_bindings.camera import Camera
        atexit.register(lambda: print(sim.calls("StopExposure"), sim.calls("PulseGuideOff")))  # runs last
        cam = Camera(0)
        cam.start_exposure(60)
        cam.pulse_guide(0, 60000)
        print(cam.state.name, cam.is_pulse_guiding, time.monotonic())
        """
    )
    state, guiding, started, stopped, released = out.split()
    assert (state, guiding, stopped, released) == ("EXPOSING", "True", "1", "1")
    assert time.monotonic() - float(started) < 10


def test_stop_video_from_another_thread_ends_the_wait_for_a_long_frame(sim):
    waits = lambda: sim.calls("GetVideoData") + sim.calls("GetVideoDataGPS")  # noqa: E731
    with Camera(MONO) as cam:
        cam.roi, cam.exposure = Roi(64, 48), 0.01
        cam.stop_video()  # no video: nothing to stop, and nothing left over for the next one
        assert len(list(cam.video(frames=2))) == 2
        cam.exposure = 60
        got: list = []
        reader = threading.Thread(target=lambda: got.extend(cam.video(wait=5)))
        before = waits()
        reader.start()
        until(lambda: waits() > before)  # the reader waits for a frame 60 s away
        began = time.monotonic()
        cam.stop_video()
        reader.join(30)
        assert not reader.is_alive() and got == []
        assert time.monotonic() - began < 5  # one wait (0.2 s) and the stop, with room for a loaded machine
        assert sim.calls("StopVideoCapture") == 2
        cam.exposure = 0.01
        assert cam.expose(0.01).exposure == 0.01  # the video is over for the worker too
