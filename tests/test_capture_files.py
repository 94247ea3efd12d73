"""Files that qel-capture and the camera object write, read back: FITS through astropy, SER through a
reader written here from the format's description, PNG through Pillow."""

from __future__ import annotations

import datetime as dt
import os
import shutil
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

from brevalo.vra_qel_python_bindings import cli, qel

fits = pytest.importorskip("astropy.io.fits", reason="the capture extra is not installed")

CONFIG = """
seed = 9
utc = 2024-03-20T21:30:00
[camera]
model = M1
width = 320
height = 240
[camera]
model = C2
width = 320
height = 240
"""
UTC = dt.timezone.utc
GPS_ZERO = dt.datetime(2024, 3, 20, 21, 30, tzinfo=UTC)
HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture
def config(tmp_path, sim):
    path = tmp_path / "sim.ini"
    path.write_text(CONFIG)
    return str(path)


@pytest.fixture
def recorded(monkeypatch, sim):
    """What the tool read from the SDK: simulated start times, images, GPS records of video frames."""
    seen: dict[str, list] = {"starts": [], "images": [], "video_gps": []}

    def wrap(name, after):
        real = getattr(qel, name)

        def call(*args):
            result = real(*args)
            after(result)
            return result

        monkeypatch.setattr(qel, name, call)

    wrap("start_exposure", lambda _: seen["starts"].append(sim.now_us()))
    wrap("get_data_after_exp", seen["images"].append)
    wrap("get_data_after_exp_gps", lambda r: seen["images"].append(r[0]))
    wrap("get_video_data_gps", lambda r: seen["video_gps"].append(r[1]))
    return seen


def date(text: str) -> dt.datetime:
    return dt.datetime.fromisoformat(text).replace(tzinfo=UTC)


@pytest.mark.parametrize(
    "camera, options, expected",
    [
        (0, ["--bin", "2", "--gain", "120", "--offset", "30", "--cooler-target", "-5"],
         {"INSTRUME": "QELSim M1 Mono Cooled", "XBINNING": 2, "XPIXSZ": 9.0, "GAIN": 120, "OFFSET": 30,
          "SET-TEMP": -5.0, "TIMESRC": "HOST CLOCK", "XORGSUBF": 0, "BAYERPAT": None}),
        (1, ["--region", "64x32+5+3", "--dark"],
         {"INSTRUME": "QELSim C2 Colour GPS", "XBINNING": 1, "XPIXSZ": 2.9, "GAIN": 200, "OFFSET": 32,
          "SET-TEMP": None, "TIMESRC": "GPS", "XORGSUBF": 5, "YORGSUBF": 3, "BAYERPAT": "BGGR",
          "XBAYROFF": 0, "IMAGETYP": "Dark Frame", "SITELAT": -33.87}),
    ],
)
def test_expose_writes_fits_with_the_conventional_keywords(tmp_path, recorded, sim, camera, options, expected):
    sim.configure(CONFIG)
    before, now_us, after = time.time(), sim.now_us(), time.time()
    zero = dt.datetime.fromtimestamp((before + after) / 2 - now_us / 1e6, UTC)  # host time at simulated 0
    out = tmp_path / "lights"
    argv = ["expose", "--camera", str(camera), "--exposure", "0.25", "--count", "2"]
    assert cli.main([*argv, "--output", str(out), *options]) == 0
    names = sorted(os.listdir(out))
    prefix = "dark" if "--dark" in options else "light"
    assert names == [f"{prefix}_0001.fits", f"{prefix}_0002.fits"]
    for name, start_us, image in zip(names, recorded["starts"], recorded["images"]):
        with fits.open(out / name, checksum=True) as hdul:
            header, data = hdul[0].header, hdul[0].data
        assert header["SIMPLE"] is True and header["BITPIX"] == 16 and header["BZERO"] == 32768
        assert data.dtype == np.uint16 and header["ROWORDER"] == "TOP-DOWN"
        assert np.array_equal(data, np.frombuffer(image, "<u2").reshape(data.shape))  # rows top-down as read
        assert header["EXPTIME"] == header["EXPOSURE"] == 0.25
        start = GPS_ZERO if expected["TIMESRC"] == "GPS" else zero
        start += dt.timedelta(microseconds=start_us)
        assert abs((date(header["DATE-OBS"]) - start).total_seconds()) < 0.010
        span = (date(header["DATE-END"]) - date(header["DATE-OBS"])).total_seconds()
        assert 0.25 <= span < 0.26
        assert date(header["DATE-AVG"]) - date(header["DATE-OBS"]) == (date(header["DATE-END"]) - date(header["DATE-OBS"])) / 2
        assert header["TIMESYS"] == "UTC"
        assert header["IMAGETYP"] == expected.get("IMAGETYP", "Light Frame")
        assert header["YBINNING"] == header["XBINNING"] and header["YPIXSZ"] == header["XPIXSZ"]
        assert -50 < header["CCD-TEMP"] <= 20
        assert header["SWCREATE"].startswith("brevalo-vra-qel-python-bindings ")
        for key, value in expected.items():
            if value is None:
                assert key not in header
            elif isinstance(value, float):
                assert header[key] == pytest.approx(value)
            else:
                assert header[key] == value, key
        assert header.comments["XPIXSZ"].startswith("[um]") and header.comments["EXPTIME"].startswith("[s]")


