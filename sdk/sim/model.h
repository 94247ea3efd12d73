// Camera models: what a simulated camera is (sensor, ports, presets and the scene it looks at).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QELCamera2.h"

namespace qelsim {

// The simulator's own USB vendor id; product ids are per model.
constexpr int kVendorId = 0x51E1;

extern const char kSdkVersion[];

enum class GpsStatus { ok, old_firmware, fpga_error, no_fix };

// One term of the periodic error of the right ascension drive: arc seconds (half the swing), seconds,
// degrees of phase at simulated time 0.
struct PeriodicTerm {
    double amplitude, period, phase;
};

// Events with known truth, at UTC instants (microseconds since 1970).
struct Occultation {
    double ra, dec;  // degrees: the star nearest to it (within an arc second) is occulted
    double level;    // its flux during the occultation, a fraction of its own
    std::int64_t start_utc, end_utc;
};
// A meteor or a satellite: a point of light crossing the sensor in a straight line at a constant
// rate, from (x, y) sensor pixels in the direction `angle` (degrees from +x towards +y).
struct Streak {
    bool meteor;  // a meteor's light rises and falls (sine of its life); a satellite's stays
    std::int64_t start_utc;
    double x, y, angle, speed, duration, mag;  // pixels, degrees, pixels per second, seconds, V (peak)
};
// The GPS receiver has no fix from `start_utc` until `end_utc`.
struct GpsLoss {
    std::int64_t start_utc, end_utc;
};

struct Model {
    // Catalogue key ("M1", "C2") that a configuration names the model by.
    std::string key;

    // ---- what QEL_CAMERA_INFO reports
    std::string name;
    int product_id = 0;
    int max_width = 0;
    int max_height = 0;
    bool is_color = false;
    int bayer_pattern = BAYER_RG;
    std::vector<int> bins;
    std::vector<int> formats;
    double pixel_size = 0;  // micrometres
    bool mechanical_shutter = false;
    bool st4_port = false;
    bool cooler = false;
    bool usb3 = false;
    float elec_per_adu = 1;  // electrons per 16-bit ADU at gain 0
    int bit_depth = 16;
    bool trigger = false;
    bool gps = false;
    std::string serial;  // up to 8 bytes; empty: the camera has none

    // ---- controls and presets
    int gain_max = 0;        // gain in 0.1 dB steps
    int gain_default = 0;
    int offset_max = 0;      // offset in steps of 16 ADU (16-bit scale)
    int offset_default = 0;
    int offset_highest_dr = 0, offset_unity_gain = 0, gain_lowest_rn = 0, offset_lowest_rn = 0;
    int lmh_low = 0, lmh_mid = 0, lmh_high = 0, lmh_high_offset = 0;

    // ---- timing
    double line_time_us = 20;     // one sensor row read at bin 1, normal speed
    double usb_mbytes_per_s = 0;  // link throughput at 100 % bandwidth

    // ---- where the telescope points and what it is (README: "The sky and the optics")
    double ra = 0, dec = 0;        // degrees, the sky at the sensor's centre
    double rotation = 0;           // degrees, the sky turned clockwise on the image
    double focal_length = 600;     // millimetres
    double pixel_scale = 0;        // arc seconds per pixel; 0: from pixel size and focal length
    double aperture = 200;         // millimetres, clear diameter
    double seeing = 2.5;           // arc seconds, full width at half maximum of the stars
    double fwhm = 0;               // sensor pixels; 0: from the seeing and the pixel scale
    double psf_wing = 0.1;         // share of a star's light in a wing three times as wide as its core
    double psf_corner = 1.1;       // star width in the corners relative to the centre
    double vignetting = 0.75;      // light in the corners relative to the centre
    double sky_brightness = 20;    // V magnitudes per square arc second
    double sky = 0;                // electrons per second in a clear (mono) or green pixel; 0: from sky_brightness
    double sky_color = 0.9;        // B-V of the sky background
    double sky_gradient_x = 0.05, sky_gradient_y = 0.1;  // change of the sky across the sensor, fraction
    double star_density = 630;     // synthetic stars per square degree brighter than V = 15
    double mag_limit = 20;         // faintest synthetic star

    // ---- the sensor
    double qe = 0.8;               // peak quantum efficiency
    double full_well = 50000;      // electrons
    double read_noise = 2.5;       // electrons, at and above the lowest-read-noise gain
    double read_noise_gain0 = 4;   // electrons at gain 0; falls linearly to read_noise
    double dark_current = 0.02;    // electrons per second and pixel at 0 degrees C
    double dark_doubling = 6;      // degrees C per doubling of the dark current
    double hot_pixels = 5e-4;      // share of pixels with 20-2000x the dark current
    double warm_pixels = 3e-3;     // share of pixels with 3-20x the dark current
    double amp_glow = 0.5;         // electrons per second at the glowing corner
    double prnu = 0.01;            // pixel response non-uniformity, standard deviation
    double bias_rows = 1, bias_cols = 2;  // fixed row and column bias pattern, ADU (16-bit scale) sd
    double cosmic_rate = 0.02;     // cosmic ray hits per square centimetre and second
    double guide_rate = 2;         // sensor pixels per second of guiding
    double drift_x = 0, drift_y = 0;  // sensor pixels per second

    // ---- the mount (README: "The mount")
    std::vector<PeriodicTerm> periodic_error;  // of the right ascension drive
    double dec_backlash = 0;       // arc seconds of play in the declination gears
    double polar_error = 0;        // arc minutes between the polar axis and the pole
    double polar_angle = 0;        // degrees: hour angle phase of the resulting declination drift
    bool pier_west = false;        // the telescope on the west side of the pier (after a meridian flip);
                                   // the registry turns `rotation` by 180 degrees for it

    // ---- the atmosphere (README: "The atmosphere")
    double seeing_jitter = 0.3;    // arc seconds, sd of a 1 s image's centroid on each axis
    double transparency = 1;       // share of the stars' light that clear air passes
    double clouds = 0;             // deepest share of the light that passing clouds take
    double cloud_time = 300;       // seconds between independent cloud states
    bool scintillation = false;    // stars flicker in short exposures
    double airmass = 1.2;

    // ---- events with known truth
    std::vector<Occultation> occultations;
    std::vector<Streak> streaks;
    std::vector<GpsLoss> gps_losses;
    double ambient = 20;          // degrees C
    double cooler_delta = 35;     // degrees below ambient at full cooler power
    double cooler_tau = 60;       // seconds, time constant of the sensor temperature
    double heater = 5;            // degrees the anti-dew heater warms the sensor
    int queue = 3;                // frames the video queue holds
    int threads = 0;              // threads that render one frame; 0: one per core for large frames

    // ---- GPS
    double latitude = 0, longitude = 0;
    int altitude = 0;  // metres
    int satellites = 0;
    GpsStatus gps_status = GpsStatus::ok;

    // ---- identity of one camera: serial number and frames of a seed
    std::uint64_t seed = 0;
};

// The built-in catalogue, in registry order.
const std::vector<Model> &catalogue();
const Model *catalogue_model(const std::string &key_or_name);

// Size in bytes of one pixel of an image format, 0 for an unknown format.
int bytes_per_pixel(int img_type);

}  // namespace qelsim
