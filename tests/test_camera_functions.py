"""Every camera function, driven by one table: what reaches the SDK, what comes back, and every way a
call can fail. The simulator's fault injection decides the result code and the output bytes, and its
journal shows what the SDK was called with, or that it was not called at all."""

from __future__ import annotations

import inspect
import struct
import traceback
import tracemalloc
from dataclasses import dataclass
from types import SimpleNamespace

import pytest

from docstrings import DOCSTRINGS
from test_records import raw, record_address

OUT, BUF, PATH = "<out>", "<buffer>", "<path>"


@dataclass(frozen=True)
class Fn:
    name: str
    entry: str
    params: tuple[tuple[str, str], ...]  # (name, annotation)
    sdk: tuple[str, ...]  # the SDK's arguments: a parameter name, OUT, BUF or PATH
    returns: str
    locals: tuple[str, ...] = ()

    def __str__(self) -> str:
        return self.name

    @property
    def kinds(self) -> dict[str, str]:
        return {p: KIND.get(a, "enum") for p, a in self.params}


KIND = {"int": "int", "bool": "bool", "str": "str", "Id": "record"}
ID = ("camera_id", "int")

FUNCTIONS = [
    Fn("open_camera", "OpenCamera", (ID,), ("camera_id",), "None"),
    Fn("init_camera", "InitCamera", (ID,), ("camera_id",), "None"),
    Fn("close_camera", "CloseCamera", (ID,), ("camera_id",), "None"),
    Fn("get_id", "GetID", (("i_camera_id", "int"),), ("i_camera_id", OUT), "Id"),
    Fn("set_id", "SetID", (ID, ("serial_number", "Id")), ("camera_id",), "None"),
    Fn("get_serial_number", "GetSerialNumber", (ID,), ("camera_id", OUT), "Id"),
    Fn("get_camera_support_mode", "GetCameraSupportMode", (ID,), ("camera_id", OUT), "list[CameraMode]"),
    Fn("get_camera_mode", "GetCameraMode", (ID,), ("camera_id", OUT), "CameraMode"),
    Fn("set_camera_mode", "SetCameraMode", (ID, ("mode", "CameraMode")), ("camera_id", "mode"), "None"),
    Fn("start_exposure", "StartExposure", (ID, ("is_dark", "bool")), ("camera_id", "is_dark"), "None"),
    Fn("stop_exposure", "StopExposure", (ID,), ("camera_id",), "None"),
    Fn("get_exp_status", "GetExpStatus", (ID,), ("camera_id", OUT), "int", ("exp_status",)),
    Fn(
        "get_data_after_exp",
        "GetDataAfterExp",
        (ID, ("buffer_size", "int")),
        ("camera_id", BUF, "buffer_size"),
        "bytes",
        ("buffer",),
    ),
    Fn(
        "get_data_after_exp_gps",
        "GetDataAfterExpGPS",
        (ID, ("buffer_size", "int")),
        ("camera_id", BUF, "buffer_size", OUT),
        "tuple[bytes, GpsData]",
        ("gps_data", "buffer"),
    ),
    Fn("start_video_capture", "StartVideoCapture", (ID,), ("camera_id",), "None"),
    Fn("stop_video_capture", "StopVideoCapture", (ID,), ("camera_id",), "None"),
    Fn(
        "get_video_data",
        "GetVideoData",
        (ID, ("buffer_size", "int"), ("wait_ms", "int")),
        ("camera_id", BUF, "buffer_size", "wait_ms"),
        "bytes",
        ("buffer",),
    ),
    Fn(
        "get_video_data_gps",
        "GetVideoDataGPS",
        (ID, ("buffer_size", "int"), ("wait_ms", "int")),
        ("camera_id", BUF, "buffer_size", "wait_ms", OUT),
        "tuple[bytes, GpsData]",
        ("gps_data", "buffer"),
    ),
    Fn("get_num_of_controls", "GetNumOfControls", (ID,), ("camera_id", OUT), "int"),
    Fn(
        "get_control_caps",
        "GetControlCaps",
        (ID, ("control_index", "int")),
        ("camera_id", "control_index", OUT),
        "ControlCaps",
    ),
    Fn(
        "get_control_value",
        "GetControlValue",
        (ID, ("control_type", "ControlType")),
        ("camera_id", "control_type", OUT, OUT),
        "tuple[int, bool]",
    ),
    Fn(
        "set_control_value",
        "SetControlValue",
        (ID, ("control_type", "ControlType"), ("value", "int"), ("auto_mode", "bool")),
        ("camera_id", "control_type", "value", "auto_mode"),
        "None",
    ),
    Fn(
        "set_roi_format",
        "SetROIFormat",
        (ID, ("width", "int"), ("height", "int"), ("bin", "int"), ("img_type", "ImgType")),
        ("camera_id", "width", "height", "bin", "img_type"),
        "None",
    ),
    Fn("get_roi_format", "GetROIFormat", (ID,), ("camera_id", OUT, OUT, OUT, OUT), "tuple[int, int, int, ImgType]"),
    Fn(
        "set_start_pos",
        "SetStartPos",
        (ID, ("start_x", "int"), ("start_y", "int")),
        ("camera_id", "start_x", "start_y"),
        "None",
    ),
    Fn("get_start_pos", "GetStartPos", (ID,), ("camera_id", OUT, OUT), "tuple[int, int]"),
    Fn("get_dropped_frames", "GetDroppedFrames", (ID,), ("camera_id", OUT), "int", ("dropped_frames",)),
    Fn("enable_dark_subtract", "EnableDarkSubtract", (ID, ("bmp_path", "str")), ("camera_id", PATH), "None"),
    Fn("disable_dark_subtract", "DisableDarkSubtract", (ID,), ("camera_id",), "None"),
    Fn("pulse_guide_on", "PulseGuideOn", (ID, ("direction", "GuideDirection")), ("camera_id", "direction"), "None"),
    Fn("pulse_guide_off", "PulseGuideOff", (ID, ("direction", "GuideDirection")), ("camera_id", "direction"), "None"),
    Fn(
        "get_gain_offset",
        "GetGainOffset",
        (ID,),
        ("camera_id", OUT, OUT, OUT, OUT),
        "tuple[int, int, int, int]",
        ("offset_highest_dr", "offset_unity_gain", "gain_lowest_rn", "offset_lowest_rn"),
    ),
    Fn(
        "get_lmh_gain_offset",
        "GetLMHGainOffset",
        (ID,),
        ("camera_id", OUT, OUT, OUT, OUT),
        "tuple[int, int, int, int]",
        ("l_gain", "m_gain", "h_gain", "h_offset"),
    ),
    Fn("send_soft_trigger", "SendSoftTrigger", (ID, ("start", "bool")), ("camera_id", "start"), "None"),
    Fn(
        "set_trigger_output_io_conf",
        "SetTriggerOutputIOConf",
        (ID, ("pin", "TrigOutput"), ("pin_high", "bool"), ("delay", "int"), ("duration", "int")),
        ("camera_id", "pin", "pin_high", "delay", "duration"),
        "None",
    ),
    Fn(
        "get_trigger_output_io_conf",
        "GetTriggerOutputIOConf",
        (ID, ("pin", "int")),
        ("camera_id", "pin", OUT, OUT, OUT),
        "tuple[bool, int, int]",
    ),
    Fn(
        "gps_get_data",
        "GPSGetData",
        (ID,),
        ("camera_id", OUT, OUT),
        "tuple[GpsData, GpsData]",
        ("start_line_gps_data", "end_line_gps_data"),
    ),
]
BY_NAME = {f.name: f for f in FUNCTIONS}
BUFFER_SIZE = 16

