// The simulated cameras: models of the built-in catalogue and the registry of connected cameras.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "QELCamera2.h"

namespace qelsim {

// The simulator's own USB vendor id; product ids are per model.
constexpr int kVendorId = 0x51E1;

extern const char kSdkVersion[];

struct Model {
    std::string name;
    int product_id;
    int max_width;
    int max_height;
    bool is_color;
    int bayer_pattern;
    std::vector<int> bins;
    std::vector<int> formats;
    double pixel_size;  // micrometres
    bool mechanical_shutter;
    bool st4_port;
    bool cooler;
    bool usb3;
    float elec_per_adu;
    int bit_depth;
    bool trigger;
    bool gps;
    std::string serial;  // up to 8 bytes
};

// The built-in catalogue, in registry order.
const std::vector<Model> &catalogue();

struct Camera {
    int id;
    Model model;
    bool connected = true;
};

// Connected cameras, in index order. All access goes through the lock.
class Registry {
public:
    static Registry &instance();

    void reset();
    int count();
    // QEL_SUCCESS or the code for an unknown index or identifier.
    int info_by_index(int index, QEL_CAMERA_INFO *info);
    int info_by_id(int camera_id, QEL_CAMERA_INFO *info);
    bool is_product(int vendor_id, int product_id);

private:
    Registry() { reset_locked(); }
    void reset_locked();
    Camera *find(int camera_id);

    std::mutex mutex_;
    std::vector<Camera> cameras_;
};

void fill_info(const Camera &camera, QEL_CAMERA_INFO *info);

}  // namespace qelsim
