"""The mount, the atmosphere, the stepped clock and events with known truth, measured on frames."""

from __future__ import annotations

import ctypes
import json
import math

import numpy as np
import pytest

from helpers import run_python

from . import sdk
from .sdk import lib

UTC = "2024-03-20T21:30:00"
UTC_US = 1710970200 * 10**6  # the same instant in microseconds since 1970
# A small monochrome camera at 2 arc seconds per pixel in the stepped clock, without the sensor flaws
# that shape the background (hot pixels, cosmic rays, bias pattern, amp glow, sky gradient); stars of a
# Gaussian core 3 px wide; one star at the pointing (the sensor's centre) and no other.
CAMERA = ("[camera]\nmodel = M1\nserial = SIMT0001\nseed = 11\nwidth = 64\nheight = 64\nfocal_length = 464.1\n"
          "hot_pixels = 0\nwarm_pixels = 0\ncosmic_rate = 0\nsky_brightness = 22\nbias_rows = 0\nbias_cols = 0\n"
          "amp_glow = 0\nsky_gradient_x = 0\nsky_gradient_y = 0\nfwhm = 3\npsf_wing = 0\n")


def setup(sim, camera="", mag=10.0, exposure_us=1_000_000, model="M1"):
    sim.configure(f"clock = stepped\nutc = {UTC}\nseed = 3\n" + CAMERA.replace("M1", model) + camera)
    ra, dec = (83.0, 22.0) if model == "M1" else (210.0, 54.3)
    sim.set_stars([(ra, dec, mag, 0.65)], replace=True)
    sdk.ready(0)
    sdk.ok(lib.QELSetROIFormat(0, 64, 64, 1, sdk.RAW16))
    sdk.set_control(0, sdk.GAIN, 0)
    sdk.set_control(0, sdk.EXPOSURE, exposure_us)


def image(data: bytes) -> np.ndarray:
    return np.frombuffer(data, dtype="<u2").reshape(64, 64).astype(float)


def moments(img: np.ndarray, half: int = 10) -> tuple[float, float, float, float, float]:
    """Flux, centroid and variances (x, y) of the light above the background in a box around the star."""
    light = img - np.median(img)
    ys, xs = np.indices(img.shape)
    weight = light.clip(0)
    box = (abs(xs - (weight * xs).sum() / weight.sum()) <= half) & (abs(ys - (weight * ys).sum() / weight.sum()) <= half)
    light = np.where(box, light, 0)
    flux = light.sum()
    cx, cy = (light * xs).sum() / flux, (light * ys).sum() / flux
    return flux, cx, cy, (light * (xs - cx) ** 2).sum() / flux, (light * (ys - cy) ** 2).sum() / flux


def exposure_with(sim, pulses=()):
    """One exposure; `pulses` are (direction, seconds after the start, seconds on) inside it."""
    sdk.ok(lib.QELStartExposure(0, 0))
    t = 0.0
    for direction, at, length in pulses:
        sim.advance(int((at - t) * 1e6))
        sdk.ok(lib.QELPulseGuideOn(0, direction))
        sim.advance(int(length * 1e6))
        sdk.ok(lib.QELPulseGuideOff(0, direction))
        t = at + length
    assert sdk.exposure_status(0) == sdk.EXP_SUCCESS  # the stepped clock moves to the exposure's end
    buf = sdk.buffer(64 * 64 * 2)
    sdk.ok(lib.QELGetDataAfterExp(0, sdk.as_buf(buf), 64 * 64 * 2))
    return image(bytes(buf))


def test_seeing_jitter_falls_as_one_over_root_exposure(simulator):
    sds = {}
    for seconds, mag in [(1, 10.0), (4, 11.5)]:
        setup(simulator, mag=mag, exposure_us=seconds * 1_000_000)
        xs = [moments(exposure_with(simulator))[1:3] for _ in range(150)]
        sds[seconds] = float(np.mean(np.std(np.array(xs), axis=0)))
    assert 0.1 <= sds[1] <= 0.3
    assert sds[4] / sds[1] == pytest.approx(0.5, rel=0.25)


