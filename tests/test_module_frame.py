"""Creation and execution of the module: its namespace, re-imports, sub-interpreters, failed imports."""

from __future__ import annotations

import builtins
import importlib
import inspect
import sys
import traceback

import pytest

MODULE_NAME = "brevalo.vra_qel_python_bindings.qel"

ENUMERATIONS = [
    "BayerPattern",
    "ImgType",
    "ControlType",
    "CameraMode",
    "GuideDirection",
    "FlipStatus",
    "TrigOutput",
    "ExposureStatus",
]

EXCEPTIONS = [
    "QELError",
    "QELSuccess",
    "QELInvalidIndex",
    "QELInvalidID",
    "QELCameraClosed",
    "QELCameraRemoved",
    "QELTimeout",
    "QELGeneralError",
    "QELInvalidControlType",
    "QELInvalidPath",
    "QELInvalidFileFormat",
    "QELInvalidSize",
    "QELInvalidImageType",
    "QELOutOfBoundary",
    "QELInvalidSequence",
    "QELBufferTooSmall",
    "QELVideoModeActive",
    "QELExposureInProgress",
    "QELInvalidMode",
    "QELGPSNotSupported",
    "QELGPSVersionError",
    "QELGPSFPGAError",
    "QELGPSParamOutOfRange",
    "QELGPSDataInvalid",
    "QELErrorEnd",
    "QELUnknownErrorCode",
]

RECORDS = ["ControlCaps", "Id", "SupportedMode", "GpsData", "CameraInfo"]

FUNCTIONS = [
    "handle_error_code",
    "get_number_of_connected_cameras",
    "camera_check",
    "get_camera_property",
    "get_sdk_version",
    "get_camera_property_by_id",
    "open_camera",
    "init_camera",
    "close_camera",
    "get_id",
    "set_id",
    "get_serial_number",
    "get_camera_support_mode",
    "get_camera_mode",
    "set_camera_mode",
    "start_exposure",
    "stop_exposure",
    "get_exp_status",
    "get_data_after_exp",
    "get_data_after_exp_gps",
    "start_video_capture",
    "stop_video_capture",
    "get_video_data",
    "get_video_data_gps",
    "get_num_of_controls",
    "get_control_caps",
    "get_control_value",
    "set_control_value",
    "set_roi_format",
    "get_roi_format",
    "set_start_pos",
    "get_start_pos",
    "get_dropped_frames",
    "enable_dark_subtract",
    "disable_dark_subtract",
    "pulse_guide_on",
    "pulse_guide_off",
    "get_gain_offset",
    "get_lmh_gain_offset",
    "send_soft_trigger",
    "set_trigger_output_io_conf",
    "get_trigger_output_io_conf",
    "gps_get_data",
]

NAMESPACE_ORDER = (
    ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"]
    + RECORDS
    + ["Optional", "IntEnum"]
    + ENUMERATIONS
    + EXCEPTIONS
    + ["QEL_ERROR_CODE_TO_EXCEPTION"]
    + FUNCTIONS
)


def test_namespace_is_filled_in_binding_order(qel):
    assert list(vars(qel)) == NAMESPACE_ORDER


def test_module_attributes(qel):
    spec = importlib.util.find_spec(MODULE_NAME)
    assert qel.__name__ == MODULE_NAME
    assert qel.__doc__ is None
    assert qel.__builtins__ is builtins
    assert qel.__file__ == spec.origin
    assert qel.__package__ == "brevalo.vra_qel_python_bindings"
    assert not hasattr(qel, "__path__")
    assert sys.modules[MODULE_NAME] is qel


def test_standard_library_names_are_imported(qel):
    import enum
    import typing

    assert qel.Optional is typing.Optional
    assert qel.IntEnum is enum.IntEnum


def test_reimport_returns_the_same_module(qel):
    error_class = qel.QELError
    del sys.modules[MODULE_NAME]
    again = importlib.import_module(MODULE_NAME)
    assert again is qel
    assert again.QELError is error_class
    assert sys.modules[MODULE_NAME] is qel


def test_reload_changes_nothing(qel):
    before = dict(vars(qel))
    assert importlib.reload(qel) is qel
    after = vars(qel)
    assert list(after) == list(before)
    assert all(after[name] is value for name, value in before.items() if not name.startswith("__"))
    assert all(after[name] == value for name, value in before.items() if name != "__spec__")


