// The air and the events between the sky and the sensor: seeing jitter, clouds and scintillation, and
// events whose truth the control API tells (occultations, meteors, satellites, GPS fix losses). Each
// is a pure function of the camera's model, its seed, the frame and the exposure's interval, so the
// same frame comes out the same in every process.
#pragma once

#include <cstdint>

#include "clock.h"
#include "model.h"

namespace qelsim {

// Share of the stars' light the air passes at simulated time t (clouds over the clear transparency).
double transparency_at(const Model &m, SimTime t);
// The same, averaged over [start, end].
double mean_transparency(const Model &m, SimTime start, SimTime end);

// Sd of the image's centroid on each axis for an exposure of `seconds`, arc seconds: the 1 s value
// falls as 1/sqrt(exposure), down to exposures of a tenth of a second below which it stays.
double seeing_jitter_sd(const Model &m, double seconds);

// Relative sd of a star's light in an exposure of `seconds` (scintillation, from the aperture, airmass
// and altitude), 0 when it is off.
double scintillation_sd(const Model &m, double seconds);

// Whether the GPS receiver has a fix at a UTC instant.
bool gps_fix_at(const Model &m, std::int64_t utc_us);

// Kinds of event rows of the truth API.
enum EventKind { kOccultation = 1, kMeteor = 2, kSatellite = 3, kGpsLoss = 4 };

}  // namespace qelsim
