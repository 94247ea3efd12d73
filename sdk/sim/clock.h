// The simulated clock: every duration the camera sees (exposures, readout, frame waits, cooling,
// guiding) runs on it, so a speed-up lets tests of long exposures finish in milliseconds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qelsim {

// Microseconds of simulated time since the clock was last reset.
using SimTime = std::int64_t;

constexpr SimTime kForever = INT64_MAX / 4;

namespace clock {

SimTime now();
double speed();
// Factors outside (0, 1e6] are refused.
bool set_speed(double factor);
// Back to simulated time 0 at speed 1.
void reset();

// Waits on `cv` until `done()` holds or simulated time `until` has come (kForever: no end).
// Returns done(). Wakes at least every few real milliseconds so that a change of speed takes effect
// within the wait.
template <class Pred>
bool wait_until(std::unique_lock<std::mutex> &lock, std::condition_variable &cv, SimTime until, Pred done);

// Real time that remains until simulated time `until`, at the current speed, capped at `cap`.
std::chrono::steady_clock::duration real_delay(SimTime until, std::chrono::steady_clock::duration cap);

template <class Pred>
bool wait_until(std::unique_lock<std::mutex> &lock, std::condition_variable &cv, SimTime until, Pred done) {
    constexpr auto kSlice = std::chrono::milliseconds(50);
    while (!done()) {
        if (until != kForever && now() >= until) return done();
        const auto delay = until == kForever ? kSlice : real_delay(until, kSlice);
        // One slice, with its end on the system clock: every C library waits on that clock, while a
        // steady-clock wait needs a newer one (glibc 2.30). The loop goes by the steady clock, so a
        // system clock set forward only cuts a slice short; one set back stretches a slice by as
        // much, once.
        cv.wait_until(lock, std::chrono::system_clock::now() +
                                std::chrono::duration_cast<std::chrono::system_clock::duration>(delay));
    }
    return true;
}

}  // namespace clock
}  // namespace qelsim