@pytest.mark.skipif(shutil.which("fitsverify") is None, reason="fitsverify is not installed (Debian package fitsverify)")
def test_fits_files_pass_fitsverify(tmp_path, config):
    assert cli.main(["expose", "--simulator-config", config, "--camera", "1", "--exposure", "0.05", "--output", str(tmp_path)]) == 0
    done = subprocess.run(["fitsverify", "-q", str(tmp_path / "light_0001.fits")], capture_output=True, text=True)
    assert done.returncode == 0 and "verification OK" in done.stdout, done.stdout + done.stderr


def test_writing_fits_without_astropy_names_the_extra(monkeypatch, sim):
    from brevalo.vra_qel_python_bindings.camera import Camera, Roi

    sim.configure(CONFIG)
    with Camera(0) as cam:
        cam.roi = Roi(64, 48)
        frame = cam.expose(0.01)
    monkeypatch.setitem(sys.modules, "astropy.io", None)
    with pytest.raises(ImportError, match=r"'capture' extra.*\[capture\]"):
        frame.write_fits("never.fits")


# ---- SER, read with a reader of our own written from the format's description

SER_HEADER = "<14s i i i i i i i 40s 40s 40s q q"
TICKS_PER_SECOND = 10_000_000


def ser_ticks(moment: dt.datetime) -> int:
    """100 ns ticks since 0001-01-01 00:00 UTC."""
    since = moment - dt.datetime(1, 1, 1, tzinfo=UTC)
    return since // dt.timedelta(microseconds=1) * 10


def read_ser(path):
    with open(path, "rb") as file:
        raw = file.read()
    size = struct.calcsize(SER_HEADER)
    assert size == 178
    fields = struct.unpack(SER_HEADER, raw[:size])
    names = ["file_id", "lu_id", "color_id", "little_endian", "width", "height", "depth", "frames",
             "observer", "instrument", "telescope", "date_time", "date_time_utc"]
    header = dict(zip(names, fields))
    planes = 3 if header["color_id"] in (100, 101) else 1
    frame_bytes = header["width"] * header["height"] * planes * (2 if header["depth"] > 8 else 1)
    frames_end = size + header["frames"] * frame_bytes
    frames = [raw[size + i * frame_bytes: size + (i + 1) * frame_bytes] for i in range(header["frames"])]
    trailer = raw[frames_end:]
    assert len(trailer) == 8 * header["frames"], "trailer holds one time stamp per frame and nothing else"
    stamps = list(struct.unpack(f"<{header['frames']}q", trailer))
    return header, frames, stamps


