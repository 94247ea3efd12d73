"""The shortcuts of the call road step aside as soon as anything they rely on changes.

A success answered without an exception, an enumeration read without its Python code and a result
member taken from the class's table are each taken only while everything they skip is as the module
made it at import. Each case below changes one such thing and checks what the full road then does.
Every case runs in a fresh interpreter, where the shortcuts are still on before the change: the
first observation (before the change) goes through them, the second one must not.
"""

from __future__ import annotations

import sys

import pytest

PRELUDE = """
import enum, struct, sys
from brevalo.vra_qel_python_bindings import qel, sim

calls = []

def observe(thunk):
    try:
        result = thunk()
    except BaseException as error:
        return f"{type(error).__name__}{error.args!r}"
    return repr(result)

def control_sent():
    sim.inject_fault("SetControlValue", 0)
    qel.set_control_value(0, qel.ControlType.QEL_GAIN, 1, False)
    return sim.journal("SetControlValue").args[1]

def camera_mode(value=3):
    sim.inject_fault("GetCameraMode", 0, data=struct.pack("<i", value))
    return qel.get_camera_mode(0)

def exp_status(value=2):
    sim.inject_fault("GetExpStatus", 0, data=struct.pack("<i", value))
    return qel.get_exp_status(0)

def open_camera():
    sim.inject_fault("OpenCamera", 0)
    return qel.open_camera(0), list(calls)

def both_roads():
    return observe(open_camera) + " | " + observe(lambda: (qel.handle_error_code(0), list(calls)))

def show(value):
    print(value if isinstance(value, str) else repr(value))

def profiled(thunk):
    seen = set()
    sys.setprofile(lambda frame, event, arg: seen.add(frame.f_code.co_name) if event == "call" else None)
    try:
        thunk()
    finally:
        sys.setprofile(None)
    return sorted(seen & {"value", "__get__", "__call__", "__new__"})

sim.reset()
"""

SUCCESS = "(None, []) | (None, [])"
MODE = "<CameraMode.QEL_MODE_TRIG_FALL_EDGE: 3>"
CLASS_INIT = """
class Success(qel.QELSuccess):
    def __init__(self):
        calls.append("init")
"""
META = """
class Meta(type):
    def __call__(cls):
        calls.append("meta")
        return super().__call__()
class Success(qel.QELSuccess, metaclass=Meta):
    pass
"""

UNKNOWN = "QELUnknownErrorCode('Unknown error code 0. Update wrapper.',)"
NOT_A_MODE = "ValueError('9 is not a valid CameraMode',)"
PROFILED = "(['__get__', 'value'], ['__call__', '__new__'])"
TABLE = "qel.QEL_ERROR_CODE_TO_EXCEPTION"

