"""Camera modes and triggers: soft, edge and level triggers, the external input, trigger outputs."""

from __future__ import annotations

from ctypes import byref, c_int

import pytest

from . import sdk
from .sdk import COLOUR, MONO, lib


def modes(cam):
    m = sdk.SupportedMode()
    sdk.ok(lib.QELGetCameraSupportMode(cam, byref(m)))
    return list(m.modes)


@pytest.mark.parametrize("cam, expected", [(MONO, [0]), (COLOUR, list(range(7)))])
def test_supported_modes(simulator, cam, expected):
    sdk.ready(cam)
    assert modes(cam) == expected + [-1] * (16 - len(expected))
    for m in range(-2, 9):
        rc = lib.QELSetCameraMode(cam, m)
        assert rc == (sdk.SUCCESS if m in expected else sdk.INVALID_MODE)
        mode = c_int()
        sdk.ok(lib.QELGetCameraMode(cam, byref(mode)))
        if rc == sdk.SUCCESS:
            assert mode.value == m


def triggered(mode, exposure=100_000, **controls):
    sdk.ready(COLOUR)
    sdk.ok(lib.QELSetROIFormat(COLOUR, 64, 32, 1, sdk.RAW8))
    sdk.set_control(COLOUR, sdk.EXPOSURE, exposure)
    for control, value in controls.items():
        sdk.set_control(COLOUR, getattr(sdk, control.upper()), value)
    sdk.ok(lib.QELSetCameraMode(COLOUR, mode))
    sdk.ok(lib.QELStartVideoCapture(COLOUR))


def no_frame(wait_ms=300):
    return lib.QELGetVideoData(COLOUR, sdk.as_buf(sdk.buffer(2048)), 2048, wait_ms) == sdk.TIMEOUT


def exposure_of(record_pair):
    """Exposure length from a frame's start and end records (start and end line 0)."""
    start, end = record_pair
    return sdk.gps_utc_us(end) - sdk.gps_utc_us(start)


def last_records():
    a, b = sdk.GpsData(), sdk.GpsData()
    sdk.ok(lib.QELGPSGetData(COLOUR, byref(a), byref(b)))
    return a, b


def test_soft_edge_takes_one_frame_per_trigger(fast):
    triggered(sdk.MODE_SOFT_EDGE)
    assert no_frame()
    for _ in range(3):
        sdk.ok(lib.QELSendSoftTrigger(COLOUR, 1))
        sdk.video_frame(COLOUR)
        assert exposure_of(last_records()) == 100_000
        assert no_frame(50)
    sdk.ok(lib.QELSendSoftTrigger(COLOUR, 0))  # the end of a soft edge does nothing
    assert no_frame()
    assert sdk.dropped(COLOUR) == 0


def test_soft_edge_frame_starts_at_the_trigger(fast):
    triggered(sdk.MODE_SOFT_EDGE)
    before = fast.now_us()
    sdk.ok(lib.QELSendSoftTrigger(COLOUR, 1))
    after = fast.now_us()
    _, start = sdk.video_frame(COLOUR, gps=True)
    utc0 = sdk.gps_utc_us(start) - before  # the GPS clock at simulated time 0, give or take
    assert 0 <= sdk.gps_utc_us(start) - utc0 - before <= after - before


def held_between(fast, on, off, seconds):
    """Calls on(), waits, calls off(); returns the shortest and longest time the level can have lasted."""
    t0 = fast.now_us()
    on()
    t1 = fast.now_us()
    while fast.now_us() - t1 < seconds * 1e6:
        pass
    t2 = fast.now_us()
    off()
    t3 = fast.now_us()
    return t2 - t1, t3 - t0


def test_soft_level_exposes_while_held(fast):
    triggered(sdk.MODE_SOFT_LEVEL, exposure=32)
    shortest, longest = held_between(fast, lambda: sdk.ok(lib.QELSendSoftTrigger(COLOUR, 1)),
                                     lambda: sdk.ok(lib.QELSendSoftTrigger(COLOUR, 0)), 0.4)
    sdk.video_frame(COLOUR)
    assert shortest <= exposure_of(last_records()) <= longest
    assert no_frame(50)


@pytest.mark.parametrize("mode, active", [(sdk.MODE_RISE_EDGE, 1), (sdk.MODE_FALL_EDGE, 0)])
def test_hardware_edges_take_frames(fast, mode, active):
    fast.set_trigger_input(COLOUR, not active)
    triggered(mode)
    assert no_frame()
    for _ in range(2):
        fast.set_trigger_input(COLOUR, active)  # the mode's edge: a frame
        sdk.video_frame(COLOUR)
        fast.set_trigger_input(COLOUR, not active)  # the other edge: nothing
        assert no_frame(150)
    fast.set_trigger_input(COLOUR, not active)  # no change of level, no edge
    assert no_frame(150)


