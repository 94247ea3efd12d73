#include "registry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "flash.h"
#include "gps.h"

namespace qelsim {

Registry &Registry::instance() {
    // Leaked on purpose: producer threads may still run while the process exits, and must find the
    // cameras they belong to intact.
    static Registry *registry = new Registry();
    return *registry;
}

Registry::Registry() { reset_to_base(); }

std::uint64_t Registry::seed_for(const CameraSpec &spec, int position) const {
    if (spec.seed_given) return spec.model.seed;
    std::uint64_t s = seed_ * UINT64_C(0x9E3779B97F4A7C15) + spec.model.seed * 1000003u + static_cast<unsigned>(position);
    s ^= s >> 29;
    return s;
}

void Registry::configure(const Config &config) {
    std::vector<std::shared_ptr<Camera>> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old.swap(cameras_);
    }
    // Unplugging joins producer threads: never under the registry lock, which they do not need but
    // callers of other cameras do.
    for (auto &c : old) c->unplug();
    flash::reset();
    clock::reset(config.stepped);
    if (!config.stepped) clock::set_speed(config.speed);
    std::lock_guard<std::mutex> lock(mutex_);
    seed_ = config.seed;
    Sky sky{config.seed, config.stars, config.replace_stars, config.sky_catalogue, "", 0};
    if (!config.sky_catalogue_given) {
        const char *path = std::getenv("QELSIM_SKY_CATALOGUE");
        if (path && *path && std::string(path) != "none") {
            sky.catalogue = StarFile::open(path, sky.note);
            if (!sky.catalogue) sky.note = "QELSIM_SKY_CATALOGUE: " + sky.note;
        }
    }
    set_sky(std::move(sky));
    replugged_.clear();
    utc_base_us_ = config.utc_given ? config.utc_us : host_utc_us();
    next_id_ = 0;
    for (const CameraSpec &spec : config.cameras) add(spec);
}

int Registry::add(const CameraSpec &spec) {
    const int id = next_id_++;
    Model m = spec.model;
    m.seed = seed_for(spec, id);
    if (m.pier_west) m.rotation += 180;  // after a meridian flip the camera sees the sky turned over
    if (!spec.serial_given && !m.serial.empty()) {
        char number[8];
        std::snprintf(number, sizeof number, "%04d", (id + 1) % 10000);
        m.serial = m.serial.substr(0, std::min<std::size_t>(4, m.serial.size())) + number;
    }
    cameras_.push_back(std::make_shared<Camera>(id, m, utc_base_us_));
    return id;
}

std::string Registry::reset_to_base() {
    Config config = builtin_config();
    std::string error;
    const char *path = std::getenv("QELSIM_CONFIG");
    if (path && *path) {
        std::string text;
        Config parsed;
        if (read_config_file(path, text, error) && parse_config(text, parsed, error)) {
            config = std::move(parsed);
        } else {
            error = std::string("QELSIM_CONFIG ") + path + ": " + error;
            // A library has no better channel than this for a configuration nobody asked it about.
            std::fprintf(stderr, "QELSim: %s; using the built-in cameras\n", error.c_str());
        }
    }
    configure(config);
    std::lock_guard<std::mutex> lock(mutex_);
    base_error_ = error;
    return error;
}

std::string Registry::base_error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return base_error_;
}

int Registry::count() {
    std::vector<std::shared_ptr<Camera>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all = cameras_;
    }
    return static_cast<int>(std::count_if(all.begin(), all.end(), [](const auto &c) { return c->connected(); }));
}

int Registry::by_index(int index, std::shared_ptr<Camera> &camera) {
    std::vector<std::shared_ptr<Camera>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all = cameras_;
    }
    int i = 0;
    for (const auto &c : all) {
        if (!c->connected()) continue;
        if (i++ == index) {
            camera = c;
            return QEL_SUCCESS;
        }
    }
    return QEL_ERR_INVALID_INDEX;
}

int Registry::by_id(int camera_id, std::shared_ptr<Camera> &camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &c : cameras_)
        if (c->id() == camera_id) {
            camera = c;
            return QEL_SUCCESS;
        }
    return QEL_ERR_INVALID_ID;
}

bool Registry::is_product(int vendor_id, int product_id) {
    if (vendor_id != kVendorId) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &c : cameras_)
        if (c->model().product_id == product_id) return true;
    const std::vector<Model> &models = catalogue();
    return std::any_of(models.begin(), models.end(), [&](const Model &m) { return m.product_id == product_id; });
}

int Registry::plug(const CameraSpec &spec) {
    std::lock_guard<std::mutex> lock(mutex_);
    return add(spec);
}

int Registry::unplug(int camera_id) {
    std::shared_ptr<Camera> camera;
    if (by_id(camera_id, camera) != QEL_SUCCESS || !camera->connected()) return -1;
    camera->unplug();
    return 0;
}

int Registry::replug(int camera_id) {
    std::shared_ptr<Camera> camera;
    if (by_id(camera_id, camera) != QEL_SUCCESS || camera->connected()) return -1;
    // The same device again: same model, serial number, seed and flash, under a new id.
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(replugged_.begin(), replugged_.end(), camera_id) != replugged_.end()) return -1;
    if (std::find(cameras_.begin(), cameras_.end(), camera) == cameras_.end()) return -1;  // reset meanwhile
    replugged_.push_back(camera_id);
    const int id = next_id_++;
    cameras_.push_back(std::make_shared<Camera>(id, camera->model(), utc_base_us_));
    return id;
}

}  // namespace qelsim
