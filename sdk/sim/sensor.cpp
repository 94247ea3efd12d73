#include "sensor.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

#include "random.h"

// The row memory of the pixel loop is written through pointers that alias nothing else: saying so lets
// the compiler keep the loop's constants in registers and vectorise.
#if defined(_MSC_VER) || defined(__GNUC__) || defined(__clang__)
#define QEL_RESTRICT __restrict
#else
#define QEL_RESTRICT
#endif

namespace qelsim {
namespace {

// The filter colour (kRed, kGreen, kBlue) at an even/odd column and row, per Bayer pattern.
constexpr int kCfa[4][2][2] = {
    {{kRed, kGreen}, {kGreen, kBlue}},  // RG
    {{kBlue, kGreen}, {kGreen, kRed}},  // BG
    {{kGreen, kRed}, {kBlue, kGreen}},  // GR
    {{kGreen, kBlue}, {kRed, kGreen}},  // GB
};

// Standard normal quantiles at the centres of 65536 equal slices of probability: a 16-bit random word
// picks a normal deviate in one memory read. The randomness is in the counter-based hash that picks
// the slice; the table is the inverse distribution function.
double inverse_normal(double p) {
    // Rational approximations of the inverse normal distribution function (relative error below 1.2e-9),
    // for the central region and the tails.
    static const double a[] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                               1.383577518672690e+02, -3.066479806614716e+01, 2.506628277459239e+00};
    static const double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                               6.680131188771972e+01, -1.328068155288572e+01};
    static const double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                               -2.549732539343734e+00, 4.374664141464968e+00, 2.938163982698783e+00};
    static const double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                               3.754408661907416e+00};
    if (p < 0.02425) {
        const double q = std::sqrt(-2 * std::log(p));
        return (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
               ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
    }
    if (p > 1 - 0.02425) return -inverse_normal(1 - p);
    const double q = p - 0.5, r = q * q;
    return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
           (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
}

const float *normal_table() {
    static const float *table = [] {
        auto *t = new float[65536];
        for (int i = 0; i < 65536; ++i) t[i] = static_cast<float>(inverse_normal((i + 0.5) / 65536));
        return t;
    }();
    return table;
}

// Below this mean a pixel's electrons are drawn from the exact Poisson distribution; above it from a
// normal one of the same mean and variance, rounded to whole electrons.
constexpr float kExactPoisson = 16;

// A Poisson deviate of mean `mean` by inversion of a uniform `u` in [0, 1), for u > 1 - mean (below, it
// is 0, since exp(-mean) >= 1 - mean: most pixels of short exposures need nothing more). From
// kExactPoisson on, a rounded normal deviate of the same mean and variance from `z`.
float poisson_above(float mean, float u, float z) {
    if (mean >= kExactPoisson) return std::max(0.f, std::floor(mean + std::sqrt(mean) * z + 0.5f));
    float p = std::exp(-mean), cdf = p;
    int k = 0;
    while (u > cdf && k < 64) {
        ++k;
        p *= mean / static_cast<float>(k);
        cdf += p;
    }
    return static_cast<float>(k);
}

bool little_endian() {
    const std::uint16_t one = 1;
    std::uint8_t low;
    std::memcpy(&low, &one, 1);
    return low == 1;
}

inline float clamp16(float v) { return std::min(std::max(v, 0.f), 65535.f); }

// Runs render(y0, y1) over the rows 0..h of an image of `w` pixels a row, in chunks of kChunk rows, on
// `threads` threads, or with threads = 0 on one thread per core (at most kMaxBands) for each
// kPixelsPerBand pixels. This thread is one of them. Each takes the next chunk that nobody has taken
// yet, so a thread that the system holds back (or that could not be had) leaves its share to the others
// and rows of different cost (the amp glow's corner, a bright star) even out. Every row is rendered
// once, by whichever thread: the result is the same.
template <class Render>
void render_in_bands(int h, std::size_t w, int threads, const Render &render) {
    constexpr int kMaxBands = 4, kChunk = 16;
    constexpr std::size_t kPixelsPerBand = 1 << 17;
    const int chunks = (h + kChunk - 1) / kChunk;
    int bands = threads;
    if (bands <= 0) {
        bands = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, kMaxBands);
        bands = static_cast<int>(std::min(static_cast<std::size_t>(bands), static_cast<std::size_t>(h) * w / kPixelsPerBand));
    }
    bands = std::min(bands, chunks);
    if (bands <= 1) {
        render(0, h);
        return;
    }
    // What a helper throws (out of memory) is thrown here, after every helper has finished.
    std::vector<std::exception_ptr> failed(static_cast<std::size_t>(bands));
    std::atomic<int> next{0};
    const auto band = [&](int b) {
        try {
            for (int c = next++; c < chunks; c = next++) render(c * kChunk, std::min(h, (c + 1) * kChunk));
        } catch (...) {
            failed[static_cast<std::size_t>(b)] = std::current_exception();
            next = chunks;  // the others stop too
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(static_cast<std::size_t>(bands));
    try {
        for (int b = 1; b < bands; ++b) helpers.emplace_back(band, b);
    } catch (const std::system_error &) {
    }
    band(0);
    for (std::thread &t : helpers) t.join();
    for (const std::exception_ptr &e : failed)
        if (e) std::rethrow_exception(e);
}

}  // namespace

double read_noise_at(const Model &m, int gain) {
    if (m.gain_lowest_rn <= 0 || gain >= m.gain_lowest_rn) return m.read_noise;
    return m.read_noise + (m.read_noise_gain0 - m.read_noise) * (1.0 - static_cast<double>(gain) / m.gain_lowest_rn);
}

std::shared_ptr<const SensorMaps> make_sensor_maps(const Model &m) {
    auto maps = std::make_shared<SensorMaps>();
    const int w = m.max_width, h = m.max_height;
    maps->key = rnd::key(m.seed, 0x5E4502);
    maps->width = w;
    maps->height = h;
    const auto bands = static_cast<std::size_t>((h + SensorMaps::kBand - 1) / SensorMaps::kBand);
    maps->prnu_once.reset(new std::once_flag[bands]);
    maps->prnu.reset(new std::unique_ptr<std::int8_t[]>[bands]);
    rnd::Stream r(rnd::key(m.seed, 0xB1A5));
    // Fixed row and column offsets of the bias, without a mean of their own.
    auto pattern = [&](std::vector<float> &v, int n, double sd) {
        v.resize(static_cast<std::size_t>(n));
        double sum = 0;
        for (float &x : v) sum += x = static_cast<float>(sd * r.normal());
        for (float &x : v) x -= static_cast<float>(sum / n);
    };
    pattern(maps->row_bias, h, m.bias_rows);
    pattern(maps->col_bias, w, m.bias_cols);
    // Vignetting falls with the square of the distance from the centre to `vignetting` in the corners.
    const double hx = w / 2.0, hy = h / 2.0, fall = (1 - m.vignetting) / (hx * hx + hy * hy);
    maps->vig_col.resize(static_cast<std::size_t>(w));
    maps->vig_row.resize(static_cast<std::size_t>(h));
    for (int x = 0; x < w; ++x) maps->vig_col[x] = static_cast<float>(1 - fall * (x + 0.5 - hx) * (x + 0.5 - hx));
    for (int y = 0; y < h; ++y) maps->vig_row[y] = static_cast<float>(-fall * (y + 0.5 - hy) * (y + 0.5 - hy));
    // Amp glow: from the top right corner, falling by e every 120 pixels along each edge.
    maps->glow_col.resize(static_cast<std::size_t>(w));
    maps->glow_row.resize(static_cast<std::size_t>(h));
    for (int x = 0; x < w; ++x) maps->glow_col[x] = static_cast<float>(std::exp(-(w - 1 - x) / 120.0));
    for (int y = 0; y < h; ++y) maps->glow_row[y] = static_cast<float>(std::exp(-y / 120.0));
    // Hot pixels (20-2000 times the dark current) and warm ones (3-20 times), log-uniformly.
    const double pixels = static_cast<double>(w) * h;
    auto scatter = [&](double share, double lo, double hi) {
        const std::uint64_t n = r.poisson(share * pixels);
        for (std::uint64_t i = 0; i < n; ++i) {
            const auto x = static_cast<std::uint32_t>(r.uniform() * w), y = static_cast<std::uint32_t>(r.uniform() * h);
            maps->hot.push_back({x, y, static_cast<float>(lo * std::pow(hi / lo, r.uniform()))});
        }
    };
    scatter(m.hot_pixels, 20, 2000);
    scatter(m.warm_pixels, 3, 20);
    std::sort(maps->hot.begin(), maps->hot.end(),
              [](const SensorMaps::Hot &a, const SensorMaps::Hot &b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
    return maps;
}

const std::int8_t *SensorMaps::prnu_row(int y) const {
    const int band = y / kBand;
    std::call_once(prnu_once[band], [&] {
        const float *normal = normal_table();
        const std::size_t first = static_cast<std::size_t>(band) * kBand * width;
        const std::size_t count = static_cast<std::size_t>(std::min(kBand, height - band * kBand)) * width;
        auto rows = std::make_unique<std::int8_t[]>(count);
        for (std::size_t i = 0; i < count; ++i) {
            const float z = normal[rnd::at(key, first + i) & 0xFFFF] * 32;
            rows[i] = static_cast<std::int8_t>(std::clamp(z, -127.f, 127.f));
        }
        prnu[band] = std::move(rows);
    });
    return prnu[band].get() + static_cast<std::size_t>(y - band * kBand) * width;
}

std::size_t image_bytes(const FrameParams &p) {
    if (p.width <= 0 || p.height <= 0) return 0;
    return static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height) *
           static_cast<std::size_t>(bytes_per_pixel(p.img_type));
}

// ---- the stages of a frame, in the order they render it

namespace {

// The image on the sensor as every stage sees it: its size, the sensor pixel of its corner, and the
// channel of each output pixel by row and column parity (a filter colour of the mosaic, clear on a
// monochrome sensor, or the mean of a Bayer cell in mono bin).
struct Geometry {
    int w = 0, h = 0, bin = 1;
    std::size_t n = 0;                // pixels of the image
    double bins2 = 1;                 // sensor pixels in one output pixel
    double x_first = 0, y_first = 0;  // sensor pixel of the image's corner
    int start_x = 0, start_y = 0;     // binned pixels
    int sensor_w = 0, sensor_h = 0;
    bool mosaic = false;  // the sensor's values are colours of the Bayer filters
    int chan[2][2] = {};
};

Geometry geometry(const ImageArea &a) {
    Geometry g;
    g.w = a.width;
    g.h = a.height;
    g.bin = a.bin;
    g.n = static_cast<std::size_t>(a.width) * static_cast<std::size_t>(a.height);
    g.bins2 = static_cast<double>(a.bin) * a.bin;
    g.x_first = a.start_x * a.bin;
    g.y_first = a.start_y * a.bin;
    g.start_x = a.start_x;
    g.start_y = a.start_y;
    g.sensor_w = a.sensor_w;
    g.sensor_h = a.sensor_h;
    const bool mono_bin = a.is_color && a.mono_bin && a.bin > 1;
    g.mosaic = a.is_color && !mono_bin;
    for (int j = 0; j < 2; ++j)
        for (int i = 0; i < 2; ++i)
            g.chan[j][i] = !a.is_color ? kClear : mono_bin ? kLuminance : kCfa[a.bayer & 3][(a.start_y + j) & 1][(a.start_x + i) & 1];
    return g;
}

// Whether light reaches the sensor in this exposure.
bool lit(const Shot &shot) { return !shot.dark && shot.exposure_s > 0; }

// ---- 1-2. Sky and optics: the stars' images, vignetting

// The light of the stars, meteors and satellites in electrons per output pixel, before vignetting and
// the sensor. Only rows that some light reaches are cleared and flagged in `touched`; the others hold
// none.
struct Starlight {
    float *light;
    std::uint8_t *touched;
};

// Adds a star's image (Gaussian, integrated over each pixel) of `electrons[channel]` to the light.
struct StarPainter {
    int w, h;
    Starlight out;
    int chan[2][2];  // channel of an output pixel by row and column parity
    std::vector<double> ex, ey;

    void paint(double u, double v, double sigma, const double electrons[kChannels]) {
        double peak = 0;
        for (int c = 0; c < kChannels; ++c) peak = std::max(peak, electrons[c]);
        peak /= 6.283185307179586 * sigma * sigma;
        // Out to where a pixel would get a fiftieth of an electron, at most six sigma.
        const double reach = peak > 0.02 ? std::sqrt(2 * std::log(peak / 0.02)) : 0.5;
        const int r = static_cast<int>(std::ceil(sigma * std::min(reach, 6.0))) + 1;
        const int cx = static_cast<int>(std::floor(u)), cy = static_cast<int>(std::floor(v));
        if (cx + r < 0 || cy + r < 0 || cx - r >= w || cy - r >= h) return;
        const double inv = 1.0 / (std::sqrt(2.0) * sigma);
        ex.resize(2 * r + 2);
        ey.resize(2 * r + 2);
        for (int i = 0; i <= 2 * r + 1; ++i) {
            ex[i] = 0.5 * std::erf((cx - r + i - u) * inv);
            ey[i] = 0.5 * std::erf((cy - r + i - v) * inv);
        }
        for (int j = 0; j <= 2 * r; ++j) {
            const int py = cy - r + j;
            const double gy = ey[j + 1] - ey[j];
            if (py < 0 || py >= h || gy < 1e-9) continue;
            float *row = out.light + static_cast<std::size_t>(py) * w;
            if (!out.touched[py]) std::fill(row, row + w, 0.f), out.touched[py] = 1;
            const int *ch = chan[py & 1];
            for (int i = std::max(0, r - cx); i <= 2 * r && cx - r + i < w; ++i) {
                const int px = cx - r + i;
                row[px] += static_cast<float>(electrons[ch[px & 1]] * gy * (ex[i + 1] - ex[i]));
            }
        }
    }
};

// The share of a star's light that reaches this frame after occultations and scintillation.
double star_share(const SkyOptics &o, const Shot &shot, const Star &s) {
    double share = 1;
    for (const Dimming &d : o.dimmed)
        if (std::fabs(d.dec - s.dec) < 3e-4 && std::fabs(d.ra - s.ra) * std::cos(s.dec * 0.017453292519943295) < 3e-4)
            share *= d.factor;
    if (o.scintillation > 0) {
        std::uint64_t ra_bits, dec_bits;
        std::memcpy(&ra_bits, &s.ra, 8);
        std::memcpy(&dec_bits, &s.dec, 8);
        const float z = normal_table()[rnd::key(shot.seed, shot.frame, ra_bits, dec_bits) & 0xFFFF];
        share *= std::max(0.0, 1 + o.scintillation * z);
    }
    return share;
}

// The stars of the field where the scene puts them (along its path, if it moved), each a Gaussian core
// and a wing three times as wide, wider towards the corners; then meteors and satellites.
void paint_stars(const SkyOptics &o, const Shot &shot, const Geometry &g, Starlight out, const std::atomic<bool> *cancel) {
    if (!lit(shot)) return;
    const int w = g.w, h = g.h, bin = g.bin;
    const double t = shot.exposure_s;
    StarPainter painter{w, h, out, {{g.chan[0][0], g.chan[0][1]}, {g.chan[1][0], g.chan[1][1]}}, {}, {}};
    if (o.stars) {
        const double hw = g.sensor_w / 2.0, hh = g.sensor_h / 2.0, corner = hw * hw + hh * hh;
        // Stars this far outside the image (output pixels) can still shine into it, along their paths too.
        double reach = 40;
        for (const PathStep &step : o.path) reach = std::max(reach, 40 + std::max(std::fabs(step.dx), std::fabs(step.dy)) / bin);
        for (const Star &s : o.stars->stars) {
            if (cancel && cancel->load(std::memory_order_relaxed)) return;
            const double sx = s.x + o.shift_x, sy = s.y + o.shift_y;
            // Where the star is in output pixels: pixel i covers [i, i + 1).
            const double u = (sx + 0.5) / bin - g.start_x, v = (sy + 0.5) / bin - g.start_y;
            if (u < -reach || v < -reach || u > w + reach || v > h + reach) continue;
            const double share = o.star_light * star_share(o, shot, s);
            double e[kChannels], most = 0;
            for (int c = 0; c < kChannels; ++c) most = std::max(most, e[c] = s.rate[c] * t * share);
            if (most < 0.05) continue;
            const double r2 = ((sx - hw) * (sx - hw) + (sy - hh) * (sy - hh)) / corner;
            const double sigma = o.sigma * (1 + (o.psf_corner - 1) * r2) / bin;
            const double wing = most * o.psf_wing > 1 ? o.psf_wing : 0;
            double core[kChannels], halo[kChannels];
            for (int c = 0; c < kChannels; ++c) core[c] = e[c] * (1 - wing), halo[c] = e[c] * wing;
            if (o.path.empty()) {
                painter.paint(u, v, sigma, core);
                if (wing > 0) painter.paint(u, v, 3 * sigma, halo);
                continue;
            }
            // A moving scene: the star's image at the steps of its path, each with its share of the light.
            // A faint star takes fewer of the (evenly timed) steps, about two electrons each: its trail
            // is lost in the noise anyway, and its light stays whole.
            const std::size_t all = o.path.size();
            const std::size_t n = std::min(all, std::max<std::size_t>(8, static_cast<std::size_t>(most / 2)));
            for (std::size_t j = 0; j < n; ++j) {
                const PathStep &step = o.path[(2 * j + 1) * all / (2 * n)];
                double c1[kChannels], h1[kChannels];
                for (int c = 0; c < kChannels; ++c) c1[c] = core[c] / n, h1[c] = halo[c] / n;
                painter.paint(u + step.dx / bin, v + step.dy / bin, sigma, c1);
                if (wing > 0) painter.paint(u + step.dx / bin, v + step.dy / bin, 3 * sigma, h1);
            }
        }
    }
    // Meteors and satellites: points of light along their tracks.
    for (const Spot &spot : o.spots)
        painter.paint((spot.x + 0.5) / bin - g.start_x, (spot.y + 0.5) / bin - g.start_y, o.sigma / bin, spot.electrons);
}

// Vignetting of each output row and column (means over the binned pixels): the light of pixel (x, y)
// is multiplied by y[y] + x[x].
struct Vignetting {
    std::vector<float> x, y;
    float max_x = 0;
};

Vignetting vignetting(const SensorMaps &maps, const Geometry &g) {
    Vignetting v;
    v.x.resize(static_cast<std::size_t>(g.w));
    v.y.resize(static_cast<std::size_t>(g.h));
    for (int x = 0; x < g.w; ++x) {
        const int s0 = static_cast<int>(g.x_first) + x * g.bin;
        v.x[x] = 0;
        for (int b = 0; b < g.bin; ++b) v.x[x] += maps.vig_col[s0 + b] / g.bin;
        v.max_x = std::max(v.max_x, v.x[x]);
    }
    for (int y = 0; y < g.h; ++y) {
        const int s0 = static_cast<int>(g.y_first) + y * g.bin;
        v.y[y] = 0;
        for (int b = 0; b < g.bin; ++b) v.y[y] += maps.vig_row[s0 + b] / g.bin;
    }
    return v;
}

// ---- 3. Photometry: the sky background

// The sky's electrons in a pixel (before vignetting): its level by filter colour times (1 + gradient),
// as level_x[y & 1][x] * row_factor(y) + gradient_x[y & 1][x].
struct SkyLevels {
    std::vector<float> level_x[2], gradient_x[2];
    float brightest = 0;  // the most a pixel gets
    float level_max = 0, gradient_max = 0;
    double gy = 0, y_first = 0;
    int bin = 1, sensor_h = 1;

    float row_factor(int y) const { return static_cast<float>(1 + gy * ((y_first + (y + 0.5) * bin) / sensor_h - 0.5)); }
};

SkyLevels sky_background(const SkyBackground &b, const Shot &shot, const Geometry &g) {
    SkyLevels s;
    s.gy = b.sky_gy;
    s.y_first = g.y_first;
    s.bin = g.bin;
    s.sensor_h = g.sensor_h;
    const bool light = lit(shot);
    const double t = shot.exposure_s;
    for (int rp = 0; rp < 2; ++rp) {
        s.level_x[rp].resize(static_cast<std::size_t>(g.w));
        s.gradient_x[rp].resize(static_cast<std::size_t>(g.w));
        for (int x = 0; x < g.w; ++x) {
            const double level = light ? b.sky[g.chan[rp][x & 1]] * t * g.bins2 : 0;
            const double xc = (g.x_first + (x + 0.5) * g.bin) / g.sensor_w - 0.5;
            s.level_x[rp][x] = static_cast<float>(level);
            s.gradient_x[rp][x] = static_cast<float>(level * b.sky_gx * xc);
            s.brightest = std::max(s.brightest, static_cast<float>(level * (1 + std::fabs(b.sky_gx) + std::fabs(b.sky_gy))));
        }
    }
    for (int rp = 0; rp < 2; ++rp)
        for (int x = 0; x < g.w; ++x)
            s.level_max = std::max(s.level_max, s.level_x[rp][x]),
            s.gradient_max = std::max(s.gradient_max, std::fabs(s.gradient_x[rp][x]));
    return s;
}

// ---- 4. The sensor: response non-uniformity, dark current, hot pixels, amp glow, cosmic rays

// Electrons that land on single pixels beside the smooth signal: hot pixels and cosmic rays.
struct Extra {
    std::size_t at;  // output pixel
    float electrons;
    bool operator<(const Extra &o) const { return at < o.at; }
};

// What the sensor adds to the light of the image, by output pixel, row and column.
struct SensorFlaws {
    const SensorMaps *maps = nullptr;
    std::vector<float> glow_x, glow_y;  // amp glow = glow * glow_y[y] * glow_x[x]
    std::vector<float> bias_x, bias_y;  // the bias pattern, ADU on the 16-bit scale
    float glow_max = 0;
    float glow = 0;  // electrons of amp glow at the corner over the exposure
    float dark = 0;  // electrons of dark current in an output pixel
    float well = 0;  // electrons an output pixel holds
    float prnu = 0;  // sd of the response of an output pixel (the mean of bin x bin sensor pixels)
    std::vector<Extra> extras;  // by output pixel, closed by one past the image
};

SensorFlaws sensor_flaws(const SensorParams &sp, const Shot &shot, const Geometry &g) {
    SensorFlaws f;
    const SensorMaps &maps = *sp.maps;
    f.maps = &maps;
    const int w = g.w, h = g.h, bin = g.bin;
    const double x_first = g.x_first, y_first = g.y_first, t = shot.exposure_s;
    // Single pixels: hot and warm pixels, cosmic rays.
    std::vector<Extra> &extras = f.extras;
    const int y_end = static_cast<int>(y_first) + h * bin, x_end = static_cast<int>(x_first) + w * bin;
    if (sp.dark_e > 0) {
        auto it = std::lower_bound(maps.hot.begin(), maps.hot.end(), static_cast<std::uint32_t>(y_first),
                                   [](const SensorMaps::Hot &a, std::uint32_t y) { return a.y < y; });
        for (; it != maps.hot.end() && static_cast<int>(it->y) < y_end; ++it) {
            if (static_cast<int>(it->x) < x_first || static_cast<int>(it->x) >= x_end) continue;
            const std::size_t at = static_cast<std::size_t>((it->y - y_first) / bin) * w + (it->x - x_first) / bin;
            extras.push_back({at, static_cast<float>((it->factor - 1) * sp.dark_e)});
        }
    }
    if (sp.cosmic_rate > 0 && t > 0) {
        rnd::Stream r(rnd::key(shot.seed, shot.frame, 0xC05A1C));
        const std::uint64_t hits = r.poisson(sp.cosmic_rate * t);
        for (std::uint64_t k = 0; k < hits; ++k) {
            // A short track of 1-4 pixels, a few hundred to a few thousand electrons.
            double x = r.uniform() * g.sensor_w, y = r.uniform() * g.sensor_h;
            const double angle = 6.283185307179586 * r.uniform();
            const int length = 1 + static_cast<int>(r.uniform() * 4);
            const double energy = 400 * std::exp(2.5 * r.uniform()) / length;
            for (int i = 0; i < length; ++i, x += std::cos(angle), y += std::sin(angle)) {
                const int ix = static_cast<int>(x), iy = static_cast<int>(y);
                if (ix < x_first || ix >= x_end || iy < y_first || iy >= y_end) continue;
                const std::size_t at = static_cast<std::size_t>((iy - y_first) / bin) * w + (ix - x_first) / bin;
                extras.push_back({at, static_cast<float>(energy)});
            }
        }
    }
    std::sort(extras.begin(), extras.end());
    extras.push_back({g.n, 0});  // the end
    // Amp glow and bias pattern of each output row and column (sums over the binned pixels; the bias of
    // the first).
    f.glow_x.resize(static_cast<std::size_t>(w));
    f.bias_x.resize(static_cast<std::size_t>(w));
    f.glow_y.resize(static_cast<std::size_t>(h));
    f.bias_y.resize(static_cast<std::size_t>(h));
    for (int x = 0; x < w; ++x) {
        const int s0 = static_cast<int>(x_first) + x * bin;
        f.glow_x[x] = 0;
        for (int b = 0; b < bin; ++b) f.glow_x[x] += maps.glow_col[s0 + b];
        f.bias_x[x] = maps.col_bias[s0];
        f.glow_max = std::max(f.glow_max, f.glow_x[x]);
    }
    for (int y = 0; y < h; ++y) {
        const int s0 = static_cast<int>(y_first) + y * bin;
        f.glow_y[y] = 0;
        for (int b = 0; b < bin; ++b) f.glow_y[y] += maps.glow_row[s0 + b];
        f.bias_y[y] = maps.row_bias[s0];
    }
    f.glow = static_cast<float>(sp.amp_glow * t);
    f.dark = static_cast<float>(sp.dark_e * g.bins2);
    f.well = static_cast<float>(sp.full_well * g.bins2);
    f.prnu = static_cast<float>(sp.prnu / bin);
    return f;
}

// The row memory of one thread that renders rows.
struct RowMemory {
    explicit RowMemory(int width)
        : first_digits(static_cast<std::size_t>(width)), threshold(static_cast<std::size_t>(width)),
          noise(static_cast<std::size_t>(width)), expected(static_cast<std::size_t>(width)) {}
    std::vector<std::int32_t> first_digits, threshold;
    std::vector<float> noise, expected;
};

// The electrons one row of pixels expects: the light (sky and stars) through vignetting and pixel
// response, dark current, amp glow, hot pixels and cosmic rays. A pixel whose shot-noise uniform u (in
// [u16, u16 + 1) / 65536) lies at or below exp(-mean) gets no electron; 1 - mean <= exp(-mean), so u16
// below floor(65536 (1 - mean)) settles it at once: `threshold` holds that bound of each pixel. Dim
// rows (short exposures) are not computed whole: one threshold from the row's largest mean serves all
// their pixels, and at(x) gives the mean of the few that pass it.
struct RowMeans {
    bool dim = false;
    std::int32_t row_threshold = 0;
    const float *mean = nullptr;             // rows that are not dim: each pixel's mean
    const std::int32_t *threshold = nullptr;  // and its bound

    const float *lx = nullptr, *gx = nullptr, *vx = nullptr, *star = nullptr, *glow_x = nullptr;
    const std::int8_t *pm = nullptr;  // PRNU of the row's sensor pixels, or null where it is left out
    float row_factor = 1, vy = 0, gy = 0, dark = 0, prnu_step = 0;
    int bin = 1;
    std::size_t row0 = 0;
    const Extra *extras_begin = nullptr, *extras_end = nullptr;

    float at(int x) const {
        float e = (lx[x] * row_factor + gx[x] + (star ? star[x] : 0.f)) * (vy + vx[x]);
        if (pm) e *= 1 + prnu_step * pm[static_cast<std::size_t>(x) * bin];
        e += gy * glow_x[x] + dark;
        for (const Extra *i = extras_begin; i != extras_end; ++i)
            if (i->at == row0 + static_cast<std::size_t>(x)) e += i->electrons;
        return e;
    }
};

// Row y's means; `extra` is the first single pixel at or after the row, and moves past it.
RowMeans expected_electrons(const SkyLevels &sky, const Vignetting &vig, const SensorFlaws &f, const Geometry &g,
                            Starlight starlight, int y, const Extra *&extra, RowMemory &memory) {
    // The constants the loops use, as this function's own: the row stores below cannot alias them.
    const int width = g.w, bin = g.bin;
    const float dark_px = f.dark, prnu_px = f.prnu / 32;  // the map holds 32 x the normal deviate
    RowMeans row;
    const std::size_t row0 = static_cast<std::size_t>(y) * width;
    const float *star = starlight.touched[y] ? starlight.light + row0 : nullptr;
    const float vy = vig.y[y], gy = f.glow * f.glow_y[y];
    const float row_factor = sky.row_factor(y);
    const float *lx = sky.level_x[y & 1].data(), *gx = sky.gradient_x[y & 1].data(), *vx = vig.x.data();
    const float *glow_x = f.glow_x.data();

    const Extra *extras_begin = extra, *extras_end = extra;
    float extra_max = 0, star_max = 0;
    for (; extras_end->at < row0 + static_cast<std::size_t>(width); ++extras_end)
        extra_max = std::max(extra_max, extras_end->electrons);
    extra = extras_end;
    if (star)
        for (int x = 0; x < width; ++x) star_max = std::max(star_max, star[x]);
    // Where the light stays below a tenth of an electron, its PRNU (a thousandth of an electron) is left out.
    const std::int8_t *pm = sky.brightest > 0.1f || star_max > 0.1f
                                ? f.maps->prnu_row(static_cast<int>(g.y_first) + y * bin) + static_cast<std::size_t>(g.x_first)
                                : nullptr;
    const float bound = (sky.level_max * (row_factor + sky.gradient_max) + star_max) * (vy + vig.max_x) * (1 + 4 * f.prnu) +
                        gy * f.glow_max + dark_px + extra_max;
    row.dim = bound < 1e-3f;
    row.row_threshold = static_cast<std::int32_t>(65536.f * (1 - bound));
    row.lx = lx, row.gx = gx, row.vx = vx, row.star = star, row.glow_x = glow_x, row.pm = pm;
    row.row_factor = row_factor, row.vy = vy, row.gy = gy, row.dark = dark_px, row.prnu_step = prnu_px;
    row.bin = bin, row.row0 = row0, row.extras_begin = extras_begin, row.extras_end = extras_end;
    if (row.dim) return row;

    float *QEL_RESTRICT m = memory.expected.data();
    std::int32_t *QEL_RESTRICT thr = memory.threshold.data();
    for (int x = 0; x < width; ++x) m[x] = (lx[x] * row_factor + gx[x]) * (vy + vx[x]);
    if (star)
        for (int x = 0; x < width; ++x) m[x] += star[x] * (vy + vx[x]);
    if (pm && bin == 1)
        for (int x = 0; x < width; ++x) m[x] *= 1 + prnu_px * pm[x];
    else if (pm)
        for (int x = 0; x < width; ++x) m[x] *= 1 + prnu_px * pm[static_cast<std::size_t>(x) * bin];
    if (gy > 1e-6f)
        for (int x = 0; x < width; ++x) m[x] += gy * glow_x[x];
    for (const Extra *i = extras_begin; i != extras_end; ++i) m[i->at - row0] += i->electrons;
    for (int x = 0; x < width; ++x) {
        m[x] += dark_px;
        thr[x] = static_cast<std::int32_t>(std::max(-1.f, 65536.f * (1 - m[x])));
    }
    row.mean = m;
    row.threshold = thr;
    return row;
}

// ---- 5. Noise and converter: shot noise, full well, read noise, bias and its pattern, gain, bits

struct Converter {
    float k = 1;          // ADU (16-bit scale) per electron
    float read = 0;       // read noise, ADU
    float bias = 0;       // 16 x offset
    std::uint16_t mask = 0xFFFF;  // the converter's bits
    // Noise is keyed on the seed, the frame, the binning and the position of the (binned) pixel: one hash
    // gives 32 bits to each of two neighbouring pixels (16 pick the read noise, 16 a first uniform for the
    // shot noise); pixels whose shot noise needs more draw a second hash.
    std::uint64_t frame_key = 0, fine_key = 0;
    std::uint64_t sensor_w = 0, start_x = 0, start_y = 0;  // where the pixels are in the noise's grid
};

Converter converter(const ConverterParams &c, const Shot &shot, const ImageArea &a) {
    Converter cv;
    const double k = std::pow(10.0, c.gain / 200.0) / c.elec_per_adu;
    cv.k = static_cast<float>(k);
    cv.read = static_cast<float>(c.read_noise * (a.hardware_bin ? 1.0 : a.bin) * k);
    cv.bias = static_cast<float>(16.0 * c.offset);
    cv.mask = static_cast<std::uint16_t>(0xFFFFu << (16 - c.bit_depth));
    cv.frame_key = rnd::key(shot.seed, shot.frame, static_cast<std::uint64_t>(a.bin), a.hardware_bin);
    cv.fine_key = rnd::key(shot.seed, shot.frame, static_cast<std::uint64_t>(a.bin), 2 + a.hardware_bin);
    cv.sensor_w = static_cast<std::uint64_t>(a.sensor_w);
    cv.start_x = static_cast<std::uint64_t>(a.start_x);
    cv.start_y = static_cast<std::uint64_t>(a.start_y);
    return cv;
}

// Row y of the image in ADU of the 16-bit scale, from its means: read noise, bias and its pattern, gain
// and the converter's bits for every pixel (vectorised); then the shot noise and full well of the
// pixels that get electrons.
void read_out_row(const Converter &cv, const RowMeans &row, const SensorFlaws &f, int width, int y, RowMemory &memory,
                  std::uint16_t *QEL_RESTRICT srow) {
    const float *normal = normal_table();
    // The constants the loops use, as this function's own: the row stores below cannot alias them.
    const std::uint16_t mask = cv.mask;
    const float read = cv.read, kf = cv.k, well = f.well;
    const bool dim = row.dim;
    const std::int32_t row_threshold = row.row_threshold;
    const float *m = row.mean;
    const std::int32_t *thr = row.threshold;
    // 32 random bits per pixel of the (binned) pixel grid, one hash per two pixels: 16 pick the read
    // noise, 16 are the first digits of the shot noise's uniform.
    const std::uint64_t grid = (cv.start_y + static_cast<std::uint64_t>(y)) * cv.sensor_w + cv.start_x;
    std::int32_t *QEL_RESTRICT u16 = memory.first_digits.data();
    float *QEL_RESTRICT z = memory.noise.data();
    const auto draw = [&](int at, std::uint32_t bits) {
        z[at] = normal[bits & 0xFFFF];
        u16[at] = static_cast<std::int32_t>(bits >> 16);
    };
    const std::uint64_t frame_key = cv.frame_key;
    const int odd = static_cast<int>(grid & 1);
    if (odd) draw(0, static_cast<std::uint32_t>(rnd::at(frame_key, grid >> 1) >> 32));
    int x = odd;
    for (; x + 1 < width; x += 2) {
        const std::uint64_t bits = rnd::at(frame_key, (grid + static_cast<std::uint64_t>(x)) >> 1);
        draw(x, static_cast<std::uint32_t>(bits));
        draw(x + 1, static_cast<std::uint32_t>(bits >> 32));
    }
    if (x < width) draw(x, static_cast<std::uint32_t>(rnd::at(frame_key, (grid + static_cast<std::uint64_t>(x)) >> 1)));

    const float by = cv.bias + f.bias_y[y];
    const float *bx = f.bias_x.data();
    for (x = 0; x < width; ++x) {
        const float v = clamp16(by + bx[x] + read * z[x]);
        srow[x] = static_cast<std::uint16_t>(static_cast<std::uint16_t>(static_cast<std::int32_t>(v)) & mask);
    }
    for (int x0 = 0; x0 < width; x0 += 16) {
        const int x1 = std::min(width, x0 + 16);
        int some = 0;
        if (dim)
            for (x = x0; x < x1; ++x) some |= u16[x] >= row_threshold;
        else
            for (x = x0; x < x1; ++x) some |= u16[x] >= thr[x];
        if (!some) continue;
        for (x = x0; x < x1; ++x) {
            if (u16[x] < (dim ? row_threshold : thr[x])) continue;
            const float mx = dim ? row.at(x) : m[x];
            const std::uint64_t more = rnd::at(cv.fine_key, grid + static_cast<std::uint64_t>(x));
            const float u = (static_cast<float>(u16[x]) + static_cast<float>(more >> 40) * (1.f / 16777216.f)) * (1.f / 65536.f);
            if (u <= 1 - mx) continue;
            const float e = std::min(poisson_above(mx, u, normal[more & 0xFFFF]), well);
            const float v = clamp16(by + bx[x] + e * kf + read * z[x]);
            srow[x] = static_cast<std::uint16_t>(static_cast<std::uint16_t>(static_cast<std::int32_t>(v)) & mask);
        }
    }
}

// ---- the SDK's dark subtraction: the grey dark of the sensor pixels under each binned pixel

void subtract_dark(const std::vector<std::uint8_t> &dark, const ImageArea &a, std::uint16_t *stage) {
    if (dark.size() != static_cast<std::size_t>(a.sensor_w) * a.sensor_h) return;
    const std::uint8_t *dm = dark.data();
    const int w = a.width, h = a.height, bin = a.bin;
    for (int y = 0; y < h; ++y) {
        const int sy0 = (a.start_y + y) * bin;
        for (int x = 0; x < w; ++x) {
            const int sx0 = (a.start_x + x) * bin;
            unsigned sum = 0;
            for (int dy = 0; dy < bin; ++dy) {
                const std::uint8_t *src = dm + static_cast<std::size_t>(sy0 + dy) * a.sensor_w + sx0;
                for (int dx = 0; dx < bin; ++dx) sum += src[dx];
            }
            const unsigned d16 = (sum + bin * bin / 2) / (bin * bin) * 256u;
            std::uint16_t &px = stage[static_cast<std::size_t>(y) * w + x];
            px = static_cast<std::uint16_t>(px > d16 ? px - d16 : 0);
        }
    }
}

// ---- 6. Format: colour, brightness, bytes and flip

// Bilinear demosaicking of the mosaic into `rgb` (three values a pixel), white balance around the bias.
void demosaic(const Geometry &g, const std::uint16_t *stage, float bias, int wb_r, int wb_b, std::uint16_t *rgb) {
    const int w = g.w, h = g.h;
    const float gain_c[3] = {wb_r / 50.f, 1.f, wb_b / 50.f};
    for (int y = 0; y < h; ++y) {
        const std::uint16_t *up = stage + static_cast<std::size_t>(y > 0 ? y - 1 : 1) * w;
        const std::uint16_t *mid = stage + static_cast<std::size_t>(y) * w;
        const std::uint16_t *down = stage + static_cast<std::size_t>(y < h - 1 ? y + 1 : h - 2) * w;
        for (int x = 0; x < w; ++x) {
            const int l = x > 0 ? x - 1 : 1, r = x < w - 1 ? x + 1 : w - 2;
            const int own = g.chan[y & 1][x & 1], hor = g.chan[y & 1][(x + 1) & 1], ver = g.chan[(y + 1) & 1][x & 1];
            const int diag = g.chan[(y + 1) & 1][(x + 1) & 1];
            float c[3];
            c[own] = mid[x];
            if (diag != own) c[diag] = (up[l] + up[r] + down[l] + down[r]) * 0.25f;
            if (hor == ver) {
                c[hor] = (mid[l] + mid[r] + up[x] + down[x]) * 0.25f;
            } else {
                c[hor] = (mid[l] + mid[r]) * 0.5f;
                c[ver] = (up[x] + down[x]) * 0.5f;
            }
            std::uint16_t *o = rgb + 3 * (static_cast<std::size_t>(y) * w + x);
            for (int i = 0; i < 3; ++i)
                o[i] = static_cast<std::uint16_t>(clamp16(bias + (c[i] - bias) * gain_c[i] + 0.5f));
        }
    }
}

// The image's rows (`channels` values a pixel) in the format's byte order and the flip's orientation.
void write_out(const FormatParams &f, const Geometry &g, const std::uint16_t *image, int channels, std::uint8_t *out) {
    const int w = g.w, h = g.h;
    const bool flip_h = f.flip & QEL_FLIP_HORIZ, flip_v = f.flip & QEL_FLIP_VERT;
    const bool rgb = f.img_type == IMG_RGB24;
    const int bpp = bytes_per_pixel(f.img_type);
    const std::size_t out_row = static_cast<std::size_t>(w) * bpp, row_len = static_cast<std::size_t>(w) * channels;
    for (int y = 0; y < h; ++y) {
        const std::uint16_t *src = image + row_len * static_cast<std::size_t>(y);
        std::uint8_t *dst = out + out_row * static_cast<std::size_t>(flip_v ? h - 1 - y : y);
        if (f.img_type == IMG_RAW16 && !flip_h && little_endian()) {
            std::memcpy(dst, src, 2 * static_cast<std::size_t>(w));
        } else if (f.img_type == IMG_RAW16) {
            for (int x = 0; x < w; ++x) {
                const int o = flip_h ? w - 1 - x : x;
                dst[2 * o] = static_cast<std::uint8_t>(src[x] & 0xFF);  // little-endian on every host
                dst[2 * o + 1] = static_cast<std::uint8_t>(src[x] >> 8);
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
}

// The image of the 16-bit values `stage` in its format: RGB24 demosaicked from the mosaic (grey when
// there is none), Y8 of a mosaic from its RGB, written flipped to `out`. Returns the mean brightness on
// a 0..255 scale, for automatic exposure and gain.
double format_image(const FormatParams &f, const Geometry &g, float bias, std::uint16_t *stage, Scratch &scratch,
                    std::uint8_t *out) {
    const std::size_t n = g.n;
    const bool rgb = f.img_type == IMG_RGB24;
    const std::uint16_t *image = stage;
    int channels = 1;
    if (g.mosaic && (rgb || f.img_type == IMG_Y8)) {
        if (scratch.rgb.size() < 3 * n) scratch.rgb.resize(3 * n);
        std::uint16_t *dst = scratch.rgb.data();
        demosaic(g, stage, bias, f.wb_r, f.wb_b, dst);
        if (rgb) {
            image = dst;
            channels = 3;
        } else {
            for (std::size_t i = 0; i < n; ++i)
                stage[i] = static_cast<std::uint16_t>((dst[3 * i] + 2u * dst[3 * i + 1] + dst[3 * i + 2]) / 4);
        }
    } else if (rgb) {
        // Binned in mono: grey in all three channels.
        if (scratch.rgb.size() < 3 * n) scratch.rgb.resize(3 * n);
        for (std::size_t i = 0; i < n; ++i) scratch.rgb[3 * i] = scratch.rgb[3 * i + 1] = scratch.rgb[3 * i + 2] = stage[i];
        image = scratch.rgb.data();
        channels = 3;
    }
    std::uint64_t total = 0, count = 0;
    for (std::size_t i = 0; i < n * channels; i += 61) total += image[i], ++count;
    const double mean = count ? static_cast<double>(total) / count / 256.0 : 0;
    write_out(f, g, image, channels, out);
    return mean;
}

}  // namespace

double synthesize(const FrameParams &p, std::uint8_t *out, Scratch &scratch, const std::atomic<bool> *cancel) {
    const auto cancelled = [cancel] { return cancel && cancel->load(std::memory_order_relaxed); };
    const Geometry g = geometry(p);
    if (scratch.light.size() < g.n) scratch.light.resize(g.n);
    scratch.touched.assign(static_cast<std::size_t>(g.h), 0);
    if (scratch.stage.size() < g.n) scratch.stage.resize(g.n);
    const Starlight starlight{scratch.light.data(), scratch.touched.data()};
    std::uint16_t *stage = scratch.stage.data();

    // Each stage takes its own groups of the snapshot (FrameParams is all of them: ImageArea, Shot, ...).
    // 1-2. sky and optics
    paint_stars(p, p, g, starlight, cancel);
    const Vignetting vig = vignetting(*p.maps, g);
    // 3. photometry of the sky background
    const SkyLevels sky = sky_background(p, p, g);
    // 4. the sensor
    const SensorFlaws flaws = sensor_flaws(p, p, g);
    // 5. noise and converter
    const Converter cv = converter(p, p, p);
    // Every row depends only on the values above and on its own pixels, so bands of rows may be rendered
    // at the same time, each with its own row memory.
    const auto render_rows = [&](int y0, int y1) {
        RowMemory memory(g.w);
        const Extra *extra = std::lower_bound(flaws.extras.data(), flaws.extras.data() + flaws.extras.size(),
                                              Extra{static_cast<std::size_t>(y0) * g.w, 0});
        for (int y = y0; y < y1 && !cancelled(); ++y) {
            const RowMeans row = expected_electrons(sky, vig, flaws, g, starlight, y, extra, memory);
            read_out_row(cv, row, flaws, g.w, y, memory, stage + static_cast<std::size_t>(y) * g.w);
        }
    };
    render_in_bands(g.h, static_cast<std::size_t>(g.w), p.threads, render_rows);
    if (cancelled()) return 0;
    if (p.dark_map) subtract_dark(*p.dark_map, p, stage);
    // 6. the format
    return format_image(p, g, cv.bias, stage, scratch, out);
}

}  // namespace qelsim
