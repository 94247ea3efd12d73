// Sensor synthesis: the pixels of one frame, from the light of the sky and the stars through the optics
// onto a sensor with its flaws, dark current, noise and converter.
//
// Rendering is a pure function of a snapshot (FrameParams) and of the seed, the frame number and the
// pixel: no lock, no state. The stages, each a function of its own in sensor.cpp, in the README's order:
// sky and optics (the stars' light through their PSF, in electrons per pixel; vignetting) -> photometry
// of the sky background (its level by filter colour, its gradient) -> the sensor (PRNU, dark current
// with hot and warm pixels, amp glow, cosmic rays: the electrons each pixel expects) -> noise and
// converter (Poisson shot noise, full well, read noise, bias and its row/column pattern, gain, the
// converter's bits) -> dark subtraction -> the format (RGB24 by demosaicking the mosaic, flip, bytes).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "model.h"
#include "sky.h"

namespace qelsim {

// The fixed flaws of one sensor, drawn once from its seed.
struct SensorMaps {
    int width = 0, height = 0;
    std::uint64_t key = 0;                 // PRNU of each pixel is hashed from this
    std::vector<float> row_bias, col_bias;  // ADU on the 16-bit scale, zero mean
    std::vector<float> vig_row, vig_col;    // vignetting = vig_row[y] + vig_col[x]
    std::vector<float> glow_row, glow_col;  // amp glow = amp_glow * glow_row[y] * glow_col[x]
    struct Hot {
        std::uint32_t x, y;
        float factor;  // times the dark current of an ordinary pixel
    };
    std::vector<Hot> hot;  // hot and warm pixels, by row

    // Pixel response non-uniformity: 32 x a normal deviate per sensor pixel, of row y (made on first use,
    // in bands of rows: frames without light, or of a small region, never make all of it).
    const std::int8_t *prnu_row(int y) const;

    static constexpr int kBand = 16;
    std::unique_ptr<std::once_flag[]> prnu_once;
    std::unique_ptr<std::unique_ptr<std::int8_t[]>[]> prnu;  // per band
};

std::shared_ptr<const SensorMaps> make_sensor_maps(const Model &model);

// Read noise in electrons at a gain: falls linearly from its value at gain 0 to its lowest at the
// lowest-read-noise preset, and stays there above it.
double read_noise_at(const Model &model, int gain);

// Motion during an exposure: where the scene was, relative to the frame's mean shift, at evenly spaced
// instants; each step carries an equal share of the light.
struct PathStep {
    double dx, dy;
};
// A star dimmed by an event: its sky position and the share of its light left over the exposure.
struct Dimming {
    double ra, dec, factor;
};
// A point of light that is not a star (a meteor or satellite at one instant): sensor pixels, electrons.
struct Spot {
    double x, y;
    double electrons[kChannels];
};

// The snapshot of one frame, in the groups the stages of the renderer take (sensor.cpp renders them in
// this order). FrameParams joins them, so that the camera fills one value; each stage reads only its own.

// Where the image lies on the sensor and how its pixels are read and coloured: every stage's frame.
struct ImageArea {
    int sensor_w = 0, sensor_h = 0;
    int width = 0, height = 0, bin = 1;
    int start_x = 0, start_y = 0;  // binned pixels
    bool hardware_bin = false, mono_bin = false;
    bool is_color = false;
    int bayer = BAYER_RG;
};

// One exposure: how long, whether light reaches the sensor, and the keys of its random numbers.
struct Shot {
    double exposure_s = 0;
    bool dark = false;  // no light reaches the sensor: a closed shutter or a covered telescope
    std::uint64_t seed = 0;
    std::uint64_t frame = 0;  // frame number: the noise of each frame differs
};

// 1-2. Sky and optics: the stars in the field, where the scene was during the exposure, what the air
// left of each star's light, and the star images the optics make (vignetting is the sensor maps').
struct SkyOptics {
    std::shared_ptr<const StarField> stars;
    double shift_x = 0, shift_y = 0;  // offset of the scene, sensor pixels
    std::vector<PathStep> path;       // the scene's motion during the exposure (empty: it stood still)
    double star_light = 1;            // share of the stars' light the air passes (clouds)
    double scintillation = 0;         // relative sd of each star's light in this frame
    std::vector<Dimming> dimmed;      // stars dimmed by occultations
    std::vector<Spot> spots;          // meteors and satellites
    double sigma = 1;                 // star image, sensor pixels (Gaussian sigma of the core)
    double psf_wing = 0, psf_corner = 1;
};

// 3. Photometry of the sky background (the stars' own is in their rates).
struct SkyBackground {
    double sky[kChannels] = {};  // electrons per second and pixel at the centre, before vignetting
    double sky_gx = 0, sky_gy = 0;
};

// 4. The sensor: its fixed flaws, dark current, amp glow, cosmic rays, full well.
struct SensorParams {
    std::shared_ptr<const SensorMaps> maps;
    double prnu = 0;
    double dark_e = 0;       // electrons of dark current per pixel over the exposure, at its temperatures
    double amp_glow = 0;     // electrons per second at the glowing corner
    double cosmic_rate = 0;  // hits per second over the whole sensor
    double full_well = 0;    // electrons
};

// 5. Noise and converter.
struct ConverterParams {
    int gain = 0, offset = 0;
    float elec_per_adu = 1;
    double read_noise = 0;  // electrons at this gain
    int bit_depth = 16;
};

// 6. The format the image is delivered in, and the SDK's dark subtraction before it.
struct FormatParams {
    int img_type = IMG_RAW8;
    int flip = 0;
    int wb_r = 50, wb_b = 50;
    std::shared_ptr<const std::vector<std::uint8_t>> dark_map;  // full sensor, grey, top row first
};

// Everything one frame depends on, snapshotted when it is taken: synthesis runs without locks.
struct FrameParams : ImageArea, Shot, SkyOptics, SkyBackground, SensorParams, ConverterParams, FormatParams {
    int threads = 0;  // threads that render the rows at once; 0: one per core (up to 4) for large frames
};

// Bytes of the image of these parameters.
std::size_t image_bytes(const FrameParams &p);

// Reusable work memory of one synthesising thread.
struct Scratch {
    std::vector<float> light;
    std::vector<std::uint8_t> touched;
    std::vector<std::uint16_t> stage, rgb;
};

// Writes exactly image_bytes(p) bytes to `out`. Returns the mean brightness on a 0..255 scale. Once
// `*cancel` is set (from another thread) it stops soon, leaving `out` unfinished: a render nobody wants.
double synthesize(const FrameParams &p, std::uint8_t *out, Scratch &scratch, const std::atomic<bool> *cancel = nullptr);

}  // namespace qelsim
