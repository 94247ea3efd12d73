"""The five record classes: layout, getters, setters, construction, pickling, subclassing."""

from __future__ import annotations

import copy
import ctypes
import gc
import pickle
import struct

import pytest

MODULE_NAME = "brevalo.vra_qel_python_bindings.qel"

SIZES = {"CameraInfo": 240, "ControlCaps": 248, "Id": 8, "SupportedMode": 64, "GpsData": 184}
MEMBERS = {
    "CameraInfo": "c_info",
    "ControlCaps": "control_caps",
    "Id": "c_id",
    "SupportedMode": "c_supported_mode",
    "GpsData": "c_gps_data",
}
PROPERTIES = {
    "CameraInfo": [
        "name",
        "camera_id",
        "max_height",
        "max_width",
        "is_color_camera",
        "bayer_pattern",
        "supported_bins",
        "supported_video_formats",
        "pixel_size",
        "mechanical_shutter",
        "st_4_port",
        "is_cooler_cam",
        "is_usb3_host",
        "is_usb3_camera",
        "elec_per_adu",
        "bit_depth",
        "is_trigger_cam",
    ],
    "ControlCaps": [
        "name",
        "description",
        "max_value",
        "min_value",
        "default_value",
        "is_auto_supported",
        "is_writable",
        "control_type",
    ],
    "Id": ["id"],
    "SupportedMode": ["supported_camera_mode"],
    "GpsData": [
        "latitude",
        "longitude",
        "altitude",
        "satellite_num",
        "year",
        "month",
        "day",
        "hour",
        "minute",
        "second",
        "m_second",
        "u_second",
    ],
}
WRITABLE = {("CameraInfo", "name"), ("Id", "id")}


def record_address(obj) -> int:
    """Address of the record that an object holds behind its header."""
    cls = type(obj)
    while cls.__name__ not in SIZES or cls.__module__ != MODULE_NAME:
        cls = cls.__base__
    return id(obj) + cls.__basicsize__ - SIZES[cls.__name__]


def fill(obj, data: bytes, offset: int = 0) -> None:
    ctypes.memmove(record_address(obj) + offset, data, len(data))


def raw(obj) -> bytes:
    size = SIZES[next(c.__name__ for c in type(obj).__mro__ if c.__name__ in SIZES)]
    return ctypes.string_at(record_address(obj), size)


def ints(*values: int) -> bytes:
    return struct.pack(f"<{len(values)}i", *values)


# ---- what every record class shares


@pytest.mark.parametrize("name", SIZES)
def test_class_shape(qel, name):
    cls = getattr(qel, name)
    assert cls.__module__ == MODULE_NAME
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class '{MODULE_NAME}.{name}'>"
    assert cls.__basicsize__ == 16 + SIZES[name]
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    assert cls.__doc__ is None
    assert [n for n, v in vars(cls).items() if isinstance(v, property) or type(v).__name__ == "getset_descriptor"] == (
        PROPERTIES[name]
    )
    assert all(vars(cls)[p].__doc__ is None for p in PROPERTIES[name])
    assert [n for n, v in vars(cls).items() if callable(v) and not n.startswith("__")] == []


@pytest.mark.parametrize("name", SIZES)
def test_new_object_is_zero_and_untracked(qel, name):
    obj = getattr(qel, name)()
    assert raw(obj) == bytes(SIZES[name])
    assert not gc.is_tracked(obj)
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(TypeError):
        __import__("weakref").ref(obj)
    other = getattr(qel, name)()
    assert obj != other and obj == obj and hash(obj) != hash(other)


@pytest.mark.parametrize("name", SIZES)
def test_constructor_arguments(qel, name):
    cls = getattr(qel, name)
    with pytest.raises(TypeError) as info:
        cls(1)
    assert str(info.value) == "__init__() takes exactly 0 positional arguments (1 given)"
    with pytest.raises(TypeError) as info:
        cls(1, 2, x=3)
    assert str(info.value) == "__init__() takes exactly 0 positional arguments (2 given)"
    with pytest.raises(TypeError) as info:
        cls(x=1)
    assert str(info.value) == "__init__() got an unexpected keyword argument 'x'"


