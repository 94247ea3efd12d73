// Single-frame exposures and reading their image.
#include "errors.h"
#include "image.h"
#include "records.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/exposure.cpp";

PyObject *start_exposure(Call &call) { return call_with_flag(call, QELStartExposure); }
PyObject *stop_exposure(Call &call) { return call_with_id(call, QELStopExposure); }

// An ExposureStatus member, which the 'int' return annotation turns into a plain int.
PyObject *get_exp_status(Call &call) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.c_int(0, id)) return nullptr;
    int exp_status = 0;
    if (!handler.check(QELGetExpStatus(id, &exp_status))) return nullptr;
    return call.result_member(names.ExposureStatus, exp_status);
}

PyObject *get_data_after_exp(Call &call) {
    ImageBuffer buffer;
    if (!buffer.make(call.arg(1))) return nullptr;
    Handler handler;
    int id, size;
    if (!handler.find(call) || !call.c_int(0, id) || !call.c_int(1, size)) return nullptr;
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
    if (!handler.find(call) || !call.c_int(0, id) || !call.c_int(1, size)) return nullptr;
    if (!handler.check(QELGetDataAfterExpGPS(id, buffer.data(), size, record_of<QEL_GPS_DATA>(gps_data.get()))))
        return nullptr;
    Ref image(buffer.to_bytes());
    return image ? PyTuple_Pack(2, image.get(), gps_data.get()) : nullptr;
}

const Param camera_id_params[] = {{"camera_id", Kind::Int, "int"}};
const Param start_params[] = {{"camera_id", Kind::Int, "int"}, {"is_dark", Kind::Bool, "bool"}};
const Param read_params[] = {{"camera_id", Kind::Int, "int"}, {"buffer_size", Kind::Int, "int"}};
const char *const status_locals[] = {"exp_status"};
const char *const read_locals[] = {"buffer"};
const char *const read_gps_locals[] = {"gps_data", "buffer"};

}  // namespace

const FunctionSpec start_exposure_spec = {
    "start_exposure",
    "Start a camera exposure.\n\n    Args:\n        camera_id (int): The camera ID.\n        is_dark (bool): True for "
    "a dark frame exposure, False otherwise.\n\n    Raises:\n        QelException: Raised if the operation is "
    "unsuccessful.\n    ",
    start_params, count_of(start_params), nullptr, 0, "None", start_exposure, kFile, __LINE__,
};

const FunctionSpec stop_exposure_spec = {
    "stop_exposure",
    "Stop the ongoing camera exposure.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Raises:\n"
    "        QelException: Raised if the operation is unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "None", stop_exposure, kFile, __LINE__,
};

const FunctionSpec get_exp_status_spec = {
    "get_exp_status",
    "Get the status of the camera exposure.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Returns:\n"
    "        ExposureStatus: The exposure status.\n\n    Raises:\n        QelException: Raised if the operation is "
    "unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), status_locals, count_of(status_locals), "int", get_exp_status,
    kFile, __LINE__,
};

const FunctionSpec get_data_after_exp_spec = {
    "get_data_after_exp",
    "Get the image data after an exposure has completed.\n\n    Args:\n        camera_id (int): The camera ID.\n"
    "        buffer_size (int): The size of the buffer to store the image data.\n\n    Returns:\n        bytes: The "
    "captured image data.\n\n    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ",
    read_params, count_of(read_params), read_locals, count_of(read_locals), "bytes", get_data_after_exp, kFile,
    __LINE__,
};

const FunctionSpec get_data_after_exp_gps_spec = {
    "get_data_after_exp_gps",
    "Get the image data after an exposure has completed.\n\n    Args:\n        camera_id (int): The camera ID.\n"
    "        buffer_size (int): The size of the buffer to store the image data.\n\n    Returns:\n"
    "        tuple(bytes, GpsData): The captured image data and the gps data.\n\n    Raises:\n        QelException: "
    "Raised if the operation is unsuccessful.\n    ",
    read_params, count_of(read_params), read_gps_locals, count_of(read_gps_locals), "tuple[bytes, GpsData]",
    get_data_after_exp_gps, kFile, __LINE__,
};

}  // namespace qel
