"""Refusals that depend on arguments and activity: each row calls one entry point in one situation and
expects one result code. Refused calls write no output."""

from __future__ import annotations

import ctypes
from ctypes import byref, c_int

import pytest

from brevalo.vra_qel_python_bindings import sim
from helpers import CAMERAS, TEST_CAMERAS

from . import sdk
from .sdk import COLOUR, MONO, lib

NULL = None
SENTINEL = -12345


def ints(n=4):
    return [c_int(SENTINEL) for _ in range(n)]


def small_roi(cam):
    sdk.ok(lib.QELSetROIFormat(cam, 64, 32, 1, sdk.RAW8))


# ---- situations a row starts from


def init(cam):
    sdk.ready(cam)
    small_roi(cam)


def video(cam):
    init(cam)
    sdk.ok(lib.QELStartVideoCapture(cam))


def exposing(cam):
    init(cam)
    sdk.set_control(cam, sdk.EXPOSURE, 600_000_000)
    sdk.ok(lib.QELStartExposure(cam, 0))


def exposed(cam):
    init(cam)
    sdk.set_control(cam, sdk.EXPOSURE, 32)
    sdk.ok(lib.QELStartExposure(cam, 0))
    while sdk.exposure_status(cam) == sdk.EXP_WORKING:
        pass


def mode(m):
    def setup(cam):
        init(cam)
        sdk.ok(lib.QELSetCameraMode(cam, m))

    setup.trigger_mode = True
    return setup


def buf(n):
    return sdk.as_buf(sdk.buffer(max(n, 1)))


IMAGE = 64 * 32

