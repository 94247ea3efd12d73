// Camera (trigger) modes, soft triggers and the trigger output pins.
#include "errors.h"
#include "records.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/modes.cpp";

PyObject *get_camera_support_mode(Call &call) {
    Ref modes(make_record(&SupportedModeType));
    if (!modes) return nullptr;
    Handler handler;
    int id;
    if (!handler.find(call) || !call.convert(id)) return nullptr;
    if (!handler.check(QELGetCameraSupportMode(id, record_of<QEL_SUPPORTED_MODE>(modes.get())))) return nullptr;
    return PyObject_GetAttr(modes.get(), names.supported_camera_mode);  // a list, checked on the way out
}

PyObject *get_camera_mode(Call &call) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.convert(id)) return nullptr;
    int mode = 0;
    if (!handler.check(QELGetCameraMode(id, &mode))) return nullptr;
    return call.result_member(names.CameraMode, mode);
}

PyObject *set_camera_mode(Call &call) { return call_with_params(call, QELSetCameraMode); }
PyObject *send_soft_trigger(Call &call) { return call_with_params(call, QELSendSoftTrigger); }
PyObject *set_trigger_output_io_conf(Call &call) { return call_with_params(call, QELSetTriggerOutputIOConf); }

PyObject *get_trigger_output_io_conf(Call &call) {
    Handler handler;
    int id, pin;
    if (!handler.find(call) || !call.convert(id, pin)) return nullptr;
    QEL_BOOL pin_high = 0;
    QEL_LONG delay = 0, duration = 0;
    if (!handler.check(QELGetTriggerOutputIOConf(id, pin, &pin_high, &delay, &duration))) return nullptr;
    return tuple_of(PyBool_FromLong(pin_high != 0), PyLong_FromLong(delay), PyLong_FromLong(duration));
}

}  // namespace

QEL_FUNCTION(get_camera_support_mode)
    .params({kCameraId})
    .returns("list[CameraMode]", ReturnCheck::List)
    .doc("Get the supported camera modes for the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
         "    Returns:\n        SupportedMode: The supported mode that contains a list of supported camera modes.\n\n"
         "    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(get_camera_mode)
    .params({kCameraId})
    .returns("CameraMode")
    .doc("Get the current camera mode.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Returns:\n"
         "        CameraMode: The current camera mode.\n\n    Raises:\n        QelException: Raised if the operation "
         "is unsuccessful.\n    ");

QEL_FUNCTION(set_camera_mode)
    .params({kCameraId, Enum("mode", "CameraMode")})
    .doc("Set the camera mode.\n\n    Args:\n        camera_id (int): The camera ID.\n"
         "        mode (CameraMode): The camera mode to set.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(send_soft_trigger)
    .params({kCameraId, Bool("start")})
    .doc("Send a soft trigger to the camera to start or stop exposure.\n\n    Args:\n"
         "        camera_id (int): The camera ID.\n        start (bool): True to start exposure, False to stop.\n\n"
         "    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(set_trigger_output_io_conf)
    .params({kCameraId, Enum("pin", "TrigOutput"), Bool("pin_high"), Int("delay"), Int("duration")})
    .doc("Configure the trigger output IO.\n\n    Args:\n        camera_id (int): The camera ID.\n"
         "        pin (int): Trigger output pin (e.g., PINA or PINB).\n        pin_high (bool): True to output a "
         "high signal, False for a low signal.\n        delay (int): Delay time in microseconds.\n"
         "        duration (int): Duration time in microseconds.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(get_trigger_output_io_conf)
    .params({kCameraId, Int("pin")})
    .returns("tuple[bool, int, int]")
    .doc("Get the trigger output IO configuration.\n\n    Args:\n        camera_id (int): The camera ID.\n"
         "        pin (int): Trigger output pin (e.g., PINA or PINB).\n\n    Returns:\n"
         "        tuple[bool, int, int]: Pin high status, delay, and duration.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

}  // namespace qel
