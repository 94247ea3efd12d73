// Camera controls: how many, their capabilities, their values.
#include "errors.h"
#include "records.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/controls.cpp";

PyObject *get_num_of_controls(Call &call) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.convert(id)) return nullptr;
    int count = 0;
    if (!handler.check(QELGetNumOfControls(id, &count))) return nullptr;
    return PyLong_FromLong(count);
}

PyObject *get_control_caps(Call &call) {
    Ref caps(make_record(&ControlCapsType));
    if (!caps) return nullptr;
    Handler handler;
    int id, index;
    if (!handler.find(call) || !call.convert(id, index)) return nullptr;
    if (!handler.check(QELGetControlCaps(id, index, record_of<QEL_CONTROL_CAPS>(caps.get())))) return nullptr;
    return caps.release();
}

PyObject *get_control_value(Call &call) {
    Handler handler;
    int id, type;
    if (!handler.find(call) || !call.convert(id, type)) return nullptr;
    QEL_LONG value = 0;
    QEL_BOOL is_auto = 0;
    if (!handler.check(QELGetControlValue(id, type, &value, &is_auto))) return nullptr;
    return tuple_of(PyLong_FromLong(value), PyBool_FromLong(is_auto != 0));
}

PyObject *set_control_value(Call &call) { return call_with_params(call, QELSetControlValue); }

}  // namespace

QEL_FUNCTION(get_num_of_controls)
    .params({kCameraId})
    .returns("int", ReturnCheck::Int)
    .doc("\n    Get the number of control settings available on the camera.\n\n    Args:\n"
         "        camera_id (int): The camera ID.\n\n    Raises:\n        QelException\n\n    Returns:\n"
         "        int: Number of controls.\n    ");

QEL_FUNCTION(get_control_caps)
    .params({kCameraId, Int("control_index")})
    .returns("ControlCaps")
    .doc("\n    Get the capabilities of a specific control on the camera.\n\n    Args:\n"
         "        camera_id (int): The camera ID.\n\n        control_index (int): The control index.\n\n    Raises:\n"
         "        QelException\n\n    Returns:\n        Controlaps: THe control caps\n    ");

QEL_FUNCTION(get_control_value)
    .params({kCameraId, Enum("control_type", "ControlType")})
    .returns("tuple[int, bool]")
    .doc("\n    Get the value of a control setting on the camera.\n\n    Args:\n"
         "        camera_id (int): The camera ID.\n        control_type (int): The control type.\n\n    Raises:\n"
         "        QelException\n\n    Returns:\n        tuple[int, bool]: The value of the control and whether it's "
         "in auto mode.\n    ");

QEL_FUNCTION(set_control_value)
    .params({kCameraId, Enum("control_type", "ControlType"), Int("value"), Bool("auto_mode")})
    .doc("\n    Set the value of a control setting on the camera.\n\n    Args:\n"
         "        camera_id (int): The camera ID.\n        control_type (int): The control type.\n"
         "        value (long): The new control value.\n        auto_mode (bool): Whether to enable auto mode.\n\n"
         "    Raises:\n        QelException\n\n    ");

}  // namespace qel
