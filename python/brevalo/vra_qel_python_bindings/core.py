"""The non-blocking side of a ``Camera``: one worker thread per open camera.

Once a camera is open, its worker is the only thread that calls the ``qel`` module for it. A
``Camera`` method called from any other thread is queued to the worker and waits for its answer (an
exception travels back to the caller). Between calls the worker keeps the camera's timers: it polls a
running exposure and reads its image when it ends, ends pulse guides when their time is up, moves the
cooler's target along its ramp and refreshes the readings of the status snapshot about once a second.
Status reads (``status()``, ``state``, ``percent_completed``, ``image_ready``, ``is_pulse_guiding``)
read that snapshot and never wait for the worker.

``Camera`` takes its non-blocking members from ``NonBlocking`` here; ``camera.py`` keeps the rest.
"""

from __future__ import annotations

import datetime as _dt
import enum
import math
import threading
import time
import weakref
from collections import deque
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any, Callable, Optional

from . import qel

if TYPE_CHECKING:
    from .camera import Camera, Frame, Roi

__all__ = ["CameraBusy", "CameraState", "CameraStatus", "NonBlocking"]

#: The clock of the worker's timers (exposure progress, pulse guides, cooler ramps, status refresh), in
#: seconds. The host's monotonic clock; a test may put a simulated clock here.
clock: Callable[[], float] = time.monotonic

EXPOSING_POLL_S = 0.02  # how often the worker asks the SDK about a running exposure
READOUT_POLL_S = 0.001  # ... and about one that should have ended
REFRESH_S = 1.0  # how often the worker reads temperature and cooler
RAMP_STEP_S = 1.0  # how often a cooler ramp moves the target on
LONGEST_IDLE_S = 0.25  # the longest wait without a look at the clock (a replaced clock may jump)
LONGEST_PULSE_MS = 60_000
JOIN_S = 5.0  # how long close() waits for a worker that is inside an SDK call

_GPS_ERRORS = (
    qel.QELGPSNotSupported,
    qel.QELGPSVersionError,
    qel.QELGPSFPGAError,
    qel.QELGPSDataInvalid,
    qel.QELGPSParamOutOfRange,
)
# The two guide axes: a new pulse on an axis replaces the running one.
_AXIS = {
    qel.GuideDirection.QEL_GUIDE_NORTH: 0,
    qel.GuideDirection.QEL_GUIDE_SOUTH: 0,
    qel.GuideDirection.QEL_GUIDE_EAST: 1,
    qel.GuideDirection.QEL_GUIDE_WEST: 1,
}


class CameraState(enum.IntEnum):
    """Where a camera's exposure stands (the numbers of ASCOM's CameraState)."""

    IDLE = 0
    WAITING = 1
    EXPOSING = 2
    READING = 3
    DOWNLOADING = 4
    ERROR = 5


_BUSY = (CameraState.WAITING, CameraState.EXPOSING, CameraState.READING, CameraState.DOWNLOADING)


class CameraBusy(RuntimeError):
    """An exposure or a video capture is already running on the camera."""


@dataclass(frozen=True)
class CameraStatus:
    """One snapshot of a camera, read without calling the module."""

    state: CameraState
    percent_completed: float  # 0..100 of the running or last exposure
    image_ready: bool
    is_pulse_guiding: bool
    temperature: Optional[float]  # sensor, C
    cooler_on: Optional[bool]
    cooler_power: Optional[float]  # percent
    cooler_target: Optional[float]  # the ramp's current setpoint, C
    timestamp: _dt.datetime  # UTC, when temperature and cooler were read


def _now() -> _dt.datetime:
    return _dt.datetime.now(_dt.timezone.utc)


class _Job:
    __slots__ = ("function", "args", "done", "result", "error")

    def __init__(self, function: Callable[..., Any], args: tuple[Any, ...]) -> None:
        self.function, self.args = function, args
        self.done = threading.Event()
        self.result: Any = None
        self.error: Optional[BaseException] = None

    def run(self) -> None:
        try:
            self.result = self.function(*self.args)
        except BaseException as error:  # handed to the caller
            self.error = error
        finally:
            self.done.set()


