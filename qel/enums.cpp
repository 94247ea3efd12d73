// The integer enumerations that name the SDK's constants.
#include "enums.h"

#include "QELCamera2.h"
#include "classdef.h"
#include "state.h"
#include "watch.h"

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

// Remembers the enumeration made `index`-th, for the fast paths; false only with an exception set.
bool watch_enumeration(int index, PyObject *cls);

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
        if (!watch_enumeration(static_cast<int>(&e - kEnumerations), cls.get())) return false;
    }
    return true;
}

// ---- fast paths
//
// Reading a member's `value` runs enum's own Python code (a descriptor's __get__ calling a property
// function that returns `self._value_`), and so does calling an enumeration with a value (the
// metaclass's __call__, then the class's __new__, which looks the value up in `_value2member_map_`).
// While everything that code is made of is as it was at import, its result is known without running
// it: `member._value_`, and the entry of `_value2member_map_`. What is checked, per call:
// - the class is one of the eight made at import, with its type stamp (watch.h) unchanged, which
//   covers attributes set on it or on any of its bases (IntEnum, Enum...);
// - the metaclass is still the class's type and unchanged, and the class of the `value` descriptor
//   too;
// - the Python functions involved (the descriptor's __get__ and fget, the metaclass's __call__, the
//   class's __new__) still hold the code and defaults they had;
// - the descriptor still has its fget, and no trace or profile function would see those calls.
// Anything else goes the full way.

namespace {

// The versions of enum whose code the fast paths were written from: 3.11 to 3.15. What they rely on
// reads the same in each: the `value` property's __get__ calls its fget, which returns `self._value_`;
// EnumType.__call__ with a value and members calls the class's __new__, which returns the entry of
// `_value2member_map_` for a hashable value (3.14 only changed the search for an unhashable one, and
// 3.15 only the flags).
constexpr bool kEnumCodeRead = PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x03100000;

// A Python function as it was at import.
struct Code {
    PyObject *function = nullptr;  // strong
    PyObject *code = nullptr;
    PyObject *defaults = nullptr;
    PyObject *kwdefaults = nullptr;

    bool record(PyObject *fn) {
        clear();
        if (!fn || !PyFunction_Check(fn)) return false;
        function = Py_NewRef(fn);
        code = Py_NewRef(PyFunction_GET_CODE(fn));
        defaults = Py_XNewRef(PyFunction_GET_DEFAULTS(fn));
        kwdefaults = Py_XNewRef(PyFunction_GET_KW_DEFAULTS(fn));
        return true;
    }
    bool same() const {
        return PyFunction_GET_CODE(function) == code && PyFunction_GET_DEFAULTS(function) == defaults &&
               PyFunction_GET_KW_DEFAULTS(function) == kwdefaults;
    }
    void clear() {
        Py_CLEAR(function);
        Py_CLEAR(code);
        Py_CLEAR(defaults);
        Py_CLEAR(kwdefaults);
    }
};

// A class as it was at import.
struct Watched {
    PyTypeObject *type = nullptr;  // strong
    uint64_t stamp = 0;            // 0: cannot tell, never the same

