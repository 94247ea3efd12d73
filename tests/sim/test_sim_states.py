"""The per-camera state machine: which calls each state allows, and the code of every refusal.

Every camera entry point is called with valid arguments on an unknown id, a closed camera, an open but
not initialised camera, an initialised camera and a removed camera.
"""

from __future__ import annotations

import ctypes
from ctypes import byref, c_int

import pytest

from helpers import UNKNOWN_ID

from . import sdk
from .sdk import lib

OPEN, INIT = "open", "init"


def _calls():
    i = [c_int() for _ in range(4)]
    info, ident, caps, modes = sdk.CameraInfo(), sdk.Id(), sdk.ControlCaps(), sdk.SupportedMode()
    gps_a, gps_b = sdk.GpsData(), sdk.GpsData()
    buf = sdk.buffer(16)
    p = sdk.as_buf(buf)
    r = [byref(x) for x in i]
    # name: (what the camera must be in for the call to go through, the call)
    return {
        "QELGetCameraPropertyByID": (None, lambda c: lib.QELGetCameraPropertyByID(c, byref(info))),
        "QELOpenCamera": (None, lambda c: lib.QELOpenCamera(c)),
        "QELInitCamera": (OPEN, lambda c: lib.QELInitCamera(c)),
        "QELCloseCamera": (None, lambda c: lib.QELCloseCamera(c)),
        "QELGetID": (OPEN, lambda c: lib.QELGetID(c, byref(ident))),
        "QELSetID": (OPEN, lambda c: lib.QELSetID(c, sdk.Id((ctypes.c_ubyte * 8)(*b"state\0\0\0")))),
        "QELGetSerialNumber": (OPEN, lambda c: lib.QELGetSerialNumber(c, byref(ident))),
        "QELGetNumOfControls": (OPEN, lambda c: lib.QELGetNumOfControls(c, r[0])),
        "QELGetControlCaps": (OPEN, lambda c: lib.QELGetControlCaps(c, 0, byref(caps))),
        "QELGetControlValue": (INIT, lambda c: lib.QELGetControlValue(c, sdk.GAIN, r[0], r[1])),
        "QELSetControlValue": (INIT, lambda c: lib.QELSetControlValue(c, sdk.GAIN, 50, 0)),
        "QELSetROIFormat": (INIT, lambda c: lib.QELSetROIFormat(c, 64, 32, 1, sdk.RAW8)),
        "QELGetROIFormat": (INIT, lambda c: lib.QELGetROIFormat(c, *r)),
        "QELSetStartPos": (INIT, lambda c: lib.QELSetStartPos(c, 0, 0)),
        "QELGetStartPos": (INIT, lambda c: lib.QELGetStartPos(c, r[0], r[1])),
        "QELGetCameraSupportMode": (OPEN, lambda c: lib.QELGetCameraSupportMode(c, byref(modes))),
        "QELGetCameraMode": (INIT, lambda c: lib.QELGetCameraMode(c, r[0])),
        "QELSetCameraMode": (INIT, lambda c: lib.QELSetCameraMode(c, sdk.MODE_NORMAL)),
        "QELStopExposure": (INIT, lambda c: lib.QELStopExposure(c)),
        "QELGetExpStatus": (INIT, lambda c: lib.QELGetExpStatus(c, r[0])),
        "QELStopVideoCapture": (INIT, lambda c: lib.QELStopVideoCapture(c)),
        "QELGetDroppedFrames": (INIT, lambda c: lib.QELGetDroppedFrames(c, r[0])),
        "QELPulseGuideOn": (OPEN, lambda c: lib.QELPulseGuideOn(c, sdk.NORTH)),
        "QELPulseGuideOff": (OPEN, lambda c: lib.QELPulseGuideOff(c, sdk.NORTH)),
        "QELDisableDarkSubtract": (INIT, lambda c: lib.QELDisableDarkSubtract(c)),
        "QELGetGainOffset": (OPEN, lambda c: lib.QELGetGainOffset(c, *r)),
        "QELGetLMHGainOffset": (OPEN, lambda c: lib.QELGetLMHGainOffset(c, *r)),
        # Calls whose success needs more than the state: on an initialised camera they reach the
        # sequence check (no exposure done, no capture running) rather than a state refusal.
        "QELGetDataAfterExp": (INIT, lambda c: lib.QELGetDataAfterExp(c, p, 16)),
        "QELGetVideoData": (INIT, lambda c: lib.QELGetVideoData(c, p, 16, 0)),
        "QELSendSoftTrigger": (INIT, lambda c: lib.QELSendSoftTrigger(c, 1)),
        "QELStartExposure": (INIT, lambda c: lib.QELStartExposure(c, 0)),
        "QELStartVideoCapture": (INIT, lambda c: lib.QELStartVideoCapture(c)),
        "QELEnableDarkSubtract": (INIT, lambda c: lib.QELEnableDarkSubtract(c, b"/nonexistent/dark.bmp")),
        "QELSetTriggerOutputIOConf": (INIT, lambda c: lib.QELSetTriggerOutputIOConf(c, sdk.PIN_A, 1, 10, 20)),
        "QELGetTriggerOutputIOConf": (INIT, lambda c: lib.QELGetTriggerOutputIOConf(c, sdk.PIN_A, *r[:3])),
        "QELGetDataAfterExpGPS": (INIT, lambda c: lib.QELGetDataAfterExpGPS(c, p, 16, byref(gps_a))),
        "QELGetVideoDataGPS": (INIT, lambda c: lib.QELGetVideoDataGPS(c, p, 16, 0, byref(gps_a))),
        "QELGPSGetData": (INIT, lambda c: lib.QELGPSGetData(c, byref(gps_a), byref(gps_b))),
    }


