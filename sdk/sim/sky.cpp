#include "sky.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <mutex>
#include <sstream>

#include "random.h"
#include "starfile.h"

namespace qelsim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180;
constexpr double kCell = 0.1;              // degrees: height of a band of sky cells, width of a cell
constexpr double kBrightest = -2;          // the first magnitude layer of synthetic stars
constexpr double kRefMag = 15;             // star_density counts stars brighter than this

std::mutex sky_mutex;
std::shared_ptr<const Sky> &sky_slot() {
    static auto *slot = new std::shared_ptr<const Sky>(std::make_shared<Sky>());  // outlives exit
    return *slot;
}

// ---- spectra

// Photon flux of a black body at wavelength `nm`, up to a constant.
double planck_photons(double nm, double kelvin) { return 1.0 / (nm * nm * nm * nm * std::expm1(1.4387769e7 / (nm * kelvin))); }

// Effective temperature of a star of colour B-V.
double temperature_of(double bv) { return 4600 * (1 / (0.92 * bv + 1.7) + 1 / (0.92 * bv + 0.62)); }

double gauss(double x, double centre, double width) {
    const double d = (x - centre) / width;
    return std::exp(-0.5 * d * d);
}

// Transmission of the filter of a channel (red, green, blue: the Bayer filters with an IR cut at 700 nm;
// clear: a luminance filter, 400-700 nm).
double filter(int channel, double nm) {
    switch (channel) {
        case kRed: return nm <= 700 ? 0.8 * gauss(nm, 610, 35) : 0;
        case kGreen: return nm <= 700 ? 0.9 * gauss(nm, 535, 40) : 0;
        case kBlue: return nm <= 700 ? 0.9 * gauss(nm, 465, 35) : 0;
        case kClear: return nm >= 400 && nm <= 700 ? 0.95 : 0;
        default: return 0;
    }
}

}  // namespace

std::shared_ptr<const Sky> current_sky() {
    std::lock_guard<std::mutex> lock(sky_mutex);
    return sky_slot();
}

void set_sky(Sky sky) {
    std::lock_guard<std::mutex> lock(sky_mutex);
    sky.version = sky_slot()->version + 1;
    sky_slot() = std::make_shared<const Sky>(std::move(sky));
}

namespace {
bool valid_star(double ra, double dec, double mag, double bv) {
    return ra >= 0 && ra < 360 && dec >= -90 && dec <= 90 && mag >= -30 && mag <= 40 && bv >= -1 && bv <= 5;
}
constexpr std::size_t kMaxStars = 1000000;
}  // namespace

int set_user_stars(const double *rows, int count, bool replace) {
    if (count < 0 || static_cast<std::size_t>(count) > kMaxStars || (count > 0 && !rows)) return -1;
    Sky sky = *current_sky();
    sky.user.clear();
    for (int i = 0; i < count; ++i) {
        const double *r = rows + 4 * i;
        if (!valid_star(r[0], r[1], r[2], r[3])) return -1;
        sky.user.push_back(CatalogueStar{r[0], r[1], r[2], r[3]});
    }
    sky.replace = replace;
    set_sky(std::move(sky));
    return 0;
}

bool read_catalogue(const std::string &path, std::vector<CatalogueStar> &out, std::string &error) {
    std::ifstream f(path);
    if (!f) return error = "cannot read " + path, false;
    std::vector<CatalogueStar> stars;
    std::string line;
    for (int n = 1; std::getline(f, line); ++n) {
        line = line.substr(0, line.find('#'));
        std::replace(line.begin(), line.end(), ',', ' ');
        std::istringstream in(line);
        double v[4] = {0, 0, 0, 0.65};
        int got = 0;
        std::string word;
        while (in >> word) {
            char *end = nullptr;
            const double d = std::strtod(word.c_str(), &end);
            if (got >= 4 || *end || !std::isfinite(d)) got = 5;
            if (got >= 4) break;
            v[got++] = d;
        }
        if (got == 0) continue;
        if (got < 3 || got > 4 || !valid_star(v[0], v[1], v[2], v[3]))
            return error = path + " line " + std::to_string(n) +
                           ": a star is 'ra dec mag [b-v]' with ra 0..360, dec -90..90 degrees, mag -30..40, b-v -1..5",
                   false;
        stars.push_back(CatalogueStar{v[0], v[1], v[2], v[3]});
        if (stars.size() > kMaxStars) return error = path + " holds more than 1000000 stars", false;
    }
    out = std::move(stars);
    return true;
}

