"""A camera object for astronomers, over the function-by-function module ``qel``.

``Camera`` opens a camera, shows its controls as properties in natural units (seconds, degrees C,
percent) and refuses out-of-range values with a ``ValueError`` that names the camera, the control, the
value and the range before the SDK is called. ``expose`` takes one interruptible exposure and ``video``
yields frames over short waits; both return ``Frame`` objects, whose ``array`` is the image as numpy
array and whose ``fits_header``/``write_fits`` write FITS (with the ``capture`` extra).

    with Camera(0) as cam:
        cam.gain = 100
        frame = cam.expose(2.5)
        frame.write_fits("light.fits")

Only ``numpy`` is needed to import this module.
"""

from __future__ import annotations

import datetime as _dt
import threading
import time
from dataclasses import dataclass
from functools import cached_property
from typing import TYPE_CHECKING, Any, Callable, Generic, Iterator, NoReturn, Optional, TypeVar, Union, overload

import numpy as np
import numpy.typing as npt

from . import qel
from .core import CameraBusy, CameraState, CameraStatus, NonBlocking, Worker

if TYPE_CHECKING:
    import os

__all__ = [
    "BAYER_PATTERNS",
    "Camera",
    "CameraBusy",
    "CameraDescription",
    "CameraState",
    "CameraStatus",
    "ControlRange",
    "Frame",
    "Roi",
    "cameras",
]

ImgType = qel.ImgType
FlipStatus = qel.FlipStatus
UTC = _dt.timezone.utc

#: The FITS spelling of each Bayer pattern, in the order of the rows from the top.
BAYER_PATTERNS = {
    qel.BayerPattern.BAYER_RG: "RGGB",
    qel.BayerPattern.BAYER_BG: "BGGR",
    qel.BayerPattern.BAYER_GR: "GRBG",
    qel.BayerPattern.BAYER_GB: "GBRG",
}

_BYTES_PER_PIXEL = {ImgType.IMG_RAW8: 1, ImgType.IMG_Y8: 1, ImgType.IMG_RAW16: 2, ImgType.IMG_RGB24: 3}
#: The longest single wait for a video frame, so that Ctrl-C is seen within this time.
MAX_WAIT_MS = 200
_POLL_S = 0.02


def _shift_pattern(pattern: str, dx: int, dy: int) -> str:
    """The 2x2 pattern seen from one column (dx) and/or one row (dy) further on."""
    rows = [pattern[0:2], pattern[2:4]]
    if dy % 2:
        rows.reverse()
    if dx % 2:
        rows = [r[::-1] for r in rows]
    return "".join(rows)


@dataclass(frozen=True)
class CameraDescription:
    """What a camera is: its identity, sensor and features."""

    index: int
    camera_id: int
    name: str
    width: int  # sensor pixels
    height: int
    pixel_size: float  # micrometres
    bit_depth: int
    colour: bool
    bayer_pattern: Optional[str]  # "RGGB", "BGGR", "GRBG" or "GBRG"; None for a mono camera
    bins: tuple[int, ...]
    formats: tuple[qel.ImgType, ...]
    elec_per_adu: float
    cooler: bool
    st4: bool
    shutter: bool
    trigger: bool
    usb3: bool
    serial: str = ""
    gps: bool = False

    @classmethod
    def from_info(cls, index: int, info: qel.CameraInfo, serial: str = "", gps: bool = False) -> CameraDescription:
        return cls(
            index=index,
            camera_id=info.camera_id,
            name=info.name,
            width=info.max_width,
            height=info.max_height,
            pixel_size=info.pixel_size,
            bit_depth=info.bit_depth,
            colour=info.is_color_camera,
            bayer_pattern=BAYER_PATTERNS.get(info.bayer_pattern) if info.is_color_camera else None,
            bins=tuple(info.supported_bins),
            formats=tuple(info.supported_video_formats),
            elec_per_adu=info.elec_per_adu,
            cooler=info.is_cooler_cam,
            st4=info.st_4_port,
            shutter=info.mechanical_shutter,
            trigger=info.is_trigger_cam,
            usb3=info.is_usb3_camera,
            serial=serial,
            gps=gps,
        )


