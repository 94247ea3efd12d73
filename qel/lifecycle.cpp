// Opening, initialising and closing a camera; its identifiers in flash.
#include "errors.h"
#include "records.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/lifecycle.cpp";

PyObject *open_camera(Call &call) { return call_with_params(call, QELOpenCamera); }
PyObject *init_camera(Call &call) { return call_with_params(call, QELInitCamera); }
PyObject *close_camera(Call &call) { return call_with_params(call, QELCloseCamera); }
PyObject *set_id(Call &call) { return call_with_params(call, QELSetID); }

PyObject *read_id(Call &call, int (*entry_point)(int, QEL_ID *)) {
    Ref result(make_record(&IdType));
    if (!result) return nullptr;
    Handler handler;
    int id;
    if (!handler.find(call) || !call.convert(id)) return nullptr;
    if (!handler.check(entry_point(id, record_of<QEL_ID>(result.get())))) return nullptr;
    return result.release();
}

PyObject *get_id(Call &call) { return read_id(call, QELGetID); }
PyObject *get_serial_number(Call &call) { return read_id(call, QELGetSerialNumber); }

}  // namespace

QEL_FUNCTION(open_camera)
    .params({kCameraId})
    .doc("\n    Open a camera for use.\n\n    Raises:\n        QelException\n\n    Args:\n"
         "        camera_id (int): The camera ID.\n    ");

QEL_FUNCTION(init_camera)
    .params({kCameraId})
    .doc("\n    Initialize the camera for capturing images.\n\n    Raises:\n        QelException\n\n    Args:\n"
         "        camera_id (int): The camera ID.\n    ");

QEL_FUNCTION(close_camera)
    .params({kCameraId})
    .doc("\n    Close the camera.\n\n    Raises:\n        QelException\n\n    Args:\n"
         "        camera_id (int): The camera ID.\n    ");

QEL_FUNCTION(get_id)
    .params({Int("i_camera_id")})
    .returns("Id")
    .doc("Retrieve the camera ID from the camera's flash memory.\n\n    Args:\n"
         "        i_camera_id (int): The camera ID.\n\n    Returns:\n        Id: The camera ID.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(set_id)
    .params({kCameraId, Record("serial_number", &IdType)})
    .doc("Write a new camera ID to the camera's flash memory.\n\n    Args:\n        camera_id (int): The camera ID.\n"
         "\n        serial_number (Id): The camera serial number\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(get_serial_number)
    .params({kCameraId})
    .returns("Id")
    .doc("Get the serial number of the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
         "    Returns:\n        Id: The camera serial number id.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

}  // namespace qel