# Sub-interpreters are reached through a private module that each version names and words in its own
# way: 3.11 and 3.12 have _xxsubinterpreters, whose failures read "<class 'ImportError'>: ...", 3.13
# has _interpreters, whose failures read "ImportError: ...". 3.12 added sub-interpreters with a lock of
# their own; the interpreter itself refuses to load the module into one of those, in its own words,
# before the module's create step runs.
SUB_INTERPRETER_IMPORT = """
import sys
own_lock = sys.argv[1] == "own"
if sys.version_info >= (3, 13):
    import _interpreters
    interp = _interpreters.create("isolated" if own_lock else "legacy")
    print(_interpreters.run_string(interp, "import {module}").formatted)
else:
    import _xxsubinterpreters as interpreters
    interp = interpreters.create(**({{"isolated": own_lock}} if sys.version_info >= (3, 12) else {{}}))
    try:
        interpreters.run_string(interp, "import {module}")
    except interpreters.RunFailedError as e:
        print(e)
"""


@pytest.mark.parametrize(
    "lock",
    [
        "shared",
        pytest.param(
            "own", marks=pytest.mark.skipif(sys.version_info < (3, 12), reason="came with CPython 3.12")
        ),
    ],
)
def test_sub_interpreter_import_is_refused(python, lock):
    out = python(f"import {MODULE_NAME}\n" + SUB_INTERPRETER_IMPORT.format(module=MODULE_NAME), lock)
    if lock == "shared":
        message = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    else:
        message = f"module {MODULE_NAME} does not support loading in subinterpreters"
    kind = "ImportError" if sys.version_info >= (3, 13) else "<class 'ImportError'>"
    assert out.strip() == f"{kind}: {message}"


def test_execute_step_on_a_second_module_object_is_refused(python):
    out = python(
        f"""
        import _imp, importlib.util
        spec = importlib.util.find_spec("{MODULE_NAME}")
        first = _imp.create_dynamic(spec)
        second = _imp.create_dynamic(spec)
        assert first is not second
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)  # the same object again: nothing happens
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as e:
            print(e)
        # the create step now hands back the executed module
        print(_imp.create_dynamic(spec) is first)
        """
    )
    assert out.splitlines() == [
        "Module 'qel' has already been imported. Re-initialisation is not supported.",
        "True",
    ]


@pytest.mark.parametrize(
    "attributes, expected",
    [
        (
            {"loader": "'L'", "parent": "'P'", "submodule_search_locations": "['here']"},
            {"__loader__": "L", "__package__": "P", "__path__": ["here"]},
        ),
        ({"submodule_search_locations": "None"}, {"__path__": "<missing>"}),
        # a new module object starts with __loader__ and __package__ set to None
        ({}, {"__loader__": None, "__package__": None, "__path__": "<missing>"}),
        ({"loader": "None"}, {"__loader__": None}),
    ],
)
def test_create_step_copies_spec_attributes(python, attributes, expected):
    fields = "".join(f", {k}={v}" for k, v in attributes.items())
    out = python(
        f"""
        import _imp, importlib.util, types
        real = importlib.util.find_spec("{MODULE_NAME}")
        spec = types.SimpleNamespace(name="{MODULE_NAME}", origin=real.origin{fields})
        module = _imp.create_dynamic(spec)
        print(repr({{k: getattr(module, k, "<missing>") for k in {sorted(expected)!r}}}))
        print(module.__file__ == real.origin, module.__name__)
        """
    )
    lines = out.splitlines()
    assert eval(lines[0]) == expected
    assert lines[1] == f"True {MODULE_NAME}"


# The module is built for the interpreter that runs the tests; the patch makes that interpreter
# report another minor version (3.12, or 3.13 when it is 3.12 itself).
BUILT_FOR = sys.version_info[:2]
PRETENDED = (3, 13) if BUILT_FOR == (3, 12) else (3, 12)
VERSION_PATCH = f"""
import ctypes, mmap
version = ctypes.c_ulong.in_dll(ctypes.pythonapi, "Py_Version")
libc = ctypes.CDLL(None)
page = ctypes.addressof(version) & ~(mmap.PAGESIZE - 1)
libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
assert libc.mprotect(page, mmap.PAGESIZE, mmap.PROT_READ | mmap.PROT_WRITE) == 0
version.value = 0x03{PRETENDED[1]:02X}01F0  # pretend to be 3.{PRETENDED[1]}.1
"""


