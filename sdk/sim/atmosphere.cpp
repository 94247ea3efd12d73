#include "atmosphere.h"

#include <array>
#include <algorithm>
#include <cmath>

#include "camera.h"
#include "random.h"

namespace qelsim {

namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kShortest = 0.1;  // seconds: shorter exposures freeze the image's motion
}  // namespace

// Clouds: a state drawn from the seed every `cloud_time` seconds, eased between its draws; the sky is
// clear while the state is below 0.4 and the clouds thicken to `clouds` as it rises to 1.
double transparency_at(const Model &m, SimTime t) {
    if (m.clouds <= 0) return m.transparency;
    const double u = static_cast<double>(t) * 1e-6 / m.cloud_time;
    const double k = std::floor(u), f = u - k;
    const auto knot = [&](double i) {
        return rnd::uniform(rnd::at(rnd::key(m.seed, 0xC10D), static_cast<std::uint64_t>(static_cast<std::int64_t>(i))));
    };
    const double ease = f * f * (3 - 2 * f);
    const double state = knot(k) + (knot(k + 1) - knot(k)) * ease;
    const double cover = std::clamp((state - 0.4) / 0.6, 0.0, 1.0);
    return m.transparency * (1 - m.clouds * cover);
}

double mean_transparency(const Model &m, SimTime start, SimTime end) {
    if (m.clouds <= 0 || end <= start) return transparency_at(m, start);
    constexpr int kSamples = 16;
    double sum = 0;
    for (int i = 0; i < kSamples; ++i) sum += transparency_at(m, start + (end - start) * (2 * i + 1) / (2 * kSamples));
    return sum / kSamples;
}

double seeing_jitter_sd(const Model &m, double seconds) {
    return m.seeing_jitter / std::sqrt(std::max(seconds, kShortest));
}

// Young's approximation: 0.09 D^(-2/3) X^1.75 e^(-h/8000) / sqrt(2 t), D in centimetres.
double scintillation_sd(const Model &m, double seconds) {
    if (!m.scintillation || seconds <= 0) return 0;
    return 0.09 * std::pow(m.aperture / 10, -2.0 / 3) * std::pow(m.airmass, 1.75) * std::exp(-m.altitude / 8000.0) /
           std::sqrt(2 * seconds);
}

bool gps_fix_at(const Model &m, std::int64_t utc_us) {
    for (const GpsLoss &l : m.gps_losses)
        if (utc_us >= l.start_utc && utc_us < l.end_utc) return false;
    return true;
}

// ---- Camera's part: the motion, air and events of one frame exposed over [start, end]

