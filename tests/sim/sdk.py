"""ctypes binding of the Camera SDK's 42 entry points, for testing the simulated Camera SDK directly.

The library is the one the extension loaded (``sim.library()``), so the simulator's state is shared
with everything else in the test process.
"""

from __future__ import annotations

import ctypes
from ctypes import POINTER, c_char, c_char_p, c_double, c_float, c_int, c_ubyte

from brevalo.vra_qel_python_bindings import sim

# ---- result codes, constants

SUCCESS = 0
INVALID_INDEX = 1
INVALID_ID = 2
CAMERA_CLOSED = 3
CAMERA_REMOVED = 4
TIMEOUT = 5
GENERAL = 6
INVALID_CONTROL_TYPE = 9
INVALID_PATH = 12
INVALID_FILE_FORMAT = 13
INVALID_SIZE = 14
INVALID_IMAGE_TYPE = 15
OUT_OF_BOUNDARY = 16
INVALID_SEQUENCE = 18
BUFFER_TOO_SMALL = 19
VIDEO_MODE_ACTIVE = 20
EXPOSURE_IN_PROGRESS = 21
INVALID_MODE = 23
GPS_NOT_SUPPORTED = 24
GPS_VERSION = 25
GPS_FPGA = 26
GPS_PARAM_OUT_OF_RANGE = 27
GPS_DATA_INVALID = 28

RAW8, RGB24, RAW16, Y8 = 0, 1, 2, 3
BYTES_PER_PIXEL = {RAW8: 1, RGB24: 3, RAW16: 2, Y8: 1}

(GAIN, EXPOSURE, GAMMA, WB_R, WB_B, OFFSET, BANDWIDTH, OVERCLOCK, TEMPERATURE, FLIP, AUTO_MAX_GAIN, AUTO_MAX_EXP,
 AUTO_TARGET_BRIGHTNESS, HARDWARE_BIN, HIGH_SPEED_MODE, COOLER_POWER_PERC, TARGET_TEMP, COOLER_ON, MONO_BIN, FAN_ON,
 PATTERN_ADJUST, ANTI_DEW_HEATER, FAN_ADJUST, PWRLED_BRIGHT, USBHUB_RESET, GPS_SUPPORT, GPS_START_LINE,
 GPS_END_LINE, ROLLING_INTERVAL) = range(29)

MODE_NORMAL, MODE_SOFT_EDGE, MODE_RISE_EDGE, MODE_FALL_EDGE, MODE_SOFT_LEVEL, MODE_HIGH_LEVEL, MODE_LOW_LEVEL = range(7)
EXP_IDLE, EXP_WORKING, EXP_SUCCESS, EXP_FAILED = range(4)
NORTH, SOUTH, EAST, WEST = range(4)
PIN_A, PIN_B = 0, 1

MONO, COLOUR = 0, 1  # ids of the test cameras (helpers.CAMERAS)


class CameraInfo(ctypes.Structure):
    _fields_ = [
        ("name", c_char * 64),
        ("camera_id", c_int),
        ("max_height", c_int),
        ("max_width", c_int),
        ("is_color_camera", c_int),
        ("bayer_pattern", c_int),
        ("supported_bins", c_int * 16),
        ("supported_video_formats", c_int * 8),
        ("pixel_size", c_double),
        ("mechanical_shutter", c_int),
        ("st_4_port", c_int),
        ("is_cooler_cam", c_int),
        ("is_usb3_host", c_int),
        ("is_usb3_camera", c_int),
        ("elec_per_adu", c_float),
        ("bit_depth", c_int),
        ("is_trigger_cam", c_int),
        ("reserved", c_char * 16),
    ]


class ControlCaps(ctypes.Structure):
    _fields_ = [
        ("name", c_char * 64),
        ("description", c_char * 128),
        ("max_value", c_int),
        ("min_value", c_int),
        ("default_value", c_int),
        ("is_auto_supported", c_int),
        ("is_writable", c_int),
        ("control_type", c_int),
        ("reserved", c_char * 32),
    ]


class Id(ctypes.Structure):
    _fields_ = [("id", c_ubyte * 8)]


class SupportedMode(ctypes.Structure):
    _fields_ = [("modes", c_int * 16)]


class GpsData(ctypes.Structure):
    _fields_ = [
        ("year", c_int),
        ("month", c_int),
        ("day", c_int),
        ("hour", c_int),
        ("minute", c_int),
        ("second", c_int),
        ("m_second", c_int),
        ("u_second", c_int),
        ("reserved1", c_ubyte * 64),
        ("latitude", c_double),
        ("longitude", c_double),
        ("altitude", c_int),
        ("satellite_num", c_int),
        ("reserved2", c_ubyte * 64),
    ]


