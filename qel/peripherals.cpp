// The camera's peripherals: guide pulses on its ST4 port, and the records of its GPS receiver.
#include "errors.h"
#include "records.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/peripherals.cpp";

PyObject *pulse_guide_on(Call &call) { return call_with_params(call, QELPulseGuideOn); }
PyObject *pulse_guide_off(Call &call) { return call_with_params(call, QELPulseGuideOff); }

PyObject *gps_get_data(Call &call) {
    Ref start_line_gps_data(make_record(&GpsDataType));
    if (!start_line_gps_data) return nullptr;
    Ref end_line_gps_data(make_record(&GpsDataType));
    if (!end_line_gps_data) return nullptr;
    Handler handler;
    int id;
    if (!handler.find(call) || !call.convert(id)) return nullptr;
    if (!handler.check(QELGPSGetData(id, record_of<QEL_GPS_DATA>(start_line_gps_data.get()),
                                     record_of<QEL_GPS_DATA>(end_line_gps_data.get()))))
        return nullptr;
    return PyTuple_Pack(2, start_line_gps_data.get(), end_line_gps_data.get());
}

}  // namespace

QEL_FUNCTION(pulse_guide_on)
    .params({kCameraId, Enum("direction", "GuideDirection")})
    .doc("Activate guiding in the specified direction using the ST4 port.\n\n    Args:\n"
         "        camera_id (int): The camera ID.\n        direction (GuideDirection): The guiding direction (e.g., "
         "NORTH, SOUTH, etc.).\n\n    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(pulse_guide_off)
    .params({kCameraId, Enum("direction", "GuideDirection")})
    .doc("Deactivate guiding in the specified direction using the ST4 port.\n\n    Args:\n"
         "        camera_id (int): The camera ID.\n        direction (GuideDirection): The guiding direction (e.g., "
         "NORTH, SOUTH, etc.).\n\n    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(gps_get_data)
    .params({kCameraId})
    .locals({"start_line_gps_data", "end_line_gps_data"})
    .returns("tuple[GpsData, GpsData]")
    .doc("Get GPS data for the start and end lines.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
         "    Returns:\n        tuple[DateTime, DateTime]: GPS data for the start and end lines.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

}  // namespace qel
