"""GPS records: every frame of a GPS camera carries start and end records; the receiver's states."""

from __future__ import annotations

import calendar
from ctypes import byref

import pytest

from . import sdk
from .sdk import lib

UTC = "2024-02-28T23:59:58.5"
UTC_US = calendar.timegm((2024, 2, 28, 23, 59, 58)) * 1_000_000 + 500_000
CONFIG = f"utc = {UTC}\n[camera]\nmodel = C2\nlatitude = -24.6272\nlongitude = -70.4042\naltitude = 2635\nsatellites = 7\n"


@pytest.fixture
def gps(simulator):
    simulator.configure("clock = stepped\n" + CONFIG)  # frames and stamps at their times, however loaded the host
    sdk.ready(0)
    sdk.ok(lib.QELSetROIFormat(0, 64, 40, 1, sdk.RAW8))
    sdk.set_control(0, sdk.EXPOSURE, 1_000_000)
    return simulator


def records():
    a, b = sdk.GpsData(), sdk.GpsData()
    sdk.ok(lib.QELGPSGetData(0, byref(a), byref(b)))
    return a, b


def test_records_carry_utc_to_the_microsecond_and_the_position(gps):
    before = gps.now_us()
    _, record = sdk.expose(0, gps=True)
    after = gps.now_us()
    start, end = records()
    assert sdk.gps_utc_us(start) == sdk.gps_utc_us(record)
    assert UTC_US + before <= sdk.gps_utc_us(start) <= UTC_US + after
    assert sdk.gps_utc_us(end) - sdk.gps_utc_us(start) == 1_000_000
    for r in (start, end):
        assert (r.latitude, r.longitude, r.altitude, r.satellite_num) == (-24.6272, -70.4042, 2635, 7)
        assert 0 <= r.m_second < 1000 and 0 <= r.u_second < 1000


def test_dates_roll_over_midnight_into_a_leap_day(gps):
    sdk.set_control(0, sdk.EXPOSURE, 2_000_000)  # from 23:59:58.5 past midnight
    sdk.expose(0)
    _, end = records()
    assert (end.year, end.month, end.day, end.hour, end.minute) == (2024, 2, 29, 0, 0)


@pytest.mark.parametrize("start_line, end_line", [(0, 0), (10, 39), (39, 5)])
def test_start_and_end_lines_follow_the_rolling_shutter(gps, start_line, end_line):
    sdk.set_control(0, sdk.GPS_START_LINE, start_line)
    sdk.set_control(0, sdk.GPS_END_LINE, end_line)
    readout, _ = gps.timing(0)
    line = readout / 40
    sdk.expose(0)
    start, end = records()
    expected = 1_000_000 + (end_line - start_line) * line
    assert sdk.gps_utc_us(end) - sdk.gps_utc_us(start) == pytest.approx(expected, abs=2)


def test_video_frames_carry_their_own_records(gps):
    sdk.ok(lib.QELStartVideoCapture(0))
    stamps = [sdk.gps_utc_us(sdk.video_frame(0, gps=True)[1]) for _ in range(3)]
    last_start, last_end = records()
    sdk.ok(lib.QELStopVideoCapture(0))
    assert [b - a for a, b in zip(stamps, stamps[1:])] == [1_000_000, 1_000_000]
    assert sdk.gps_utc_us(last_start) >= stamps[-1]
    assert sdk.gps_utc_us(last_end) - sdk.gps_utc_us(last_start) == 1_000_000


def test_no_record_before_the_first_frame(gps):
    a, b = sdk.GpsData(), sdk.GpsData()
    assert lib.QELGPSGetData(0, byref(a), byref(b)) == sdk.GPS_DATA_INVALID
    sdk.ok(lib.QELStartExposure(0, 0))
    assert lib.QELGPSGetData(0, byref(a), byref(b)) == sdk.GPS_DATA_INVALID  # still exposing


@pytest.mark.parametrize(
    "status, code",
    [("old_firmware", sdk.GPS_VERSION), ("fpga_error", sdk.GPS_FPGA), ("no_fix", sdk.GPS_DATA_INVALID)],
)
def test_receiver_problems_refuse_every_gps_read(simulator, status, code):
    simulator.configure(CONFIG + f"gps_status = {status}\n")
    simulator.set_clock_speed(1000)
    sdk.ready(0)
    sdk.ok(lib.QELSetROIFormat(0, 64, 40, 1, sdk.RAW8))
    sdk.set_control(0, sdk.EXPOSURE, 1000)
    buf, g = sdk.buffer(2560), sdk.GpsData()
    sdk.ok(lib.QELStartExposure(0, 0))
    while sdk.exposure_status(0) == sdk.EXP_WORKING:
        pass
    assert lib.QELGetDataAfterExpGPS(0, sdk.as_buf(buf), 2560, byref(g)) == code
    sdk.ok(lib.QELGetDataAfterExp(0, sdk.as_buf(buf), 2560))  # the frame itself is still there
    assert lib.QELGPSGetData(0, byref(g), byref(sdk.GpsData())) == code
    sdk.ok(lib.QELStartVideoCapture(0))
    assert lib.QELGetVideoDataGPS(0, sdk.as_buf(buf), 2560, -1, byref(g)) == code
    sdk.video_frame(0)


def test_no_satellites_means_no_data(simulator):
    simulator.configure(CONFIG.replace("satellites = 7", "satellites = 0"))
    sdk.ready(0)
    assert lib.QELGPSGetData(0, byref(sdk.GpsData()), byref(sdk.GpsData())) == sdk.GPS_DATA_INVALID
