"""Dark subtraction from BMP files: good files of both kinds, broken and lying ones."""

from __future__ import annotations

import struct

import pytest

from . import sdk
from .sdk import lib

W, H = 64, 48  # the sensor of the camera these tests configure


def bmp(bits=8, width=W, height=H, pixel=lambda x, y: 40, top_down=False, palette=None, **override):
    """An uncompressed BMP; keyword arguments override header fields to make broken files."""
    bpp = bits // 8
    stride = (width * bpp + 3) // 4 * 4
    entries = 256 if bits == 8 else 0
    pal = palette if palette is not None else b"".join(bytes((i, i, i, 0)) for i in range(entries))
    offset = override.get("offset", 14 + 40 + len(pal))
    rows = []
    for row in range(height):
        y = row if top_down else height - 1 - row
        line = bytearray()
        for x in range(width):
            v = pixel(x, y)
            line += bytes([v]) if bits == 8 else bytes([v, v, v])
        rows.append(bytes(line) + b"\0" * (stride - len(line)))
    data = b"".join(rows)
    header = struct.pack(
        "<IiiHHIIiiII",
        override.get("header_size", 40),
        override.get("header_width", width),
        override.get("header_height", -height if top_down else height),
        override.get("planes", 1),
        override.get("header_bits", bits),
        override.get("compression", 0),
        len(data), 2835, 2835,
        override.get("colours", 0),
        0,
    )
    file_header = b"BM" + struct.pack("<IHHI", 14 + len(header) + len(pal) + len(data), 0, 0, offset)
    return override.get("magic", b"") + file_header + header + pal + data


@pytest.fixture
def camera(simulator):
    simulator.configure(f"[camera]\nmodel = M1\nwidth = {W}\nheight = {H}\nstar_density = 0\n")
    simulator.set_clock_speed(1e4)
    sdk.ready(0)
    sdk.ok(lib.QELSetROIFormat(0, W, H, 1, sdk.RAW16))
    sdk.set_control(0, sdk.OFFSET, 200)  # a bias of 3200 ADU to subtract from
    sdk.set_control(0, sdk.EXPOSURE, 1000)
    return 0


def enable(tmp_path, data, name="dark.bmp"):
    path = tmp_path / name
    path.write_bytes(data)
    return lib.QELEnableDarkSubtract(0, str(path).encode())


def frame():
    return sdk.pixels(sdk.expose(0, dark=True), sdk.RAW16)


@pytest.mark.parametrize("bits", [8, 24])
@pytest.mark.parametrize("top_down", [False, True])
def test_dark_is_subtracted(camera, tmp_path, bits, top_down):
    before = sdk.mean(frame())
    sdk.ok(enable(tmp_path, bmp(bits, top_down=top_down, pixel=lambda x, y: 8)))
    after = sdk.mean(frame())
    assert before - after == pytest.approx(8 * 256, abs=20)
    sdk.ok(lib.QELDisableDarkSubtract(0))
    assert sdk.mean(frame()) == pytest.approx(before, abs=20)