ENUM_SAMPLES = {
    "ControlType": ("QEL_OFFSET", 5),
    "ImgType": ("IMG_RAW16", 2),
    "CameraMode": ("QEL_MODE_TRIG_FALL_EDGE", 3),
    "TrigOutput": ("QEL_TRIG_OUTPUT_PINB", 1),
    "GuideDirection": ("QEL_GUIDE_WEST", 3),
}


def sample_args(qel, fn: Fn) -> dict[str, object]:
    """Valid arguments with distinct values, so that the journal shows which went where."""
    args: dict[str, object] = {}
    for i, (name, annotation) in enumerate(fn.params):
        kind = fn.kinds[name]
        if name == "buffer_size":
            args[name] = BUFFER_SIZE
        elif kind == "int":
            args[name] = 40 + i
        elif kind == "bool":
            args[name] = True
        elif kind == "str":
            args[name] = "dark.bmp"
        elif kind == "record":
            ident = qel.Id()
            ident.id = "ABCDEFGH"
            args[name] = ident
        else:
            args[name] = getattr(getattr(qel, annotation), ENUM_SAMPLES[annotation][0])
    return args


def sdk_value(value) -> int:
    return int(getattr(value, "value", value))


def call(qel, fn: Fn, **overrides):
    args = {**sample_args(qel, fn), **overrides}
    return getattr(qel, fn.name)(*args.values())


def ints(*values: int) -> bytes:
    return struct.pack(f"<{len(values)}i", *values)


@pytest.fixture(params=FUNCTIONS, ids=str)
def fn(request):
    return request.param


# ---- description


def test_every_camera_function_is_in_the_table(qel):
    from test_module_frame import FUNCTIONS as ALL

    discovery = {"handle_error_code", "get_number_of_connected_cameras", "camera_check", "get_camera_property",
                 "get_sdk_version", "get_camera_property_by_id"}
    assert sorted(f.name for f in FUNCTIONS) == sorted(set(ALL) - discovery)