CALLS = _calls()
CAMERA_ENTRY_POINTS = sorted(CALLS)

# What an initialised camera answers when the state is right but the call still cannot succeed.
ON_INITIALISED = {
    "QELGetDataAfterExp": sdk.INVALID_SEQUENCE,  # no exposure taken
    "QELGetVideoData": sdk.INVALID_SEQUENCE,  # no capture running
    "QELSendSoftTrigger": sdk.INVALID_MODE,  # normal mode
    "QELEnableDarkSubtract": sdk.INVALID_PATH,
    "QELGetDataAfterExpGPS": sdk.INVALID_SEQUENCE,
    "QELGetVideoDataGPS": sdk.INVALID_SEQUENCE,
    "QELGPSGetData": sdk.GPS_DATA_INVALID,  # no frame yet
    "QELPulseGuideOn": sdk.GENERAL,  # the colour camera has no ST4 port
    "QELPulseGuideOff": sdk.GENERAL,
}


def test_every_camera_entry_point_is_in_the_table(simulator):
    discovery = {"QELGetNumOfConnectedCameras", "QELCameraCheck", "QELGetSDKVersion", "QELGetCameraProperty"}
    assert set(CAMERA_ENTRY_POINTS) | discovery == set(simulator.entry_points())


@pytest.mark.parametrize("name", CAMERA_ENTRY_POINTS)
@pytest.mark.parametrize("camera_id", [-1, UNKNOWN_ID, 77, 2**31 - 1])
def test_unknown_id(simulator, name, camera_id):
    assert CALLS[name][1](camera_id) == sdk.INVALID_ID
    assert simulator.journal(name).last_result == sdk.INVALID_ID


@pytest.mark.parametrize("name", CAMERA_ENTRY_POINTS)
def test_closed_camera(simulator, name):
    need, call = CALLS[name]
    expected = sdk.SUCCESS if need is None else sdk.CAMERA_CLOSED
    assert call(sdk.COLOUR) == expected