# The cameras that a ``Camera`` of this process holds open, by SDK id: ``cameras()`` reads their
# description instead of opening and closing them under their owner.
_held: dict[int, "Camera"] = {}


def cameras() -> list[CameraDescription]:
    """The connected cameras. A camera that no ``Camera`` of this process holds is opened briefly to read
    its serial number and GPS support, and closed again."""
    found = []
    for index in range(qel.get_number_of_connected_cameras()):
        info = qel.get_camera_property(index)
        serial, gps = "", False
        holder = _held.get(info.camera_id)
        if holder is not None:
            serial, gps = holder.description.serial, holder.description.gps
        else:
            try:
                qel.open_camera(info.camera_id)
            except qel.QELError:
                pass
            else:
                try:
                    serial = _serial(info.camera_id)
                    gps = _has_gps(info.camera_id)
                finally:
                    qel.close_camera(info.camera_id)
        found.append(CameraDescription.from_info(index, info, serial, gps))
    return found


def _serial(camera_id: int) -> str:
    try:
        return qel.get_serial_number(camera_id).id
    except (qel.QELError, UnicodeDecodeError):
        return ""


def _has_gps(camera_id: int) -> bool:
    count = qel.get_num_of_controls(camera_id)
    return any(qel.get_control_caps(camera_id, i).control_type == qel.ControlType.QEL_GPS_SUPPORT for i in range(count))


@dataclass(frozen=True)
class ControlRange:
    """One control of a camera, in natural units (``scale`` SDK steps make one unit)."""

    control: qel.ControlType
    name: str
    minimum: float
    maximum: float
    default: float
    unit: str
    writable: bool
    auto: bool
    scale: float = 1.0

    def __str__(self) -> str:
        unit = f" {self.unit}" if self.unit else ""
        return f"{self.minimum:g} .. {self.maximum:g}{unit}"


# attribute name -> (control type, unit, SDK steps per unit)
_CONTROLS: dict[str, tuple[qel.ControlType, str, float]] = {
    "exposure": (qel.ControlType.QEL_EXPOSURE, "s", 1e6),
    "gain": (qel.ControlType.QEL_GAIN, "", 1),
    "offset": (qel.ControlType.QEL_OFFSET, "", 1),
    "gamma": (qel.ControlType.QEL_GAMMA, "", 1),
    "wb_red": (qel.ControlType.QEL_WB_R, "", 1),
    "wb_blue": (qel.ControlType.QEL_WB_B, "", 1),
    "bandwidth": (qel.ControlType.QEL_BANDWIDTHOVERLOAD, "%", 1),
    "temperature": (qel.ControlType.QEL_TEMPERATURE, "C", 10),
    "flip": (qel.ControlType.QEL_FLIP, "", 1),
    "hardware_bin": (qel.ControlType.QEL_HARDWARE_BIN, "", 1),
    "high_speed_mode": (qel.ControlType.QEL_HIGH_SPEED_MODE, "", 1),
    "cooler_power": (qel.ControlType.QEL_COOLER_POWER_PERC, "%", 1),
    "target_temperature": (qel.ControlType.QEL_TARGET_TEMP, "C", 1),
    "cooler_on": (qel.ControlType.QEL_COOLER_ON, "", 1),
    "mono_bin": (qel.ControlType.QEL_MONO_BIN, "", 1),
    "fan_on": (qel.ControlType.QEL_FAN_ON, "", 1),
    "anti_dew_heater": (qel.ControlType.QEL_ANTI_DEW_HEATER, "", 1),
    "gps_start_line": (qel.ControlType.QEL_GPS_START_LINE, "", 1),
    "gps_end_line": (qel.ControlType.QEL_GPS_END_LINE, "", 1),
}