@dataclass
class _Exposure:
    owner: object
    seconds: float
    dark: bool
    roi: Roi
    started: _dt.datetime  # host clock at the start
    began: float  # clock() at the start
    next_poll: float


@dataclass
class _Ramp:
    start: float  # C
    target: float
    rate: float  # C per minute
    began: float
    next_step: float
    written: Optional[int] = None  # the SDK's target, whole degrees


class Worker:
    """The thread that owns a camera's module calls, its timers and its status snapshot."""

    def __init__(self, camera: Camera) -> None:
        self.camera = camera
        self.label = camera.description.name
        self._cond = threading.Condition()
        self._jobs: deque[_Job] = deque()
        self._stop = threading.Event()  # close() or the end of the process asks the worker to end
        self._ended = False
        self._version = 0  # counts published snapshots, for waiters
        self._exposure: Optional[_Exposure] = None
        self._guides: dict[int, tuple[qel.GuideDirection, float]] = {}
        self._ramp: Optional[_Ramp] = None
        self._next_refresh = 0.0
        self.video = False
        self.last_frame: Optional[Frame] = None
        self.last_error: Optional[BaseException] = None
        self._status = CameraStatus(CameraState.IDLE, 0.0, False, False, None, None, None, None, _now())
        self._timing: Optional[tuple[float, float]] = None  # (began, seconds) while exposing
        self._refresh()
        self._thread = threading.Thread(target=self._loop, name=f"qel camera {camera.camera_id}", daemon=True)
        self.ident: Optional[int] = None
        self._thread.start()
        # A camera still open when the process ends gets its exposure aborted and its relays released.
        self._finalizer = weakref.finalize(self, _end_thread, self._cond, self._stop, self._thread)

    # ---- calls from other threads

    def call(self, function: Callable[..., Any], *args: Any) -> Any:
        """``function(*args)`` on the worker, waiting for its result; directly on the worker itself, and
        once the worker has ended."""
        if threading.get_ident() == self.ident:
            return function(*args)
        job = _Job(function, args)
        with self._cond:
            if self._ended:
                job = None  # type: ignore[assignment]
            else:
                self._jobs.append(job)
                self._cond.notify_all()
        if job is None:
            return function(*args)
        while not job.done.wait(0.1):  # short waits: Ctrl-C is seen on every platform
            pass
        if job.error is not None:
            error, job.error = job.error, None
            raise error
        return job.result

    def stop(self) -> None:
        """End the worker: abort the exposure, release the guide relays, join (bounded)."""
        if threading.get_ident() == self.ident:  # close() from a job: the loop ends after it
            self._shut_down()
        self._finalizer()

    # ---- the snapshot

    @property
    def status(self) -> CameraStatus:
        status, timing = self._status, self._timing
        if timing is not None and status.state == CameraState.EXPOSING:
            return replace(status, percent_completed=_percent(timing))
        return status

    def wait_change(self, timeout: float) -> None:
        """Wait up to ``timeout`` s for the next published snapshot."""
        with self._cond:
            seen = self._version
            self._cond.wait_for(lambda: self._version != seen, timeout)

    def _publish(self, **changes: Any) -> None:
        with self._cond:
            self._status = replace(self._status, **changes)
            self._version += 1
            self._cond.notify_all()

    # ---- the thread

    def _loop(self) -> None:
        self.ident = threading.get_ident()
        cond = self._cond
        while True:
            job = None
            with cond:
                while not self._jobs and not self._stop.is_set():
                    wait = self._next_deadline() - clock()
                    if wait <= 0:
                        break
                    cond.wait(min(wait, LONGEST_IDLE_S))
                if self._jobs:
                    job = self._jobs.popleft()
            if job is None and self._stop.is_set():
                self._shut_down()
                with cond:
                    if not self._jobs:
                        self._ended = True
                        return
                continue
            try:
                self._tick()
            except Exception as error:  # nothing may end the worker: its callers would wait forever
                if self._exposure is not None:
                    self._fail(error)
            if job is not None:
                job.run()
                job = None

    def _next_deadline(self) -> float:
        deadlines = [self._next_refresh]
        if self._exposure is not None:
            deadlines.append(self._exposure.next_poll)
            if self._status.state == CameraState.EXPOSING:
                deadlines.append(self._exposure.began + self._exposure.seconds)
        deadlines.extend(end for _, end in self._guides.values())
        if self._ramp is not None:
            deadlines.append(self._ramp.next_step)
        return min(deadlines)

    def _tick(self) -> None:
        now = clock()
        if self._guides:
            self._end_pulses(now)
        if self._exposure is not None:
            self._follow_exposure(now)
        if self._ramp is not None and now >= self._ramp.next_step:
            self._step_ramp(now)
        if now >= self._next_refresh:
            self._refresh()

    def _shut_down(self) -> None:
        if self._exposure is not None:
            self.abort(None)
        for direction, _ in list(self._guides.values()):
            try:
                qel.pulse_guide_off(self.camera._cid, direction)
            except qel.QELError:
                pass
        self._guides.clear()
        self._ramp = None
        self._publish(is_pulse_guiding=False)

    # ---- exposures

    def start(self, seconds: Optional[float], dark: bool, owner: object = None) -> float:
        """Start an exposure (on the worker); returns its length in seconds."""
        camera = self.camera
        if self._stop.is_set():
            raise ValueError(f"{self.label}: the camera is closed")
        if self.video:
            raise CameraBusy(f"{self.label}: video is running")
        if self._exposure is not None:
            raise CameraBusy(f"{self.label}: an exposure is running")
        if seconds is not None:
            camera.exposure = seconds
        exposure = camera.exposure
        roi = camera.roi
        self.last_error = None
        self._publish(state=CameraState.WAITING, image_ready=False, percent_completed=0.0)
        started, began = _now(), clock()
        try:
            camera._call(qel.start_exposure, "starting the exposure", bool(dark))
        except BaseException:
            self._publish(state=CameraState.IDLE)
            raise
        self._exposure = _Exposure(owner, exposure, bool(dark), roi, started, began, began)
        self._timing = (began, exposure)
        self._publish(state=CameraState.EXPOSING)
        return exposure

    def abort(self, owner: object = None) -> None:
        """Discard the running exposure (only ``owner``'s, when given); an idle camera stays as it is."""
        exposure = self._exposure
        if exposure is None or (owner is not None and exposure.owner is not owner):
            if owner is None and self._status.state == CameraState.ERROR:
                self._publish(state=CameraState.IDLE)
            return
        self._exposure = self._timing = None
        try:
            qel.stop_exposure(self.camera._cid)
        except qel.QELError:
            pass
        self._publish(state=CameraState.IDLE, image_ready=False, percent_completed=0.0)

    def _fail(self, error: BaseException) -> None:
        self._exposure = self._timing = None
        self.last_error = error
        self._publish(state=CameraState.ERROR, image_ready=False)

    def _follow_exposure(self, now: float) -> None:
        exposure = self._exposure
        assert exposure is not None
        remaining = exposure.began + exposure.seconds - now
        if remaining <= 0 and self._status.state == CameraState.EXPOSING:
            self._publish(state=CameraState.READING, percent_completed=100.0)
        if now < exposure.next_poll:
            return
        camera = self.camera
        try:
            status = camera._call(qel.get_exp_status, "reading the exposure status")
        except qel.QELError as error:
            self._fail(error)
            return
        if status == qel.ExposureStatus.QEL_EXP_WORKING:
            # Often while it exposes (an SDK on a faster clock, a failure), at its end, then through
            # the readout.
            exposure.next_poll = now + min(EXPOSING_POLL_S, max(remaining, READOUT_POLL_S))
            return
        if status != qel.ExposureStatus.QEL_EXP_SUCCESS:
            self._fail(qel.QELGeneralError(f"{self.label}: the exposure failed (status {status})"))
            return
        self._timing = None
        self._publish(state=CameraState.DOWNLOADING, percent_completed=100.0)
        try:
            frame = self._read(exposure)
        except Exception as error:
            self._fail(error)
            return
        self._exposure = None
        self.last_frame = frame
        self._publish(state=CameraState.IDLE, image_ready=True)

    def _read(self, exposure: _Exposure) -> Frame:
        camera, roi = self.camera, exposure.roi
        gps: Optional[qel.GpsData] = None
        if camera.description.gps:
            try:
                data, gps = qel.get_data_after_exp_gps(camera._cid, roi.size)
            except _GPS_ERRORS:
                data = camera._call(qel.get_data_after_exp, "reading the image", roi.size)
        else:
            data = camera._call(qel.get_data_after_exp, "reading the image", roi.size)
        return camera._frame(data, roi, exposure.seconds, exposure.started, gps, dark=exposure.dark, end_record=True)

    # ---- video

    def start_video(self) -> None:
        if self._exposure is not None:
            raise CameraBusy(f"{self.label}: an exposure is running")
        self.camera._call(qel.start_video_capture, "starting video")
        self.video = True

    def video_frame(self, gps: bool, size: int, wait_ms: int) -> tuple[bytes, Optional[qel.GpsData], int]:
        """The next video frame, its GPS record (None without ``gps``) and the count of dropped frames."""
        camera_id, wait_ms = self.camera._cid, self.pulse_wait_ms(wait_ms)
        record: Optional[qel.GpsData] = None
        if gps:
            data, record = qel.get_video_data_gps(camera_id, size, wait_ms)
        else:
            data = qel.get_video_data(camera_id, size, wait_ms)
        return data, record, qel.get_dropped_frames(camera_id)

    def stop_video(self) -> None:
        self.video = False
        try:
            qel.stop_video_capture(self.camera._cid)
        except qel.QELError:
            pass

    # ---- pulse guides

    def guide(self, direction: qel.GuideDirection, milliseconds: int) -> None:
        camera, axis = self.camera, _AXIS[direction]
        running = self._guides.get(axis)
        if running is not None and running[0] != direction:
            del self._guides[axis]
            camera._call(qel.pulse_guide_off, f"ending the {running[0].name} pulse", running[0])
        camera._call(qel.pulse_guide_on, f"starting a {direction.name} pulse", direction)
        self._guides[axis] = (direction, clock() + milliseconds / 1000)
        self._publish(is_pulse_guiding=True)

    def _end_pulses(self, now: float) -> None:
        for axis, (direction, end) in list(self._guides.items()):
            if now >= end:
                del self._guides[axis]
                try:
                    qel.pulse_guide_off(self.camera._cid, direction)
                except qel.QELError:
                    pass  # a camera that is gone has no relay on
        if not self._guides:
            self._publish(is_pulse_guiding=False)

    def pulse_wait_ms(self, wait_ms: int) -> int:
        """A frame wait that ends before the next pulse does."""
        if not self._guides:
            return wait_ms
        until = min(end for _, end in self._guides.values()) - clock()
        return max(1, min(wait_ms, math.ceil(until * 1000)))

    # ---- the cooler

    def cool(self, target: float, rate: Optional[float]) -> None:
        camera = self.camera
        self._ramp = None
        camera._call(qel.set_control_value, "switching the cooler on", qel.ControlType.QEL_COOLER_ON, 1, False)
        if rate is None:
            self._write_target(round(target))
            self._publish(cooler_on=True, cooler_target=float(round(target)))
            return
        span = camera.controls["target_temperature"]
        start = min(max(camera.temperature, span.minimum), span.maximum)  # from where the sensor is
        now = clock()
        self._ramp = _Ramp(start, float(target), float(rate), now, now)
        self._step_ramp(now)
        self._publish(cooler_on=True)

    def set_cooler(self, control: qel.ControlType, steps: int, auto: bool, what: str) -> None:
        """Set the target or switch the cooler by hand: that ends a ramp."""
        self._ramp = None
        self._next_refresh = 0.0
        self.camera._call(qel.set_control_value, what, control, steps, auto)

    def _write_target(self, degrees: int) -> None:
        what = f"setting target_temperature to {degrees}"
        self.camera._call(qel.set_control_value, what, qel.ControlType.QEL_TARGET_TEMP, degrees, False)

    def _step_ramp(self, now: float) -> None:
        ramp = self._ramp
        assert ramp is not None
        moved = ramp.rate * max(now - ramp.began, 0.0) / 60
        if moved >= abs(ramp.target - ramp.start):
            setpoint, self._ramp = ramp.target, None
        else:
            setpoint = ramp.start + math.copysign(moved, ramp.target - ramp.start)
            ramp.next_step = now + RAMP_STEP_S
        degrees = round(setpoint)
        if degrees != ramp.written:
            try:
                self._write_target(degrees)
            except qel.QELError:
                self._ramp = None  # the readings show where the cooler stands
                return
            ramp.written = degrees
        self._publish(cooler_target=float(setpoint))

    # ---- readings

    def _refresh(self) -> None:
        self._next_refresh = clock() + REFRESH_S
        camera = self.camera
        readings: dict[str, Any] = {}
        try:
            if "temperature" in camera.controls:
                readings["temperature"] = camera.get("temperature")
            if camera.description.cooler:
                readings["cooler_on"] = bool(camera.get("cooler_on"))
                readings["cooler_power"] = camera.get("cooler_power")
                if self._ramp is None:
                    readings["cooler_target"] = camera.get("target_temperature")
        except qel.QELError:
            return  # keep the last readings
        self._publish(timestamp=_now(), **readings)


