#include "controls.h"

#include <algorithm>
#include <cmath>

#include "sky.h"

namespace qelsim {

namespace {
constexpr int kExposureMin = 32;             // microseconds
constexpr int kExposureMax = 2000000000;     // microseconds: 2000 s
}  // namespace

std::vector<ControlCaps> caps_table(const Model &m) {
    std::vector<ControlCaps> t = {
        {QEL_GAIN, "Gain", "Gain, in 0.1 dB steps", 0, m.gain_max, m.gain_default, true, true},
        {QEL_EXPOSURE, "Exposure", "Exposure time, in microseconds", kExposureMin, kExposureMax, 10000, true, true},
        {QEL_OFFSET, "Offset", "Bias level, in steps of 16 ADU of the 16-bit scale", 0, m.offset_max,
         m.offset_default, false, true},
        {QEL_BANDWIDTHOVERLOAD, "BandWidth", "Share of the USB bandwidth the camera may use, in percent", 40, 100,
         50, true, true},
        {QEL_TEMPERATURE, "Temperature", "Sensor temperature, in 0.1 degrees Celsius", -500, 1000,
         static_cast<int>(std::lround(m.ambient * 10)), false, false},
        {QEL_FLIP, "Flip", "Flip: 0 none, 1 horizontal, 2 vertical, 3 both", 0, 3, 0, false, true},
        {QEL_AUTO_MAX_GAIN, "AutoExpMaxGain", "Highest gain automatic gain may choose", 0, m.gain_max,
         m.gain_max / 2, false, true},
        {QEL_AUTO_MAX_EXP, "AutoExpMaxExpMS", "Longest exposure automatic exposure may choose, in milliseconds", 1,
         60000, 100, false, true},
        {QEL_AUTO_TARGET_BRIGHTNESS, "AutoExpTargetBrightness", "Mean brightness automatic exposure aims at (0-255)",
         50, 160, 100, false, true},
        {QEL_HARDWARE_BIN, "HardwareBin", "Bin on the sensor: one read per binned pixel, faster", 0, 1, 0, false, true},
        {QEL_HIGH_SPEED_MODE, "HighSpeedMode", "Read rows twice as fast", 0, 1, 0, false, true},
    };
    if (m.is_color) {
        int wb_r = 50, wb_b = 50;
        neutral_white_balance(m, wb_r, wb_b);  // a grey night sky
        t.push_back({QEL_WB_R, "WB_R", "White balance, red channel", 1, 99, wb_r, true, true});
        t.push_back({QEL_WB_B, "WB_B", "White balance, blue channel", 1, 99, wb_b, true, true});
        t.push_back({QEL_MONO_BIN, "Mono bin", "Binned colour frames come out monochrome", 0, 1, 0, false, true});
    }
    if (m.cooler) {
        t.push_back({QEL_COOLER_ON, "CoolerOn", "Cooler on", 0, 1, 0, false, true});
        t.push_back({QEL_TARGET_TEMP, "TargetTemp", "Temperature the cooler aims at, in degrees Celsius", -40, 30, 0,
                     false, true});
        t.push_back({QEL_COOLER_POWER_PERC, "CoolPowerPerc", "Cooler power, in percent", 0, 100, 0, false, false});
        t.push_back({QEL_ANTI_DEW_HEATER, "AntiDewHeater", "Heater that keeps the window free of dew", 0, 1, 0, false,
                     true});
    }
    if (m.gps) {
        t.push_back({QEL_GPS_SUPPORT, "GPS", "The camera time-stamps frames by GPS", 0, 1, 1, false, false});
        t.push_back({QEL_GPS_START_LINE, "GPSStartLine", "Image row whose start time the start record gives", 0,
                     m.max_height - 1, 0, false, true});
        t.push_back({QEL_GPS_END_LINE, "GPSEndLine", "Image row whose end time the end record gives", 0,
                     m.max_height - 1, 0, false, true});
    }
    return t;
}

void Controls::init(const Model &model, SimTime now) {
    caps_ = caps_table(model);
    std::fill(std::begin(values_), std::end(values_), 0);
    std::fill(std::begin(autos_), std::end(autos_), false);
    std::fill(std::begin(present_), std::end(present_), false);
    for (const ControlCaps &c : caps_) {
        values_[c.type] = c.def;
        present_[c.type] = true;
    }
    ambient_ = model.ambient;
    delta_ = model.cooler_delta;
    tau_s_ = model.cooler_tau;
    heater_ = model.heater;
    history_.assign(1, Piece{now, ambient_, ambient_});
}

const ControlCaps *Controls::find(int type) const {
    for (const ControlCaps &c : caps_)
        if (c.type == type) return &c;
    return nullptr;
}

// Where the sensor temperature settles: ambient (warmer by the heater while it is on), or the cooler's
// target if the cooler can reach it, else as low as it can. A cooler cannot warm: a target above ambient
// settles at ambient, with the cooler idle.
double Controls::warm() const {
    const bool heating = present_[QEL_ANTI_DEW_HEATER] && values_[QEL_ANTI_DEW_HEATER];
    return ambient_ + (heating ? heater_ : 0);
}

double Controls::setpoint() const {
    if (!present_[QEL_COOLER_ON] || !values_[QEL_COOLER_ON]) return warm();
    return std::clamp<double>(values_[QEL_TARGET_TEMP], warm() - delta_, warm());
}

const Controls::Piece &Controls::piece_at(SimTime t) const {
    for (auto it = history_.rbegin(); it != history_.rend(); ++it)
        if (it->t <= t) return *it;
    return history_.front();
}

double Controls::temperature(SimTime now) const {
    const Piece &p = piece_at(now);
    const double dt = std::max<double>(0, static_cast<double>(now - p.t) * 1e-6);
    return p.to + (p.from - p.to) * std::exp(-dt / tau_s_);
}

// Starts a new piece of the exponential at `now`, towards the setpoint after a change.
void Controls::settle(SimTime now) {
    const double from = temperature(now);
    history_.push_back(Piece{now, from, setpoint()});
    if (history_.size() > 64) history_.erase(history_.begin());
}

void Controls::force_temperature(double celsius, SimTime now) {
    history_.push_back(Piece{now, celsius, setpoint()});
    if (history_.size() > 64) history_.erase(history_.begin());
}

double Controls::dark_seconds(SimTime start, SimTime end, double doubling) const {
    if (end <= start) return 0;
    // Simpson's rule over a temperature that is smooth between changes of the settings.
    constexpr int kSteps = 64;
    const double h = static_cast<double>(end - start) / kSteps;
    double sum = 0;
    for (int i = 0; i <= kSteps; ++i) {
        const double f = std::pow(2.0, temperature(start + static_cast<SimTime>(std::llround(i * h))) / doubling);
        sum += f * (i == 0 || i == kSteps ? 1 : (i % 2 ? 4 : 2));
    }
    return sum * h / 3 * 1e-6;
}

int Controls::cooler_power(SimTime now) const {
    if (!present_[QEL_COOLER_ON] || !values_[QEL_COOLER_ON]) return 0;
    const double t = temperature(now);
    // Holding a temperature below ambient costs power in proportion; pulling down costs more.
    const double p = (warm() - t) / delta_ * 100 + 10 * (t - values_[QEL_TARGET_TEMP]);
    return static_cast<int>(std::lround(std::clamp(p, 0.0, 100.0)));
}

int Controls::get(int type, SimTime now, int &value, bool &is_auto) {
    if (type < 0 || type >= kControlTypes || !present_[type]) return QEL_ERR_INVALID_CONTROL_TYPE;
    if (type == QEL_TEMPERATURE) {
        value = static_cast<int>(std::lround(temperature(now) * 10));
    } else if (type == QEL_COOLER_POWER_PERC) {
        value = cooler_power(now);
    } else {
        value = values_[type];
    }
    is_auto = autos_[type];
    return QEL_SUCCESS;
}

int Controls::set(int type, int value, bool is_auto, SimTime now) {
    const ControlCaps *c = type >= 0 && type < kControlTypes && present_[type] ? find(type) : nullptr;
    if (!c) return QEL_ERR_INVALID_CONTROL_TYPE;
    if (!c->writable || value < c->min || value > c->max || (is_auto && !c->is_auto)) return QEL_ERR_GENERAL;
    values_[type] = value;
    autos_[type] = is_auto;
    // The temperature so far follows the old setpoint; from now on it relaxes towards the new one.
    if (type == QEL_COOLER_ON || type == QEL_TARGET_TEMP || type == QEL_ANTI_DEW_HEATER) settle(now);
    return QEL_SUCCESS;
}

void Controls::clamp(int type, int lo, int hi) {
    if (type >= 0 && type < kControlTypes) values_[type] = std::clamp(values_[type], lo, hi);
}

void Controls::auto_adjust(double brightness) {
    const double target = values_[QEL_AUTO_TARGET_BRIGHTNESS];
    if (brightness <= 0.5) brightness = 0.5;
    // Damped steps: half the way in log space each frame, so the loop settles without ringing.
    const double factor = std::sqrt(target / brightness);
    if (autos_[QEL_EXPOSURE]) {
        const double hi = std::min<double>(kExposureMax, values_[QEL_AUTO_MAX_EXP] * 1000.0);
        const double e = std::clamp(values_[QEL_EXPOSURE] * factor, static_cast<double>(kExposureMin), hi);
        values_[QEL_EXPOSURE] = static_cast<int>(std::lround(e));
    }
    if (autos_[QEL_GAIN] && (!autos_[QEL_EXPOSURE] || factor < 1 ||
                             values_[QEL_EXPOSURE] >= values_[QEL_AUTO_MAX_EXP] * 1000)) {
        // Gain steps of 0.1 dB: a brightness factor f is 200 log10(f) steps.
        const double step = 200 * std::log10(factor);
        const double g = std::clamp(values_[QEL_GAIN] + step, 0.0, static_cast<double>(values_[QEL_AUTO_MAX_GAIN]));
        values_[QEL_GAIN] = static_cast<int>(std::lround(g));
    }
}

}  // namespace qelsim
