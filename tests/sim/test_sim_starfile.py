"""The real sky from a star catalogue file (made here from a few hand-written Tycho-2 rows), and the true
WCS of an image against the frames themselves."""

from __future__ import annotations

import math

import numpy as np
import pytest

from brevalo.vra_qel_python_bindings import sim, skyfile
from helpers import CAMERAS
from stars import detect

from . import sdk

MAS = 3.6e6


def tycho_row(width, fields):
    """One fixed-width catalogue row: fields at their 1-based first byte."""
    row = [" "] * (width - 1)
    for first, text in fields.items():
        row[first - 1:first - 1 + len(text)] = text
    return "".join(row) + "\n"


def main_row(ra, dec, pm=(0.0, 0.0), bt=None, vt=None, flag=" ", observed=None):
    fields = {1: "0001 00001 1", 14: flag}
    if flag != "X":
        fields.update({16: f"{ra:12.8f}", 29: f"{dec:+12.8f}", 42: f"{pm[0]:7.1f}", 50: f"{pm[1]:7.1f}"})
    o = observed or (ra, dec)
    fields.update({153: f"{o[0]:12.8f}", 166: f"{o[1]:+12.8f}"})
    if bt is not None:
        fields[111] = f"{bt:6.3f}"
    if vt is not None:
        fields[124] = f"{vt:6.3f}"
    return tycho_row(207, fields)


def supplement_row(ra, dec, pm=None, bt=None, vt=None, flag=" "):
    fields = {1: "0001 00002 1", 14: "H", 16: f"{ra:12.8f}", 29: f"{dec:+12.8f}", 82: flag}
    if pm:
        fields.update({42: f"{pm[0]:7.1f}", 50: f"{pm[1]:7.1f}"})
    if bt is not None:
        fields[84] = f"{bt:6.3f}"
    if vt is not None:
        fields[97] = f"{vt:6.3f}"
    return tycho_row(123, fields)


RA, DEC = 120.0, 30.0
STARS = {
    # name: the row, and where (ra, dec at J2000) and what (V, B-V) the simulator should make of it
    "moving": (main_row(RA, DEC, pm=(2000.0, -1000.0), bt=9.0, vt=8.0), (RA, DEC, 8.0 - 0.09, 0.85)),
    "x_flagged": (main_row(0, 0, flag="X", observed=(RA + 0.1, DEC + 0.05), bt=7.5, vt=7.3), (RA + 0.1, DEC + 0.05, 7.282, 0.17)),
    "vt_only": (main_row(RA - 0.1, DEC, vt=9.0), (RA - 0.1, DEC, 9.0 - 0.069, 0.65)),
    "bt_only": (main_row(RA, DEC - 0.1, bt=10.0), (RA, DEC - 0.1, 10.0 - 0.834, 0.65)),
    # Supplement 1: at J1991.25, carried to J2000 by 8.75 years of its motion.
    "supplement": (supplement_row(RA + 0.05, DEC - 0.05, pm=(360.0, 720.0), bt=6.6, vt=6.0),
                   (RA + 0.05 + 0.36 * 8.75 / 3600 / math.cos(math.radians(DEC - 0.05)), DEC - 0.05 + 0.72 * 8.75 / 3600,
                    6.0 - 0.09 * 0.6, 0.51)),
    "hp_only": (supplement_row(RA - 0.05, DEC + 0.05, vt=1.5, flag="H"), (RA - 0.05, DEC + 0.05, 1.5, 0.65)),
}


@pytest.fixture(scope="module")
def star_file(tmp_path_factory):
    directory = tmp_path_factory.mktemp("tycho2")
    main = [row for row, _ in STARS.values() if len(row) == 207]
    for k in range(20):
        (directory / f"tyc2.dat.{k:02d}").write_bytes(("".join(main) if k == 7 else "").encode())
    (directory / "suppl_1.dat").write_bytes("".join(row for row, _ in STARS.values() if len(row) == 123).encode())
    path = directory / "stars.qsky"
    skyfile.write(skyfile.convert(directory), path)
    return path


def field(star_file, utc="2000-01-01T00:00:00", extra="", user=None):
    sim.configure(f"sky_catalogue = {star_file}\nutc = {utc}\nclock = stepped\n" + CAMERAS.replace(
        "model = M1\n", f"model = M1\nra = {RA}\ndec = {DEC}\npixel_scale = 1\n{extra}", 1))
    if user is not None:
        sim.set_stars(user)
    return sim.stars(0)


@pytest.fixture(autouse=True)
def back_to_the_test_cameras():
    yield
    sim.configure(CAMERAS)


def test_the_file_holds_the_catalogue_by_its_rules(star_file):
    stars = skyfile.read(star_file)
    assert len(stars) == len(STARS)
    for name, (_, (ra, dec, v, bv)) in STARS.items():
        d = np.hypot((stars["ra"] - ra) * math.cos(math.radians(dec)), stars["dec"] - dec) * 3600
        i = int(np.argmin(d))
        assert d[i] < 0.01, name
        assert (stars["v"][i], stars["bv"][i]) == pytest.approx((v, bv), abs=0.0015), name


