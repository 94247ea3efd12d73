"""Control of the simulated Camera SDK that ships beside the extension.

The simulator is the library ``QELCamera2`` that the extension ``qel`` links. Beside the Camera SDK's
entry points it exports a control API (functions prefixed ``QELSim``): reset and configuration, fault
injection, a journal of the calls that reached it, hot-plug, the external trigger input, the simulated
clock (real or stepped), a look at the simulated sky and the truth of configured events. This module wraps that API with ctypes and works only against
the simulator, not against a vendor's library. ``sdk/sim/README.md`` describes the simulated cameras.
"""

from __future__ import annotations

import ctypes
import math
import os
import sys
from dataclasses import dataclass
from typing import Optional

__all__ = [
    "Journal",
    "Event",
    "SimulatorError",
    "advance",
    "base_config_error",
    "bright_stars",
    "calls",
    "clear_faults",
    "clear_journal",
    "clock_speed",
    "clock_stepped",
    "configure",
    "entry_points",
    "events",
    "inject_fault",
    "journal",
    "library",
    "library_path",
    "load_config",
    "now_us",
    "plug_camera",
    "pointing",
    "replug_camera",
    "reset",
    "pixel_to_sky",
    "set_clock_speed",
    "set_cover",
    "set_stars",
    "set_temperature",
    "sky_to_pixel",
    "stars",
    "set_trigger_input",
    "sky",
    "SkySource",
    "wcs",
    "timing",
    "trigger_pulse",
    "unplug_camera",
]

JOURNAL_MAX_ARGS = 8
JOURNAL_TEXT = 1024


class SimulatorError(RuntimeError):
    """The Camera SDK beside the extension is not the simulator, or refused a control call."""


class _JournalEntry(ctypes.Structure):
    _fields_ = [
        ("calls", ctypes.c_longlong),
        ("nargs", ctypes.c_int),
        ("last_result", ctypes.c_int),
        ("args", ctypes.c_longlong * JOURNAL_MAX_ARGS),
        ("id", ctypes.c_ubyte * 8),
        ("text_len", ctypes.c_int),
        ("text", ctypes.c_char * JOURNAL_TEXT),
    ]


@dataclass(frozen=True)
class Journal:
    """What the simulator recorded of one entry point since the last reset."""

    calls: int
    args: tuple[int, ...]  # the last call's arguments; pointers as addresses, 0 for null
    last_result: int
    id: bytes  # QELSetID: the 8 bytes passed by value
    text: Optional[bytes]  # QELEnableDarkSubtract: the path as the SDK saw it, None for a null path


def library_path() -> str:
    """Path of the Camera SDK library installed beside the extension, where the extension finds it.

    That is the extension's own folder, which need not be this module's: an editable install leaves
    the Python files in the source tree and puts the built files elsewhere.
    """
    from . import qel

    here = os.path.dirname(os.path.abspath(qel.__file__))
    if sys.platform == "win32":
        name = "QELCamera2.dll"
    elif sys.platform == "darwin":
        name = "libQELCamera2.dylib"
    else:
        name = "libQELCamera2.so"
    return os.path.join(here, name)


