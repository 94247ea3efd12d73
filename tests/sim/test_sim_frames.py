"""Region of interest, single exposures and frame content."""

from __future__ import annotations

from ctypes import byref, c_int

import pytest

from . import sdk
from .sdk import COLOUR, MONO, lib

# ---- region of interest


@pytest.mark.parametrize(
    "cam, w, h, b, t",
    [
        (MONO, 2048, 1536, 1, sdk.RAW16),
        (MONO, 1024, 768, 2, sdk.RAW8),
        (MONO, 680, 512, 3, sdk.Y8),  # 2048 / 3 leaves 682 columns: 680 is the widest multiple of 8
        (MONO, 8, 2, 4, sdk.RAW16),
        (COLOUR, 1920, 1080, 1, sdk.RGB24),
        (COLOUR, 960, 540, 2, sdk.RAW16),
        (COLOUR, 320, 200, 1, sdk.Y8),
    ],
)
def test_region_is_set_and_centred(simulator, cam, w, h, b, t):
    sdk.ready(cam)
    info = sdk.info_by_index(cam)
    sdk.ok(lib.QELSetROIFormat(cam, w, h, b, t))
    assert sdk.roi(cam) == (w, h, b, t)
    x, y = sdk.start_pos(cam)
    assert x % 2 == 0 and y % 2 == 0
    assert abs(2 * x + w - info.max_width // b) <= 2 and abs(2 * y + h - info.max_height // b) <= 2


def test_start_position_reaches_every_edge_but_not_past(simulator):
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 512, 256, 2, sdk.RAW8))
    for x, y in [(0, 0), (1024 - 512, 768 - 256), (3, 5)]:
        sdk.ok(lib.QELSetStartPos(MONO, x, y))
        assert sdk.start_pos(MONO) == (x, y)
    for x, y in [(1024 - 511, 0), (0, 768 - 255), (-1, 0), (2**31 - 1, 0)]:
        assert lib.QELSetStartPos(MONO, x, y) == sdk.OUT_OF_BOUNDARY
    assert sdk.start_pos(MONO) == (3, 5)


@pytest.mark.parametrize("change", ["format", "size"])
def test_changing_format_or_size_recentres(simulator, change):
    sdk.ready(COLOUR)
    sdk.ok(lib.QELSetROIFormat(COLOUR, 640, 480, 1, sdk.RAW8))
    centre = sdk.start_pos(COLOUR)
    sdk.ok(lib.QELSetStartPos(COLOUR, 0, 0))
    args = (640, 480, 1, sdk.RAW16) if change == "format" else (640, 480, 1, sdk.RAW8)
    sdk.ok(lib.QELSetROIFormat(COLOUR, *args))
    assert sdk.start_pos(COLOUR) == centre


def test_start_position_may_move_during_video(fast):
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 64, 64, 1, sdk.RAW8))
    sdk.ok(lib.QELStartVideoCapture(MONO))
    sdk.ok(lib.QELSetStartPos(MONO, 8, 8))
    sdk.video_frame(MONO)
    sdk.ok(lib.QELStopVideoCapture(MONO))
    assert sdk.start_pos(MONO) == (8, 8)


# ---- single exposures


def test_exposure_runs_for_its_time_plus_readout(stepped):
    # On the stepped clock asking the status waits for the exposure: time moves to its readout's end.
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 256, 256, 1, sdk.RAW8))
    sdk.set_control(MONO, sdk.EXPOSURE, 2_000_000)
    readout, _ = stepped.timing(MONO)
    assert sdk.exposure_status(MONO) == sdk.EXP_IDLE
    start = stepped.now_us()
    sdk.ok(lib.QELStartExposure(MONO, 0))
    statuses = [sdk.EXP_WORKING]
    while statuses[-1] == sdk.EXP_WORKING:
        statuses.append(sdk.exposure_status(MONO))
    elapsed = stepped.now_us() - start
    assert statuses[-1] == sdk.EXP_SUCCESS and set(statuses) == {sdk.EXP_WORKING, sdk.EXP_SUCCESS}
    assert 2_000_000 + readout <= elapsed < 4_000_000 + readout


