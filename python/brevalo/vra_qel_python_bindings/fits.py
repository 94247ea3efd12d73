"""FITS headers and files for camera frames, through astropy (the ``capture`` extra)."""

from __future__ import annotations

import datetime as _dt
import os
import tempfile
from typing import TYPE_CHECKING, Any, Union

from . import __version__

if TYPE_CHECKING:
    from .camera import Frame

EXTRA_HINT = "pip install 'brevalo-vra-qel-python-bindings[capture]'"
SOFTWARE = f"brevalo-vra-qel-python-bindings {__version__}"


def _fits() -> Any:
    try:
        from astropy.io import fits  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:
        raise ImportError(f"writing FITS needs astropy, which the 'capture' extra installs: {EXTRA_HINT}") from error
    return fits


def _date(moment: _dt.datetime) -> str:
    """ISO 8601 in UTC to the microsecond, as FITS dates are written."""
    return moment.astimezone(_dt.timezone.utc).replace(tzinfo=None).isoformat(timespec="microseconds")


def frame_header(frame: Frame) -> Any:
    """The header of a frame: the image's own cards, then the conventional keywords of capture software."""
    fits = _fits()
    array = frame.array
    header = fits.PrimaryHDU(array).header  # SIMPLE, BITPIX, NAXIS..., and BZERO for 16-bit data
    camera = frame.camera
    roi = frame.roi
    cards: list[tuple[str, Any, str]] = [
        ("EXPTIME", frame.exposure, "[s] exposure time"),
        ("EXPOSURE", frame.exposure, "[s] exposure time"),
        ("DATE-OBS", _date(frame.start), "UTC start of the exposure"),
        ("DATE-END", _date(frame.end), "UTC end of the exposure"),
        ("DATE-AVG", _date(frame.midpoint), "UTC middle of the exposure"),
        ("TIMESYS", "UTC", "time scale of the dates"),
        ("TIMESRC", frame.time_source.upper(), "where the dates come from"),
        ("IMAGETYP", "Dark Frame" if frame.dark else "Light Frame", "type of image"),
        ("INSTRUME", camera.name, "camera"),
    ]
    if camera.serial:
        cards.append(("CAMSERNO", camera.serial, "camera serial number"))
    if frame.temperature is not None:
        cards.append(("CCD-TEMP", frame.temperature, "[C] sensor temperature"))
    if frame.target_temperature is not None:
        cards.append(("SET-TEMP", frame.target_temperature, "[C] cooler target temperature"))
    if frame.gain is not None:
        cards.append(("GAIN", frame.gain, "camera gain setting (0.1 dB steps)"))
    if frame.offset is not None:
        cards.append(("OFFSET", frame.offset, "camera offset setting"))
    cards += [
        ("XBINNING", roi.bin, "binning factor in width"),
        ("YBINNING", roi.bin, "binning factor in height"),
        ("XPIXSZ", camera.pixel_size * roi.bin, "[um] pixel width, binning included"),
        ("YPIXSZ", camera.pixel_size * roi.bin, "[um] pixel height, binning included"),
        ("XORGSUBF", roi.start_x or 0, "[binned pixels] subframe origin in x"),
        ("YORGSUBF", roi.start_y or 0, "[binned pixels] subframe origin in y"),
        ("EGAIN", camera.elec_per_adu, "[e-/ADU] at gain 0, 16-bit scale"),
        ("ROWORDER", "TOP-DOWN", "order of the rows in the image"),
    ]
    pattern = frame.bayer_pattern
    if pattern is not None:
        cards += [
            ("BAYERPAT", pattern, "colour filters of the top-left 2x2 pixels"),
            ("XBAYROFF", 0, "x offset of the Bayer pattern"),
            ("YBAYROFF", 0, "y offset of the Bayer pattern"),
        ]
    if frame.gps is not None:
        gps = frame.gps
        cards += [
            ("SITELAT", gps.latitude, "[deg] GPS latitude"),
            ("SITELONG", gps.longitude, "[deg] GPS longitude"),
            ("SITEELEV", gps.altitude, "[m] GPS altitude"),
            ("GPSSATS", gps.satellite_num, "GPS satellites in use"),
        ]
    if frame.number or frame.dropped:
        cards += [("FRAMENO", frame.number, "frame number in the video"), ("DROPPED", frame.dropped, "frames dropped")]
    cards.append(("SWCREATE", SOFTWARE, "software that wrote the file"))
    for key, value, comment in cards:
        header[key] = (value, comment)
    return header


def write_frame(frame: Frame, path: Union[str, os.PathLike[str]], overwrite: bool = False) -> None:
    """Write one frame as a FITS file. The file appears whole or not at all (written aside, then renamed)."""
    fits = _fits()
    target = os.fspath(path)
    if os.path.exists(target) and not overwrite:
        raise FileExistsError(f"{target} exists")
    hdu = fits.PrimaryHDU(frame.array, header=frame_header(frame))
    folder = os.path.dirname(os.path.abspath(target))
    handle, temporary = tempfile.mkstemp(suffix=".fits.part", dir=folder)
    os.close(handle)
    try:
        hdu.writeto(temporary, overwrite=True, checksum=True)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
