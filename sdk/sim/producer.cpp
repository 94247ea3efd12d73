// Exposure and video timing: single exposures, the video frame producer, trigger modes and readout.
#include "producer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "camera.h"
#include "gps.h"

namespace qelsim {

namespace {
constexpr int kMinExposure = 32;  // microseconds, the shortest a level trigger can expose
}

// ---- timing

// One row of the region at the current speed setting.
double Camera::line_time_us() const {
    const double lt = model_.line_time_us * (controls_.value(QEL_HIGH_SPEED_MODE) ? 0.5 : 1.0);
    // Binning in hardware reads each binned row once; in software every sensor row is read.
    return controls_.value(QEL_HARDWARE_BIN) ? lt : lt * bin_;
}

// Reading out a frame takes as long as the slower of the sensor and the USB link.
double Camera::readout_us() const {
    const double sensor = line_time_us() * height_;
    const double bytes = static_cast<double>(width_) * height_ * bytes_per_pixel(img_type_);
    const double link = model_.usb_mbytes_per_s * (model_.usb3 ? 1.0 : 0.125) *
                        controls_.value(QEL_BANDWIDTHOVERLOAD) / 100.0;  // bytes per microsecond
    return std::max(sensor, bytes / link);
}

// In video, the next exposure starts while the previous frame is read out.
int Camera::frame_interval_us(double readout) const {
    return static_cast<int>(std::ceil(std::max<double>(controls_.value(QEL_EXPOSURE), readout)));
}

int Camera::timing(double *readout_us_out, double *frame_interval_out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::any).outputs({readout_us_out, frame_interval_out})) return rc;
    const double r = readout_us();
    *readout_us_out = r;
    *frame_interval_out = frame_interval_us(r);
    return QEL_SUCCESS;
}

// ---- modes and triggers

int Camera::support_modes(QEL_SUPPORTED_MODE *modes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::open).outputs({modes})) return rc;
    QEL_SUPPORTED_MODE out;
    for (int &m : out.SupportedCameraMode) m = QEL_MODE_END;
    out.SupportedCameraMode[0] = QEL_MODE_NORMAL;
    if (model_.trigger)
        for (int m = QEL_MODE_TRIG_SOFT_EDGE; m <= QEL_MODE_TRIG_LOW_LEVEL; ++m) out.SupportedCameraMode[m] = m;
    *modes = out;
    return QEL_SUCCESS;
}

int Camera::get_mode(int *mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised).outputs({mode})) return rc;
    *mode = mode_;
    return QEL_SUCCESS;
}

int Camera::set_mode(int mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised).idle()) return rc;
    const bool supported = mode == QEL_MODE_NORMAL ||
                           (model_.trigger && mode >= QEL_MODE_TRIG_SOFT_EDGE && mode <= QEL_MODE_TRIG_LOW_LEVEL);
    if (!supported) return QEL_ERR_INVALID_MODE;
    mode_ = mode;
    return QEL_SUCCESS;
}

int Camera::soft_trigger(bool start) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Triggers start frames of a running capture in a soft trigger mode.
    const bool soft = mode_ == QEL_MODE_TRIG_SOFT_EDGE || mode_ == QEL_MODE_TRIG_SOFT_LEVEL;
    if (int rc = check(Need::initialised).lacking(soft ? QEL_SUCCESS : QEL_ERR_INVALID_MODE).capturing()) return rc;
    const SimTime now = clock::now();
    Capture &c = *capture_;
    if (mode_ == QEL_MODE_TRIG_SOFT_EDGE) {
        if (start) c.edges.push_back(now);
    } else if (start && !c.level_active) {
        c.level_active = true;
        c.level_since = now;
    } else if (!start && c.level_active) {
        c.level_active = false;
        c.windows.emplace_back(c.level_since, now);
    }
    cv_.notify_all();
    clock::poke(c.agent);
    return QEL_SUCCESS;
}