_library: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The simulator, loaded once; the same library instance that the extension uses."""
    global _library
    if _library is None:
        # library_path() imports the extension first, so the loader hands back the copy it mapped.
        lib = ctypes.CDLL(library_path())
        if not hasattr(lib, "QELSimReset"):
            raise SimulatorError(f"{library_path()} is not the simulated Camera SDK")
        lib.QELSimReset.argtypes = []
        lib.QELSimReset.restype = None
        lib.QELSimEntryPointCount.argtypes = []
        lib.QELSimEntryPointCount.restype = ctypes.c_int
        lib.QELSimEntryPointName.argtypes = [ctypes.c_int]
        lib.QELSimEntryPointName.restype = ctypes.c_char_p
        lib.QELSimInjectFault.argtypes = [
            ctypes.c_char_p,
            ctypes.c_int,
            ctypes.c_int,
            ctypes.c_int,
            ctypes.c_void_p,
            ctypes.c_int,
        ]
        lib.QELSimInjectFault.restype = ctypes.c_int
        lib.QELSimClearFaults.argtypes = []
        lib.QELSimClearFaults.restype = None
        lib.QELSimJournal.argtypes = [ctypes.c_char_p, ctypes.POINTER(_JournalEntry)]
        lib.QELSimJournal.restype = ctypes.c_int
        lib.QELSimClearJournal.argtypes = []
        lib.QELSimClearJournal.restype = None
        _declare_control_api(lib)
        _library = lib
    return _library


def _declare_control_api(lib: ctypes.CDLL) -> None:
    c_int, c_double, c_char_p = ctypes.c_int, ctypes.c_double, ctypes.c_char_p
    p_double = ctypes.POINTER(c_double)
    signatures = {
        "QELSimConfigure": ([c_char_p, c_char_p, c_int], c_int),
        "QELSimLoadConfig": ([c_char_p, c_char_p, c_int], c_int),
        "QELSimBaseConfigError": ([c_char_p, c_int], c_int),
        "QELSimPlugCamera": ([c_char_p, c_char_p, c_int], c_int),
        "QELSimUnplugCamera": ([c_int], c_int),
        "QELSimReplugCamera": ([c_int], c_int),
        "QELSimSetTriggerInput": ([c_int, c_int], c_int),
        "QELSimTriggerPulse": ([c_int, c_int], c_int),
        "QELSimSetClockSpeed": ([c_double], c_int),
        "QELSimClockSpeed": ([], c_double),
        "QELSimNow": ([], ctypes.c_longlong),
        "QELSimClockStepped": ([], c_int),
        "QELSimAdvance": ([ctypes.c_longlong], c_int),
        "QELSimGetEvents": ([c_int, p_double, c_int, ctypes.POINTER(c_int)], c_int),
        "QELSimGetPointing": ([c_int, p_double, p_double], c_int),
        "QELSimSetTemperature": ([c_int, c_double], c_int),
        "QELSimGetTiming": ([c_int, p_double, p_double], c_int),
        "QELSimSetCover": ([c_int, c_int], c_int),
        "QELSimSkyToPixel": ([c_int, c_double, c_double, p_double, p_double], c_int),
        "QELSimPixelToSky": ([c_int, c_double, c_double, p_double, p_double], c_int),
        "QELSimGetStars": ([c_int, p_double, c_int, ctypes.POINTER(c_int)], c_int),
        "QELSimSetStars": ([p_double, c_int, c_int], c_int),
        "QELSimGetWcs": ([c_int, p_double, ctypes.POINTER(c_int), ctypes.POINTER(c_int)], c_int),
        "QELSimSkySource": ([c_char_p, c_int], c_int),
    }
    for name, (argtypes, restype) in signatures.items():
        fn = getattr(lib, name)
        fn.argtypes = argtypes
        fn.restype = restype


_MESSAGE = 1024


def _check(rc: int, what: str) -> None:
    if rc != 0:
        raise SimulatorError(f"{what}: result code {rc}")


def configure(text: Optional[str] = None) -> None:
    """Reset the simulator to the configuration ``text`` (None: the base configuration).

    The format is that of a ``QELSIM_CONFIG`` file, see ``sdk/sim/README.md``. Raises SimulatorError
    with the simulator's message when the text is not valid; nothing changes then.
    """
    error = ctypes.create_string_buffer(_MESSAGE)
    if library().QELSimConfigure(None if text is None else text.encode(), error, _MESSAGE) != 0:
        raise SimulatorError(error.value.decode(errors="replace"))


def load_config(path: str) -> None:
    """Reset the simulator to the configuration in the file at ``path``."""
    error = ctypes.create_string_buffer(_MESSAGE)
    if library().QELSimLoadConfig(os.fsencode(path), error, _MESSAGE) != 0:
        raise SimulatorError(error.value.decode(errors="replace"))


def base_config_error() -> str:
    """What was wrong with the ``QELSIM_CONFIG`` file at the last reset; empty when nothing was."""
    error = ctypes.create_string_buffer(_MESSAGE)
    library().QELSimBaseConfigError(error, _MESSAGE)
    return error.value.decode(errors="replace")


def plug_camera(text: str = "") -> int:
    """Connect a new camera described like a ``[camera]`` section's body; returns its camera id."""
    error = ctypes.create_string_buffer(_MESSAGE)
    camera_id = int(library().QELSimPlugCamera(text.encode(), error, _MESSAGE))
    if camera_id < 0:
        raise SimulatorError(error.value.decode(errors="replace"))
    return camera_id


def unplug_camera(camera_id: int) -> None:
    """Disconnect a camera: its calls return the camera-removed code from now on."""
    if library().QELSimUnplugCamera(camera_id) != 0:
        raise SimulatorError(f"no connected camera with id {camera_id}")


