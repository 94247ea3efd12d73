// Camera discovery and the SDK version.
#include <cstring>

#include "errors.h"
#include "records.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/discovery.cpp";

PyObject *get_number_of_connected_cameras(Call &) { return PyLong_FromLong(QELGetNumOfConnectedCameras()); }

PyObject *camera_check(Call &call) {
    int vendor_id, product_id;
    if (!call.c_int(0, vendor_id) || !call.c_int(1, product_id)) return nullptr;
    return PyBool_FromLong(QELCameraCheck(vendor_id, product_id) != 0);  // returned as an int
}

// A new CameraInfo that the SDK fills in place; parameter 0 is the index or identifier.
template <typename SdkCall>
PyObject *camera_property(Call &call, SdkCall sdk_call) {
    Ref info(make_record(&CameraInfoType));
    if (!info) return nullptr;
    Handler handler;
    int which;
    if (!handler.find(call) || !call.c_int(0, which)) return nullptr;
    if (!handler.check(sdk_call(which, record_of<QEL_CAMERA_INFO>(info.get())))) return nullptr;
    return info.release();
}

PyObject *get_camera_property(Call &call) {
    return camera_property(call, [](int index, QEL_CAMERA_INFO *info) { return QELGetCameraProperty(info, index); });
}

PyObject *get_camera_property_by_id(Call &call) { return camera_property(call, QELGetCameraPropertyByID); }

PyObject *get_sdk_version(Call &) {
    const char *version = QELGetSDKVersion();
    if (!version) {
        PyErr_SetString(PyExc_RuntimeError, "the Camera SDK returned no version text");
        return nullptr;
    }
    return PyUnicode_DecodeUTF8(version, static_cast<Py_ssize_t>(std::strlen(version)), nullptr);
}

const Param camera_check_params[] = {{"i_vid", Kind::Int, "int"}, {"i_pid", Kind::Int, "int"}};
const Param camera_index_params[] = {{"camera_index", Kind::Int, "int"}};
const Param camera_id_params[] = {{"camera_id", Kind::Int, "int"}};

}  // namespace

const FunctionSpec get_number_of_connected_cameras_spec = {
    "get_number_of_connected_cameras",
    "Get the count of connected QEL cameras.\n\n    Returns:\n        int: Count of connected cameras.\n    ",
    nullptr, 0, nullptr, 0, "int", get_number_of_connected_cameras, kFile, __LINE__,
};

const FunctionSpec camera_check_spec = {
    "camera_check",
    "Usage: Check if the device is QEL Camera\n\n    Args:\n"
    "        i_vid (int): VID (vendor id) of the device, the unique identifier that USB assigns to the camera "
    "maker.\n"
    "        i_pid (int): PID (product id) of the device, different for each camera model.\n\n"
    "    Return:\n        Whether the device is an QEL Camera.\n    ",
    camera_check_params, count_of(camera_check_params), nullptr, 0, "int", camera_check, kFile, __LINE__,
};

const FunctionSpec get_camera_property_spec = {
    "get_camera_property",
    "\n    Get camera properties by camera index.\n\n    Args:\n        camera_index (int): Index of the camera.\n\n"
    "    Raises:\n        QelException\n\n    Returns CameraInfo: the camera info.\n\n    ",
    camera_index_params, count_of(camera_index_params), nullptr, 0, "CameraInfo", get_camera_property, kFile,
    __LINE__,
};

const FunctionSpec get_sdk_version_spec = {
    "get_sdk_version",
    "Get the SDK version of the VRA QEL camera.\n\n    Returns:\n        str: The SDK version string.\n\n"
    "    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ",
    nullptr, 0, nullptr, 0, "str", get_sdk_version, kFile, __LINE__,
};

const FunctionSpec get_camera_property_by_id_spec = {
    "get_camera_property_by_id",
    "\n    Get camera properties by camera ID.\n\n    Args:\n        camera_id (int): The camera ID from the CameraInfo "
    "object.\n\n    Raises:\n        QelException\n\n\n    Returns CameraInfo: the camera info.\n\n    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "CameraInfo", get_camera_property_by_id, kFile,
    __LINE__,
};

}  // namespace qel