int Camera::set_trigger_output(int pin, bool high, QEL_LONG delay, QEL_LONG duration) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised).lacking(model_.trigger ? QEL_SUCCESS : QEL_ERR_INVALID_MODE)) return rc;
    if (pin != QEL_TRIG_OUTPUT_PINA && pin != QEL_TRIG_OUTPUT_PINB) return QEL_ERR_GENERAL;
    if (delay < 0 || duration < 0) return QEL_ERR_GENERAL;
    outputs_[pin] = TriggerOutput{high, delay, duration};
    return QEL_SUCCESS;
}

int Camera::get_trigger_output(int pin, QEL_BOOL *high, QEL_LONG *delay, QEL_LONG *duration) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int lacking = model_.trigger ? QEL_SUCCESS : QEL_ERR_INVALID_MODE;
    if (int rc = check(Need::initialised).lacking(lacking).outputs({high, delay, duration})) return rc;
    if (pin != QEL_TRIG_OUTPUT_PINA && pin != QEL_TRIG_OUTPUT_PINB) return QEL_ERR_GENERAL;
    *high = outputs_[pin].high ? 1 : 0;
    *delay = outputs_[pin].delay;
    *duration = outputs_[pin].duration;
    return QEL_SUCCESS;
}

// The external trigger input: an edge of the mode's kind starts an exposure; in level modes the
// camera exposes while the line is at the mode's level.
void Camera::on_trigger_level(int old_level, int level, SimTime now) {
    if (!capture_ || old_level == level) return;
    Capture &c = *capture_;
    switch (c.mode) {
        case QEL_MODE_TRIG_RISE_EDGE:
            if (level) c.edges.push_back(now);
            break;
        case QEL_MODE_TRIG_FALL_EDGE:
            if (!level) c.edges.push_back(now);
            break;
        case QEL_MODE_TRIG_HIGH_LEVEL:
        case QEL_MODE_TRIG_LOW_LEVEL: {
            const bool active = (level != 0) == (c.mode == QEL_MODE_TRIG_HIGH_LEVEL);
            if (active && !c.level_active) {
                c.level_active = true;
                c.level_since = now;
            } else if (!active && c.level_active) {
                c.level_active = false;
                c.windows.emplace_back(c.level_since, now);
            }
            break;
        }
        default:
            break;
    }
    cv_.notify_all();
    clock::poke(c.agent);
}

int Camera::set_trigger_input(int level) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::any).lacking(model_.trigger ? QEL_SUCCESS : QEL_ERR_INVALID_MODE)) return rc;
    const int old = trigger_line_;
    trigger_line_ = level ? 1 : 0;
    on_trigger_level(old, trigger_line_, clock::now());
    return QEL_SUCCESS;
}

int Camera::trigger_pulse(int duration_us) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::any).lacking(model_.trigger ? QEL_SUCCESS : QEL_ERR_INVALID_MODE)) return rc;
    if (duration_us < 0) return QEL_ERR_GENERAL;
    if (!capture_) return QEL_SUCCESS;  // nobody listens to the line
    Capture &c = *capture_;
    const SimTime now = clock::now();
    switch (c.mode) {
        case QEL_MODE_TRIG_RISE_EDGE:
        case QEL_MODE_TRIG_FALL_EDGE:
            c.edges.push_back(now);
            break;
        case QEL_MODE_TRIG_HIGH_LEVEL:
        case QEL_MODE_TRIG_LOW_LEVEL:
            // The pulse holds the active level for its duration and returns to where the line was; on
            // a line already held active it changes nothing.
            if (!c.level_active) c.windows.emplace_back(now, now + duration_us);
            break;
        default:
            return QEL_ERR_INVALID_MODE;
    }
    cv_.notify_all();
    clock::poke(c.agent);
    return QEL_SUCCESS;
}

// ---- single exposures