@pytest.mark.parametrize("name", CAMERA_ENTRY_POINTS)
def test_open_but_not_initialised(simulator, name):
    need, call = CALLS[name]
    sdk.ok(lib.QELOpenCamera(sdk.COLOUR))
    expected = sdk.INVALID_SEQUENCE if need == INIT else ON_INITIALISED.get(name, sdk.SUCCESS)
    assert call(sdk.COLOUR) == expected


@pytest.mark.parametrize("name", CAMERA_ENTRY_POINTS)
def test_initialised_camera(simulator, name):
    sdk.ready(sdk.COLOUR)
    assert CALLS[name][1](sdk.COLOUR) == ON_INITIALISED.get(name, sdk.SUCCESS)


@pytest.mark.parametrize("name", CAMERA_ENTRY_POINTS)
@pytest.mark.parametrize("was", ["closed", "initialised"])
def test_removed_camera(simulator, name, was):
    if was == "initialised":
        sdk.ready(sdk.COLOUR)
    simulator.unplug_camera(sdk.COLOUR)
    assert CALLS[name][1](sdk.COLOUR) == sdk.CAMERA_REMOVED


@pytest.mark.parametrize("name", CAMERA_ENTRY_POINTS)
def test_closing_returns_to_closed(simulator, name):
    need, call = CALLS[name]
    sdk.ready(sdk.COLOUR)
    sdk.ok(lib.QELCloseCamera(sdk.COLOUR))
    assert call(sdk.COLOUR) == (sdk.SUCCESS if need is None else sdk.CAMERA_CLOSED)


def test_lifecycle_is_idempotent_where_it_should_be(simulator):
    for _ in range(2):
        sdk.ok(lib.QELOpenCamera(sdk.MONO))
    sdk.ok(lib.QELInitCamera(sdk.MONO))
    sdk.ok(lib.QELOpenCamera(sdk.MONO))  # opening an initialised camera keeps it initialised
    assert sdk.roi(sdk.MONO) == (2048, 1536, 1, sdk.RAW8)
    for _ in range(2):
        sdk.ok(lib.QELCloseCamera(sdk.MONO))


def test_initialising_again_restores_defaults(simulator):
    sdk.ready(sdk.MONO)
    sdk.set_control(sdk.MONO, sdk.GAIN, 7)
    sdk.ok(lib.QELSetROIFormat(sdk.MONO, 512, 256, 2, sdk.RAW16))
    sdk.ok(lib.QELInitCamera(sdk.MONO))
    assert sdk.get_control(sdk.MONO, sdk.GAIN) == (100, False)
    assert sdk.roi(sdk.MONO) == (2048, 1536, 1, sdk.RAW8) and sdk.start_pos(sdk.MONO) == (0, 0)


def test_closing_forgets_settings(simulator):
    sdk.ready(sdk.MONO)
    sdk.ok(lib.QELSetROIFormat(sdk.MONO, 512, 256, 2, sdk.RAW16))
    sdk.ok(lib.QELCloseCamera(sdk.MONO))
    sdk.ready(sdk.MONO)
    assert sdk.roi(sdk.MONO) == (2048, 1536, 1, sdk.RAW8)


@pytest.mark.parametrize("busy, code", [("video", sdk.VIDEO_MODE_ACTIVE), ("exposure", sdk.EXPOSURE_IN_PROGRESS)])
def test_init_refused_while_busy(simulator, busy, code):
    sdk.ready(sdk.MONO)
    sdk.set_control(sdk.MONO, sdk.EXPOSURE, 60_000_000)
    sdk.ok(lib.QELStartVideoCapture(sdk.MONO) if busy == "video" else lib.QELStartExposure(sdk.MONO, 0))
    assert lib.QELInitCamera(sdk.MONO) == code
    sdk.ok(lib.QELCloseCamera(sdk.MONO))  # closing is always allowed and ends what runs
    sdk.ready(sdk.MONO)
    assert sdk.exposure_status(sdk.MONO) == sdk.EXP_IDLE
    assert lib.QELGetVideoData(sdk.MONO, sdk.as_buf(sdk.buffer(1)), 1, 0) == sdk.INVALID_SEQUENCE
