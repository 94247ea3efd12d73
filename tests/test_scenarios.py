"""Whole capture programs, from Python through the module and the simulated camera and back."""

from __future__ import annotations

import array
import struct
import threading
import time

import pytest

from helpers import TEST_CAMERAS

MONO, COLOUR = 0, 1  # the test cameras (helpers.CAMERAS)


@pytest.fixture
def camera(qel, sim):
    """Opens and initialises a camera; closes it afterwards."""
    opened = []

    def open_(camera_id: int) -> int:
        qel.open_camera(camera_id)
        qel.init_camera(camera_id)
        opened.append(camera_id)
        return camera_id

    yield open_
    for camera_id in opened:
        try:
            qel.close_camera(camera_id)
        except qel.QELError:
            pass


def pixels16(image: bytes) -> array.array:
    values = array.array("H", image)
    assert values.itemsize == 2
    return values


def mean(values) -> float:
    return sum(values) / len(values)


def expose(qel, camera_id: int, dark: bool = False, timeout: float = 10.0) -> int:
    qel.start_exposure(camera_id, dark)
    deadline = time.monotonic() + timeout
    while (status := qel.get_exp_status(camera_id)) == qel.ExposureStatus.QEL_EXP_WORKING:
        assert time.monotonic() < deadline
        time.sleep(0.002)
    return status


def test_typical_capture(qel, sim, camera):
    sim.set_clock_speed(50)
    assert qel.get_number_of_connected_cameras() == len(TEST_CAMERAS)
    info = qel.get_camera_property(0)
    camera_id = camera(info.camera_id)

    caps = {}
    for index in range(qel.get_num_of_controls(camera_id)):
        c = qel.get_control_caps(camera_id, index)
        caps[c.control_type] = c
    assert {qel.ControlType.QEL_GAIN, qel.ControlType.QEL_EXPOSURE} <= set(caps)
    qel.set_control_value(camera_id, qel.ControlType.QEL_GAIN, 150, False)
    qel.set_control_value(camera_id, qel.ControlType.QEL_EXPOSURE, 200_000, False)
    assert qel.get_control_value(camera_id, qel.ControlType.QEL_GAIN) == (150, False)
    assert qel.get_control_value(camera_id, qel.ControlType.QEL_EXPOSURE) == (200_000, False)

    width, height = info.max_width // 2, info.max_height // 2
    qel.set_roi_format(camera_id, width, height, 2, qel.ImgType.IMG_RAW16)
    assert qel.get_roi_format(camera_id) == (width, height, 2, qel.ImgType.IMG_RAW16)

    assert qel.get_exp_status(camera_id) == qel.ExposureStatus.QEL_EXP_IDLE
    status = expose(qel, camera_id)
    assert status == qel.ExposureStatus.QEL_EXP_SUCCESS and type(status) is int
    image = qel.get_data_after_exp(camera_id, width * height * 2)
    assert len(image) == width * height * 2
    assert mean(pixels16(image)) > 0
    with pytest.raises(qel.QELError):
        qel.get_data_after_exp(camera_id, width * height * 2)  # read once only


def test_exposure_reads_and_refusals(qel, sim, camera):
    sim.set_clock_speed(50)
    camera_id = camera(MONO)
    qel.set_roi_format(camera_id, 640, 480, 1, qel.ImgType.IMG_RAW8)
    with pytest.raises(qel.QELError):
        qel.get_data_after_exp(camera_id, 640 * 480)  # nothing exposed yet
    assert expose(qel, camera_id) == qel.ExposureStatus.QEL_EXP_SUCCESS
    with pytest.raises(qel.QELBufferTooSmall):
        qel.get_data_after_exp(camera_id, 640 * 480 - 1)
    image = qel.get_data_after_exp(camera_id, 640 * 480 + 100)  # a larger buffer is fine
    assert len(image) == 640 * 480 + 100 and image[-100:] == bytes(100)


def test_stopped_exposure_fails(qel, sim, camera):
    camera_id = camera(MONO)
    qel.set_control_value(camera_id, qel.ControlType.QEL_EXPOSURE, 60_000_000, False)  # a minute
    qel.start_exposure(camera_id, False)
    assert qel.get_exp_status(camera_id) == qel.ExposureStatus.QEL_EXP_WORKING
    with pytest.raises(qel.QELExposureInProgress):
        qel.set_roi_format(camera_id, 640, 480, 1, qel.ImgType.IMG_RAW8)
    qel.stop_exposure(camera_id)
    assert qel.get_exp_status(camera_id) == qel.ExposureStatus.QEL_EXP_FAILED


