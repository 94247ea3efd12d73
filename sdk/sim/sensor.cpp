#include "sensor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qelsim {
namespace {

constexpr int kNoiseBits = 17;
constexpr std::size_t kNoiseSize = std::size_t(1) << kNoiseBits;
constexpr std::size_t kNoiseMask = kNoiseSize - 1;
constexpr std::size_t kMaxRow = 16384 * 3;  // values in the widest row: RGB24 at the widest sensor

std::uint64_t splitmix(std::uint64_t &state) {
    std::uint64_t z = (state += UINT64_C(0x9E3779B97F4A7C15));
    z = (z ^ (z >> 30)) * UINT64_C(0xBF58476D1CE4E5B9);
    z = (z ^ (z >> 27)) * UINT64_C(0x94D049BB133111EB);
    return z ^ (z >> 31);
}

std::uint64_t mix(std::uint64_t a, std::uint64_t b, std::uint64_t c = 0) {
    std::uint64_t s = a * UINT64_C(0x9E3779B97F4A7C15) ^ b;
    splitmix(s);
    s ^= c * UINT64_C(0xD1B54A32D192ED03);
    return splitmix(s);
}

double uniform(std::uint64_t &state) { return static_cast<double>(splitmix(state) >> 11) * (1.0 / 9007199254740992.0); }

// Standard normal deviates. Each frame row reads a stretch of this table from a place drawn from the
// seed, the frame number and the row: the cost of noise is then that of a memory read.
const float *noise_table() {
    static const float *table = [] {
        auto *t = new float[kNoiseSize];
        std::uint64_t state = 0x5151E1;
        for (std::size_t i = 0; i < kNoiseSize; i += 2) {
            const double u1 = std::max(uniform(state), 1e-300), u2 = uniform(state);
            const double r = std::sqrt(-2 * std::log(u1));
            t[i] = static_cast<float>(r * std::cos(6.283185307179586 * u2));
            t[i + 1] = static_cast<float>(r * std::sin(6.283185307179586 * u2));
        }
        return t;
    }();
    return table;
}

// Response of the red, green and blue filters relative to a bare monochrome pixel.
constexpr float kResponse[3] = {0.8f, 1.0f, 0.6f};
constexpr float kLuminance = (kResponse[0] + 2 * kResponse[1] + kResponse[2]) / 4;

// The filter colour (0 red, 1 green, 2 blue) at an even/odd column and row, per Bayer pattern.
constexpr int kCfa[4][2][2] = {
    {{0, 1}, {1, 2}},  // RG
    {{2, 1}, {1, 0}},  // BG
    {{1, 0}, {2, 1}},  // GR
    {{1, 2}, {0, 1}},  // GB
};

float clamp16(float v) { return v < 0 ? 0 : (v > 65535.f ? 65535.f : v); }

}  // namespace

std::shared_ptr<const StarField> make_star_field(const Model &model, std::uint64_t seed) {
    auto field = std::make_shared<StarField>();
    const double margin = 256;
    field->tile_x0 = -margin;
    field->tile_y0 = -margin;
    field->tile_w = model.max_width + 2 * margin;
    field->tile_h = model.max_height + 2 * margin;
    // A bright star at the sensor's centre, so that a guiding program finds one at once.
    field->stars.push_back(Star{static_cast<float>(model.max_width / 2.0 + 0.3),
                                static_cast<float>(model.max_height / 2.0 - 0.2), 2e4f});
    std::uint64_t state = mix(seed, 0x57A25);
    const auto count = static_cast<std::size_t>(model.star_density * field->tile_w * field->tile_h / 1e6);
    for (std::size_t i = 0; i < count; ++i) {
        const double x = field->tile_x0 + uniform(state) * field->tile_w;
        const double y = field->tile_y0 + uniform(state) * field->tile_h;
        // Faint stars are many, bright ones few.
        const double u = uniform(state);
        const double flux = 100 * std::pow(1000.0, u * u * u);
        field->stars.push_back(Star{static_cast<float>(x), static_cast<float>(y), static_cast<float>(flux)});
    }
    return field;
}

std::size_t image_bytes(const FrameParams &p) {
    if (p.width <= 0 || p.height <= 0) return 0;
    return static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height) *
           static_cast<std::size_t>(bytes_per_pixel(p.img_type));
}