@pytest.mark.parametrize("name", SIZES)
def test_init_zeroes_again_and_checks_arguments_first(qel, name):
    obj = getattr(qel, name)()
    fill(obj, bytes(range(1, SIZES[name] + 1)))
    before = raw(obj)
    with pytest.raises(TypeError):
        obj.__init__(5)
    assert raw(obj) == before
    obj.__init__()
    assert raw(obj) == bytes(SIZES[name])


@pytest.mark.parametrize("name", SIZES)
def test_pickling_and_copying_are_refused(qel, name):
    obj = getattr(qel, name)()
    message = f"Pickling of struct members such as self.{MEMBERS[name]} must be explicitly requested with @auto_pickle(True)"
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce__(), lambda o: o.__reduce_ex__(2)):
        with pytest.raises(TypeError) as info:
            attempt(obj)
        assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        obj.__setstate__(None)
    assert str(info.value) == message
    with pytest.raises(TypeError, match="takes no arguments"):
        obj.__reduce__(1)
    with pytest.raises(TypeError, match="takes exactly one argument"):
        obj.__setstate__()


@pytest.mark.parametrize("name, prop", [(n, p) for n, ps in PROPERTIES.items() for p in ps])
def test_read_only_properties(qel, name, prop):
    obj = getattr(qel, name)()
    if (name, prop) in WRITABLE:
        with pytest.raises(NotImplementedError) as info:
            delattr(obj, prop)
        assert info.value.args == ("__del__",)
    else:
        with pytest.raises(AttributeError):
            setattr(obj, prop, getattr(obj, prop))
        with pytest.raises(AttributeError):
            delattr(obj, prop)
    with pytest.raises(AttributeError):
        obj.not_a_property = 1


@pytest.mark.parametrize("name, prop", [(n, p) for n, ps in PROPERTIES.items() for p in ps])
def test_each_access_builds_a_new_value(qel, name, prop):
    obj = getattr(qel, name)()
    first = getattr(obj, prop)
    if isinstance(first, list):
        second = getattr(obj, prop)
        assert first == second and first is not second
        first.append(99)
        assert getattr(obj, prop) == second


@pytest.mark.parametrize("name", SIZES)
def test_subclass_from_python(qel, name):
    cls = getattr(qel, name)

    class Sub(cls):
        extra = 1

    obj = Sub()
    assert isinstance(obj, cls)
    assert raw(obj) == bytes(SIZES[name])
    obj.other = 2  # a Python subclass has a __dict__
    prop = PROPERTIES[name][0]
    assert getattr(obj, prop) == getattr(cls(), prop)


def test_class_attributes_cannot_be_set(qel):
    with pytest.raises(TypeError):
        qel.CameraInfo.name = 1


# ---- CameraInfo


def test_camera_info_defaults(qel):
    info = qel.CameraInfo()
    assert info.name == ""
    assert (info.camera_id, info.max_height, info.max_width, info.bit_depth) == (0, 0, 0, 0)
    assert not any(
        (info.is_color_camera, info.mechanical_shutter, info.st_4_port, info.is_cooler_cam)
        + (info.is_usb3_host, info.is_usb3_camera, info.is_trigger_cam)
    )
    assert info.pixel_size == 0.0 and info.elec_per_adu == 0.0
    assert info.bayer_pattern is qel.BayerPattern.BAYER_RG
    assert info.supported_bins == []
    assert info.supported_video_formats == [qel.ImgType.IMG_RAW8] * 8
    assert repr(info) == str(info) == "CameraInfo(Name=, CameraID=0, MaxHeight=0, MaxWidth=0)"


def camera_info_bytes(**fields) -> bytes:
    data = bytearray(240)
    name = fields.get("name", b"")
    data[0 : len(name)] = name
    struct.pack_into("<iiiii", data, 64, fields.get("camera_id", 0), fields.get("max_height", 0),
                     fields.get("max_width", 0), fields.get("is_color", 0), fields.get("bayer", 0))
    bins = fields.get("bins", [0] * 16)
    struct.pack_into("<16i", data, 84, *bins)
    formats = fields.get("formats", [0] * 8)
    struct.pack_into("<8i", data, 148, *formats)
    struct.pack_into("<d", data, 184, fields.get("pixel_size", 0.0))
    struct.pack_into("<5i", data, 192, *fields.get("flags", [0] * 5))
    struct.pack_into("<fii", data, 212, fields.get("elec", 0.0), fields.get("bit_depth", 0), fields.get("trigger", 0))
    return bytes(data)


