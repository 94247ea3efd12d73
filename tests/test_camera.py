"""The camera object: controls in natural units, regions, frames as arrays, exposures and video."""

from __future__ import annotations

import datetime as dt
import time

import numpy as np
import pytest

from brevalo.vra_qel_python_bindings import qel
from brevalo.vra_qel_python_bindings.camera import Camera, Roi, cameras

SKY = """
seed = 5
utc = 2024-03-20T21:30:00
[camera]
model = M1
width = 320
height = 240
[camera]
model = C2
width = 320
height = 240
sky = 4000
"""
MONO, COLOUR = 0, 1
UTC = dt.timezone.utc


@pytest.fixture
def scene(sim):
    sim.configure(SKY)
    yield sim


@pytest.fixture
def start_times(monkeypatch, scene):
    """Simulated time (us) at each start of an exposure, read as soon as the SDK call returns."""
    starts: list[int] = []
    real = qel.start_exposure

    def start_exposure(camera_id, is_dark):
        real(camera_id, is_dark)
        starts.append(scene.now_us())

    monkeypatch.setattr(qel, "start_exposure", start_exposure)
    return starts


def reset_instant(sim) -> dt.datetime:
    """The host time at which the simulated clock read 0."""
    before, now, after = time.time(), sim.now_us(), time.time()
    return dt.datetime.fromtimestamp((before + after) / 2 - now / 1e6, UTC)


@pytest.mark.parametrize(
    "index, attribute, value, shown",
    [
        (MONO, "gain", 100000, "gain 100000 is outside the range 0 .. 400"),
        (MONO, "exposure", 2001.0, "exposure 2001.0 is outside the range 3.2e-05 .. 2000 s"),
        (MONO, "target_temperature", -41, "target_temperature -41 is outside the range -40 .. 30 C"),
        (COLOUR, "wb_red", 0, "wb_red 0 is outside the range 1 .. 99"),
        (COLOUR, "offset", -1, "offset -1 is outside the range 0 .. 100"),
    ],
)
def test_out_of_range_names_camera_control_value_and_range_before_the_sdk(scene, index, attribute, value, shown):
    with Camera(index) as cam:
        before = scene.calls("QELSetControlValue")
        with pytest.raises(ValueError) as caught:
            setattr(cam, attribute, value)
        assert str(caught.value) == f"{cam.description.name}: {shown}"
        assert scene.calls("QELSetControlValue") == before


def test_controls_read_and_write_in_natural_units(scene):
    with Camera(MONO) as cam:
        cam.exposure = 1.5
        cam.target_temperature = -12
        assert qel.get_control_value(cam.camera_id, qel.ControlType.QEL_EXPOSURE)[0] == 1_500_000
        assert cam.exposure == 1.5
        assert cam.target_temperature == -12
        scene.set_temperature(cam.camera_id, -7.5)
        assert cam.temperature == pytest.approx(-7.5, abs=0.1)  # tenths of a degree in the SDK
        with pytest.raises(ValueError, match="temperature is read-only"):
            cam.set("temperature", 5)
        with pytest.raises(AttributeError, match="temperature is read-only"):
            cam.temperature = 5  # type: ignore[misc]
        with pytest.raises(AttributeError, match="has no control 'wb_red'"):
            cam.wb_red = 50


def test_sdk_failures_name_the_camera_and_what_failed(scene):
    with Camera(MONO) as cam:
        scene.inject_fault("QELSetControlValue", 6)
        with pytest.raises(qel.QELGeneralError, match=r"^QELSim M1 Mono Cooled: setting gain to 10 failed"):
            cam.gain = 10


@pytest.mark.parametrize(
    "roi, problem",
    [
        (Roi(100, 100), "width 100 is not a multiple of 8 from 8 to 320"),
        (Roi(320, 240, bin=5), "bin 5 is not one of [1, 2, 3, 4]"),
        (Roi(160, 120, bin=2, format=qel.ImgType.IMG_RGB24), "format IMG_RGB24 is not one of"),
        (Roi(64, 64, start_x=300), "start x 300 is outside 0 .. 256"),
    ],
)
def test_region_refused_before_the_sdk(scene, roi, problem):
    with Camera(MONO) as cam:
        with pytest.raises(ValueError) as caught:
            cam.roi = roi
        assert problem in str(caught.value)
        assert scene.calls("QELSetROIFormat") == 0


def test_context_manager_stops_video_and_closes_on_error(scene):
    with pytest.raises(RuntimeError):
        with Camera(COLOUR) as cam:
            qel.start_video_capture(cam.camera_id)
            raise RuntimeError
    assert scene.calls("QELStopVideoCapture") >= 1
    assert cam.closed
    with pytest.raises(qel.QELCameraClosed):
        qel.get_roi_format(1)


def test_open_by_name_and_serial(scene):
    with Camera(serial="SIMC0002") as cam:
        assert cam.description.index == COLOUR and cam.description.gps
    with Camera(name="QELSim M1 Mono Cooled") as cam:
        assert cam.description.serial == "SIMM0001" and cam.description.cooler
    with pytest.raises(LookupError, match="no camera with serial 'nope'"):
        Camera(serial="nope")


def test_listing_cameras_leaves_an_open_camera_open(scene):
    with Camera(MONO) as cam:
        listed = cameras()
        assert [(d.serial, d.gps) for d in listed] == [("SIMM0001", False), ("SIMC0002", True)]
        assert cam.gain >= 0  # still open: a listing that closed it would raise QELCameraClosed here
    assert [d.serial for d in cameras()] == ["SIMM0001", "SIMC0002"]


