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

}  // namespace qel