def test_camera_info_fields(qel):
    info = qel.CameraInfo()
    fill(info, camera_info_bytes(
        name=b"Cam", camera_id=-3, max_height=3000, max_width=4000, is_color=7, bayer=3,
        bins=[1, 2, 0, 4, -2] + [0] * 10 + [9], formats=[0, 2, -1, 0, 0, 0, 0, 0], pixel_size=3.76,
        flags=[1, 0, -1, 0, 2], elec=0.1, bit_depth=12, trigger=-5,
    ))
    assert info.name == "Cam"
    assert (info.camera_id, info.max_height, info.max_width) == (-3, 3000, 4000)
    assert info.is_color_camera is True
    assert info.bayer_pattern is qel.BayerPattern.BAYER_GB
    assert info.supported_bins == [1, 2, 4, 9]
    assert info.supported_video_formats == [qel.ImgType.IMG_RAW8, qel.ImgType.IMG_RAW16] + [qel.ImgType.IMG_RAW8] * 5
    assert all(type(f) is qel.ImgType for f in info.supported_video_formats)
    assert info.pixel_size == 3.76
    assert (info.mechanical_shutter, info.st_4_port, info.is_cooler_cam, info.is_usb3_host, info.is_usb3_camera) == (
        True, False, True, False, True)
    assert info.elec_per_adu == 0.10000000149011612
    assert info.bit_depth == 12 and type(info.bit_depth) is int
    assert info.is_trigger_cam is True
    assert repr(info) == "CameraInfo(Name=Cam, CameraID=-3, MaxHeight=3000, MaxWidth=4000)"


def test_camera_info_enumerations_are_looked_up_at_access(qel, restore_globals):
    info = qel.CameraInfo()
    fill(info, ints(2), 80)
    fill(info, ints(1, -1, 3, -1, -1, -1, -1, -1), 148)
    seen = []
    restore_globals["BayerPattern"] = lambda v: seen.append(v) or "bp"
    assert info.bayer_pattern == "bp" and seen == [2]

    class FakeImgType:
        IMG_END = 3

        def __new__(cls, v):
            return f"img{v}"

    restore_globals["ImgType"] = FakeImgType
    assert info.supported_video_formats == ["img1", "img-1", "img-1", "img-1", "img-1", "img-1", "img-1"]
    del restore_globals["BayerPattern"]
    with pytest.raises(NameError, match="^name 'BayerPattern' is not defined$"):
        info.bayer_pattern
    del restore_globals["ImgType"]
    with pytest.raises(NameError, match="^name 'ImgType' is not defined$"):
        info.supported_video_formats


@pytest.mark.parametrize("offset, value, prop", [(80, 4, "bayer_pattern"), (148, 7, "supported_video_formats")])
def test_camera_info_unknown_enumeration_values(qel, offset, value, prop):
    info = qel.CameraInfo()
    fill(info, ints(value), offset)
    with pytest.raises(ValueError):
        getattr(info, prop)
    assert info.camera_id == 0  # the other properties still read


def test_camera_info_repr_uses_attribute_lookup(qel):
    class Named(qel.CameraInfo):
        name = "Override"
        max_width = 1.5
        max_height = True

    assert repr(Named()) == "CameraInfo(Name=Override, CameraID=0, MaxHeight=True, MaxWidth=1.5)"

    class Broken(qel.CameraInfo):
        @property
        def camera_id(self):
            raise KeyError("id")

    with pytest.raises(KeyError):
        repr(Broken())


def name_of(text: str) -> str:
    return text + "\0" * (64 - len(text.encode()))


class Encodes:
    def __init__(self, result):
        self.result = result

    def encode(self, encoding):
        assert encoding == "utf-8"
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def halfway():
    yield 65
    raise ZeroDivisionError("halfway")


class NoLength:
    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        raise OverflowError("length")