@pytest.mark.parametrize("camera, pulses, expected", [
    # drift of 0.5 px/s over 20 s: a uniform trail of 10 px adds 10^2 / 12 to the variance along it
    ("drift_x = 0.5\n", (), 100 / 12),
    # a 1 s pulse at the guide rate r (here sqrt(2) px/s) in the middle of a 2 s exposure: r^2 / 6
    ("guide_rate = 1.41421\n", ((sdk.WEST, 0.5, 1.0),), 2 / 6),
])
def test_motion_during_an_exposure_trails_the_stars(simulator, camera, pulses, expected):
    seconds = 20 if not pulses else 2
    setup(simulator, "seeing_jitter = 0\n" + camera, mag=11 if not pulses else 9, exposure_us=seconds * 1_000_000)
    _, _, _, vx, vy = moments(exposure_with(simulator, pulses), half=10 if pulses else 13)
    tolerance = 0.8 if not pulses else 0.05
    assert vx - vy == pytest.approx(expected, abs=tolerance)


def test_periodic_error_swings_an_unguided_video(simulator):
    # 5 arc seconds of amplitude over 480 s at 2 arc seconds per pixel: 5 px from one side to the other.
    setup(simulator, "periodic_error = 5 480\n", mag=11, exposure_us=2_000_000)
    sdk.ok(lib.QELStartVideoCapture(0))
    t, x = [], []
    for _ in range(300):
        data, record = sdk.video_frame(0, 10_000, gps=False), None
        t.append(simulator.now_us() / 1e6)
        x.append(moments(image(data))[1])
    sdk.ok(lib.QELStopVideoCapture(0))
    w = 2 * math.pi / 480
    t = np.array(t) - 2.0 - 1.0  # mid-exposure: the frame is delivered one exposure and its readout later
    basis = np.column_stack([np.ones_like(t), np.sin(w * t), np.cos(w * t)])
    coef = np.linalg.lstsq(basis, np.array(x), rcond=None)[0]
    assert 2 * math.hypot(coef[1], coef[2]) == pytest.approx(5.0, rel=0.1)


def test_declination_backlash_swallows_a_reversal(simulator):
    # 4 arc seconds of play (2 px); guide rate 2 px/s.
    setup(simulator, "seeing_jitter = 0\ndec_backlash = 4\n", mag=7, exposure_us=100_000)

    def y_after(direction, seconds):
        if direction is not None:
            sdk.ok(lib.QELPulseGuideOn(0, direction))
            simulator.advance(int(seconds * 1e6))
            sdk.ok(lib.QELPulseGuideOff(0, direction))
        return moments(exposure_with(simulator))[2]

    y0 = y_after(None, 0)
    y_north = y_after(sdk.NORTH, 2)
    y_slack = y_after(sdk.SOUTH, 0.75)  # 1.5 px of the 2 px of play
    y_south = y_after(sdk.SOUTH, 1.0)   # 0.5 px more of play, then 1.5 px of motion
    assert y_north - y0 == pytest.approx(-4, abs=0.1)
    assert y_slack - y_north == pytest.approx(0, abs=0.05)
    assert y_south - y_slack == pytest.approx(1.5, abs=0.1)


SCRIPT = """
import hashlib, json, ctypes
from brevalo.vra_qel_python_bindings import sim
from tests.sim import sdk
from tests.sim.sdk import lib
sim.configure({config!r})
sdk.ready(0)
sdk.ok(lib.QELSetROIFormat(0, 128, 64, 1, sdk.RAW16))
sdk.set_control(0, sdk.EXPOSURE, 40000)
sdk.ok(lib.QELStartVideoCapture(0))
out = []
for i in range(12):
    data, record = sdk.video_frame(0, 1000, gps=True)
    out.append([hashlib.sha256(data).hexdigest(), sdk.gps_utc_us(record), sdk.dropped(0)])
    if i == 5:
        sim.advance(400000)  # ten frames come while nobody reads: the queue of 3 loses 7
sdk.ok(lib.QELStopVideoCapture(0))
print(json.dumps(out))
"""