def test_long_exposure_in_milliseconds_with_the_clock_sped_up(simulator):
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 64, 64, 1, sdk.RAW8))
    sdk.set_control(MONO, sdk.EXPOSURE, 1_800_000_000)  # half an hour
    simulator.set_clock_speed(1e6)
    assert len(sdk.expose(MONO)) == 64 * 64


def test_stopping_an_exposure_fails_it(fast):
    sdk.ready(MONO)
    sdk.set_control(MONO, sdk.EXPOSURE, 600_000_000)
    sdk.ok(lib.QELStartExposure(MONO, 0))
    assert sdk.exposure_status(MONO) == sdk.EXP_WORKING
    sdk.ok(lib.QELStopExposure(MONO))
    assert sdk.exposure_status(MONO) == sdk.EXP_FAILED
    size = sdk.image_size(MONO)
    assert lib.QELGetDataAfterExp(MONO, sdk.as_buf(sdk.buffer(size)), size) == sdk.INVALID_SEQUENCE
    sdk.ok(lib.QELStopExposure(MONO))  # stopping again is harmless
    sdk.set_control(MONO, sdk.EXPOSURE, 32)
    sdk.ok(lib.QELSetROIFormat(MONO, 64, 64, 1, sdk.RAW8))
    assert len(sdk.expose(MONO)) == 64 * 64  # and a new exposure starts


def test_image_is_read_once(fast):
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 64, 64, 1, sdk.RAW8))
    sdk.expose(MONO)
    assert sdk.exposure_status(MONO) == sdk.EXP_SUCCESS
    assert lib.QELGetDataAfterExp(MONO, sdk.as_buf(sdk.buffer(4096)), 4096) == sdk.INVALID_SEQUENCE


def test_reading_before_any_exposure_is_refused(fast):
    sdk.ready(MONO)
    assert lib.QELGetDataAfterExp(MONO, sdk.as_buf(sdk.buffer(16)), 16) == sdk.INVALID_SEQUENCE


@pytest.mark.parametrize("cam, t, bpp", [(MONO, sdk.RAW8, 1), (MONO, sdk.RAW16, 2), (MONO, sdk.Y8, 1),
                                         (COLOUR, sdk.RGB24, 3), (COLOUR, sdk.RAW16, 2), (COLOUR, sdk.Y8, 1)])
def test_image_size_per_format(fast, cam, t, bpp):
    sdk.ready(cam)
    sdk.ok(lib.QELSetROIFormat(cam, 96, 40, 2, t))
    size = 96 * 40 * bpp
    sdk.ok(lib.QELStartExposure(cam, 0))
    while sdk.exposure_status(cam) == sdk.EXP_WORKING:
        pass
    assert lib.QELGetDataAfterExp(cam, sdk.as_buf(sdk.buffer(size)), size - 1) == sdk.BUFFER_TOO_SMALL
    sdk.ok(lib.QELGetDataAfterExp(cam, sdk.as_buf(sdk.buffer(size)), size))


# ---- frame content


def shot(cam, w=128, h=128, b=1, t=sdk.RAW16, dark=False, config=None, **controls):
    """One exposure after a reset (to `config` if given): frame number 0, pointing 0, so shots with equal
    settings are equal."""
    from brevalo.vra_qel_python_bindings import sim

    sim.configure(config) if config else sim.reset()
    sim.set_clock_speed(1e5)
    sdk.ready(cam)
    sdk.ok(lib.QELSetROIFormat(cam, w, h, b, t))
    for control, value in controls.items():
        sdk.set_control(cam, getattr(sdk, control.upper()), value)
    return sdk.expose(cam, dark=dark)


def above_bias(data, offset, t=sdk.RAW16):
    return sdk.mean(sdk.pixels(data, t)) - 16 * offset


def test_frames_are_deterministic_for_a_seed(simulator):
    assert shot(MONO, exposure=500_000) == shot(MONO, exposure=500_000)
    assert shot(COLOUR, t=sdk.RGB24, exposure=500_000) == shot(COLOUR, t=sdk.RGB24, exposure=500_000)