class Shrinks(list):
    pass


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("abc", IndexError, "not enough values found during array assignment, expected 64, got 3"),
        ("a" * 65, IndexError, "too many values found during array assignment, expected 64"),
        ("a" * 62 + "é", OverflowError, "value too large to convert to char"),
        (b"a" * 64, AttributeError, "'bytes' object has no attribute 'encode'"),
        (None, AttributeError, "'NoneType' object has no attribute 'encode'"),
        (Encodes(RuntimeError("encode")), RuntimeError, "encode"),
        (Encodes(5), TypeError, "'int' object is not iterable"),
        (Encodes([65] * 63 + [-129]), OverflowError, "value too large to convert to char"),
        (Encodes([65] * 63 + [128]), OverflowError, "value too large to convert to char"),
        (Encodes([65] * 63 + [2**80]), OverflowError, "value too large to convert to char"),
        (Encodes([65] * 63 + ["x"]), TypeError, "an integer is required"),
        (Encodes([65] * 63 + [1.5]), None, None),  # floats go through __int__
        (Encodes(iter([65] * 10)), IndexError, "not enough values found during array assignment, expected 64, got 10"),
        (Encodes(iter([65] * 65)), IndexError, "too many values found during array assignment, expected 64"),
        (Encodes(halfway()), ZeroDivisionError, "halfway"),
        (Encodes(NoLength([66] * 64)), None, None),
        (Encodes(NoLength([66] * 3)), IndexError, "not enough values found during array assignment, expected 64, got 3"),
        (Encodes(tuple([67] * 64)), None, None),
    ],
)
def test_name_setter(qel, value, error, message):
    info = qel.CameraInfo()
    info.name = name_of("old")
    before = raw(info)
    if error is None:
        info.name = value
        assert raw(info)[:64] != before[:64]
        assert raw(info)[64:] == before[64:]
    else:
        with pytest.raises(error) as info_error:
            info.name = value
        assert str(info_error.value).strip("'") == message or info_error.value.args[0] == message
        assert raw(info) == before
        assert info.name == "old"


def test_name_setter_round_trip(qel):
    info = qel.CameraInfo()
    info.name = "abc" + "\0" * 61
    assert info.name == "abc"
    info.name = "x" * 64
    assert info.name == "x" * 64  # no NUL: the whole field, and nothing beyond it
    assert info.camera_id == 0


def test_name_getter_stays_within_its_field(qel):
    info = qel.CameraInfo()
    fill(info, b"A" * 64 + b"BBBB")
    assert info.name == "A" * 64


def test_name_with_malformed_utf8(qel):
    info = qel.CameraInfo()
    fill(info, b"ab\xff\xfe\0")
    with pytest.raises(UnicodeDecodeError):
        info.name


def test_item_whose_int_returns_an_int_subclass_warns(qel):
    class Sub(int):
        pass

    class Item:
        def __int__(self):
            return Sub(66)

    info = qel.CameraInfo()
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type Sub\)\.  The ability"):
        info.name = Encodes([65] * 63 + [Item()])
    assert info.name == "A" * 63 + "B"


# ---- ControlCaps


def test_control_caps_defaults_and_fields(qel):
    caps = qel.ControlCaps()
    assert (caps.name, caps.description) == ("", "")
    assert (caps.max_value, caps.min_value, caps.default_value) == (0, 0, 0)
    assert (caps.is_auto_supported, caps.is_writable) == (False, False)
    assert caps.control_type is qel.ControlType.QEL_GAIN
    data = bytearray(248)
    data[0:4] = b"Gain"
    data[64:64 + 128] = b"d" * 128  # no NUL: the whole field
    struct.pack_into("<6i", data, 192, 600, -25, 100, 1, 9, 16)
    data[216:248] = b"\xff" * 32
    fill(caps, bytes(data))
    assert caps.name == "Gain"
    assert caps.description == "d" * 128
    assert (caps.max_value, caps.min_value, caps.default_value) == (600, -25, 100)
    assert (caps.is_auto_supported, caps.is_writable) == (True, True)
    assert caps.control_type is qel.ControlType.QEL_TARGET_TEMP


def test_control_caps_unknown_type_leaves_other_properties_readable(qel):
    caps = qel.ControlCaps()
    fill(caps, ints(29), 212)
    with pytest.raises(ValueError):
        caps.control_type
    assert caps.name == "" and caps.max_value == 0


def test_control_caps_default_repr(qel):
    caps = qel.ControlCaps()
    assert repr(caps).startswith(f"<{MODULE_NAME}.ControlCaps object at 0x")