def test_stepped_clock_repeats_frames_stamps_and_drops_across_processes(simulator):
    config = (f"clock = stepped\nutc = {UTC}\nseed = 9\n[camera]\nmodel = C2\nserial = SIMT0002\n"
              "drift_x = 3\ndrift_y = -1\nperiodic_error = 4 60\n")
    runs = []
    for _ in range(3):
        done = run_python(SCRIPT.format(config=config))
        assert done.returncode == 0, done.stderr
        runs.append(json.loads(done.stdout))
    assert runs[0] == runs[1] == runs[2]
    frames = runs[0]
    assert len({h for h, _, _ in frames}) == len(frames)  # the drift and the noise change every frame
    assert [d for _, _, d in frames][-1] == 7


def flux_series(sim, frames):
    """Star flux (aperture minus background) and GPS start stamps of the next `frames` video frames."""
    out = []
    ys, xs = np.indices((64, 64))
    inside = (xs - 32) ** 2 + (ys - 32) ** 2 <= 8**2
    for _ in range(frames):
        data, record = sdk.video_frame(0, 1000, gps=True)
        img = image(data)
        out.append(((img - np.median(img[~inside]))[inside].sum(), sdk.gps_utc_us(record)))
    return out


def test_occultation_dims_exactly_the_frames_inside_it(simulator):
    # 25 fps; the star goes out 0.5 s + 13 ms after the UTC origin and comes back 0.3 s later.
    t1, t2 = UTC_US + 513_000, UTC_US + 813_000
    iso = lambda us: f"{UTC}.{(us - UTC_US):06d}"  # noqa: E731
    setup(simulator, f"gps = yes\noccultation = 83 22 0 {iso(t1)} {iso(t2)}\n", mag=6, exposure_us=40_000)
    (event,) = simulator.events(0)
    assert (event.kind, event.start_us, event.end_us, event.level) == ("occultation", t1, t2, 0)
    sdk.ok(lib.QELStartVideoCapture(0))
    series = flux_series(simulator, 30)
    sdk.ok(lib.QELStopVideoCapture(0))
    full = np.median([f for f, s in series if s + 40_000 <= t1 or s >= t2])
    for flux, start in series:
        overlap = max(0, min(start + 40_000, t2) - max(start, t1)) / 40_000
        assert flux / full == pytest.approx(1 - overlap, abs=0.05)
        if overlap == 1:
            assert flux / full <= 0.05
    starts = [s for _, s in series]
    first_dark = min(s for f, s in series if f / full < 0.95)
    last_dark = max(s for f, s in series if f / full < 0.95)
    assert t1 - 40_000 < first_dark <= t1 and t2 - 40_000 < last_dark < t2
    assert all(b - a == 40_000 for a, b in zip(starts, starts[1:]))


def test_gps_fix_loss_and_recovery_show_in_the_frames(simulator):
    setup(simulator, f"gps_loss = {UTC}.200000 {UTC}.600000\n", exposure_us=40_000, model="C2")
    sdk.ok(lib.QELStartVideoCapture(0))
    seen = []
    for _ in range(25):
        _, record = sdk.video_frame(0, 1000, gps=True)
        start, end = sdk.GpsData(), sdk.GpsData()
        rc = lib.QELGPSGetData(0, ctypes.byref(start), ctypes.byref(end))
        seen.append((sdk.gps_utc_us(record) - UTC_US, record.satellite_num, record.latitude, rc))
    sdk.ok(lib.QELStopVideoCapture(0))
    for at, satellites, latitude, rc in seen:
        lost = 200_000 <= at < 600_000
        assert (satellites, latitude == 0, rc) == ((0, True, sdk.GPS_DATA_INVALID) if lost else (11, False, sdk.SUCCESS))
    assert any(200_000 <= at < 600_000 for at, *_ in seen) and seen[-1][0] >= 600_000