@pytest.mark.skipif(sys.platform != "linux", reason="patches the running interpreter's version in memory")
def test_version_mismatch_warns_and_import_goes_on(python):
    out = python(
        VERSION_PATCH
        + f"""
import warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import {MODULE_NAME} as qel
print(len(caught), caught[0].category.__name__)
print(caught[0].message)
print(qel.handle_error_code(0))
"""
    )
    assert out.splitlines() == [
        "1 RuntimeWarning",
        f"compile time Python version 3.{BUILT_FOR[1]} of module '{MODULE_NAME}' does not match runtime version"
        f" 3.{PRETENDED[1]}",
        "None",
    ]


@pytest.mark.skipif(sys.platform != "linux", reason="patches the running interpreter's version in memory")
def test_version_warning_as_error_fails_import_and_a_retry_runs_again(python):
    out = python(
        VERSION_PATCH
        + f"""
import sys, warnings
warnings.simplefilter("error")
try:
    import {MODULE_NAME}
except RuntimeWarning as e:
    print("failed:", type(e).__name__)
print("{MODULE_NAME}" in sys.modules)
warnings.simplefilter("ignore")
import {MODULE_NAME} as qel
print(qel.QELError.__name__, qel.handle_error_code(0))
"""
    )
    assert out.splitlines() == ["failed: RuntimeWarning", "False", "QELError None"]


@pytest.mark.parametrize(
    "sabotage, undo, expected",
    [
        (
            "sys.modules['typing'] = None",
            "del sys.modules['typing']",
            "ModuleNotFoundError: import of typing halted; None in sys.modules",
        ),
        (
            "import re, types; sys.modules['enum'] = types.ModuleType('enum')",
            "sys.modules['enum'] = real_enum",
            "ImportError: cannot import name IntEnum",
        ),
        (
            "import builtins; saved = builtins.enumerate; del builtins.enumerate",
            "builtins.enumerate = saved",
            "NameError: name 'enumerate' is not defined",
        ),
    ],
)
def test_failed_execute_step_lets_a_retry_run_every_step(python, sabotage, undo, expected):
    out = python(
        f"""
        import sys, enum
        real_enum = enum
        {sabotage}
        try:
            import {MODULE_NAME}
        except Exception as e:
            print(f"{{type(e).__name__}}: {{e}}")
        {undo}
        import {MODULE_NAME} as qel
        print(qel.IntEnum is real_enum.IntEnum, qel.ImgType.IMG_END, len(qel.QEL_ERROR_CODE_TO_EXCEPTION))
        """
    )
    assert out.splitlines() == [expected, "True -1 30"]


# ---- the function type


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(qel, name):
    fn = getattr(qel, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == MODULE_NAME
    assert fn.__defaults__ is None
    assert fn.__kwdefaults__ is None
    assert callable(fn)


def test_annotations_are_strings_in_a_dict_of_each_function(qel):
    fn = qel.handle_error_code
    assert fn.__annotations__ == {"qel_error_code": "int", "return": "None"}
    assert fn.__annotations__ is fn.__annotations__
    assert all(type(v) is str for v in fn.__annotations__.values())


def test_handle_error_code_has_no_docstring(qel):
    assert qel.handle_error_code.__doc__ is None


def test_signature_and_code_object(qel):
    fn = qel.handle_error_code
    signature = inspect.signature(fn)
    assert str(signature) == "(qel_error_code: 'int') -> 'None'"
    assert [p.kind for p in signature.parameters.values()] == [inspect.Parameter.POSITIONAL_OR_KEYWORD]
    assert fn.__code__.co_varnames == ("qel_error_code",)
    assert fn.__code__.co_argcount == 1
    assert fn.__code__.co_name == "handle_error_code"


def test_failure_adds_a_traceback_entry_naming_the_function(qel):
    with pytest.raises(TypeError) as info:
        qel.handle_error_code()
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-1] == "handle_error_code"
    with pytest.raises(qel.QELTimeout) as info:
        qel.handle_error_code(5)
    assert [frame.name for frame in traceback.extract_tb(info.value.__traceback__)][-1] == "handle_error_code"


def test_functions_pickle_by_reference(qel):
    import pickle

    assert pickle.loads(pickle.dumps(qel.handle_error_code)) is qel.handle_error_code


def test_function_type_cannot_be_instantiated(qel):
    with pytest.raises(TypeError):
        type(qel.handle_error_code)()
