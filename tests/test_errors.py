"""Exception classes, the code table and handle_error_code, with its late binding."""

from __future__ import annotations

import functools
import sys

import pytest

MODULE_NAME = "brevalo.vra_qel_python_bindings.qel"
from test_module_frame import EXCEPTIONS

DOCSTRINGS = {
    "QELError": "Base exception class for all QEL errors.",
    "QELSuccess": "QEL operation completed successfully.",
    "QELInvalidIndex": "Invalid index: No camera connected or index value out of boundary.",
    "QELInvalidID": "Invalid camera ID provided.",
    "QELCameraClosed": "Failed to open camera: Camera is closed.",
    "QELCameraRemoved": "Camera removed: Failed to find the camera, it might have been disconnected.",
    "QELTimeout": "Operation timed out.",
    "QELGeneralError": "General error: Value is out of valid range.",
    "QELInvalidControlType": "Invalid control type provided.",
    "QELInvalidPath": "Invalid file path provided.",
    "QELInvalidFileFormat": "Invalid file format provided.",
    "QELInvalidSize": "Invalid video format size.",
    "QELInvalidImageType": "Unsupported image format.",
    "QELOutOfBoundary": "The start position is out of boundary.",
    "QELInvalidSequence": "Stop capture first: Invalid sequence of operations.",
    "QELBufferTooSmall": "Buffer size is too small for the operation.",
    "QELVideoModeActive": "Operation failed because video mode is currently active.",
    "QELExposureInProgress": "Cannot perform operation while exposure is in progress.",
    "QELInvalidMode": "The current mode is incorrect for this operation.",
    "QELGPSNotSupported": "GPS is not supported by this camera.",
    "QELGPSVersionError": "The FPGA GPS version is too low for the requested operation.",
    "QELGPSFPGAError": "Failed to read or write data to FPGA for GPS.",
    "QELGPSParamOutOfRange": "GPS parameter out of range: Start line or end line must be between 0 and MaxHeight-1.",
    "QELGPSDataInvalid": "Invalid GPS data: GPS has not found satellites or FPGA cannot read GPS data.",
    "QELErrorEnd": "End of QEL error codes.",
    "QELUnknownErrorCode": "End of QEL error codes.",
}

CODES = [
    "QELSuccess",
    "QELInvalidIndex",
    "QELInvalidID",
    "QELCameraClosed",
    "QELCameraRemoved",
    "QELTimeout",
    "QELGeneralError",
    "QELInvalidIndex",
    "QELInvalidID",
    "QELInvalidControlType",
    "QELCameraClosed",
    "QELCameraRemoved",
    "QELInvalidPath",
    "QELInvalidFileFormat",
    "QELInvalidSize",
    "QELInvalidImageType",
    "QELOutOfBoundary",
    "QELTimeout",
    "QELInvalidSequence",
    "QELBufferTooSmall",
    "QELVideoModeActive",
    "QELExposureInProgress",
    "QELGeneralError",
    "QELInvalidMode",
    "QELGPSNotSupported",
    "QELGPSVersionError",
    "QELGPSFPGAError",
    "QELGPSParamOutOfRange",
    "QELGPSDataInvalid",
    "QELErrorEnd",
]


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exception_class(qel, name):
    cls = getattr(qel, name)
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == MODULE_NAME
    assert cls.__doc__ == DOCSTRINGS[name]
    assert cls.__bases__ == ((Exception,) if name == "QELError" else (qel.QELError,))
    # the same class body as a class statement with a docstring would give
    statement = type(name, cls.__bases__, {"__module__": MODULE_NAME, "__qualname__": name, "__doc__": cls.__doc__})
    assert set(vars(cls)) == set(vars(statement))


def test_table(qel):
    table = qel.QEL_ERROR_CODE_TO_EXCEPTION
    assert type(table) is dict
    assert list(table) == list(range(30))
    assert [cls.__name__ for cls in table.values()] == CODES
    assert all(table[code] is getattr(qel, name) for code, name in enumerate(CODES))


@pytest.mark.parametrize("code", range(1, 30))
def test_each_failure_code_raises_its_class_without_arguments(qel, code):
    with pytest.raises(qel.QELError) as info:
        qel.handle_error_code(code)
    assert type(info.value) is getattr(qel, CODES[code])
    assert info.value.args == ()
    assert str(info.value) == ""
    assert not isinstance(info.value, qel.QELUnknownErrorCode)