def test_dark_frame_is_darker(qel, sim, camera):
    sim.set_clock_speed(100)
    camera_id = camera(MONO)
    qel.set_control_value(camera_id, qel.ControlType.QEL_EXPOSURE, 500_000, False)
    qel.set_roi_format(camera_id, 512, 512, 1, qel.ImgType.IMG_RAW16)
    expose(qel, camera_id)
    light = mean(pixels16(qel.get_data_after_exp(camera_id, 512 * 512 * 2)))
    expose(qel, camera_id, dark=True)
    dark = mean(pixels16(qel.get_data_after_exp(camera_id, 512 * 512 * 2)))
    assert dark < light


def test_calls_on_unknown_and_closed_cameras(qel, sim):
    with pytest.raises(qel.QELInvalidID):
        qel.open_camera(77)
    with pytest.raises(qel.QELCameraClosed):
        qel.start_exposure(MONO, False)
    qel.open_camera(MONO)
    qel.close_camera(MONO)
    with pytest.raises(qel.QELCameraClosed):
        qel.get_roi_format(MONO)


def test_video_burst_with_dropped_frames(qel, sim, camera):
    sim.set_clock_speed(20)
    camera_id = camera(MONO)
    qel.set_roi_format(camera_id, 320, 240, 1, qel.ImgType.IMG_RAW16)
    qel.set_control_value(camera_id, qel.ControlType.QEL_EXPOSURE, 10_000, False)
    qel.start_video_capture(camera_id)
    try:
        frames = [qel.get_video_data(camera_id, 320 * 240 * 2, 2000) for _ in range(5)]
        assert all(len(f) == 320 * 240 * 2 for f in frames)
        assert len(set(frames)) > 1  # frames differ: noise
        with pytest.raises(qel.QELVideoModeActive):
            qel.set_roi_format(camera_id, 640, 480, 1, qel.ImgType.IMG_RAW16)
        time.sleep(1.0)  # not fetching: the queue overflows
        dropped = qel.get_dropped_frames(camera_id)
        assert type(dropped) is int and dropped > 0
    finally:
        qel.stop_video_capture(camera_id)
    with pytest.raises(qel.QELError):
        qel.get_video_data(camera_id, 320 * 240, 10)


def test_video_time_out(qel, sim, camera):
    camera_id = camera(COLOUR)
    qel.set_camera_mode(camera_id, qel.CameraMode.QEL_MODE_TRIG_SOFT_EDGE)
    qel.start_video_capture(camera_id)
    try:
        with pytest.raises(qel.QELTimeout):
            qel.get_video_data(camera_id, 1920 * 1080, 50)
    finally:
        qel.stop_video_capture(camera_id)


def test_soft_triggered_frame(qel, sim, camera):
    sim.set_clock_speed(20)
    camera_id = camera(COLOUR)
    assert qel.CameraMode.QEL_MODE_TRIG_SOFT_EDGE in qel.get_camera_support_mode(camera_id)
    qel.set_camera_mode(camera_id, qel.CameraMode.QEL_MODE_TRIG_SOFT_EDGE)
    assert qel.get_camera_mode(camera_id) is qel.CameraMode.QEL_MODE_TRIG_SOFT_EDGE
    qel.set_roi_format(camera_id, 320, 240, 1, qel.ImgType.IMG_RAW8)
    qel.start_video_capture(camera_id)
    try:
        with pytest.raises(qel.QELTimeout):
            qel.get_video_data(camera_id, 320 * 240, 20)
        qel.send_soft_trigger(camera_id, True)
        assert len(qel.get_video_data(camera_id, 320 * 240, 5000)) == 320 * 240
        with pytest.raises(qel.QELTimeout):
            qel.get_video_data(camera_id, 320 * 240, 20)  # one trigger, one frame
    finally:
        qel.stop_video_capture(camera_id)


def test_modes_a_camera_lacks_are_refused(qel, sim, camera):
    camera_id = camera(MONO)
    assert qel.get_camera_support_mode(camera_id) == [qel.CameraMode.QEL_MODE_NORMAL]
    with pytest.raises(qel.QELError):
        qel.set_camera_mode(camera_id, qel.CameraMode.QEL_MODE_TRIG_SOFT_EDGE)
    assert qel.get_camera_mode(camera_id) is qel.CameraMode.QEL_MODE_NORMAL


