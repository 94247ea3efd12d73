#include "records.h"

#include <climits>
#include <cstring>

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
    Int,      // signed 32-bit
    Bool,     // 32-bit, nonzero is true
    Double,   // double
    Float,    // float, widened to double
    Enum,     // signed 32-bit, as a member of the enumeration named `enumeration`
    Bins,     // 16 signed 32-bit entries; those above 0
    Formats,  // 8 signed 32-bit entries; ImgType members of those that are not IMG_END
    Modes,    // 16 signed 32-bit entries; those that are not CameraMode.QEL_MODE_END
};

struct FieldDef {
    Field kind;
    size_t offset;
    size_t size;                  // Text: the field's size
    PyObject *const *enumeration; // Enum: the name of the enumeration, among the interned names
    GlobalCache cache;            // late-bound enumeration lookups of this getter
};

PyObject *decode_text(const char *start, size_t size) {
    const void *nul = std::memchr(start, '\0', size);
    const size_t length = nul ? static_cast<size_t>(static_cast<const char *>(nul) - start) : size;
    return PyUnicode_DecodeUTF8(start, static_cast<Py_ssize_t>(length), nullptr);
}

PyObject *int_list(PyObject *self, const FieldDef &f, int count) {
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (int i = 0; i < count; ++i) {
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
    for (int i = 0; i < 8; ++i) {
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
    for (int i = 0; i < 16; ++i) {
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
        return int_list(self, f, 16);
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
    unsigned char buffer[64];
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

struct ArrayDef {
    size_t offset;
    Py_ssize_t size;
    const ElementRange *range;
};

// name = V, id = V: the UTF-8 bytes of V, exactly as many as the field holds.
int set_array(PyObject *self, PyObject *value, void *closure) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    const ArrayDef &a = *static_cast<const ArrayDef *>(closure);
    Ref encoded(PyObject_CallMethodOneArg(value, names.encode, names.utf_8));
    if (!encoded) return -1;
    unsigned char *dest = reinterpret_cast<unsigned char *>(record_bytes(self) + a.offset);
    return assign_array(dest, a.size, *a.range, encoded.get()) ? 0 : -1;
}

PyObject *get_array_text(PyObject *self, void *closure) {
    const ArrayDef &a = *static_cast<const ArrayDef *>(closure);
    return decode_text(record_bytes(self) + a.offset, static_cast<size_t>(a.size));
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

// ---- the five classes

FieldDef camera_info_fields[] = {
    {Field::Int, offsetof(QEL_CAMERA_INFO, camera_id), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_CAMERA_INFO, max_height), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_CAMERA_INFO, max_width), 0, nullptr, {}},
    {Field::Bool, offsetof(QEL_CAMERA_INFO, is_color_camera), 0, nullptr, {}},
    {Field::Enum, offsetof(QEL_CAMERA_INFO, bayer_pattern), 0, &names.BayerPattern, {}},
    {Field::Bins, offsetof(QEL_CAMERA_INFO, supported_bins), 0, nullptr, {}},
    {Field::Formats, offsetof(QEL_CAMERA_INFO, supported_video_formats), 0, nullptr, {}},
    {Field::Double, offsetof(QEL_CAMERA_INFO, pixel_size), 0, nullptr, {}},
    {Field::Bool, offsetof(QEL_CAMERA_INFO, mechanical_shutter), 0, nullptr, {}},
    {Field::Bool, offsetof(QEL_CAMERA_INFO, st_4_port), 0, nullptr, {}},
    {Field::Bool, offsetof(QEL_CAMERA_INFO, is_cooler_cam), 0, nullptr, {}},
    {Field::Bool, offsetof(QEL_CAMERA_INFO, is_usb3_host), 0, nullptr, {}},
    {Field::Bool, offsetof(QEL_CAMERA_INFO, is_usb3_camera), 0, nullptr, {}},
    {Field::Float, offsetof(QEL_CAMERA_INFO, elec_per_adu), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_CAMERA_INFO, bit_depth), 0, nullptr, {}},
    {Field::Bool, offsetof(QEL_CAMERA_INFO, is_trigger_cam), 0, nullptr, {}},
};

const ArrayDef camera_name = {offsetof(QEL_CAMERA_INFO, name), 64, &kChar};

PyGetSetDef camera_info_getset[] = {
    {"name", get_array_text, set_array, nullptr, const_cast<ArrayDef *>(&camera_name)},
    {"camera_id", get_field, nullptr, nullptr, &camera_info_fields[0]},
    {"max_height", get_field, nullptr, nullptr, &camera_info_fields[1]},
    {"max_width", get_field, nullptr, nullptr, &camera_info_fields[2]},
    {"is_color_camera", get_field, nullptr, nullptr, &camera_info_fields[3]},
    {"bayer_pattern", get_field, nullptr, nullptr, &camera_info_fields[4]},
    {"supported_bins", get_field, nullptr, nullptr, &camera_info_fields[5]},
    {"supported_video_formats", get_field, nullptr, nullptr, &camera_info_fields[6]},
    {"pixel_size", get_field, nullptr, nullptr, &camera_info_fields[7]},
    {"mechanical_shutter", get_field, nullptr, nullptr, &camera_info_fields[8]},
    {"st_4_port", get_field, nullptr, nullptr, &camera_info_fields[9]},
    {"is_cooler_cam", get_field, nullptr, nullptr, &camera_info_fields[10]},
    {"is_usb3_host", get_field, nullptr, nullptr, &camera_info_fields[11]},
    {"is_usb3_camera", get_field, nullptr, nullptr, &camera_info_fields[12]},
    {"elec_per_adu", get_field, nullptr, nullptr, &camera_info_fields[13]},
    {"bit_depth", get_field, nullptr, nullptr, &camera_info_fields[14]},
    {"is_trigger_cam", get_field, nullptr, nullptr, &camera_info_fields[15]},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

FieldDef control_caps_fields[] = {
    {Field::Text, offsetof(QEL_CONTROL_CAPS, name), 64, nullptr, {}},
    {Field::Text, offsetof(QEL_CONTROL_CAPS, description), 128, nullptr, {}},
    {Field::Int, offsetof(QEL_CONTROL_CAPS, max_value), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_CONTROL_CAPS, min_value), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_CONTROL_CAPS, default_value), 0, nullptr, {}},
    {Field::Bool, offsetof(QEL_CONTROL_CAPS, is_auto_supported), 0, nullptr, {}},
    {Field::Bool, offsetof(QEL_CONTROL_CAPS, is_writable), 0, nullptr, {}},
    {Field::Enum, offsetof(QEL_CONTROL_CAPS, control_type), 0, &names.ControlType, {}},
};