@pytest.mark.parametrize("call", [lambda h: h(0), lambda h: h(qel_error_code=0), lambda h: h(False), lambda h: h(0.5)])
def test_success_returns_none(qel, call):
    assert call(qel.handle_error_code) is None


@pytest.mark.parametrize(
    "code, expected",
    [
        (True, "QELInvalidIndex"),
        (2.9, "QELInvalidID"),
        (-0.9, None),  # truncates to 0: success
    ],
)
def test_codes_are_converted_with_int(qel, code, expected):
    if expected is None:
        assert qel.handle_error_code(code) is None
    else:
        with pytest.raises(getattr(qel, expected)):
            qel.handle_error_code(code)


def test_enumeration_member_as_code(qel):
    with pytest.raises(qel.QELInvalidMode):
        qel.handle_error_code(qel.ControlType(23))


@pytest.mark.parametrize("code", [30, 31, -1, -(2**31) - 1, 2**31, 2**70, -(2**100), 10**50])
def test_unknown_codes(qel, code):
    with pytest.raises(qel.QELUnknownErrorCode) as info:
        qel.handle_error_code(code)
    assert info.value.args == (f"Unknown error code {code}. Update wrapper.",)
    context = info.value.__context__
    assert type(context) is KeyError and context.args == (code,)
    assert info.value.__cause__ is None


def test_code_of_seventy_bits_keeps_every_digit(qel):
    with pytest.raises(qel.QELUnknownErrorCode) as info:
        qel.handle_error_code(2**70)
    assert "1180591620717411303424" in info.value.args[0]


def test_handled_exception_is_the_context_and_survives(qel):
    try:
        raise ValueError("outer")
    except ValueError as outer:
        with pytest.raises(qel.QELTimeout) as info:
            qel.handle_error_code(17)
        assert info.value.__context__ is outer
        assert sys.exc_info()[1] is outer
        with pytest.raises(qel.QELUnknownErrorCode) as info:
            qel.handle_error_code(99)
        assert type(info.value.__context__) is KeyError
        assert info.value.__context__.__context__ is outer
        assert sys.exc_info()[1] is outer
        assert qel.handle_error_code(0) is None
        assert sys.exc_info()[1] is outer


def test_no_handled_exception_leaks_out(qel):
    with pytest.raises(qel.QELUnknownErrorCode):
        qel.handle_error_code(1000)
    assert sys.exc_info() == (None, None, None)
    with pytest.raises(qel.QELGeneralError) as info:
        qel.handle_error_code(6)
    assert info.value.__context__ is None


# ---- late binding


def test_table_entries_can_be_added_changed_and_deleted(qel, restore_globals):
    table = qel.QEL_ERROR_CODE_TO_EXCEPTION
    table[40] = qel.QELTimeout
    with pytest.raises(qel.QELTimeout):
        qel.handle_error_code(40)
    del table[5]
    with pytest.raises(qel.QELUnknownErrorCode):
        qel.handle_error_code(5)
    table[0] = qel.QELGeneralError
    with pytest.raises(qel.QELGeneralError):
        qel.handle_error_code(0)


def test_the_table_is_looked_up_at_every_call(qel, restore_globals):
    assert qel.handle_error_code(0) is None
    restore_globals["QEL_ERROR_CODE_TO_EXCEPTION"] = {0: qel.QELTimeout}
    with pytest.raises(qel.QELTimeout):
        qel.handle_error_code(0)
    del restore_globals["QEL_ERROR_CODE_TO_EXCEPTION"]
    with pytest.raises(NameError, match="^name 'QEL_ERROR_CODE_TO_EXCEPTION' is not defined$"):
        qel.handle_error_code(0)


def test_missing_table_falls_back_to_builtins(qel, restore_globals, monkeypatch):
    import builtins

    del restore_globals["QEL_ERROR_CODE_TO_EXCEPTION"]
    monkeypatch.setattr(builtins, "QEL_ERROR_CODE_TO_EXCEPTION", {3: qel.QELTimeout}, raising=False)
    with pytest.raises(qel.QELTimeout):
        qel.handle_error_code(3)


def test_rebound_success_class_decides_what_counts_as_success(qel, restore_globals):
    original = qel.QELSuccess
    restore_globals["QELSuccess"] = qel.QELTimeout
    assert qel.handle_error_code(5) is None
    with pytest.raises(original):
        qel.handle_error_code(0)


