// Guiding, dark-frame subtraction, gain and offset presets, and GPS records.
#include <cstring>

#include "errors.h"
#include "records.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/extras.cpp";

PyObject *enable_dark_subtract(Call &call) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.c_int(0, id)) return nullptr;
    Ref path(PyUnicode_AsUTF8String(call.arg(1)));
    if (!path) return nullptr;
    // The SDK reads the path up to its first NUL: a path holding one would name a different file.
    if (std::memchr(PyBytes_AS_STRING(path.get()), '\0', static_cast<size_t>(PyBytes_GET_SIZE(path.get())))) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return nullptr;
    }
    const int code = QELEnableDarkSubtract(id, PyBytes_AS_STRING(path.get()));
    path.reset();
    return handler.check(code) ? none() : nullptr;
}

PyObject *disable_dark_subtract(Call &call) { return call_with_id(call, QELDisableDarkSubtract); }
PyObject *pulse_guide_on(Call &call) { return call_with_enum(call, QELPulseGuideOn); }
PyObject *pulse_guide_off(Call &call) { return call_with_enum(call, QELPulseGuideOff); }

PyObject *four_presets(Call &call, int (*entry_point)(int, int *, int *, int *, int *)) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.c_int(0, id)) return nullptr;
    int a = 0, b = 0, c = 0, d = 0;
    if (!handler.check(entry_point(id, &a, &b, &c, &d))) return nullptr;
    return tuple_of(PyLong_FromLong(a), PyLong_FromLong(b), PyLong_FromLong(c), PyLong_FromLong(d));
}

PyObject *get_gain_offset(Call &call) { return four_presets(call, QELGetGainOffset); }
PyObject *get_lmh_gain_offset(Call &call) { return four_presets(call, QELGetLMHGainOffset); }

PyObject *gps_get_data(Call &call) {
    Ref start_line_gps_data(make_record(&GpsDataType));
    if (!start_line_gps_data) return nullptr;
    Ref end_line_gps_data(make_record(&GpsDataType));
    if (!end_line_gps_data) return nullptr;
    Handler handler;
    int id;
    if (!handler.find(call) || !call.c_int(0, id)) return nullptr;
    if (!handler.check(QELGPSGetData(id, record_of<QEL_GPS_DATA>(start_line_gps_data.get()),
                                     record_of<QEL_GPS_DATA>(end_line_gps_data.get()))))
        return nullptr;
    return PyTuple_Pack(2, start_line_gps_data.get(), end_line_gps_data.get());
}

const Param camera_id_params[] = {{"camera_id", Kind::Int, "int"}};
const Param dark_params[] = {{"camera_id", Kind::Int, "int"}, {"bmp_path", Kind::Str, "str"}};
const Param guide_params[] = {{"camera_id", Kind::Int, "int"}, {"direction", Kind::Enum, "GuideDirection"}};
const char *const gain_offset_locals[] = {"offset_highest_dr", "offset_unity_gain", "gain_lowest_rn",
                                          "offset_lowest_rn"};
const char *const lmh_locals[] = {"l_gain", "m_gain", "h_gain", "h_offset"};
const char *const gps_locals[] = {"start_line_gps_data", "end_line_gps_data"};

}  // namespace

const FunctionSpec enable_dark_subtract_spec = {
    "enable_dark_subtract",
    "Enable dark subtract using a dark frame BMP file.\n\n    Args:\n        camera_id (int): The camera ID.\n"
    "        bmp_path (str): Path to the dark frame BMP file.\n\n    Raises:\n        QelException: Raised if the "
    "operation is unsuccessful.\n    ",
    dark_params, count_of(dark_params), nullptr, 0, "None", enable_dark_subtract, kFile, __LINE__,
};

const FunctionSpec disable_dark_subtract_spec = {
    "disable_dark_subtract",
    "Disable the dark subtract feature.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Raises:\n"
    "        QelException: Raised if the operation is unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "None", disable_dark_subtract, kFile, __LINE__,
};

const FunctionSpec pulse_guide_on_spec = {
    "pulse_guide_on",
    "Activate guiding in the specified direction using the ST4 port.\n\n    Args:\n        camera_id (int): The "
    "camera ID.\n        direction (GuideDirection): The guiding direction (e.g., NORTH, SOUTH, etc.).\n\n"
    "    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ",
    guide_params, count_of(guide_params), nullptr, 0, "None", pulse_guide_on, kFile, __LINE__,
};

const FunctionSpec pulse_guide_off_spec = {
    "pulse_guide_off",
    "Deactivate guiding in the specified direction using the ST4 port.\n\n    Args:\n        camera_id (int): The "
    "camera ID.\n        direction (GuideDirection): The guiding direction (e.g., NORTH, SOUTH, etc.).\n\n"
    "    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ",
    guide_params, count_of(guide_params), nullptr, 0, "None", pulse_guide_off, kFile, __LINE__,
};

const FunctionSpec get_gain_offset_spec = {
    "get_gain_offset",
    "Get preset gain and offset values for the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
    "    Returns:\n        tuple[int, int, int, int]: Offset at highest dynamic range, offset at unity gain,\n"
    "                                   gain at lowest read noise, and offset at lowest read noise.\n\n    Raises:\n"
    "        QelException: Raised if the operation is unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), gain_offset_locals, count_of(gain_offset_locals),
    "tuple[int, int, int, int]", get_gain_offset, kFile, __LINE__,
};

const FunctionSpec get_lmh_gain_offset_spec = {
    "get_lmh_gain_offset",
    "Get low, medium, and high gain and offset settings for the camera.\n\n    Args:\n        camera_id (int): The "
    "camera ID.\n\n    Returns:\n        tuple[int, int, int, int]: Low gain, medium gain, high gain, and high offset "
    "values.\n\n    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), lmh_locals, count_of(lmh_locals), "tuple[int, int, int, int]",
    get_lmh_gain_offset, kFile, __LINE__,
};

const FunctionSpec gps_get_data_spec = {
    "gps_get_data",
    "Get GPS data for the start and end lines.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Returns:\n"
    "        tuple[DateTime, DateTime]: GPS data for the start and end lines.\n\n    Raises:\n        QelException: "
    "Raised if the operation is unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), gps_locals, count_of(gps_locals), "tuple[GpsData, GpsData]",
    gps_get_data, kFile, __LINE__,
};

}  // namespace qel