ROWS = [
    # discovery
    ("QELGetCameraProperty", None, lambda c: lib.QELGetCameraProperty(byref(sdk.CameraInfo()), -1), sdk.INVALID_INDEX),
    ("QELGetCameraProperty", None, lambda c: lib.QELGetCameraProperty(byref(sdk.CameraInfo()), len(TEST_CAMERAS)), sdk.INVALID_INDEX),
    ("QELGetCameraProperty", None, lambda c: lib.QELGetCameraProperty(NULL, 0), sdk.GENERAL),
    ("QELGetCameraPropertyByID", None, lambda c: lib.QELGetCameraPropertyByID(c, NULL), sdk.GENERAL),
    # identity
    ("QELGetID", init, lambda c: lib.QELGetID(c, NULL), sdk.GENERAL),
    ("QELGetSerialNumber", init, lambda c: lib.QELGetSerialNumber(c, NULL), sdk.GENERAL),
    ("QELSetID", video, lambda c: lib.QELSetID(c, sdk.Id()), sdk.VIDEO_MODE_ACTIVE),
    ("QELSetID", exposing, lambda c: lib.QELSetID(c, sdk.Id()), sdk.EXPOSURE_IN_PROGRESS),
    # controls
    ("QELGetNumOfControls", init, lambda c: lib.QELGetNumOfControls(c, NULL), sdk.GENERAL),
    ("QELGetControlCaps", init, lambda c: lib.QELGetControlCaps(c, -1, byref(sdk.ControlCaps())), sdk.INVALID_INDEX),
    ("QELGetControlCaps", init, lambda c: lib.QELGetControlCaps(c, 40, byref(sdk.ControlCaps())), sdk.INVALID_INDEX),
    ("QELGetControlCaps", init, lambda c: lib.QELGetControlCaps(c, 0, NULL), sdk.GENERAL),
    ("QELGetControlValue", init, lambda c: lib.QELGetControlValue(c, 99, *map(byref, ints(2))), sdk.INVALID_CONTROL_TYPE),
    ("QELGetControlValue", init, lambda c: lib.QELGetControlValue(c, -1, *map(byref, ints(2))), sdk.INVALID_CONTROL_TYPE),
    ("QELGetControlValue", init, lambda c: lib.QELGetControlValue(c, sdk.GAMMA, *map(byref, ints(2))), sdk.INVALID_CONTROL_TYPE),
    ("QELGetControlValue", init, lambda c: lib.QELGetControlValue(c, sdk.GAIN, NULL, byref(c_int())), sdk.GENERAL),
    ("QELGetControlValue", init, lambda c: lib.QELGetControlValue(c, sdk.GAIN, byref(c_int()), NULL), sdk.GENERAL),
    ("QELSetControlValue", init, lambda c: lib.QELSetControlValue(c, sdk.GAIN, -1, 0), sdk.GENERAL),
    ("QELSetControlValue", init, lambda c: lib.QELSetControlValue(c, sdk.GAIN, 100000, 0), sdk.GENERAL),
    ("QELSetControlValue", init, lambda c: lib.QELSetControlValue(c, sdk.EXPOSURE, 31, 0), sdk.GENERAL),
    ("QELSetControlValue", init, lambda c: lib.QELSetControlValue(c, sdk.TEMPERATURE, 100, 0), sdk.GENERAL),
    ("QELSetControlValue", init, lambda c: lib.QELSetControlValue(c, sdk.OFFSET, 1, 1), sdk.GENERAL),
    ("QELSetControlValue", init, lambda c: lib.QELSetControlValue(c, 29, 0, 0), sdk.INVALID_CONTROL_TYPE),
    ("QELSetControlValue", init, lambda c: lib.QELSetControlValue(c, sdk.FAN_ON, 1, 0), sdk.INVALID_CONTROL_TYPE),
    # region of interest
    ("QELSetROIFormat", init, lambda c: lib.QELSetROIFormat(c, 64, 32, 1, 4), sdk.INVALID_IMAGE_TYPE),
    ("QELSetROIFormat", init, lambda c: lib.QELSetROIFormat(c, 64, 32, 1, -1), sdk.INVALID_IMAGE_TYPE),
    ("QELSetROIFormat", init, lambda c: lib.QELSetROIFormat(c, 64, 32, 0, sdk.RAW8), sdk.INVALID_SIZE),
    ("QELSetROIFormat", init, lambda c: lib.QELSetROIFormat(c, 64, 32, 5, sdk.RAW8), sdk.INVALID_SIZE),
    ("QELSetROIFormat", init, lambda c: lib.QELSetROIFormat(c, 60, 32, 1, sdk.RAW8), sdk.INVALID_SIZE),
    ("QELSetROIFormat", init, lambda c: lib.QELSetROIFormat(c, 64, 31, 1, sdk.RAW8), sdk.INVALID_SIZE),
    ("QELSetROIFormat", init, lambda c: lib.QELSetROIFormat(c, 0, 32, 1, sdk.RAW8), sdk.INVALID_SIZE),
    ("QELSetROIFormat", init, lambda c: lib.QELSetROIFormat(c, -64, 32, 1, sdk.RAW8), sdk.INVALID_SIZE),
    ("QELSetROIFormat", init, lambda c: lib.QELSetROIFormat(c, 2**31 - 8, 2, 2, sdk.RAW8), sdk.INVALID_SIZE),
    ("QELSetROIFormat", video, lambda c: lib.QELSetROIFormat(c, 64, 32, 1, sdk.RAW8), sdk.VIDEO_MODE_ACTIVE),
    ("QELSetROIFormat", exposing, lambda c: lib.QELSetROIFormat(c, 64, 32, 1, sdk.RAW8), sdk.EXPOSURE_IN_PROGRESS),
    ("QELGetROIFormat", init, lambda c: lib.QELGetROIFormat(c, NULL, *map(byref, ints(3))), sdk.GENERAL),
    ("QELGetROIFormat", init, lambda c: lib.QELGetROIFormat(c, *map(byref, ints(3)), NULL), sdk.GENERAL),
    ("QELSetStartPos", init, lambda c: lib.QELSetStartPos(c, -2, 0), sdk.OUT_OF_BOUNDARY),
    ("QELSetStartPos", init, lambda c: lib.QELSetStartPos(c, 0, -2), sdk.OUT_OF_BOUNDARY),
    ("QELSetStartPos", exposing, lambda c: lib.QELSetStartPos(c, 0, 0), sdk.EXPOSURE_IN_PROGRESS),
    ("QELGetStartPos", init, lambda c: lib.QELGetStartPos(c, NULL, byref(c_int())), sdk.GENERAL),
    # modes and triggers
    ("QELGetCameraSupportMode", init, lambda c: lib.QELGetCameraSupportMode(c, NULL), sdk.GENERAL),
    ("QELGetCameraMode", init, lambda c: lib.QELGetCameraMode(c, NULL), sdk.GENERAL),
    ("QELSetCameraMode", init, lambda c: lib.QELSetCameraMode(c, 7), sdk.INVALID_MODE),
    ("QELSetCameraMode", init, lambda c: lib.QELSetCameraMode(c, -1), sdk.INVALID_MODE),
    ("QELSetCameraMode", video, lambda c: lib.QELSetCameraMode(c, sdk.MODE_NORMAL), sdk.VIDEO_MODE_ACTIVE),
    ("QELSetCameraMode", exposing, lambda c: lib.QELSetCameraMode(c, sdk.MODE_NORMAL), sdk.EXPOSURE_IN_PROGRESS),
    ("QELSendSoftTrigger", mode(sdk.MODE_RISE_EDGE), lambda c: lib.QELSendSoftTrigger(c, 1), sdk.INVALID_MODE),
    ("QELSendSoftTrigger", mode(sdk.MODE_SOFT_EDGE), lambda c: lib.QELSendSoftTrigger(c, 1), sdk.INVALID_SEQUENCE),
    ("QELSetTriggerOutputIOConf", init, lambda c: lib.QELSetTriggerOutputIOConf(c, 2, 1, 0, 0), sdk.GENERAL),
    ("QELSetTriggerOutputIOConf", init, lambda c: lib.QELSetTriggerOutputIOConf(c, -1, 1, 0, 0), sdk.GENERAL),
    ("QELSetTriggerOutputIOConf", init, lambda c: lib.QELSetTriggerOutputIOConf(c, 0, 1, -1, 0), sdk.GENERAL),
    ("QELSetTriggerOutputIOConf", init, lambda c: lib.QELSetTriggerOutputIOConf(c, 0, 1, 0, -1), sdk.GENERAL),
    ("QELGetTriggerOutputIOConf", init, lambda c: lib.QELGetTriggerOutputIOConf(c, 2, *map(byref, ints(3))), sdk.GENERAL),
    ("QELGetTriggerOutputIOConf", init, lambda c: lib.QELGetTriggerOutputIOConf(c, 0, NULL, *map(byref, ints(2))), sdk.GENERAL),
    # single exposures
    ("QELStartExposure", video, lambda c: lib.QELStartExposure(c, 0), sdk.VIDEO_MODE_ACTIVE),
    ("QELStartExposure", exposing, lambda c: lib.QELStartExposure(c, 0), sdk.EXPOSURE_IN_PROGRESS),
    ("QELStartExposure", mode(sdk.MODE_SOFT_EDGE), lambda c: lib.QELStartExposure(c, 0), sdk.INVALID_MODE),
    ("QELGetExpStatus", init, lambda c: lib.QELGetExpStatus(c, NULL), sdk.GENERAL),
    ("QELGetDataAfterExp", exposed, lambda c: lib.QELGetDataAfterExp(c, NULL, IMAGE), sdk.GENERAL),
    ("QELGetDataAfterExp", exposed, lambda c: lib.QELGetDataAfterExp(c, buf(IMAGE), IMAGE - 1), sdk.BUFFER_TOO_SMALL),
    ("QELGetDataAfterExp", exposed, lambda c: lib.QELGetDataAfterExp(c, buf(IMAGE), -IMAGE), sdk.BUFFER_TOO_SMALL),
    ("QELGetDataAfterExp", exposing, lambda c: lib.QELGetDataAfterExp(c, buf(IMAGE), IMAGE), sdk.EXPOSURE_IN_PROGRESS),
    ("QELGetDataAfterExp", video, lambda c: lib.QELGetDataAfterExp(c, buf(IMAGE), IMAGE), sdk.VIDEO_MODE_ACTIVE),
    ("QELGetDataAfterExpGPS", exposed, lambda c: lib.QELGetDataAfterExpGPS(c, buf(IMAGE), IMAGE, NULL), sdk.GENERAL),
    ("QELGetDataAfterExpGPS", exposed, lambda c: lib.QELGetDataAfterExpGPS(c, NULL, IMAGE, byref(sdk.GpsData())), sdk.GENERAL),
    ("QELGetDataAfterExpGPS", exposed, lambda c: lib.QELGetDataAfterExpGPS(c, buf(IMAGE), 3, byref(sdk.GpsData())), sdk.BUFFER_TOO_SMALL),
    ("QELGetDataAfterExpGPS", exposing, lambda c: lib.QELGetDataAfterExpGPS(c, buf(IMAGE), IMAGE, byref(sdk.GpsData())), sdk.EXPOSURE_IN_PROGRESS),
    ("QELGetDataAfterExpGPS", video, lambda c: lib.QELGetDataAfterExpGPS(c, buf(IMAGE), IMAGE, byref(sdk.GpsData())), sdk.VIDEO_MODE_ACTIVE),
    # video
    ("QELStartVideoCapture", exposing, lambda c: lib.QELStartVideoCapture(c), sdk.EXPOSURE_IN_PROGRESS),
    ("QELGetVideoData", video, lambda c: lib.QELGetVideoData(c, NULL, IMAGE, 0), sdk.GENERAL),
    ("QELGetVideoData", video, lambda c: lib.QELGetVideoData(c, buf(IMAGE), IMAGE - 1, 0), sdk.BUFFER_TOO_SMALL),
    ("QELGetVideoData", video, lambda c: lib.QELGetVideoData(c, buf(IMAGE), -1, 0), sdk.BUFFER_TOO_SMALL),
    ("QELGetVideoData", video, lambda c: lib.QELGetVideoData(c, buf(IMAGE), IMAGE, -2), sdk.GENERAL),
    ("QELGetVideoDataGPS", video, lambda c: lib.QELGetVideoDataGPS(c, buf(IMAGE), IMAGE, 0, NULL), sdk.GENERAL),
    ("QELGetVideoDataGPS", video, lambda c: lib.QELGetVideoDataGPS(c, buf(IMAGE), 0, 0, byref(sdk.GpsData())), sdk.BUFFER_TOO_SMALL),
    ("QELGetDroppedFrames", init, lambda c: lib.QELGetDroppedFrames(c, NULL), sdk.GENERAL),
    # guiding, dark frames, presets, GPS
    ("QELPulseGuideOn", init, lambda c: lib.QELPulseGuideOn(c, 4), sdk.GENERAL),
    ("QELPulseGuideOn", init, lambda c: lib.QELPulseGuideOn(c, -1), sdk.GENERAL),
    ("QELPulseGuideOff", init, lambda c: lib.QELPulseGuideOff(c, 4), sdk.GENERAL),
    ("QELEnableDarkSubtract", init, lambda c: lib.QELEnableDarkSubtract(c, NULL), sdk.INVALID_PATH),
    ("QELEnableDarkSubtract", init, lambda c: lib.QELEnableDarkSubtract(c, b""), sdk.INVALID_PATH),
    ("QELEnableDarkSubtract", init, lambda c: lib.QELEnableDarkSubtract(c, b"/"), sdk.INVALID_PATH),
    ("QELEnableDarkSubtract", init, lambda c: lib.QELEnableDarkSubtract(c, b"/dev/null"), sdk.INVALID_PATH),
    ("QELGetGainOffset", init, lambda c: lib.QELGetGainOffset(c, NULL, *map(byref, ints(3))), sdk.GENERAL),
    ("QELGetGainOffset", init, lambda c: lib.QELGetGainOffset(c, *map(byref, ints(3)), NULL), sdk.GENERAL),
    ("QELGetLMHGainOffset", init, lambda c: lib.QELGetLMHGainOffset(c, NULL, *map(byref, ints(3))), sdk.GENERAL),
    ("QELGetLMHGainOffset", init, lambda c: lib.QELGetLMHGainOffset(c, *map(byref, ints(3)), NULL), sdk.GENERAL),
    ("QELGPSGetData", init, lambda c: lib.QELGPSGetData(c, NULL, byref(sdk.GpsData())), sdk.GENERAL),
]

