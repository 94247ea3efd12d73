// The module functions' table entries, defined by their family files.
#pragma once

#include "function.h"

namespace qel {

// errors.cpp
extern const FunctionSpec handle_error_code_spec;

// discovery.cpp
extern const FunctionSpec get_number_of_connected_cameras_spec;
extern const FunctionSpec camera_check_spec;
extern const FunctionSpec get_camera_property_spec;
extern const FunctionSpec get_sdk_version_spec;
extern const FunctionSpec get_camera_property_by_id_spec;

// lifecycle.cpp
extern const FunctionSpec open_camera_spec;
extern const FunctionSpec init_camera_spec;
extern const FunctionSpec close_camera_spec;
extern const FunctionSpec get_id_spec;
extern const FunctionSpec set_id_spec;
extern const FunctionSpec get_serial_number_spec;

// controls.cpp
extern const FunctionSpec get_num_of_controls_spec;
extern const FunctionSpec get_control_caps_spec;
extern const FunctionSpec get_control_value_spec;
extern const FunctionSpec set_control_value_spec;

// roi.cpp
extern const FunctionSpec set_roi_format_spec;
extern const FunctionSpec get_roi_format_spec;
extern const FunctionSpec set_start_pos_spec;
extern const FunctionSpec get_start_pos_spec;

// modes.cpp
extern const FunctionSpec get_camera_support_mode_spec;
extern const FunctionSpec get_camera_mode_spec;
extern const FunctionSpec set_camera_mode_spec;
extern const FunctionSpec send_soft_trigger_spec;
extern const FunctionSpec set_trigger_output_io_conf_spec;
extern const FunctionSpec get_trigger_output_io_conf_spec;

// exposure.cpp
extern const FunctionSpec start_exposure_spec;
extern const FunctionSpec stop_exposure_spec;
extern const FunctionSpec get_exp_status_spec;
extern const FunctionSpec get_data_after_exp_spec;
extern const FunctionSpec get_data_after_exp_gps_spec;

// video.cpp
extern const FunctionSpec start_video_capture_spec;
extern const FunctionSpec stop_video_capture_spec;
extern const FunctionSpec get_video_data_spec;
extern const FunctionSpec get_video_data_gps_spec;
extern const FunctionSpec get_dropped_frames_spec;

// extras.cpp
extern const FunctionSpec enable_dark_subtract_spec;
extern const FunctionSpec disable_dark_subtract_spec;
extern const FunctionSpec pulse_guide_on_spec;
extern const FunctionSpec pulse_guide_off_spec;
extern const FunctionSpec get_gain_offset_spec;
extern const FunctionSpec get_lmh_gain_offset_spec;
extern const FunctionSpec gps_get_data_spec;

}  // namespace qel
