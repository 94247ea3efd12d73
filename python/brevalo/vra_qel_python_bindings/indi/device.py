"""One INDI device per camera: client requests become calls of the non-blocking camera, and the
camera's status becomes property updates.

Every camera call that may wait for the camera's worker runs in a thread (``_call``); status reads
(``Camera.status()``) are cheap and run in the event loop. A request is checked completely before
anything changes, so a refused request leaves the last good values; a refusal puts the property in
Alert with a message from ``ERRORS``.
"""

from __future__ import annotations

import asyncio
import datetime as dt
import logging
import math
import os
import threading
import time
from dataclasses import dataclass
from typing import Any, Awaitable, Callable, Optional

import indipydriver as ipd  # type: ignore[import-untyped]

from .. import qel
from ..camera import Camera, CameraBusy, CameraState, Frame, Roi
from .images import fits_bytes, upload_path
from .properties import Facts, build

logger = logging.getLogger(__name__)

RAW8, RAW16 = qel.ImgType.IMG_RAW8, qel.ImgType.IMG_RAW16
NORTH, SOUTH, EAST, WEST = (
    qel.GuideDirection.QEL_GUIDE_NORTH,
    qel.GuideDirection.QEL_GUIDE_SOUTH,
    qel.GuideDirection.QEL_GUIDE_EAST,
    qel.GuideDirection.QEL_GUIDE_WEST,
)
#: A cooling target counts as reached within this many degrees.
TEMPERATURE_TOLERANCE = 0.5
#: Seconds between updates of the exposure countdown and of the temperature.
COUNTDOWN_PERIOD = 0.5
TEMPERATURE_PERIOD = 1.0


def _now() -> dt.datetime:
    return dt.datetime.now(dt.timezone.utc)


class Refused(ValueError):
    """A request the driver declines before calling the camera."""


# Exceptions to the message a client sees, most specific first. Anything else is a fault of the
# driver: logged, and reported with its type.
ERRORS: tuple[tuple[type[BaseException], str], ...] = (
    (Refused, "{error}"),
    (CameraBusy, "The camera is busy: {error}"),
    (qel.QELCameraRemoved, "The camera was disconnected"),
    (qel.QELCameraClosed, "The camera is closed"),
    (TimeoutError, "The camera did not answer in time: {error}"),
    (ValueError, "{error}"),
    (qel.QELError, "The camera refused: {error}"),
)


def error_message(error: BaseException) -> str:
    for kind, text in ERRORS:
        if isinstance(error, kind):
            return text.format(error=error)
    logger.error("unexpected error", exc_info=error)
    return f"Internal error: {type(error).__name__}: {error}"


@dataclass
class _Exposure:
    seconds: float
    kind: str  # the FRAME_* switch