@pytest.mark.parametrize(
    "fmt, dtype, shape",
    [
        (qel.ImgType.IMG_RAW8, np.uint8, (48, 64)),
        (qel.ImgType.IMG_Y8, np.uint8, (48, 64)),
        (qel.ImgType.IMG_RAW16, np.uint16, (48, 64)),
        (qel.ImgType.IMG_RGB24, np.uint8, (48, 64, 3)),
    ],
)
def test_frame_array_dtype_shape_and_pixels(scene, fmt, dtype, shape):
    with Camera(COLOUR) as cam:
        cam.roi = Roi(64, 48, 1, fmt)
        frame = cam.expose(0.01)
    array = frame.array
    assert array.dtype == dtype and array.shape == shape and array.dtype.isnative
    if fmt == qel.ImgType.IMG_RAW16:  # little-endian samples, 12-bit values at the top
        assert np.array_equal(array, np.frombuffer(frame.data, "<u2").reshape(shape))
        assert array.max() > 0 and not (array % 16).any()
    else:
        assert array.tobytes() == frame.data


def test_rgb24_array_is_red_green_blue(scene):
    means = []
    with Camera(COLOUR) as cam:
        cam.roi = Roi(64, 48, 1, qel.ImgType.IMG_RGB24)
        for red, blue in ((99, 1), (1, 99)):
            cam.wb_red, cam.wb_blue = red, blue
            means.append(cam.expose(0.05).array.reshape(-1, 3).mean(axis=0))
    assert means[0][0] > means[0][2] and means[1][2] > means[1][0]


def phase_means(array):
    return {(y, x): array[y::2, x::2].mean() for y in (0, 1) for x in (0, 1)}


@pytest.mark.parametrize(
    "start_x, start_y, flip",
    [(0, 0, 0), (1, 0, 0), (0, 1, 0), (3, 5, 0), (0, 0, 1), (0, 0, 2), (2, 2, 3), (1, 0, 1)],
)
def test_bayer_pattern_names_the_filters_of_the_stored_pixels(scene, start_x, start_y, flip):
    """The filter of each pixel phase is recognised by its sky level, measured on the sensor's own phase."""
    with Camera(COLOUR) as cam:
        cam.roi = Roi(64, 48, 1, qel.ImgType.IMG_RAW16, 0, 0)
        reference = phase_means(cam.expose(0.1).array)  # RGGB at the sensor's origin
        cam.roi = Roi(64, 48, 1, qel.ImgType.IMG_RAW16, start_x, start_y)
        cam.flip = qel.FlipStatus(flip)
        frame = cam.expose(0.1)
    level = {"R": reference[0, 0], "G": (reference[0, 1] + reference[1, 0]) / 2, "B": reference[1, 1]}
    assert abs(level["R"] - level["B"]) > 0.05 * level["G"]
    seen = phase_means(frame.array)
    named = "".join(min(level, key=lambda c: abs(level[c] - seen[p])) for p in ((0, 0), (0, 1), (1, 0), (1, 1)))
    assert frame.bayer_pattern == named


@pytest.mark.parametrize("index, source", [(MONO, "host clock"), (COLOUR, "GPS")])
def test_expose_start_and_end_in_utc(start_times, scene, index, source):
    zero = reset_instant(scene) if source == "host clock" else dt.datetime(2024, 3, 20, 21, 30, tzinfo=UTC)
    with Camera(index) as cam:
        cam.roi = Roi(64, 48)
        frame = cam.expose(0.3)
    assert frame.time_source == source and (frame.gps is not None) == (source == "GPS")
    assert abs((frame.start - zero - dt.timedelta(microseconds=start_times[0])).total_seconds()) < 0.010
    assert 0.3 <= (frame.end - frame.start).total_seconds() < 0.31


def test_expose_reports_progress_and_stops_on_interrupt(scene):
    seen: list[float] = []

    def progress(fraction):
        seen.append(fraction)
        if len(seen) == 3:
            raise KeyboardInterrupt

    with Camera(MONO) as cam:
        cam.roi = Roi(64, 48)
        began = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            cam.expose(30, progress=progress)
        assert time.monotonic() - began < 1
        assert qel.get_exp_status(cam.camera_id) == qel.ExposureStatus.QEL_EXP_FAILED  # stopped
        assert seen == sorted(seen) and 0 < seen[-1] < 1
        done: list[float] = []
        cam.expose(0.05, progress=done.append)
    assert done[-1] == 1.0


def test_video_waits_briefly_counts_frames_and_stops_on_leaving(scene):
    with Camera(COLOUR) as cam:
        cam.roi = Roi(64, 48, 1, qel.ImgType.IMG_RAW8)
        cam.exposure = 0.02
        frames = []
        for frame in cam.video(wait=5):
            frames.append(frame)
            if len(frames) == 4:
                break
        assert scene.calls("QELStopVideoCapture") == 1
        assert 0 <= scene.journal("QELGetVideoDataGPS").args[3] <= 200  # wait_ms
        assert [f.number for f in frames] == [0, 1, 2, 3]
        starts = [f.start for f in frames]
        assert starts == sorted(starts) and len(set(starts)) == 4
        assert all(f.time_source == "GPS" and f.gps is not None for f in frames)
        assert len(list(cam.video(frames=2))) == 2
