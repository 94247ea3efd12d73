#include "clock.h"

#include <cmath>

namespace qelsim {
namespace clock {
namespace {

using Steady = std::chrono::steady_clock;

struct State {
    std::mutex mutex;
    Steady::time_point base_real = Steady::now();
    double base_sim = 0;  // microseconds at base_real
    double speed = 1;
};

// Leaked on purpose: producer threads may still read the clock while the process exits.
State &state() {
    static State *s = new State();
    return *s;
}

double sim_at(const State &s, Steady::time_point t) {
    const double real_us = std::chrono::duration<double, std::micro>(t - s.base_real).count();
    return s.base_sim + real_us * s.speed;
}

}  // namespace

SimTime now() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return static_cast<SimTime>(std::floor(sim_at(s, Steady::now())));
}

double speed() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.speed;
}

bool set_speed(double factor) {
    if (!(factor > 0) || factor > 1e6) return false;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    // Re-base so that simulated time stays continuous across the change.
    const auto t = Steady::now();
    s.base_sim = sim_at(s, t);
    s.base_real = t;
    s.speed = factor;
    return true;
}

void reset() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.base_real = Steady::now();
    s.base_sim = 0;
    s.speed = 1;
}

Steady::duration real_delay(SimTime until, Steady::duration cap) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const double remaining_us = (static_cast<double>(until) - sim_at(s, Steady::now())) / s.speed;
    if (remaining_us <= 0) return Steady::duration::zero();
    const double cap_us = std::chrono::duration<double, std::micro>(cap).count();
    if (remaining_us >= cap_us) return cap;
    // Round up so that a wait never ends a hair before its simulated deadline.
    return std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double, std::micro>(remaining_us)) +
           Steady::duration(1);
}

}  // namespace clock
}  // namespace qelsim
