"""The INDI properties of a camera, in one table.

Names, types, permissions, rules, groups and elements are those INDI clients look for on a CCD
(imaging suites and guiders find the camera's features by these names). A row may hold only for some
cameras (``when``), and a value may depend on the camera (a callable of its ``Facts``). The device
code in ``device.py`` reads and writes the values; it never defines a property.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Union

import indipydriver as ipd  # type: ignore[import-untyped]

from .. import __version__

#: DRIVER_INTERFACE bits
CCD_INTERFACE = 2
GUIDER_INTERFACE = 4

EXECUTABLE = "indi_qel_ccd"


@dataclass(frozen=True)
class Facts:
    """What the table needs to know of a camera."""

    name: str
    width: int
    height: int
    pixel_size: float
    bit_depth: int
    bins: tuple[int, ...]
    cooler: bool
    st4: bool
    colour: bool
    bayer_pattern: Optional[str]
    exposure_range: tuple[float, float]  # seconds
    gain_range: tuple[float, float, float]  # minimum, maximum, default
    offset_range: tuple[float, float, float]
    target_range: tuple[float, float]  # C, of the cooler's target
    temperature: float  # C, at start
    upload_dir: str


Value = Union[str, float, int, Callable[[Facts], Any]]


@dataclass(frozen=True)
class Element:
    name: str
    label: str
    value: Value = 0
    format: str = "%g"  # numbers only
    minimum: Value = 0
    maximum: Value = 0
    step: Value = 0


@dataclass(frozen=True)
class Prop:
    name: str
    kind: str  # "number", "switch", "text" or "blob"
    perm: str  # "ro", "wo" or "rw"
    group: str
    label: str
    elements: tuple[Element, ...]
    rule: str = ""  # switches: "OneOfMany" or "AtMostOne"
    when: Callable[[Facts], bool] = field(default=lambda facts: True)
    timeout: int = 60


def _exposure(facts: Facts) -> tuple[float, float]:
    return facts.exposure_range


MAIN, IMAGE, INFO, OPTIONS, GUIDE, STREAM, GENERAL = (
    "Main Control", "Image Settings", "Image Info", "Options", "Guider Control", "Streaming", "General Info",
)

TABLE: tuple[Prop, ...] = (
    Prop("CONNECTION", "switch", "rw", MAIN, "Connection",
         (Element("CONNECT", "Connect", "On"), Element("DISCONNECT", "Disconnect", "Off")), rule="OneOfMany"),
    Prop("DRIVER_INFO", "text", "ro", GENERAL, "Driver Info", (
        Element("DRIVER_NAME", "Name", lambda f: f.name),
        Element("DRIVER_EXEC", "Exec", EXECUTABLE),
        Element("DRIVER_VERSION", "Version", __version__),
        Element("DRIVER_INTERFACE", "Interface", lambda f: str(CCD_INTERFACE | (GUIDER_INTERFACE if f.st4 else 0))),
    )),
    Prop("CCD_EXPOSURE", "number", "rw", MAIN, "Expose", (
        Element("CCD_EXPOSURE_VALUE", "Duration (s)", 1, "%5.2f", lambda f: f.exposure_range[0],
                lambda f: f.exposure_range[1], 1),
    )),
    Prop("CCD_ABORT_EXPOSURE", "switch", "rw", MAIN, "Abort", (Element("ABORT", "Abort", "Off"),), rule="AtMostOne"),
    Prop("CCD_FRAME", "number", "rw", IMAGE, "Frame", (
        Element("X", "Left", 0, "%4.0f", 0, lambda f: f.width - 1, 0),
        Element("Y", "Top", 0, "%4.0f", 0, lambda f: f.height - 1, 0),
        Element("WIDTH", "Width", lambda f: f.width, "%4.0f", 1, lambda f: f.width, 0),
        Element("HEIGHT", "Height", lambda f: f.height, "%4.0f", 1, lambda f: f.height, 0),
    )),
    Prop("CCD_FRAME_RESET", "switch", "wo", IMAGE, "Frame Values", (Element("RESET", "Reset", "Off"),),
         rule="OneOfMany", timeout=0),
    Prop("CCD_BINNING", "number", "rw", IMAGE, "Binning", (
        Element("HOR_BIN", "X", 1, "%2.0f", 1, lambda f: max(f.bins), 1),
        Element("VER_BIN", "Y", 1, "%2.0f", 1, lambda f: max(f.bins), 1),
    )),
    Prop("CCD_FRAME_TYPE", "switch", "rw", IMAGE, "Type", (
        Element("FRAME_LIGHT", "Light", "On"), Element("FRAME_BIAS", "Bias", "Off"),
        Element("FRAME_DARK", "Dark", "Off"), Element("FRAME_FLAT", "Flat", "Off"),
    ), rule="OneOfMany"),
    Prop("CCD_INFO", "number", "ro", INFO, "CCD Information", (
        Element("CCD_MAX_X", "Max. Width", lambda f: f.width, "%.f", 1, 16384),
        Element("CCD_MAX_Y", "Max. Height", lambda f: f.height, "%.f", 1, 16384),
        Element("CCD_PIXEL_SIZE", "Pixel size (um)", lambda f: f.pixel_size, "%.2f", 0.1, 100),
        Element("CCD_PIXEL_SIZE_X", "Pixel size X", lambda f: f.pixel_size, "%.2f", 0.1, 100),
        Element("CCD_PIXEL_SIZE_Y", "Pixel size Y", lambda f: f.pixel_size, "%.2f", 0.1, 100),
        Element("CCD_BITSPERPIXEL", "Bits per pixel", 16, "%.f", 8, 64),
    )),
    Prop("CCD_TEMPERATURE", "number", "rw", MAIN, "Temperature", (
        Element("CCD_TEMPERATURE_VALUE", "Temperature (C)", lambda f: f.temperature, "%5.2f",
                lambda f: f.target_range[0], lambda f: f.target_range[1], 0),
    ), when=lambda f: f.cooler),
    # Read-write, unlike the CCD simulator's write-only one: it shows whether the cooler runs.
    Prop("CCD_COOLER", "switch", "rw", MAIN, "Cooler",
         (Element("COOLER_ON", "ON", "Off"), Element("COOLER_OFF", "OFF", "On")),
         rule="OneOfMany", when=lambda f: f.cooler, timeout=0),
    Prop("CCD_COOLER_POWER", "number", "ro", MAIN, "Cooling Power",
         (Element("CCD_COOLER_VALUE", "Cooling Power (%)", 0, "%+06.2f", 0, 100),), when=lambda f: f.cooler),
    Prop("CCD_GAIN", "number", "rw", MAIN, "Gain", (
        Element("GAIN", "value", lambda f: f.gain_range[2], "%.f", lambda f: f.gain_range[0],
                lambda f: f.gain_range[1], 1),
    )),
    Prop("CCD_OFFSET", "number", "rw", MAIN, "Offset", (
        Element("OFFSET", "value", lambda f: f.offset_range[2], "%.f", lambda f: f.offset_range[0],
                lambda f: f.offset_range[1], 1),
    )),
    Prop("CCD_CFA", "text", "ro", INFO, "Bayer Info", (
        Element("CFA_OFFSET_X", "X Offset", "0"), Element("CFA_OFFSET_Y", "Y Offset", "0"),
        Element("CFA_TYPE", "Filter", lambda f: f.bayer_pattern or ""),
    ), when=lambda f: f.colour),
    Prop("CCD1", "blob", "ro", INFO, "Image Data", (Element("CCD1", "Image"),)),
    Prop("UPLOAD_MODE", "switch", "rw", OPTIONS, "Upload", (
        Element("UPLOAD_CLIENT", "Client", "On"), Element("UPLOAD_LOCAL", "Local", "Off"),
        Element("UPLOAD_BOTH", "Both", "Off"),
    ), rule="OneOfMany", timeout=0),
    Prop("UPLOAD_SETTINGS", "text", "rw", OPTIONS, "Upload Settings", (
        Element("UPLOAD_DIR", "Dir", lambda f: f.upload_dir), Element("UPLOAD_PREFIX", "Prefix", "IMAGE_XXX"),
    )),
    Prop("TELESCOPE_TIMED_GUIDE_NS", "number", "rw", GUIDE, "Guide N/S", (
        Element("TIMED_GUIDE_N", "North (ms)", 0, "%.f", 0, 60000, 100),
        Element("TIMED_GUIDE_S", "South (ms)", 0, "%.f", 0, 60000, 100),
    ), when=lambda f: f.st4),
    Prop("TELESCOPE_TIMED_GUIDE_WE", "number", "rw", GUIDE, "Guide E/W", (
        Element("TIMED_GUIDE_W", "West (ms)", 0, "%.f", 0, 60000, 100),
        Element("TIMED_GUIDE_E", "East (ms)", 0, "%.f", 0, 60000, 100),
    ), when=lambda f: f.st4),
    Prop("CCD_VIDEO_STREAM", "switch", "rw", STREAM, "Video Stream",
         (Element("STREAM_ON", "Stream On", "Off"), Element("STREAM_OFF", "Stream Off", "On")),
         rule="OneOfMany", timeout=0),
    Prop("STREAMING_EXPOSURE", "number", "rw", STREAM, "Expose", (
        Element("STREAMING_EXPOSURE_VALUE", "Duration (s)", 0.1, "%.6f", lambda f: f.exposure_range[0], 60, 0.1),
        Element("STREAMING_DIVISOR_VALUE", "Divisor", 1, "%.f", 1, 15, 1),
    )),
)


def _resolve(value: Value, facts: Facts) -> Any:
    return value(facts) if callable(value) else value


def _member(prop: Prop, element: Element, facts: Facts) -> Any:
    value = _resolve(element.value, facts)
    if prop.kind == "number":
        return ipd.NumberMember(
            element.name, element.label, element.format,
            _resolve(element.minimum, facts), _resolve(element.maximum, facts), _resolve(element.step, facts), value,
        )
    if prop.kind == "switch":
        return ipd.SwitchMember(element.name, element.label, value)
    if prop.kind == "text":
        return ipd.TextMember(element.name, element.label, str(value))
    return ipd.BLOBMember(element.name, element.label, blobformat=".fits")


def build(facts: Facts) -> list[Any]:
    """The property vectors of one camera."""
    vectors = []
    for prop in TABLE:
        if not prop.when(facts):
            continue
        members = [_member(prop, element, facts) for element in prop.elements]
        if prop.kind == "number":
            vector = ipd.NumberVector(prop.name, prop.label, prop.group, prop.perm, "Idle", members)
        elif prop.kind == "switch":
            vector = ipd.SwitchVector(prop.name, prop.label, prop.group, prop.perm, prop.rule, "Idle", members)
        elif prop.kind == "text":
            vector = ipd.TextVector(prop.name, prop.label, prop.group, prop.perm, "Idle", members)
        else:
            vector = ipd.BLOBVector(prop.name, prop.label, prop.group, prop.perm, "Idle", members)
        vector.timeout = prop.timeout
        vectors.append(vector)
    return vectors
