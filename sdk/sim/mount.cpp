#include "mount.h"

#include <algorithm>
#include <iterator>

namespace qelsim {

namespace {
constexpr std::size_t kHistory = 512;
}

void Mount::reset(const Model &model, SimTime now) {
    rate_ = model.guide_rate;
    drift_x_ = model.drift_x;
    drift_y_ = model.drift_y;
    base_t_ = now;
    base_x_ = base_y_ = 0;
    std::fill(std::begin(base_on_), std::end(base_on_), false);
    std::fill(std::begin(on_), std::end(on_), false);
    events_.clear();
}

// Guiding north moves the scene up the sensor (towards row 0), south down, east towards column 0,
// west away from it.
void Mount::velocity(const bool on[4], double &vx, double &vy) const {
    vx = drift_x_ + rate_ * ((on[QEL_GUIDE_WEST] ? 1 : 0) - (on[QEL_GUIDE_EAST] ? 1 : 0));
    vy = drift_y_ + rate_ * ((on[QEL_GUIDE_SOUTH] ? 1 : 0) - (on[QEL_GUIDE_NORTH] ? 1 : 0));
}

void Mount::guide(int direction, bool on, SimTime now) {
    if (on_[direction] == on) return;
    on_[direction] = on;
    events_.push_back(Event{std::max(now, events_.empty() ? base_t_ : events_.back().t), direction, on});
    while (events_.size() > kHistory) {
        const Event e = events_.front();
        events_.pop_front();
        double vx, vy;
        velocity(base_on_, vx, vy);
        base_x_ += vx * static_cast<double>(e.t - base_t_) * 1e-6;
        base_y_ += vy * static_cast<double>(e.t - base_t_) * 1e-6;
        base_t_ = e.t;
        base_on_[e.direction] = e.on;
    }
}

void Mount::offset_at(SimTime t, double &x, double &y) const {
    bool on[4];
    std::copy(std::begin(base_on_), std::end(base_on_), on);
    double px = base_x_, py = base_y_, vx, vy;
    SimTime cur = base_t_;
    for (const Event &e : events_) {
        if (e.t > t) break;
        velocity(on, vx, vy);
        px += vx * static_cast<double>(e.t - cur) * 1e-6;
        py += vy * static_cast<double>(e.t - cur) * 1e-6;
        cur = e.t;
        on[e.direction] = e.on;
    }
    velocity(on, vx, vy);
    x = px + vx * static_cast<double>(t - cur) * 1e-6;
    y = py + vy * static_cast<double>(t - cur) * 1e-6;
}

void Mount::mean_offset(SimTime start, SimTime end, double &x, double &y) const {
    if (end <= start) return offset_at(start, x, y);
    // The offset is piecewise linear in time: the mean of many evenly spaced samples is its centroid.
    constexpr int kSamples = 33;
    double sx = 0, sy = 0;
    for (int i = 0; i < kSamples; ++i) {
        const SimTime t = start + (end - start) * i / (kSamples - 1);
        double px, py;
        offset_at(t, px, py);
        sx += px;
        sy += py;
    }
    x = sx / kSamples;
    y = sy / kSamples;
}

}  // namespace qelsim
