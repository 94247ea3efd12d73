// Video capture: starting and stopping it, waiting for frames, counting the dropped ones.
#include "errors.h"
#include "image.h"
#include "records.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/video.cpp";

PyObject *start_video_capture(Call &call) { return call_with_id(call, QELStartVideoCapture); }
PyObject *stop_video_capture(Call &call) { return call_with_id(call, QELStopVideoCapture); }

#if defined(__cpp_exceptions) && !defined(_MSC_VER)
#error "the extension is built with -fno-exceptions: see wait_for_frame"
#endif

// A frame wait can last up to wait_ms, or without end: the interpreter lock is released around the SDK
// call alone so that other threads (another camera's, typically) go on. Everything the SDK touches
// meanwhile, the buffer and the GPS record, belongs to this call alone.
//
// At interpreter exit a daemon thread that comes back here is not given the lock again: the
// interpreter ends it with pthread_exit, which unwinds the whole stack of the thread without the lock.
// Any destructor run by that unwind would touch Python objects without the lock (Ref, ImageBuffer,
// Handler here, Call further up). So this function holds plain values only, and the extension is built
// without exception tables: the unwind passes every frame of ours without running a destructor, and
// what those frames own is left to the ending process.
int wait_for_frame(int id, unsigned char *data, int size, int wait_ms, QEL_GPS_DATA *gps) {
    int code;
    Py_BEGIN_ALLOW_THREADS
    code = gps ? QELGetVideoDataGPS(id, data, size, wait_ms, gps) : QELGetVideoData(id, data, size, wait_ms);
    Py_END_ALLOW_THREADS
    return code;
}

PyObject *read_frame(Call &call, QEL_GPS_DATA *gps) {
    ImageBuffer buffer;
    if (!buffer.make(call.arg(1))) return nullptr;
    Handler handler;
    int id, size, wait_ms;
    if (!handler.find(call) || !call.c_int(0, id) || !call.c_int(1, size) || !call.c_int(2, wait_ms)) return nullptr;
    if (!handler.check(wait_for_frame(id, buffer.data(), size, wait_ms, gps))) return nullptr;
    return buffer.to_bytes();
}

PyObject *get_video_data(Call &call) { return read_frame(call, nullptr); }

PyObject *get_video_data_gps(Call &call) {
    Ref gps_data(make_record(&GpsDataType));
    if (!gps_data) return nullptr;
    Ref frame(read_frame(call, record_of<QEL_GPS_DATA>(gps_data.get())));
    return frame ? PyTuple_Pack(2, frame.get(), gps_data.get()) : nullptr;
}

PyObject *get_dropped_frames(Call &call) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.c_int(0, id)) return nullptr;
    int dropped_frames = 0;
    if (!handler.check(QELGetDroppedFrames(id, &dropped_frames))) return nullptr;
    return PyLong_FromLong(dropped_frames);
}

const Param camera_id_params[] = {{"camera_id", Kind::Int, "int"}};
const Param frame_params[] = {
    {"camera_id", Kind::Int, "int"}, {"buffer_size", Kind::Int, "int"}, {"wait_ms", Kind::Int, "int"}};
const char *const frame_locals[] = {"buffer"};
const char *const frame_gps_locals[] = {"gps_data", "buffer"};
const char *const dropped_locals[] = {"dropped_frames"};

}  // namespace

const FunctionSpec start_video_capture_spec = {
    "start_video_capture",
    "Start video capture.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Raises:\n        QelException: "
    "Raised if the operation is unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "None", start_video_capture, kFile, __LINE__,
};

const FunctionSpec stop_video_capture_spec = {
    "stop_video_capture",
    "Stop video capture.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Raises:\n        QelException: "
    "Raised if the operation is unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "None", stop_video_capture, kFile, __LINE__,
};

const FunctionSpec get_video_data_spec = {
    "get_video_data",
    "Get video data from the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n        buffer_size (int): "
    "The size of the buffer to store the image data.\n        wait_ms (int): Time to wait for an image in milliseconds "
    "(-1 for infinite wait).\n\n    Returns:\n        bytes: The captured image data.\n\n    Raises:\n"
    "        QelException: Raised if the operation is unsuccessful or timeout occurs.\n    ",
    frame_params, count_of(frame_params), frame_locals, count_of(frame_locals), "bytes", get_video_data, kFile,
    __LINE__,
};

const FunctionSpec get_video_data_gps_spec = {
    "get_video_data_gps",
    "Get video data from the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n        buffer_size (int): "
    "The size of the buffer to store the image data.\n        wait_ms (int): Time to wait for an image in milliseconds "
    "(-1 for infinite wait).\n\n    Returns:\n        tuple(bytes, GpsData): The captured image data and the gps "
    "data.\n\n    Raises:\n        QelException: Raised if the operation is unsuccessful or timeout occurs.\n    ",
    frame_params, count_of(frame_params), frame_gps_locals, count_of(frame_gps_locals), "tuple[bytes, GpsData]",
    get_video_data_gps, kFile, __LINE__,
};

const FunctionSpec get_dropped_frames_spec = {
    "get_dropped_frames",
    "Get the number of dropped frames during video capture.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
    "    Returns:\n        int: The number of dropped frames.\n\n    Raises:\n        QelException: Raised if the "
    "operation is unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), dropped_locals, count_of(dropped_locals), "int", get_dropped_frames,
    kFile, __LINE__,
};

}  // namespace qel
