"""ST4 guiding and drift: the pointing moves at the guide rate and frames shift with it."""

from __future__ import annotations

import pytest

from helpers import CAMERAS

from . import sdk
from .sdk import MONO, lib

RATE = 2.0  # the monochrome model's guide rate, sensor pixels per second


def hold(sim, direction, seconds, cam=MONO):
    """Guide in one direction for about `seconds` of simulated time; returns the shortest and the
    longest time the relay can have been on, in seconds."""
    t0 = sim.now_us()
    sdk.ok(lib.QELPulseGuideOn(cam, direction))
    t1 = sim.now_us()
    while sim.now_us() - t1 < seconds * 1e6:
        pass
    t2 = sim.now_us()
    sdk.ok(lib.QELPulseGuideOff(cam, direction))
    t3 = sim.now_us()
    return (t2 - t1) / 1e6, (t3 - t0) / 1e6


@pytest.mark.parametrize("direction, dx, dy", [(sdk.NORTH, 0, -1), (sdk.SOUTH, 0, 1), (sdk.EAST, -1, 0), (sdk.WEST, 1, 0)])
def test_guiding_moves_the_pointing_at_the_guide_rate(fast, direction, dx, dy):
    sdk.ok(lib.QELOpenCamera(MONO))
    assert fast.pointing(MONO) == (0.0, 0.0)
    shortest, longest = hold(fast, direction, 3)
    x, y = fast.pointing(MONO)
    moved = dx * x + dy * y
    assert RATE * shortest <= moved <= RATE * longest
    assert (x if dx == 0 else y) == 0
    later = fast.pointing(MONO)
    assert later == (x, y)  # guiding off: no more movement


def test_opposite_directions_cancel(fast):
    sdk.ok(lib.QELOpenCamera(MONO))
    t0 = fast.now_us()
    sdk.ok(lib.QELPulseGuideOn(MONO, sdk.EAST))
    shortest, _ = hold(fast, sdk.WEST, 2)
    sdk.ok(lib.QELPulseGuideOff(MONO, sdk.EAST))
    east_alone = (fast.now_us() - t0) / 1e6 - shortest  # at most this long east without west
    assert -RATE * east_alone <= fast.pointing(MONO)[0] <= 0
    assert shortest >= 2


def test_guide_off_without_on_is_harmless(fast):
    sdk.ok(lib.QELOpenCamera(MONO))
    for d in range(4):
        sdk.ok(lib.QELPulseGuideOff(MONO, d))
    assert fast.pointing(MONO) == (0.0, 0.0)


def star(cam=MONO, b=1):
    w, h, _, t = sdk.roi(cam)
    return sdk.centroid(sdk.pixels(sdk.expose(cam), t), w, h)


@pytest.fixture
def guide_star(fast):
    """A star of magnitude 10 at the centre of the monochrome camera's sensor, seen through still air
    (no seeing jitter: frames are compared with the pointing, which has none)."""
    fast.configure(CAMERAS.replace("\nserial", "\nseeing_jitter = 0\nserial"))
    fast.set_clock_speed(100)
    fast.set_stars([(*fast.pixel_to_sky(MONO, 1023.7, 767.4), 10.0, 0.6)])
    return fast


@pytest.mark.parametrize("direction, b", [(sdk.NORTH, 1), (sdk.WEST, 1), (sdk.SOUTH, 2), (sdk.EAST, 2)])
def test_frames_shift_by_the_guided_distance(guide_star, direction, b):
    fast = guide_star
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


def test_a_flipped_frame_shifts_the_other_way(guide_star):
    fast = guide_star
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 128, 96, 1, sdk.RAW16))
    sdk.set_control(MONO, sdk.EXPOSURE, 500_000)
    sdk.set_control(MONO, sdk.FLIP, 1)
    x0, _ = star()
    p0 = fast.pointing(MONO)[0]
    hold(fast, sdk.WEST, 3)
    x1, _ = star()
    assert x1 - x0 == pytest.approx(-(fast.pointing(MONO)[0] - p0), abs=0.25)


def test_drift_moves_the_scene_without_guiding(simulator):
    simulator.configure("clock = stepped\n[camera]\nmodel = M1\ndrift_x = 1.5\ndrift_y = -0.5\n")
    simulator.advance(4_000_000)
    x, y = simulator.pointing(0)
    seconds = simulator.now_us() / 1e6
    assert x == pytest.approx(1.5 * seconds, rel=0.05) and y == pytest.approx(-0.5 * seconds, rel=0.05)


def test_long_guiding_sessions_keep_an_exact_pointing(simulator):
    sdk.ok(lib.QELOpenCamera(MONO))
    simulator.set_clock_speed(1e4)
    shortest = longest = 0.0
    readings = []
    for _ in range(700):  # more relay switches than the pointing keeps in its history
        low, high = hold(simulator, sdk.WEST, 0)
        shortest += low
        longest += high
        readings.append(simulator.pointing(MONO)[0])
    assert readings == sorted(readings)  # folding old history in never moves the scene back
    assert RATE * shortest <= readings[-1] <= RATE * longest
    assert readings[-1] == simulator.pointing(MONO)[0]  # no movement once the relays are off
