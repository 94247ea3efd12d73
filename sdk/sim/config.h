// Configuration of the simulator: a small text format, read from the file named by QELSIM_CONFIG or
// handed over through the control API.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model.h"
#include "sky.h"
#include "starfile.h"

namespace qelsim {

struct CameraSpec {
    Model model;
    bool serial_given = false;  // else the registry numbers the catalogue's serial
    bool seed_given = false;    // else the registry derives one from the global seed
};

struct Config {
    std::uint64_t seed = 0;
    double speed = 1;
    bool stepped = false;  // the stepped clock: time moves only when a caller waits or advances it
    bool utc_given = false;
    std::int64_t utc_us = 0;  // GPS time at simulated time 0, microseconds since 1970 (UTC)
    std::vector<CatalogueStar> stars;  // the user's catalogue
    bool replace_stars = false;        // it replaces the synthetic stars
    // The star catalogue file (`sky_catalogue`): given, and opened (null for `none`); when not given,
    // QELSIM_SKY_CATALOGUE may name one.
    bool sky_catalogue_given = false;
    std::shared_ptr<const StarFile> sky_catalogue;
    bool cameras_given = false;
    std::vector<CameraSpec> cameras;
};

// The built-in configuration: the catalogue's cameras, seed 0, real time.
Config builtin_config();

// Both return false with a message ("line 3: ...") in `error` and leave `out` unspecified.
bool parse_config(const std::string &text, Config &out, std::string &error);
// The body of one [camera] section, for a camera plugged in through the control API.
bool parse_camera(const std::string &text, CameraSpec &out, std::string &error);

// Reads a configuration file of at most 1 MiB.
bool read_config_file(const std::string &path, std::string &text, std::string &error);

}  // namespace qelsim
