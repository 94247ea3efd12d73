#include "camera.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "atmosphere.h"
#include "bmp.h"
#include "flash.h"
#include "gps.h"

namespace qelsim {

Camera::Camera(int id, const Model &model, std::int64_t utc_base_us)
    : id_(id), model_(model), utc_base_us_(utc_base_us), maps_(make_sensor_maps(model)), projection_(model) {
    sky_rates(model_, sky_);
    double v0[kChannels];
    channel_rates(model_, 0.65, v0);
    for (double r : v0) brightest_rate_ = std::max(brightest_rate_, r);
    const SimTime now = clock::now();
    controls_.init(model_, now);
    mount_.reset(model_, now);
    reset_settings();
}

bool Camera::connected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !removed_;
}

Camera::Check &Camera::Check::outputs(std::initializer_list<const void *> outputs, bool wanted) {
    for (const void *p : outputs) null_output_ = null_output_ || (wanted && !p);
    return *this;
}

Camera::Check::operator int() const {
    const Camera &c = camera_;
    if (c.removed_) return QEL_ERR_CAMERA_REMOVED;
    if (need_ != Need::any && c.state_ == State::closed) return QEL_ERR_CAMERA_CLOSED;
    if (need_ == Need::initialised && c.state_ != State::initialised) return QEL_ERR_INVALID_SEQUENCE;
    if (lacking_) return lacking_;
    if (null_output_) return QEL_ERR_GENERAL;
    if (no_video_ && c.capture_) return QEL_ERR_VIDEO_MODE_ACTIVE;
    if (capturing_ && !c.capture_) return QEL_ERR_INVALID_SEQUENCE;
    if (no_exposure_ && c.busy_exposing(clock::now())) return QEL_ERR_EXPOSURE_IN_PROGRESS;
    return QEL_SUCCESS;
}

// An exposure runs until its readout time has passed and its image is in the frame buffer.
bool Camera::busy_exposing(SimTime now) const {
    return exposure_.phase == Exposure::working && (now < exposure_.ready || !exposure_.image);
}

// What QELInitCamera sets: full sensor at bin 1 in RAW8, normal mode, default controls.
void Camera::reset_settings() {
    width_ = model_.max_width;
    height_ = model_.max_height;
    bin_ = 1;
    img_type_ = model_.formats.empty() ? IMG_RAW8 : model_.formats.front();
    if (std::find(model_.formats.begin(), model_.formats.end(), IMG_RAW8) != model_.formats.end()) img_type_ = IMG_RAW8;
    start_x_ = start_y_ = 0;
    mode_ = QEL_MODE_NORMAL;
    outputs_[0] = outputs_[1] = TriggerOutput{};
    exposure_ = Exposure{};
    dropped_ = 0;
    dark_.reset();
    has_last_gps_ = false;
}

// What initialising and closing do: every setting back to its default, the cooler's included; the
// sensor keeps its temperature.
void Camera::restore_defaults() {
    const SimTime now = clock::now();
    const double temperature = controls_.temperature(now);
    controls_.init(model_, now);
    controls_.force_temperature(temperature, now);
    reset_settings();
}

// ---- lifecycle and identity

int Camera::info(QEL_CAMERA_INFO *info) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::any).outputs({info})) return rc;
    fill_info(*this, info);
    return QEL_SUCCESS;
}

int Camera::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::any)) return rc;
    if (state_ == State::closed) state_ = State::open;
    return QEL_SUCCESS;
}

int Camera::init() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::open).idle()) return rc;
    restore_defaults();
    state_ = State::initialised;
    return QEL_SUCCESS;
}

int Camera::close() {
    std::shared_ptr<Capture> capture;
    std::shared_ptr<Readout> readout;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (int rc = check(Need::any)) return rc;
        capture = detach_capture();
        readout = detach_readout();
        if (state_ != State::closed) restore_defaults();  // the flash is kept too
        state_ = State::closed;
        cv_.notify_all();
    }
    join(capture);
    join(readout);
    return QEL_SUCCESS;
}

void Camera::unplug() {
    std::shared_ptr<Capture> capture;
    std::shared_ptr<Readout> readout;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        removed_ = true;
        capture = detach_capture();
        readout = detach_readout();
        state_ = State::closed;
        cv_.notify_all();
    }
    join(capture);
    join(readout);
}

int Camera::get_id(QEL_ID *id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::open).outputs({id})) return rc;
    unsigned char bytes[8];
    flash::load(model_.serial.empty() ? "#" + std::to_string(id_) : model_.serial, bytes);
    std::memcpy(id->id, bytes, 8);
    return QEL_SUCCESS;
}

int Camera::set_id(const QEL_ID &id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::open).idle()) return rc;
    if (!flash::store(model_.serial.empty() ? "#" + std::to_string(id_) : model_.serial, id.id))
        return QEL_ERR_GENERAL;
    return QEL_SUCCESS;
}