void Camera::update_exposure(SimTime now) {
    if (exposure_.phase == Exposure::working && now >= exposure_.ready && exposure_.image) {
        exposure_.phase = Exposure::done;
        if (model_.gps) {
            const double lt = exposure_.params.height > 0 ? (exposure_.ready - exposure_.end) / double(exposure_.params.height) : 0;
            make_gps(exposure_.start, exposure_.end, lt, exposure_.gps_start, exposure_.gps_end);
            last_gps_start_ = exposure_.gps_start;
            last_gps_end_ = exposure_.gps_end;
            has_last_gps_ = true;
        }
    }
}

int Camera::start_exposure(bool dark) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Trigger modes take frames in video only.
    const int lacking = mode_ == QEL_MODE_NORMAL ? QEL_SUCCESS : QEL_ERR_INVALID_MODE;
    if (int rc = check(Need::initialised).lacking(lacking).idle()) return rc;
    if (!readout_)
        if (int rc = start_readout()) return rc;
    const SimTime now = clock::now();
    update_exposure(now);
    Exposure e;
    e.phase = Exposure::working;
    e.params = frame_params();
    e.params.dark = e.params.dark || (dark && model_.mechanical_shutter);  // else only a cover keeps light out
    e.params.frame = frame_number_++;
    e.start = now;
    e.end = now + controls_.value(QEL_EXPOSURE);
    e.ready = e.end + static_cast<SimTime>(std::ceil(readout_us()));
    exposure_ = std::move(e);
    cv_.notify_all();
    clock::poke(readout_->agent);
    return QEL_SUCCESS;
}

int Camera::stop_exposure() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised)) return rc;
    const SimTime now = clock::now();
    update_exposure(now);
    if (exposure_.phase == Exposure::working) {
        exposure_.phase = Exposure::failed;
        // The read-out lets this exposure go, and a render under way stops.
        cv_.notify_all();
        if (readout_) {
            readout_->cancel = true;
            clock::poke(readout_->agent);
        }
    }
    return QEL_SUCCESS;
}

int Camera::exposure_status(int *status) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised).outputs({status})) return rc;
    // In the stepped clock, asking after a running exposure is waiting for it: time moves to its end,
    // where the read-out renders the image, and on to the end of its readout time.
    if (exposure_.phase == Exposure::working && clock::stepped()) {
        const SimTime ready = exposure_.ready;
        lock.unlock();
        clock::advance_to(ready);
        lock.lock();
    }
    update_exposure(clock::now());
    switch (exposure_.phase) {
        case Exposure::idle: *status = QEL_EXP_IDLE; break;
        case Exposure::working: *status = QEL_EXP_WORKING; break;
        case Exposure::done: *status = QEL_EXP_SUCCESS; break;
        case Exposure::failed: *status = QEL_EXP_FAILED; break;
    }
    return QEL_SUCCESS;
}

int Camera::exposure_data(unsigned char *buffer, QEL_LONG size, QEL_GPS_DATA *gps, bool want_gps) {
    std::unique_lock<std::mutex> lock(mutex_);
    const int lacking = want_gps ? gps_status_code(model_) : QEL_SUCCESS;
    if (int rc = check(Need::initialised).lacking(lacking).outputs({buffer}).outputs({gps}, want_gps).idle()) return rc;
    const SimTime now = clock::now();
    update_exposure(now);
    if (exposure_.phase != Exposure::done || exposure_.consumed) return QEL_ERR_INVALID_SEQUENCE;
    const std::size_t bytes = image_bytes(exposure_.params);
    if (size < 0 || static_cast<std::size_t>(size) < bytes) return QEL_ERR_BUFFER_TOO_SMALL;
    exposure_.consumed = true;
    const std::shared_ptr<const std::vector<std::uint8_t>> image = exposure_.image;
    const QEL_GPS_DATA record = exposure_.gps_start;
    lock.unlock();
    // A copy of the camera's frame buffer, without the lock: the read-out renders the next exposure into
    // another buffer while this one is held.
    std::memcpy(buffer, image->data(), bytes);
    if (want_gps) *gps = record;
    return QEL_SUCCESS;
}