double synthesize(const FrameParams &p, std::uint8_t *out, Scratch &scratch) {
    const float *noise = noise_table();
    const int w = p.width, h = p.height, bin = p.bin;
    const bool rgb = p.img_type == IMG_RGB24;
    const int nch = rgb ? 3 : 1;
    // Colour filters show in the raw formats, unless binning in mono mode sums them.
    const bool cfa = p.is_color && !rgb && p.img_type != IMG_Y8 && !(p.mono_bin && bin > 1);
    const std::size_t row_len = static_cast<std::size_t>(w) * nch;
    const std::size_t n = row_len * static_cast<std::size_t>(h);
    if (scratch.stage.size() < n) scratch.stage.resize(n);
    std::uint16_t *stage = scratch.stage.data();

    // Electrons to 16-bit ADU; values keep only the bits the converter has.
    const double k = std::pow(10.0, p.gain / 200.0) / p.elec_per_adu;
    const int shift = 16 - p.bit_depth;
    const auto qmask = static_cast<std::uint16_t>(0xFFFFu << shift);
    const double bias = 16.0 * p.offset;
    const double bins2 = static_cast<double>(bin) * bin;
    const double rate = (p.dark ? 0.0 : p.sky) * bins2;  // light, scaled per channel below
    const double dark_e = p.dark_rate * bins2 * p.exposure_s;
    const double read_var = p.read_noise * p.read_noise * (p.hardware_bin ? 1.0 : bins2);
    const float wb[3] = {p.wb_r / 50.f, 1.f, p.wb_b / 50.f};

    // Background level and noise of each channel (red, green, blue; index 3: mono or luminance).
    float level[4], sigma[4];
    for (int c = 0; c < 4; ++c) {
        float resp = c < 3 ? kResponse[c] : (p.is_color ? kLuminance : 1.f);
        if (rgb && c < 3) resp *= wb[c];
        const double e = rate * p.exposure_s * resp + dark_e;
        level[c] = static_cast<float>(bias + e * k);
        sigma[c] = static_cast<float>(std::sqrt(read_var + e) * k);
    }

    // ---- background, dark current, bias and noise
    const std::size_t span = kNoiseSize - kMaxRow;
    for (int y = 0; y < h; ++y) {
        std::uint16_t *row = stage + row_len * static_cast<std::size_t>(y);
        const float *nz = noise + mix(p.seed, p.frame, static_cast<std::uint64_t>(y) + 1) % span;
        if (rgb) {
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c) {
                    const float v = clamp16(level[c] + nz[3 * x + c] * sigma[c]);
                    row[3 * x + c] = static_cast<std::uint16_t>(static_cast<std::uint16_t>(v) & qmask);
                }
        } else if (cfa) {
            const int ay = p.start_y + y;
            const int c0 = kCfa[p.bayer & 3][ay & 1][p.start_x & 1];
            const int c1 = kCfa[p.bayer & 3][ay & 1][(p.start_x + 1) & 1];
            const float l0 = level[c0], s0 = sigma[c0], l1 = level[c1], s1 = sigma[c1];
            int x = 0;
            for (; x + 1 < w; x += 2) {
                const float v0 = clamp16(l0 + nz[x] * s0);
                const float v1 = clamp16(l1 + nz[x + 1] * s1);
                row[x] = static_cast<std::uint16_t>(static_cast<std::uint16_t>(v0) & qmask);
                row[x + 1] = static_cast<std::uint16_t>(static_cast<std::uint16_t>(v1) & qmask);
            }
            if (x < w) row[x] = static_cast<std::uint16_t>(static_cast<std::uint16_t>(clamp16(l0 + nz[x] * s0)) & qmask);
        } else {
            const float l = level[3], s = sigma[3];
            for (int x = 0; x < w; ++x) {
                const float v = clamp16(l + nz[x] * s);
                row[x] = static_cast<std::uint16_t>(static_cast<std::uint16_t>(v) & qmask);
            }
        }
    }

    // ---- stars: a Gaussian image integrated over each pixel, with shot noise
    if (!p.dark && p.stars && p.exposure_s > 0) {
        const StarField &f = *p.stars;
        const double sig = p.fwhm / 2.3548 / bin;  // in binned pixels
        const int r = static_cast<int>(std::ceil(4 * sig)) + 1;
        const double inv = 1.0 / (std::sqrt(2.0) * sig);
        std::vector<double> gx(2 * r + 2), gy(2 * r + 2);
        std::uint64_t star_index = 0;
        for (const Star &s : f.stars) {
            ++star_index;
            // Where the star is now, wrapped into the scene's tile, in binned pixels of the region.
            double sx = std::fmod(s.x + p.shift_x - f.tile_x0, f.tile_w);
            double sy = std::fmod(s.y + p.shift_y - f.tile_y0, f.tile_h);
            if (sx < 0) sx += f.tile_w;
            if (sy < 0) sy += f.tile_h;
            const double u = (sx + f.tile_x0) / bin - p.start_x;
            const double v = (sy + f.tile_y0) / bin - p.start_y;
            const int cx = static_cast<int>(std::floor(u)), cy = static_cast<int>(std::floor(v));
            if (cx + r < 0 || cy + r < 0 || cx - r >= w || cy - r >= h) continue;
            for (int i = 0; i <= 2 * r; ++i) {
                const int px = cx - r + i, py = cy - r + i;
                gx[i] = 0.5 * (std::erf((px + 1 - u) * inv) - std::erf((px - u) * inv));
                gy[i] = 0.5 * (std::erf((py + 1 - v) * inv) - std::erf((py - v) * inv));
            }
            const double electrons = s.flux * p.exposure_s;
            for (int j = 0; j <= 2 * r; ++j) {
                const int py = cy - r + j;
                if (py < 0 || py >= h || gy[j] < 1e-7) continue;
                for (int i = 0; i <= 2 * r; ++i) {
                    const int px = cx - r + i;
                    if (px < 0 || px >= w) continue;
                    const double share = electrons * gx[i] * gy[j];
                    if (share < 1e-3) continue;
                    const std::size_t at = (static_cast<std::size_t>(py) * w + px) * nch;
                    for (int c = 0; c < nch; ++c) {
                        float resp;
                        if (rgb) resp = kResponse[c] * wb[c];
                        else if (cfa) resp = kResponse[kCfa[p.bayer & 3][(p.start_y + py) & 1][(p.start_x + px) & 1]];
                        else resp = p.is_color ? kLuminance : 1.f;
                        const double e = share * resp;
                        const float z = noise[mix(p.frame, star_index, at + c) & kNoiseMask];
                        const double add = (e + z * std::sqrt(e)) * k;
                        const float val = clamp16(static_cast<float>(stage[at + c] + add));
                        stage[at + c] = static_cast<std::uint16_t>(static_cast<std::uint16_t>(val) & qmask);
                    }
                }
            }
        }
    }

    // ---- dark subtraction: the grey dark of the sensor pixels under each binned pixel
    if (p.dark_map && p.dark_map->size() == static_cast<std::size_t>(p.sensor_w) * p.sensor_h) {
        const std::uint8_t *dm = p.dark_map->data();
        for (int y = 0; y < h; ++y) {
            const int sy0 = (p.start_y + y) * bin;
            for (int x = 0; x < w; ++x) {
                const int sx0 = (p.start_x + x) * bin;
                unsigned sum = 0;
                for (int dy = 0; dy < bin; ++dy) {
                    const std::uint8_t *src = dm + static_cast<std::size_t>(sy0 + dy) * p.sensor_w + sx0;
                    for (int dx = 0; dx < bin; ++dx) sum += src[dx];
                }
                const unsigned d16 = (sum + bin * bin / 2) / (bin * bin) * 256u;
                std::uint16_t *px = stage + (static_cast<std::size_t>(y) * w + x) * nch;
                for (int c = 0; c < nch; ++c) px[c] = static_cast<std::uint16_t>(px[c] > d16 ? px[c] - d16 : 0);
            }
        }
    }

    // ---- brightness, for automatic exposure and gain
    std::uint64_t total = 0, count = 0;
    for (std::size_t i = 0; i < n; i += 61) total += stage[i], ++count;
    const double mean = count ? static_cast<double>(total) / count / 256.0 : 0;

    // ---- out, in the format's byte order and the flip's orientation
    const bool flip_h = p.flip & QEL_FLIP_HORIZ, flip_v = p.flip & QEL_FLIP_VERT;
    const int bpp = bytes_per_pixel(p.img_type);
    const std::size_t out_row = static_cast<std::size_t>(w) * bpp;
    for (int y = 0; y < h; ++y) {
        const std::uint16_t *src = stage + row_len * static_cast<std::size_t>(y);
        std::uint8_t *dst = out + out_row * static_cast<std::size_t>(flip_v ? h - 1 - y : y);
        if (p.img_type == IMG_RAW16) {
            if (!flip_h) {
                for (int x = 0; x < w; ++x) {
                    dst[2 * x] = static_cast<std::uint8_t>(src[x] & 0xFF);  // little-endian on every host
                    dst[2 * x + 1] = static_cast<std::uint8_t>(src[x] >> 8);
                }
            } else {
                for (int x = 0; x < w; ++x) {
                    const int o = w - 1 - x;
                    dst[2 * o] = static_cast<std::uint8_t>(src[x] & 0xFF);
                    dst[2 * o + 1] = static_cast<std::uint8_t>(src[x] >> 8);
                }
            }
        } else if (rgb) {
            for (int x = 0; x < w; ++x) {
                const int o = flip_h ? w - 1 - x : x;
                for (int c = 0; c < 3; ++c) dst[3 * o + c] = static_cast<std::uint8_t>(src[3 * x + c] >> 8);
            }
        } else if (!flip_h) {
            for (int x = 0; x < w; ++x) dst[x] = static_cast<std::uint8_t>(src[x] >> 8);
        } else {
            for (int x = 0; x < w; ++x) dst[w - 1 - x] = static_cast<std::uint8_t>(src[x] >> 8);
        }
    }
    return mean;
}

}  // namespace qelsim