int Camera::serial_number(QEL_ID *serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A model without a serial number refuses with QEL_ERR_GENERAL.
    if (int rc = check(Need::open).lacking(model_.serial.empty() ? QEL_ERR_GENERAL : 0).outputs({serial})) return rc;
    std::memset(serial->id, 0, 8);
    std::memcpy(serial->id, model_.serial.data(), std::min<std::size_t>(8, model_.serial.size()));
    return QEL_SUCCESS;
}

// ---- controls

int Camera::num_controls(int *count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::open).outputs({count})) return rc;
    *count = static_cast<int>(controls_.caps().size());
    return QEL_SUCCESS;
}

int Camera::control_caps(int index, QEL_CONTROL_CAPS *caps) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::open).outputs({caps})) return rc;
    if (index < 0 || index >= static_cast<int>(controls_.caps().size())) return QEL_ERR_INVALID_INDEX;
    const ControlCaps &c = controls_.caps()[static_cast<std::size_t>(index)];
    QEL_CONTROL_CAPS out;
    std::memset(&out, 0, sizeof out);
    std::snprintf(out.name, sizeof out.name, "%s", c.name);
    std::snprintf(out.description, sizeof out.description, "%s", c.description);
    out.max_value = c.max;
    out.min_value = c.min;
    out.default_value = c.def;
    out.is_auto_supported = c.is_auto;
    out.is_writable = c.writable;
    out.control_type = c.type;
    *caps = out;
    return QEL_SUCCESS;
}

int Camera::get_control(int type, QEL_LONG *value, QEL_BOOL *is_auto) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int lacking = controls_.find(type) ? QEL_SUCCESS : QEL_ERR_INVALID_CONTROL_TYPE;
    if (int rc = check(Need::initialised).lacking(lacking).outputs({value, is_auto})) return rc;
    int v = 0;
    bool a = false;
    if (int rc = controls_.get(type, clock::now(), v, a)) return rc;
    *value = v;
    *is_auto = a ? 1 : 0;
    return QEL_SUCCESS;
}

int Camera::set_control(int type, QEL_LONG value, QEL_BOOL is_auto) {
    std::lock_guard<std::mutex> lock(mutex_);
    const ControlCaps *c = controls_.find(type);
    if (int rc = check(Need::initialised).lacking(c ? QEL_SUCCESS : QEL_ERR_INVALID_CONTROL_TYPE)) return rc;
    if ((type == QEL_GPS_START_LINE || type == QEL_GPS_END_LINE) && c->writable && (value < 0 || value >= height_))
        return QEL_ERR_GPS_PARAM_OUT_OF_RANGE;
    const int rc = controls_.set(type, value, is_auto != 0, clock::now());
    // Exposure and bandwidth change the producer's schedule: wake it to pick them up.
    if (rc == QEL_SUCCESS) cv_.notify_all();
    return rc;
}

// ---- region of interest

int Camera::set_roi(int width, int height, int bin, int img_type) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised).idle()) return rc;
    if (std::find(model_.formats.begin(), model_.formats.end(), img_type) == model_.formats.end())
        return QEL_ERR_INVALID_IMAGE_TYPE;
    if (std::find(model_.bins.begin(), model_.bins.end(), bin) == model_.bins.end()) return QEL_ERR_INVALID_SIZE;
    // Products in 64 bits: width * bin must not overflow on the way to the comparison.
    if (width <= 0 || height <= 0 || width % 8 || height % 2 ||
        static_cast<std::int64_t>(width) * bin > model_.max_width ||
        static_cast<std::int64_t>(height) * bin > model_.max_height)
        return QEL_ERR_INVALID_SIZE;
    width_ = width;
    height_ = height;
    bin_ = bin;
    img_type_ = img_type;
    // A new size or format puts the region in the middle of the sensor; even offsets keep the
    // colour filter phase of the full frame.
    start_x_ = (model_.max_width / bin - width) / 2 / 2 * 2;
    start_y_ = (model_.max_height / bin - height) / 2 / 2 * 2;
    controls_.clamp(QEL_GPS_START_LINE, 0, height - 1);
    controls_.clamp(QEL_GPS_END_LINE, 0, height - 1);
    return QEL_SUCCESS;
}

int Camera::get_roi(int *width, int *height, int *bin, int *img_type) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised).outputs({width, height, bin, img_type})) return rc;
    *width = width_;
    *height = height_;
    *bin = bin_;
    *img_type = img_type_;
    return QEL_SUCCESS;
}

int Camera::set_start(int x, int y) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised).no_exposure()) return rc;
    // Moving the region during video is allowed: the next frame is read from the new place.
    if (x < 0 || y < 0 || static_cast<std::int64_t>(x) + width_ > model_.max_width / bin_ ||
        static_cast<std::int64_t>(y) + height_ > model_.max_height / bin_)
        return QEL_ERR_OUT_OF_BOUNDARY;
    start_x_ = x;
    start_y_ = y;
    return QEL_SUCCESS;
}

int Camera::get_start(int *x, int *y) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised).outputs({x, y})) return rc;
    *x = start_x_;
    *y = start_y_;
    return QEL_SUCCESS;
}

// ---- guiding, dark frames, presets, GPS

