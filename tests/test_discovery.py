"""Camera discovery and the SDK version, end to end through the simulated Camera SDK."""

from __future__ import annotations

import inspect
import struct

import pytest

from helpers import TEST_CAMERAS
from test_records import camera_info_bytes, raw

INCORRECT = "Argument '{}' has incorrect type (expected {}, got {})"

DOCSTRINGS = {
    "get_number_of_connected_cameras": (
        "Get the count of connected QEL cameras.\n\n    Returns:\n        int: Count of connected cameras.\n    "
    ),
    "get_camera_property": (
        "\n    Get camera properties by camera index.\n\n    Args:\n        camera_index (int): Index of the camera.\n\n"
        "    Raises:\n        QelException\n\n    Returns CameraInfo: the camera info.\n\n    "
    ),
    "get_sdk_version": (
        "Get the SDK version of the VRA QEL camera.\n\n    Returns:\n        str: The SDK version string.\n\n"
        "    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    "
    ),
    "get_camera_property_by_id": (
        "\n    Get camera properties by camera ID.\n\n    Args:\n        camera_id (int): The camera ID from the "
        "CameraInfo object.\n\n    Raises:\n        QelException\n\n\n    Returns CameraInfo: the camera info.\n\n    "
    ),
}

SIGNATURES = {
    "get_number_of_connected_cameras": "() -> 'int'",
    "camera_check": "(i_vid: 'int', i_pid: 'int') -> 'int'",
    "get_camera_property": "(camera_index: 'int') -> 'CameraInfo'",
    "get_sdk_version": "() -> 'str'",
    "get_camera_property_by_id": "(camera_id: 'int') -> 'CameraInfo'",
}


@pytest.mark.parametrize("name", DOCSTRINGS)
def test_docstrings(qel, name):
    assert getattr(qel, name).__doc__ == DOCSTRINGS[name]


def test_camera_check_docstring_layout(qel):
    doc = qel.camera_check.__doc__
    assert doc.startswith("Usage: Check if the device is QEL Camera\n\n    Args:\n        i_vid (int): ")
    assert "\n        i_pid (int): " in doc
    assert doc.endswith("\n\n    Return:\n        Whether the device is an QEL Camera.\n    ")


@pytest.mark.parametrize("name", SIGNATURES)
def test_signatures(qel, name):
    fn = getattr(qel, name)
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    assert fn.__code__.co_varnames == tuple(inspect.signature(fn).parameters)


def test_no_argument_functions_refuse_arguments(qel):
    for fn in (qel.get_number_of_connected_cameras, qel.get_sdk_version):
        with pytest.raises(TypeError) as info:
            fn(1)
        assert str(info.value) == f"{fn.__name__}() takes no arguments (1 given)"
        with pytest.raises(TypeError) as info:
            fn(1, x=1)
        assert str(info.value) == f"{fn.__name__}() takes no keyword arguments"


def test_camera_count(qel, sim):
    assert qel.get_number_of_connected_cameras() == len(TEST_CAMERAS)
    assert sim.calls("GetNumOfConnectedCameras") == 1


@pytest.mark.parametrize("count", [0, 7, -3])
def test_camera_count_is_returned_unchanged(qel, sim, count):
    sim.inject_fault("GetNumOfConnectedCameras", count)
    result = qel.get_number_of_connected_cameras()
    assert result == count and type(result) is int


@pytest.mark.parametrize(
    "vid, pid, expected",
    [(0x51E1, 0x0101, 1), (0x51E1, 0x0102, 1), (0x51E1, 0x0999, 0), (0x1234, 0x0101, 0), (True, 257.0, 0)],
)
def test_camera_check(qel, sim, vid, pid, expected):
    result = qel.camera_check(vid, pid)
    assert result == expected and type(result) is int
    assert sim.journal("CameraCheck").args == (int(vid), int(pid))