# ---- Id


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("abcd", IndexError, "not enough values found during array assignment, expected 8, got 4"),
        ("abcdefghi", IndexError, "too many values found during array assignment, expected 8"),
        (b"abcdefgh", AttributeError, "'bytes' object has no attribute 'encode'"),
        (Encodes([1] * 7 + [-1]), OverflowError, "can't convert negative value to unsigned char"),
        (Encodes([1] * 7 + [256]), OverflowError, "value too large to convert to unsigned char"),
        (Encodes([1] * 7 + [-(2**90)]), OverflowError, "can't convert negative value to unsigned char"),
    ],
)
def test_id_setter_refusals(qel, value, error, message):
    ident = qel.Id()
    ident.id = "keep\0\0\0\0"
    with pytest.raises(error) as info:
        ident.id = value
    assert str(info.value).strip("'") == message or info.value.args[0] == message
    assert ident.id == "keep"


@pytest.mark.parametrize(
    "value, expected",
    [
        ("abcd\0\0\0\0", "abcd"),
        ("ééé\0\0", "ééé"),  # 8 bytes of UTF-8, bytes above 0x7f are fine here
        ("12345678", "12345678"),  # no NUL: all 8 bytes
        ("\0bcdefgh", ""),
    ],
)
def test_id_round_trip(qel, value, expected):
    ident = qel.Id()
    ident.id = value
    assert ident.id == expected
    assert raw(ident) == value.encode()


def test_id_with_malformed_utf8(qel):
    ident = qel.Id()
    fill(ident, b"SN\xff\0\0\0\0\0")
    with pytest.raises(UnicodeDecodeError):
        ident.id


# ---- SupportedMode


@pytest.mark.parametrize(
    "entries, expected",
    [
        ([0] * 16, [0] * 16),
        ([0, 1, 3] + [-1] * 13, [0, 1, 3]),
        ([0, -1, 5] + [-1] * 13, [0, 5]),
        ([-1] * 15 + [6], [6]),
        ([-7] + [-1] * 15, [-7]),
    ],
)
def test_supported_camera_mode(qel, entries, expected):
    mode = qel.SupportedMode()
    fill(mode, ints(*entries))
    result = mode.supported_camera_mode
    assert result == expected
    assert all(type(v) is int for v in result)


def test_supported_camera_mode_late_binding(qel, restore_globals):
    mode = qel.SupportedMode()
    fill(mode, ints(0, 1, 3, *[-1] * 13))

    class End:
        value = 0

    class Fake:
        QEL_MODE_END = End

    restore_globals["CameraMode"] = Fake
    assert mode.supported_camera_mode == [1, 3] + [-1] * 13
    restore_globals["CameraMode"] = object()
    with pytest.raises(AttributeError):
        mode.supported_camera_mode
    del restore_globals["CameraMode"]
    with pytest.raises(NameError, match="^name 'CameraMode' is not defined$"):
        mode.supported_camera_mode


# ---- GpsData


def test_gps_data_fields(qel):
    gps = qel.GpsData()
    assert (gps.latitude, gps.longitude) == (0.0, 0.0)
    assert all(getattr(gps, p) == 0 for p in PROPERTIES["GpsData"][2:])
    data = bytearray(184)
    struct.pack_into("<8i", data, 0, 2026, 0, 31, 25, 59, 60, 999, 999999)
    data[32:96] = b"\xaa" * 64
    struct.pack_into("<ddii", data, 96, -33.5, -70.25, -12, 9)
    fill(gps, bytes(data))
    assert (gps.year, gps.month, gps.day, gps.hour, gps.minute, gps.second) == (2026, 0, 31, 25, 59, 60)
    assert (gps.m_second, gps.u_second) == (999, 999999)
    assert (gps.latitude, gps.longitude, gps.altitude, gps.satellite_num) == (-33.5, -70.25, -12, 9)


@pytest.mark.parametrize("name", SIZES)
def test_init_of_a_subclass_zeroes_only_the_record(qel, name):
    import weakref

    class Sub(getattr(qel, name)):
        pass

    obj = Sub()
    obj.label = "kept"
    ref = weakref.ref(obj)
    weak_list = ctypes.c_void_p.from_address(id(obj) + Sub.__weakrefoffset__)
    assert weak_list.value  # the object's list of weak references, right behind the record
    fill(obj, b"\x01" * SIZES[name])
    obj.__init__()
    assert raw(obj) == bytes(SIZES[name])
    assert weak_list.value and obj.label == "kept" and ref() is obj
