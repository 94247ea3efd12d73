// The simulated clock: every duration the camera sees (exposures, readout, frame waits, cooling,
// guiding) runs on it, so a speed-up lets tests of long exposures finish in milliseconds.
//
// Two modes. Real: simulated time runs `speed` times as fast as the host's clock. Stepped: time stands
// still until something advances it (a caller waiting for a frame or for an exposure, or advance());
// time then moves from one wake-up of a frame producer ("agent") to the next, and waits until every
// agent has done its work for that instant before moving on. The same sequence of calls then gives the
// same frames, stamps and dropped counts in every process, however loaded the host.
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
// Factors outside (0, 1e6] are refused, and every factor in stepped mode.
bool set_speed(double factor);
// Back to simulated time 0 at speed 1, in real or stepped mode.
void reset(bool stepped = false);
bool stepped();

// A thread that does work at instants of simulated time (a video producer). In stepped mode time
// moves only while every agent sleeps.
struct Agent;
// A new agent, busy until its first sleep (nullptr in real mode).
Agent *join();
// The agent is gone (null: nothing).
void leave(Agent *agent);
// What the agent waits for besides time has happened: it counts as busy until it sleeps again.
void poke(Agent *agent);

// Stepped mode: moves time to `until`, stopping at each agent's wake-up on the way. False (and nothing
// done) in real mode or for an instant in the past.
bool advance_to(SimTime until);

// Waits on `cv` until `done()` holds or simulated time `until` has come (kForever: no end).
// Returns done(). Wakes at least every few real milliseconds so that a change of speed takes effect
// within the wait. In stepped mode an agent sleeps until time reaches `until` or it is poked; any other
// waiter moves time on itself, event by event, until `done()` or `until`.
template <class Pred>
bool wait_until(std::unique_lock<std::mutex> &lock, std::condition_variable &cv, SimTime until, Pred done,
                Agent *agent = nullptr);

// Real time that remains until simulated time `until`, at the current speed, capped at `cap`.
std::chrono::steady_clock::duration real_delay(SimTime until, std::chrono::steady_clock::duration cap);

// Stepped mode, for wait_until: the agent sleeps (its camera's lock released) until time reaches
// `until` or it is poked; a waiter moves time one event towards `until` (false: no event will come).
void agent_sleep(Agent *agent, SimTime until, std::unique_lock<std::mutex> &lock);
bool step_toward(SimTime until);

template <class Pred>
bool wait_until(std::unique_lock<std::mutex> &lock, std::condition_variable &cv, SimTime until, Pred done,
                Agent *agent) {
    constexpr auto kSlice = std::chrono::milliseconds(50);
    if (stepped()) {
        while (!done()) {
            if (until != kForever && now() >= until) return done();
            if (agent) {
                agent_sleep(agent, until, lock);
                continue;
            }
            lock.unlock();
            const bool moved = step_toward(until);
            lock.lock();
            if (!moved && !done()) cv.wait_for(lock, kSlice);  // only another thread can help now
        }
        return true;
    }
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