def test_description(qel, fn):
    f = getattr(qel, fn.name)
    assert f.__doc__ == DOCSTRINGS[fn.name]
    assert f.__annotations__ == {**dict(fn.params), "return": fn.returns}
    assert f.__code__.co_varnames == tuple(p for p, _ in fn.params) + fn.locals
    assert f.__code__.co_argcount == len(fn.params)
    signature = inspect.signature(f)
    assert list(signature.parameters) == [p for p, _ in fn.params]
    assert all(p.default is inspect.Parameter.empty for p in signature.parameters.values())
    assert signature.return_annotation == fn.returns


def test_arity(qel, fn):
    f = getattr(qel, fn.name)
    n = len(fn.params)
    plural = "" if n == 1 else "s"
    with pytest.raises(TypeError, match=rf"^{fn.name}\(\) takes exactly {n} positional argument{plural} \(0 given\)$"):
        f()
    with pytest.raises(TypeError, match=rf"^{fn.name}\(\) takes exactly {n} positional argument{plural} \({n + 1} given\)$"):
        f(*range(n + 1))
    first = fn.params[0][0]
    with pytest.raises(TypeError, match=rf"^{fn.name}\(\) got multiple values for keyword argument '{first}'$"):
        f(0, **{first: 0})
    with pytest.raises(TypeError, match=rf"^{fn.name}\(\) got an unexpected keyword argument 'nope'$"):
        f(**{"nope": 0})
    if n > 1:
        last = fn.params[-1][0]
        with pytest.raises(TypeError, match=rf"\({n - 1} given\)$"):
            f(**{p: 0 for p, _ in fn.params[:-1]})  # the first missing one is at position n - 1
        with pytest.raises(TypeError, match=r"\(0 given\)$"):
            f(**{last: 0})


# ---- what reaches the SDK


def test_arguments_reach_the_sdk_in_order(qel, sim, fn):
    sim.inject_fault(fn.entry, 0)
    args = sample_args(qel, fn)
    getattr(qel, fn.name)(**args)  # by keyword: the SDK still gets them in its own order
    journal = sim.journal(fn.entry)
    assert journal.calls == 1
    for position, what in enumerate(fn.sdk):
        if what in (OUT, BUF, PATH):
            assert journal.args[position] != 0
        else:
            assert journal.args[position] == sdk_value(args[what]), what
    if fn.name == "set_id":
        assert journal.id == b"ABCDEFGH"
    if fn.name == "enable_dark_subtract":
        assert journal.text == b"dark.bmp"


ZERO_GPS = bytes(184)


def check_zero_result(qel, fn: Fn, result) -> None:
    """The result when the SDK reports success and writes nothing: every output zero."""
    r = fn.returns
    if r == "None":
        assert result is None
    elif r == "Id":
        assert type(result) is qel.Id and raw(result) == bytes(8)
    elif r == "ControlCaps":
        assert type(result) is qel.ControlCaps and raw(result) == bytes(248)
    elif r == "list[CameraMode]":
        assert type(result) is list and result == [0] * 16
    elif r == "CameraMode":
        assert result is qel.CameraMode.QEL_MODE_NORMAL
    elif r == "int":
        assert type(result) is int and result == 0
    elif r == "bytes":
        assert type(result) is bytes and result == bytes(BUFFER_SIZE)
    elif r == "tuple[bytes, GpsData]":
        assert type(result) is tuple and len(result) == 2
        assert result[0] == bytes(BUFFER_SIZE) and type(result[1]) is qel.GpsData and raw(result[1]) == ZERO_GPS
    elif r == "tuple[GpsData, GpsData]":
        assert type(result) is tuple and [type(x) for x in result] == [qel.GpsData, qel.GpsData]
        assert result[0] is not result[1] and raw(result[0]) == raw(result[1]) == ZERO_GPS
    elif r == "tuple[int, int, int, ImgType]":
        assert result == (0, 0, 0, qel.ImgType.IMG_RAW8) and type(result[3]) is qel.ImgType
        assert [type(x) for x in result[:3]] == [int, int, int]
    elif r == "tuple[int, bool]":
        assert result == (0, False) and type(result[1]) is bool
    elif r == "tuple[bool, int, int]":
        assert result == (False, 0, 0) and type(result[0]) is bool
    else:
        assert type(result) is tuple and result == (0,) * r.count("int") and all(type(x) is int for x in result)


def test_success_with_nothing_written(qel, sim, fn):
    sim.inject_fault(fn.entry, 0)
    check_zero_result(qel, fn, call(qel, fn))


GPS_RECORD = struct.pack("<8i", 2026, 12, 8, 1, 2, 3, 4, 5) + bytes(64) + struct.pack("<ddii", 47.5, -8.25, 420, 9) + bytes(64)
CAPS_RECORD = b"Gain".ljust(64, b"\0") + b"The gain".ljust(128, b"\0") + ints(600, 0, 100, 1, 1, 0) + bytes(32)