@pytest.mark.parametrize("mode, active", [(sdk.MODE_HIGH_LEVEL, 1), (sdk.MODE_LOW_LEVEL, 0)])
def test_hardware_levels_expose_while_active(fast, mode, active):
    fast.set_trigger_input(COLOUR, not active)
    triggered(mode, exposure=32)
    assert no_frame()
    shortest, longest = held_between(fast, lambda: fast.set_trigger_input(COLOUR, active),
                                     lambda: fast.set_trigger_input(COLOUR, not active), 0.25)
    sdk.video_frame(COLOUR)
    assert shortest <= exposure_of(last_records()) <= longest


def test_low_level_exposes_from_the_start_when_the_line_is_low(fast):
    triggered(sdk.MODE_LOW_LEVEL, exposure=32)  # the line rests low
    assert no_frame(100)
    fast.set_trigger_input(COLOUR, 1)
    sdk.video_frame(COLOUR)
    assert exposure_of(last_records()) >= 100_000


@pytest.mark.parametrize("mode, duration, expected", [
    (sdk.MODE_RISE_EDGE, 0, 100_000),  # edges expose for the exposure control's time
    (sdk.MODE_FALL_EDGE, 0, 100_000),
    (sdk.MODE_HIGH_LEVEL, 250_000, 250_000),  # levels for as long as the pulse lasts
    (sdk.MODE_LOW_LEVEL, 40_000, 40_000),
])
def test_a_pulse_takes_one_frame(fast, mode, duration, expected):
    fast.set_trigger_input(COLOUR, mode == sdk.MODE_LOW_LEVEL)  # the idle level of the mode
    triggered(mode)
    fast.trigger_pulse(COLOUR, duration)
    sdk.video_frame(COLOUR)
    assert exposure_of(last_records()) == expected
    assert no_frame(100)


def test_triggers_queue_behind_a_busy_sensor(stepped):
    triggered(sdk.MODE_SOFT_EDGE, exposure=200_000)
    for _ in range(3):
        sdk.ok(lib.QELSendSoftTrigger(COLOUR, 1))
    starts = [sdk.gps_utc_us(sdk.video_frame(COLOUR, gps=True)[1]) for _ in range(3)]
    assert [b - a for a, b in zip(starts, starts[1:])] == [200_000, 200_000]


def test_pulses_and_levels_without_capture_take_no_frame(fast):
    sdk.ready(COLOUR)
    sdk.ok(lib.QELSetCameraMode(COLOUR, sdk.MODE_RISE_EDGE))
    fast.trigger_pulse(COLOUR, 0)
    fast.set_trigger_input(COLOUR, 1)
    fast.set_trigger_input(COLOUR, 0)
    sdk.ok(lib.QELSetROIFormat(COLOUR, 64, 32, 1, sdk.RAW8))
    sdk.ok(lib.QELStartVideoCapture(COLOUR))
    assert no_frame()


def test_control_api_trigger_needs_a_trigger_camera(simulator):
    for fn in (lambda: simulator.set_trigger_input(MONO, 1), lambda: simulator.trigger_pulse(MONO, 0)):
        with pytest.raises(simulator.SimulatorError, match="23"):
            fn()
    assert lib.QELSimTriggerPulse(COLOUR, -1) == sdk.GENERAL
    assert lib.QELSimTriggerPulse(9, 0) == sdk.INVALID_ID


@pytest.mark.parametrize("pin", [sdk.PIN_A, sdk.PIN_B])
def test_trigger_outputs_keep_their_configuration_per_pin(simulator, pin):
    sdk.ready(COLOUR)
    other = 1 - pin
    sdk.ok(lib.QELSetTriggerOutputIOConf(COLOUR, pin, 1, 1500, 250))
    for p, expected in [(pin, (1, 1500, 250)), (other, (0, 0, 0))]:
        high, delay, duration = c_int(-1), c_int(-1), c_int(-1)
        sdk.ok(lib.QELGetTriggerOutputIOConf(COLOUR, p, byref(high), byref(delay), byref(duration)))
        assert (high.value, delay.value, duration.value) == expected
    sdk.ok(lib.QELInitCamera(COLOUR))  # initialisation restores the defaults
    high, delay, duration = c_int(-1), c_int(-1), c_int(-1)
    sdk.ok(lib.QELGetTriggerOutputIOConf(COLOUR, pin, byref(high), byref(delay), byref(duration)))
    assert (high.value, delay.value, duration.value) == (0, 0, 0)


def test_a_pulse_on_a_line_held_active_changes_nothing(fast):
    triggered(sdk.MODE_HIGH_LEVEL, exposure=32)
    fast.set_trigger_input(COLOUR, 1)  # held active: one exposure runs
    fast.trigger_pulse(COLOUR, 10_000)
    assert no_frame(100)
    fast.set_trigger_input(COLOUR, 0)  # released: that one exposure ends
    sdk.video_frame(COLOUR)
    assert exposure_of(last_records()) >= 100_000
    assert no_frame(100)