@dataclass(frozen=True)
class Roi:
    """Region of interest: size in binned pixels, binning, format and start (binned pixels; None: centred)."""

    width: int
    height: int
    bin: int = 1
    format: qel.ImgType = ImgType.IMG_RAW16
    start_x: Optional[int] = None
    start_y: Optional[int] = None

    @property
    def bytes_per_pixel(self) -> int:
        return _BYTES_PER_PIXEL[self.format]

    @property
    def size(self) -> int:
        """Bytes of one image."""
        return self.width * self.height * self.bytes_per_pixel


@dataclass(frozen=True)
class Frame:
    """One image and what is known about how it was taken."""

    data: bytes
    roi: Roi
    camera: CameraDescription
    exposure: float  # seconds
    start: _dt.datetime  # UTC, start of the exposure
    end: _dt.datetime  # UTC, end of the exposure
    time_source: str  # "GPS" or "host clock"
    dark: bool = False
    gain: Optional[int] = None
    offset: Optional[int] = None
    temperature: Optional[float] = None  # C
    target_temperature: Optional[float] = None  # C, when the cooler is on
    flip: qel.FlipStatus = FlipStatus.QEL_FLIP_NONE
    mono_bin: bool = False
    gps: Optional[qel.GpsData] = None
    number: int = 0  # frame number in a video, from 0
    dropped: int = 0  # frames dropped in this video so far

    @property
    def width(self) -> int:
        return self.roi.width

    @property
    def height(self) -> int:
        return self.roi.height

    @cached_property
    def array(self) -> npt.NDArray[Any]:
        """The image: RAW8/Y8 uint8 (h, w); RAW16 uint16 (h, w), native order; RGB24 uint8 (h, w, 3), R G B."""
        roi = self.roi
        if roi.format == ImgType.IMG_RAW16:
            pixels = np.frombuffer(self.data, dtype="<u2", count=roi.width * roi.height)
            pixels = pixels.astype(np.uint16, copy=False)  # a copy only on a big-endian host
            return pixels.reshape(roi.height, roi.width)
        pixels = np.frombuffer(self.data, dtype=np.uint8, count=roi.size)
        if roi.format == ImgType.IMG_RGB24:
            return pixels.reshape(roi.height, roi.width, 3)
        return pixels.reshape(roi.height, roi.width)

    @property
    def bayer_pattern(self) -> Optional[str]:
        """The colour filter pattern of the image's top-left 2x2 pixels as stored, None where there is none."""
        pattern = self.camera.bayer_pattern
        if pattern is None or self.roi.format not in (ImgType.IMG_RAW8, ImgType.IMG_RAW16):
            return None
        if self.mono_bin and self.roi.bin > 1:
            return None
        # image column 0 is sensor column start_x, or the region's last one when flipped (the width is even)
        dx = (self.roi.start_x or 0) + (1 if self.flip & FlipStatus.QEL_FLIP_HORIZ else 0)
        dy = (self.roi.start_y or 0) + (1 if self.flip & FlipStatus.QEL_FLIP_VERT else 0)
        return _shift_pattern(pattern, dx, dy)

    @property
    def midpoint(self) -> _dt.datetime:
        return self.start + (self.end - self.start) / 2

    def fits_header(self) -> Any:
        """The FITS header of this frame (an ``astropy.io.fits.Header``); needs the ``capture`` extra."""
        from .fits import frame_header

        return frame_header(self)

    def write_fits(self, path: Union[str, os.PathLike[str]], overwrite: bool = False) -> None:
        """Write the frame as a FITS file, rows top-down; needs the ``capture`` extra."""
        from .fits import write_frame

        write_frame(self, path, overwrite=overwrite)


def _gps_time(gps: qel.GpsData) -> _dt.datetime:
    return _dt.datetime(
        gps.year, gps.month, gps.day, gps.hour, gps.minute, gps.second, gps.m_second * 1000 + gps.u_second, tzinfo=UTC
    )


def _now() -> _dt.datetime:
    return _dt.datetime.now(UTC)


T = TypeVar("T")


def _flip(value: float) -> qel.FlipStatus:
    return FlipStatus(int(value))