@pytest.mark.parametrize(
    "cam, w, h, b, t, controls",
    [
        (MONO, 1000, 802, 1, sdk.RAW16, {"exposure": 30_000_000, "gain": 300}),
        (MONO, 680, 510, 3, sdk.RAW8, {"exposure": 30_000_000, "flip": 3, "hardware_bin": 1}),
        (MONO, 512, 382, 4, sdk.RAW16, {"exposure": 20_000_000, "flip": 1}),
        (COLOUR, 1600, 906, 1, sdk.RGB24, {"exposure": 20_000_000, "flip": 2, "gain": 400}),
        (COLOUR, 960, 538, 2, sdk.Y8, {"exposure": 20_000_000, "flip": 1}),
    ],
)
@pytest.mark.parametrize("threads", [0, 3])
def test_rows_rendered_in_bands_equal_rows_rendered_in_one(simulator, cam, w, h, b, t, controls, threads):
    from helpers import CAMERAS

    def rendered_by(n):
        return shot(cam, w, h, b, t, config=CAMERAS.replace("\nseed", f"\nthreads = {n}\nseed"), **controls)

    one = rendered_by(1)
    grey = sdk.pixels(one, sdk.RAW8 if t == sdk.RGB24 else t)
    # Stars, hot pixels and cosmic rays stand out of the sky: the bands have something to get wrong.
    assert max(grey) - sorted(grey)[len(grey) // 2] > (50 if t != sdk.RAW16 else 50 * 256)
    assert rendered_by(threads) == one


def test_the_seed_changes_the_frames(simulator):
    first = shot(MONO, exposure=500_000)
    simulator.configure("seed = 99\n")
    simulator.set_clock_speed(1e5)
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 128, 128, 1, sdk.RAW16))
    sdk.set_control(MONO, sdk.EXPOSURE, 500_000)
    assert sdk.expose(MONO) != first


def test_consecutive_frames_differ_in_noise(fast):
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 64, 64, 1, sdk.RAW16))
    assert sdk.expose(MONO) != sdk.expose(MONO)


def test_longer_exposure_collects_more_light(simulator):
    short = above_bias(shot(MONO, exposure=1_000_000, offset=20), 20)
    long = above_bias(shot(MONO, exposure=4_000_000, offset=20), 20)
    assert long == pytest.approx(4 * short, rel=0.15)


def test_gain_scales_the_signal(simulator):
    low = above_bias(shot(MONO, exposure=2_000_000, gain=0, offset=20), 20)
    high = above_bias(shot(MONO, exposure=2_000_000, gain=60, offset=20), 20)  # 6 dB: twice the signal
    assert high == pytest.approx(2 * low, rel=0.1)


@pytest.mark.parametrize("offset", [0, 50, 200])
def test_offset_sets_the_bias_level(simulator, offset):
    level = sdk.mean(sdk.pixels(shot(MONO, dark=True, exposure=32, offset=offset), sdk.RAW16))
    assert level == pytest.approx(16 * offset, abs=8)