@pytest.mark.parametrize(
    "options, color_id, depth",
    [(["--format", "RAW8"], 8, 8), (["--format", "RAW16", "--region", "64x32+1+0"], 9, 16), (["--format", "RGB24"], 100, 8)],
)
def test_video_writes_ser_with_utc_stamps_of_the_frames(tmp_path, config, recorded, options, color_id, depth):
    path = tmp_path / "run.ser"
    argv = ["video", "--simulator-config", config, "--camera", "1", "--seconds", "0.4", "--exposure", "0.02"]
    assert cli.main([*argv, "--output", str(path), *options]) == 0
    header, frames, stamps = read_ser(path)
    assert header["file_id"] == b"LUCAM-RECORDER" and header["little_endian"] == 1
    assert (header["color_id"], header["depth"]) == (color_id, depth)
    if "--region" not in options:
        assert (header["width"], header["height"]) == (320, 240)
    assert header["instrument"].rstrip(b"\0") == b"QELSim C2 Colour GPS"
    records = recorded["video_gps"]
    assert 3 <= header["frames"] == len(records)
    expected = [
        ser_ticks(dt.datetime(g.year, g.month, g.day, g.hour, g.minute, g.second, g.m_second * 1000 + g.u_second, tzinfo=UTC))
        for g in records
    ]
    assert stamps == expected and stamps == sorted(stamps) and len(set(stamps)) == len(stamps)
    assert header["date_time_utc"] == stamps[0]
    assert all(any(frame) for frame in frames)


def test_ser_writer_keeps_whole_frames_only(tmp_path):
    from brevalo.vra_qel_python_bindings.ser import MONO, SerWriter

    moment = dt.datetime(2025, 1, 2, 3, 4, 5, 678901, tzinfo=UTC)
    writer = SerWriter(tmp_path / "cut.ser", 8, 2, depth=16, color_id=MONO, start=moment)
    for i in range(3):
        writer.write(bytes([i + 1]) * 32, moment + dt.timedelta(seconds=i))
    writer._file.write(b"\x07" * 10)  # a fourth frame cut short by an interrupt
    writer.close()
    header, frames, stamps = read_ser(tmp_path / "cut.ser")
    assert header["frames"] == 3 and frames == [bytes([i + 1]) * 32 for i in range(3)]
    assert stamps == [ser_ticks(moment) + i * TICKS_PER_SECOND for i in range(3)]
    days = dt.date(2025, 1, 2).toordinal() - 1  # whole days since 0001-01-01
    assert header["date_time_utc"] == ser_ticks(moment) == ((days * 24 + 3) * 3600 + 4 * 60 + 5) * TICKS_PER_SECOND + 6_789_010


def test_preview_is_a_stretched_png(tmp_path, config):
    from PIL import Image

    path = tmp_path / "look.png"
    assert cli.main(["preview", "--simulator-config", config, "--camera", "1", "--format", "RGB24",
                     "--exposure", "0.05", "--output", str(path)]) == 0
    with Image.open(path) as image:
        assert image.format == "PNG" and image.mode == "RGB" and image.size == (320, 240)
        pixels = np.asarray(image)
    assert pixels.min() == 0 and pixels.max() >= 250  # stretched from black to white


def test_astronomers_example_runs(tmp_path, config):
    done = subprocess.run(
        [sys.executable, os.path.join(HERE, "..", "examples", "astronomer.py"), str(tmp_path)],
        capture_output=True, text=True, timeout=120, env={**os.environ, "QELSIM_CONFIG": config},
    )
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(tmp_path)) == ["light_001.fits", "light_002.fits", "light_003.fits", "sim.ini", "video.ser"]
    header, frames, stamps = read_ser(tmp_path / "video.ser")
    assert header["frames"] > 10 and stamps == sorted(stamps)