# (function, output argument, bytes written there, what the function then returns)
OUTPUTS = [
    ("get_id", 1, b"SERIAL01", lambda q, r: r.id == "SERIAL01"),
    ("get_serial_number", 1, b"SN\0\0\0\0\0\0", lambda q, r: r.id == "SN"),
    ("get_camera_support_mode", 1, ints(0, 1, 3, *[-1] * 13), lambda q, r: r == [0, 1, 3]),
    ("get_camera_mode", 1, ints(4), lambda q, r: r is q.CameraMode.QEL_MODE_TRIG_SOFT_LEVEL),
    ("get_exp_status", 1, ints(2), lambda q, r: type(r) is int and r == q.ExposureStatus.QEL_EXP_SUCCESS),
    ("get_data_after_exp", 1, b"\x01\x02\x03", lambda q, r: r == b"\x01\x02\x03" + bytes(13)),
    ("get_data_after_exp_gps", 1, b"\xff" * 20, lambda q, r: r[0] == b"\xff" * 16 and raw(r[1]) == ZERO_GPS),
    ("get_data_after_exp_gps", 3, GPS_RECORD, lambda q, r: r[0] == bytes(16) and raw(r[1]) == GPS_RECORD),
    ("get_video_data", 1, b"\x07" * 5, lambda q, r: r == b"\x07" * 5 + bytes(11)),
    ("get_video_data_gps", 1, b"\x08", lambda q, r: r[0] == b"\x08" + bytes(15)),
    ("get_video_data_gps", 4, GPS_RECORD, lambda q, r: r[1].latitude == 47.5 and r[1].u_second == 5),
    ("get_dropped_frames", 1, ints(12), lambda q, r: r == 12),
    ("get_num_of_controls", 1, ints(17), lambda q, r: r == 17),
    ("get_control_caps", 2, CAPS_RECORD, lambda q, r: raw(r) == CAPS_RECORD and r.name == "Gain"),
    ("get_control_value", 2, ints(-5), lambda q, r: r == (-5, False)),
    ("get_control_value", 3, ints(7), lambda q, r: r == (0, True) and r[1] is True),
    ("get_roi_format", 1, ints(640), lambda q, r: r == (640, 0, 0, q.ImgType.IMG_RAW8)),
    ("get_roi_format", 2, ints(480), lambda q, r: r == (0, 480, 0, q.ImgType.IMG_RAW8)),
    ("get_roi_format", 3, ints(2), lambda q, r: r == (0, 0, 2, q.ImgType.IMG_RAW8)),
    ("get_roi_format", 4, ints(3), lambda q, r: r[3] is q.ImgType.IMG_Y8),
    ("get_start_pos", 1, ints(-8), lambda q, r: r == (-8, 0)),
    ("get_start_pos", 2, ints(9), lambda q, r: r == (0, 9)),
    ("get_gain_offset", 1, ints(10), lambda q, r: r == (10, 0, 0, 0)),
    ("get_gain_offset", 4, ints(40), lambda q, r: r == (0, 0, 0, 40)),
    ("get_lmh_gain_offset", 2, ints(20), lambda q, r: r == (0, 20, 0, 0)),
    ("get_lmh_gain_offset", 3, ints(30), lambda q, r: r == (0, 0, 30, 0)),
    ("get_trigger_output_io_conf", 2, ints(-1), lambda q, r: r == (True, 0, 0) and r[0] is True),
    ("get_trigger_output_io_conf", 3, ints(100), lambda q, r: r == (False, 100, 0)),
    ("get_trigger_output_io_conf", 4, ints(2**31 - 1), lambda q, r: r == (False, 0, 2**31 - 1)),
    ("gps_get_data", 1, GPS_RECORD, lambda q, r: raw(r[0]) == GPS_RECORD and raw(r[1]) == ZERO_GPS),
    ("gps_get_data", 2, GPS_RECORD, lambda q, r: raw(r[0]) == ZERO_GPS and raw(r[1]) == GPS_RECORD),
]


@pytest.mark.parametrize("name, arg, data, check", OUTPUTS, ids=[f"{o[0]}-{o[1]}" for o in OUTPUTS])
def test_outputs_written_by_the_sdk(qel, sim, name, arg, data, check):
    sim.inject_fault(BY_NAME[name].entry, 0, data=data, arg=arg)
    assert check(qel, call(qel, BY_NAME[name]))


def test_records_are_written_in_place_inside_the_returned_objects(qel, sim):
    for name in ("get_id", "get_serial_number", "get_control_caps", "gps_get_data", "get_data_after_exp_gps"):
        fn = BY_NAME[name]
        sim.inject_fault(fn.entry, 0)
        result = call(qel, fn)
        records = [x for x in (result if isinstance(result, tuple) else (result,)) if not isinstance(x, bytes)]
        addresses = [a for a, what in zip(sim.journal(fn.entry).args, fn.sdk) if what == OUT]
        assert addresses == [record_address(r) for r in records]


# ---- failures


