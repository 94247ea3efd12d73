// Video capture: starting and stopping it, waiting for frames, counting the dropped ones.
#include "errors.h"
#include "image.h"
#include "records.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/video.cpp";

PyObject *start_video_capture(Call &call) { return call_with_params(call, QELStartVideoCapture); }
PyObject *stop_video_capture(Call &call) { return call_with_params(call, QELStopVideoCapture); }

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
    if (!handler.find(call) || !call.convert(id, size, wait_ms)) return nullptr;
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
    if (!handler.find(call) || !call.convert(id)) return nullptr;
    int dropped_frames = 0;
    if (!handler.check(QELGetDroppedFrames(id, &dropped_frames))) return nullptr;
    return PyLong_FromLong(dropped_frames);
}

}  // namespace

QEL_FUNCTION(start_video_capture)
    .params({kCameraId})
    .doc("Start video capture.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(stop_video_capture)
    .params({kCameraId})
    .doc("Stop video capture.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(get_video_data)
    .params({kCameraId, Int("buffer_size"), Int("wait_ms")})
    .locals({"buffer"})
    .returns("bytes")
    .doc("Get video data from the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n"
         "        buffer_size (int): The size of the buffer to store the image data.\n"
         "        wait_ms (int): Time to wait for an image in milliseconds (-1 for infinite wait).\n\n    Returns:\n"
         "        bytes: The captured image data.\n\n    Raises:\n        QelException: Raised if the operation is "
         "unsuccessful or timeout occurs.\n    ");

QEL_FUNCTION(get_video_data_gps)
    .params({kCameraId, Int("buffer_size"), Int("wait_ms")})
    .locals({"gps_data", "buffer"})
    .returns("tuple[bytes, GpsData]")
    .doc("Get video data from the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n"
         "        buffer_size (int): The size of the buffer to store the image data.\n"
         "        wait_ms (int): Time to wait for an image in milliseconds (-1 for infinite wait).\n\n    Returns:\n"
         "        tuple(bytes, GpsData): The captured image data and the gps data.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful or timeout occurs.\n    ");

QEL_FUNCTION(get_dropped_frames)
    .params({kCameraId})
    .locals({"dropped_frames"})
    .returns("int", ReturnCheck::Int)
    .doc("Get the number of dropped frames during video capture.\n\n    Args:\n"
         "        camera_id (int): The camera ID.\n\n    Returns:\n        int: The number of dropped frames.\n\n"
         "    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ");

}  // namespace qel