@pytest.mark.parametrize("kind", ["satellite", "meteor"])
def test_streaks_cross_the_frame_where_the_truth_says(simulator, kind):
    # From (10, 20) to the right at 40 px/s for 1 s, inside a 2 s exposure that starts at the UTC origin.
    setup(simulator, f"seeing_jitter = 0\n{kind} = {UTC}.500000 10 20 0 40 1 6\n", mag=30, exposure_us=2_000_000)
    (event,) = simulator.events(0)
    assert (event.kind, event.x1, event.y1) == (kind, 50.0, 20.0)
    img = exposure_with(simulator)
    row = img[20] - np.median(img)
    lit = np.flatnonzero(row > 0.2 * row.max())
    assert (lit.min(), lit.max()) == pytest.approx((10, 50), abs=2 if kind == "satellite" else 8)
    # A satellite leaves even light along its track; a meteor's rises and falls.
    middle, ends = row[28:33].mean(), np.concatenate([row[12:17], row[43:48]]).mean()
    assert middle / ends == pytest.approx(1, abs=0.15) if kind == "satellite" else middle / ends > 1.5


@pytest.mark.parametrize("camera, direction, expected", [
    ("rotation = 90\n", sdk.NORTH, (4, 0)),       # the camera turned: north is to the right
    ("pier_side = west\n", sdk.WEST, (-4, 0)),    # after a meridian flip the image is turned over ...
    ("pier_side = west\n", sdk.NORTH, (0, -4)),   # ... and so is the declination axis
])
def test_camera_angle_and_pier_side_turn_the_guide_directions(simulator, camera, direction, expected):
    setup(simulator, camera)
    sdk.ok(lib.QELPulseGuideOn(0, direction))
    simulator.advance(2_000_000)  # at the guide rate of 2 px/s
    sdk.ok(lib.QELPulseGuideOff(0, direction))
    assert simulator.pointing(0) == pytest.approx(expected, abs=1e-9)


def test_the_west_side_of_the_pier_turns_the_sky_over(simulator):
    seen = {}
    for side in ("east", "west"):
        setup(simulator, f"pier_side = {side}\n")
        seen[side] = simulator.sky_to_pixel(0, 83.004, 22.003)
    (xe, ye), (xw, yw) = seen["east"], seen["west"]
    assert (xw, yw) == pytest.approx((63 - xe, 63 - ye), abs=1e-6)  # about the centre, 31.5
    assert abs(xe - 31.5) > 5 and abs(ye - 31.5) > 5


def test_polar_misalignment_drifts_in_declination(simulator):
    # 10 arc minutes from the pole, at hour angle 0: the declination drifts at 600" x the sidereal rate.
    setup(simulator, "polar_error = 10\n")
    simulator.advance(600_000_000)
    x, y = simulator.pointing(0)
    assert x == pytest.approx(0, abs=1e-9) and -y == pytest.approx(600 * 7.2921e-5 * 600 / 2.0, rel=0.01)


def test_clouds_come_and_go_and_scintillation_flickers_short_frames(simulator):
    setup(simulator, "clouds = 0.8\ncloud_time = 100\n", mag=8)
    fluxes = []
    for _ in range(200):
        fluxes.append(moments(exposure_with(simulator))[0])
        simulator.advance(9_000_000)
    share = np.array(fluxes) / max(fluxes)
    assert share.min() == pytest.approx(0.2, abs=0.08)  # the thickest clouds take 80 %
    assert (share > 0.97).mean() > 0.2  # and the sky clears between them
    sds = []
    for flicker in ("no", "yes"):
        setup(simulator, f"scintillation = {flicker}\nairmass = 2\naltitude = 1000\n", mag=6, exposure_us=40_000)
        flux = np.array([moments(exposure_with(simulator))[0] for _ in range(200)])
        sds.append(flux.std() / flux.mean())
    # 0.09 D^(-2/3) X^1.75 exp(-h / 8000 m) / sqrt(2 t): 20 cm, airmass 2, 1000 m, 40 ms
    expected = 0.09 * 20 ** (-2 / 3) * 2**1.75 * math.exp(-1000 / 8000) / math.sqrt(0.08)
    assert sds[0] < 0.01 and sds[1] == pytest.approx(expected, rel=0.2)