int Camera::start_readout() {
    auto r = std::make_shared<Readout>();
    r->agent = clock::join();
    try {
        r->thread = std::thread(&Camera::read_out, this, r);
    } catch (...) {
        clock::leave(r->agent);
        return QEL_ERR_GENERAL;
    }
    readout_ = std::move(r);
    return QEL_SUCCESS;
}

std::shared_ptr<Readout> Camera::detach_readout() {
    std::shared_ptr<Readout> r = std::move(readout_);
    readout_.reset();
    if (r) {
        r->stop = true;
        r->cancel = true;
        cv_.notify_all();
        clock::poke(r->agent);
    }
    frame_buffer_.reset();  // a render under way keeps it until it ends
    exposure_.image.reset();
    return r;
}

void Camera::join(const std::shared_ptr<Readout> &readout) {
    if (readout && readout->thread.joinable()) readout->thread.join();
}

// The read-out: waits for an exposure, then for its end on the simulated clock, and renders its image
// into the frame buffer during the readout time; the exposure is done when that time has passed and the
// image is there. In the stepped clock it is an agent of the clock: time does not pass the end of an
// exposure before its image is rendered, so frames depend only on the calls made.
void Camera::read_out(std::shared_ptr<Readout> r) {
    struct Leave {
        clock::Agent *agent;
        ~Leave() { clock::leave(agent); }
    } leave{r->agent};
    std::unique_lock<std::mutex> lock(mutex_);
    const auto waiting = [&] { return r->stop || (exposure_.phase == Exposure::working && !exposure_.image); };
    for (;;) {
        if (r->agent)
            clock::wait_until(lock, cv_, kForever, waiting, r->agent);
        else
            cv_.wait(lock, waiting);
        if (r->stop) return;
        const std::uint64_t frame = exposure_.params.frame;
        const auto gone = [&] {  // stopped, or replaced by another exposure (or video)
            return exposure_.phase != Exposure::working || exposure_.params.frame != frame;
        };
        clock::wait_until(lock, cv_, exposure_.end, [&] { return r->stop || gone(); }, r->agent);
        if (r->stop) return;
        if (gone()) continue;
        FrameParams p = exposure_.params;
        finish_frame(p, exposure_.start, exposure_.end);
        // The camera's frame buffer, unless a read still copies the last image from it: then a new one,
        // and the old one goes when that copy is done.
        if (!frame_buffer_ || frame_buffer_.use_count() > 1) frame_buffer_ = std::make_shared<std::vector<std::uint8_t>>();
        const std::shared_ptr<std::vector<std::uint8_t>> image = frame_buffer_;
        r->cancel = false;
        lock.unlock();
        bool rendered = true;
        try {
            image->resize(image_bytes(p));
            Scratch scratch;
            synthesize(p, image->data(), scratch, &r->cancel);
        } catch (const std::bad_alloc &) {
            rendered = false;
        }
        lock.lock();
        if (r->stop) return;
        if (gone()) continue;
        if (rendered)
            exposure_.image = image;
        else
            exposure_.phase = Exposure::failed;
        cv_.notify_all();
    }
}

// ---- video

std::shared_ptr<Capture> Camera::detach_capture() {
    std::shared_ptr<Capture> c = std::move(capture_);
    capture_.reset();
    if (c) {
        c->stop = true;
        queue_.clear();
        cv_.notify_all();
        clock::poke(c->agent);
    }
    return c;
}

void Camera::join(const std::shared_ptr<Capture> &capture) {
    if (!capture || !capture->thread.joinable()) return;
    if (capture->thread.get_id() == std::this_thread::get_id())
        capture->thread.detach();
    else
        capture->thread.join();
}