# What one model lacks: rows that hold for one camera only.
MODEL_ROWS = [
    ("QELGetControlValue", MONO, init, lambda c: lib.QELGetControlValue(c, sdk.WB_R, *map(byref, ints(2))), sdk.INVALID_CONTROL_TYPE),
    ("QELGetControlValue", MONO, init, lambda c: lib.QELGetControlValue(c, sdk.GPS_START_LINE, *map(byref, ints(2))), sdk.INVALID_CONTROL_TYPE),
    ("QELGetControlValue", COLOUR, init, lambda c: lib.QELGetControlValue(c, sdk.COOLER_ON, *map(byref, ints(2))), sdk.INVALID_CONTROL_TYPE),
    ("QELSetControlValue", COLOUR, init, lambda c: lib.QELSetControlValue(c, sdk.TARGET_TEMP, 0, 0), sdk.INVALID_CONTROL_TYPE),
    ("QELSetControlValue", MONO, init, lambda c: lib.QELSetControlValue(c, sdk.COOLER_POWER_PERC, 50, 0), sdk.GENERAL),
    ("QELSetControlValue", COLOUR, init, lambda c: lib.QELSetControlValue(c, sdk.GPS_SUPPORT, 0, 0), sdk.GENERAL),
    ("QELSetControlValue", COLOUR, init, lambda c: lib.QELSetControlValue(c, sdk.GPS_START_LINE, 32, 0), sdk.GPS_PARAM_OUT_OF_RANGE),
    ("QELSetControlValue", COLOUR, init, lambda c: lib.QELSetControlValue(c, sdk.GPS_END_LINE, -1, 0), sdk.GPS_PARAM_OUT_OF_RANGE),
    ("QELSetROIFormat", MONO, init, lambda c: lib.QELSetROIFormat(c, 64, 32, 1, sdk.RGB24), sdk.INVALID_IMAGE_TYPE),
    ("QELSetROIFormat", COLOUR, init, lambda c: lib.QELSetROIFormat(c, 64, 32, 3, sdk.RAW8), sdk.INVALID_SIZE),
    ("QELSetROIFormat", COLOUR, init, lambda c: lib.QELSetROIFormat(c, 968, 32, 2, sdk.RAW8), sdk.INVALID_SIZE),
    ("QELSetROIFormat", COLOUR, init, lambda c: lib.QELSetROIFormat(c, 64, 542, 2, sdk.RAW8), sdk.INVALID_SIZE),
    ("QELSetStartPos", COLOUR, init, lambda c: lib.QELSetStartPos(c, 1920 - 63, 0), sdk.OUT_OF_BOUNDARY),
    ("QELSetStartPos", COLOUR, init, lambda c: lib.QELSetStartPos(c, 0, 1080 - 31), sdk.OUT_OF_BOUNDARY),
    ("QELSetCameraMode", MONO, init, lambda c: lib.QELSetCameraMode(c, sdk.MODE_SOFT_EDGE), sdk.INVALID_MODE),
    ("QELSendSoftTrigger", COLOUR, init, lambda c: lib.QELSendSoftTrigger(c, 1), sdk.INVALID_MODE),
    ("QELSetTriggerOutputIOConf", MONO, init, lambda c: lib.QELSetTriggerOutputIOConf(c, 0, 1, 0, 0), sdk.INVALID_MODE),
    ("QELGetTriggerOutputIOConf", MONO, init, lambda c: lib.QELGetTriggerOutputIOConf(c, 0, *map(byref, ints(3))), sdk.INVALID_MODE),
    ("QELGetDataAfterExpGPS", MONO, exposed, lambda c: lib.QELGetDataAfterExpGPS(c, buf(IMAGE), IMAGE, byref(sdk.GpsData())), sdk.GPS_NOT_SUPPORTED),
    ("QELGetVideoDataGPS", MONO, video, lambda c: lib.QELGetVideoDataGPS(c, buf(IMAGE), IMAGE, 0, byref(sdk.GpsData())), sdk.GPS_NOT_SUPPORTED),
    ("QELGPSGetData", MONO, init, lambda c: lib.QELGPSGetData(c, byref(sdk.GpsData()), byref(sdk.GpsData())), sdk.GPS_NOT_SUPPORTED),
    ("QELPulseGuideOn", COLOUR, init, lambda c: lib.QELPulseGuideOn(c, sdk.NORTH), sdk.GENERAL),
    ("QELGetVideoData", COLOUR, mode(sdk.MODE_SOFT_EDGE), lambda c: (lib.QELStartVideoCapture(c), lib.QELGetVideoData(c, buf(IMAGE), IMAGE, 0))[1], sdk.TIMEOUT),
    ("QELGetVideoDataGPS", COLOUR, mode(sdk.MODE_RISE_EDGE), lambda c: (lib.QELStartVideoCapture(c), lib.QELGetVideoDataGPS(c, buf(IMAGE), IMAGE, 20, byref(sdk.GpsData())))[1], sdk.TIMEOUT),
]