@pytest.mark.parametrize("bits", [8, 24])
@pytest.mark.parametrize("top_down", [False, True])
def test_dark_is_subtracted_pixel_by_pixel_and_clamped_at_zero(camera, tmp_path, bits, top_down):
    # Left half of the sensor dark at 60 (15360 ADU, more than the bias): clamped; the right half at 0.
    sdk.ok(enable(tmp_path, bmp(bits, top_down=top_down, pixel=lambda x, y: 60 if x < W // 2 else 0)))
    values = frame()
    left = [values[y * W + x] for y in range(H) for x in range(W // 2)]
    right = [values[y * W + x] for y in range(H) for x in range(W // 2, W)]
    assert set(left) == {0}
    assert sdk.mean(right) == pytest.approx(3200, abs=40)


def test_top_rows_of_the_file_are_the_top_rows_of_the_image(camera, tmp_path):
    sdk.ok(enable(tmp_path, bmp(8, pixel=lambda x, y: 60 if y < 4 else 0)))
    values = frame()
    assert set(values[: 4 * W]) == {0} and min(values[4 * W:]) > 0


def test_eight_bit_files_are_read_through_their_palette(camera, tmp_path):
    palette = b"".join(bytes((10, 10, 10, 0)) for _ in range(256))  # every index is grey 10
    sdk.ok(enable(tmp_path, bmp(8, pixel=lambda x, y: 200, palette=palette)))
    assert sdk.mean(frame()) == pytest.approx(3200 - 10 * 256, abs=40)


def test_binned_frames_subtract_the_mean_dark_of_their_pixels(camera, tmp_path):
    sdk.ok(lib.QELSetROIFormat(0, 32, 24, 2, sdk.RAW16))
    sdk.ok(enable(tmp_path, bmp(8, pixel=lambda x, y: 4 if x % 2 else 0)))  # mean 2 per 2x2 block
    values = sdk.pixels(sdk.expose(0, dark=True), sdk.RAW16)
    sdk.ok(lib.QELDisableDarkSubtract(0))
    plain = sdk.pixels(sdk.expose(0, dark=True), sdk.RAW16)
    assert sdk.mean(plain) - sdk.mean(values) == pytest.approx(2 * 256, abs=20)


BROKEN = {
    "not a BMP": (b"GIF89a" + bytes(3000), sdk.INVALID_FILE_FORMAT),
    "empty": (b"", sdk.INVALID_FILE_FORMAT),
    "too short for a header": (b"BM" + bytes(20), sdk.INVALID_FILE_FORMAT),
    "compressed": (bmp(8, compression=1), sdk.INVALID_FILE_FORMAT),
    "16-bit": (bmp(8, header_bits=16), sdk.INVALID_FILE_FORMAT),
    "32-bit": (bmp(24, header_bits=32), sdk.INVALID_FILE_FORMAT),
    "two planes": (bmp(8, planes=2), sdk.INVALID_FILE_FORMAT),
    "wrong width": (bmp(8, width=W // 2), sdk.INVALID_FILE_FORMAT),
    "wrong height": (bmp(24, height=H + 2), sdk.INVALID_FILE_FORMAT),
    "header claims more rows than the file has": (bmp(8, header_height=H * 40), sdk.INVALID_FILE_FORMAT),
    "pixel data past the end": (bmp(8, offset=5000), sdk.INVALID_FILE_FORMAT),
    "pixel data inside the header": (bmp(8, offset=20), sdk.INVALID_FILE_FORMAT),
    "truncated pixel data": (bmp(24)[:-100], sdk.INVALID_FILE_FORMAT),
    "palette larger than 256": (bmp(8, colours=300), sdk.INVALID_FILE_FORMAT),
    "palette past the pixel data": (bmp(8, colours=256, offset=14 + 40 + 100), sdk.INVALID_FILE_FORMAT),
    "unknown header size": (bmp(8, header_size=64), sdk.INVALID_FILE_FORMAT),
    "header size past the end": (bmp(8, header_size=124)[:100], sdk.INVALID_FILE_FORMAT),
    "smallest height": (bmp(8, header_height=-(2**31)), sdk.INVALID_FILE_FORMAT),
    "huge file": (bmp(24) + bytes(2 * W * H * 3 + 8192), sdk.INVALID_FILE_FORMAT),
}


def _lying_header():
    # Declares the right size but a pixel offset and sizes that overflow 32 bits when multiplied.
    data = bytearray(bmp(24))
    struct.pack_into("<I", data, 10, 0xFFFFFFF0)
    return bytes(data)


BROKEN["offset near 4 GiB"] = (_lying_header(), sdk.INVALID_FILE_FORMAT)


@pytest.mark.parametrize("case", sorted(BROKEN))
def test_broken_files_are_refused(camera, tmp_path, case):
    data, code = BROKEN[case]
    before = sdk.mean(frame())
    assert enable(tmp_path, data) == code
    assert sdk.mean(frame()) == pytest.approx(before, abs=20)  # nothing subtracted


@pytest.mark.parametrize("path", ["missing.bmp", "", "."], ids=["missing", "empty path", "directory"])
def test_paths_that_are_not_files_are_refused(camera, tmp_path, path):
    full = str(tmp_path / path) if path else ""
    assert lib.QELEnableDarkSubtract(0, full.encode()) == sdk.INVALID_PATH


def test_a_refused_file_keeps_the_dark_that_was_enabled(camera, tmp_path):
    sdk.ok(enable(tmp_path, bmp(8, pixel=lambda x, y: 8)))
    darked = sdk.mean(frame())
    assert enable(tmp_path, b"nonsense", "bad.bmp") == sdk.INVALID_FILE_FORMAT
    assert sdk.mean(frame()) == pytest.approx(darked, abs=20)


def test_dark_applies_to_video_frames(camera, tmp_path):
    sdk.ok(lib.QELStartVideoCapture(0))
    plain = sdk.mean(sdk.pixels(sdk.video_frame(0), sdk.RAW16))
    sdk.ok(enable(tmp_path, bmp(8, pixel=lambda x, y: 8)))
    # Frames made before the dark was enabled may still wait in the queue; later ones have it.
    means = [sdk.mean(sdk.pixels(sdk.video_frame(0), sdk.RAW16)) for _ in range(12)]
    assert plain - means[-1] == pytest.approx(8 * 256, abs=40)
    sdk.ok(lib.QELStopVideoCapture(0))
