"""The ICameraV4 members of an Alpaca camera, mapped onto a ``camera.Camera``.

Status members read the camera's snapshot (no call reaches the module); settings go through the
camera's worker. The region (``StartX/StartY/NumX/NumY`` in binned pixels) and the readout mode are
kept here and given to the camera at ``StartExposure``, where a bad region is refused; the image is
cut out of the SDK's read by the plan of ``regions``.
"""

from __future__ import annotations

import json
import math
import threading
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Any, Callable, Optional

from .. import __version__, qel
from ..camera import Camera, CameraState, Frame, Roi
from . import errors
from .errors import AlpacaError, NotImplementedMember
from .protocol import Device, Image, get, put
from .regions import ReadPlan, plan_read

ImgType = qel.ImgType

# ASCOM's SensorType values
MONOCHROME, COLOUR, RGGB = 0, 1, 2
#: The Bayer pattern of the sensor's top-left pixels -> ASCOM's BayerOffsetX/Y against RGGB.
BAYER_OFFSETS = {"RGGB": (0, 0), "GRBG": (1, 0), "GBRG": (0, 1), "BGGR": (1, 1)}
BUSY = (CameraState.WAITING, CameraState.EXPOSING, CameraState.READING, CameraState.DOWNLOADING)
GUIDE_DIRECTIONS = {0: qel.GuideDirection.QEL_GUIDE_NORTH, 1: qel.GuideDirection.QEL_GUIDE_SOUTH,
                    2: qel.GuideDirection.QEL_GUIDE_EAST, 3: qel.GuideDirection.QEL_GUIDE_WEST}
_MODE = qel.CameraMode
TRIGGER_MODES: dict[int, str] = {
    _MODE.QEL_MODE_NORMAL: "normal", _MODE.QEL_MODE_TRIG_SOFT_EDGE: "soft edge", _MODE.QEL_MODE_TRIG_RISE_EDGE: "rise edge",
    _MODE.QEL_MODE_TRIG_FALL_EDGE: "fall edge", _MODE.QEL_MODE_TRIG_SOFT_LEVEL: "soft level",
    _MODE.QEL_MODE_TRIG_HIGH_LEVEL: "high level", _MODE.QEL_MODE_TRIG_LOW_LEVEL: "low level",
}
EXPOSURE_RESOLUTION = 1e-6  # the SDK counts exposures in microseconds
# ASCOM's bounds for a cooler setpoint, beyond the camera's own range
ABSOLUTE_ZERO = -273.15


@dataclass(frozen=True)
class ReadoutMode:
    name: str
    format: ImgType
    high_speed: bool = False


def readout_modes(camera: Camera) -> list[ReadoutMode]:
    """Normal, high speed, 8-bit, and demosaicked colour where the camera has them."""
    d = camera.description
    base = next(f for f in (ImgType.IMG_RAW16, ImgType.IMG_RAW8, ImgType.IMG_Y8, ImgType.IMG_RGB24) if f in d.formats)
    modes = [ReadoutMode("Normal", base)]
    if "high_speed_mode" in camera.controls:
        modes.append(ReadoutMode("High speed", base, True))
    if base == ImgType.IMG_RAW16 and ImgType.IMG_RAW8 in d.formats:
        modes.append(ReadoutMode("8-bit", ImgType.IMG_RAW8))
    if d.colour and ImgType.IMG_RGB24 in d.formats and base != ImgType.IMG_RGB24:
        modes.append(ReadoutMode("Colour (RGB)", ImgType.IMG_RGB24))
    return modes


def ascom_time(moment: datetime) -> str:
    """UTC as ASCOM writes it: CCYY-MM-DDThh:mm:ss.ffffff, no zone suffix."""
    if moment.tzinfo is not None:
        moment = moment.astimezone(timezone.utc).replace(tzinfo=None)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.%f")


def invalid(message: str) -> AlpacaError:
    return AlpacaError(errors.INVALID_VALUE, message)


