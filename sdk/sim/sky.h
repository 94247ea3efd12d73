// The sky and the optics: stars by sky position (a star catalogue file, synthetic ones from the seed,
// a user catalogue),
// their photometry through a camera's aperture, filters and quantum efficiency, and the gnomonic
// projection of the sky onto a camera's sensor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model.h"

namespace qelsim {

// One star of a catalogue: degrees (J2000), V magnitude and B-V colour index.
struct CatalogueStar {
    double ra, dec, mag, bv;
};

class StarFile;

// The sky every camera looks at. Synthetic stars are a function of the seed and the sky position alone,
// so every camera pointed at the same patch sees the same stars.
struct Sky {
    std::uint64_t seed = 0;
    std::vector<CatalogueStar> user;  // from a catalogue file or handed over through the control API
    bool replace = false;             // the user's stars replace the synthetic ones instead of joining them
    // The real sky from a catalogue file, or null: then synthetic stars alone (from the brightest).
    std::shared_ptr<const StarFile> catalogue;
    std::string note;                 // why there is no catalogue, when one was asked for
    std::uint64_t version = 0;        // changes with every new sky
};

std::shared_ptr<const Sky> current_sky();
// Makes `sky` the current sky under a new version.
void set_sky(Sky sky);

// The control API's star list: `count` rows of ra, dec, V, B-V replace the user's stars of the current
// sky (and, with `replace`, the synthetic ones). 0, or -1 for a bad list (nothing changes then).
int set_user_stars(const double *rows, int count, bool replace);

// Reads a catalogue file: one star a line, "ra dec mag [b-v]" in degrees, separated by blanks or commas;
// '#' starts a comment. False with a message naming the line.
bool read_catalogue(const std::string &path, std::vector<CatalogueStar> &out, std::string &error);

// Sky to sensor pixels of one camera, before any pointing offset from guiding or drift. Pixel centres
// are at whole numbers: pixel (0, 0) covers -0.5..0.5 in x and y; x grows to the right, y downwards.
// With rotation 0 north is up (towards row 0) and east to the left (towards column 0); a positive
// rotation turns the sky clockwise on the image (north towards the right).
class Projection {
public:
    explicit Projection(const Model &m);
    // False for a position 90 degrees or more from the pointing.
    bool to_pixel(double ra_deg, double dec_deg, double &x, double &y) const;
    void to_sky(double x, double y, double &ra_deg, double &dec_deg) const;
    double scale_arcsec() const { return scale_ * 206264.80624709636; }

private:
    double ra0_, sin_dec0_, cos_dec0_, scale_, cos_r_, sin_r_, cx_, cy_;
};

// Arc seconds per sensor pixel.
double pixel_scale_arcsec(const Model &m);

// Channels of light on the sensor: red, green and blue of the Bayer filters, clear (a monochrome
// sensor) and the mean of a Bayer cell (R + 2G + B) / 4 (colour frames binned in mono).
enum Channel { kRed, kGreen, kBlue, kClear, kLuminance, kChannels };

// Electrons per second and channel from a source of V magnitude 0 and colour `bv` through the camera's
// aperture, optics, filters and quantum efficiency.
void channel_rates(const Model &m, double bv, double out[kChannels]);

// Electrons per second and pixel of the sky background at the centre of the field, per channel.
void sky_rates(const Model &m, double out[kChannels]);

// White balance (1..99, 50 unity) that makes the sky grey in RGB24: red and blue.
void neutral_white_balance(const Model &m, int &wb_r, int &wb_b);

struct Star {
    float x, y;              // sensor pixels before any pointing offset
    float rate[kChannels];   // electrons per second
    float mag, bv;
    double ra, dec;
};

// The stars around one camera's field down to a depth, with their photometry through that camera.
struct StarField {
    std::vector<Star> stars;
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // the sensor area it covers (beyond the sensor by a margin)
    double depth = 0;                        // faintest magnitude it holds
    double years = 0;                        // the date of the catalogue's stars, Julian years after J2000
    std::uint64_t sky_version = 0;
};

// The stars brighter than `depth` whose unshifted sensor positions lie in [x0, x1] x [y0, y1]; the
// catalogue's stars at their places `years` after J2000.
std::shared_ptr<const StarField> make_star_field(const Model &m, const Sky &sky, double x0, double y0, double x1,
                                                 double y1, double depth, double years = 0);

// Julian years after J2000 of a UTC time (microseconds since 1970), rounded to whole days, so that the
// stars of a field stay the same all day.
double years_after_j2000(std::int64_t utc_us);

}  // namespace qelsim
