// The module functions in the order they are bound. Each family file defines the row `<name>_spec` of
// its functions next to their bodies, with QEL_FUNCTION.
//
// What these rows produce is fixed public behaviour, relied on by programs, stubs and tests: the binding
// order (namespace order), names, parameter names and annotations, docstrings word for word (typos, odd
// layouts and the "QelException" that no class bears included), the error messages of the argument
// rules, and the late lookups (handle_error_code and the result enumerations are looked up by name at
// every call, so that rebinding them works). They must not be "fixed" or tidied.
#pragma once

#include "function.h"

#define QEL_FUNCTIONS(X)            \
    X(handle_error_code)            \
    X(get_number_of_connected_cameras) \
    X(camera_check)                 \
    X(get_camera_property)          \
    X(get_sdk_version)              \
    X(get_camera_property_by_id)    \
    X(open_camera)                  \
    X(init_camera)                  \
    X(close_camera)                 \
    X(get_id)                       \
    X(set_id)                       \
    X(get_serial_number)            \
    X(get_camera_support_mode)      \
    X(get_camera_mode)              \
    X(set_camera_mode)              \
    X(start_exposure)               \
    X(stop_exposure)                \
    X(get_exp_status)               \
    X(get_data_after_exp)           \
    X(get_data_after_exp_gps)       \
    X(start_video_capture)          \
    X(stop_video_capture)           \
    X(get_video_data)               \
    X(get_video_data_gps)           \
    X(get_num_of_controls)          \
    X(get_control_caps)             \
    X(get_control_value)            \
    X(set_control_value)            \
    X(set_roi_format)               \
    X(get_roi_format)               \
    X(set_start_pos)                \
    X(get_start_pos)                \
    X(get_dropped_frames)           \
    X(enable_dark_subtract)         \
    X(disable_dark_subtract)        \
    X(pulse_guide_on)               \
    X(pulse_guide_off)              \
    X(get_gain_offset)              \
    X(get_lmh_gain_offset)          \
    X(send_soft_trigger)            \
    X(set_trigger_output_io_conf)   \
    X(get_trigger_output_io_conf)   \
    X(gps_get_data)

namespace qel {

#define QEL_DECLARE_SPEC(name) extern const FunctionSpec name##_spec;
QEL_FUNCTIONS(QEL_DECLARE_SPEC)
#undef QEL_DECLARE_SPEC

}  // namespace qel
