// Calibration: dark-frame subtraction and the camera's preset gain and offset values.
#include "errors.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/calibration.cpp";

PyObject *enable_dark_subtract(Call &call) {
    Handler handler;
    int id;
    Text path;
    if (!handler.find(call) || !call.convert(id, path)) return nullptr;
    const int code = QELEnableDarkSubtract(id, path.c_str());
    path.clear();
    return handler.check(code) ? none() : nullptr;
}

PyObject *disable_dark_subtract(Call &call) { return call_with_params(call, QELDisableDarkSubtract); }

// The four preset values that `entry_point` reads, in its order.
PyObject *read_presets(Call &call, int (*entry_point)(int, int *, int *, int *, int *)) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.convert(id)) return nullptr;
    int a = 0, b = 0, c = 0, d = 0;
    if (!handler.check(entry_point(id, &a, &b, &c, &d))) return nullptr;
    return tuple_of(PyLong_FromLong(a), PyLong_FromLong(b), PyLong_FromLong(c), PyLong_FromLong(d));
}

PyObject *get_gain_offset(Call &call) { return read_presets(call, QELGetGainOffset); }
PyObject *get_lmh_gain_offset(Call &call) { return read_presets(call, QELGetLMHGainOffset); }

}  // namespace

QEL_FUNCTION(enable_dark_subtract)
    .params({kCameraId, Str("bmp_path")})
    .doc("Enable dark subtract using a dark frame BMP file.\n\n    Args:\n        camera_id (int): The camera ID.\n"
         "        bmp_path (str): Path to the dark frame BMP file.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(disable_dark_subtract)
    .params({kCameraId})
    .doc("Disable the dark subtract feature.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(get_gain_offset)
    .params({kCameraId})
    .locals({"offset_highest_dr", "offset_unity_gain", "gain_lowest_rn", "offset_lowest_rn"})
    .returns("tuple[int, int, int, int]")
    .doc("Get preset gain and offset values for the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
         "    Returns:\n        tuple[int, int, int, int]: Offset at highest dynamic range, offset at unity gain,\n"
         "                                   gain at lowest read noise, and offset at lowest read noise.\n\n"
         "    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(get_lmh_gain_offset)
    .params({kCameraId})
    .locals({"l_gain", "m_gain", "h_gain", "h_offset"})
    .returns("tuple[int, int, int, int]")
    .doc("Get low, medium, and high gain and offset settings for the camera.\n\n    Args:\n"
         "        camera_id (int): The camera ID.\n\n    Returns:\n        tuple[int, int, int, int]: Low gain, "
         "medium gain, high gain, and high offset values.\n\n    Raises:\n        QelException: Raised if the "
         "operation is unsuccessful.\n    ");

}  // namespace qel