void Camera::motion_and_events(FrameParams &p, SimTime start, SimTime end) {
    mount_.mean_offset(start, end, p.shift_x, p.shift_y);
    // The scene's path during the exposure, probed at evenly spaced instants; a path that moves a
    // fiftieth of a pixel or more is drawn in steps no further apart than the star's sigma (Gaussians
    // that far apart add up to an even trail within a few parts in a billion).
    constexpr int kProbe = 64;
    double px[kProbe], py[kProbe], mx = 0, my = 0, stride = 0, spread = 0;
    if (end > start) {
        for (int i = 0; i < kProbe; ++i) {
            mount_.offset_at(start + (end - start) * (2 * i + 1) / (2 * kProbe), px[i], py[i]);
            mx += px[i] / kProbe, my += py[i] / kProbe;
            if (i) stride = std::max(stride, std::hypot(px[i] - px[i - 1], py[i] - py[i - 1]));
        }
        for (int i = 0; i < kProbe; ++i) spread = std::max(spread, std::hypot(px[i] - mx, py[i] - my));
    }
    if (spread >= 0.02) {
        const int steps = std::clamp(static_cast<int>(std::ceil(stride * kProbe / p.sigma)), 2, 512);
        p.path.resize(static_cast<std::size_t>(steps));
        for (int k = 0; k < steps; ++k) {
            double x, y;
            mount_.offset_at(start + (end - start) * (2 * k + 1) / (2 * steps), x, y);
            p.path[k] = PathStep{x - mx, y - my};
        }
    }
    const double scale = projection_.scale_arcsec();
    if (model_.seeing_jitter > 0) {
        // The seeing moves the whole image: a normal deviate per axis and frame, from the seed.
        rnd::Stream r(rnd::key(model_.seed, p.frame, 0x5EE1));
        const double sd = seeing_jitter_sd(model_, p.exposure_s) / scale;
        p.shift_x += sd * r.normal();
        p.shift_y += sd * r.normal();
    }
    p.star_light = mean_transparency(model_, start, end);
    p.scintillation = scintillation_sd(model_, p.exposure_s);

    const double length = static_cast<double>(end - start);
    for (const Occultation &o : model_.occultations) {
        const double a = static_cast<double>(std::max(start, o.start_utc - utc_base_us_));
        const double b = static_cast<double>(std::min(end, o.end_utc - utc_base_us_));
        if (b <= a && length > 0) continue;
        const double inside = length > 0 ? (b - a) / length : (a <= b ? 1 : 0);
        if (inside > 0) p.dimmed.push_back(Dimming{o.ra, o.dec, 1 - (1 - o.level) * inside});
    }
    for (const Streak &s : model_.streaks) {
        const double t0 = static_cast<double>(s.start_utc - utc_base_us_) * 1e-6;
        const double a = std::max(static_cast<double>(start) * 1e-6, t0);
        const double b = std::min(static_cast<double>(end) * 1e-6, t0 + s.duration);
        if (b <= a) continue;
        double rate[kChannels];
        channel_rates(model_, 0.65, rate);
        const double peak = std::pow(10.0, -0.4 * s.mag);
        const double vx = s.speed * std::cos(s.angle * kPi / 180), vy = s.speed * std::sin(s.angle * kPi / 180);
        const int steps = std::clamp(static_cast<int>(std::ceil(s.speed * (b - a) / (0.25 * p.sigma))), 1, 4096);
        const double dt = (b - a) / steps;
        for (int k = 0; k < steps; ++k) {
            const double t = a + (k + 0.5) * dt;
            const double light = s.meteor ? std::sin(kPi * (t - t0) / s.duration) : 1.0;
            Spot spot{s.x + vx * (t - t0), s.y + vy * (t - t0), {}};
            for (int c = 0; c < kChannels; ++c) spot.electrons[c] = rate[c] * peak * light * dt * p.star_light;
            p.spots.push_back(spot);
        }
    }
}

int Camera::events(double *rows, int max_rows, int *count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::any).outputs({count})) return rc;
    if (max_rows < 0 || (max_rows > 0 && !rows)) return QEL_ERR_GENERAL;
    std::vector<std::array<double, 8>> out;
    double sx, sy;
    mount_.offset_at(clock::now(), sx, sy);
    for (const Occultation &o : model_.occultations) {
        double x = NAN, y = NAN;
        if (projection_.to_pixel(o.ra, o.dec, x, y)) x += sx, y += sy;
        out.push_back({kOccultation, double(o.start_utc), double(o.end_utc), x, y, x, y, o.level});
    }
    for (const Streak &s : model_.streaks) {
        double rate[kChannels], most = 0;
        channel_rates(model_, 0.65, rate);
        for (double r : rate) most = std::max(most, r);
        const double d = s.speed * s.duration, a = s.angle * kPi / 180;
        out.push_back({double(s.meteor ? kMeteor : kSatellite), double(s.start_utc),
                       double(s.start_utc) + s.duration * 1e6, s.x, s.y, s.x + d * std::cos(a), s.y + d * std::sin(a),
                       most * std::pow(10.0, -0.4 * s.mag)});
    }
    for (const GpsLoss &l : model_.gps_losses)
        out.push_back({kGpsLoss, double(l.start_utc), double(l.end_utc), NAN, NAN, NAN, NAN, 0});
    for (std::size_t i = 0; i < out.size() && i < static_cast<std::size_t>(max_rows); ++i)
        std::copy(out[i].begin(), out[i].end(), rows + 8 * i);
    *count = static_cast<int>(out.size());
    return QEL_SUCCESS;
}

}  // namespace qelsim