# Rows about triggers and GPS hold for the colour camera, rows about guiding for the monochrome one.
COLOUR_ONLY = {"QELGetDataAfterExpGPS", "QELGetVideoDataGPS", "QELGPSGetData", "QELSetTriggerOutputIOConf",
               "QELGetTriggerOutputIOConf", "QELSendSoftTrigger"}
MONO_ONLY = {"QELPulseGuideOn", "QELPulseGuideOff"}


def _cameras(name, setup):
    if name in COLOUR_ONLY or getattr(setup, "trigger_mode", False):
        return [COLOUR]
    return [MONO] if name in MONO_ONLY else [MONO, COLOUR]


ALL = [(name, cam, setup, call, code) for name, setup, call, code in ROWS for cam in _cameras(name, setup)]
ALL += MODEL_ROWS


def _id(row):
    name, cam, _, _, code = row
    return f"{name}-{'mono' if cam == MONO else 'colour'}-{code}"


@pytest.mark.parametrize("row", ALL, ids=[f"{_id(r)}-{i}" for i, r in enumerate(ALL)])
def test_refusal(fast, row):
    name, cam, setup, call, code = row
    if setup:
        setup(cam)
    assert call(cam) == code
    assert fast.journal(name).last_result == code


def test_every_refusal_row_targets_an_entry_point(simulator):
    names = set(simulator.entry_points())
    assert {row[0] for row in ALL} <= names