def test_trigger_outputs(qel, sim, camera):
    camera_id = camera(COLOUR)
    qel.set_trigger_output_io_conf(camera_id, qel.TrigOutput.QEL_TRIG_OUTPUT_PINB, True, 150, 2000)
    assert qel.get_trigger_output_io_conf(camera_id, qel.TrigOutput.QEL_TRIG_OUTPUT_PINB) == (True, 150, 2000)
    assert qel.get_trigger_output_io_conf(camera_id, 0) == (False, 0, 0)
    with pytest.raises(qel.QELError):
        qel.get_trigger_output_io_conf(camera_id, 2)
    with pytest.raises(qel.QELError):
        qel.set_trigger_output_io_conf(camera_id, qel.TrigOutput.QEL_TRIG_OUTPUT_NONE, True, 0, 0)


def test_guide_pulse_moves_the_pointing(qel, sim, camera):
    camera_id = camera(MONO)
    before = sim.pointing(camera_id)
    qel.pulse_guide_on(camera_id, qel.GuideDirection.QEL_GUIDE_WEST)
    time.sleep(0.2)
    qel.pulse_guide_off(camera_id, qel.GuideDirection.QEL_GUIDE_WEST)
    after = sim.pointing(camera_id)
    assert after != before
    time.sleep(0.05)
    assert sim.pointing(camera_id) == after  # guiding stopped
    colour = camera(COLOUR)
    with pytest.raises(qel.QELError):
        qel.pulse_guide_on(colour, qel.GuideDirection.QEL_GUIDE_NORTH)  # no ST4 port


def bmp8(width: int, height: int, value: int) -> bytes:
    """An uncompressed 8-bit grey BMP filled with one value."""
    row = (width + 3) & ~3
    palette = b"".join(bytes((i, i, i, 0)) for i in range(256))
    offset = 14 + 40 + len(palette)
    pixels = (bytes([value]) * width + bytes(row - width)) * height
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(pixels), 2835, 2835, 256, 0)
    return header + info + palette + pixels


def test_dark_subtraction_with_a_bmp(qel, sim, camera, tmp_path):
    sim.set_clock_speed(100)
    camera_id = camera(MONO)
    info = qel.get_camera_property_by_id(camera_id)
    qel.set_roi_format(camera_id, 512, 512, 1, qel.ImgType.IMG_RAW8)
    qel.set_control_value(camera_id, qel.ControlType.QEL_OFFSET, 40, False)

    expose(qel, camera_id)
    plain = mean(qel.get_data_after_exp(camera_id, 512 * 512))

    dark = tmp_path / "dark frame é.bmp"
    dark.write_bytes(bmp8(info.max_width, info.max_height, 255))
    qel.enable_dark_subtract(camera_id, str(dark))
    assert sim.journal("EnableDarkSubtract").text == str(dark).encode()
    expose(qel, camera_id)
    subtracted = qel.get_data_after_exp(camera_id, 512 * 512)
    assert mean(subtracted) < plain and min(subtracted) == 0  # clamped at zero

    qel.disable_dark_subtract(camera_id)
    expose(qel, camera_id)
    assert mean(qel.get_data_after_exp(camera_id, 512 * 512)) > mean(subtracted)

    with pytest.raises(qel.QELInvalidPath):
        qel.enable_dark_subtract(camera_id, str(tmp_path / "missing.bmp"))
    small = tmp_path / "small.bmp"
    small.write_bytes(bmp8(64, 64, 10))
    with pytest.raises(qel.QELInvalidFileFormat):
        qel.enable_dark_subtract(camera_id, str(small))
    with pytest.raises(ValueError, match="embedded null character"):
        qel.enable_dark_subtract(camera_id, str(dark) + "\0.ignored")


