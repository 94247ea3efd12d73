#include "mount.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "sky.h"

namespace qelsim {

namespace {
constexpr std::size_t kHistory = 512;
constexpr double kPi = 3.141592653589793;
constexpr double kSidereal = 7.292115e-5;  // radians per second
}  // namespace

void Mount::reset(const Model &model, SimTime now) {
    const double scale = pixel_scale_arcsec(model);
    rate_ = model.guide_rate;
    drift_x_ = model.drift_x;
    drift_y_ = model.drift_y;
    backlash_ = model.dec_backlash / scale;
    periodic_.clear();
    for (const PeriodicTerm &p : model.periodic_error)
        periodic_.push_back({p.amplitude / scale, 2 * kPi / p.period, p.phase * kPi / 180});
    polar_ = model.polar_error * 60 / scale;
    polar_phase_ = model.polar_angle * kPi / 180;
    // A positive camera angle turns the sky clockwise on the image (on the west side of the pier the
    // registry has turned it over by half a turn).
    const double angle = model.rotation * kPi / 180;
    west_x_ = std::cos(angle), west_y_ = std::sin(angle);
    north_x_ = std::sin(angle), north_y_ = -std::cos(angle);
    dec_sign_ = model.pier_west ? -1 : 1;
    t0_ = base_t_ = now;
    // The declination gears start engaged towards the north.
    base_ = Axes{0, 0, 0};
    std::fill(std::begin(base_on_), std::end(base_on_), false);
    std::fill(std::begin(on_), std::end(on_), false);
    events_.clear();
}

// Guiding north moves the scene towards the north of the sky (up the sensor at camera angle 0), west
// towards the west (to the right).
void Mount::velocity(const bool on[4], double &v_ra, double &v_dec) const {
    v_ra = rate_ * ((on[QEL_GUIDE_WEST] ? 1 : 0) - (on[QEL_GUIDE_EAST] ? 1 : 0));
    v_dec = rate_ * ((on[QEL_GUIDE_NORTH] ? 1 : 0) - (on[QEL_GUIDE_SOUTH] ? 1 : 0));
}

// The declination axis follows its motor's command once the play of the gears is taken up: it stays
// within [command, command + backlash] (at the command while driven north, as it starts), which for a
// command moving one way is a running clamp.
void Mount::move(Axes &a, double v_ra, double v_dec, double seconds, double backlash) {
    a.ra += v_ra * seconds;
    a.dec_command += v_dec * seconds;
    a.dec = std::min(std::max(a.dec, a.dec_command), a.dec_command + backlash);
}

void Mount::guide(int direction, bool on, SimTime now) {
    if (on_[direction] == on) return;
    on_[direction] = on;
    events_.push_back(Event{std::max(now, events_.empty() ? base_t_ : events_.back().t), direction, on});
    while (events_.size() > kHistory) {
        const Event e = events_.front();
        events_.pop_front();
        double v_ra, v_dec;
        velocity(base_on_, v_ra, v_dec);
        move(base_, v_ra, v_dec, static_cast<double>(e.t - base_t_) * 1e-6, backlash_);
        base_t_ = e.t;
        base_on_[e.direction] = e.on;
    }
}

void Mount::offset_at(SimTime t, double &x, double &y) const {
    bool on[4];
    std::copy(std::begin(base_on_), std::end(base_on_), on);
    Axes a = base_;
    SimTime cur = base_t_;
    double v_ra, v_dec;
    for (const Event &e : events_) {
        if (e.t > t) break;
        velocity(on, v_ra, v_dec);
        move(a, v_ra, v_dec, static_cast<double>(e.t - cur) * 1e-6, backlash_);
        cur = e.t;
        on[e.direction] = e.on;
    }
    velocity(on, v_ra, v_dec);
    if (t > cur) move(a, v_ra, v_dec, static_cast<double>(t - cur) * 1e-6, backlash_);
    const double s = static_cast<double>(t - t0_) * 1e-6;
    double west = a.ra, north = dec_sign_ * a.dec;
    for (const Term &p : periodic_) west += p.amplitude * (std::sin(p.omega * s + p.phase) - std::sin(p.phase));
    // Polar misalignment: the declination drifts by the error times the change of the sine of the hour angle.
    if (polar_ != 0) north += polar_ * (std::sin(kSidereal * s + polar_phase_) - std::sin(polar_phase_));
    x = west * west_x_ + north * north_x_ + drift_x_ * s;
    y = west * west_y_ + north * north_y_ + drift_y_ * s;
}

void Mount::mean_offset(SimTime start, SimTime end, double &x, double &y) const {
    if (end <= start) return offset_at(start, x, y);
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