# ---- the order of refusals: removed, closed, not initialised, what the model lacks, null outputs, what
# runs (video, no capture, an exposure), then the values


def opened(cam):
    sdk.ok(lib.QELOpenCamera(cam))


def unplugged(cam):
    init(cam)
    sim.unplug_camera(cam)


def refs(n):
    return [byref(v) for v in ints(n)]


roi = lambda c: lib.QELGetROIFormat(c, *refs(4))  # noqa: E731
gps = lambda c: lib.QELGPSGetData(c, byref(sdk.GpsData()), byref(sdk.GpsData()))  # noqa: E731
guide = lambda c: lib.QELPulseGuideOn(c, sdk.NORTH)  # noqa: E731

# Each row makes a call with two refusals, where the earlier answers, and again with the later alone.
# (camera, situation, call, code of the earlier; situation, call, code of the later)
ORDER = [
    (MONO, unplugged, roi, sdk.CAMERA_REMOVED, None, roi, sdk.CAMERA_CLOSED),
    (MONO, None, lambda c: lib.QELGetID(c, NULL), sdk.CAMERA_CLOSED, opened, lambda c: lib.QELGetID(c, NULL), sdk.GENERAL),
    (COLOUR, None, guide, sdk.CAMERA_CLOSED, opened, guide, sdk.GENERAL),
    (MONO, opened, gps, sdk.INVALID_SEQUENCE, init, gps, sdk.GPS_NOT_SUPPORTED),
    (MONO, opened, lambda c: lib.QELGetStartPos(c, NULL, NULL), sdk.INVALID_SEQUENCE,
     init, lambda c: lib.QELGetStartPos(c, NULL, NULL), sdk.GENERAL),
    (MONO, init, lambda c: lib.QELGetControlValue(c, sdk.WB_R, NULL, NULL), sdk.INVALID_CONTROL_TYPE,
     init, lambda c: lib.QELGetControlValue(c, sdk.GAIN, NULL, NULL), sdk.GENERAL),
    (MONO, video, lambda c: lib.QELGetVideoDataGPS(c, buf(IMAGE), IMAGE, 0, NULL), sdk.GPS_NOT_SUPPORTED,
     video, lambda c: lib.QELGetVideoData(c, NULL, IMAGE, 0), sdk.GENERAL),
    (MONO, init, lambda c: lib.QELGetControlCaps(c, 99, NULL), sdk.GENERAL,
     init, lambda c: lib.QELGetControlCaps(c, 99, byref(sdk.ControlCaps())), sdk.INVALID_INDEX),
    (MONO, video, lambda c: lib.QELGetDataAfterExp(c, NULL, IMAGE), sdk.GENERAL,
     video, lambda c: lib.QELGetDataAfterExp(c, buf(IMAGE), IMAGE), sdk.VIDEO_MODE_ACTIVE),
    (MONO, init, lambda c: lib.QELGetVideoData(c, NULL, IMAGE, 0), sdk.GENERAL,
     init, lambda c: lib.QELGetVideoData(c, buf(IMAGE), IMAGE, 0), sdk.INVALID_SEQUENCE),
    (MONO, exposing, lambda c: lib.QELGetDataAfterExp(c, NULL, IMAGE), sdk.GENERAL,
     exposing, lambda c: lib.QELGetDataAfterExp(c, buf(IMAGE), IMAGE), sdk.EXPOSURE_IN_PROGRESS),
    (MONO, video, lambda c: lib.QELSetROIFormat(c, 60, 32, 1, sdk.RAW8), sdk.VIDEO_MODE_ACTIVE,
     init, lambda c: lib.QELSetROIFormat(c, 60, 32, 1, sdk.RAW8), sdk.INVALID_SIZE),
    (MONO, init, lambda c: lib.QELGetVideoData(c, buf(IMAGE), IMAGE, -5), sdk.INVALID_SEQUENCE,
     video, lambda c: lib.QELGetVideoData(c, buf(IMAGE), IMAGE, -5), sdk.GENERAL),
    (MONO, exposing, lambda c: lib.QELSetStartPos(c, -2, 0), sdk.EXPOSURE_IN_PROGRESS,
     init, lambda c: lib.QELSetStartPos(c, -2, 0), sdk.OUT_OF_BOUNDARY),
]