# id, the change; what is observed, before the change, after it
CASES = [
    ("handle_error_code rebound", "qel.handle_error_code = lambda code: calls.append(code)",
     "observe(open_camera)", "(None, [])", "(None, [0])"),
    ("table entry 0 replaced", f"{TABLE}[0] = qel.QELTimeout",
     "both_roads()", SUCCESS, "QELTimeout() | QELTimeout()"),
    ("table entry 0 deleted", f"del {TABLE}[0]",
     "both_roads()", SUCCESS, f"{UNKNOWN} | {UNKNOWN}"),
    ("table rebound", f"{TABLE} = {{0: qel.QELInvalidID}}",
     "both_roads()", SUCCESS, "QELInvalidID() | QELInvalidID()"),
    ("QELSuccess rebound", "qel.QELSuccess = qel.QELTimeout",
     "both_roads()", SUCCESS, "QELSuccess() | QELSuccess()"),
    ("QELSuccess subclassed into the table", CLASS_INIT + f"{TABLE}[0] = Success",
     "both_roads()", SUCCESS, "(None, ['init']) | (None, ['init', 'init'])"),
    ("QELSuccess given an __init__", "qel.QELSuccess.__init__ = lambda self: calls.append('init')",
     "both_roads()", SUCCESS, "(None, ['init']) | (None, ['init', 'init'])"),
    ("QELError given a __new__", "qel.QELError.__new__ = lambda cls: calls.append('new') or Exception.__new__(cls)",
     "both_roads()", SUCCESS, "(None, ['new']) | (None, ['new', 'new'])"),
    ("QELSuccess under another metaclass", META + f"qel.QELSuccess = {TABLE}[0] = Success",
     "both_roads()", SUCCESS, "(None, ['meta']) | (None, ['meta', 'meta'])"),
    ("enumeration given a value property", "qel.ControlType.value = property(lambda self: 5)",
     "control_sent()", "0", "5"),
    ("member's _value_ reassigned", "qel.ControlType.QEL_GAIN._value_ = 7",
     "control_sent()", "0", "7"),
    ("inherited value descriptor given another fget", "enum.Enum.__dict__['value'].fget = lambda self: 9",
     "control_sent()", "0", "9"),
    ("value descriptor's class given another __get__", "enum.property.__get__ = lambda self, member, owner=None: 11",
     "control_sent()", "0", "11"),
    ("value property of the enum base replaced", "enum.Enum.value = property(lambda self: 12)",
     "control_sent()", "0", "12"),
    ("result enumeration rebound", "qel.CameraMode = lambda value: ('rebound', value)",
     "camera_mode()", MODE, "('rebound', 3)"),
    ("result enumeration given a __new__", "qel.CameraMode.__new__ = lambda cls, value: ('new', value)",
     "camera_mode()", MODE, "('new', 3)"),
    ("result enumeration's table of values changed", "qel.CameraMode._value2member_map_[3] = 'changed'",
     "camera_mode()", MODE, "changed"),
    ("metaclass given another __call__", "enum.EnumType.__call__ = lambda cls, value: ('meta', value)",
     "camera_mode()", MODE, "('meta', 3)"),
    ("result enumeration under an int annotation rebound", "qel.ExposureStatus = lambda value: 40 + value",
     "exp_status()", "2", "42"),
    ("record getter's enumeration modified", "qel.BayerPattern.__new__ = lambda cls, value: ('bayer', value)",
     "qel.CameraInfo().bayer_pattern", "<BayerPattern.BAYER_RG: 0>", "('bayer', 0)"),
    ("member of no value", "pass", "observe(lambda: camera_mode(9))", NOT_A_MODE, NOT_A_MODE),
    ("profiled calls see enum's code", "pass",
     "(profiled(control_sent), profiled(camera_mode))", PROFILED, PROFILED),
]


@pytest.mark.parametrize("change, probe, before, after", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_shortcut_steps_aside(python, change, probe, before, after):
    script = PRELUDE + f"show({probe})\n{change}\nshow({probe})\n"
    assert python(script).splitlines() == [before, after]


def test_success_makes_nothing_until_the_success_class_changes(python):
    script = PRELUDE + """
import tracemalloc

def made(thunk):
    thunk()
    tracemalloc.start()
    tracemalloc.reset_peak()
    before = tracemalloc.get_traced_memory()[0]
    thunk()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak > before

sim.inject_fault("OpenCamera", 0, times=10)
show((made(lambda: qel.handle_error_code(0)), made(lambda: qel.open_camera(0))))
qel.QELSuccess.__init__ = lambda self: None
show((made(lambda: qel.handle_error_code(0)), made(lambda: qel.open_camera(0))))
"""
    assert python(script).splitlines() == ["(False, False)", "(True, True)"]


# The versions whose enum code the shortcuts were written from; on any other the full road is taken.
ENUM_CODE_READ = (3, 11) <= sys.version_info[:2] <= (3, 15)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring came with CPython 3.12")
def test_enum_code_is_skipped_on_the_versions_it_was_read_from(python):
    # sys.monitoring sees every start of enum's functions without turning the shortcuts off.
    script = PRELUDE + """
import collections
mon = sys.monitoring
started = collections.Counter()
mon.use_tool_id(mon.PROFILER_ID, "test")
mon.register_callback(mon.PROFILER_ID, mon.events.PY_START, lambda code, offset: started.update([code.co_name]))
for fn in (enum.property.__get__, enum.Enum.__dict__["value"].fget, enum.EnumType.__call__, qel.CameraMode.__new__):
    mon.set_local_events(mon.PROFILER_ID, fn.__code__, mon.events.PY_START)
control_sent(), camera_mode()
show(sorted(started.items()))
"""
    full_road = [("__call__", 1), ("__get__", 1), ("__new__", 1), ("value", 1)]
    assert python(script).strip() == repr([] if ENUM_CODE_READ else full_road)