@pytest.mark.parametrize("utc, years", [("2000-01-01T00:00:00", 0.0), ("2024-01-01T12:00:00", 24.0)])
def test_stars_move_by_their_proper_motion_to_the_date_and_flagged_ones_stay(star_file, utc, years):
    on = field(star_file, utc=utc, extra="star_density = 0\n")
    assert len(on) == len(STARS)  # the synthetic stars are off: the catalogue's alone, none dropped
    for name in ("moving", "x_flagged"):
        ra, dec, v, _ = STARS[name][1]
        star = min(on, key=lambda s: abs(s.mag - v))
        motion = (2.0, -1.0) if name == "moving" else (0.0, 0.0)  # arc seconds per year
        assert (star.ra - ra) * math.cos(math.radians(dec)) * 3600 == pytest.approx(motion[0] * years, abs=0.02)
        assert (star.dec - dec) * 3600 == pytest.approx(motion[1] * years, abs=0.02)
        x, y = sim.sky_to_pixel(0, star.ra, star.dec)
        assert (star.x, star.y) == pytest.approx((x, y), abs=0.01)


def test_synthetic_stars_are_only_fainter_than_the_catalogue(star_file):
    on = field(star_file)
    synthetic = [s for s in on if min(abs(s.mag - t[2]) for _, t in STARS.values()) > 0.002]
    assert len(synthetic) > 1000
    assert min(s.mag for s in synthetic) >= 11.5
    # Without the catalogue the same camera's synthetic sky starts from the brightest stars.
    sim.configure(f"sky_catalogue = none\nclock = stepped\n" + CAMERAS.replace(
        "model = M1\n", f"model = M1\nra = {RA}\ndec = {DEC}\npixel_scale = 1\n", 1))
    assert min(s.mag for s in sim.stars(0)) < 11.5


def test_a_star_of_the_users_list_replaces_the_catalogues(star_file):
    ra, dec, v, _ = STARS["hp_only"][1]
    # The user's list has the star a little off, with its real colour; and a star of its own.
    on = field(star_file, extra="star_density = 0\n", user=[(ra + 5 / 3600, dec, v - 0.3, 1.5), (RA, DEC + 0.1, 5.0, 0.0)])
    near = [s for s in on if abs(s.ra - ra) < 0.01 and abs(s.dec - dec) < 0.01]
    assert [(s.mag, s.bv) for s in near] == [pytest.approx((v - 0.3, 1.5))]
    assert len(on) == len(STARS) + 1


def test_sim_says_which_sky_is_on(star_file, monkeypatch, tmp_path):
    field(star_file)
    assert sim.sky().catalogue == str(star_file) and sim.sky().stars == len(STARS)
    monkeypatch.setenv("QELSIM_SKY_CATALOGUE", str(tmp_path / "missing.qsky"))
    sim.configure(CAMERAS)
    assert sim.sky().catalogue is None and "missing.qsky" in sim.sky().note
    monkeypatch.setenv("QELSIM_SKY_CATALOGUE", str(star_file))
    sim.configure(CAMERAS)
    assert sim.sky().stars == len(STARS)
    sim.configure("sky_catalogue = none\n" + CAMERAS)  # the configuration's word is the last
    assert sim.sky().catalogue is None
    (tmp_path / "bad.qsky").write_bytes(b"QELSKY01" + bytes(100))
    with pytest.raises(sim.SimulatorError, match="line 1: .*bad.qsky is not a star catalogue file"):
        sim.configure(f"sky_catalogue = {tmp_path / 'bad.qsky'}\n" + CAMERAS)


# ---- the true WCS against the frames


@pytest.mark.parametrize(
    "camera, roi, flip, guide",
    [
        ("rotation = 30\n", (512, 384, 1, 300, 200), 0, None),
        ("rotation = -100\n", (256, 192, 2, 150, 100), 1, None),
        ("pier_side = west\nrotation = 10\n", (512, 384, 1, 300, 200), 3, sdk.NORTH),
        ("rotation = 200\n", (400, 300, 3, 100, 60), 2, sdk.WEST),
    ],
)
def test_the_wcs_puts_a_star_where_the_frame_shows_it(camera, roi, flip, guide):
    from astropy.wcs import WCS

    sim.configure("clock = stepped\n" + CAMERAS.replace(
        "model = M1\n", f"model = M1\nra = {RA}\ndec = {DEC}\nfwhm = 3\nseeing_jitter = 0\ncosmic_rate = 0\n{camera}", 1))
    w, h, b, x0, y0 = roi
    sdk.ready(sdk.MONO)
    sdk.ok(sdk.lib.QELSetROIFormat(sdk.MONO, w, h, b, sdk.RAW16))
    sdk.ok(sdk.lib.QELSetStartPos(sdk.MONO, x0, y0))
    sdk.set_control(sdk.MONO, sdk.FLIP, flip)
    sdk.set_control(sdk.MONO, sdk.EXPOSURE, 100_000)
    if guide is not None:
        sdk.ok(sdk.lib.QELPulseGuideOn(sdk.MONO, guide))
        sim.advance(5_000_000)
        sdk.ok(sdk.lib.QELPulseGuideOff(sdk.MONO, guide))
    # One star somewhere in the image, the synthetic ones gone.
    centre_x, centre_y = b * (x0 + w * 0.3), b * (y0 + h * 0.6)
    ra, dec = sim.pixel_to_sky(sdk.MONO, centre_x, centre_y)
    sim.set_stars([(ra, dec, 6.0, 0.6)], replace=True)
    image = np.frombuffer(sdk.expose(sdk.MONO), "<u2").reshape(h, w)
    (x, y, _), = detect(image)[:1]
    (found_ra, found_dec), = WCS(sim.wcs(sdk.MONO)).all_pix2world([[x, y]], 0)
    off = math.hypot((found_ra - ra) * math.cos(math.radians(dec)), found_dec - dec) * 3600
    assert off < 0.1 * b * 1.55  # a tenth of an image pixel