int Camera::start_video() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised).no_exposure()) return rc;
    const SimTime now = clock::now();
    update_exposure(now);
    if (capture_) return QEL_SUCCESS;  // already running
    auto c = std::make_shared<Capture>();
    c->mode = mode_;
    c->started = now;
    // A low-level trigger finds its line already low at the start: the first exposure starts now.
    const bool line_active = (mode_ == QEL_MODE_TRIG_HIGH_LEVEL && trigger_line_) ||
                             (mode_ == QEL_MODE_TRIG_LOW_LEVEL && !trigger_line_);
    if (line_active) {
        c->level_active = true;
        c->level_since = now;
    }
    queue_.clear();
    dropped_ = 0;
    exposure_ = Exposure{};  // video discards a single frame nobody read
    cv_.notify_all();
    if (readout_) clock::poke(readout_->agent);
    capture_ = c;
    c->agent = clock::join();
    try {
        c->thread = std::thread(&Camera::produce, this, c);
    } catch (...) {
        clock::leave(c->agent);
        capture_.reset();
        return QEL_ERR_GENERAL;
    }
    return QEL_SUCCESS;
}

int Camera::stop_video() {
    std::shared_ptr<Capture> capture;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (int rc = check(Need::initialised)) return rc;
        capture = detach_capture();
    }
    join(capture);
    return QEL_SUCCESS;
}

int Camera::dropped_frames(int *dropped) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::initialised).outputs({dropped})) return rc;
    *dropped = dropped_;
    return QEL_SUCCESS;
}

int Camera::video_data(unsigned char *buffer, QEL_LONG size, int wait_ms, QEL_GPS_DATA *gps, bool want_gps) {
    std::unique_lock<std::mutex> lock(mutex_);
    const int lacking = want_gps ? gps_status_code(model_) : QEL_SUCCESS;
    if (int rc = check(Need::initialised).lacking(lacking).outputs({buffer}).outputs({gps}, want_gps).capturing())
        return rc;
    if (wait_ms < -1) return QEL_ERR_GENERAL;
    const std::size_t bytes = static_cast<std::size_t>(width_) * height_ * bytes_per_pixel(img_type_);
    if (size < 0 || static_cast<std::size_t>(size) < bytes) return QEL_ERR_BUFFER_TOO_SMALL;
    const std::shared_ptr<Capture> capture = capture_;
    const SimTime until = wait_ms < 0 ? kForever : clock::now() + static_cast<SimTime>(wait_ms) * 1000;
    // Wakes for a frame, for the end of this capture, and for the camera closing or going away.
    clock::wait_until(lock, cv_, until, [&] { return !queue_.empty() || capture_ != capture || removed_; });
    if (removed_) return QEL_ERR_CAMERA_REMOVED;
    if (state_ == State::closed) return QEL_ERR_CAMERA_CLOSED;
    if (capture_ != capture) return QEL_ERR_INVALID_SEQUENCE;
    if (queue_.empty()) return QEL_ERR_TIMEOUT;
    std::unique_ptr<Frame> frame = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    std::memcpy(buffer, frame->pixels.data(), std::min(frame->size, bytes));
    if (want_gps) *gps = frame->gps_start;
    lock.lock();
    if (capture_ == capture && pool_.size() < static_cast<std::size_t>(model_.queue) + 2)
        pool_.push_back(std::move(frame));
    return QEL_SUCCESS;
}

