// Opening, initialising and closing a camera; its identifiers in flash.
#include "errors.h"
#include "records.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/lifecycle.cpp";

PyObject *open_camera(Call &call) { return call_with_id(call, QELOpenCamera); }
PyObject *init_camera(Call &call) { return call_with_id(call, QELInitCamera); }
PyObject *close_camera(Call &call) { return call_with_id(call, QELCloseCamera); }

PyObject *read_id(Call &call, int (*entry_point)(int, QEL_ID *)) {
    Ref result(make_record(&IdType));
    if (!result) return nullptr;
    Handler handler;
    int id;
    if (!handler.find(call) || !call.c_int(0, id)) return nullptr;
    if (!handler.check(entry_point(id, record_of<QEL_ID>(result.get())))) return nullptr;
    return result.release();
}

PyObject *get_id(Call &call) { return read_id(call, QELGetID); }
PyObject *get_serial_number(Call &call) { return read_id(call, QELGetSerialNumber); }

PyObject *set_id(Call &call) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.c_int(0, id)) return nullptr;
    return handler.check(QELSetID(id, *record_of<QEL_ID>(call.arg(1)))) ? none() : nullptr;
}

const Param camera_id_params[] = {{"camera_id", Kind::Int, "int"}};
const Param i_camera_id_params[] = {{"i_camera_id", Kind::Int, "int"}};
const Param set_id_params[] = {{"camera_id", Kind::Int, "int"}, {"serial_number", Kind::Record, "Id"}};

}  // namespace

const FunctionSpec open_camera_spec = {
    "open_camera",
    "\n    Open a camera for use.\n\n    Raises:\n        QelException\n\n    Args:\n        camera_id (int): The camera "
    "ID.\n    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "None", open_camera, kFile, __LINE__,
};

const FunctionSpec init_camera_spec = {
    "init_camera",
    "\n    Initialize the camera for capturing images.\n\n    Raises:\n        QelException\n\n    Args:\n"
    "        camera_id (int): The camera ID.\n    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "None", init_camera, kFile, __LINE__,
};

const FunctionSpec close_camera_spec = {
    "close_camera",
    "\n    Close the camera.\n\n    Raises:\n        QelException\n\n    Args:\n        camera_id (int): The camera ID.\n"
    "    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "None", close_camera, kFile, __LINE__,
};

const FunctionSpec get_id_spec = {
    "get_id",
    "Retrieve the camera ID from the camera's flash memory.\n\n    Args:\n        i_camera_id (int): The camera ID.\n\n"
    "    Returns:\n        Id: The camera ID.\n\n    Raises:\n        QelException: Raised if the operation is "
    "unsuccessful.\n    ",
    i_camera_id_params, count_of(i_camera_id_params), nullptr, 0, "Id", get_id, kFile, __LINE__,
};

const FunctionSpec set_id_spec = {
    "set_id",
    "Write a new camera ID to the camera's flash memory.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
    "        serial_number (Id): The camera serial number\n\n    Raises:\n        QelException: Raised if the "
    "operation is unsuccessful.\n    ",
    set_id_params, count_of(set_id_params), nullptr, 0, "None", set_id, kFile, __LINE__,
};

const FunctionSpec get_serial_number_spec = {
    "get_serial_number",
    "Get the serial number of the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Returns:\n"
    "        Id: The camera serial number id.\n\n    Raises:\n        QelException: Raised if the operation is "
    "unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "Id", get_serial_number, kFile, __LINE__,
};

}  // namespace qel
