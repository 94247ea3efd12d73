// Camera controls: how many, their capabilities, their values.
#include "errors.h"
#include "records.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/controls.cpp";

PyObject *get_num_of_controls(Call &call) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.c_int(0, id)) return nullptr;
    int count = 0;
    if (!handler.check(QELGetNumOfControls(id, &count))) return nullptr;
    return PyLong_FromLong(count);
}

PyObject *get_control_caps(Call &call) {
    Ref caps(make_record(&ControlCapsType));
    if (!caps) return nullptr;
    Handler handler;
    int id, index;
    if (!handler.find(call) || !call.c_int(0, id) || !call.c_int(1, index)) return nullptr;
    if (!handler.check(QELGetControlCaps(id, index, record_of<QEL_CONTROL_CAPS>(caps.get())))) return nullptr;
    return caps.release();
}

PyObject *get_control_value(Call &call) {
    Handler handler;
    int id, type;
    if (!handler.find(call) || !call.c_int(0, id) || !call.c_enum(1, type)) return nullptr;
    QEL_LONG value = 0;
    QEL_BOOL is_auto = 0;
    if (!handler.check(QELGetControlValue(id, type, &value, &is_auto))) return nullptr;
    return tuple_of(PyLong_FromLong(value), PyBool_FromLong(is_auto != 0));
}

PyObject *set_control_value(Call &call) {
    Handler handler;
    int id, type, value;
    if (!handler.find(call) || !call.c_int(0, id) || !call.c_enum(1, type) || !call.c_int(2, value)) return nullptr;
    return handler.check(QELSetControlValue(id, type, value, call.flag(3))) ? none() : nullptr;
}

const Param camera_id_params[] = {{"camera_id", Kind::Int, "int"}};
const Param caps_params[] = {{"camera_id", Kind::Int, "int"}, {"control_index", Kind::Int, "int"}};
const Param get_value_params[] = {{"camera_id", Kind::Int, "int"}, {"control_type", Kind::Enum, "ControlType"}};
const Param set_value_params[] = {
    {"camera_id", Kind::Int, "int"},
    {"control_type", Kind::Enum, "ControlType"},
    {"value", Kind::Int, "int"},
    {"auto_mode", Kind::Bool, "bool"},
};

}  // namespace

const FunctionSpec get_num_of_controls_spec = {
    "get_num_of_controls",
    "\n    Get the number of control settings available on the camera.\n\n    Args:\n        camera_id (int): The "
    "camera ID.\n\n    Raises:\n        QelException\n\n    Returns:\n        int: Number of controls.\n    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "int", get_num_of_controls, kFile, __LINE__,
};

const FunctionSpec get_control_caps_spec = {
    "get_control_caps",
    "\n    Get the capabilities of a specific control on the camera.\n\n    Args:\n        camera_id (int): The camera "
    "ID.\n\n        control_index (int): The control index.\n\n    Raises:\n        QelException\n\n    Returns:\n"
    "        Controlaps: THe control caps\n    ",
    caps_params, count_of(caps_params), nullptr, 0, "ControlCaps", get_control_caps, kFile, __LINE__,
};

const FunctionSpec get_control_value_spec = {
    "get_control_value",
    "\n    Get the value of a control setting on the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n"
    "        control_type (int): The control type.\n\n    Raises:\n        QelException\n\n    Returns:\n"
    "        tuple[int, bool]: The value of the control and whether it's in auto mode.\n    ",
    get_value_params, count_of(get_value_params), nullptr, 0, "tuple[int, bool]", get_control_value, kFile, __LINE__,
};

const FunctionSpec set_control_value_spec = {
    "set_control_value",
    "\n    Set the value of a control setting on the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n"
    "        control_type (int): The control type.\n        value (long): The new control value.\n"
    "        auto_mode (bool): Whether to enable auto mode.\n\n    Raises:\n        QelException\n\n    ",
    set_value_params, count_of(set_value_params), nullptr, 0, "None", set_control_value, kFile, __LINE__,
};

}  // namespace qel