@pytest.mark.parametrize("code", [3, 6, 20, 21, 29, 45, -2])
def test_failure_codes_raise_the_tables_exception(qel, sim, fn, code):
    sim.inject_fault(fn.entry, code)
    expected = qel.QEL_ERROR_CODE_TO_EXCEPTION.get(code, qel.QELUnknownErrorCode)
    with pytest.raises(expected) as info:
        call(qel, fn)
    assert sim.calls(fn.entry) == 1
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == "handle_error_code"
    assert fn.name in [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]


def test_missing_handler_stops_before_the_sdk(qel, sim, fn, restore_globals):
    del restore_globals["handle_error_code"]
    with pytest.raises(NameError, match="^name 'handle_error_code' is not defined$"):
        call(qel, fn)
    # looked up before any 32-bit conversion
    with pytest.raises(NameError):
        call(qel, fn, camera_id=2**40) if "camera_id" in fn.kinds else call(qel, fn, i_camera_id=2**40)
    assert sim.calls(fn.entry) == 0


def test_handler_that_returns_normally(qel, sim, fn, restore_globals):
    seen = []
    restore_globals["handle_error_code"] = seen.append
    sim.inject_fault(fn.entry, 6)
    check_zero_result(qel, fn, call(qel, fn))
    assert seen == [6]


def test_handler_that_cannot_be_called(qel, sim, fn, restore_globals):
    restore_globals["handle_error_code"] = 5
    sim.inject_fault(fn.entry, 0)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        call(qel, fn)
    assert sim.calls(fn.entry) == 1


def test_handler_is_a_bound_method(qel, sim, restore_globals):
    class Recorder:
        def __init__(self):
            self.codes = []

        def handle(self, code):
            self.codes.append(code)

    recorder = Recorder()
    restore_globals["handle_error_code"] = recorder.handle
    sim.inject_fault("OpenCamera", 2)
    assert qel.open_camera(5) is None
    assert recorder.codes == [2]


INT_PARAMS = [(f, p) for f in FUNCTIONS for p, k in f.kinds.items() if k == "int"]
ENUM_PARAMS = [(f, p) for f in FUNCTIONS for p, k in f.kinds.items() if k == "enum"]
BOOL_PARAMS = [(f, p) for f in FUNCTIONS for p, k in f.kinds.items() if k == "bool"]


# buffer_size has its own rules: the buffer is made from it first (see the image buffer tests)
NARROWED = [(f, p) for f, p in INT_PARAMS if p != "buffer_size"]


@pytest.mark.parametrize("fn, param", NARROWED, ids=[f"{f}-{p}" for f, p in NARROWED])
@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**64])
def test_int_out_of_range_never_reaches_the_sdk(qel, sim, fn, param, value):
    with pytest.raises(OverflowError, match="^Python int too large to convert to C long$"):
        call(qel, fn, **{param: value})
    assert sim.calls(fn.entry) == 0


@pytest.mark.parametrize("fn, param", INT_PARAMS, ids=[f"{f}-{p}" for f, p in INT_PARAMS])
@pytest.mark.parametrize("value, type_name", [("1", "str"), (None, "NoneType"), (b"1", "bytes"), ([], "list")])
def test_int_of_the_wrong_type_never_reaches_the_sdk(qel, sim, fn, param, value, type_name):
    with pytest.raises(TypeError) as info:
        call(qel, fn, **{param: value})
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected int, got {type_name})"
    assert sim.calls(fn.entry) == 0


@pytest.mark.parametrize("fn, param", INT_PARAMS, ids=[f"{f}-{p}" for f, p in INT_PARAMS])
def test_int_edges_and_coercions_reach_the_sdk(qel, sim, fn, param):
    position = fn.sdk.index(param)
    for value, sent in [(2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)), (7.9, 7), (True, 1), (qel.TrigOutput(1), 1)]:
        if param == "buffer_size" and sent < 0:
            continue  # a negative size is refused when the buffer is made
        if param == "buffer_size" and sent > 2**20:
            continue
        sim.inject_fault(fn.entry, 0)
        call(qel, fn, **{param: value})
        assert sim.journal(fn.entry).args[position] == sent


@pytest.mark.parametrize("fn, param", ENUM_PARAMS, ids=[f"{f}-{p}" for f, p in ENUM_PARAMS])
@pytest.mark.parametrize(
    "value, error, message",
    [
        (1, AttributeError, "'int' object has no attribute 'value'"),
        (None, AttributeError, "'NoneType' object has no attribute 'value'"),
        (SimpleNamespace(value="x"), TypeError, "an integer is required"),
        (SimpleNamespace(value=None), TypeError, "an integer is required"),
        (SimpleNamespace(value=2**31), OverflowError, "Python int too large to convert to C long"),
        (SimpleNamespace(value=SimpleNamespace()), TypeError, "an integer is required"),
    ],
)
def test_enumeration_refusals_never_reach_the_sdk(qel, sim, fn, param, value, error, message):
    with pytest.raises(error) as info:
        call(qel, fn, **{param: value})
    assert str(info.value) == message
    assert sim.calls(fn.entry) == 0


