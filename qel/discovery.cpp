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
    if (!call.convert(vendor_id, product_id)) return nullptr;
    return PyBool_FromLong(QELCameraCheck(vendor_id, product_id) != 0);  // returned as an int
}

// A new CameraInfo that the SDK fills in place; the parameter is the index or identifier.
template <typename SdkCall>
PyObject *camera_property(Call &call, SdkCall sdk_call) {
    Ref info(make_record(&CameraInfoType));
    if (!info) return nullptr;
    Handler handler;
    int which;
    if (!handler.find(call) || !call.convert(which)) return nullptr;
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

}  // namespace

QEL_FUNCTION(get_number_of_connected_cameras)
    .returns("int", ReturnCheck::Int)
    .doc("Get the count of connected QEL cameras.\n\n    Returns:\n        int: Count of connected cameras.\n    ");

QEL_FUNCTION(camera_check)
    .params({Int("i_vid"), Int("i_pid")})
    .returns("int", ReturnCheck::Int)
    .doc("Usage: Check if the device is QEL Camera\n\n    Args:\n        i_vid (int): VID (vendor id) of the device, "
         "the unique identifier that USB assigns to the camera maker.\n        i_pid (int): PID (product id) of the "
         "device, different for each camera model.\n\n    Return:\n        Whether the device is an QEL Camera.\n    ");

QEL_FUNCTION(get_camera_property)
    .params({Int("camera_index")})
    .returns("CameraInfo")
    .doc("\n    Get camera properties by camera index.\n\n    Args:\n        camera_index (int): Index of the "
         "camera.\n\n    Raises:\n        QelException\n\n    Returns CameraInfo: the camera info.\n\n    ");

QEL_FUNCTION(get_sdk_version)
    .returns("str")
    .doc("Get the SDK version of the VRA QEL camera.\n\n    Returns:\n        str: The SDK version string.\n\n"
         "    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(get_camera_property_by_id)
    .params({kCameraId})
    .returns("CameraInfo")
    .doc("\n    Get camera properties by camera ID.\n\n    Args:\n        camera_id (int): The camera ID from the "
         "CameraInfo object.\n\n    Raises:\n        QelException\n\n\n    Returns CameraInfo: the camera info.\n\n"
         "    ");

}  // namespace qel