PyGetSetDef control_caps_getset[] = {
    {"name", get_field, nullptr, nullptr, &control_caps_fields[0]},
    {"description", get_field, nullptr, nullptr, &control_caps_fields[1]},
    {"max_value", get_field, nullptr, nullptr, &control_caps_fields[2]},
    {"min_value", get_field, nullptr, nullptr, &control_caps_fields[3]},
    {"default_value", get_field, nullptr, nullptr, &control_caps_fields[4]},
    {"is_auto_supported", get_field, nullptr, nullptr, &control_caps_fields[5]},
    {"is_writable", get_field, nullptr, nullptr, &control_caps_fields[6]},
    {"control_type", get_field, nullptr, nullptr, &control_caps_fields[7]},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ArrayDef id_bytes = {offsetof(QEL_ID, id), 8, &kUnsignedChar};

PyGetSetDef id_getset[] = {
    {"id", get_array_text, set_array, nullptr, const_cast<ArrayDef *>(&id_bytes)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

FieldDef supported_mode_fields[] = {
    {Field::Modes, offsetof(QEL_SUPPORTED_MODE, SupportedCameraMode), 0, nullptr, {}},
};

PyGetSetDef supported_mode_getset[] = {
    {"supported_camera_mode", get_field, nullptr, nullptr, &supported_mode_fields[0]},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

FieldDef gps_data_fields[] = {
    {Field::Double, offsetof(QEL_GPS_DATA, latitude), 0, nullptr, {}},
    {Field::Double, offsetof(QEL_GPS_DATA, longitude), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_GPS_DATA, altitude), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_GPS_DATA, satellite_num), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_GPS_DATA, year), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_GPS_DATA, month), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_GPS_DATA, day), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_GPS_DATA, hour), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_GPS_DATA, minute), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_GPS_DATA, second), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_GPS_DATA, m_second), 0, nullptr, {}},
    {Field::Int, offsetof(QEL_GPS_DATA, u_second), 0, nullptr, {}},
};

PyGetSetDef gps_data_getset[] = {
    {"latitude", get_field, nullptr, nullptr, &gps_data_fields[0]},
    {"longitude", get_field, nullptr, nullptr, &gps_data_fields[1]},
    {"altitude", get_field, nullptr, nullptr, &gps_data_fields[2]},
    {"satellite_num", get_field, nullptr, nullptr, &gps_data_fields[3]},
    {"year", get_field, nullptr, nullptr, &gps_data_fields[4]},
    {"month", get_field, nullptr, nullptr, &gps_data_fields[5]},
    {"day", get_field, nullptr, nullptr, &gps_data_fields[6]},
    {"hour", get_field, nullptr, nullptr, &gps_data_fields[7]},
    {"minute", get_field, nullptr, nullptr, &gps_data_fields[8]},
    {"second", get_field, nullptr, nullptr, &gps_data_fields[9]},
    {"m_second", get_field, nullptr, nullptr, &gps_data_fields[10]},
    {"u_second", get_field, nullptr, nullptr, &gps_data_fields[11]},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

struct RecordClass {
    PyTypeObject *type;
    const char *name;
    const char *member;  // what the pickling message calls the record
    PyGetSetDef *getset;
    reprfunc repr;
};

// In the order they are readied and bound.
const RecordClass kRecordClasses[] = {
    {&ControlCapsType, "ControlCaps", "control_caps", control_caps_getset, nullptr},
    {&IdType, "Id", "c_id", id_getset, nullptr},
    {&SupportedModeType, "SupportedMode", "c_supported_mode", supported_mode_getset, nullptr},
    {&GpsDataType, "GpsData", "c_gps_data", gps_data_getset, nullptr},
    {&CameraInfoType, "CameraInfo", "c_info", camera_info_getset, camera_info_repr},
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

PyTypeObject *record_type_named(const char *name) {
    for (const RecordClass &c : kRecordClasses)
        if (std::strcmp(c.name, name) == 0) return c.type;
    return nullptr;
}

}  // namespace qel