class ReturnsIntSubclass:
    def __int__(self):
        return True  # a bool is a strict subclass of int


@pytest.mark.parametrize("fn, param", ENUM_PARAMS, ids=[f"{f}-{p}" for f, p in ENUM_PARAMS])
def test_enumeration_values_reach_the_sdk(qel, sim, fn, param):
    position = fn.sdk.index(param)
    for value, sent in [
        (SimpleNamespace(value=6), 6),
        (qel.BayerPattern.BAYER_GB, 3),  # any object with a value: an unrelated member too
        (SimpleNamespace(value=2.7), 2),  # through float's __int__
        (SimpleNamespace(value=True), 1),
        (SimpleNamespace(value=-(2**31)), -(2**31)),
    ]:
        sim.inject_fault(fn.entry, 0)
        call(qel, fn, **{param: value})
        assert sim.journal(fn.entry).args[position] == sent
    sim.inject_fault(fn.entry, 0)
    with pytest.warns(DeprecationWarning, match=r"^__int__ returned non-int \(type bool\)\.  The ability"):
        call(qel, fn, **{param: SimpleNamespace(value=ReturnsIntSubclass())})
    assert sim.journal(fn.entry).args[position] == 1


class Truth:
    def __init__(self, result):
        self.result = result

    def __bool__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.mark.parametrize("fn, param", BOOL_PARAMS, ids=[f"{f}-{p}" for f, p in BOOL_PARAMS])
@pytest.mark.parametrize(
    "value, sent", [(True, 1), (False, 0), (None, 0), ("", 0), ([], 0), (0.0, 0), ("no", 1), ([1], 1), (-3, 1)]
)
def test_bool_parameters_pass_their_truth_value(qel, sim, fn, param, value, sent):
    sim.inject_fault(fn.entry, 0)
    call(qel, fn, **{param: value})
    assert sim.journal(fn.entry).args[fn.sdk.index(param)] == sent


@pytest.mark.parametrize("fn, param", BOOL_PARAMS, ids=[f"{f}-{p}" for f, p in BOOL_PARAMS])
def test_bool_whose_truth_test_raises(qel, sim, fn, param, restore_globals):
    del restore_globals["handle_error_code"]  # the truth test comes first, when arguments are bound
    with pytest.raises(ZeroDivisionError):
        call(qel, fn, **{param: Truth(ZeroDivisionError())})
    with pytest.raises(TypeError):
        call(qel, fn, **{param: Truth(2)})  # __bool__ must return a bool
    assert sim.calls(fn.entry) == 0


def test_parser_errors_name_the_first_failing_parameter(qel, sim):
    with pytest.raises(TypeError, match="'camera_id'"):
        qel.enable_dark_subtract("x", 5)  # numbers are checked before types
    with pytest.raises(TypeError, match="'delay'"):
        qel.set_trigger_output_io_conf(0, 1, True, "d", "e")
    with pytest.raises(AttributeError):  # body conversions in parameter order: pin before delay's range
        qel.set_trigger_output_io_conf(0, 1, True, 2**31, 0)
    with pytest.raises(OverflowError):
        qel.set_trigger_output_io_conf(0, qel.TrigOutput.QEL_TRIG_OUTPUT_PINA, 1, 2**31, 0)
    assert sim.calls("SetTriggerOutputIOConf") == 0


# ---- results looked up by name at call time


@pytest.mark.parametrize(
    "name, enumeration, data",
    [("get_roi_format", "ImgType", ints(1)), ("get_camera_mode", "CameraMode", ints(1)),
     ("get_exp_status", "ExposureStatus", ints(1))],
)
def test_result_enumerations_are_late_bound(qel, sim, restore_globals, name, enumeration, data):
    fn = BY_NAME[name]
    arg = 4 if name == "get_roi_format" else 1
    pick = (lambda r: r[3]) if name == "get_roi_format" else (lambda r: r)

    sim.inject_fault(fn.entry, 0, data=data, arg=arg)
    assert pick(call(qel, fn)) == 1

    restore_globals[enumeration] = lambda v: 40 + v
    sim.inject_fault(fn.entry, 0, data=data, arg=arg)
    assert pick(call(qel, fn)) == 41

    del restore_globals[enumeration]
    sim.inject_fault(fn.entry, 0)
    with pytest.raises(NameError, match=f"^name '{enumeration}' is not defined$"):
        call(qel, fn)
    assert sim.calls(fn.entry) == 3  # the SDK was called before the lookup failed


@pytest.mark.parametrize(
    "name, arg, value", [("get_roi_format", 4, 9), ("get_camera_mode", 1, 7), ("get_exp_status", 1, 4)]
)
def test_unknown_enumeration_values_from_the_sdk(qel, sim, name, arg, value):
    sim.inject_fault(BY_NAME[name].entry, 0, data=ints(value), arg=arg)
    with pytest.raises(ValueError):
        call(qel, BY_NAME[name])


