// Sensor synthesis: the pixels of one frame, from a star field over sky, dark current, bias and noise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "model.h"

namespace qelsim {

struct Star {
    float x, y;  // sensor pixels, on the scene before any pointing offset
    float flux;  // electrons per second
};

// The stars one camera looks at, fixed by its seed. The scene wraps around a tile somewhat larger than
// the sensor, so that drift and guiding never run out of stars.
struct StarField {
    std::vector<Star> stars;
    double tile_x0 = 0, tile_y0 = 0, tile_w = 1, tile_h = 1;
};

std::shared_ptr<const StarField> make_star_field(const Model &model, std::uint64_t seed);

// Everything one frame depends on, snapshotted when it is taken: synthesis runs without locks.
struct FrameParams {
    int sensor_w = 0, sensor_h = 0;
    int width = 0, height = 0, bin = 1, img_type = IMG_RAW8;
    int start_x = 0, start_y = 0;  // binned pixels
    int flip = 0;
    bool hardware_bin = false, mono_bin = false;
    bool is_color = false;
    int bayer = BAYER_RG;
    int bit_depth = 16;
    double exposure_s = 0;
    bool dark = false;  // shutter closed: no sky, no stars
    int gain = 0, offset = 0, wb_r = 50, wb_b = 50;
    float elec_per_adu = 1;
    double read_noise = 0;
    double dark_rate = 0;  // electrons per second and pixel at the sensor's temperature
    double sky = 0;
    double fwhm = 3;
    double shift_x = 0, shift_y = 0;  // offset of the scene, sensor pixels
    std::uint64_t seed = 0;
    std::uint64_t frame = 0;  // frame number: the noise of each frame differs
    std::shared_ptr<const StarField> stars;
    std::shared_ptr<const std::vector<std::uint8_t>> dark_map;  // full sensor, grey, top row first
};

// Bytes of the image of these parameters.
std::size_t image_bytes(const FrameParams &p);

// Reusable work memory of one synthesising thread.
struct Scratch {
    std::vector<std::uint16_t> stage;
};

// Writes exactly image_bytes(p) bytes to `out`. Returns the mean brightness on a 0..255 scale.
double synthesize(const FrameParams &p, std::uint8_t *out, Scratch &scratch);

}  // namespace qelsim
