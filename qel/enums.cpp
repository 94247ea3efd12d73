// The integer enumerations that name the SDK's constants.
#include "enums.h"

#include "QELCamera2.h"
#include "classdef.h"
#include "state.h"

namespace qel {

namespace {

struct Member {
    const char *name;
    int value;
};

struct Enumeration {
    const char *name;
    const Member *members;
    int count;
};

#define QEL_MEMBER(m) {#m, m}

const Member kBayerPattern[] = {QEL_MEMBER(BAYER_RG), QEL_MEMBER(BAYER_BG), QEL_MEMBER(BAYER_GR), QEL_MEMBER(BAYER_GB)};

const Member kImgType[] = {QEL_MEMBER(IMG_RAW8), QEL_MEMBER(IMG_RGB24), QEL_MEMBER(IMG_RAW16), QEL_MEMBER(IMG_Y8),
                           QEL_MEMBER(IMG_END)};

const Member kControlType[] = {
    QEL_MEMBER(QEL_GAIN),
    QEL_MEMBER(QEL_EXPOSURE),
    QEL_MEMBER(QEL_GAMMA),
    QEL_MEMBER(QEL_WB_R),
    QEL_MEMBER(QEL_WB_B),
    QEL_MEMBER(QEL_OFFSET),
    QEL_MEMBER(QEL_BANDWIDTHOVERLOAD),
    QEL_MEMBER(QEL_OVERCLOCK),
    QEL_MEMBER(QEL_TEMPERATURE),
    QEL_MEMBER(QEL_FLIP),
    QEL_MEMBER(QEL_AUTO_MAX_GAIN),
    QEL_MEMBER(QEL_AUTO_MAX_EXP),
    QEL_MEMBER(QEL_AUTO_TARGET_BRIGHTNESS),
    QEL_MEMBER(QEL_HARDWARE_BIN),
    QEL_MEMBER(QEL_HIGH_SPEED_MODE),
    QEL_MEMBER(QEL_COOLER_POWER_PERC),
    QEL_MEMBER(QEL_TARGET_TEMP),
    QEL_MEMBER(QEL_COOLER_ON),
    QEL_MEMBER(QEL_MONO_BIN),
    QEL_MEMBER(QEL_FAN_ON),
    QEL_MEMBER(QEL_PATTERN_ADJUST),
    QEL_MEMBER(QEL_ANTI_DEW_HEATER),
    QEL_MEMBER(QEL_FAN_ADJUST),
    QEL_MEMBER(QEL_PWRLED_BRIGNT),
    QEL_MEMBER(QEL_USBHUB_RESET),
    QEL_MEMBER(QEL_GPS_SUPPORT),
    QEL_MEMBER(QEL_GPS_START_LINE),
    QEL_MEMBER(QEL_GPS_END_LINE),
    QEL_MEMBER(QEL_ROLLING_INTERVAL),
};

const Member kCameraMode[] = {
    QEL_MEMBER(QEL_MODE_NORMAL),          QEL_MEMBER(QEL_MODE_TRIG_SOFT_EDGE),  QEL_MEMBER(QEL_MODE_TRIG_RISE_EDGE),
    QEL_MEMBER(QEL_MODE_TRIG_FALL_EDGE),  QEL_MEMBER(QEL_MODE_TRIG_SOFT_LEVEL), QEL_MEMBER(QEL_MODE_TRIG_HIGH_LEVEL),
    QEL_MEMBER(QEL_MODE_TRIG_LOW_LEVEL),  QEL_MEMBER(QEL_MODE_END),
};

const Member kGuideDirection[] = {QEL_MEMBER(QEL_GUIDE_NORTH), QEL_MEMBER(QEL_GUIDE_SOUTH), QEL_MEMBER(QEL_GUIDE_EAST),
                                  QEL_MEMBER(QEL_GUIDE_WEST)};

const Member kFlipStatus[] = {QEL_MEMBER(QEL_FLIP_NONE), QEL_MEMBER(QEL_FLIP_HORIZ), QEL_MEMBER(QEL_FLIP_VERT),
                              QEL_MEMBER(QEL_FLIP_BOTH)};

const Member kTrigOutput[] = {QEL_MEMBER(QEL_TRIG_OUTPUT_PINA), QEL_MEMBER(QEL_TRIG_OUTPUT_PINB),
                              QEL_MEMBER(QEL_TRIG_OUTPUT_NONE)};

const Member kExposureStatus[] = {QEL_MEMBER(QEL_EXP_IDLE), QEL_MEMBER(QEL_EXP_WORKING), QEL_MEMBER(QEL_EXP_SUCCESS),
                                  QEL_MEMBER(QEL_EXP_FAILED)};

#undef QEL_MEMBER

template <int N>
constexpr Enumeration enumeration(const char *name, const Member (&members)[N]) {
    return {name, members, N};
}

// In creation order.
const Enumeration kEnumerations[] = {
    enumeration("BayerPattern", kBayerPattern),   enumeration("ImgType", kImgType),
    enumeration("ControlType", kControlType),     enumeration("CameraMode", kCameraMode),
    enumeration("GuideDirection", kGuideDirection), enumeration("FlipStatus", kFlipStatus),
    enumeration("TrigOutput", kTrigOutput),       enumeration("ExposureStatus", kExposureStatus),
};

}  // namespace

bool add_enumerations(PyObject *dict) {
    for (const Enumeration &e : kEnumerations) {
        Ref base(load_global(names.IntEnum));
        if (!base) return false;
        Ref bases(PyTuple_Pack(1, base.get()));
        if (!bases) return false;
        Ref cls(make_class(e.name, bases.get(), [&](PyObject *ns) {
            for (int i = 0; i < e.count; ++i) {
                Ref value(PyLong_FromLong(e.members[i].value));
                Ref key(PyUnicode_InternFromString(e.members[i].name));
                if (!value || !key || PyObject_SetItem(ns, key.get(), value.get()) < 0) return false;
            }
            return true;
        }));
        if (!cls || PyDict_SetItemString(dict, e.name, cls.get()) < 0) return false;
    }
    return true;
}

}  // namespace qel