@pytest.mark.parametrize("row", ORDER, ids=[f"{r[3]}-before-{r[6]}-{i}" for i, r in enumerate(ORDER)])
def test_the_earlier_of_two_refusals_answers(fast, row):
    cam, setup, call, first, later_setup, later_call, later = row
    for situation, make_call, code in [(setup, call, first), (later_setup, later_call, later)]:
        fast.configure(CAMERAS)
        fast.set_clock_speed(100)
        if situation:
            situation(cam)
        assert make_call(cam) == code


# ---- refused calls write nothing


@pytest.mark.parametrize("null_at", range(4))
@pytest.mark.parametrize("entry", ["QELGetROIFormat", "QELGetGainOffset", "QELGetLMHGainOffset"])
def test_a_null_output_leaves_the_others_untouched(simulator, entry, null_at):
    sdk.ready(MONO)
    outs = ints(4)
    args = [NULL if i == null_at else byref(v) for i, v in enumerate(outs)]
    assert getattr(lib, entry)(MONO, *args) == sdk.GENERAL
    assert [v.value for v in outs] == [SENTINEL] * 4


@pytest.mark.parametrize("control", [99, sdk.WB_R])
def test_refused_control_read_writes_nothing(simulator, control):
    sdk.ready(MONO)
    value, auto = ints(2)
    assert lib.QELGetControlValue(MONO, control, byref(value), byref(auto)) == sdk.INVALID_CONTROL_TYPE
    assert (value.value, auto.value) == (SENTINEL, SENTINEL)