assert ctypes.sizeof(CameraInfo) == 240 and ctypes.sizeof(ControlCaps) == 248
assert ctypes.sizeof(Id) == 8 and ctypes.sizeof(SupportedMode) == 64 and ctypes.sizeof(GpsData) == 184

P_INT = POINTER(c_int)
P_BUF = POINTER(c_ubyte)

# Every entry point: argument types and result type, in the order of the SDK header.
SIGNATURES = {
    "QELGetNumOfConnectedCameras": ([], c_int),
    "QELCameraCheck": ([c_int, c_int], c_int),
    "QELGetSDKVersion": ([], c_char_p),
    "QELGetCameraProperty": ([POINTER(CameraInfo), c_int], c_int),
    "QELGetCameraPropertyByID": ([c_int, POINTER(CameraInfo)], c_int),
    "QELOpenCamera": ([c_int], c_int),
    "QELInitCamera": ([c_int], c_int),
    "QELCloseCamera": ([c_int], c_int),
    "QELGetID": ([c_int, POINTER(Id)], c_int),
    "QELSetID": ([c_int, Id], c_int),
    "QELGetSerialNumber": ([c_int, POINTER(Id)], c_int),
    "QELGetNumOfControls": ([c_int, P_INT], c_int),
    "QELGetControlCaps": ([c_int, c_int, POINTER(ControlCaps)], c_int),
    "QELGetControlValue": ([c_int, c_int, P_INT, P_INT], c_int),
    "QELSetControlValue": ([c_int, c_int, c_int, c_int], c_int),
    "QELSetROIFormat": ([c_int, c_int, c_int, c_int, c_int], c_int),
    "QELGetROIFormat": ([c_int, P_INT, P_INT, P_INT, P_INT], c_int),
    "QELSetStartPos": ([c_int, c_int, c_int], c_int),
    "QELGetStartPos": ([c_int, P_INT, P_INT], c_int),
    "QELGetCameraSupportMode": ([c_int, POINTER(SupportedMode)], c_int),
    "QELGetCameraMode": ([c_int, P_INT], c_int),
    "QELSetCameraMode": ([c_int, c_int], c_int),
    "QELSendSoftTrigger": ([c_int, c_int], c_int),
    "QELSetTriggerOutputIOConf": ([c_int, c_int, c_int, c_int, c_int], c_int),
    "QELGetTriggerOutputIOConf": ([c_int, c_int, P_INT, P_INT, P_INT], c_int),
    "QELStartExposure": ([c_int, c_int], c_int),
    "QELStopExposure": ([c_int], c_int),
    "QELGetExpStatus": ([c_int, P_INT], c_int),
    "QELGetDataAfterExp": ([c_int, P_BUF, c_int], c_int),
    "QELGetDataAfterExpGPS": ([c_int, P_BUF, c_int, POINTER(GpsData)], c_int),
    "QELStartVideoCapture": ([c_int], c_int),
    "QELStopVideoCapture": ([c_int], c_int),
    "QELGetVideoData": ([c_int, P_BUF, c_int, c_int], c_int),
    "QELGetVideoDataGPS": ([c_int, P_BUF, c_int, c_int, POINTER(GpsData)], c_int),
    "QELGetDroppedFrames": ([c_int, P_INT], c_int),
    "QELPulseGuideOn": ([c_int, c_int], c_int),
    "QELPulseGuideOff": ([c_int, c_int], c_int),
    "QELEnableDarkSubtract": ([c_int, c_char_p], c_int),
    "QELDisableDarkSubtract": ([c_int], c_int),
    "QELGetGainOffset": ([c_int, P_INT, P_INT, P_INT, P_INT], c_int),
    "QELGetLMHGainOffset": ([c_int, P_INT, P_INT, P_INT, P_INT], c_int),
    "QELGPSGetData": ([c_int, POINTER(GpsData), POINTER(GpsData)], c_int),
}


def load() -> ctypes.CDLL:
    lib = sim.library()
    for name, (argtypes, restype) in SIGNATURES.items():
        fn = getattr(lib, name)
        fn.argtypes = argtypes
        fn.restype = restype
    return lib


lib = load()


def buffer(size: int) -> ctypes.Array:
    return (c_ubyte * max(size, 1))()


def as_buf(buf: ctypes.Array) -> ctypes._Pointer:
    return ctypes.cast(buf, P_BUF)


# ---- small helpers over the entry points; each asserts success so that tests read as the behaviour