class CameraDevice(Device):
    """One camera as an Alpaca Camera device (interface version 4)."""

    device_type = "camera"
    interface_version = 4
    driver_version = ".".join(__version__.split(".")[:2])

    def __init__(self, camera: Camera) -> None:
        super().__init__()
        self.camera = camera
        d = self.info = camera.description
        self.name = d.name
        colour = f"colour ({d.bayer_pattern})" if d.colour else "monochrome"
        self.description = f"{d.name}: {d.width} x {d.height} {colour} sensor, {d.pixel_size:g} um pixels" + (
            f", serial {d.serial}" if d.serial else ""
        )
        self.driver_info = f"qel-alpaca {__version__}, the Alpaca camera server of brevalo-vra-qel-python-bindings"
        self.controls = camera.controls
        self.modes = readout_modes(camera)
        self.max_bin = max(d.bins)
        self._mode = 0
        self._bin = 1
        self._start = (0, 0)
        self._size = (d.width, d.height)
        self._setpoint: Optional[float] = None
        self._lock = threading.Lock()  # the exposure's settings and plan
        self._plan: Optional[tuple[ReadPlan, ReadoutMode]] = None
        self._applied: Optional[tuple[Roi, bool]] = None
        self._image_lock = threading.Lock()
        self._image_of: Any = None
        self._image: Any = None

    # ---- helpers

    def _control(self, attribute: str) -> Any:
        found = self.controls.get(attribute)
        if found is None:
            raise NotImplementedMember(f"{attribute.replace('_', ' ')} (the camera has none)")
        return found

    def _need_cooler(self, what: str) -> None:
        if not self.info.cooler:
            raise NotImplementedMember(f"{what}: the camera has no cooler")

    @property
    def mode(self) -> ReadoutMode:
        return self.modes[self._mode]

    def max_adu(self, mode: Optional[ReadoutMode] = None) -> int:
        mode = mode or self.mode
        if mode.format == ImgType.IMG_RAW16:
            depth = min(self.info.bit_depth, 16)
            return ((1 << depth) - 1) << (16 - depth)
        return 255

    def sensor_type(self) -> int:
        if not self.info.colour:
            return MONOCHROME
        return COLOUR if self.mode.format == ImgType.IMG_RGB24 else RGGB

    def actions(self) -> dict[str, Callable[[str], str]]:
        found: dict[str, Callable[[str], str]] = {}
        if self.info.gps:
            found["GPSStatus"] = self._gps_status
        if "anti_dew_heater" in self.controls:
            found["AntiDewHeater"] = self._anti_dew_heater
        if self.info.trigger:
            found["TriggerMode"] = self._trigger_mode
        return found

    def state(self) -> list[tuple[str, Any]]:
        status = self.camera.status()
        rows: list[tuple[str, Any]] = [("CameraState", int(status.state))]
        if status.temperature is not None:
            rows.append(("CCDTemperature", status.temperature))
        if self.info.cooler and status.cooler_power is not None:
            rows.append(("CoolerPower", status.cooler_power))
        rows += [("ImageReady", status.image_ready), ("PercentCompleted", int(round(status.percent_completed)))]
        if self.info.st4:
            rows.append(("IsPulseGuiding", status.is_pulse_guiding))
        rows.append(("TimeStamp", ascom_time(status.timestamp)))
        return rows

    # ---- actions

    def _gps_status(self, parameters: str) -> str:
        frame = self.camera.last_frame
        if frame is None or frame.gps is None:
            raise AlpacaError(errors.INVALID_OPERATION, "no exposure with a GPS record yet")
        gps = frame.gps
        return json.dumps({
            "Time": ascom_time(frame.start), "TimeSource": frame.time_source, "Latitude": gps.latitude,
            "Longitude": gps.longitude, "Altitude": gps.altitude, "Satellites": gps.satellite_num,
        })

    def _trigger_mode(self, parameters: str) -> str:
        """The camera's trigger mode and the modes it has; only normal can be chosen here, since the
        SDK takes single exposures in normal mode only (the trigger modes deliver video frames)."""
        modes = [TRIGGER_MODES.get(m, str(m)) for m in self.camera._call(qel.get_camera_support_mode, "reading the modes")]
        wanted = parameters.strip().lower()
        if wanted == "normal":
            self.camera._call(qel.set_camera_mode, "setting normal mode", qel.CameraMode.QEL_MODE_NORMAL)
        elif wanted in modes:
            raise AlpacaError(errors.INVALID_OPERATION, f"{wanted} mode gives video frames; Alpaca's exposures need normal mode")
        elif wanted:
            raise invalid(f"TriggerMode takes one of {', '.join(modes)} or nothing (to read it), not {parameters[:40]!r}")
        mode = self.camera._call(qel.get_camera_mode, "reading the mode")
        return json.dumps({"Mode": TRIGGER_MODES.get(mode, str(mode)), "Supported": modes})

    def _anti_dew_heater(self, parameters: str) -> str:
        wanted = parameters.strip().lower()
        if wanted in ("on", "true", "1"):
            self.camera.anti_dew_heater = True
        elif wanted in ("off", "false", "0"):
            self.camera.anti_dew_heater = False
        elif wanted:
            raise invalid(f"AntiDewHeater takes on, off or nothing (to read it), not {parameters[:40]!r}")
        return "on" if self.camera.anti_dew_heater else "off"

    # ---- the sensor

    @get("cameraxsize")
    def camera_x_size(self) -> int:
        return self.info.width

    @get("cameraysize")
    def camera_y_size(self) -> int:
        return self.info.height

    @get("pixelsizex")
    def pixel_size_x(self) -> float:
        return self.info.pixel_size

    @get("pixelsizey")
    def pixel_size_y(self) -> float:
        return self.info.pixel_size

    @get("sensorname")
    def sensor_name(self) -> str:
        return self.info.name[:250]

    @get("sensortype")
    def get_sensor_type(self) -> int:
        return self.sensor_type()

    @get("bayeroffsetx")
    def bayer_offset_x(self) -> int:
        return self._bayer_offsets()[0]

    @get("bayeroffsety")
    def bayer_offset_y(self) -> int:
        return self._bayer_offsets()[1]

    def _bayer_offsets(self) -> tuple[int, int]:
        if self.sensor_type() != RGGB or self.info.bayer_pattern not in BAYER_OFFSETS:
            raise NotImplementedMember("BayerOffsetX/Y (the image has no Bayer mosaic)")
        return BAYER_OFFSETS[self.info.bayer_pattern]

    @get("hasshutter")
    def has_shutter(self) -> bool:
        return self.info.shutter

    @get("maxadu")
    def get_max_adu(self) -> int:
        return self.max_adu()

    @get("electronsperadu")
    def electrons_per_adu(self) -> float:
        gain = self.camera.gain if "gain" in self.controls else 0
        per_adu = self.info.elec_per_adu / 10 ** (gain / 200)  # elec_per_adu: at gain 0, 16-bit scale
        return per_adu * (256 if self.mode.format != ImgType.IMG_RAW16 else 1)

    @get("fullwellcapacity")
    def full_well_capacity(self) -> float:
        # What a pixel can report, at the current gain and read-out mode. A binned pixel holds the charge of
        # BinX * BinY pixels, but the SDK's sum (and ours, for regions it cannot bin) is clipped at the same
        # MaxADU, so min(bin * bin * one pixel's, MaxADU * ElectronsPerADU) is this value at every binning.
        return float(self.max_adu() * self.electrons_per_adu())

    # ---- binning and region

    @get("maxbinx")
    def max_bin_x(self) -> int:
        return self.max_bin

    @get("maxbiny")
    def max_bin_y(self) -> int:
        return self.max_bin

    @get("canasymmetricbin")
    def can_asymmetric_bin(self) -> bool:
        return False

    @get("binx")
    def get_bin_x(self) -> int:
        return self._bin

    @get("biny")
    def get_bin_y(self) -> int:
        return self._bin

    @put("binx", BinX=int)
    def put_bin_x(self, BinX: int) -> None:
        self._set_bin(BinX)

    @put("biny", BinY=int)
    def put_bin_y(self, BinY: int) -> None:
        self._set_bin(BinY)

    def _set_bin(self, value: int) -> None:
        if not 1 <= value <= self.max_bin:
            raise invalid(f"bin {value} is outside 1 .. {self.max_bin}")
        self._bin = value  # symmetric: X and Y together

    @get("startx")
    def get_start_x(self) -> int:
        return self._start[0]

    @get("starty")
    def get_start_y(self) -> int:
        return self._start[1]

    @get("numx")
    def get_num_x(self) -> int:
        return self._size[0]

    @get("numy")
    def get_num_y(self) -> int:
        return self._size[1]

    # Any value is taken here; StartExposure checks the region as a whole.
    @put("startx", StartX=int)
    def put_start_x(self, StartX: int) -> None:
        self._start = (StartX, self._start[1])

    @put("starty", StartY=int)
    def put_start_y(self, StartY: int) -> None:
        self._start = (self._start[0], StartY)

    @put("numx", NumX=int)
    def put_num_x(self, NumX: int) -> None:
        self._size = (NumX, self._size[1])

    @put("numy", NumY=int)
    def put_num_y(self, NumY: int) -> None:
        self._size = (self._size[0], NumY)

    # ---- readout

    @get("readoutmodes")
    def get_readout_modes(self) -> list[str]:
        return [mode.name for mode in self.modes]

    @get("readoutmode")
    def get_readout_mode(self) -> int:
        return self._mode

    @put("readoutmode", ReadoutMode=int)
    def put_readout_mode(self, ReadoutMode: int) -> None:
        if not 0 <= ReadoutMode < len(self.modes):
            raise invalid(f"readout mode {ReadoutMode} is outside 0 .. {len(self.modes) - 1}")
        self._mode = ReadoutMode

    @get("canfastreadout")
    def can_fast_readout(self) -> bool:
        return False  # high speed is a readout mode

    @get("fastreadout")
    def get_fast_readout(self) -> bool:
        raise NotImplementedMember("FastReadout (use ReadoutMode)")

    @put("fastreadout", FastReadout=bool)
    def put_fast_readout(self, FastReadout: bool) -> None:
        raise NotImplementedMember("FastReadout (use ReadoutMode)")

    # ---- gain and offset, in value mode

    @get("gain")
    def get_gain(self) -> int:
        self._control("gain")
        return int(self.camera.gain)

    @put("gain", Gain=int)
    def put_gain(self, Gain: int) -> None:
        self._control("gain")
        self.camera.gain = Gain

    @get("gainmin")
    def gain_min(self) -> int:
        return int(self._control("gain").minimum)

    @get("gainmax")
    def gain_max(self) -> int:
        return int(self._control("gain").maximum)

    @get("gains")
    def gains(self) -> None:
        raise NotImplementedMember("Gains (gain is in value mode: GainMin .. GainMax)")

    @get("offset")
    def get_offset(self) -> int:
        self._control("offset")
        return int(self.camera.offset)

    @put("offset", Offset=int)
    def put_offset(self, Offset: int) -> None:
        self._control("offset")
        self.camera.offset = Offset

    @get("offsetmin")
    def offset_min(self) -> int:
        return int(self._control("offset").minimum)

    @get("offsetmax")
    def offset_max(self) -> int:
        return int(self._control("offset").maximum)

    @get("offsets")
    def offsets(self) -> None:
        raise NotImplementedMember("Offsets (offset is in value mode: OffsetMin .. OffsetMax)")

    # ---- exposures

    @get("exposuremin")
    def exposure_min(self) -> float:
        return float(self._control("exposure").minimum)

    @get("exposuremax")
    def exposure_max(self) -> float:
        return float(self._control("exposure").maximum)

    @get("exposureresolution")
    def exposure_resolution(self) -> float:
        return EXPOSURE_RESOLUTION

    @get("canabortexposure")
    def can_abort_exposure(self) -> bool:
        return True

    @get("canstopexposure")
    def can_stop_exposure(self) -> bool:
        return bool(self.camera.can_stop_exposure)

    @put("startexposure", Duration=float, Light=bool)
    def start_exposure(self, Duration: float, Light: bool) -> None:
        exposure = self._control("exposure")
        if not (math.isfinite(Duration) and 0 <= Duration <= exposure.maximum):
            raise invalid(f"duration {Duration!r} s is outside 0 .. {exposure.maximum:g} s")
        binning, (x, y), (w, h) = self._bin, self._start, self._size
        width, height = self.info.width // binning, self.info.height // binning
        if not (w >= 1 and h >= 1 and x >= 0 and y >= 0 and x + w <= width and y + h <= height):
            raise invalid(f"region {w} x {h} at ({x}, {y}) is not within the {width} x {height} sensor at bin {binning}")
        with self._lock:
            if self.camera.state in BUSY:
                raise AlpacaError(errors.INVALID_OPERATION, "an exposure is running")
            mode = self.mode
            plan = plan_read((self.info.width, self.info.height), self.info.bins, binning, x, y, w, h)
            roi = Roi(plan.width, plan.height, plan.bin, mode.format, plan.x, plan.y)
            if self._applied != (roi, mode.high_speed):
                self._applied = None
                self.camera.roi = roi
                if "high_speed_mode" in self.controls:
                    self.camera.high_speed_mode = mode.high_speed
                self._applied = (roi, mode.high_speed)
            # 0 s (a bias frame) and anything shorter than the camera can go take its shortest exposure
            self.camera.start_exposure(max(Duration, exposure.minimum), dark=not Light)
            self._plan = (plan, mode)

    @put("abortexposure")
    def abort_exposure(self) -> None:
        self.camera.abort_exposure()

    @put("stopexposure")
    def stop_exposure(self) -> None:
        if not self.camera.can_stop_exposure:
            raise NotImplementedMember("StopExposure (use AbortExposure)")
        self.camera.stop_exposure()

    @get("camerastate")
    def camera_state(self) -> int:
        return int(self.camera.state)

    @get("imageready")
    def image_ready(self) -> bool:
        return bool(self.camera.image_ready)

    @get("percentcompleted")
    def percent_completed(self) -> int:
        return int(round(self.camera.percent_completed))

    @get("lastexposureduration")
    def last_exposure_duration(self) -> float:
        return float(self._last_frame().exposure)

    @get("lastexposurestarttime")
    def last_exposure_start_time(self) -> str:
        return ascom_time(self._last_frame().start)

    def _last_frame(self) -> Frame:
        frame = self.camera.last_frame
        if frame is None:
            raise AlpacaError(errors.VALUE_NOT_SET, "no exposure has been taken yet")
        return frame

    @get("imagearray")
    def image_array(self) -> Image:
        return Image(self.image())

    @get("imagearrayvariant")
    def image_array_variant(self) -> None:
        raise NotImplementedMember("ImageArrayVariant (use ImageArray)")

    def image(self) -> Any:
        """The last exposure's image as ASCOM asked for it: the region cut out, summed where needed."""
        with self._lock:
            ready, frame, plan = self.camera.image_ready, self.camera.last_frame, self._plan
        if not ready or frame is None or plan is None:
            raise AlpacaError(errors.INVALID_OPERATION, "no image is ready")
        with self._image_lock:
            if self._image_of is not frame:
                self._image = plan[0].apply(frame.array, self.max_adu(plan[1]))
                self._image_of = frame
            return self._image

    @get("subexposureduration")
    def get_sub_exposure_duration(self) -> None:
        raise NotImplementedMember("SubExposureDuration")

    @put("subexposureduration", SubExposureDuration=float)
    def put_sub_exposure_duration(self, SubExposureDuration: float) -> None:
        raise NotImplementedMember("SubExposureDuration")

    # ---- guiding

    @get("canpulseguide")
    def can_pulse_guide(self) -> bool:
        return self.info.st4

    @get("ispulseguiding")
    def is_pulse_guiding(self) -> bool:
        if not self.info.st4:
            raise NotImplementedMember("IsPulseGuiding: the camera has no ST4 port")
        return bool(self.camera.is_pulse_guiding)

    @put("pulseguide", Direction=int, Duration=int)
    def pulse_guide(self, Direction: int, Duration: int) -> None:
        if not self.info.st4:
            raise NotImplementedMember("PulseGuide: the camera has no ST4 port")
        if Direction not in GUIDE_DIRECTIONS:
            raise invalid(f"direction {Direction} is not 0 (north), 1 (south), 2 (east) or 3 (west)")
        self.camera.pulse_guide(GUIDE_DIRECTIONS[Direction], Duration)

    # ---- temperature and cooler

    @get("ccdtemperature")
    def ccd_temperature(self) -> float:
        self._control("temperature")
        temperature = self.camera.status().temperature
        return float(self.camera.temperature if temperature is None else temperature)

    @get("heatsinktemperature")
    def heat_sink_temperature(self) -> None:
        raise NotImplementedMember("HeatSinkTemperature")

    @get("cansetccdtemperature")
    def can_set_ccd_temperature(self) -> bool:
        return self.info.cooler

    @get("cangetcoolerpower")
    def can_get_cooler_power(self) -> bool:
        return self.info.cooler

    @get("cooleron")
    def get_cooler_on(self) -> bool:
        self._need_cooler("CoolerOn")
        on = self.camera.status().cooler_on
        return bool(self.camera.cooler_on if on is None else on)

    @put("cooleron", CoolerOn=bool)
    def put_cooler_on(self, CoolerOn: bool) -> None:
        self._need_cooler("CoolerOn")
        if CoolerOn:
            self.camera.cool_to(self.get_setpoint())
        else:
            self.camera.cooler_on = False

    @get("coolerpower")
    def cooler_power(self) -> float:
        self._need_cooler("CoolerPower")
        power = self.camera.status().cooler_power
        return float(self.camera.cooler_power if power is None else power)

    @get("setccdtemperature")
    def get_setpoint(self) -> float:
        self._need_cooler("SetCCDTemperature")
        if self._setpoint is None:
            self._setpoint = float(self.camera.target_temperature)
        return self._setpoint

    @put("setccdtemperature", SetCCDTemperature=float)
    def put_setpoint(self, SetCCDTemperature: float) -> None:
        self._need_cooler("SetCCDTemperature")
        target = self._control("target_temperature")
        value = SetCCDTemperature
        if not (math.isfinite(value) and ABSOLUTE_ZERO <= value and target.minimum <= value <= target.maximum):
            raise invalid(f"setpoint {value!r} C is outside the cooler's {target}")
        self._setpoint = value
        if self.get_cooler_on():
            self.camera.cool_to(value)