def test_binning_sums_the_sky_of_the_binned_pixels(simulator):
    def sky(b):  # the median: the background between the stars
        values = sorted(sdk.pixels(shot(MONO, b=b, exposure=4_000_000, offset=20), sdk.RAW16))
        return values[len(values) // 2] - 16 * 20

    assert sky(2) == pytest.approx(4 * sky(1), rel=0.1)


def test_dark_frame_has_no_light(simulator):
    # A model with a mechanical shutter: its dark frames keep the light out.
    config = "[camera]\nmodel = M1\nshutter = yes\n"
    light = sdk.pixels(shot(MONO, w=256, h=256, exposure=2_000_000, offset=20, config=config), sdk.RAW16)
    dark = sdk.pixels(shot(MONO, w=256, h=256, dark=True, exposure=2_000_000, offset=20, config=config), sdk.RAW16)
    assert sdk.mean(light) - sdk.mean(dark) > 50  # the sky alone gives about 110 ADU here
    assert max(light) > max(dark)  # stars outshine hot pixels
    assert sdk.mean(dark) == pytest.approx(16 * 20, abs=40)


@pytest.mark.parametrize("bits, step", [(MONO, 4), (COLOUR, 16)])
def test_raw16_keeps_the_converters_bits_in_little_endian_order(simulator, bits, step):
    data = shot(bits, exposure=3_000_000)
    values = [data[i] | data[i + 1] << 8 for i in range(0, len(data), 2)]
    assert all(v % step == 0 for v in values)
    assert len(set(values)) > 10


def test_raw8_and_y8_are_the_high_bytes_of_raw16(simulator):
    wide = shot(MONO, exposure=3_000_000)
    raw8 = shot(MONO, t=sdk.RAW8, exposure=3_000_000)
    assert raw8 == bytes(wide[1::2])
    assert shot(MONO, t=sdk.Y8, exposure=3_000_000) == raw8


@pytest.mark.parametrize("flip", [1, 2, 3])
@pytest.mark.parametrize("t", [sdk.RAW16, sdk.RGB24])
def test_flip_mirrors_the_image(simulator, flip, t):
    w, h = 64, 48
    bpp = sdk.BYTES_PER_PIXEL[t]
    plain = shot(COLOUR, w=w, h=h, t=t, exposure=1_000_000)
    flipped = shot(COLOUR, w=w, h=h, t=t, exposure=1_000_000, flip=flip)
    rows = [plain[y * w * bpp:(y + 1) * w * bpp] for y in range(h)]
    if flip & 1:
        rows = [b"".join(r[x * bpp:(x + 1) * bpp] for x in reversed(range(w))) for r in rows]
    if flip & 2:
        rows.reverse()
    assert flipped == b"".join(rows)


# A colour camera under a bright sky without stars: the means of its frames are the sky's.
def bright_sky(mag=17):
    return f"[camera]\nmodel = M1\n[camera]\nmodel = C2\nstar_density = 0\nsky_brightness = {mag}\n"


def test_colour_raw_frames_show_the_bayer_mosaic(simulator):
    w = h = 128
    values = sdk.pixels(shot(COLOUR, w=w, h=h, exposure=20_000_000, offset=0, config=bright_sky()), sdk.RAW16)
    site = lambda dx, dy: sdk.mean(values[y * w + x] for y in range(dy, h, 2) for x in range(dx, w, 2))  # noqa: E731
    red, green, blue = site(0, 0), (site(1, 0) + site(0, 1)) / 2, site(1, 1)  # RG pattern
    assert blue < red < green


def test_mono_bin_removes_the_mosaic(simulator):
    w = h = 128
    values = sdk.pixels(shot(COLOUR, w=w, h=h, b=2, exposure=20_000_000, offset=0, mono_bin=1, config=bright_sky()),
                        sdk.RAW16)
    site = lambda dx, dy: sdk.mean(values[y * w + x] for y in range(dy, h, 2) for x in range(dx, w, 2))  # noqa: E731
    assert site(0, 0) == pytest.approx(site(1, 1), rel=0.03)


def test_white_balance_scales_red_and_blue_of_rgb24(simulator):
    def channels(**wb):
        data = shot(COLOUR, w=64, h=64, t=sdk.RGB24, exposure=20_000_000, gain=0, offset=0, config=bright_sky(13), **wb)
        return [sdk.mean(data[c::3]) for c in range(3)]

    r1, g1, b1 = channels(wb_r=25, wb_b=25)
    r2, g2, b2 = channels(wb_r=75, wb_b=75)
    assert g1 == pytest.approx(g2, rel=0.02)
    assert r2 == pytest.approx(3 * r1, rel=0.1) and b2 == pytest.approx(3 * b1, rel=0.1)


def test_exposure_status_needs_a_pointer(simulator):
    sdk.ready(MONO)
    status = c_int(7)
    sdk.ok(lib.QELGetExpStatus(MONO, byref(status)))
    assert status.value == sdk.EXP_IDLE
