// Camera controls: the caps table of a model, the values set, automatic exposure and gain, and the
// cooler's first-order model of the sensor temperature.
#pragma once

#include <vector>

#include "clock.h"
#include "model.h"

namespace qelsim {

struct ControlCaps {
    int type;
    const char *name;
    const char *description;
    int min, max, def;
    bool is_auto;
    bool writable;
};

// The controls of a model, in the order QELGetControlCaps lists them.
std::vector<ControlCaps> caps_table(const Model &model);

constexpr int kControlTypes = QEL_ROLLING_INTERVAL + 1;

class Controls {
public:
    // Caps and defaults of the model; the sensor starts at ambient temperature.
    void init(const Model &model, SimTime now);

    const std::vector<ControlCaps> &caps() const { return caps_; }
    const ControlCaps *find(int type) const;

    // QEL_SUCCESS or QEL_ERR_INVALID_CONTROL_TYPE.
    int get(int type, SimTime now, int &value, bool &is_auto);
    // QEL_SUCCESS, QEL_ERR_INVALID_CONTROL_TYPE, or QEL_ERR_GENERAL for a value out of range, a
    // read-only control or automatic mode on a control without it.
    int set(int type, int value, bool is_auto, SimTime now);

    // The stored value; the caps default for a control the model lacks.
    int value(int type) const { return type >= 0 && type < kControlTypes ? values_[type] : 0; }
    bool is_auto(int type) const { return type >= 0 && type < kControlTypes && autos_[type]; }
    // Clamps a stored value into [lo, hi] without checks, for GPS lines when the region shrinks.
    void clamp(int type, int lo, int hi);

    double temperature(SimTime now) const;
    void force_temperature(double celsius, SimTime now);
    int cooler_power(SimTime now) const;
    // The integral of 2^(T(t) / doubling) over [start, end], in seconds: the dark current of an exposure
    // is the rate at 0 degrees C times this, whatever the temperature did meanwhile.
    double dark_seconds(SimTime start, SimTime end, double doubling) const;

    // After a video frame of this mean brightness (0..255): moves exposure and gain that are on
    // automatic towards the target brightness, within their automatic limits.
    void auto_adjust(double brightness);

private:
    // One piece of the temperature's history: from `t` on it relaxes from `from` towards `to`.
    struct Piece {
        SimTime t;
        double from, to;
    };
    double warm() const;
    double setpoint() const;
    void settle(SimTime now);
    const Piece &piece_at(SimTime t) const;

    std::vector<ControlCaps> caps_;
    int values_[kControlTypes] = {};
    bool autos_[kControlTypes] = {};
    bool present_[kControlTypes] = {};
    double ambient_ = 20, delta_ = 35, tau_s_ = 60, heater_ = 5;
    std::vector<Piece> history_;  // newest last; a few hours of cooler changes are plenty
};

}  // namespace qelsim
