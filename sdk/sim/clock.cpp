#include "clock.h"

#include <algorithm>
#include <cmath>
#include <list>

namespace qelsim {
namespace clock {

struct Agent {
    bool busy = true;
    SimTime wake = kForever;  // while asleep
};

namespace {

using Steady = std::chrono::steady_clock;

struct State {
    std::mutex mutex;
    Steady::time_point base_real = Steady::now();
    double base_sim = 0;  // microseconds at base_real
    double speed = 1;
    bool stepped = false;
    SimTime stepped_now = 0;
    std::list<Agent> agents;
    std::condition_variable changed;  // an agent fell asleep, woke or left; time moved
    std::mutex stepping;              // one thread moves time at a time
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

bool quiet(const State &s) {
    return std::none_of(s.agents.begin(), s.agents.end(), [](const Agent &a) { return a.busy; });
}

}  // namespace

SimTime now() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.stepped) return s.stepped_now;
    return static_cast<SimTime>(std::floor(sim_at(s, Steady::now())));
}

double speed() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.speed;
}

bool stepped() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.stepped;
}

bool set_speed(double factor) {
    if (!(factor > 0) || factor > 1e6) return false;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.stepped) return false;
    // Re-base so that simulated time stays continuous across the change.
    const auto t = Steady::now();
    s.base_sim = sim_at(s, t);
    s.base_real = t;
    s.speed = factor;
    return true;
}

void reset(bool stepped) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.base_real = Steady::now();
    s.base_sim = 0;
    s.speed = 1;
    s.stepped = stepped;
    s.stepped_now = 0;
}

Agent *join() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.stepped) return nullptr;
    s.agents.emplace_back();
    return &s.agents.back();
}

void leave(Agent *agent) {
    if (!agent) return;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.agents.remove_if([&](const Agent &a) { return &a == agent; });
    s.changed.notify_all();
}

void poke(Agent *agent) {
    if (!agent) return;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    agent->busy = true;
    s.changed.notify_all();
}

void agent_sleep(Agent *agent, SimTime until, std::unique_lock<std::mutex> &camera_lock) {
    State &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    agent->busy = false;
    agent->wake = until;
    s.changed.notify_all();
    camera_lock.unlock();
    s.changed.wait(lock, [&] { return agent->busy; });
    lock.unlock();
    camera_lock.lock();
}

bool step_toward(SimTime until) {
    State &s = state();
    std::lock_guard<std::mutex> step(s.stepping);
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.stepped) return false;
    // Every agent first finishes what the present instant asked of it.
    s.changed.wait(lock, [&] { return quiet(s); });
    SimTime t = until;
    for (const Agent &a : s.agents) t = std::min(t, a.wake);
    if (t >= kForever || t < s.stepped_now) return false;
    s.stepped_now = t;
    for (Agent &a : s.agents)
        if (a.wake <= t) a.busy = true;
    s.changed.notify_all();
    s.changed.wait(lock, [&] { return quiet(s); });
    return true;
}

bool advance_to(SimTime until) {
    if (!stepped() || until < now()) return false;
    while (now() < until)
        if (!step_toward(until)) return false;
    return true;
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