@pytest.mark.parametrize(
    "made, expected",
    [(lambda v: "text", TypeError), (lambda v: 2.75, 2), (lambda v: None, None), (lambda v: True, 1)],
)
def test_exp_status_return_conversion(qel, sim, restore_globals, made, expected):
    restore_globals["ExposureStatus"] = made
    sim.inject_fault("GetExpStatus", 0)
    if expected is TypeError:
        with pytest.raises(TypeError, match="^Expected int, got str$"):
            qel.get_exp_status(0)
    else:
        result = qel.get_exp_status(0)
        assert result == expected and type(result) is type(expected)


def test_record_results_use_the_modules_own_classes(qel, sim, restore_globals):
    originals = {n: getattr(qel, n) for n in ("Id", "GpsData", "ControlCaps", "SupportedMode")}
    for n in originals:
        restore_globals[n] = object
    for name in ("get_id", "get_serial_number", "get_control_caps", "gps_get_data", "get_data_after_exp_gps"):
        sim.inject_fault(BY_NAME[name].entry, 0)
        result = call(qel, BY_NAME[name])
        for r in result if isinstance(result, tuple) else (result,):
            assert isinstance(r, bytes) or type(r) in originals.values()
    sim.inject_fault("GetCameraSupportMode", 0)
    assert qel.get_camera_support_mode(0) == [0] * 16


def test_each_call_returns_new_records(qel, sim):
    for name in ("get_id", "get_control_caps", "gps_get_data", "get_data_after_exp_gps", "get_video_data_gps"):
        sim.inject_fault(BY_NAME[name].entry, 0, times=2)
        first, second = call(qel, BY_NAME[name]), call(qel, BY_NAME[name])
        assert first is not second
        if isinstance(first, tuple):
            assert all(a is not b for a, b in zip(first, second))


# ---- text and record parameters


class Path(str):
    pass


@pytest.mark.parametrize(
    "path, error, message",
    [
        (None, TypeError, "Argument 'bmp_path' has incorrect type (expected str, got NoneType)"),
        (b"dark.bmp", TypeError, "Argument 'bmp_path' has incorrect type (expected str, got bytes)"),
        (
            Path("dark.bmp"),
            TypeError,
            "Argument 'bmp_path' has incorrect type (expected str, got Path). "
            "Subclasses of built-in types are not accepted for this parameter.",
        ),
        (3, TypeError, "Argument 'bmp_path' has incorrect type (expected str, got int)"),
        ("dark\ud800.bmp", UnicodeEncodeError, None),
        ("dark.bmp\0.txt", ValueError, "embedded null character"),
        ("\0", ValueError, "embedded null character"),
    ],
)
def test_dark_frame_path_refusals_never_reach_the_sdk(qel, sim, path, error, message):
    with pytest.raises(error) as info:
        qel.enable_dark_subtract(0, path)
    if message:
        assert str(info.value) == message
    assert sim.calls("EnableDarkSubtract") == 0


def test_dark_frame_path_order_of_checks(qel, sim, restore_globals):
    with pytest.raises(OverflowError):  # the identifier is converted before the path is encoded
        qel.enable_dark_subtract(2**31, "a\0b")
    del restore_globals["handle_error_code"]
    with pytest.raises(NameError):  # the handler is looked up before either
        qel.enable_dark_subtract(0, "a\0b")
    with pytest.raises(TypeError):  # a path that is no str is refused before the lookup
        qel.enable_dark_subtract(0, b"a")


@pytest.mark.parametrize("path", ["", "dark.bmp", "ünïcödé/暗い.bmp", "x" * 5000])
def test_dark_frame_path_reaches_the_sdk_as_utf8(qel, sim, path):
    sim.inject_fault("EnableDarkSubtract", 0)
    qel.enable_dark_subtract(camera_id=0, bmp_path=path)
    journal = sim.journal("EnableDarkSubtract")
    encoded = path.encode()
    assert journal.text == encoded[: len(journal.text)] and len(journal.text) == min(len(encoded), 1023)


def test_set_id_passes_the_record_by_value(qel, sim):
    class MyId(qel.Id):
        pass

    for ident in (qel.Id(), MyId()):
        ident.id = "é\0\0\0\0\0\0"
        sim.inject_fault("SetID", 0)
        qel.set_id(0, ident)
        assert sim.journal("SetID").id == "é".encode() + bytes(6)
    sim.inject_fault("GetSerialNumber", 0, data=b"\x01\x02\xfe\xff\x00\x10\x20\x30")
    serial = qel.get_serial_number(0)
    sim.inject_fault("SetID", 0)
    qel.set_id(0, serial)
    assert sim.journal("SetID").id == b"\x01\x02\xfe\xff\x00\x10\x20\x30"


