"""ST4 guiding and drift: the pointing moves at the guide rate and frames shift with it."""

from __future__ import annotations

import pytest

import sdk
from sdk import MONO, lib

RATE = 2.0  # the monochrome model's guide rate, sensor pixels per second


def hold(sim, direction, seconds, cam=MONO):
    """Guide in one direction for about `seconds` of simulated time; returns the time it really lasted."""
    sdk.ok(lib.QELPulseGuideOn(cam, direction))
    t0 = sim.now_us()
    while sim.now_us() - t0 < seconds * 1e6:
        pass
    sdk.ok(lib.QELPulseGuideOff(cam, direction))
    return (sim.now_us() - t0) / 1e6


@pytest.mark.parametrize("direction, dx, dy", [(sdk.NORTH, 0, -1), (sdk.SOUTH, 0, 1), (sdk.EAST, -1, 0), (sdk.WEST, 1, 0)])
def test_guiding_moves_the_pointing_at_the_guide_rate(fast, direction, dx, dy):
    sdk.ok(lib.QELOpenCamera(MONO))
    assert fast.pointing(MONO) == (0.0, 0.0)
    seconds = hold(fast, direction, 3)
    x, y = fast.pointing(MONO)
    assert x == pytest.approx(dx * RATE * seconds, abs=0.1)
    assert y == pytest.approx(dy * RATE * seconds, abs=0.1)
    later = fast.pointing(MONO)
    assert later == (x, y)  # guiding off: no more movement


def test_opposite_directions_cancel(fast):
    sdk.ok(lib.QELOpenCamera(MONO))
    sdk.ok(lib.QELPulseGuideOn(MONO, sdk.EAST))
    seconds = hold(fast, sdk.WEST, 2)
    sdk.ok(lib.QELPulseGuideOff(MONO, sdk.EAST))
    assert fast.pointing(MONO)[0] == pytest.approx(0, abs=RATE * 0.2)
    assert seconds > 1.9


def test_guide_off_without_on_is_harmless(fast):
    sdk.ok(lib.QELOpenCamera(MONO))
    for d in range(4):
        sdk.ok(lib.QELPulseGuideOff(MONO, d))
    assert fast.pointing(MONO) == (0.0, 0.0)


def star(cam=MONO, b=1):
    w, h, _, t = sdk.roi(cam)
    return sdk.centroid(sdk.pixels(sdk.expose(cam), t), w, h)


@pytest.mark.parametrize("direction, b", [(sdk.NORTH, 1), (sdk.WEST, 1), (sdk.SOUTH, 2), (sdk.EAST, 2)])
def test_frames_shift_by_the_guided_distance(fast, direction, b):
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 128, 96, b, sdk.RAW16))
    sdk.set_control(MONO, sdk.EXPOSURE, 500_000)
    sdk.set_control(MONO, sdk.GAIN, 0)
    x0, y0 = star()
    p0 = fast.pointing(MONO)
    hold(fast, direction, 4)
    p1 = fast.pointing(MONO)
    x1, y1 = star()
    # The image moves by the pointing's change, in binned pixels.
    assert x1 - x0 == pytest.approx((p1[0] - p0[0]) / b, abs=0.25)
    assert y1 - y0 == pytest.approx((p1[1] - p0[1]) / b, abs=0.25)
    assert abs(p1[0] - p0[0]) + abs(p1[1] - p0[1]) > 7


def test_a_flipped_frame_shifts_the_other_way(fast):
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 128, 96, 1, sdk.RAW16))
    sdk.set_control(MONO, sdk.EXPOSURE, 500_000)
    sdk.set_control(MONO, sdk.FLIP, 1)
    x0, _ = star()
    hold(fast, sdk.WEST, 3)
    x1, _ = star()
    assert x1 - x0 == pytest.approx(-RATE * 3, abs=0.5)


def test_drift_moves_the_scene_without_guiding(simulator):
    simulator.configure("[camera]\nmodel = M1\ndrift_x = 1.5\ndrift_y = -0.5\n")
    simulator.set_clock_speed(100)
    t0 = simulator.now_us()
    while simulator.now_us() - t0 < 4e6:
        pass
    x, y = simulator.pointing(0)
    seconds = simulator.now_us() / 1e6
    assert x == pytest.approx(1.5 * seconds, rel=0.05) and y == pytest.approx(-0.5 * seconds, rel=0.05)


def test_long_guiding_sessions_keep_an_exact_pointing(simulator):
    sdk.ok(lib.QELOpenCamera(MONO))
    simulator.set_clock_speed(1e4)
    for _ in range(700):  # more relay switches than the pointing keeps in its history
        sdk.ok(lib.QELPulseGuideOn(MONO, sdk.WEST))
        sdk.ok(lib.QELPulseGuideOff(MONO, sdk.WEST))
    total = fast_total = simulator.pointing(MONO)[0]
    assert total > 0 and fast_total == simulator.pointing(MONO)[0]