def test_refused_image_read_leaves_the_buffer_alone(fast):
    exposed(MONO)
    b = sdk.buffer(IMAGE)
    ctypes.memset(b, 0xA5, IMAGE)
    assert lib.QELGetDataAfterExp(MONO, sdk.as_buf(b), IMAGE - 1) == sdk.BUFFER_TOO_SMALL
    assert bytes(b) == b"\xa5" * IMAGE
    # The refusal consumed nothing: the image is still there to read.
    sdk.ok(lib.QELGetDataAfterExp(MONO, sdk.as_buf(b), IMAGE))
    assert bytes(b) != b"\xa5" * IMAGE


def test_a_larger_buffer_is_written_only_up_to_the_image(fast):
    exposed(MONO)
    b = sdk.buffer(IMAGE + 100)
    ctypes.memset(b, 0xA5, IMAGE + 100)
    sdk.ok(lib.QELGetDataAfterExp(MONO, sdk.as_buf(b), IMAGE + 100))
    assert bytes(b)[IMAGE:] == b"\xa5" * 100


def test_refused_settings_change_nothing(simulator):
    sdk.ready(COLOUR)
    sdk.ok(lib.QELSetROIFormat(COLOUR, 640, 480, 2, sdk.RGB24))
    before = (sdk.roi(COLOUR), sdk.start_pos(COLOUR))
    for args in [(640, 480, 3, sdk.RGB24), (641, 480, 1, sdk.RAW8), (640, 480, 1, 9)]:
        assert lib.QELSetROIFormat(COLOUR, *args) != sdk.SUCCESS
    assert lib.QELSetStartPos(COLOUR, 400, 0) == sdk.OUT_OF_BOUNDARY
    assert lib.QELSetControlValue(COLOUR, sdk.GAIN, 501, 0) == sdk.GENERAL
    assert (sdk.roi(COLOUR), sdk.start_pos(COLOUR)) == before
    assert sdk.get_control(COLOUR, sdk.GAIN) == (200, False)
