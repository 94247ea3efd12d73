"""The integer enumerations that name the SDK's constants."""

from __future__ import annotations

import enum

import pytest

MODULE_NAME = "brevalo.vra_qel_python_bindings.qel"

ENUMERATIONS = {
    "BayerPattern": [("BAYER_RG", 0), ("BAYER_BG", 1), ("BAYER_GR", 2), ("BAYER_GB", 3)],
    "ImgType": [("IMG_RAW8", 0), ("IMG_RGB24", 1), ("IMG_RAW16", 2), ("IMG_Y8", 3), ("IMG_END", -1)],
    "ControlType": [
        (name, value)
        for value, name in enumerate(
            "QEL_GAIN QEL_EXPOSURE QEL_GAMMA QEL_WB_R QEL_WB_B QEL_OFFSET QEL_BANDWIDTHOVERLOAD QEL_OVERCLOCK "
            "QEL_TEMPERATURE QEL_FLIP QEL_AUTO_MAX_GAIN QEL_AUTO_MAX_EXP QEL_AUTO_TARGET_BRIGHTNESS "
            "QEL_HARDWARE_BIN QEL_HIGH_SPEED_MODE QEL_COOLER_POWER_PERC QEL_TARGET_TEMP QEL_COOLER_ON "
            "QEL_MONO_BIN QEL_FAN_ON QEL_PATTERN_ADJUST QEL_ANTI_DEW_HEATER QEL_FAN_ADJUST QEL_PWRLED_BRIGNT "
            "QEL_USBHUB_RESET QEL_GPS_SUPPORT QEL_GPS_START_LINE QEL_GPS_END_LINE QEL_ROLLING_INTERVAL".split()
        )
    ],
    "CameraMode": [
        ("QEL_MODE_NORMAL", 0),
        ("QEL_MODE_TRIG_SOFT_EDGE", 1),
        ("QEL_MODE_TRIG_RISE_EDGE", 2),
        ("QEL_MODE_TRIG_FALL_EDGE", 3),
        ("QEL_MODE_TRIG_SOFT_LEVEL", 4),
        ("QEL_MODE_TRIG_HIGH_LEVEL", 5),
        ("QEL_MODE_TRIG_LOW_LEVEL", 6),
        ("QEL_MODE_END", -1),
    ],
    "GuideDirection": [("QEL_GUIDE_NORTH", 0), ("QEL_GUIDE_SOUTH", 1), ("QEL_GUIDE_EAST", 2), ("QEL_GUIDE_WEST", 3)],
    "FlipStatus": [("QEL_FLIP_NONE", 0), ("QEL_FLIP_HORIZ", 1), ("QEL_FLIP_VERT", 2), ("QEL_FLIP_BOTH", 3)],
    "TrigOutput": [("QEL_TRIG_OUTPUT_PINA", 0), ("QEL_TRIG_OUTPUT_PINB", 1), ("QEL_TRIG_OUTPUT_NONE", -1)],
    "ExposureStatus": [("QEL_EXP_IDLE", 0), ("QEL_EXP_WORKING", 1), ("QEL_EXP_SUCCESS", 2), ("QEL_EXP_FAILED", 3)],
}


@pytest.mark.parametrize("name", ENUMERATIONS)
def test_members_in_order(qel, name):
    cls = getattr(qel, name)
    assert [(m.name, m.value) for m in cls] == ENUMERATIONS[name]
    assert len(cls) == len(ENUMERATIONS[name])
    assert list(cls.__members__) == [m for m, _ in ENUMERATIONS[name]]  # no aliases


@pytest.mark.parametrize("name", ENUMERATIONS)
def test_class(qel, name):
    cls = getattr(qel, name)
    assert issubclass(cls, enum.IntEnum)
    assert cls.__bases__ == (enum.IntEnum,)
    assert cls.__module__ == MODULE_NAME
    assert cls.__qualname__ == cls.__name__ == name
    assert cls.__doc__ is None


@pytest.mark.parametrize("name, member, value", [(n, m, v) for n, ms in ENUMERATIONS.items() for m, v in ms])
def test_member_is_its_integer(qel, name, member, value):
    m = getattr(getattr(qel, name), member)
    assert isinstance(m, int)
    assert m == value and hash(m) == hash(value)
    assert getattr(qel, name)(value) is m


def test_edge_cases(qel):
    assert qel.ControlType.QEL_PWRLED_BRIGNT == 23
    assert qel.ControlType(28) is qel.ControlType.QEL_ROLLING_INTERVAL
    assert qel.ImgType(-1) is qel.ImgType.IMG_END
    assert qel.CameraMode(-1) is qel.CameraMode.QEL_MODE_END
    assert qel.BayerPattern.BAYER_RG + 1 == 1
    with pytest.raises(ValueError):
        qel.CameraMode(7)