// ---- projection

double pixel_scale_arcsec(const Model &m) {
    return m.pixel_scale > 0 ? m.pixel_scale : 206.26480624709636 * m.pixel_size / m.focal_length;
}

Projection::Projection(const Model &m)
    : ra0_(m.ra * kDeg),
      sin_dec0_(std::sin(m.dec * kDeg)),
      cos_dec0_(std::cos(m.dec * kDeg)),
      scale_(pixel_scale_arcsec(m) / 206264.80624709636),
      cos_r_(std::cos(m.rotation * kDeg)),
      sin_r_(std::sin(m.rotation * kDeg)),
      cx_((m.max_width - 1) / 2.0),
      cy_((m.max_height - 1) / 2.0) {}

bool Projection::to_pixel(double ra_deg, double dec_deg, double &x, double &y) const {
    const double dra = ra_deg * kDeg - ra0_, sd = std::sin(dec_deg * kDeg), cd = std::cos(dec_deg * kDeg);
    const double cosc = sin_dec0_ * sd + cos_dec0_ * cd * std::cos(dra);
    if (cosc <= 1e-9) return false;
    const double xi = cd * std::sin(dra) / cosc, eta = (cos_dec0_ * sd - sin_dec0_ * cd * std::cos(dra)) / cosc;
    const double px = -xi / scale_, py = -eta / scale_;  // east to the left, north up
    x = cx_ + px * cos_r_ - py * sin_r_;
    y = cy_ + px * sin_r_ + py * cos_r_;
    return true;
}

void Projection::to_sky(double x, double y, double &ra_deg, double &dec_deg) const {
    const double px = (x - cx_) * cos_r_ + (y - cy_) * sin_r_, py = -(x - cx_) * sin_r_ + (y - cy_) * cos_r_;
    const double xi = -px * scale_, eta = -py * scale_;
    const double d = cos_dec0_ - eta * sin_dec0_;
    double ra = (ra0_ + std::atan2(xi, d)) / kDeg;
    ra = std::fmod(ra, 360.0);
    if (ra < 0) ra += 360;
    ra_deg = ra;
    dec_deg = std::atan2(sin_dec0_ + eta * cos_dec0_, std::hypot(xi, d)) / kDeg;
}

// ---- photometry

void channel_rates(const Model &m, double bv, double out[kChannels]) {
    const double kelvin = temperature_of(std::clamp(bv, -0.5, 3.0));
    const double v_ref = planck_photons(550, kelvin);
    // A star of V = 0 gives 1e4 photons per second, square centimetre and nanometre at 550 nm; the
    // optics pass 85 %; the sensor's quantum efficiency peaks at 550 nm.
    const double area = kPi * (m.aperture / 20) * (m.aperture / 20);  // cm^2
    const double scale = 1e4 * area * 0.85 * 5;                       // 5 nm steps
    for (int c = 0; c < kChannels; ++c) out[c] = 0;
    for (double nm = 380; nm <= 720; nm += 5) {
        const double photons = scale * planck_photons(nm, kelvin) / v_ref * m.qe * gauss(nm, 550, 170);
        for (int c = kRed; c <= kClear; ++c) out[c] += photons * filter(c, nm);
    }
    out[kLuminance] = (out[kRed] + 2 * out[kGreen] + out[kBlue]) / 4;
}

void sky_rates(const Model &m, double out[kChannels]) {
    channel_rates(m, m.sky_color, out);
    const double s = pixel_scale_arcsec(m);
    double per_pixel = std::pow(10.0, -0.4 * m.sky_brightness) * s * s;
    if (m.sky > 0) per_pixel = m.sky / out[m.is_color ? kGreen : kClear];  // a given rate, in the sky's colour
    for (int c = 0; c < kChannels; ++c) out[c] *= per_pixel;
}

