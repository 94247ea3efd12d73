// Single-frame exposures and reading their image.
#include "errors.h"
#include "image.h"
#include "records.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/exposure.cpp";

PyObject *start_exposure(Call &call) { return call_with_params(call, QELStartExposure); }
PyObject *stop_exposure(Call &call) { return call_with_params(call, QELStopExposure); }

// An ExposureStatus member, which the 'int' return annotation turns into a plain int.
PyObject *get_exp_status(Call &call) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.convert(id)) return nullptr;
    int exp_status = 0;
    if (!handler.check(QELGetExpStatus(id, &exp_status))) return nullptr;
    return call.result_member(names.ExposureStatus, exp_status);
}

PyObject *get_data_after_exp(Call &call) {
    ImageBuffer buffer;
    if (!buffer.make(call.arg(1))) return nullptr;
    Handler handler;
    int id, size;
    if (!handler.find(call) || !call.convert(id, size)) return nullptr;
    if (!handler.check(QELGetDataAfterExp(id, buffer.data(), size))) return nullptr;
    return buffer.to_bytes();
}

PyObject *get_data_after_exp_gps(Call &call) {
    Ref gps_data(make_record(&GpsDataType));
    if (!gps_data) return nullptr;
    ImageBuffer buffer;
    if (!buffer.make(call.arg(1))) return nullptr;
    Handler handler;
    int id, size;
    if (!handler.find(call) || !call.convert(id, size)) return nullptr;
    if (!handler.check(QELGetDataAfterExpGPS(id, buffer.data(), size, record_of<QEL_GPS_DATA>(gps_data.get()))))
        return nullptr;
    Ref image(buffer.to_bytes());
    return image ? PyTuple_Pack(2, image.get(), gps_data.get()) : nullptr;
}

}  // namespace

QEL_FUNCTION(start_exposure)
    .params({kCameraId, Bool("is_dark")})
    .doc("Start a camera exposure.\n\n    Args:\n        camera_id (int): The camera ID.\n"
         "        is_dark (bool): True for a dark frame exposure, False otherwise.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(stop_exposure)
    .params({kCameraId})
    .doc("Stop the ongoing camera exposure.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(get_exp_status)
    .params({kCameraId})
    .locals({"exp_status"})
    .returns("int", ReturnCheck::Int)
    .doc("Get the status of the camera exposure.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
         "    Returns:\n        ExposureStatus: The exposure status.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(get_data_after_exp)
    .params({kCameraId, Int("buffer_size")})
    .locals({"buffer"})
    .returns("bytes")
    .doc("Get the image data after an exposure has completed.\n\n    Args:\n        camera_id (int): The camera ID.\n"
         "        buffer_size (int): The size of the buffer to store the image data.\n\n    Returns:\n"
         "        bytes: The captured image data.\n\n    Raises:\n        QelException: Raised if the operation is "
         "unsuccessful.\n    ");

QEL_FUNCTION(get_data_after_exp_gps)
    .params({kCameraId, Int("buffer_size")})
    .locals({"gps_data", "buffer"})
    .returns("tuple[bytes, GpsData]")
    .doc("Get the image data after an exposure has completed.\n\n    Args:\n        camera_id (int): The camera ID.\n"
         "        buffer_size (int): The size of the buffer to store the image data.\n\n    Returns:\n"
         "        tuple(bytes, GpsData): The captured image data and the gps data.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

}  // namespace qel