def test_gps_records_on_frames(qel, sim, camera):
    sim.set_clock_speed(20)
    camera_id = camera(COLOUR)
    qel.set_roi_format(camera_id, 320, 240, 1, qel.ImgType.IMG_RAW8)
    with pytest.raises(qel.QELGPSDataInvalid):
        qel.gps_get_data(camera_id)  # no frame yet
    qel.start_video_capture(camera_id)
    try:
        frame, gps = qel.get_video_data_gps(camera_id, 320 * 240, 5000)
    finally:
        qel.stop_video_capture(camera_id)
    assert len(frame) == 320 * 240 and type(gps) is qel.GpsData
    assert 2000 < gps.year < 2200 and 1 <= gps.month <= 12 and gps.satellite_num > 0
    start, end = qel.gps_get_data(camera_id)
    assert start is not end
    stamp = lambda g: (g.year, g.month, g.day, g.hour, g.minute, g.second, g.m_second, g.u_second)  # noqa: E731
    assert stamp(start) <= stamp(end)
    assert (start.latitude, start.longitude) == (gps.latitude, gps.longitude)

    mono = camera(MONO)
    with pytest.raises(qel.QELGPSNotSupported):
        qel.gps_get_data(mono)


def test_exposure_with_gps(qel, sim, camera):
    sim.set_clock_speed(100)
    camera_id = camera(COLOUR)
    qel.set_roi_format(camera_id, 320, 240, 1, qel.ImgType.IMG_RGB24)
    expose(qel, camera_id)
    image, gps = qel.get_data_after_exp_gps(camera_id, 320 * 240 * 3)
    assert len(image) == 320 * 240 * 3 and gps.year > 2000


def test_identifier_in_flash(qel, sim, camera):
    camera_id = camera(MONO)
    serial = qel.get_serial_number(camera_id)
    assert serial.id == "SIMM0001"
    ident = qel.Id()
    ident.id = "Guide\0\0\0"
    qel.set_id(camera_id, ident)
    assert qel.get_id(camera_id).id == "Guide"
    assert qel.get_id(i_camera_id=camera_id) is not qel.get_id(camera_id)


def test_controls_refuse_what_the_camera_refuses(qel, sim, camera):
    camera_id = camera(MONO)
    with pytest.raises(qel.QELInvalidControlType):
        qel.get_control_value(camera_id, qel.ControlType.QEL_WB_R)  # a colour control
    with pytest.raises(qel.QELError):
        qel.set_control_value(camera_id, qel.ControlType.QEL_TEMPERATURE, 0, False)  # read-only
    with pytest.raises(qel.QELError):
        qel.set_control_value(camera_id, qel.ControlType.QEL_GAIN, 10_000, False)  # out of range
    with pytest.raises(qel.QELInvalidIndex):
        qel.get_control_caps(camera_id, 99)


def test_region_of_interest(qel, sim, camera):
    camera_id = camera(MONO)
    qel.set_roi_format(camera_id, 640, 480, 2, qel.ImgType.IMG_Y8)
    assert qel.get_roi_format(camera_id) == (640, 480, 2, qel.ImgType.IMG_Y8)
    x, y = qel.get_start_pos(camera_id)
    qel.set_start_pos(camera_id, 0, 0)
    assert qel.get_start_pos(camera_id) == (0, 0)
    with pytest.raises(qel.QELOutOfBoundary):
        qel.set_start_pos(camera_id, 5000, 0)
    with pytest.raises(qel.QELInvalidSize):
        qel.set_roi_format(camera_id, 641, 480, 1, qel.ImgType.IMG_RAW8)
    with pytest.raises(qel.QELInvalidImageType):
        qel.set_roi_format(camera_id, 640, 480, 1, qel.ImgType.IMG_RGB24)  # monochrome camera


def test_gain_presets(qel, sim, camera):
    camera_id = camera(MONO)
    presets = qel.get_gain_offset(camera_id)
    lmh = qel.get_lmh_gain_offset(camera_id)
    assert len(presets) == len(lmh) == 4
    assert all(type(v) is int for v in presets + lmh)


def test_unplugged_camera(qel, sim):
    qel.open_camera(COLOUR)
    sim.unplug_camera(COLOUR)
    assert qel.get_number_of_connected_cameras() == len(TEST_CAMERAS) - 1
    with pytest.raises(qel.QELCameraRemoved):
        qel.get_roi_format(COLOUR)


# ---- the interpreter lock during frame waits


