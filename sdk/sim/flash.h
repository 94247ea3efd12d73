// The identifier each camera keeps in "flash": kept for the process and, when QELSIM_STATE_DIR names a
// directory, in a small file there so that it survives the process.
#pragma once

#include <string>

namespace qelsim {
namespace flash {

// Forgets what this process stored; files in QELSIM_STATE_DIR stay.
void reset();
// The identifier of the camera with this serial number: from this process, else from the state
// directory, else eight zero bytes.
void load(const std::string &serial, unsigned char id[8]);
// False when the state directory is set but the file cannot be written.
bool store(const std::string &serial, const unsigned char id[8]);

}  // namespace flash
}  // namespace qelsim
