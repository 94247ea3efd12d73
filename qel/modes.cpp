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
    if (!handler.find(call) || !call.c_int(0, id)) return nullptr;
    if (!handler.check(QELGetCameraSupportMode(id, record_of<QEL_SUPPORTED_MODE>(modes.get())))) return nullptr;
    return PyObject_GetAttr(modes.get(), names.supported_camera_mode);  // a list, checked on the way out
}

PyObject *get_camera_mode(Call &call) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.c_int(0, id)) return nullptr;
    int mode = 0;
    if (!handler.check(QELGetCameraMode(id, &mode))) return nullptr;
    return call.result_member(names.CameraMode, mode);
}

PyObject *set_camera_mode(Call &call) { return call_with_enum(call, QELSetCameraMode); }
PyObject *send_soft_trigger(Call &call) { return call_with_flag(call, QELSendSoftTrigger); }

PyObject *set_trigger_output_io_conf(Call &call) {
    Handler handler;
    int id, pin, delay, duration;
    if (!handler.find(call) || !call.c_int(0, id) || !call.c_enum(1, pin) || !call.c_int(3, delay) ||
        !call.c_int(4, duration))
        return nullptr;
    return handler.check(QELSetTriggerOutputIOConf(id, pin, call.flag(2), delay, duration)) ? none() : nullptr;
}

PyObject *get_trigger_output_io_conf(Call &call) {
    Handler handler;
    int id, pin;
    if (!handler.find(call) || !call.c_int(0, id) || !call.c_int(1, pin)) return nullptr;
    QEL_BOOL pin_high = 0;
    QEL_LONG delay = 0, duration = 0;
    if (!handler.check(QELGetTriggerOutputIOConf(id, pin, &pin_high, &delay, &duration))) return nullptr;
    return tuple_of(PyBool_FromLong(pin_high != 0), PyLong_FromLong(delay), PyLong_FromLong(duration));
}

const Param camera_id_params[] = {{"camera_id", Kind::Int, "int"}};
const Param set_mode_params[] = {{"camera_id", Kind::Int, "int"}, {"mode", Kind::Enum, "CameraMode"}};
const Param trigger_params[] = {{"camera_id", Kind::Int, "int"}, {"start", Kind::Bool, "bool"}};
const Param set_output_params[] = {
    {"camera_id", Kind::Int, "int"}, {"pin", Kind::Enum, "TrigOutput"}, {"pin_high", Kind::Bool, "bool"},
    {"delay", Kind::Int, "int"},     {"duration", Kind::Int, "int"},
};
const Param get_output_params[] = {{"camera_id", Kind::Int, "int"}, {"pin", Kind::Int, "int"}};

}  // namespace

const FunctionSpec get_camera_support_mode_spec = {
    "get_camera_support_mode",
    "Get the supported camera modes for the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
    "    Returns:\n        SupportedMode: The supported mode that contains a list of supported camera modes.\n\n"
    "    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "list[CameraMode]", get_camera_support_mode, kFile,
    __LINE__,
};

const FunctionSpec get_camera_mode_spec = {
    "get_camera_mode",
    "Get the current camera mode.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Returns:\n"
    "        CameraMode: The current camera mode.\n\n    Raises:\n        QelException: Raised if the operation is "
    "unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "CameraMode", get_camera_mode, kFile, __LINE__,
};

const FunctionSpec set_camera_mode_spec = {
    "set_camera_mode",
    "Set the camera mode.\n\n    Args:\n        camera_id (int): The camera ID.\n        mode (CameraMode): The camera "
    "mode to set.\n\n    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ",
    set_mode_params, count_of(set_mode_params), nullptr, 0, "None", set_camera_mode, kFile, __LINE__,
};

const FunctionSpec send_soft_trigger_spec = {
    "send_soft_trigger",
    "Send a soft trigger to the camera to start or stop exposure.\n\n    Args:\n        camera_id (int): The camera "
    "ID.\n        start (bool): True to start exposure, False to stop.\n\n    Raises:\n        QelException: Raised "
    "if the operation is unsuccessful.\n    ",
    trigger_params, count_of(trigger_params), nullptr, 0, "None", send_soft_trigger, kFile, __LINE__,
};

const FunctionSpec set_trigger_output_io_conf_spec = {
    "set_trigger_output_io_conf",
    "Configure the trigger output IO.\n\n    Args:\n        camera_id (int): The camera ID.\n        pin (int): "
    "Trigger output pin (e.g., PINA or PINB).\n        pin_high (bool): True to output a high signal, False for a "
    "low signal.\n        delay (int): Delay time in microseconds.\n        duration (int): Duration time in "
    "microseconds.\n\n    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ",
    set_output_params, count_of(set_output_params), nullptr, 0, "None", set_trigger_output_io_conf, kFile, __LINE__,
};

const FunctionSpec get_trigger_output_io_conf_spec = {
    "get_trigger_output_io_conf",
    "Get the trigger output IO configuration.\n\n    Args:\n        camera_id (int): The camera ID.\n        pin "
    "(int): Trigger output pin (e.g., PINA or PINB).\n\n    Returns:\n        tuple[bool, int, int]: Pin high status, "
    "delay, and duration.\n\n    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ",
    get_output_params, count_of(get_output_params), nullptr, 0, "tuple[bool, int, int]", get_trigger_output_io_conf,
    kFile, __LINE__,
};

}  // namespace qel