class _Reading(Generic[T]):
    """A read-only control of a Camera, in natural units."""

    def __init__(self, attribute: str, kind: Callable[[float], T], doc: str) -> None:
        self.attribute, self.kind, self.__doc__ = attribute, kind, doc

    @overload
    def __get__(self, camera: None, owner: type[Camera]) -> _Reading[T]: ...
    @overload
    def __get__(self, camera: Camera, owner: type[Camera]) -> T: ...
    def __get__(self, camera: Optional[Camera], owner: type[Camera]) -> Union[T, _Reading[T]]:
        if camera is None:
            return self
        return self.kind(camera.get(self.attribute))

    def __set__(self, camera: Camera, value: NoReturn) -> None:
        raise AttributeError(f"{camera.description.name}: {self.attribute} is read-only")


class _Control(_Reading[T]):
    """A control of a Camera, in natural units; out of range values raise ValueError."""

    def __set__(self, camera: Camera, value: T) -> None:
        camera.set(self.attribute, value)  # type: ignore[arg-type]


class Camera(NonBlocking):
    """An open, initialised camera; a context manager that stops capture and closes it on leaving.

    ``Camera(0)`` opens the camera at index 0, ``Camera(name=...)`` and ``Camera(serial=...)`` find one.
    Its worker thread makes every module call for it; any thread may use it (see ``core``).
    """

    def __init__(self, index: Optional[int] = None, *, name: Optional[str] = None, serial: Optional[str] = None) -> None:
        self._open = False
        self._label = "camera"
        self._cid = -1
        self._worker: Optional[Worker] = None
        self._video_stop: Optional[threading.Event] = None  # set by stop_video() to end the running video
        count = qel.get_number_of_connected_cameras()
        if index is None and name is None and serial is None:
            index = 0
        if index is not None:
            if not 0 <= index < count:
                raise LookupError(f"no camera at index {index} ({count} connected)")
            self._open_camera(index, qel.get_camera_property(index))
            return
        for i in range(count):
            info = qel.get_camera_property(i)
            if name is not None and info.name != name:
                continue
            self._open_camera(i, info)
            if serial is None or self.description.serial == serial:
                return
            self.close()
        wanted = " and ".join(f"{k} {v!r}" for k, v in (("name", name), ("serial", serial)) if v is not None)
        raise LookupError(f"no camera with {wanted} ({count} connected)")

    def _open_camera(self, index: int, info: qel.CameraInfo) -> None:
        self._cid, self._label = info.camera_id, info.name
        self._call(qel.open_camera, "opening the camera")
        self._open = True
        try:
            self._call(qel.init_camera, "initialising the camera")
            count = qel.get_num_of_controls(self._cid)
            self._caps = {c.control_type: c for c in (qel.get_control_caps(self._cid, i) for i in range(count))}
            gps = qel.ControlType.QEL_GPS_SUPPORT in self._caps
            self.description = CameraDescription.from_info(index, info, _serial(self._cid), gps)
            _held[self._cid] = self
            self._worker = Worker(self)
        except BaseException:
            self.close()
            raise

    # ---- life cycle

    @property
    def camera_id(self) -> int:
        """The SDK's id of the camera, for calls to the ``qel`` module."""
        if not self._open:
            raise ValueError(f"{self._label}: the camera is closed")
        return self._cid

    @property
    def closed(self) -> bool:
        return not self._open

    def close(self) -> None:
        """Stop any capture and close the camera; closing a closed camera does nothing."""
        if not self._open:
            return
        self._open = False
        if _held.get(self._cid) is self:
            del _held[self._cid]
        if self._worker is not None:
            self._worker.stop()  # aborts, releases the guide relays, ends the thread
        for stop in (qel.stop_video_capture, qel.stop_exposure):
            try:
                stop(self._cid)
            except qel.QELError:
                pass
        qel.close_camera(self._cid)

    def __enter__(self) -> Camera:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<Camera {self._label!r} ({'closed' if not self._open else f'id {self._cid}'})>"

    def _run(self, function: Callable[..., T], *args: Any) -> T:
        """``function(*args)`` on the camera's worker."""
        worker = self._worker
        return function(*args) if worker is None else worker.call(function, *args)

    def _call(self, function: Callable[..., Any], what: str, *args: Any) -> Any:
        """Call a module function on this camera (on its worker); an SDK failure says which camera and what failed."""
        return self._run(self._sdk, function, what, *args)

    def _sdk(self, function: Callable[..., Any], what: str, *args: Any) -> Any:
        try:
            return function(self._cid, *args)
        except qel.QELError as error:
            raise type(error)(f"{self._label}: {what} failed ({type(error).__name__})") from error

    # ---- controls

    @property
    def controls(self) -> dict[str, ControlRange]:
        """The camera's controls by attribute name, with their ranges in natural units."""
        found = {}
        for attribute, (control, unit, scale) in _CONTROLS.items():
            caps = self._caps.get(control)
            if caps is not None:
                found[attribute] = ControlRange(
                    control,
                    caps.name,
                    caps.min_value / scale,
                    caps.max_value / scale,
                    caps.default_value / scale,
                    unit,
                    caps.is_writable,
                    caps.is_auto_supported,
                    scale,
                )
        return found

    def _range(self, attribute: str) -> ControlRange:
        found = self.controls.get(attribute)
        if found is None:
            raise AttributeError(f"{self._label}: the camera has no control '{attribute}'")
        return found

    def get(self, attribute: str) -> float:
        """A control's value in natural units, by attribute name (see ``controls``)."""
        control = self._range(attribute)
        value, _auto = self._call(qel.get_control_value, f"reading {attribute}", control.control)
        return float(value / control.scale) if control.scale != 1 else float(value)

    def set(self, attribute: str, value: float, auto: bool = False) -> None:
        """Set a control in natural units; out of range raises ValueError before the SDK is called."""
        control = self._range(attribute)
        if not control.writable:
            raise ValueError(f"{self._label}: {attribute} is read-only")
        if auto and not control.auto:
            raise ValueError(f"{self._label}: {attribute} has no automatic mode")
        if isinstance(value, bool):
            value = int(value)
        if not isinstance(value, (int, float)) or value != value:
            raise ValueError(f"{self._label}: {attribute} {value!r} is not a number")
        if not control.minimum <= value <= control.maximum:
            raise ValueError(f"{self._label}: {attribute} {value!r} is outside the range {control}")
        steps = round(value * control.scale)
        what = f"setting {attribute} to {value!r}"
        if attribute in ("target_temperature", "cooler_on") and self._worker is not None:
            self._worker.call(self._worker.set_cooler, control.control, steps, auto, what)  # ends a ramp
        else:
            self._call(qel.set_control_value, what, control.control, steps, auto)

    def auto(self, attribute: str) -> bool:
        """Whether a control is in automatic mode."""
        control = self._range(attribute)
        return bool(self._call(qel.get_control_value, f"reading {attribute}", control.control)[1])

    exposure = _Control("exposure", float, "Exposure, seconds.")
    gain = _Control("gain", int, "Gain, in 0.1 dB steps.")
    offset = _Control("offset", int, "Offset (black level).")
    gamma = _Control("gamma", int, "Gamma.")
    wb_red = _Control("wb_red", int, "White balance, red (50 is unity).")
    wb_blue = _Control("wb_blue", int, "White balance, blue (50 is unity).")
    bandwidth = _Control("bandwidth", int, "Share of the USB link, percent.")
    temperature = _Reading("temperature", float, "Sensor temperature, degrees C.")
    target_temperature = _Control("target_temperature", float, "Cooler target temperature, degrees C.")
    cooler_on = _Control("cooler_on", bool, "Cooler switched on.")
    cooler_power = _Reading("cooler_power", float, "Cooler power, percent.")
    flip = _Control("flip", _flip, "Image flip, a FlipStatus.")
    mono_bin = _Control("mono_bin", bool, "Colour camera bins to monochrome.")
    hardware_bin = _Control("hardware_bin", bool, "Bin on the sensor.")
    high_speed_mode = _Control("high_speed_mode", bool, "High-speed readout.")
    anti_dew_heater = _Control("anti_dew_heater", bool, "Anti-dew heater on.")
    fan_on = _Control("fan_on", bool, "Fan on.")

    # ---- region of interest

    @property
    def roi(self) -> Roi:
        width, height, binning, img_type = self._call(qel.get_roi_format, "reading the region")
        start_x, start_y = self._call(qel.get_start_pos, "reading the start position")
        return Roi(width, height, binning, img_type, start_x, start_y)

    @roi.setter
    def roi(self, roi: Roi) -> None:
        d = self.description
        problems = []
        if roi.bin not in d.bins:
            problems.append(f"bin {roi.bin} is not one of {list(d.bins)}")
        if roi.format not in d.formats:
            problems.append(f"format {getattr(roi.format, 'name', roi.format)} is not one of {[f.name for f in d.formats]}")
        limit_w, limit_h = d.width // max(roi.bin, 1), d.height // max(roi.bin, 1)
        if not (0 < roi.width <= limit_w and roi.width % 8 == 0):
            problems.append(f"width {roi.width} is not a multiple of 8 from 8 to {limit_w}")
        if not (0 < roi.height <= limit_h and roi.height % 2 == 0):
            problems.append(f"height {roi.height} is not a multiple of 2 from 2 to {limit_h}")
        if roi.start_x is not None and not 0 <= roi.start_x <= limit_w - roi.width:
            problems.append(f"start x {roi.start_x} is outside 0 .. {limit_w - roi.width}")
        if roi.start_y is not None and not 0 <= roi.start_y <= limit_h - roi.height:
            problems.append(f"start y {roi.start_y} is outside 0 .. {limit_h - roi.height}")
        if problems:
            raise ValueError(f"{self._label}: region {roi.width}x{roi.height}: " + "; ".join(problems))
        self._call(qel.set_roi_format, "setting the region", roi.width, roi.height, roi.bin, roi.format)
        if roi.start_x is not None or roi.start_y is not None:
            x, y = self._call(qel.get_start_pos, "reading the start position")
            x = x if roi.start_x is None else roi.start_x
            y = y if roi.start_y is None else roi.start_y
            self._call(qel.set_start_pos, "setting the start position", x, y)

    def full_frame(self, bin: int = 1, format: qel.ImgType = ImgType.IMG_RAW16) -> Roi:
        """The region of the whole sensor at this binning and format (sizes rounded down to 8 x 2)."""
        d = self.description
        return Roi(d.width // bin // 8 * 8, d.height // bin // 2 * 2, bin, format, 0, 0)

    # ---- capture

    def _settings(self) -> dict[str, Any]:
        controls = self.controls
        found: dict[str, Any] = {}
        for attribute in ("gain", "offset", "temperature", "flip", "mono_bin"):
            if attribute in controls:
                found[attribute] = self.get(attribute)
        if "cooler_on" in controls and self.get("cooler_on"):
            found["target_temperature"] = self.get("target_temperature")
        return {
            "gain": int(found["gain"]) if "gain" in found else None,
            "offset": int(found["offset"]) if "offset" in found else None,
            "temperature": found.get("temperature"),
            "target_temperature": found.get("target_temperature"),
            "flip": FlipStatus(int(found.get("flip", 0))),
            "mono_bin": bool(found.get("mono_bin", 0)),
        }

    def expose(
        self,
        seconds: Optional[float] = None,
        dark: bool = False,
        timeout: Optional[float] = None,
        progress: Optional[Callable[[float], None]] = None,
    ) -> Frame:
        """Take one exposure (``seconds``: set the exposure first) and return its frame.

        The wait polls the camera, so Ctrl-C stops the exposure and raises KeyboardInterrupt at once.
        ``progress`` is called with the fraction done (0 to 1). ``timeout`` (s) beyond the exposure
        time stops the exposure and raises TimeoutError. Start and end are UTC, from the camera's GPS
        record when it has one, else the host clock.
        """
        owner = object()  # the exposure that this call starts, to abort it and no other one
        try:
            worker = self._running()
            exposure = worker.call(worker.start, seconds, dark, owner)
            began = time.monotonic()
            while worker.status.state in (CameraState.EXPOSING, CameraState.READING, CameraState.DOWNLOADING):
                elapsed = time.monotonic() - began
                if progress is not None:
                    progress(min(elapsed / exposure, 0.99) if exposure > 0 else 0.99)
                if timeout is not None and elapsed > exposure + timeout:
                    raise TimeoutError(f"{self._label}: no image {timeout:g} s after a {exposure:g} s exposure")
                worker.wait_change(_POLL_S)  # woken at once by a change of state
        except BaseException:
            if self._worker is not None:
                self._worker.call(self._worker.abort, owner)
            raise
        frame = self.wait_image(0)
        if progress is not None:
            progress(1.0)
        return frame

    def _frame(
        self,
        data: bytes,
        roi: Roi,
        exposure: float,
        started: Optional[_dt.datetime],
        gps: Optional[qel.GpsData],
        dark: bool = False,
        end_record: bool = False,
        number: int = 0,
        dropped: int = 0,
        settings: Optional[dict[str, Any]] = None,
    ) -> Frame:
        length = _dt.timedelta(seconds=exposure)
        source = "host clock"
        if gps is not None:
            start = _gps_time(gps)
            end = start + length
            source = "GPS"
            if end_record:
                try:
                    end = _gps_time(qel.gps_get_data(self.camera_id)[1])
                except (qel.QELError, ValueError):
                    pass
        elif started is not None:
            start, end = started, started + length
        else:  # a video frame arrives one readout after its exposure ended
            end = _now()
            start = end - length
        return Frame(
            data=data,
            roi=roi,
            camera=self.description,
            exposure=exposure,
            start=start,
            end=end,
            time_source=source,
            dark=dark,
            gps=gps,
            number=number,
            dropped=dropped,
            **(settings if settings is not None else self._settings()),
        )

    def video(
        self,
        seconds: Optional[float] = None,
        frames: Optional[int] = None,
        wait: float = 0.1,
        timeout: Optional[float] = None,
    ) -> Iterator[Frame]:
        """Frames of a video capture, for ``seconds`` or ``frames`` (both None: without end).

        Each wait for a frame lasts at most ``wait`` s (at most 0.2 s), so Ctrl-C works; ``timeout``
        (s) without a frame raises TimeoutError. Leaving the loop stops the capture, and so does
        ``stop_video()`` from another thread (after the current wait; the frame it brings is dropped).
        """
        wait_ms = max(1, min(int(wait * 1000), MAX_WAIT_MS))
        roi = self.roi
        exposure = self.exposure
        settings = self._settings()
        gps = self.description.gps
        worker = self._running()
        worker.call(worker.start_video)
        stop = self._video_stop = threading.Event()
        try:
            begin = time.monotonic()
            last = begin
            number = 0
            while (
                (frames is None or number < frames)
                and (seconds is None or time.monotonic() - begin < seconds)
                and not stop.is_set()
            ):
                try:
                    data, record, dropped = worker.call(worker.video_frame, gps, roi.size, wait_ms)
                except qel.QELTimeout:
                    if timeout is not None and time.monotonic() - last > timeout:
                        raise TimeoutError(f"{self._label}: no video frame within {timeout:g} s") from None
                    continue
                except qel.QELError as error:
                    raise type(error)(f"{self._label}: reading video failed: {type(error).__name__}") from error
                if stop.is_set():
                    break
                last = time.monotonic()
                yield self._frame(data, roi, exposure, None, record, number=number, dropped=dropped, settings=settings)
                number += 1
        finally:
            if self._video_stop is stop:
                self._video_stop = None
            if self._open:
                worker.call(worker.stop_video)

    def stop_video(self) -> None:
        """End the running ``video()`` from any thread: its generator ends after the wait in progress
        (at most 0.2 s) and stops the capture. Does nothing when no video runs; a later video is not
        affected."""
        stop = self._video_stop
        if stop is not None:
            stop.set()
