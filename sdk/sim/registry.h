// The registry of cameras: the configured ones, hot-plugged ones and the removed ones.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera.h"
#include "config.h"

namespace qelsim {

// Cameras in index order; removed ones stay so that their ids answer QEL_ERR_CAMERA_REMOVED.
class Registry {
public:
    static Registry &instance();

    // Reset to a configuration: stops and removes every camera, then connects the configured ones
    // with ids 0..n-1. The clock restarts at the configured speed.
    void configure(const Config &config);
    // The base configuration: QELSIM_CONFIG's file if set and valid, else the built-in catalogue.
    // Returns the problem with QELSIM_CONFIG's file, empty when there is none.
    std::string reset_to_base();
    std::string base_error();

    int count();
    // QEL_SUCCESS with the camera, or QEL_ERR_INVALID_INDEX / QEL_ERR_INVALID_ID.
    int by_index(int index, std::shared_ptr<Camera> &camera);
    int by_id(int camera_id, std::shared_ptr<Camera> &camera);
    bool is_product(int vendor_id, int product_id);

    // Hot-plug; each returns the new id or -1.
    int plug(const CameraSpec &spec);
    int unplug(int camera_id);
    int replug(int camera_id);

private:
    Registry();
    // Connects a configured or plugged camera under the next id, its serial number (unless given)
    // numbered after it; the registry's lock is held. Returns the id.
    int add(const CameraSpec &spec);
    std::uint64_t seed_for(const CameraSpec &spec, int position) const;

    std::mutex mutex_;
    std::vector<std::shared_ptr<Camera>> cameras_;
    int next_id_ = 0;
    std::uint64_t seed_ = 0;
    std::int64_t utc_base_us_ = 0;
    std::string base_error_;
    std::vector<int> replugged_;  // removed ids whose device is back under a new id
};

}  // namespace qelsim
