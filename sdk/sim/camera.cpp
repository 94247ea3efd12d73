#include "camera.h"

#include <algorithm>
#include <cstring>

namespace qelsim {

const char kSdkVersion[] = "QELSim 0.1.0";

const std::vector<Model> &catalogue() {
    static const std::vector<Model> *models = new std::vector<Model>{
        {
            "QELSim M1 Mono Cooled",
            0x0101,
            2048,
            1536,
            false,
            BAYER_RG,
            {1, 2, 3, 4},
            {IMG_RAW8, IMG_RAW16, IMG_Y8},
            4.5,
            false,
            true,
            true,
            true,
            0.8f,
            14,
            false,
            false,
            "SIMM0001",
        },
        {
            "QELSim C2 Colour GPS",
            0x0102,
            1920,
            1080,
            true,
            BAYER_RG,
            {1, 2},
            {IMG_RAW8, IMG_RGB24, IMG_RAW16, IMG_Y8},
            2.9,
            false,
            false,
            false,
            true,
            1.5f,
            12,
            true,
            true,
            "SIMC0002",
        },
    };
    return *models;
}

Registry &Registry::instance() {
    static Registry *registry = new Registry();  // outlives static destructors run at exit
    return *registry;
}

void Registry::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    reset_locked();
}

void Registry::reset_locked() {
    cameras_.clear();
    int id = 0;
    for (const Model &m : catalogue()) cameras_.push_back(Camera{id++, m, true});
}

int Registry::count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count_if(cameras_.begin(), cameras_.end(), [](const Camera &c) { return c.connected; }));
}

Camera *Registry::find(int camera_id) {
    for (Camera &c : cameras_)
        if (c.id == camera_id && c.connected) return &c;
    return nullptr;
}

int Registry::info_by_index(int index, QEL_CAMERA_INFO *info) {
    std::lock_guard<std::mutex> lock(mutex_);
    int i = 0;
    for (const Camera &c : cameras_) {
        if (!c.connected) continue;
        if (i++ == index) {
            if (!info) return QEL_ERR_GENERAL;
            fill_info(c, info);
            return QEL_SUCCESS;
        }
    }
    return QEL_ERR_INVALID_INDEX;
}

int Registry::info_by_id(int camera_id, QEL_CAMERA_INFO *info) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Camera *c = find(camera_id);
    if (!c) return QEL_ERR_INVALID_ID;
    if (!info) return QEL_ERR_GENERAL;
    fill_info(*c, info);
    return QEL_SUCCESS;
}

bool Registry::is_product(int vendor_id, int product_id) {
    if (vendor_id != kVendorId) return false;
    const std::vector<Model> &models = catalogue();
    return std::any_of(models.begin(), models.end(), [&](const Model &m) { return m.product_id == product_id; });
}

void fill_info(const Camera &camera, QEL_CAMERA_INFO *info) {
    const Model &m = camera.model;
    std::memset(info, 0, sizeof *info);
    std::strncpy(info->name, m.name.c_str(), sizeof info->name - 1);
    info->camera_id = camera.id;
    info->max_height = m.max_height;
    info->max_width = m.max_width;
    info->is_color_camera = m.is_color;
    info->bayer_pattern = m.bayer_pattern;
    for (size_t i = 0; i < 16; ++i) info->supported_bins[i] = i < m.bins.size() ? m.bins[i] : 0;
    for (size_t i = 0; i < 8; ++i) info->supported_video_formats[i] = i < m.formats.size() ? m.formats[i] : IMG_END;
    info->pixel_size = m.pixel_size;
    info->mechanical_shutter = m.mechanical_shutter;
    info->st_4_port = m.st4_port;
    info->is_cooler_cam = m.cooler;
    info->is_usb3_host = m.usb3;
    info->is_usb3_camera = m.usb3;
    info->elec_per_adu = m.elec_per_adu;
    info->bit_depth = m.bit_depth;
    info->is_trigger_cam = m.trigger;
}

}  // namespace qelsim