    bool record(PyTypeObject *t) {
        Py_XSETREF(type, reinterpret_cast<PyTypeObject *>(Py_NewRef(t)));
        if (!watch_type(t)) return false;
        stamp = type_stamp(t);
        return true;
    }
    bool same() const { return stamp != 0 && type_stamp(type) == stamp; }
};

// What every enumeration shares: the enum machinery.
struct Machinery {
    bool usable = false;
    Watched metaclass;      // EnumType
    Code call;              // EnumType.__call__
    PyObject *descriptor = nullptr;  // strong: the `value` every enumeration inherits
    Watched property;       // the descriptor's class
    Code get;               // its __get__
    Code fget;              // the descriptor's fget
} machinery;

// One enumeration.
struct Plain {
    bool usable = false;
    Watched cls;
    Code new_;                          // its __new__
    PyObject *value2member = nullptr;   // strong: its _value2member_map_
    PyObject *member_map = nullptr;     // strong: its _member_map_
};

constexpr int kCount = sizeof kEnumerations / sizeof kEnumerations[0];
Plain plain[kCount];

struct FastNames {
    PyObject *value_ = nullptr, *value2member_map = nullptr, *member_map = nullptr, *new_ = nullptr,
             *call = nullptr, *get = nullptr, *fget = nullptr;
} fast_names;

bool make_fast_names() {
    if (fast_names.fget) return true;
    return (fast_names.value_ = PyUnicode_InternFromString("_value_")) &&
           (fast_names.value2member_map = PyUnicode_InternFromString("_value2member_map_")) &&
           (fast_names.member_map = PyUnicode_InternFromString("_member_map_")) &&
           (fast_names.new_ = PyUnicode_InternFromString("__new__")) &&
           (fast_names.call = PyUnicode_InternFromString("__call__")) &&
           (fast_names.get = PyUnicode_InternFromString("__get__")) &&
           (fast_names.fget = PyUnicode_InternFromString("fget"));
}

// The attribute `name` of an object whose class (unchanged since import) defines no attribute of
// that name: the entry of the object's own __dict__, borrowed; nullptr if there is none (no error).
PyObject *own_attribute(PyObject *object, PyObject *name) {
    PyObject *dict = PyObject_GenericGetDict(object, nullptr);
    if (!dict) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject *value = PyDict_CheckExact(dict) ? PyDict_GetItemWithError(dict, name) : nullptr;
    Py_DECREF(dict);  // the object keeps it, and with it the value
    if (!value) PyErr_Clear();
    return value;
}

// Records the machinery from the first enumeration; false only with an exception set.
bool record_machinery(PyTypeObject *cls) {
    Machinery &m = machinery;
    m.usable = false;
    if (!m.metaclass.record(Py_TYPE(cls))) return false;
    PyObject *descriptor = class_attribute(cls, names.value);
    if (!descriptor) return true;
    Py_XSETREF(m.descriptor, Py_NewRef(descriptor));
    if (!m.property.record(Py_TYPE(descriptor))) return false;
    // Both attributes that the fast path reads from an object's __dict__ must not be the class's.
    if (class_attribute(Py_TYPE(descriptor), fast_names.fget) || class_attribute(cls, fast_names.value_)) return true;
    PyObject *fget = own_attribute(descriptor, fast_names.fget);
    if (!fget) return true;
    m.usable = kEnumCodeRead && m.call.record(class_attribute(m.metaclass.type, fast_names.call)) &&
               m.get.record(class_attribute(m.property.type, fast_names.get)) && m.fget.record(fget);
    if (!m.usable) return true;
    // fget is `return self._value_`, which member_value() reads in its place.
    Ref names_used(PyObject_GetAttrString(m.fget.code, "co_names"));
    if (!names_used) return false;
    m.usable = PyTuple_CheckExact(names_used.get()) && PyTuple_GET_SIZE(names_used.get()) == 1 &&
               PyUnicode_Compare(PyTuple_GET_ITEM(names_used.get(), 0), fast_names.value_) == 0;
    return true;
}

// Records one enumeration; false only with an exception set.
bool record_plain(Plain &p, PyTypeObject *cls) {
    p.usable = false;
    if (!p.cls.record(cls)) return false;
    PyObject *value2member = class_attribute(cls, fast_names.value2member_map);
    PyObject *member_map = class_attribute(cls, fast_names.member_map);
    if (!value2member || !member_map || !PyDict_CheckExact(value2member) || !PyDict_CheckExact(member_map))
        return true;
    Py_XSETREF(p.value2member, Py_NewRef(value2member));
    Py_XSETREF(p.member_map, Py_NewRef(member_map));
    p.usable = Py_IS_TYPE(cls, machinery.metaclass.type) && class_attribute(cls, names.value) == machinery.descriptor &&
               !class_attribute(cls, fast_names.value_) &&
               p.new_.record(class_attribute(cls, fast_names.new_));
    return true;
}

// Nobody would see the Python calls that a fast path leaves out.
bool unobserved() {
    PyThreadState *thread = PyThreadState_Get();
    return !thread->c_tracefunc && !thread->c_profilefunc;
}

const Plain *plain_of(PyTypeObject *cls) {
    for (const Plain &p : plain)
        if (p.cls.type == cls) return p.usable && p.cls.same() ? &p : nullptr;
    return nullptr;
}

// Reading `value` from a member of `p` runs what it ran at import.
bool value_is_plain() {
    const Machinery &m = machinery;
    return m.usable && m.property.same() && Py_IS_TYPE(m.descriptor, m.property.type) && m.get.same() &&
           m.fget.same() && own_attribute(m.descriptor, fast_names.fget) == m.fget.function && unobserved();
}

}  // namespace

bool watch_enumeration(int index, PyObject *cls) {
    if (!make_fast_names()) return false;
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    if (index == 0 && !record_machinery(type)) return false;
    return record_plain(plain[index], type);
}

PyObject *member_value(PyObject *member) {
    if (plain_of(Py_TYPE(member)) && value_is_plain()) {
        // What fget returns: `self._value_`, which the class leaves to the member's __dict__. When it
        // is missing the full way raises the error, from where it is raised.
        if (PyObject *value = own_attribute(member, fast_names.value_)) return Py_NewRef(value);
    }
    return PyObject_GetAttr(member, names.value);
}

PyObject *member_of(PyObject *cls, int value) {
    Ref number(PyLong_FromLong(value));
    if (!number) return nullptr;
    if (PyType_Check(cls)) {
        const Plain *p = plain_of(reinterpret_cast<PyTypeObject *>(cls));
        const Machinery &m = machinery;
        if (p && m.usable && Py_IS_TYPE(cls, m.metaclass.type) && m.metaclass.same() && m.call.same() &&
            p->new_.same() && PyDict_GET_SIZE(p->member_map) > 0 && unobserved()) {
            PyObject *member = PyDict_GetItemWithError(p->value2member, number.get());
            if (member) return Py_NewRef(member);
            PyErr_Clear();  // not a member: the class call raises what it raises
        }
    }
    return PyObject_CallOneArg(cls, number.get());
}

}  // namespace qel