def test_missing_success_name_replaces_the_pending_exception(qel, restore_globals):
    del restore_globals["QELSuccess"]
    with pytest.raises(NameError, match="^name 'QELSuccess' is not defined$") as info:
        qel.handle_error_code(3)
    assert info.value.__context__ is None
    # A KeyError does not look the name up.
    with pytest.raises(qel.QELUnknownErrorCode):
        qel.handle_error_code(300)


def test_missing_unknown_code_class(qel, restore_globals):
    del restore_globals["QELUnknownErrorCode"]
    with pytest.raises(NameError, match="^name 'QELUnknownErrorCode' is not defined$") as info:
        qel.handle_error_code(300)
    assert type(info.value.__context__) is KeyError


def test_rebound_unknown_code_class_gets_the_message(qel, restore_globals):
    class Custom(Exception):
        pass

    restore_globals["QELUnknownErrorCode"] = Custom
    with pytest.raises(Custom) as info:
        qel.handle_error_code(-7)
    assert info.value.args == ("Unknown error code -7. Update wrapper.",)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (5, TypeError, "'int' object is not callable"),
        (lambda: 42, TypeError, "^raise: exception class must be a subclass of BaseException$"),
        (lambda: None, TypeError, "^raise: exception class must be a subclass of BaseException$"),
        (lambda: KeyError, KeyError, None),  # a class returned by the call is raised; KeyError means "unknown"
        (lambda: ValueError("made"), ValueError, "made"),
    ],
)
def test_table_values_that_are_no_exception_class(qel, restore_globals, value, error, message):
    qel.QEL_ERROR_CODE_TO_EXCEPTION[3] = value
    expected = qel.QELUnknownErrorCode if error is KeyError else error
    with pytest.raises(expected, match=message):
        qel.handle_error_code(3)


def test_table_value_returning_a_class_is_instantiated(qel):
    qel.QEL_ERROR_CODE_TO_EXCEPTION[41] = lambda: qel.QELInvalidMode
    try:
        with pytest.raises(qel.QELInvalidMode):
            qel.handle_error_code(41)
    finally:
        del qel.QEL_ERROR_CODE_TO_EXCEPTION[41]


def test_non_mapping_table(qel, restore_globals):
    restore_globals["QEL_ERROR_CODE_TO_EXCEPTION"] = 7
    with pytest.raises(TypeError, match="not subscriptable"):
        qel.handle_error_code(0)


def test_rebinding_is_seen_by_the_very_next_call(qel, restore_globals):
    for _ in range(3):
        assert qel.handle_error_code(0) is None
    restore_globals["QEL_ERROR_CODE_TO_EXCEPTION"] = {0: qel.QELInvalidPath}
    with pytest.raises(qel.QELInvalidPath):
        qel.handle_error_code(0)
    restore_globals["QEL_ERROR_CODE_TO_EXCEPTION"] = {0: qel.QELSuccess}
    assert qel.handle_error_code(0) is None



# The interpreter's words when calls of C functions into each other run away: up to 3.13 it counts
# them against the recursion limit; from 3.14 it measures the depth of the C stack and says how much
# of it was used.
if sys.version_info >= (3, 14):
    RUNAWAY_RECURSION = r"^Stack overflow \(used \d+ kB\) while calling a Python object$"
else:
    RUNAWAY_RECURSION = "^maximum recursion depth exceeded while calling a Python object$"


def rebind_handler(make):
    return lambda q, ns: ns.__setitem__("handle_error_code", make(q))


@pytest.mark.parametrize(
    "rebind, call",
    [
        (rebind_handler(lambda q: q.get_camera_property), lambda q: q.open_camera(0)),
        (rebind_handler(lambda q: functools.partial(q.get_camera_property)), lambda q: q.open_camera(0)),
        (lambda q, ns: q.QEL_ERROR_CODE_TO_EXCEPTION.__setitem__(3, functools.partial(q.handle_error_code, 3)),
         lambda q: q.handle_error_code(3)),
    ],
    ids=["function", "partial", "table-entry"],
)
def test_runaway_recursion_raises_recursion_error(qel, sim, restore_globals, rebind, call):
    rebind(qel, restore_globals)
    with pytest.raises(RecursionError, match=RUNAWAY_RECURSION):
        call(qel)
