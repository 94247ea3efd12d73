#include "records.h"

#include <climits>
#include <cstring>
#include <iterator>

#include "enums.h"
#include "function.h"
#include "state.h"

namespace qel {

namespace {

char *record_bytes(PyObject *self) { return reinterpret_cast<char *>(self) + kRecordOffset; }

template <typename T>
T read(PyObject *self, size_t offset) {
    T value;
    std::memcpy(&value, record_bytes(self) + offset, sizeof value);
    return value;
}

// ---- getters

enum class Field : unsigned char {
    Text,     // NUL-terminated UTF-8 within the field
    Chars,    // Text, and settable: the UTF-8 bytes of a str, as many as the field holds, each a char
    Bytes,    // Chars, each byte an unsigned char
    Int,      // signed 32-bit
    Bool,     // 32-bit, nonzero is true
    Double,   // double
    Float,    // float, widened to double
    Enum,     // signed 32-bit, as a member of the enumeration named `enumeration`
    Bins,     // signed 32-bit entries; those above 0
    Formats,  // signed 32-bit entries; ImgType members of those that are not IMG_END
    Modes,    // signed 32-bit entries; those that are not CameraMode.QEL_MODE_END
};

// One property of a record class: its name, how it reads the record, and where in the record.
struct FieldDef {
    const char *name;
    Field kind;
    size_t offset;
    size_t size;
    PyObject *const *enumeration = nullptr;  // Enum: the name of the enumeration, among the interned names
    GlobalCache cache = {};                  // late-bound enumeration lookups of this getter
};

// Where a member of record type R lies, and its size.
#define QEL_MEMBER(R, member) offsetof(R, member), sizeof(R::member)

int entries(const FieldDef &f) { return static_cast<int>(f.size / sizeof(int)); }

PyObject *decode_text(const char *start, size_t size) {
    const void *nul = std::memchr(start, '\0', size);
    const size_t length = nul ? static_cast<size_t>(static_cast<const char *>(nul) - start) : size;
    return PyUnicode_DecodeUTF8(start, static_cast<Py_ssize_t>(length), nullptr);
}

PyObject *bin_list(PyObject *self, const FieldDef &f) {
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (int i = 0; i < entries(f); ++i) {
        const int v = read<int>(self, f.offset + i * sizeof(int));
        if (v <= 0) continue;
        Ref item(PyLong_FromLong(v));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

// Entries that differ from ImgType.IMG_END, as ImgType members; the class is looked up for each use.
PyObject *format_list(PyObject *self, FieldDef &f) {
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (int i = 0; i < entries(f); ++i) {
        Ref entry(PyLong_FromLong(read<int>(self, f.offset + i * sizeof(int))));
        if (!entry) return nullptr;
        Ref img_type(load_global(names.ImgType, f.cache));
        if (!img_type) return nullptr;
        Ref end(PyObject_GetAttr(img_type.get(), names.IMG_END));
        if (!end) return nullptr;
        const int differs = PyObject_RichCompareBool(entry.get(), end.get(), Py_NE);
        if (differs < 0) return nullptr;
        if (!differs) continue;
        img_type.reset(load_global(names.ImgType, f.cache));
        if (!img_type) return nullptr;
        Ref member(member_of(img_type.get(), read<int>(self, f.offset + i * sizeof(int))));
        if (!member || PyList_Append(list.get(), member.get()) < 0) return nullptr;
    }
    return list.release();
}

// Entries that differ from CameraMode.QEL_MODE_END.value, as plain ints.
PyObject *mode_list(PyObject *self, FieldDef &f) {
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (int i = 0; i < entries(f); ++i) {
        Ref entry(PyLong_FromLong(read<int>(self, f.offset + i * sizeof(int))));
        if (!entry) return nullptr;
        Ref camera_mode(load_global(names.CameraMode, f.cache));
        if (!camera_mode) return nullptr;
        Ref end(PyObject_GetAttr(camera_mode.get(), names.QEL_MODE_END));
        if (!end) return nullptr;
        Ref end_value(member_value(end.get()));
        if (!end_value) return nullptr;
        const int differs = PyObject_RichCompareBool(entry.get(), end_value.get(), Py_NE);
        if (differs < 0) return nullptr;
        if (differs && PyList_Append(list.get(), entry.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject *get_field(PyObject *self, void *closure) {
    FieldDef &f = *static_cast<FieldDef *>(closure);
    switch (f.kind) {
    case Field::Text:
    case Field::Chars:
    case Field::Bytes:
        return decode_text(record_bytes(self) + f.offset, f.size);
    case Field::Int:
        return PyLong_FromLong(read<int>(self, f.offset));
    case Field::Bool:
        return PyBool_FromLong(read<int>(self, f.offset) != 0);
    case Field::Double:
        return PyFloat_FromDouble(read<double>(self, f.offset));
    case Field::Float:
        return PyFloat_FromDouble(static_cast<double>(read<float>(self, f.offset)));
    case Field::Enum: {
        Ref cls(load_global(*f.enumeration, f.cache));
        return cls ? member_of(cls.get(), read<int>(self, f.offset)) : nullptr;
    }
    case Field::Bins:
        return bin_list(self, f);
    case Field::Formats:
        return format_list(self, f);
    case Field::Modes:
        return mode_list(self, f);
    }
    return nullptr;
}

// ---- the fixed-size array assignment of the name and id setters

struct ElementRange {
    int min;
    int max;
    const char *too_low;
    const char *too_high;
};

constexpr ElementRange kChar = {-128, 127, "value too large to convert to char", "value too large to convert to char"};
constexpr ElementRange kUnsignedChar = {0, 255, "can't convert negative value to unsigned char",
                                        "value too large to convert to unsigned char"};

bool to_element(PyObject *item, const ElementRange &range, unsigned char &out) {
    Ref number;
    if (!PyLong_Check(item)) {
        number.reset(int_from_dunder_int(item));
        if (!number) return false;
        item = number.get();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (!overflow && v < range.min)) {
        PyErr_SetString(PyExc_OverflowError, range.too_low);
        return false;
    }
    if (overflow > 0 || v > range.max) {
        PyErr_SetString(PyExc_OverflowError, range.too_high);
        return false;
    }
    out = static_cast<unsigned char>(static_cast<signed char>(v));
    return true;
}

bool not_enough(Py_ssize_t n, Py_ssize_t got) {
    PyErr_Format(PyExc_IndexError, "not enough values found during array assignment, expected %zd, got %zd", n, got);
    return false;
}

bool too_many(Py_ssize_t n) {
    PyErr_Format(PyExc_IndexError, "too many values found during array assignment, expected %zd", n);
    return false;
}

// The longest settable array (CameraInfo.name).
constexpr size_t kMaxArray = 64;

// Stores the n items of `value` into `dest`; on any failure `dest` is left as it was.
bool assign_array(unsigned char *dest, Py_ssize_t n, const ElementRange &range, PyObject *value) {
    const Py_ssize_t length = PyObject_Length(value);
    if (length < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    } else if (length < n) {
        return not_enough(n, length);
    } else if (length > n) {
        return too_many(n);
    }
    unsigned char buffer[kMaxArray];
    if (PyList_Check(value) || PyTuple_Check(value)) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            // An item's conversion may shrink a list under us: check the size at every step.
            if (i >= PySequence_Fast_GET_SIZE(value)) return not_enough(n, i);
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(value, i));
            if (!to_element(item.get(), range, buffer[i])) return false;
        }
    } else {
        Ref iterator(PyObject_GetIter(value));
        if (!iterator) return false;
        for (Py_ssize_t i = 0;; ++i) {
            Ref item(PyIter_Next(iterator.get()));
            if (!item) {
                if (PyErr_Occurred()) return false;
                if (i < n) return not_enough(n, i);
                break;
            }
            if (i == n) return too_many(n);
            if (!to_element(item.get(), range, buffer[i])) return false;
        }
    }
    std::memcpy(dest, buffer, static_cast<size_t>(n));
    return true;
}

// name = V, id = V: the UTF-8 bytes of V, exactly as many as the field holds.
int set_array(PyObject *self, PyObject *value, void *closure) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    const FieldDef &f = *static_cast<const FieldDef *>(closure);
    Ref encoded(PyObject_CallMethodOneArg(value, names.encode, names.utf_8));
    if (!encoded) return -1;
    unsigned char *dest = reinterpret_cast<unsigned char *>(record_bytes(self) + f.offset);
    const ElementRange &range = f.kind == Field::Chars ? kChar : kUnsignedChar;
    return assign_array(dest, static_cast<Py_ssize_t>(f.size), range, encoded.get()) ? 0 : -1;
}

// ---- construction

// The size of the record an object holds: its own record class's, not that of a Python subclass,
// whose instances carry more (the weak reference list) behind the record.
size_t record_size(PyObject *self);

int record_init(PyObject *self, PyObject *args, PyObject *kwds) {
    if (PyTuple_GET_SIZE(args) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", "__init__",
                     "exactly", static_cast<Py_ssize_t>(0), "s", PyTuple_GET_SIZE(args));
        return -1;
    }
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *unused;
        PyDict_Next(kwds, &pos, &key, &unused);
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "__init__", key);
        return -1;
    }
    std::memset(record_bytes(self), 0, record_size(self));
    return 0;
}

void record_dealloc(PyObject *self) { Py_TYPE(self)->tp_free(self); }

// ---- pickling refused


PyObject *refuse_pickling(PyObject *self);

PyObject *record_reduce(PyObject *self, PyObject *) { return refuse_pickling(self); }
PyObject *record_setstate(PyObject *self, PyObject *) { return refuse_pickling(self); }

PyMethodDef record_methods[] = {
    {"__reduce__", record_reduce, METH_NOARGS, nullptr},
    {"__setstate__", record_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- CameraInfo repr

// Formats as an f-string replacement field does.
PyObject *format_field(PyObject *value) {
    if (PyUnicode_CheckExact(value)) return Py_NewRef(value);
    if (PyLong_CheckExact(value)) return PyLong_Type.tp_repr(value);
    if (PyFloat_CheckExact(value)) return PyFloat_Type.tp_repr(value);
    return PyObject_Format(value, names.empty);
}

PyObject *camera_info_repr(PyObject *self) {
    static const char *const labels[] = {"CameraInfo(Name=", ", CameraID=", ", MaxHeight=", ", MaxWidth="};
    PyObject *const attributes[] = {names.name, names.camera_id, names.max_height, names.max_width};
    Ref pieces(PyTuple_New(9));
    if (!pieces) return nullptr;
    for (int i = 0; i < 4; ++i) {
        Ref value(PyObject_GetAttr(self, attributes[i]));
        if (!value) return nullptr;
        PyObject *text = format_field(value.get());
        if (!text) return nullptr;
        PyObject *label = PyUnicode_FromString(labels[i]);
        if (!label) {
            Py_DECREF(text);
            return nullptr;
        }
        PyTuple_SET_ITEM(pieces.get(), 2 * i, label);
        PyTuple_SET_ITEM(pieces.get(), 2 * i + 1, text);
    }
    PyObject *close = PyUnicode_FromString(")");
    if (!close) return nullptr;
    PyTuple_SET_ITEM(pieces.get(), 8, close);
    return PyUnicode_Join(names.empty, pieces.get());
}

// ---- the five classes, one row per property, in the order of their descriptors

FieldDef camera_info_fields[] = {
    {"name", Field::Chars, QEL_MEMBER(QEL_CAMERA_INFO, name)},
    {"camera_id", Field::Int, QEL_MEMBER(QEL_CAMERA_INFO, camera_id)},
    {"max_height", Field::Int, QEL_MEMBER(QEL_CAMERA_INFO, max_height)},
    {"max_width", Field::Int, QEL_MEMBER(QEL_CAMERA_INFO, max_width)},
    {"is_color_camera", Field::Bool, QEL_MEMBER(QEL_CAMERA_INFO, is_color_camera)},
    {"bayer_pattern", Field::Enum, QEL_MEMBER(QEL_CAMERA_INFO, bayer_pattern), &names.BayerPattern},
    {"supported_bins", Field::Bins, QEL_MEMBER(QEL_CAMERA_INFO, supported_bins)},
    {"supported_video_formats", Field::Formats, QEL_MEMBER(QEL_CAMERA_INFO, supported_video_formats)},
    {"pixel_size", Field::Double, QEL_MEMBER(QEL_CAMERA_INFO, pixel_size)},
    {"mechanical_shutter", Field::Bool, QEL_MEMBER(QEL_CAMERA_INFO, mechanical_shutter)},
    {"st_4_port", Field::Bool, QEL_MEMBER(QEL_CAMERA_INFO, st_4_port)},
    {"is_cooler_cam", Field::Bool, QEL_MEMBER(QEL_CAMERA_INFO, is_cooler_cam)},
    {"is_usb3_host", Field::Bool, QEL_MEMBER(QEL_CAMERA_INFO, is_usb3_host)},
    {"is_usb3_camera", Field::Bool, QEL_MEMBER(QEL_CAMERA_INFO, is_usb3_camera)},
    {"elec_per_adu", Field::Float, QEL_MEMBER(QEL_CAMERA_INFO, elec_per_adu)},
    {"bit_depth", Field::Int, QEL_MEMBER(QEL_CAMERA_INFO, bit_depth)},
    {"is_trigger_cam", Field::Bool, QEL_MEMBER(QEL_CAMERA_INFO, is_trigger_cam)},
};

FieldDef control_caps_fields[] = {
    {"name", Field::Text, QEL_MEMBER(QEL_CONTROL_CAPS, name)},
    {"description", Field::Text, QEL_MEMBER(QEL_CONTROL_CAPS, description)},
    {"max_value", Field::Int, QEL_MEMBER(QEL_CONTROL_CAPS, max_value)},
    {"min_value", Field::Int, QEL_MEMBER(QEL_CONTROL_CAPS, min_value)},
    {"default_value", Field::Int, QEL_MEMBER(QEL_CONTROL_CAPS, default_value)},
    {"is_auto_supported", Field::Bool, QEL_MEMBER(QEL_CONTROL_CAPS, is_auto_supported)},
    {"is_writable", Field::Bool, QEL_MEMBER(QEL_CONTROL_CAPS, is_writable)},
    {"control_type", Field::Enum, QEL_MEMBER(QEL_CONTROL_CAPS, control_type), &names.ControlType},
};

FieldDef id_fields[] = {
    {"id", Field::Bytes, QEL_MEMBER(QEL_ID, id)},
};

FieldDef supported_mode_fields[] = {
    {"supported_camera_mode", Field::Modes, QEL_MEMBER(QEL_SUPPORTED_MODE, SupportedCameraMode)},
};

FieldDef gps_data_fields[] = {
    {"latitude", Field::Double, QEL_MEMBER(QEL_GPS_DATA, latitude)},
    {"longitude", Field::Double, QEL_MEMBER(QEL_GPS_DATA, longitude)},
    {"altitude", Field::Int, QEL_MEMBER(QEL_GPS_DATA, altitude)},
    {"satellite_num", Field::Int, QEL_MEMBER(QEL_GPS_DATA, satellite_num)},
    {"year", Field::Int, QEL_MEMBER(QEL_GPS_DATA, year)},
    {"month", Field::Int, QEL_MEMBER(QEL_GPS_DATA, month)},
    {"day", Field::Int, QEL_MEMBER(QEL_GPS_DATA, day)},
    {"hour", Field::Int, QEL_MEMBER(QEL_GPS_DATA, hour)},
    {"minute", Field::Int, QEL_MEMBER(QEL_GPS_DATA, minute)},
    {"second", Field::Int, QEL_MEMBER(QEL_GPS_DATA, second)},
    {"m_second", Field::Int, QEL_MEMBER(QEL_GPS_DATA, m_second)},
    {"u_second", Field::Int, QEL_MEMBER(QEL_GPS_DATA, u_second)},
};

// The property descriptors of each class, made from its rows when the class is readied.
PyGetSetDef camera_info_getset[std::size(camera_info_fields) + 1];
PyGetSetDef control_caps_getset[std::size(control_caps_fields) + 1];
PyGetSetDef id_getset[std::size(id_fields) + 1];
PyGetSetDef supported_mode_getset[std::size(supported_mode_fields) + 1];
PyGetSetDef gps_data_getset[std::size(gps_data_fields) + 1];

struct RecordClass {
    template <size_t N>
    constexpr RecordClass(PyTypeObject *type_, const char *name_, const char *member_, FieldDef (&fields_)[N],
                PyGetSetDef (&getset_)[N + 1], reprfunc repr_ = nullptr)
        : type(type_), name(name_), member(member_), fields(fields_), nfields(N), getset(getset_), repr(repr_) {}

    PyTypeObject *type;
    const char *name;
    const char *member;  // what the pickling message calls the record
    FieldDef *fields;
    size_t nfields;
    PyGetSetDef *getset;  // nfields descriptors and the terminating row
    reprfunc repr;
};

// In the order they are readied and bound.
const RecordClass kRecordClasses[] = {
    {&ControlCapsType, "ControlCaps", "control_caps", control_caps_fields, control_caps_getset},
    {&IdType, "Id", "c_id", id_fields, id_getset},
    {&SupportedModeType, "SupportedMode", "c_supported_mode", supported_mode_fields, supported_mode_getset},
    {&GpsDataType, "GpsData", "c_gps_data", gps_data_fields, gps_data_getset},
    {&CameraInfoType, "CameraInfo", "c_info", camera_info_fields, camera_info_getset, camera_info_repr},
};

size_t record_size(PyObject *self) {
    for (const RecordClass &c : kRecordClasses)
        if (PyObject_TypeCheck(self, c.type)) return static_cast<size_t>(c.type->tp_basicsize) - kRecordOffset;
    return 0;
}

PyObject *refuse_pickling(PyObject *self) {
    const char *member = "";
    for (const RecordClass &c : kRecordClasses)
        if (PyObject_TypeCheck(self, c.type)) member = c.member;
    PyErr_Format(PyExc_TypeError,
                 "Pickling of struct members such as self.%s must be explicitly requested with @auto_pickle(True)",
                 member);
    return nullptr;
}

// The pickling hooks must be the class's own: an inherited __reduce__ would pickle the record.
bool check_pickling_hooks(PyTypeObject *type) {
    PyObject *reduce = PyDict_GetItemWithError(type->tp_dict, names.__reduce__);
    PyObject *setstate = reduce ? PyDict_GetItemWithError(type->tp_dict, names.__setstate__) : nullptr;
    if (setstate && PyObject_TypeCheck(reduce, &PyMethodDescr_Type) &&
        PyObject_TypeCheck(setstate, &PyMethodDescr_Type))
        return true;
    PyErr_Clear();
    PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
    return false;
}

}  // namespace

QEL_STATIC_TYPE(CameraInfoType, "brevalo.vra_qel_python_bindings.qel.CameraInfo", sizeof(RecordObject<QEL_CAMERA_INFO>))
QEL_STATIC_TYPE(ControlCapsType, "brevalo.vra_qel_python_bindings.qel.ControlCaps",
                sizeof(RecordObject<QEL_CONTROL_CAPS>))
QEL_STATIC_TYPE(IdType, "brevalo.vra_qel_python_bindings.qel.Id", sizeof(RecordObject<QEL_ID>))
QEL_STATIC_TYPE(SupportedModeType, "brevalo.vra_qel_python_bindings.qel.SupportedMode",
                sizeof(RecordObject<QEL_SUPPORTED_MODE>))
QEL_STATIC_TYPE(GpsDataType, "brevalo.vra_qel_python_bindings.qel.GpsData", sizeof(RecordObject<QEL_GPS_DATA>))

bool add_record_classes(PyObject *dict) {
    for (const RecordClass &c : kRecordClasses) {
        PyTypeObject *type = c.type;
        if (!(type->tp_flags & Py_TPFLAGS_READY)) {
            for (size_t i = 0; i < c.nfields; ++i) {
                FieldDef &f = c.fields[i];
                const bool settable = f.kind == Field::Chars || f.kind == Field::Bytes;
                if (settable && f.size > kMaxArray) {
                    PyErr_Format(PyExc_SystemError, "%s.%s is longer than a settable array may be", c.name, f.name);
                    return false;
                }
                c.getset[i] = {f.name, get_field, settable ? set_array : nullptr, nullptr, &f};
            }
            type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
            type->tp_dealloc = record_dealloc;
            type->tp_repr = c.repr;
            type->tp_getset = c.getset;
            type->tp_methods = record_methods;
            type->tp_init = record_init;
            type->tp_new = PyType_GenericNew;
            if (PyType_Ready(type) < 0) return false;
        }
        if (PyDict_SetItemString(dict, c.name, reinterpret_cast<PyObject *>(type)) < 0) return false;
        if (!check_pickling_hooks(type)) return false;
    }
    return true;
}

}  // namespace qel