void neutral_white_balance(const Model &m, int &wb_r, int &wb_b) {
    double r[kChannels];
    channel_rates(m, m.sky_color, r);
    wb_r = static_cast<int>(std::clamp(std::lround(50 * r[kGreen] / r[kRed]), 1L, 99L));
    wb_b = static_cast<int>(std::clamp(std::lround(50 * r[kGreen] / r[kBlue]), 1L, 99L));
}

// ---- star fields

namespace {

// Rates of a B-V grid, so that a field of many stars needs no spectrum per star.
struct RateTable {
    static constexpr double kLo = -0.5, kStep = 0.02;
    static constexpr int kSize = 176;  // to B-V 3.0
    double rates[kSize][kChannels];
    explicit RateTable(const Model &m) {
        for (int i = 0; i < kSize; ++i) channel_rates(m, kLo + i * kStep, rates[i]);
    }
    void at(double bv, double mag, float out[kChannels]) const {
        const double f = std::clamp((bv - kLo) / kStep, 0.0, kSize - 1.001);
        const int i = static_cast<int>(f);
        const double w = f - i, flux = std::pow(10.0, -0.4 * mag);
        for (int c = 0; c < kChannels; ++c)
            out[c] = static_cast<float>(flux * (rates[i][c] * (1 - w) + rates[i + 1][c] * w));
    }
};

struct FieldBuilder {
    const Model &m;
    const Projection proj;
    const RateTable table;
    StarField &field;

    void add(double ra, double dec, double mag, double bv) {
        double x, y;
        if (!proj.to_pixel(ra, dec, x, y) || x < field.x0 || x > field.x1 || y < field.y0 || y > field.y1) return;
        Star s;
        s.x = static_cast<float>(x);
        s.y = static_cast<float>(y);
        table.at(bv, mag, s.rate);
        s.mag = static_cast<float>(mag);
        s.bv = static_cast<float>(bv);
        s.ra = ra;
        s.dec = dec;
        field.stars.push_back(s);
    }

    // The synthetic stars of one sky cell: band `band` of declination, cell `cell` of right ascension
    // in it. Each magnitude layer has its own stream, so the depth asked for never changes the stars
    // of brighter layers.
    // Beside a catalogue, synthetic stars start at its completeness (`synthetic_from`).
    void cell(std::uint64_t seed, int band, int cells, int cell, double depth, double synthetic_from) {
        const double dec_lo = -90 + band * kCell, dec_hi = std::min(90.0, dec_lo + kCell);
        const double s_lo = std::sin(dec_lo * kDeg), s_hi = std::sin(dec_hi * kDeg);
        const double width = 360.0 / cells;
        const double area = width * kDeg * (s_hi - s_lo) / (kDeg * kDeg);  // square degrees
        const double step = std::pow(10.0, 0.4);
        for (int layer = 0; kBrightest + layer < depth; ++layer) {
            const double m0 = kBrightest + layer;
            if (m0 + 1 <= synthetic_from) continue;
            const double mean = m.star_density * area * std::pow(10.0, 0.4 * (m0 - kRefMag)) * (step - 1);
            rnd::Stream r(rnd::key(seed, static_cast<std::uint64_t>(band), static_cast<std::uint64_t>(cell),
                                   static_cast<std::uint64_t>(layer)));
            const std::uint64_t n = r.poisson(mean);
            for (std::uint64_t k = 0; k < n; ++k) {
                const double ra = (cell + r.uniform()) * width;
                const double dec = std::asin(s_lo + r.uniform() * (s_hi - s_lo)) / kDeg;
                // Within a layer, counts grow as 10^(0.4 m): 2.5 times per magnitude.
                const double mag = m0 + 2.5 * std::log10(1 + r.uniform() * (step - 1));
                // Colours about B-V 0.65 +- 0.35 (a sum of three uniforms: nearly normal, and cheap).
                const double bv = std::clamp(0.65 + 0.35 * 2 * (r.uniform() + r.uniform() + r.uniform() - 1.5), -0.3, 2.0);
                if (mag <= depth && mag >= synthetic_from) add(ra, dec, mag, bv);
            }
        }
    }
};

int cells_in_band(int band) {
    const double mid = (-90 + (band + 0.5) * kCell) * kDeg;
    return std::max(1, static_cast<int>(std::floor(360 * std::cos(mid) / kCell)));
}

}  // namespace