def _end_thread(cond: threading.Condition, stop: threading.Event, thread: threading.Thread) -> None:
    with cond:
        stop.set()
        cond.notify_all()
    if thread is not threading.current_thread():
        thread.join(JOIN_S)


def _percent(timing: tuple[float, float]) -> float:
    began, seconds = timing
    if seconds <= 0:
        return 100.0
    return min(100.0, max(0.0, 100.0 * (clock() - began) / seconds))


def _number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


class NonBlocking:
    """The members of ``Camera`` that return at once: exposures, pulse guides, cooler ramps, status."""

    _worker: Optional[Worker]
    _label: str
    _open: bool

    def _running(self) -> Worker:
        worker = self._worker
        if worker is None or not self._open:
            raise ValueError(f"{self._label}: the camera is closed")
        return worker

    def _snapshot(self) -> CameraStatus:
        worker = self._worker
        if worker is None:
            raise ValueError(f"{self._label}: the camera is closed")
        return worker.status

    # ---- exposures

    def start_exposure(self: Camera, seconds: float, dark: bool = False) -> None:  # type: ignore[misc]
        """Start an exposure of ``seconds`` with the current region and controls and return at once.

        ``state``, ``percent_completed`` and ``image_ready`` follow it; ``wait_image`` or ``last_frame``
        give its frame. ValueError for a length outside the exposure control's range, CameraBusy while
        an exposure or video runs; an SDK refusal raises here.
        """
        if not _number(seconds):
            raise ValueError(f"{self._label}: exposure {seconds!r} is not a number of seconds")
        worker = self._running()
        worker.call(worker.start, seconds, dark)

    def abort_exposure(self) -> None:
        """Discard the running exposure and return to IDLE (also from ERROR); nothing to do when idle."""
        worker = self._running()
        worker.call(worker.abort, None)

    @property
    def can_stop_exposure(self) -> bool:
        """Whether an exposure can end early and keep its image: the SDK fails a stopped exposure."""
        return False

    def stop_exposure(self) -> None:
        """End the exposure early and keep its image, where ``can_stop_exposure``; NotImplementedError here."""
        raise NotImplementedError(
            f"{self._label}: the camera cannot end an exposure early and keep its image (abort_exposure discards it)"
        )

    @property
    def state(self) -> CameraState:
        return self._snapshot().state

    @property
    def percent_completed(self) -> float:
        return self._snapshot().percent_completed

    @property
    def image_ready(self) -> bool:
        return self._snapshot().image_ready

    @property
    def last_frame(self) -> Optional[Frame]:
        """The frame of the last exposure that finished (kept until the next one finishes)."""
        worker = self._worker
        return None if worker is None else worker.last_frame

    @property
    def last_error(self) -> Optional[BaseException]:
        """Why ``state`` is ERROR: what failed while the exposure ran or was read."""
        worker = self._worker
        return None if worker is None else worker.last_error

    def wait_image(self, timeout: Optional[float] = None) -> Frame:
        """Wait for the running exposure's frame (interruptible); the frame at once when it is ready.

        TimeoutError after ``timeout`` s; the exposure's error when it failed; RuntimeError when no
        exposure has finished since the last start or abort.
        """
        worker = self._running()
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            status = worker.status
            if status.state not in _BUSY:
                break
            left = 0.1 if deadline is None else min(deadline - time.monotonic(), 0.1)
            if left <= 0:
                raise TimeoutError(f"{self._label}: no image within {timeout:g} s")
            worker.wait_change(left)
            if not self._open:
                raise ValueError(f"{self._label}: the camera was closed")
        frame = worker.last_frame
        if status.image_ready and frame is not None:
            return frame
        if status.state == CameraState.ERROR and worker.last_error is not None:
            raise worker.last_error
        raise RuntimeError(f"{self._label}: no image: no exposure has finished since the last start or abort")

    # ---- guiding

    def pulse_guide(self: Camera, direction: qel.GuideDirection, milliseconds: int) -> None:  # type: ignore[misc]
        """Guide in ``direction`` for ``milliseconds`` through the ST4 port and return at once.

        ``is_pulse_guiding`` is true until the pulse ends; a new pulse on the same axis (north-south or
        east-west) replaces the running one.
        """
        if not self.description.st4:
            raise ValueError(f"{self._label}: the camera has no ST4 guide port")
        try:
            direction = qel.GuideDirection(direction)
        except ValueError:
            raise ValueError(f"{self._label}: {direction!r} is not a guide direction") from None
        if not _number(milliseconds) or not 0 < milliseconds <= LONGEST_PULSE_MS:
            raise ValueError(f"{self._label}: a pulse of {milliseconds!r} ms is outside 0 .. {LONGEST_PULSE_MS} ms")
        worker = self._running()
        worker.call(worker.guide, direction, milliseconds)

    @property
    def is_pulse_guiding(self) -> bool:
        return self._snapshot().is_pulse_guiding

    # ---- the cooler

    def cool_to(self: Camera, target: float, rate: Optional[float] = None) -> None:  # type: ignore[misc]
        """Switch the cooler on and move its target to ``target`` C at ``rate`` C per minute (None: at once).

        The worker moves the target on; ``status().cooler_target`` shows where the ramp stands. Setting
        ``target_temperature`` or ``cooler_on`` ends the ramp.
        """
        span = self.controls.get("target_temperature")
        if not self.description.cooler or span is None:
            raise ValueError(f"{self._label}: the camera has no cooler")
        if not _number(target) or not span.minimum <= target <= span.maximum:
            raise ValueError(f"{self._label}: target temperature {target!r} is outside the range {span}")
        if rate is not None and (not _number(rate) or rate <= 0):
            raise ValueError(f"{self._label}: cooling rate {rate!r} is not a positive number of C per minute")
        worker = self._running()
        worker.call(worker.cool, target, rate)

    # ---- status

    def status(self) -> CameraStatus:
        """The camera's state, exposure, guiding and cooler readings, without calling the module."""
        return self._snapshot()