def test_a_frame_wait_on_one_camera_does_not_stall_another(qel, sim, camera):
    """An imaging camera waits for a trigger that does not come, while a guide camera streams."""
    waiting = camera(COLOUR)
    qel.set_camera_mode(waiting, qel.CameraMode.QEL_MODE_TRIG_SOFT_EDGE)
    qel.set_roi_format(waiting, 320, 240, 1, qel.ImgType.IMG_RAW8)
    streaming = camera(MONO)
    qel.set_roi_format(streaming, 320, 240, 1, qel.ImgType.IMG_RAW8)
    qel.set_control_value(streaming, qel.ControlType.QEL_EXPOSURE, 100_000, False)  # ten frames a second
    qel.start_video_capture(waiting)

    blocked_outcome = []

    def wait_forever():
        try:
            # long enough that, were the interpreter lock held, the main thread could not run meanwhile
            qel.get_video_data(waiting, 320 * 240, 10_000)
            blocked_outcome.append("frame")
        except qel.QELError as e:
            blocked_outcome.append(type(e))

    blocker = threading.Thread(target=wait_forever)
    blocker.start()
    try:
        time.sleep(0.1)  # the blocker is inside its SDK wait now
        qel.start_video_capture(streaming)
        fetched = 0
        deadline = time.monotonic() + 1.5
        while time.monotonic() < deadline:
            assert len(qel.get_video_data(streaming, 320 * 240, 2000)) == 320 * 240
            fetched += 1
        assert blocker.is_alive() and not blocked_outcome
        assert fetched >= 8
        assert qel.get_dropped_frames(streaming) == 0
    finally:
        qel.stop_video_capture(streaming)
        qel.stop_video_capture(waiting)  # ends the wait
        blocker.join(5)
    assert not blocker.is_alive()
    assert blocked_outcome and blocked_outcome[0] != "frame"


def test_only_frame_waits_let_other_threads_run(qel, sim, camera):
    """With thread switches left to the threads themselves, another thread runs during a call only if
    the call releases the interpreter lock: frame waits do, an image read does not."""
    import sys

    camera_id = camera(MONO)
    qel.set_roi_format(camera_id, 2048, 1536, 1, qel.ImgType.IMG_RAW16)
    sim.set_clock_speed(1000)
    expose(qel, camera_id)
    sim.set_clock_speed(1)  # the frame wait below lasts its 100 ms in real time, time for the ticker to run
    waiting = camera(COLOUR)
    qel.set_camera_mode(waiting, qel.CameraMode.QEL_MODE_TRIG_SOFT_EDGE)
    qel.start_video_capture(waiting)

    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0)  # hands the lock back at once

    interval = sys.getswitchinterval()
    sys.setswitchinterval(30)
    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        time.sleep(0.01)
        before = len(ticks)
        qel.get_data_after_exp(camera_id, 2048 * 1536 * 2)
        qel.get_roi_format(camera_id)
        during_read = len(ticks) - before
        before = len(ticks)
        with pytest.raises(qel.QELTimeout):
            qel.get_video_data(waiting, 1920 * 1080, 100)
        during_wait = len(ticks) - before
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        thread.join()
        qel.stop_video_capture(waiting)
    assert during_read == 0
    assert during_wait > 0


def test_demo_capture_reports_what_it_took(qel, sim, capsys):
    from brevalo.vra_qel_python_bindings import demo

    demo.capture(0)
    out = capsys.readouterr().out
    assert "1024x768 bin 2 IMG_RAW16: 1572864 bytes in" in out
    assert "mean pixel value" in out
    assert sim.calls("CloseCamera") == 1


EXIT_WHILE_WAITING = """
import threading, time
from brevalo.vra_qel_python_bindings import qel
qel.open_camera(0); qel.init_camera(0)
qel.set_control_value(0, qel.ControlType.QEL_EXPOSURE, 2_000_000_000, False)
qel.start_video_capture(0)
def reader():
    while True:
        try: qel.get_video_data(0, 2048 * 1536, 1)
        except qel.QELTimeout: pass
for _ in range(4): threading.Thread(target=reader, daemon=True).start()
time.sleep(0.02)
"""


def test_interpreter_exits_cleanly_while_daemon_threads_wait_for_frames():
    # At exit the interpreter ends each daemon thread that takes the lock back after a wait; the debug
    # allocator aborts on the first object touched without the lock on that way out.
    from helpers import run_python

    runs = [run_python(EXIT_WHILE_WAITING, env={"PYTHONMALLOC": "debug"}) for _ in range(24)]
    failed = [(r.returncode, r.stderr[-400:]) for r in runs if r.returncode != 0]
    assert not failed, f"{len(failed)} of {len(runs)} runs failed, first: {failed[0]}"
