// Where the simulated telescope points: drift plus ST4 guide corrections, as an offset of the scene on
// the sensor. Frames take the offset averaged over their exposure, so a star moved by a guide pulse
// during an exposure lands at the centroid of its trail.
#pragma once

#include <deque>

#include "clock.h"
#include "model.h"

namespace qelsim {

class Mount {
public:
    void reset(const Model &model, SimTime now);
    // Switches the guide relay of one direction (QEL_GUIDE_DIRECTION) on or off.
    void guide(int direction, bool on, SimTime now);
    bool guiding(int direction) const { return on_[direction]; }
    // Offset of the scene, in sensor pixels, at time t.
    void offset_at(SimTime t, double &x, double &y) const;
    // Mean offset over [start, end].
    void mean_offset(SimTime start, SimTime end, double &x, double &y) const;

private:
    struct Event {
        SimTime t;
        int direction;
        bool on;
    };
    void velocity(const bool on[4], double &vx, double &vy) const;

    double rate_ = 0, drift_x_ = 0, drift_y_ = 0;  // pixels per second
    // The state at base_t_; events after it replay the relays. Old events fold into the base so the
    // history stays short however long a program guides.
    SimTime base_t_ = 0;
    double base_x_ = 0, base_y_ = 0;
    bool base_on_[4] = {false, false, false, false};
    bool on_[4] = {false, false, false, false};
    std::deque<Event> events_;
};

}  // namespace qelsim
