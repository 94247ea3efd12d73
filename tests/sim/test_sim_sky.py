"""The simulated sky and sensor, measured on frames: stars, photometry, sensor flaws, noise, colour, darks."""

from __future__ import annotations

import math

import numpy as np
import pytest

from . import sdk
from .sdk import COLOUR, MONO, lib

SIZES = {MONO: (2048, 1536), COLOUR: (1920, 1080)}
# A clean sensor: no flaws, no read noise, no dark current, one electron one ADU.
CLEAN = ("bit_depth = 16\nelec_per_adu = 1\nread_noise = 0\nread_noise_gain0 = 0\ndark_current = 0\nhot_pixels = 0\n"
         "warm_pixels = 0\namp_glow = 0\nbias_rows = 0\nbias_cols = 0\nprnu = 0\nvignetting = 1\nsky_gradient_x = 0\n"
         "sky_gradient_y = 0\ncosmic_rate = 0\n")


def frame(cam, w=None, h=None, b=1, t=sdk.RAW16, dark=False, x=None, y=None, **controls):
    """One exposure as a float array (rows, columns[, channels]); full sensor unless a size is given."""
    w, h = (w, h) if w else (SIZES[cam][0] // b, SIZES[cam][1] // b)
    sdk.ok(lib.QELSetROIFormat(cam, w, h, b, t))
    if x is not None:
        sdk.ok(lib.QELSetStartPos(cam, x, y))
    for control, value in controls.items():
        sdk.set_control(cam, getattr(sdk, control.upper()), value)
    data = np.frombuffer(sdk.expose(cam, dark=dark), dtype="<u2" if t == sdk.RAW16 else np.uint8).astype(float)
    return data.reshape(h, w, 3) if t == sdk.RGB24 else data.reshape(h, w)


def setup(sim, config=None, speed=1e6):
    sim.configure(config) if config else sim.reset()
    if not sim.clock_stepped():
        sim.set_clock_speed(speed)
    for cam in range(lib.QELGetNumOfConnectedCameras()):
        sdk.ready(cam)
    return sim


def robust_sd(a):
    return 1.4826 * np.median(np.abs(a - np.median(a)))


def superpixels(a):
    """Sum of each 2x2 cell of a Bayer mosaic: a grey image at half the resolution."""
    return a[0::2, 0::2] + a[1::2, 0::2] + a[0::2, 1::2] + a[1::2, 1::2]


def stars_above(img, hot, n):
    """Local maxima standing n sigma (of the background) above the background, hot pixels masked."""
    background, sd = np.median(img), robust_sd(img)
    c = img[1:-1, 1:-1]
    peak = (c - background > n * sd) & ~hot[1:-1, 1:-1]
    for dy in (-1, 0, 1):
        for dx in (-1, 0, 1):
            if dy or dx:
                peak &= c > img[1 + dy:img.shape[0] - 1 + dy, 1 + dx:img.shape[1] - 1 + dx]
    return np.argwhere(peak) + 1


def hot_mask(dark):
    return dark > np.median(dark) + 5 * robust_sd(dark)


def count_stars(sim, cam, exposure, n):
    sim.set_cover(cam, True)
    dark = frame(cam, exposure=exposure)
    sim.set_cover(cam, False)
    light = frame(cam, exposure=exposure)
    if cam == COLOUR:
        light, dark = superpixels(light), superpixels(dark)
    return stars_above(light, hot_mask(dark), n), light


# ---- defaults that look like a night sky


@pytest.mark.parametrize("cam", [MONO, COLOUR])
def test_the_default_frame_is_not_black(simulator, cam):
    setup(simulator)
    data = frame(cam, t=sdk.RAW8)
    assert data.mean() >= 1 and data.min() < data.max()


@pytest.mark.parametrize("cam", [MONO, COLOUR])
def test_a_second_at_the_defaults_shows_a_field_of_stars(simulator, cam):
    setup(simulator)
    found, _ = count_stars(simulator, cam, 1_000_000, 10)
    assert len(found) >= 50


def test_the_demo_frame_shows_stars(simulator):
    # The frame of `make demo`: camera 0, gain 100, 20 ms, half size at bin 2 in RAW16.
    setup(simulator)
    simulator.set_cover(MONO, True)
    dark = frame(MONO, b=2, gain=100, exposure=20_000)
    simulator.set_cover(MONO, False)
    assert len(stars_above(frame(MONO, b=2), hot_mask(dark), 10)) >= 30


def test_star_counts_grow_with_depth_like_the_sky(simulator):
    setup(simulator)
    short, _ = count_stars(simulator, MONO, 1_000_000, 5)
    deep, img = count_stars(simulator, MONO, 10_000_000, 5)
    assert len(deep) >= 2 * len(short)
    # Instrumental magnitudes from 5x5 boxes; per magnitude, counts rise about 2.5 times over the six
    # faintest bins before detection starts to miss stars (the most populated bin is the last of them).
    background = np.median(img)
    inner = deep[(deep[:, 0] > 2) & (deep[:, 1] > 2) & (deep[:, 0] < img.shape[0] - 3) & (deep[:, 1] < img.shape[1] - 3)]
    flux = np.array([img[y - 2:y + 3, x - 2:x + 3].sum() - 25 * background for y, x in inner])
    mags = -2.5 * np.log10(flux[flux > 0])
    counts, _ = np.histogram(mags, bins=np.arange(math.floor(mags.min()), math.ceil(mags.max()) + 1))
    top = int(np.argmax(counts))
    assert top >= 5
    slope = np.polyfit(np.arange(6), np.log(counts[top - 5:top + 1]), 1)[0]
    assert 1.8 <= math.exp(slope) <= 3.5


# ---- where the stars are


def tan_projection(ra, dec, ra0, dec0, scale, rotation, cx, cy):
    """Gnomonic projection written out: north up and east left at rotation 0, degrees in, pixels out."""
    a, d, a0, d0 = map(math.radians, (ra, dec, ra0, dec0))
    cosc = math.sin(d0) * math.sin(d) + math.cos(d0) * math.cos(d) * math.cos(a - a0)
    xi = math.cos(d) * math.sin(a - a0) / cosc
    eta = (math.cos(d0) * math.sin(d) - math.sin(d0) * math.cos(d) * math.cos(a - a0)) / cosc
    px, py = -math.degrees(xi) * 3600 / scale, -math.degrees(eta) * 3600 / scale
    r = math.radians(rotation)
    return cx + px * math.cos(r) - py * math.sin(r), cy + px * math.sin(r) + py * math.cos(r)


@pytest.mark.parametrize("optics, scale", [("focal_length = 800", 206.264806 * 4.5 / 800), ("pixel_scale = 1.16", 1.16)])
def test_the_sky_falls_on_the_sensor_by_the_gnomonic_projection(simulator, optics, scale):
    setup(simulator, f"[camera]\nmodel = M1\nra = 120\ndec = 60\n{optics}\nrotation = 30\n")
    for ra, dec in [(120, 60), (120.5, 60.2), (119.4, 59.7)]:
        x, y = simulator.sky_to_pixel(MONO, ra, dec)
        assert (x, y) == pytest.approx(tan_projection(ra, dec, 120, 60, scale, 30, 1023.5, 767.5), abs=0.01)
        assert simulator.pixel_to_sky(MONO, x, y) == pytest.approx((ra, dec), abs=1e-9)


def centroid_near(img, x, y, box=3):
    ix, iy = int(round(x)), int(round(y))
    patch = img[iy - box:iy + box + 1, ix - box:ix + box + 1]
    patch = patch - np.median(img)
    ys, xs = np.mgrid[iy - box:iy + box + 1, ix - box:ix + box + 1]
    return (patch * xs).sum() / patch.sum(), (patch * ys).sum() / patch.sum()


STARS_AT = [(300.3, 200.6), (1500.8, 1100.25), (1024.5, 767.5)]


@pytest.mark.parametrize("b, flip, start", [(1, 0, None), (2, 0, None), (1, 3, (101, 53)), (2, 1, (7, 3))])
def test_catalogue_stars_land_on_their_projected_positions(simulator, b, flip, start):
    setup(simulator, "[camera]\nmodel = M1\nprnu = 0\nseeing_jitter = 0\n")  # still air: the truth has no seeing
    catalogue = [(*simulator.pixel_to_sky(MONO, x, y), 9.5, 0.6) for x, y in STARS_AT]
    simulator.set_stars(catalogue, replace=True)
    w, h = (2048 // b - 256 // b, 1536 // b - 256 // b) if start else (2048 // b, 1536 // b)
    x0, y0 = start if start else (0, 0)
    img = frame(MONO, w, h, b, x=x0, y=y0, exposure=200_000, gain=0, flip=flip)
    for ra, dec, _, _ in catalogue:
        sx, sy = simulator.sky_to_pixel(MONO, ra, dec)
        # Sensor pixels to image pixels: binning, the region's start, the flip.
        u, v = (sx - (b - 1) / 2) / b - x0, (sy - (b - 1) / 2) / b - y0
        u, v = (w - 1 - u if flip & 1 else u), (h - 1 - v if flip & 2 else v)
        mx, my = centroid_near(img, u, v)
        assert math.hypot(mx - u, my - v) * b < 0.1


def test_the_same_sky_holds_the_same_stars_for_every_camera(simulator):
    setup(simulator, "[camera]\nmodel = M1\nra = 10\ndec = 20\n[camera]\nmodel = C2\nra = 10.1\ndec = 20.05\n")

    def catalogue(cam):
        return {(round(s.ra, 9), round(s.dec, 9), round(s.mag, 4)) for s in simulator.stars(cam) if s.mag < 17}

    mono, colour = catalogue(MONO), catalogue(COLOUR)
    shared = mono & colour
    assert len(shared) > 30
    # Every star of one camera inside the other's field is in the other's list.
    for s in simulator.stars(MONO):
        x, y = simulator.sky_to_pixel(COLOUR, s.ra, s.dec)
        if s.mag < 17 and 5 < x < 1915 and 5 < y < 1075:
            assert (round(s.ra, 9), round(s.dec, 9), round(s.mag, 4)) in colour


def test_real_bright_stars_come_from_a_shipped_catalogue(simulator):
    setup(simulator, "[camera]\nmodel = M1\nra = 68.98\ndec = 16.51\n")  # Aldebaran at the centre
    simulator.set_stars(simulator.bright_stars())
    brightest = simulator.stars(MONO)[0]
    assert brightest.mag == pytest.approx(0.87, abs=0.05) and brightest.bv > 1  # a K5 giant
    assert (brightest.x, brightest.y) == pytest.approx((1023.5, 767.5), abs=20)
    assert frame(MONO, 64, 64, exposure=1_000, gain=0).max() >= 0.9 * 65532  # saturates at once


def test_a_catalogue_file_adds_stars(simulator, tmp_path):
    path = tmp_path / "stars.txt"
    path.write_text("# ra dec mag b-v\n83.0, 22.0, 8.5, 1.2\n83.01 22.01 9.0\n")
    setup(simulator, f"catalogue = {path}\ncatalogue_mode = replace\n[camera]\nmodel = M1\nra = 83\ndec = 22\n")
    assert [(s.mag, s.bv) for s in simulator.stars(MONO)] == [(8.5, pytest.approx(1.2)), (9.0, pytest.approx(0.65))]
    path.write_text("83 22 8\n83 95 7\n")
    with pytest.raises(simulator.SimulatorError, match="stars.txt line 2: a star is 'ra dec mag"):
        simulator.configure(f"catalogue = {path}\n")
    with pytest.raises(simulator.SimulatorError):
        simulator.set_stars([(400.0, 0.0, 5.0, 0.5)])


# ---- the sensor


def test_hot_pixels_stay_put_and_follow_the_dark_current_law(simulator):
    setup(simulator, "[camera]\nmodel = M1\ncosmic_rate = 0\n")
    simulator.set_cover(MONO, True)
    sdk.set_control(MONO, sdk.EXPOSURE, 600_000_000)
    region = dict(w=1024, h=768)
    first, second = frame(MONO, **region), frame(MONO, **region)
    sd = robust_sd(first)
    hot = first - np.median(first) > 10 * sd
    assert hot.mean() >= 1e-4
    assert (second[hot] - np.median(second) > 5 * sd).mean() >= 0.95
    # Twelve degrees cooler: a quarter of the dark current, in hot pixels too.
    sdk.set_control(MONO, sdk.TARGET_TEMP, 8)
    sdk.set_control(MONO, sdk.COOLER_ON, 1)
    t0 = simulator.now_us()
    while simulator.now_us() - t0 < 1_800_000_000:  # half an hour to settle
        pass
    cold = frame(MONO, **region)
    warm_signal, cold_signal = first - np.median(first), cold - np.median(cold)
    usable = hot & (first < 60_000) & (cold_signal > 10 * robust_sd(cold))  # below the converter's top
    assert usable.sum() > 50
    assert np.median(warm_signal[usable] / cold_signal[usable]) == pytest.approx(4, rel=0.15)


def flat(sim, level=10_000):
    """A flat of about `level` electrons at the centre, at gain 0 (1.25 ADU per electron)."""
    probe = frame(MONO, exposure=100_000, gain=0, offset=20)
    rate = (np.median(probe[700:836, 960:1088]) - 320) / 1.25 / 0.1
    return frame(MONO, exposure=int(level / rate * 1e6))


def test_flats_show_vignetting_and_a_fixed_pixel_pattern(simulator):
    setup(simulator, "[camera]\nmodel = M1\nstar_density = 0\nsky_brightness = 12\nsky_gradient_x = 0\n"
          "sky_gradient_y = 0\namp_glow = 0\n")
    a, b = flat(simulator), flat(simulator)
    centre, corner = a[704:832, 960:1088].mean(), a[:128, :128].mean()
    assert (corner - 320) / (centre - 320) <= 0.9
    # The pixel pattern: each flat relative to its own smooth light, block by block.
    def pattern(f):
        smooth = f.reshape(96, 16, 128, 16).mean(axis=(1, 3)).repeat(16, 0).repeat(16, 1)
        return (f / smooth - 1)[128:-128, 128:-128].ravel()
    assert np.corrcoef(pattern(a), pattern(b))[0, 1] >= 0.4


def test_bias_noise_does_not_repeat_and_the_seed_reaches_star_pixels(simulator):
    setup(simulator)
    simulator.set_cover(MONO, True)
    bias = frame(MONO, exposure=32).astype(np.uint16)
    runs = bias[:, : 2048 // 16 * 16].reshape(-1, 16)
    _, counts = np.unique(runs, axis=0, return_counts=True)
    assert (counts[counts > 1].sum()) / len(runs) < 0.001

    def star_pixels(seed):
        setup(simulator, f"[camera]\nmodel = M1\nseed = {seed}\nhot_pixels = 0\nwarm_pixels = 0\ncosmic_rate = 0\n"
              "prnu = 0\nseeing_jitter = 0\n")  # still air: only the noise may differ
        simulator.set_stars([(*simulator.pixel_to_sky(MONO, 1024.2, 768.7), 9.0, 0.6)], replace=True)
        return frame(MONO, 128, 128, exposure=100_000, gain=0, x=960, y=704)

    a, b = star_pixels(1), star_pixels(2)
    bright = (a - 640) / 1.25 > 500  # electrons above the bias
    assert bright.sum() >= 5
    electrons = (a[bright] - 640) / 1.25
    # Frames of different seeds differ in the star's pixels by its shot noise.
    assert np.var((a[bright] - b[bright]) / 1.25) == pytest.approx(2 * electrons.mean(), rel=0.5)
    assert (a[bright] != b[bright]).mean() > 0.9


def test_shot_noise_is_poisson_at_one_electron(simulator):
    setup(simulator, "[camera]\nmodel = M1\nstar_density = 0\n" + CLEAN)
    probe = frame(MONO, 256, 256, exposure=10_000_000, gain=0, offset=0)
    one = frame(MONO, 512, 512, exposure=int(10_000_000 / probe.mean()))
    assert one.mean() == pytest.approx(1, rel=0.03)
    skew = ((one - one.mean()) ** 3).mean() / one.std() ** 3
    assert skew == pytest.approx(1, abs=0.1)
    assert one.min() == 0 and np.all(one == np.round(one))
    assert (one == 0).mean() == pytest.approx(math.exp(-1), abs=0.01)


def read_noise_e(cam, gain, k):
    a, b = frame(cam, 512, 256, exposure=32, gain=gain, offset=40), frame(cam, 512, 256)
    return np.std(a - b) / math.sqrt(2) / k


def test_read_noise_is_lowest_at_the_lowest_read_noise_gain(simulator):
    setup(simulator)
    simulator.set_cover(MONO, True)
    k = lambda gain: 10 ** (gain / 200) / 0.8  # noqa: E731  ADU per electron
    assert read_noise_e(MONO, 0, k(0)) >= 1.5 * read_noise_e(MONO, 250, k(250))


def test_small_pixels_hold_small_wells(simulator):
    # The photon transfer curve of the colour camera at gain 0: the variance stops growing at saturation.
    setup(simulator, "[camera]\nmodel = M1\n[camera]\nmodel = C2\nstar_density = 0\nsky_brightness = 10\n")
    means, variances = [], []
    for exposure in np.geomspace(2_000, 5_000_000, 16).astype(int):
        a = frame(COLOUR, 128, 128, exposure=int(exposure), gain=0, offset=8)[0::2, 1::2]  # green sites
        b = frame(COLOUR, 128, 128)[0::2, 1::2]
        means.append((a.mean() - 128) * 1.5)
        variances.append(np.var(a - b) / 2)
    full = means[int(np.argmax(variances))]
    assert 5_000 < full <= 20_000
    assert max(means) <= 20_000


def test_a_dark_begun_at_cooler_on_integrates_the_cooling_curve(simulator):
    # The stepped clock: the dark starts at the instant the cooler is turned on.
    setup(simulator, "clock = stepped\n[camera]\nmodel = M1\nhot_pixels = 0\nwarm_pixels = 0\ncosmic_rate = 0\namp_glow = 0\n")
    simulator.set_cover(MONO, True)
    bias = frame(MONO, 256, 256, exposure=32, gain=0, offset=40)
    sdk.set_control(MONO, sdk.TARGET_TEMP, -10)
    sdk.set_control(MONO, sdk.COOLER_ON, 1)
    dark = frame(MONO, 256, 256, exposure=600_000_000)
    measured = (dark.mean() - bias.mean()) / 1.25
    # 0.02 e-/s at 0 C, doubling every 6 C, over T(t) = -10 + 30 exp(-t / 60 s).
    t = np.linspace(0, 600, 60001)
    expected = (0.02 * 2 ** ((-10 + 30 * np.exp(-t / 60)) / 6)).mean() * 600
    assert measured == pytest.approx(expected, rel=0.2)


# ---- colour


def test_star_colours_show_through_the_bayer_filters(simulator):
    setup(simulator)
    img = frame(COLOUR, exposure=1_000_000, gain=100)
    ratios = []
    for s in simulator.stars(COLOUR):
        x, y = int(round(s.x)), int(round(s.y))
        if not (8 <= x < 1912 and 8 <= y < 1072):
            continue
        box = img[y - 4 & ~1:(y - 4 & ~1) + 10, x - 4 & ~1:(x - 4 & ~1) + 10]
        if box.max() >= 0.9 * 65520:
            continue  # saturated
        red, green = box[0::2, 0::2] - 512, (box[0::2, 1::2] + box[1::2, 0::2]) / 2 - 512  # RG pattern
        ratios.append(red.sum() / green.sum())
        if len(ratios) == 20:
            break
    assert len(ratios) == 20 and np.std(ratios) >= 0.15


def test_rgb24_is_demosaicked_and_the_default_white_balance_is_neutral(simulator):
    setup(simulator, "[camera]\nmodel = M1\n[camera]\nmodel = C2\nstar_density = 0\nsky_brightness = 16\n")
    region = dict(w=512, h=256, t=sdk.RGB24, gain=300, exposure=20_000_000)
    a, b = frame(COLOUR, **region), frame(COLOUR, **region)
    d = a - b
    corr = [np.corrcoef(d[:, :-1, c].ravel(), d[:, 1:, c].ravel())[0, 1] for c in range(3)]
    corr += [np.corrcoef(d[:-1, :, c].ravel(), d[1:, :, c].ravel())[0, 1] for c in range(3)]
    assert 0.2 <= np.mean(corr) <= 0.7
    simulator.set_cover(COLOUR, True)
    dark = frame(COLOUR, **region)
    sky = a.mean(axis=(0, 1)) - dark.mean(axis=(0, 1))
    assert sky[0] / sky[1] == pytest.approx(1, abs=0.1) and sky[2] / sky[1] == pytest.approx(1, abs=0.1)


def mosaic_phase(flip, start, w=64, h=32):
    """The filter colours (0 red, 1 green, 2 blue) of the image's top-left 2x2 pixels by the documented
    rule for an RG sensor: image pixel (i, j) shows region pixel (w-1-i if flipped horizontally, h-1-j if
    vertically), which is sensor pixel start + that."""
    cfa = [[0, 1], [1, 2]]
    colours = [[0, 0], [0, 0]]
    for j in range(2):
        for i in range(2):
            x = start[0] + (w - 1 - i if flip & 1 else i)
            y = start[1] + (h - 1 - j if flip & 2 else j)
            colours[j][i] = cfa[y & 1][x & 1]
    return colours


@pytest.mark.parametrize("flip", [0, 1, 2, 3])
@pytest.mark.parametrize("start", [(100, 50), (101, 50), (100, 51), (101, 51)])
def test_the_mosaic_phase_follows_flip_and_start(simulator, flip, start):
    # A red sky: red sites brightest, blue ones darkest.
    setup(simulator, "[camera]\nmodel = M1\n[camera]\nmodel = C2\nstar_density = 0\nsky_brightness = 17\n"
          "sky_color = 2\n")
    img = frame(COLOUR, 64, 32, x=start[0], y=start[1], exposure=5_000_000, flip=flip)
    sites = np.array([[img[j::2, i::2].mean() for i in range(2)] for j in range(2)])
    colours = np.array(mosaic_phase(flip, start))
    assert sites[colours == 0].min() > sites[colours == 1].max() > sites[colours == 2].max()


# ---- darks, covers, shutters and the cooler


@pytest.mark.parametrize("shutter, cover, light", [("no", False, True), ("no", True, False), ("yes", False, False)])
def test_dark_frames_keep_the_light_unless_shut_or_covered(simulator, shutter, cover, light):
    setup(simulator, f"[camera]\nmodel = M1\nshutter = {shutter}\nhot_pixels = 0\nwarm_pixels = 0\n")
    simulator.set_cover(MONO, cover)
    dark = frame(MONO, 256, 256, dark=True, exposure=2_000_000, gain=0)
    assert (dark.mean() - 640 > 20) == light  # the sky gives about 35 ADU


@pytest.mark.parametrize("target, heater, settled", [(30, 0, 20), (0, 1, 0), (None, 1, 25)])
def test_the_cooler_cannot_warm_and_the_heater_can(simulator, target, heater, settled):
    setup(simulator)
    if target is not None:
        sdk.set_control(MONO, sdk.TARGET_TEMP, target)
        sdk.set_control(MONO, sdk.COOLER_ON, 1)
    sdk.set_control(MONO, sdk.ANTI_DEW_HEATER, heater)
    t0 = simulator.now_us()
    while simulator.now_us() - t0 < 1_200_000_000:
        pass
    assert sdk.get_control(MONO, sdk.TEMPERATURE)[0] / 10 == pytest.approx(settled, abs=0.2)
    if target == 30:
        assert sdk.get_control(MONO, sdk.COOLER_POWER_PERC)[0] == 0


def test_frames_are_deterministic_by_seed(simulator):
    def shot(config):
        setup(simulator, config)
        return frame(MONO, 256, 256, exposure=1_000_000)

    assert np.array_equal(shot("seed = 3\n"), shot("seed = 3\n"))
    assert not np.array_equal(shot("seed = 3\n"), shot("seed = 4\n"))
    assert not np.array_equal(shot("[camera]\nmodel = M1\nseed = 5\n"), shot("[camera]\nmodel = M1\nseed = 6\n"))