@pytest.mark.parametrize("value, type_name", [(None, "NoneType"), ("ABCDEFGH", "str"), (b"ABCDEFGH", "bytes")])
def test_set_id_refuses_what_is_no_id(qel, sim, value, type_name):
    with pytest.raises(TypeError) as info:
        qel.set_id(0, value)
    assert str(info.value) == (
        f"Argument 'serial_number' has incorrect type (expected brevalo.vra_qel_python_bindings.qel.Id, "
        f"got {type_name})"
    )
    with pytest.raises(TypeError, match=r"qel\.Id, got brevalo\.vra_qel_python_bindings\.qel\.GpsData\)$"):
        qel.set_id(0, qel.GpsData())
    assert sim.calls("SetID") == 0


def test_get_id_takes_its_own_keyword(qel, sim):
    sim.inject_fault("GetID", 0)
    qel.get_id(i_camera_id=0)
    with pytest.raises(TypeError, match="^get_id\\(\\) got an unexpected keyword argument 'camera_id'$"):
        qel.get_id(camera_id=0)


# ---- image buffers


IMAGE_FUNCTIONS = [f for f in FUNCTIONS if "buffer_size" in f.kinds]


@pytest.fixture(params=IMAGE_FUNCTIONS, ids=str)
def image_fn(request):
    return request.param


def test_buffer_of_size_zero(qel, sim, image_fn):
    sim.inject_fault(image_fn.entry, 0)
    result = call(qel, image_fn, buffer_size=0)
    image = result[0] if isinstance(result, tuple) else result
    assert image == b""
    journal = sim.journal(image_fn.entry)
    assert journal.args[1] != 0 and journal.args[2] == 0  # a valid address, even for no bytes


def test_negative_buffer_size_is_refused_before_the_handler(qel, sim, image_fn, restore_globals):
    del restore_globals["handle_error_code"]
    with pytest.raises(ValueError, match="^negative count$"):
        call(qel, image_fn, buffer_size=-1)
    assert sim.calls(image_fn.entry) == 0


@pytest.mark.parametrize("size", [2**31, 2**40])
def test_buffer_size_beyond_32_bits_allocates_nothing(qel, sim, image_fn, size, restore_globals):
    tracemalloc.start()
    try:
        with pytest.raises(OverflowError, match="^Python int too large to convert to C long$"):
            call(qel, image_fn, buffer_size=size)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 2**20
    del restore_globals["handle_error_code"]  # the handler is still looked up before the size is narrowed
    with pytest.raises(NameError, match="'handle_error_code'"):
        call(qel, image_fn, buffer_size=size)
    assert sim.calls(image_fn.entry) == 0


def test_buffer_size_beyond_the_index_range(qel, sim, image_fn):
    with pytest.raises(OverflowError, match="^cannot fit 'int' into an index-sized integer$"):
        call(qel, image_fn, buffer_size=2**64)
    assert sim.calls(image_fn.entry) == 0


def test_buffer_size_as_float(qel, sim, image_fn):
    sim.inject_fault(image_fn.entry, 0, data=b"\x05" * 10)
    result = call(qel, image_fn, buffer_size=3.9)
    image = result[0] if isinstance(result, tuple) else result
    assert image == b"\x05" * 3
    assert sim.journal(image_fn.entry).args[2] == 3


def test_image_is_always_buffer_size_long(qel, sim, image_fn, restore_globals):
    restore_globals["handle_error_code"] = lambda code: None
    sim.inject_fault(image_fn.entry, 19, data=b"\x09" * 4)
    result = call(qel, image_fn, buffer_size=1000)
    image = result[0] if isinstance(result, tuple) else result
    assert type(image) is bytes and image == b"\x09" * 4 + bytes(996)


@pytest.mark.parametrize("name", ["get_video_data", "get_video_data_gps"])
def test_wait_ms(qel, sim, name):
    fn = BY_NAME[name]
    sim.inject_fault(fn.entry, 0)
    call(qel, fn, wait_ms=-1)
    assert sim.journal(fn.entry).args[3] == -1
    with pytest.raises(TypeError, match="'wait_ms'"):
        call(qel, fn, wait_ms=None)
    with pytest.raises(OverflowError):
        call(qel, fn, wait_ms=2**31)
    assert sim.calls(fn.entry) == 1


OUTPUT_ARGS = [(f, i) for f in FUNCTIONS for i, what in enumerate(f.sdk) if what in (OUT, BUF)]


@pytest.mark.parametrize("fn, arg", OUTPUT_ARGS, ids=[f"{f}-{i}" for f, i in OUTPUT_ARGS])
def test_empty_fault_data_writes_nothing(qel, sim, fn, arg):
    # Under the sanitizer build (make test-asan) this also checks that no byte is copied from nowhere.
    sim.inject_fault(fn.entry, 0, data=b"", arg=arg)
    check_zero_result(qel, fn, call(qel, fn))
    assert sim.calls(fn.entry) == 1