int Camera::guide(int direction, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::open).lacking(model_.st4_port ? QEL_SUCCESS : QEL_ERR_GENERAL)) return rc;
    if (direction < QEL_GUIDE_NORTH || direction > QEL_GUIDE_WEST) return QEL_ERR_GENERAL;
    mount_.guide(direction, on, clock::now());
    return QEL_SUCCESS;
}

int Camera::enable_dark(const char *path) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (int rc = check(Need::initialised)) return rc;
    }
    if (!path) return QEL_ERR_INVALID_PATH;
    // The file is read without the lock: a slow disk must not stall the frame producer.
    std::vector<std::uint8_t> grey;
    if (int rc = read_dark_bmp(path, model_.max_width, model_.max_height, grey)) return rc;
    auto map = std::make_shared<const std::vector<std::uint8_t>>(std::move(grey));
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised)) return rc;
    dark_ = std::move(map);
    return QEL_SUCCESS;
}

int Camera::disable_dark() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised)) return rc;
    dark_.reset();
    return QEL_SUCCESS;
}

int Camera::gain_offset(int *offset_highest_dr, int *offset_unity_gain, int *gain_lowest_rn, int *offset_lowest_rn) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::open).outputs({offset_highest_dr, offset_unity_gain, gain_lowest_rn, offset_lowest_rn}))
        return rc;
    *offset_highest_dr = model_.offset_highest_dr;
    *offset_unity_gain = model_.offset_unity_gain;
    *gain_lowest_rn = model_.gain_lowest_rn;
    *offset_lowest_rn = model_.offset_lowest_rn;
    return QEL_SUCCESS;
}

int Camera::lmh_gain_offset(int *low, int *mid, int *high, int *high_offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::open).outputs({low, mid, high, high_offset})) return rc;
    *low = model_.lmh_low;
    *mid = model_.lmh_mid;
    *high = model_.lmh_high;
    *high_offset = model_.lmh_high_offset;
    return QEL_SUCCESS;
}

int Camera::gps_data(QEL_GPS_DATA *start, QEL_GPS_DATA *end) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised).lacking(gps_status_code(model_)).outputs({start, end})) return rc;
    update_exposure(clock::now());
    if (!has_last_gps_) return QEL_ERR_GPS_DATA_INVALID;  // no frame yet
    if (last_gps_start_.satellite_num == 0) return QEL_ERR_GPS_DATA_INVALID;  // the last frame had no fix
    *start = last_gps_start_;
    *end = last_gps_end_;
    return QEL_SUCCESS;
}

void Camera::make_gps(SimTime start, SimTime end, double line_time, QEL_GPS_DATA &a, QEL_GPS_DATA &b) const {
    // Rows of a rolling shutter start one line time apart: the records give the start of the
    // start line's exposure and the end of the end line's.
    const auto at = [&](SimTime t, int line) {
        return utc_base_us_ + t + static_cast<std::int64_t>(line * line_time + 0.5);
    };
    // A receiver without a fix keeps its clock running but knows no position and sees no satellite.
    const auto record = [&](std::int64_t utc, QEL_GPS_DATA &r) {
        make_gps_record(model_, utc, r);
        if (gps_fix_at(model_, utc)) return;
        r.satellite_num = 0;
        r.latitude = r.longitude = 0;
        r.altitude = 0;
    };
    record(at(start, controls_.value(QEL_GPS_START_LINE)), a);
    record(at(end, controls_.value(QEL_GPS_END_LINE)), b);
}

// ---- control API

int Camera::pointing(double *x, double *y) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::any).outputs({x, y})) return rc;
    mount_.offset_at(clock::now(), *x, *y);
    return QEL_SUCCESS;
}

int Camera::force_temperature(double celsius) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::any)) return rc;
    if (!(celsius >= -50 && celsius <= 100)) return QEL_ERR_GENERAL;
    controls_.force_temperature(celsius, clock::now());
    return QEL_SUCCESS;
}

// ---- camera information

void fill_info(const Camera &camera, QEL_CAMERA_INFO *info) {
    const Model &m = camera.model();
    QEL_CAMERA_INFO out;
    std::memset(&out, 0, sizeof out);
    std::snprintf(out.name, sizeof out.name, "%s", m.name.c_str());
    out.camera_id = camera.id();
    out.max_height = m.max_height;
    out.max_width = m.max_width;
    out.is_color_camera = m.is_color;
    out.bayer_pattern = m.bayer_pattern;
    for (std::size_t i = 0; i < 16; ++i) out.supported_bins[i] = i < m.bins.size() ? m.bins[i] : 0;
    for (std::size_t i = 0; i < 8; ++i) out.supported_video_formats[i] = i < m.formats.size() ? m.formats[i] : IMG_END;
    out.pixel_size = m.pixel_size;
    out.mechanical_shutter = m.mechanical_shutter;
    out.st_4_port = m.st4_port;
    out.is_cooler_cam = m.cooler;
    out.is_usb3_host = m.usb3;
    out.is_usb3_camera = m.usb3;
    out.elec_per_adu = m.elec_per_adu;
    out.bit_depth = m.bit_depth;
    out.is_trigger_cam = m.trigger;
    *info = out;
}

}  // namespace qelsim
