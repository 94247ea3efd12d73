"""Controls: the caps table of each model, reading and writing values, automatic exposure, and the
cooler's model of the sensor temperature."""

from __future__ import annotations

from ctypes import byref, c_int

import pytest

from . import sdk
from .sdk import COLOUR, MONO, lib

COMMON = {sdk.GAIN, sdk.EXPOSURE, sdk.OFFSET, sdk.BANDWIDTH, sdk.TEMPERATURE, sdk.FLIP, sdk.AUTO_MAX_GAIN,
          sdk.AUTO_MAX_EXP, sdk.AUTO_TARGET_BRIGHTNESS, sdk.HARDWARE_BIN, sdk.HIGH_SPEED_MODE}
EXPECTED_TYPES = {
    MONO: COMMON | {sdk.COOLER_ON, sdk.TARGET_TEMP, sdk.COOLER_POWER_PERC, sdk.ANTI_DEW_HEATER},
    COLOUR: COMMON | {sdk.WB_R, sdk.WB_B, sdk.MONO_BIN, sdk.GPS_SUPPORT, sdk.GPS_START_LINE, sdk.GPS_END_LINE},
}
READ_ONLY = {sdk.TEMPERATURE, sdk.COOLER_POWER_PERC, sdk.GPS_SUPPORT}


def caps_of(cam):
    count = c_int()
    sdk.ok(lib.QELGetNumOfControls(cam, byref(count)))
    out = {}
    for i in range(count.value):
        caps = sdk.ControlCaps()
        sdk.ok(lib.QELGetControlCaps(cam, i, byref(caps)))
        out[caps.control_type] = caps
    assert len(out) == count.value  # no control listed twice
    return out


@pytest.mark.parametrize("cam", [MONO, COLOUR])
def test_caps_table_lists_the_models_controls(simulator, cam):
    sdk.ready(cam)
    caps = caps_of(cam)
    assert set(caps) == EXPECTED_TYPES[cam]
    for t, c in caps.items():
        assert c.name and c.description
        assert c.min_value <= c.default_value <= c.max_value
        assert bool(c.is_writable) == (t not in READ_ONLY)


@pytest.mark.parametrize("cam", [MONO, COLOUR])
def test_caps_are_readable_on_an_open_camera(simulator, cam):
    sdk.ok(lib.QELOpenCamera(cam))
    assert set(caps_of(cam)) == EXPECTED_TYPES[cam]


@pytest.mark.parametrize("cam", [MONO, COLOUR])
def test_values_start_at_the_caps_defaults(simulator, cam):
    sdk.ready(cam)
    for t, c in caps_of(cam).items():
        if t in (sdk.TEMPERATURE, sdk.COOLER_POWER_PERC):
            continue
        assert sdk.get_control(cam, t) == (c.default_value, False), c.name


@pytest.mark.parametrize("cam", [MONO, COLOUR])
def test_every_writable_control_takes_its_limits_and_refuses_beyond(simulator, cam):
    sdk.ready(cam)
    sdk.ok(lib.QELSetROIFormat(cam, 640, 480, 1, sdk.RAW8)) if cam == MONO else None
    for t, c in caps_of(cam).items():
        if not c.is_writable:
            assert lib.QELSetControlValue(cam, t, c.default_value, 0) == sdk.GENERAL
            continue
        high = c.max_value if t not in (sdk.GPS_START_LINE, sdk.GPS_END_LINE) else 1079
        for value in (c.min_value, high):
            sdk.set_control(cam, t, value)
            assert sdk.get_control(cam, t)[0] == value
        refused = sdk.GPS_PARAM_OUT_OF_RANGE if t in (sdk.GPS_START_LINE, sdk.GPS_END_LINE) else sdk.GENERAL
        assert lib.QELSetControlValue(cam, t, c.min_value - 1, 0) == refused
        assert lib.QELSetControlValue(cam, t, c.max_value + 1, 0) == refused
        assert sdk.get_control(cam, t)[0] == high


@pytest.mark.parametrize("cam", [MONO, COLOUR])
def test_auto_flag_only_where_supported(simulator, cam):
    sdk.ready(cam)
    for t, c in caps_of(cam).items():
        if not c.is_writable:
            continue
        rc = lib.QELSetControlValue(cam, t, c.default_value, 1)
        if c.is_auto_supported:
            assert rc == sdk.SUCCESS and sdk.get_control(cam, t) == (c.default_value, True)
        else:
            assert rc == sdk.GENERAL and sdk.get_control(cam, t) == (c.default_value, False)


def test_gps_lines_must_lie_in_the_image_and_follow_a_smaller_region(simulator):
    sdk.ready(COLOUR)
    sdk.set_control(COLOUR, sdk.GPS_END_LINE, 1000)
    sdk.ok(lib.QELSetROIFormat(COLOUR, 320, 240, 1, sdk.RAW8))
    assert lib.QELSetControlValue(COLOUR, sdk.GPS_START_LINE, 240, 0) == sdk.GPS_PARAM_OUT_OF_RANGE
    sdk.set_control(COLOUR, sdk.GPS_START_LINE, 239)
    assert sdk.get_control(COLOUR, sdk.GPS_END_LINE)[0] == 239  # clamped into the new image