def replug_camera(camera_id: int) -> int:
    """Connect a removed camera again; returns the new id it comes back under."""
    new_id = int(library().QELSimReplugCamera(camera_id))
    if new_id < 0:
        raise SimulatorError(f"camera {camera_id} is not a removed camera")
    return new_id


def set_trigger_input(camera_id: int, high: bool) -> None:
    """Set the level of a trigger camera's external trigger input."""
    _check(library().QELSimSetTriggerInput(camera_id, 1 if high else 0), "set_trigger_input")


def trigger_pulse(camera_id: int, duration_us: int = 0) -> None:
    """Fire one pulse on the external trigger input (level modes expose for ``duration_us``)."""
    _check(library().QELSimTriggerPulse(camera_id, duration_us), "trigger_pulse")


def set_clock_speed(factor: float) -> None:
    """Make simulated time run ``factor`` times as fast as real time."""
    if library().QELSimSetClockSpeed(factor) != 0:
        raise SimulatorError(f"clock speed {factor!r} is outside (0, 1e6]")


def clock_speed() -> float:
    return float(library().QELSimClockSpeed())


def now_us() -> int:
    """Simulated time in microseconds since the last reset."""
    return int(library().QELSimNow())


def clock_stepped() -> bool:
    """Whether the stepped clock runs (configuration key ``clock = stepped``)."""
    return bool(library().QELSimClockStepped())


def advance(microseconds: int) -> None:
    """Stepped clock: move simulated time on by ``microseconds``; video producers work on the way."""
    if library().QELSimAdvance(int(microseconds)) != 0:
        raise SimulatorError(f"cannot advance by {microseconds!r} us (the stepped clock, 0 or more)")


def pointing(camera_id: int) -> tuple[float, float]:
    """Offset of the scene on the sensor (the mount: guiding, periodic error, polar drift, drift), in unbinned sensor pixels."""
    x, y = ctypes.c_double(), ctypes.c_double()
    _check(library().QELSimGetPointing(camera_id, ctypes.byref(x), ctypes.byref(y)), "pointing")
    return x.value, y.value


def set_temperature(camera_id: int, celsius: float) -> None:
    """Put the sensor at this temperature now; the cooler works on from there."""
    _check(library().QELSimSetTemperature(camera_id, celsius), "set_temperature")


def timing(camera_id: int) -> tuple[float, float]:
    """Readout time and video frame interval at the current settings, in simulated microseconds."""
    readout, interval = ctypes.c_double(), ctypes.c_double()
    _check(library().QELSimGetTiming(camera_id, ctypes.byref(readout), ctypes.byref(interval)), "timing")
    return readout.value, interval.value


def set_cover(camera_id: int, covered: bool) -> None:
    """Cover the camera's telescope, or uncover it: a covered camera's frames get no light.

    Cameras without a mechanical shutter take dark frames (``is_dark``) with the light in, as real ones
    do; cover them for darks.
    """
    _check(library().QELSimSetCover(camera_id, 1 if covered else 0), "set_cover")


def sky_to_pixel(camera_id: int, ra: float, dec: float) -> tuple[float, float]:
    """Where the sky position (degrees) falls on the sensor now, in unbinned sensor pixels.

    Pixel centres are at whole numbers, x to the right and y downwards on an unflipped image; guiding and
    drift are included.
    """
    x, y = ctypes.c_double(), ctypes.c_double()
    _check(library().QELSimSkyToPixel(camera_id, ra, dec, ctypes.byref(x), ctypes.byref(y)), "sky_to_pixel")
    return x.value, y.value


def pixel_to_sky(camera_id: int, x: float, y: float) -> tuple[float, float]:
    """The sky position (ra, dec in degrees) of a sensor position now; the inverse of ``sky_to_pixel``."""
    ra, dec = ctypes.c_double(), ctypes.c_double()
    _check(library().QELSimPixelToSky(camera_id, x, y, ctypes.byref(ra), ctypes.byref(dec)), "pixel_to_sky")
    return ra.value, dec.value


@dataclass(frozen=True)
class Star:
    """A star on a camera's sensor: sensor pixels (as ``sky_to_pixel``), V magnitude, B-V, degrees."""

    x: float
    y: float
    mag: float
    bv: float
    ra: float
    dec: float