def test_camera_check_nonzero_result_is_one(qel, sim):
    sim.inject_fault("CameraCheck", 77)
    assert qel.camera_check(i_pid=1, i_vid=2) == 1
    assert sim.journal("CameraCheck").args == (2, 1)


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("1", 2), TypeError, INCORRECT.format("i_vid", "int", "str")),
        ((1, None), TypeError, INCORRECT.format("i_pid", "int", "NoneType")),
        ((2**31, "x"), TypeError, INCORRECT.format("i_pid", "int", "str")),  # types first, then values
        ((2**31, 2**40), OverflowError, "Python int too large to convert to C long"),
        ((1, -(2**31) - 1), OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_camera_check_refusals_never_reach_the_sdk(qel, sim, args, error, message):
    with pytest.raises(error) as info:
        qel.camera_check(*args)
    assert str(info.value) == message
    assert sim.calls("CameraCheck") == 0


def test_sdk_version(qel, sim):
    assert qel.get_sdk_version() == "QELSim 0.1.0"
    assert sim.calls("GetSDKVersion") == 1


@pytest.mark.parametrize(
    "text, expected",
    [(b"", ""), (b"v1.2\0ignored", "v1.2"), ("ünïcode".encode(), "ünïcode")],
)
def test_sdk_version_text(qel, sim, text, expected):
    sim.inject_fault("GetSDKVersion", 0, data=text)
    assert qel.get_sdk_version() == expected


def test_sdk_version_refusals(qel, sim):
    sim.inject_fault("GetSDKVersion", 0, data=b"bad\xff")
    with pytest.raises(UnicodeDecodeError):
        qel.get_sdk_version()
    sim.inject_fault("GetSDKVersion", 0)  # a null pointer
    with pytest.raises(RuntimeError, match="no version text"):
        qel.get_sdk_version()


# ---- camera properties


def test_camera_properties_by_index_and_id(qel, sim):
    for index, (name, width, height, colour) in enumerate(
        [("QELSim M1 Mono Cooled", 2048, 1536, False), ("QELSim C2 Colour GPS", 1920, 1080, True)]
    ):
        info = qel.get_camera_property(index)
        assert type(info) is qel.CameraInfo
        assert (info.name, info.max_width, info.max_height, info.is_color_camera) == (name, width, height, colour)
        assert repr(info) == f"CameraInfo(Name={name}, CameraID={info.camera_id}, MaxHeight={height}, MaxWidth={width})"
        by_id = qel.get_camera_property_by_id(camera_id=info.camera_id)
        assert raw(by_id) == raw(info) and by_id is not info
    assert sim.journal("GetCameraProperty").args[1] == 1
    assert sim.journal("GetCameraPropertyByID").args[0] == info.camera_id


def test_record_is_written_in_place_inside_the_returned_object(qel, sim):
    info = qel.get_camera_property(camera_index=0)
    address, index = sim.journal("GetCameraProperty").args
    assert index == 0
    from test_records import record_address

    assert address == record_address(info)
    info2 = qel.get_camera_property_by_id(0)
    assert sim.journal("GetCameraPropertyByID").args == (0, record_address(info2))


def test_monochrome_cooled_camera(qel, sim):
    info = qel.get_camera_property(0)
    assert info.st_4_port and info.is_cooler_cam and not info.is_trigger_cam
    assert info.supported_bins == [1, 2, 3, 4]
    assert info.supported_video_formats == [qel.ImgType.IMG_RAW8, qel.ImgType.IMG_RAW16, qel.ImgType.IMG_Y8]


def test_colour_camera(qel, sim):
    info = qel.get_camera_property(1)
    assert info.is_color_camera and info.is_trigger_cam
    assert info.bayer_pattern is qel.BayerPattern.BAYER_RG
    assert qel.ImgType.IMG_RGB24 in info.supported_video_formats


@pytest.mark.parametrize("function, entry", [("get_camera_property", "GetCameraProperty"),
                                             ("get_camera_property_by_id", "GetCameraPropertyByID")])
@pytest.mark.parametrize("code", [1, 2, 4, 6, 7, 8, 29, 30, -1])
def test_failure_codes_raise_the_tables_exception(qel, sim, function, entry, code):
    sim.inject_fault(entry, code)
    expected = qel.QEL_ERROR_CODE_TO_EXCEPTION.get(code, qel.QELUnknownErrorCode)
    with pytest.raises(expected):
        getattr(qel, function)(0)
    assert sim.calls(entry) == 1


def test_unknown_index_and_id(qel, sim):
    with pytest.raises(qel.QELInvalidIndex):
        qel.get_camera_property(len(TEST_CAMERAS))
    with pytest.raises(qel.QELInvalidIndex):
        qel.get_camera_property(-1)
    with pytest.raises(qel.QELInvalidID):
        qel.get_camera_property_by_id(1234)


@pytest.mark.parametrize("function, entry", [("get_camera_property", "GetCameraProperty"),
                                             ("get_camera_property_by_id", "GetCameraPropertyByID")])
@pytest.mark.parametrize(
    "value, error",
    [("0", TypeError), (None, TypeError), (b"0", TypeError), (2**31, OverflowError), (-(2**31) - 1, OverflowError)],
)
def test_wrong_arguments_never_reach_the_sdk(qel, sim, function, entry, value, error):
    with pytest.raises(error):
        getattr(qel, function)(value)
    assert sim.calls(entry) == 0


@pytest.mark.parametrize("value, sent", [(True, 1), (1.9, 1), (-(2**31), -(2**31)), (0, 0)])
def test_index_conversion(qel, sim, value, sent):
    try:
        qel.get_camera_property(value)
    except qel.QELInvalidIndex:
        pass
    assert sim.journal("GetCameraProperty").args[1] == sent


def test_missing_handler_stops_before_the_sdk(qel, sim, restore_globals):
    del restore_globals["handle_error_code"]
    with pytest.raises(NameError, match="^name 'handle_error_code' is not defined$"):
        qel.get_camera_property(0)
    with pytest.raises(NameError):
        qel.get_camera_property_by_id(2**40)  # the lookup comes before the 32-bit conversion
    assert sim.calls("GetCameraProperty") == 0 and sim.calls("GetCameraPropertyByID") == 0
    # the three functions without a result code do not need the handler
    assert qel.get_number_of_connected_cameras() == len(TEST_CAMERAS)
    assert qel.camera_check(0x51E1, 0x0101) == 1
    assert qel.get_sdk_version()


def test_rebound_handler_sees_the_code_and_the_record_is_returned(qel, sim, restore_globals):
    seen = []
    restore_globals["handle_error_code"] = seen.append
    data = camera_info_bytes(name=b"Injected", camera_id=42, max_height=10, max_width=20, bayer=1)
    sim.inject_fault("GetCameraProperty", 6, data=data)
    info = qel.get_camera_property(0)
    assert seen == [6] and type(seen[0]) is int
    assert raw(info) == data
    assert repr(info) == "CameraInfo(Name=Injected, CameraID=42, MaxHeight=10, MaxWidth=20)"
    sim.inject_fault("GetCameraPropertyByID", 2)
    assert raw(qel.get_camera_property_by_id(9)) == bytes(240)  # nothing written: all zero
    assert seen == [6, 2]


def test_handler_that_cannot_be_called(qel, sim, restore_globals):
    restore_globals["handle_error_code"] = 5
    with pytest.raises(TypeError, match="'int' object is not callable"):
        qel.get_camera_property(0)
    assert sim.calls("GetCameraProperty") == 1


def test_handler_from_builtins(qel, sim, restore_globals, monkeypatch):
    import builtins

    seen = []
    del restore_globals["handle_error_code"]
    monkeypatch.setattr(builtins, "handle_error_code", seen.append, raising=False)
    qel.get_camera_property(0)
    assert seen == [0]


def test_garbage_record_from_the_sdk(qel, sim, restore_globals):
    data = bytearray(camera_info_bytes(camera_id=1, bayer=9, formats=[0, 11, -1, -1, -1, -1, -1, -1]))
    data[0:64] = b"\xff" * 64  # no NUL and no UTF-8
    sim.inject_fault("GetCameraProperty", 0, data=bytes(data))
    info = qel.get_camera_property(0)
    with pytest.raises(UnicodeDecodeError):
        info.name
    with pytest.raises(ValueError):
        info.bayer_pattern
    with pytest.raises(ValueError):
        info.supported_video_formats
    assert info.camera_id == 1
    assert struct.unpack_from("<i", raw(info), 64) == (1,)
