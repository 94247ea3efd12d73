// Where the simulated telescope points, as an offset of the scene on the sensor: ST4 guide corrections
// through the mount's axes (declination with backlash), periodic error of the right ascension drive,
// declination drift from polar misalignment, and a free drift. Offsets are worked out on the sky's
// axes and turned onto the sensor by the camera angle (`rotation`) and the pier side.
#pragma once

#include <deque>
#include <vector>

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
    // The guide axes: right ascension (towards the west) and the declination motor's command and the
    // axis itself (towards the north), which lags the command by up to the backlash.
    struct Axes {
        double ra = 0, dec_command = 0, dec = 0;
    };
    void velocity(const bool on[4], double &v_ra, double &v_dec) const;
    static void move(Axes &a, double v_ra, double v_dec, double seconds, double backlash);

    double rate_ = 0, drift_x_ = 0, drift_y_ = 0;  // pixels per second
    double backlash_ = 0;                          // pixels of declination
    struct Term {
        double amplitude, omega, phase;  // pixels, radians per second, radians
    };
    std::vector<Term> periodic_;
    double polar_ = 0, polar_phase_ = 0;  // pixels of declination drift amplitude, radians of hour angle
    double west_x_ = 1, west_y_ = 0, north_x_ = 0, north_y_ = -1;  // sky axes on the sensor
    double dec_sign_ = 1;  // -1 on the west side of the pier: the declination axis is turned over
    SimTime t0_ = 0;
    // The state at base_t_; events after it replay the relays. Old events fold into the base so the
    // history stays short however long a program guides.
    SimTime base_t_ = 0;
    Axes base_;
    bool base_on_[4] = {false, false, false, false};
    bool on_[4] = {false, false, false, false};
    std::deque<Event> events_;
};

}  // namespace qelsim