def stars(camera_id: int) -> list[Star]:
    """The stars on the camera's sensor now, brightest first: the truth behind its frames."""
    lib, count = library(), ctypes.c_int()
    _check(lib.QELSimGetStars(camera_id, None, 0, ctypes.byref(count)), "stars")
    rows = (ctypes.c_double * (6 * count.value))()
    _check(lib.QELSimGetStars(camera_id, rows, count.value, ctypes.byref(count)), "stars")
    return [Star(*rows[6 * i:6 * i + 6]) for i in range(min(count.value, len(rows) // 6))]


def wcs(camera_id: int) -> dict[str, object]:
    """The true world coordinate system of the camera's image as it is read now, as FITS keywords.

    A gnomonic (TAN) projection in ICRS (J2000) whose pixels are those of the image as read (region,
    binning and flip; FITS pixel (1, 1) is the first pixel of the first row), with the pier side and the
    mount's offset now (not the seeing). ``astropy.wcs.WCS(sim.wcs(camera_id))`` reads it; it agrees with
    ``pixel_to_sky``, which works in unflipped sensor pixels.
    """
    values = (ctypes.c_double * 8)()
    width, height = ctypes.c_int(), ctypes.c_int()
    _check(library().QELSimGetWcs(camera_id, values, ctypes.byref(width), ctypes.byref(height)), "wcs")
    crpix1, crpix2, crval1, crval2, cd11, cd12, cd21, cd22 = values
    return {
        "NAXIS": 2,
        "NAXIS1": width.value,
        "NAXIS2": height.value,
        "CTYPE1": "RA---TAN",
        "CTYPE2": "DEC--TAN",
        "CUNIT1": "deg",
        "CUNIT2": "deg",
        "CRPIX1": crpix1,
        "CRPIX2": crpix2,
        "CRVAL1": crval1,
        "CRVAL2": crval2,
        "CD1_1": cd11,
        "CD1_2": cd12,
        "CD2_1": cd21,
        "CD2_2": cd22,
        "RADESYS": "ICRS",
        "EQUINOX": 2000.0,
    }


@dataclass(frozen=True)
class SkySource:
    """Which sky the simulated cameras see.

    ``catalogue`` is the path of the star catalogue file in use (its ``stars`` above the synthetic ones,
    which then only add stars fainter than its completeness), or None for the synthetic sky alone;
    ``note`` says why a catalogue that was asked for is not in use.
    """

    catalogue: Optional[str]
    stars: int
    note: str

    def __str__(self) -> str:
        if self.catalogue is not None:
            return f"Tycho-2 sky from {self.catalogue} ({self.stars} stars), synthetic stars fainter than V 11.5"
        return "synthetic sky" + (f" ({self.note})" if self.note else "")


def sky() -> SkySource:
    """The sky that the cameras see now: a star catalogue file's, or the synthetic one alone."""
    text = ctypes.create_string_buffer(4096)
    count = library().QELSimSkySource(text, len(text))
    what = text.value.decode(errors="replace")
    return SkySource(what, count, "") if count > 0 else SkySource(None, 0, what)


@dataclass(frozen=True)
class Event:
    """A configured event of a camera and its truth.

    ``kind`` is "occultation", "meteor", "satellite" or "gps_loss"; ``start_us`` and ``end_us`` are UTC
    microseconds since 1970; ``x0, y0, x1, y1`` the occulted star's sensor position now (twice), or where
    a streak starts and ends on the sensor (NaN for a GPS loss); ``level`` the occulted star's share of its
    flux, or a streak's electrons per second at its brightest (0 for a GPS loss).
    """

    kind: str
    start_us: int
    end_us: int
    x0: float
    y0: float
    x1: float
    y1: float
    level: float


_EVENT_KINDS = {1: "occultation", 2: "meteor", 3: "satellite", 4: "gps_loss"}


def events(camera_id: int) -> list[Event]:
    """The events configured for a camera (occultations, meteors, satellites, GPS fix losses)."""
    lib, count = library(), ctypes.c_int()
    _check(lib.QELSimGetEvents(camera_id, None, 0, ctypes.byref(count)), "events")
    rows = (ctypes.c_double * (8 * count.value))()
    _check(lib.QELSimGetEvents(camera_id, rows, count.value, ctypes.byref(count)), "events")
    out = []
    for i in range(min(count.value, len(rows) // 8)):
        r = rows[8 * i:8 * i + 8]
        out.append(Event(_EVENT_KINDS[int(r[0])], int(r[1]), int(r[2]), *r[3:8]))
    return out


def set_stars(catalogue: list[tuple[float, float, float, float]], replace: bool = False) -> None:
    """Put the stars of ``catalogue`` (ra, dec in degrees, V magnitude, B-V) in the sky of every camera.

    With ``replace`` they replace the synthetic stars, else they join them. The list holds until the next
    reset or configuration, and replaces any list given before (a ``catalogue`` file's too).
    """
    flat = [float(v) for star in catalogue for v in star]
    if len(flat) != 4 * len(catalogue):
        raise SimulatorError("each star is (ra, dec, magnitude, b-v)")
    rows = (ctypes.c_double * len(flat))(*flat)
    if library().QELSimSetStars(rows, len(catalogue), 1 if replace else 0) != 0:
        raise SimulatorError("stars need ra 0..360, dec -90..90 degrees, magnitude -30..40, b-v -1..5")


# B-V in the middle of each spectral class, for catalogues that give a star's class and not its colour.
_CLASS_COLOUR = {"O": -0.3, "B": -0.15, "A": 0.1, "F": 0.45, "G": 0.7, "K": 1.15, "M": 1.6}


def bright_stars() -> list[tuple[float, float, float, float]]:
    """The real bright stars that the ``ephem`` package ships (about 115, to magnitude 3) for ``set_stars``.

    Each is (ra, dec in degrees, J2000; V magnitude; B-V from its spectral class). Needs ``ephem``
    (the ``sky`` extra); raises SimulatorError without it. Beside a star catalogue file (``sky()``), each
    of these takes the place of the catalogue's entry for the same star.
    """
    try:
        import ephem  # type: ignore[import-untyped]
        import ephem.stars  # type: ignore[import-untyped]
    except ImportError as e:
        raise SimulatorError("bright_stars() needs the ephem package: pip install ephem") from e
    catalogue = []
    for body in ephem.stars.stars.values():
        body.compute("2000/1/1 12:00")
        colour = _CLASS_COLOUR.get(str(body._spect)[:1], 0.65)
        catalogue.append((math.degrees(body._ra), math.degrees(body._dec), float(body.mag), colour))
    return catalogue


def _entry_point(name: str) -> bytes:
    return (name if name.startswith("QEL") else "QEL" + name).encode()


def reset() -> None:
    """Restore the base cameras and forget every journal entry, fault and camera state."""
    library().QELSimReset()


def entry_points() -> list[str]:
    """Names of the Camera SDK entry points, in the order of the SDK header."""
    lib = library()
    return [lib.QELSimEntryPointName(i).decode() for i in range(lib.QELSimEntryPointCount())]


def inject_fault(
    entry_point: str,
    code: int,
    times: int = 1,
    data: Optional[bytes] = None,
    arg: int = -1,
) -> None:
    """Make ``entry_point`` return ``code`` for its next ``times`` calls instead of doing its work.

    With ``data``, those bytes are written into output argument ``arg`` (0-based position among the
    C arguments; -1 for the first output), at most as many as the argument holds. For
    QELGetSDKVersion, ``data`` becomes the returned text, and without ``data`` it returns a null
    pointer. Entry points that return a count or a bool return ``code`` itself.
    """
    buffer = ctypes.create_string_buffer(data, len(data)) if data is not None else None
    rc = library().QELSimInjectFault(
        _entry_point(entry_point), code, times, arg, buffer, len(data) if data is not None else 0
    )
    if rc != 0:
        raise SimulatorError(f"cannot inject a fault into {entry_point!r} (argument {arg})")


def clear_faults() -> None:
    library().QELSimClearFaults()


def journal(entry_point: str) -> Journal:
    """The journal of one entry point: its call count and the last call's arguments."""
    entry = _JournalEntry()
    if library().QELSimJournal(_entry_point(entry_point), ctypes.byref(entry)) != 0:
        raise SimulatorError(f"no entry point {entry_point!r}")
    text: Optional[bytes]
    if entry.text_len < 0:
        text = None
    else:
        text = ctypes.string_at(ctypes.addressof(entry) + _JournalEntry.text.offset, min(entry.text_len, JOURNAL_TEXT - 1))
    return Journal(
        calls=entry.calls,
        args=tuple(entry.args[: entry.nargs]),
        last_result=entry.last_result,
        id=bytes(entry.id),
        text=text,
    )


def calls(entry_point: str) -> int:
    """How often ``entry_point`` was called since the last reset."""
    return journal(entry_point).calls


def clear_journal() -> None:
    library().QELSimClearJournal()