def test_automatic_exposure_moves_towards_the_target(fast):
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 128, 128, 1, sdk.RAW8))
    sdk.set_control(MONO, sdk.AUTO_MAX_EXP, 60000)
    sdk.set_control(MONO, sdk.EXPOSURE, 100_000, auto=True)
    fast.set_clock_speed(20_000)
    sdk.ok(lib.QELStartVideoCapture(MONO))
    exposures = []
    for _ in range(12):
        sdk.video_frame(MONO)
        exposures.append(sdk.get_control(MONO, sdk.EXPOSURE)[0])
    sdk.ok(lib.QELStopVideoCapture(MONO))
    # Dim frames at 0.1 s: automatic exposure lengthens them, within its limit.
    assert exposures[-1] > 100_000 * 4
    assert all(e <= 60_000_000 for e in exposures)
    assert sdk.get_control(MONO, sdk.EXPOSURE)[1] is True


def test_automatic_exposure_respects_its_limit(fast):
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 128, 128, 1, sdk.RAW8))
    sdk.set_control(MONO, sdk.AUTO_MAX_EXP, 5)  # milliseconds
    sdk.set_control(MONO, sdk.EXPOSURE, 1000, auto=True)
    sdk.ok(lib.QELStartVideoCapture(MONO))
    for _ in range(8):
        sdk.video_frame(MONO)
    sdk.ok(lib.QELStopVideoCapture(MONO))
    assert sdk.get_control(MONO, sdk.EXPOSURE)[0] == 5000


# ---- the cooler


def temperature(cam=MONO):
    return sdk.get_control(cam, sdk.TEMPERATURE)[0] / 10


def test_sensor_starts_at_ambient_and_stays_there_without_cooler(simulator):
    sdk.ready(MONO)
    simulator.set_clock_speed(100_000)
    assert temperature() == pytest.approx(20, abs=0.1)
    assert sdk.get_control(MONO, sdk.COOLER_POWER_PERC)[0] == 0


@pytest.mark.parametrize("target, settles_at", [(-10, -10), (5, 5), (-40, 20 - 35)])
def test_cooler_drives_temperature_to_target_or_its_limit(stepped, target, settles_at):
    sdk.ready(MONO)
    sdk.set_control(MONO, sdk.TARGET_TEMP, target)
    sdk.set_control(MONO, sdk.COOLER_ON, 1)
    start = stepped.now_us()
    readings = []
    while stepped.now_us() - start < 1_200_000_000:  # 20 simulated minutes, a reading every second
        readings.append(temperature())
        stepped.advance(1_000_000)
    assert readings[0] > readings[-1]
    assert all(a >= b - 0.1 for a, b in zip(readings, readings[1:]))  # first order: no overshoot
    assert readings[-1] == pytest.approx(settles_at, abs=0.2)


def test_cooler_follows_a_first_order_curve(simulator):
    sdk.ready(MONO)
    sdk.set_control(MONO, sdk.TARGET_TEMP, -10)
    sdk.set_control(MONO, sdk.COOLER_ON, 1)
    t0 = simulator.now_us()  # before the speed-up, where a pause of a microsecond is a simulated second
    simulator.set_clock_speed(1e6)
    while simulator.now_us() - t0 < 60_000_000:  # one time constant
        pass
    simulator.set_clock_speed(1e-3)  # freeze, to read the temperature at a known time
    elapsed = (simulator.now_us() - t0) / 60e6
    expected = -10 + 30 * 2.718281828 ** -elapsed
    assert temperature() == pytest.approx(expected, abs=0.6)


def test_cooler_power_reads_with_the_load(simulator):
    sdk.ready(MONO)
    sdk.set_control(MONO, sdk.TARGET_TEMP, -10)
    sdk.set_control(MONO, sdk.COOLER_ON, 1)
    assert sdk.get_control(MONO, sdk.COOLER_POWER_PERC)[0] == 100  # pulling down from ambient
    simulator.set_clock_speed(1e6)
    t0 = simulator.now_us()
    while simulator.now_us() - t0 < 1_200_000_000:
        pass
    # Holding 30 degrees below ambient with a 35 degree cooler: about 86 %.
    assert sdk.get_control(MONO, sdk.COOLER_POWER_PERC)[0] == pytest.approx(86, abs=3)
    sdk.set_control(MONO, sdk.COOLER_ON, 0)
    assert sdk.get_control(MONO, sdk.COOLER_POWER_PERC)[0] == 0


def test_turning_the_cooler_off_warms_back_to_ambient(simulator):
    sdk.ready(MONO)
    simulator.set_temperature(MONO, -15)
    assert temperature() == pytest.approx(-15, abs=0.1)
    simulator.set_clock_speed(1e6)
    t0 = simulator.now_us()
    while simulator.now_us() - t0 < 1_200_000_000:
        pass
    assert temperature() == pytest.approx(20, abs=0.2)


def test_forced_temperature_is_refused_out_of_range(simulator):
    with pytest.raises(simulator.SimulatorError):
        simulator.set_temperature(MONO, 150)


def test_dark_current_grows_with_temperature(fast):
    # A sensor slow to change temperature, covered: the dark holds only dark current at each temperature.
    fast.configure("[camera]\nmodel = M1\ncooler_tau = 3600\n")
    fast.set_cover(MONO, True)
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 128, 128, 1, sdk.RAW16))
    sdk.set_control(MONO, sdk.EXPOSURE, 300_000_000)
    sdk.set_control(MONO, sdk.OFFSET, 0)
    fast.set_clock_speed(100_000)
    levels = []
    for celsius in (-20, 30):
        fast.set_temperature(MONO, celsius)
        levels.append(sdk.mean(sdk.pixels(sdk.expose(MONO, dark=True), sdk.RAW16)))
    assert levels[1] > 5 * levels[0]