// The frame producer: one thread per capture. It schedules exposures by the mode, waits for each to
// end on the simulated clock, synthesises the frame while it is "read out", and queues it when the
// readout is over. A full queue loses its oldest frame, which counts as dropped.
void Camera::produce(std::shared_ptr<Capture> cap) {
    struct Leave {
        clock::Agent *agent;
        ~Leave() { clock::leave(agent); }
    } leave{cap->agent};
    Scratch scratch;
    std::unique_lock<std::mutex> lock(mutex_);
    SimTime next_start = cap->started;  // normal mode: the free-running schedule
    SimTime free_at = cap->started;     // trigger modes: when the sensor can start the next exposure
    const auto stopped = [&] { return cap->stop; };
    while (!cap->stop) {
        SimTime start = 0, end = 0;
        const int exposure = controls_.value(QEL_EXPOSURE);
        double readout = readout_us();
        if (cap->mode == QEL_MODE_NORMAL) {
            const SimTime interval = frame_interval_us(readout);
            // A producer that fell whole frames behind (a slow host, or a clock sped up beyond what
            // synthesis can follow) skips them, as a camera whose host cannot keep up loses frames:
            // they count as dropped, and the frames that come keep their places in the schedule.
            const SimTime now = clock::now();
            if (interval > 0 && next_start + interval < now) {
                const SimTime behind = (now - next_start) / interval;
                next_start += behind * interval;
                dropped_ += static_cast<int>(std::min<SimTime>(behind, INT32_MAX - dropped_));
            }
            start = next_start;
            end = start + exposure;
            next_start = start + interval;
        } else if (cap->mode == QEL_MODE_TRIG_SOFT_EDGE || cap->mode == QEL_MODE_TRIG_RISE_EDGE ||
                   cap->mode == QEL_MODE_TRIG_FALL_EDGE) {
            clock::wait_until(lock, cv_, kForever, [&] { return cap->stop || !cap->edges.empty(); }, cap->agent);
            if (cap->stop) break;
            start = std::max(cap->edges.front(), free_at);
            cap->edges.pop_front();
            end = start + exposure;
            free_at = start + frame_interval_us(readout);
        } else {
            clock::wait_until(lock, cv_, kForever, [&] { return cap->stop || !cap->windows.empty(); }, cap->agent);
            if (cap->stop) break;
            start = std::max(cap->windows.front().first, free_at);
            end = std::max(cap->windows.front().second, start + kMinExposure);
            cap->windows.pop_front();
            free_at = start + std::max<SimTime>(end - start, static_cast<SimTime>(std::ceil(readout)));
        }
        clock::wait_until(lock, cv_, end, stopped, cap->agent);
        if (cap->stop) break;

        readout = readout_us();
        const SimTime ready = end + static_cast<SimTime>(std::ceil(readout));
        FrameParams p = frame_params();
        p.exposure_s = (end - start) * 1e-6;
        p.frame = frame_number_++;
        finish_frame(p, start, end);
        const std::size_t bytes = image_bytes(p);
        std::unique_ptr<Frame> frame;
        if (!pool_.empty()) {
            frame = std::move(pool_.back());
            pool_.pop_back();
        } else {
            frame = std::make_unique<Frame>();
        }
        frame->has_gps = model_.gps;
        if (model_.gps) make_gps(start, end, readout / std::max(1, height_), frame->gps_start, frame->gps_end);
        lock.unlock();
        if (frame->pixels.size() < bytes) frame->pixels.resize(bytes);
        frame->size = bytes;
        const double brightness = synthesize(p, frame->pixels.data(), scratch);
        lock.lock();
        if (cap->stop) break;
        if (controls_.is_auto(QEL_EXPOSURE) || controls_.is_auto(QEL_GAIN)) controls_.auto_adjust(brightness);

        clock::wait_until(lock, cv_, ready, stopped, cap->agent);
        if (cap->stop) break;
        while (queue_.size() >= static_cast<std::size_t>(model_.queue)) {
            pool_.push_back(std::move(queue_.front()));
            queue_.pop_front();
            ++dropped_;
        }
        if (frame->has_gps) {
            last_gps_start_ = frame->gps_start;
            last_gps_end_ = frame->gps_end;
            has_last_gps_ = true;
        }
        queue_.push_back(std::move(frame));
        cv_.notify_all();
    }
}

}  // namespace qelsim