double years_after_j2000(std::int64_t utc_us) {
    const double days = std::floor((static_cast<double>(utc_us) * 1e-6 - 946728000.0) / 86400 + 0.5);
    return days / 365.25;
}

namespace {

// The catalogue's stars around a field, less those that the user's list holds too (a star within 30
// arc seconds and a magnitude of a user's star is that star: the user's wins).
std::vector<CatalogueStar> catalogue_stars(const Sky &sky, double ra, double dec, double radius, double depth,
                                           double years) {
    std::vector<CatalogueStar> real;
    if (!sky.catalogue->stars_around(ra, dec, radius, depth, years, real)) return real;
    if (sky.user.empty()) return real;
    std::sort(real.begin(), real.end(), [](const CatalogueStar &a, const CatalogueStar &b) { return a.dec < b.dec; });
    std::vector<char> doubled(real.size(), 0);
    constexpr double kSame = 30.0 / 3600;
    for (const CatalogueStar &u : sky.user) {
        auto it = std::lower_bound(real.begin(), real.end(), u.dec - kSame,
                                   [](const CatalogueStar &s, double d) { return s.dec < d; });
        for (; it != real.end() && it->dec <= u.dec + kSame; ++it) {
            const double dra = std::remainder(it->ra - u.ra, 360.0) * std::cos(u.dec * kDeg);
            if (std::hypot(dra, it->dec - u.dec) < kSame && std::fabs(it->mag - u.mag) < 1)
                doubled[static_cast<std::size_t>(it - real.begin())] = 1;
        }
    }
    std::vector<CatalogueStar> kept;
    for (std::size_t i = 0; i < real.size(); ++i)
        if (!doubled[i]) kept.push_back(real[i]);
    return kept;
}

}  // namespace

std::shared_ptr<const StarField> make_star_field(const Model &m, const Sky &sky, double x0, double y0, double x1,
                                                 double y1, double depth, double years) {
    auto field = std::make_shared<StarField>();
    field->x0 = x0;
    field->y0 = y0;
    field->x1 = x1;
    field->y1 = y1;
    field->depth = depth;
    field->sky_version = sky.version;
    field->years = years;
    FieldBuilder b{m, Projection(m), RateTable(m), *field};

    double ra_c, dec_c;
    b.proj.to_sky((field->x0 + field->x1) / 2, (field->y0 + field->y1) / 2, ra_c, dec_c);
    const double radius =
        std::hypot(field->x1 - field->x0, field->y1 - field->y0) / 2 * pixel_scale_arcsec(m) / 3600 + kCell;

    const double synthetic_from = sky.catalogue ? StarFile::kComplete : -1e9;
    if (!sky.replace && m.star_density > 0 && radius < 60) {
        const int band_lo = std::max(0, static_cast<int>(std::floor((dec_c - radius + 90) / kCell)));
        const int band_hi = std::min(static_cast<int>(180 / kCell) - 1, static_cast<int>(std::floor((dec_c + radius + 90) / kCell)));
        for (int band = band_lo; band <= band_hi; ++band) {
            const int cells = cells_in_band(band);
            const double edge = std::max(std::fabs(-90 + band * kCell), std::fabs(-90 + (band + 1) * kCell));
            const double width = 360.0 / cells;
            int first = 0, last = cells - 1;
            if (edge + 1e-9 < 90) {
                const double half = radius / std::cos(edge * kDeg) + width;
                if (half < 180) {
                    first = static_cast<int>(std::floor((ra_c - half) / width));
                    last = static_cast<int>(std::floor((ra_c + half) / width));
                }
            }
            for (int i = first; i <= last && i - first < cells; ++i)
                b.cell(sky.seed, band, cells, ((i % cells) + cells) % cells, depth, synthetic_from);
        }
    }
    if (sky.catalogue && !sky.replace)
        for (const CatalogueStar &s : catalogue_stars(sky, ra_c, dec_c, radius, depth, years)) b.add(s.ra, s.dec, s.mag, s.bv);
    for (const CatalogueStar &s : sky.user)
        if (s.mag <= depth) b.add(s.ra, s.dec, s.mag, s.bv);
    return field;
}

}  // namespace qelsim