class CameraDevice(ipd.Device):  # type: ignore[misc]
    """The INDI face of one open camera."""

    def __init__(self, devicename: str, camera: Camera, upload_dir: str) -> None:
        self.camera: Optional[Camera] = camera
        self.index = camera.description.index
        self.serial = camera.description.serial
        self.facts = facts(camera, upload_dir)
        super().__init__(devicename, build(self.facts))
        self._handlers: dict[str, Callable[[Any], Awaitable[None]]] = {
            "CONNECTION": self._on_connection,
            "CCD_EXPOSURE": self._on_exposure,
            "CCD_ABORT_EXPOSURE": self._on_abort,
            "CCD_FRAME": self._on_frame,
            "CCD_FRAME_RESET": self._on_frame_reset,
            "CCD_BINNING": self._on_binning,
            "CCD_FRAME_TYPE": self._on_switch,
            "UPLOAD_MODE": self._on_switch,
            "UPLOAD_SETTINGS": self._on_upload_settings,
            "CCD_TEMPERATURE": self._on_temperature,
            "CCD_COOLER": self._on_cooler,
            "CCD_GAIN": self._on_control,
            "CCD_OFFSET": self._on_control,
            "TELESCOPE_TIMED_GUIDE_NS": self._on_guide,
            "TELESCOPE_TIMED_GUIDE_WE": self._on_guide,
            "CCD_VIDEO_STREAM": self._on_stream,
            "STREAMING_EXPOSURE": self._on_numbers,
        }
        self["CONNECTION"].state = "Ok"
        self._exposure: Optional[_Exposure] = None
        self._target: Optional[float] = None  # cooling target not yet reached
        self._commanded = _now()  # when the cooler was last switched
        self._next_countdown = 0.0
        self._next_temperature = 0.0
        self._guide_timers: dict[str, asyncio.TimerHandle] = {}
        self._stream_stop: Optional[threading.Event] = None
        self._stream_thread: Optional[threading.Thread] = None
        self._stream_slot: Optional[bytes] = None
        self._stream_ready: Optional[asyncio.Event] = None
        self._stream_error: Optional[BaseException] = None
        self._lock = asyncio.Lock()  # one request at a time per device

    # ---- requests

    async def devrxevent(self, event: Any, *args: Any, **kwargs: Any) -> None:
        vector = self[event.vectorname]
        handler = self._handlers.get(event.vectorname)
        async with self._lock:
            try:
                if handler is None:
                    raise Refused(f"{event.vectorname} is read-only")
                if self.camera is None and event.vectorname != "CONNECTION":
                    raise Refused("The camera is not connected")
                await handler(event)
            except Exception as error:  # every refusal becomes the property's Alert
                await self.refuse(vector, error_message(error))

    async def update(self, vector: Any, state: Optional[str] = None, message: str = "", allvalues: bool = True) -> None:
        """Send a property's values and state, with a message or none (indipydriver would repeat the
        last message of the property on every later update)."""
        vector._message = message
        await vector.send_setVector(message=message, state=state, allvalues=allvalues)

    async def refuse(self, vector: Any, message: str) -> None:
        """Alert on a property with a message, values unchanged."""
        if vector.vectortype == "BLOBVector":
            await self.send_device_message(message)
        else:
            await self.update(vector, message=message, state="Alert", allvalues=True)

    def numbers(self, event: Any) -> dict[str, float]:
        """The event's numbers, each finite and within its element's range, else Refused."""
        found = {}
        for name, text in event.items():
            member = event.vector.data[name]
            try:
                value = ipd.getfloat(text)
            except TypeError:
                raise Refused(f"{event.vectorname}.{name}: {text!r} is not a number") from None
            low, high = float(member.min), float(member.max)
            if not math.isfinite(value):
                raise Refused(f"{event.vectorname}.{name}: {text!r} is not a finite number")
            if low < high and not low <= value <= high:
                raise Refused(f"{event.vectorname}.{name}: {value:g} is outside {low:g} .. {high:g}")
            found[name] = value
        return found

    @staticmethod
    def chosen(event: Any) -> str:
        """The switch a OneOfMany request turns on."""
        on = [name for name, value in event.items() if value == "On"]
        if len(on) != 1:
            raise Refused(f"{event.vectorname}: exactly one switch must be On")
        return str(on[0])

    async def _call(self, function: Callable[..., Any], *args: Any) -> Any:
        return await asyncio.to_thread(function, *args)

    async def _on_switch(self, event: Any) -> None:
        name = self.chosen(event)
        vector = event.vector
        for member in vector:
            vector[member] = "On" if member == name else "Off"
        await self.update(vector, state="Ok")

    async def _on_numbers(self, event: Any) -> None:
        values = self.numbers(event)
        for name, value in values.items():
            event.vector[name] = value
        await self.update(event.vector, state="Ok")

    async def _on_upload_settings(self, event: Any) -> None:
        values = {name: value.strip() for name, value in event.items()}  # servers may indent texts
        if values.get("UPLOAD_DIR", "-") == "" or values.get("UPLOAD_PREFIX", "-") == "":
            raise Refused("UPLOAD_SETTINGS: UPLOAD_DIR and UPLOAD_PREFIX may not be empty")
        for name, value in values.items():
            event.vector[name] = value
        await self.update(event.vector, state="Ok")

    # ---- connection

    async def _on_connection(self, event: Any) -> None:
        name = self.chosen(event)
        vector = event.vector
        if name == "CONNECT" and self.camera is None:
            self.camera = await self._call(self._reopen)
        elif name == "DISCONNECT" and self.camera is not None:
            await self._stop_stream()
            camera, self.camera, self._exposure = self.camera, None, None
            await self._call(camera.close)
        vector["CONNECT"], vector["DISCONNECT"] = ("On", "Off") if name == "CONNECT" else ("Off", "On")
        await self.update(vector, state="Ok" if self.camera is not None else "Idle")

    def _reopen(self) -> Camera:
        if self.serial:
            return Camera(serial=self.serial)
        return Camera(self.index)

    def close(self) -> None:
        """End streaming and close the camera (the driver is ending)."""
        if self._stream_stop is not None:
            self._stream_stop.set()
        if self._stream_thread is not None:
            self._end_stream_thread(self._stream_thread, 5)
        if self.camera is not None:
            camera, self.camera = self.camera, None
            camera.close()

    # ---- region

    def region(self) -> tuple[int, int, int, int, int]:
        """X, Y, width, height (unbinned) and bin, from the properties."""
        frame, binning = self["CCD_FRAME"], self["CCD_BINNING"]
        return (
            int(frame.getfloatvalue("X")),
            int(frame.getfloatvalue("Y")),
            int(frame.getfloatvalue("WIDTH")),
            int(frame.getfloatvalue("HEIGHT")),
            int(binning.getfloatvalue("HOR_BIN")),
        )

    def fit(self, x: float, y: float, width: float, height: float, binning: int) -> tuple[int, int, int, int]:
        """A frame in unbinned pixels made one the camera reads: start on the bin grid, binned width a
        multiple of 8 and height even. Refused when it leaves the sensor or is too small."""
        facts = self.facts
        if any(v != int(v) for v in (x, y, width, height)):
            raise Refused("CCD_FRAME: X, Y, WIDTH and HEIGHT are whole pixels")
        if x < 0 or y < 0 or x + width > facts.width or y + height > facts.height:
            raise Refused(
                f"CCD_FRAME: {width:g}x{height:g} at ({x:g}, {y:g}) leaves the {facts.width}x{facts.height} sensor"
            )
        binned_w, binned_h = int(width) // binning // 8 * 8, int(height) // binning // 2 * 2
        if binned_w < 8 or binned_h < 2:
            raise Refused(f"CCD_FRAME: {width:g}x{height:g} is smaller than 8x2 pixels at bin {binning}")
        return int(x) // binning * binning, int(y) // binning * binning, binned_w * binning, binned_h * binning

    def roi(self, image_format: qel.ImgType) -> Roi:
        x, y, width, height, binning = self.region()
        return Roi(width // binning, height // binning, binning, image_format, x // binning, y // binning)

    async def _send_frame(self, x: int, y: int, width: int, height: int) -> None:
        frame = self["CCD_FRAME"]
        frame["X"], frame["Y"], frame["WIDTH"], frame["HEIGHT"] = x, y, width, height
        await self.update(frame, state="Ok")

    async def _on_frame(self, event: Any) -> None:
        values = self.numbers(event)
        x, y, width, height, binning = self.region()
        left, top = values.get("X", x), values.get("Y", y)
        wide, high = values.get("WIDTH", width), values.get("HEIGHT", height)
        self._idle("change the frame")
        await self._send_frame(*self.fit(left, top, wide, high, binning))

    async def _on_frame_reset(self, event: Any) -> None:
        self._idle("reset the frame")
        binning = self["CCD_BINNING"]
        binning["HOR_BIN"] = binning["VER_BIN"] = 1
        await self.update(binning, state="Ok")
        await self._send_frame(*self.fit(0, 0, self.facts.width, self.facts.height, 1))
        event.vector["RESET"] = "Off"
        await self.update(event.vector, state="Ok")

    async def _on_binning(self, event: Any) -> None:
        values = self.numbers(event)
        horizontal = values.get("HOR_BIN", values.get("VER_BIN"))
        vertical = values.get("VER_BIN", horizontal)
        if horizontal != vertical:
            raise Refused("CCD_BINNING: the camera bins both axes alike")
        if horizontal not in self.facts.bins:
            raise Refused(f"CCD_BINNING: {horizontal:g} is not one of the bins {list(self.facts.bins)}")
        binning = int(horizontal)
        self._idle("change the binning")
        x, y, width, height, _ = self.region()
        frame = self.fit(x, y, width, height, binning)
        event.vector["HOR_BIN"] = event.vector["VER_BIN"] = binning
        await self.update(event.vector, state="Ok")
        await self._send_frame(*frame)

    def _idle(self, what: str) -> None:
        if self._exposure is not None or self._stream_stop is not None:
            raise Refused(f"Cannot {what} while the camera is exposing or streaming")

    # ---- exposures

    async def _on_exposure(self, event: Any) -> None:
        seconds = self.numbers(event)["CCD_EXPOSURE_VALUE"]
        camera = self.camera
        assert camera is not None
        self._idle("start an exposure")
        kind = next(name for name, value in self["CCD_FRAME_TYPE"].items() if value == "On")
        if kind == "FRAME_BIAS":
            seconds = self.facts.exposure_range[0]
        roi = self.roi(RAW16)
        await self._call(self._start, camera, roi, seconds, kind in ("FRAME_DARK", "FRAME_BIAS"))
        self._exposure = _Exposure(seconds, kind)
        self._next_countdown = time.monotonic() + COUNTDOWN_PERIOD
        event.vector["CCD_EXPOSURE_VALUE"] = seconds
        await self.update(event.vector, state="Busy")

    @staticmethod
    def _start(camera: Camera, roi: Roi, seconds: float, dark: bool) -> None:
        if camera.roi != roi:
            camera.roi = roi
        camera.start_exposure(seconds, dark)

    async def _on_abort(self, event: Any) -> None:
        camera = self.camera
        assert camera is not None
        if event.get("ABORT") != "On":
            raise Refused("CCD_ABORT_EXPOSURE: ABORT must be On")
        await self._call(camera.abort_exposure)
        exposing = self._exposure is not None
        self._exposure = None
        event.vector["ABORT"] = "Off"
        await self.update(event.vector, state="Ok")
        if exposing:
            exposure = self["CCD_EXPOSURE"]
            exposure["CCD_EXPOSURE_VALUE"] = 0
            await self.update(exposure, message="Exposure aborted", state="Idle")

    async def _exposure_tick(self, camera: Camera) -> None:
        exposure = self._exposure
        if exposure is None:
            return
        vector = self["CCD_EXPOSURE"]
        status = camera.status()
        if status.state == CameraState.ERROR:
            self._exposure = None
            error = camera.last_error
            reason = error_message(error) if error else "camera error"
            await self.update(vector, message=f"Exposure failed: {reason}", state="Alert")
        elif status.image_ready:
            self._exposure = None
            frame = camera.last_frame
            assert frame is not None
            vector["CCD_EXPOSURE_VALUE"] = 0
            try:
                await self._deliver(frame)
            except Exception as error:
                await self.update(vector, message="Image not delivered: " + error_message(error), state="Alert")
            else:
                await self.update(vector, state="Ok")
        elif time.monotonic() >= self._next_countdown:
            self._next_countdown = time.monotonic() + COUNTDOWN_PERIOD
            left = exposure.seconds * (1 - status.percent_completed / 100)
            vector["CCD_EXPOSURE_VALUE"] = round(max(left, 0.0), 3)
            await self.update(vector, state="Busy")

    async def _deliver(self, frame: Frame) -> None:
        data = await self._call(fits_bytes, frame)
        await self._upload(data)

    async def _upload(self, data: bytes) -> None:
        mode = next(name for name, value in self["UPLOAD_MODE"].items() if value == "On")
        if mode in ("UPLOAD_LOCAL", "UPLOAD_BOTH"):
            settings = self["UPLOAD_SETTINGS"]
            path = await self._call(self._write, settings["UPLOAD_DIR"], settings["UPLOAD_PREFIX"], data)
            await self.send_device_message(f"Image saved to {path}")
        if mode in ("UPLOAD_CLIENT", "UPLOAD_BOTH"):
            await self.send_blob(data)

    @staticmethod
    def _write(folder: str, prefix: str, data: bytes) -> str:
        path = upload_path(folder, prefix)
        with open(path + ".part", "wb") as out:
            out.write(data)
        os.replace(path + ".part", path)
        return path

    async def send_blob(self, data: bytes) -> None:
        blob = self["CCD1"]
        blob.set_blobsize("CCD1", len(data))  # the library keeps the first image's size otherwise
        blob["CCD1"] = data
        await blob.send_setVectorMembers(state="Ok", members=["CCD1"])

    # ---- cooling

    async def _on_temperature(self, event: Any) -> None:
        camera = self.camera
        assert camera is not None
        target = self.numbers(event)["CCD_TEMPERATURE_VALUE"]
        await self._call(camera.cool_to, target)
        self._commanded = _now()
        self._target = target
        self._next_temperature = 0.0
        cooler = self["CCD_COOLER"]
        cooler["COOLER_ON"], cooler["COOLER_OFF"] = "On", "Off"
        await self.update(cooler, state="Ok")
        await self.update(event.vector, state="Busy")

    async def _on_cooler(self, event: Any) -> None:
        camera = self.camera
        assert camera is not None
        on = self.chosen(event) == "COOLER_ON"
        await self._call(setattr, camera, "cooler_on", on)
        self._commanded = _now()
        if not on:
            self._target = None
            await self.update(self["CCD_TEMPERATURE"], state="Idle")
        event.vector["COOLER_ON"], event.vector["COOLER_OFF"] = ("On", "Off") if on else ("Off", "On")
        await self.update(event.vector, state="Ok" if on else "Idle")

    async def _temperature_tick(self, camera: Camera) -> None:
        if not self.facts.cooler or time.monotonic() < self._next_temperature:
            return
        self._next_temperature = time.monotonic() + TEMPERATURE_PERIOD
        status = camera.status()
        if status.temperature is None:
            return
        vector = self["CCD_TEMPERATURE"]
        state = vector.state
        if self._target is not None:
            state = "Busy"
            if abs(status.temperature - self._target) <= TEMPERATURE_TOLERANCE:
                state, self._target = "Ok", None
        vector["CCD_TEMPERATURE_VALUE"] = round(status.temperature, 2)
        await self.update(vector, state=state, allvalues=False)
        if status.cooler_power is not None:
            power = self["CCD_COOLER_POWER"]
            power["CCD_COOLER_VALUE"] = round(status.cooler_power, 1)
            await self.update(power, state="Ok", allvalues=False)
        if status.cooler_on is not None and status.timestamp > self._commanded:  # not a reading older than a command
            cooler = self["CCD_COOLER"]
            on = "On" if status.cooler_on else "Off"
            if cooler["COOLER_ON"] != on:
                cooler["COOLER_ON"], cooler["COOLER_OFF"] = on, "Off" if status.cooler_on else "On"
                await self.update(cooler, state="Ok" if status.cooler_on else "Idle")

    # ---- gain and offset

    async def _on_control(self, event: Any) -> None:
        camera = self.camera
        assert camera is not None
        (name, value), = self.numbers(event).items()
        if value != int(value):
            raise Refused(f"{event.vectorname}.{name}: {value:g} is not a whole number")
        await self._call(setattr, camera, name.lower(), int(value))
        event.vector[name] = int(value)
        await self.update(event.vector, state="Ok")

    # ---- guiding

    async def _on_guide(self, event: Any) -> None:
        camera = self.camera
        assert camera is not None
        values = self.numbers(event)
        pulses = [(name, int(ms)) for name, ms in values.items() if ms > 0]
        if len(pulses) > 1:
            raise Refused(f"{event.vectorname}: one direction at a time")
        vector = event.vector
        if not pulses:
            for member in vector:
                vector[member] = 0
            await self.update(vector, state="Ok")
            return
        (name, milliseconds), = pulses
        direction = {"TIMED_GUIDE_N": NORTH, "TIMED_GUIDE_S": SOUTH, "TIMED_GUIDE_E": EAST, "TIMED_GUIDE_W": WEST}[name]
        await self._call(camera.pulse_guide, direction, milliseconds)
        for member in vector:
            vector[member] = milliseconds if member == name else 0
        await self.update(vector, state="Busy")
        timer = self._guide_timers.pop(vector.name, None)
        if timer is not None:
            timer.cancel()
        loop = asyncio.get_running_loop()
        self._guide_timers[vector.name] = loop.call_later(
            milliseconds / 1000, lambda: asyncio.ensure_future(self._guide_done(vector))
        )

    async def _guide_done(self, vector: Any) -> None:
        self._guide_timers.pop(vector.name, None)
        for member in vector:
            vector[member] = 0
        await self.update(vector, state="Ok")

    # ---- video

    async def _on_stream(self, event: Any) -> None:
        camera = self.camera
        assert camera is not None
        on = self.chosen(event) == "STREAM_ON"
        vector = event.vector
        if on and self._stream_stop is None:
            if self._exposure is not None:
                raise Refused("Cannot stream while an exposure runs")
            if self._stream_thread is not None and self._stream_thread.is_alive():
                raise Refused("The last stream is still ending its frame")
            seconds = float(self["STREAMING_EXPOSURE"].getfloatvalue("STREAMING_EXPOSURE_VALUE"))
            divisor = int(self["STREAMING_EXPOSURE"].getfloatvalue("STREAMING_DIVISOR_VALUE"))
            await self._call(self._prepare_stream, camera, self.roi(RAW8), seconds)
            self._stream_stop = threading.Event()
            self._stream_ready = asyncio.Event()
            self._stream_error = None
            loop = asyncio.get_running_loop()
            self._stream_thread = threading.Thread(
                target=self._stream_frames, args=(camera, self._stream_stop, divisor, loop), daemon=True,
                name=f"indi stream {self.devicename}",
            )
            self._stream_thread.start()
            self.add_background(self._stream_sender(self._stream_stop, self._stream_ready))
        elif not on:
            await self._stop_stream()
        vector["STREAM_ON"], vector["STREAM_OFF"] = ("On", "Off") if on else ("Off", "On")
        await self.update(vector, state="Busy" if on else "Idle")

    @staticmethod
    def _prepare_stream(camera: Camera, roi: Roi, seconds: float) -> None:
        if camera.roi != roi:
            camera.roi = roi
        camera.exposure = seconds

    def _stream_frames(self, camera: Camera, stop: threading.Event, divisor: int, loop: Any) -> None:
        """The stream's thread: each frame (every ``divisor``-th) becomes FITS bytes in the one slot that
        the sender empties; a frame the sender has not taken yet is replaced by a newer one."""
        try:
            for number, frame in enumerate(camera.video(wait=0.1)):
                if stop.is_set():
                    break
                if number % divisor:
                    continue
                self._stream_slot = fits_bytes(frame)
                loop.call_soon_threadsafe(self._wake_sender)
        except Exception as error:
            self._stream_error = error
            loop.call_soon_threadsafe(self._wake_sender)

    def _wake_sender(self) -> None:
        if self._stream_ready is not None:
            self._stream_ready.set()

    async def _stream_sender(self, stop: threading.Event, ready: asyncio.Event) -> None:
        while not stop.is_set() and not self.stop:
            try:
                await asyncio.wait_for(ready.wait(), 0.5)
            except asyncio.TimeoutError:
                continue
            ready.clear()
            if self._stream_error is not None:
                error, self._stream_error = self._stream_error, None
                await self._stop_stream()
                await self.update(self["CCD_VIDEO_STREAM"], message=error_message(error), state="Alert")
                return
            data, self._stream_slot = self._stream_slot, None
            if data is not None and not stop.is_set():
                await self.send_blob(data)

    async def _stop_stream(self) -> None:
        stop, thread = self._stream_stop, self._stream_thread
        if stop is None:
            return
        stop.set()
        self._stream_stop = None
        if thread is not None:
            seconds = float(self["STREAMING_EXPOSURE"].getfloatvalue("STREAMING_EXPOSURE_VALUE"))
            await asyncio.to_thread(self._end_stream_thread, thread, seconds + 2)
            if not thread.is_alive():
                self._stream_thread = None
        vector = self["CCD_VIDEO_STREAM"]
        vector["STREAM_ON"], vector["STREAM_OFF"] = "Off", "On"

    def _end_stream_thread(self, thread: threading.Thread, limit: float) -> None:
        """Wait up to ``limit`` s for the stream's thread, ending its video after the frame wait in progress
        rather than after the frame being exposed. The stop is repeated because a thread that has only
        just started may not be in ``video()`` yet."""
        end = time.monotonic() + limit
        while thread.is_alive() and time.monotonic() < end:
            camera = self.camera
            if camera is not None:
                camera.stop_video()
            thread.join(0.1)

    # ---- the periodic update

    async def tick(self) -> None:
        camera = self.camera
        if camera is None:
            return
        try:
            await self._exposure_tick(camera)
            await self._temperature_tick(camera)
        except Exception:
            logger.exception("%s: status update", self.devicename)


def facts(camera: Camera, upload_dir: str) -> Facts:
    d = camera.description
    controls = camera.controls
    exposure = controls["exposure"]

    def span(name: str) -> tuple[float, float, float]:
        c = controls.get(name)
        return (c.minimum, c.maximum, c.default) if c is not None else (0.0, 0.0, 0.0)

    temperature = camera.status().temperature
    if temperature is None and "temperature" in controls:
        temperature = camera.temperature
    return Facts(
        name=d.name,
        width=d.width,
        height=d.height,
        pixel_size=d.pixel_size,
        bit_depth=d.bit_depth,
        bins=tuple(d.bins),
        cooler=d.cooler,
        st4=d.st4,
        colour=d.colour,
        bayer_pattern=d.bayer_pattern,
        exposure_range=(exposure.minimum, min(exposure.maximum, 3600.0)),
        gain_range=span("gain"),
        offset_range=span("offset"),
        target_range=span("target_temperature")[:2],
        temperature=round(temperature, 2) if temperature is not None else 0.0,
        upload_dir=upload_dir,
    )