def ok(rc: int) -> None:
    assert rc == SUCCESS, f"result code {rc}"


def ready(camera_id: int) -> None:
    """Open and initialise a camera."""
    ok(lib.QELOpenCamera(camera_id))
    ok(lib.QELInitCamera(camera_id))


def set_control(camera_id: int, control: int, value: int, auto: bool = False) -> None:
    ok(lib.QELSetControlValue(camera_id, control, value, int(auto)))


def get_control(camera_id: int, control: int) -> tuple[int, bool]:
    value, auto = c_int(), c_int()
    ok(lib.QELGetControlValue(camera_id, control, ctypes.byref(value), ctypes.byref(auto)))
    return value.value, bool(auto.value)


def roi(camera_id: int) -> tuple[int, int, int, int]:
    w, h, b, t = c_int(), c_int(), c_int(), c_int()
    ok(lib.QELGetROIFormat(camera_id, ctypes.byref(w), ctypes.byref(h), ctypes.byref(b), ctypes.byref(t)))
    return w.value, h.value, b.value, t.value


def start_pos(camera_id: int) -> tuple[int, int]:
    x, y = c_int(), c_int()
    ok(lib.QELGetStartPos(camera_id, ctypes.byref(x), ctypes.byref(y)))
    return x.value, y.value


def image_size(camera_id: int) -> int:
    w, h, _, t = roi(camera_id)
    return w * h * BYTES_PER_PIXEL[t]


def exposure_status(camera_id: int) -> int:
    status = c_int(-7)
    ok(lib.QELGetExpStatus(camera_id, ctypes.byref(status)))
    return status.value


def expose(camera_id: int, dark: bool = False, gps: bool = False):
    """A whole single exposure: start, wait for success on the (sped-up) clock, read the image."""
    ok(lib.QELStartExposure(camera_id, int(dark)))
    while (status := exposure_status(camera_id)) == EXP_WORKING:
        pass
    assert status == EXP_SUCCESS
    size = image_size(camera_id)
    buf = buffer(size)
    if gps:
        record = GpsData()
        ok(lib.QELGetDataAfterExpGPS(camera_id, as_buf(buf), size, ctypes.byref(record)))
        return bytes(buf)[:size], record
    ok(lib.QELGetDataAfterExp(camera_id, as_buf(buf), size))
    return bytes(buf)[:size]


def video_frame(camera_id: int, wait_ms: int = -1, gps: bool = False):
    size = image_size(camera_id)
    buf = buffer(size)
    if gps:
        record = GpsData()
        ok(lib.QELGetVideoDataGPS(camera_id, as_buf(buf), size, wait_ms, ctypes.byref(record)))
        return bytes(buf)[:size], record
    ok(lib.QELGetVideoData(camera_id, as_buf(buf), size, wait_ms))
    return bytes(buf)[:size]


def dropped(camera_id: int) -> int:
    count = c_int()
    ok(lib.QELGetDroppedFrames(camera_id, ctypes.byref(count)))
    return count.value


def info_by_index(index: int) -> CameraInfo:
    info = CameraInfo()
    ok(lib.QELGetCameraProperty(ctypes.byref(info), index))
    return info


def gps_utc_us(record: GpsData) -> int:
    """Microseconds since 1970 of a GPS record."""
    import calendar

    seconds = calendar.timegm((record.year, record.month, record.day, record.hour, record.minute, record.second))
    return seconds * 1_000_000 + record.m_second * 1000 + record.u_second


# ---- image helpers (pure Python: frames in tests are small)


def pixels(data: bytes, img_type: int) -> list[int]:
    """Grey values of a RAW8/Y8/RAW16 image (RAW16 little-endian)."""
    if img_type == RAW16:
        return list(memoryview(data).cast("H")) if _little() else [data[i] | data[i + 1] << 8 for i in range(0, len(data), 2)]
    return list(data)


def _little() -> bool:
    import sys

    return sys.byteorder == "little"


def mean(values) -> float:
    values = list(values)
    return sum(values) / len(values)


def centroid(values: list[int], width: int, height: int, box: int = 12) -> tuple[float, float]:
    """Centroid of the brightest spot: a box around the brightest pixel, above the median background."""
    peak = max(range(len(values)), key=values.__getitem__)
    px, py = peak % width, peak // width
    background = sorted(values)[len(values) // 2]
    sx = sy = total = 0.0
    for y in range(max(0, py - box), min(height, py + box + 1)):
        for x in range(max(0, px - box), min(width, px + box + 1)):
            v = values[y * width + x] - background
            if v > 0:
                sx += v * x
                sy += v * y
                total += v
    return sx / total, sy / total
