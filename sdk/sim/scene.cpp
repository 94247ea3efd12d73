// What one camera sees: the snapshot of a frame's scene and sensor, and the truth behind it (where the
// sky falls on the sensor, which stars are in the field) for the control API.
#include <algorithm>
#include <cmath>

#include "camera.h"

namespace qelsim {

namespace {
constexpr double kMargin = 128;  // sensor pixels of stars kept beyond the area asked for, so that guiding
                                 // and drift do not rebuild the field for every frame
constexpr double kReach = 64;    // a star this far outside an image can still shine into it
}  // namespace

FrameParams Camera::frame_params() const {
    FrameParams p;
    p.sensor_w = model_.max_width;
    p.sensor_h = model_.max_height;
    p.width = width_;
    p.height = height_;
    p.bin = bin_;
    p.img_type = img_type_;
    p.start_x = start_x_;
    p.start_y = start_y_;
    p.flip = controls_.value(QEL_FLIP);
    p.hardware_bin = controls_.value(QEL_HARDWARE_BIN) != 0;
    p.mono_bin = model_.is_color && controls_.value(QEL_MONO_BIN) != 0;
    p.is_color = model_.is_color;
    p.bayer = model_.bayer_pattern;
    p.bit_depth = model_.bit_depth;
    p.exposure_s = controls_.value(QEL_EXPOSURE) * 1e-6;
    p.dark = covered_;
    p.gain = controls_.value(QEL_GAIN);
    p.offset = controls_.value(QEL_OFFSET);
    p.wb_r = model_.is_color ? controls_.value(QEL_WB_R) : 50;
    p.wb_b = model_.is_color ? controls_.value(QEL_WB_B) : 50;
    p.elec_per_adu = model_.elec_per_adu;
    p.read_noise = read_noise_at(model_, p.gain);
    p.full_well = model_.full_well;
    std::copy(std::begin(sky_), std::end(sky_), std::begin(p.sky));
    p.sky_gx = model_.sky_gradient_x;
    p.sky_gy = model_.sky_gradient_y;
    const double fwhm = model_.fwhm > 0 ? model_.fwhm : model_.seeing / projection_.scale_arcsec();
    p.sigma = fwhm / 2.3548200450309493;
    p.psf_wing = model_.psf_wing;
    p.psf_corner = model_.psf_corner;
    p.amp_glow = model_.amp_glow;
    const double cm_per_pixel = model_.pixel_size * 1e-4;
    p.cosmic_rate = model_.cosmic_rate * model_.max_width * cm_per_pixel * model_.max_height * cm_per_pixel;
    p.prnu = model_.prnu;
    p.threads = model_.threads;
    p.seed = model_.seed;
    p.maps = maps_;
    p.dark_map = dark_;
    return p;
}

void Camera::finish_frame(FrameParams &p, SimTime start, SimTime end) {
    motion_and_events(p, start, end);
    p.dark_e = model_.dark_current * controls_.dark_seconds(start, end, model_.dark_doubling);
    if (p.dark || p.exposure_s <= 0) return;
    // Stars so faint that they leave less than a twentieth of an electron need not be in the field.
    const double depth = 2.5 * std::log10(std::max(1.0, brightest_rate_ * p.exposure_s / 0.05));
    // A moving scene brings stars in from as far as its path reaches.
    double trail = 0;
    for (const PathStep &step : p.path) trail = std::max(trail, std::max(std::fabs(step.dx), std::fabs(step.dy)));
    const double x0 = p.start_x * p.bin - trail, y0 = p.start_y * p.bin - trail;
    p.stars = star_field(x0, y0, x0 + p.width * p.bin - 1 + 2 * trail, y0 + p.height * p.bin - 1 + 2 * trail,
                         p.shift_x, p.shift_y, std::min(model_.mag_limit, depth));
}

const std::shared_ptr<const StarField> &Camera::star_field(double x0, double y0, double x1, double y1,
                                                           double shift_x, double shift_y, double depth) {
    const std::shared_ptr<const Sky> sky = current_sky();
    // Unshifted sensor positions of the stars that can reach the area.
    x0 -= shift_x + kReach, y0 -= shift_y + kReach, x1 += kReach - shift_x, y1 += kReach - shift_y;
    const double years = years_after_j2000(utc_base_us_ + clock::now());
    const StarField *f = stars_.get();
    const bool fits = f && f->sky_version == sky->version && f->years == years && f->depth >= depth && x0 >= f->x0 &&
                      y0 >= f->y0 && x1 <= f->x1 && y1 <= f->y1;
    // Fields are rebuilt a little deeper and wider than asked, so that a series of frames does not rebuild
    // them for every small change; the same sky position always gives the same stars.
    if (!fits)
        stars_ = make_star_field(model_, *sky, x0 - kMargin, y0 - kMargin, x1 + kMargin, y1 + kMargin,
                                 std::min(model_.mag_limit, depth + 0.5), years);
    return stars_;
}

// ---- control API

int Camera::set_cover(bool covered) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::any)) return rc;
    covered_ = covered;
    return QEL_SUCCESS;
}

int Camera::sky_to_pixel(double ra, double dec, double *x, double *y) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::any).outputs({x, y})) return rc;
    if (!std::isfinite(ra) || !std::isfinite(dec) || dec < -90 || dec > 90) return QEL_ERR_GENERAL;
    double px, py, sx, sy;
    if (!projection_.to_pixel(ra, dec, px, py)) return QEL_ERR_OUT_OF_BOUNDARY;  // behind the sky's tangent plane
    mount_.offset_at(clock::now(), sx, sy);
    *x = px + sx;
    *y = py + sy;
    return QEL_SUCCESS;
}

int Camera::pixel_to_sky(double x, double y, double *ra, double *dec) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::any).outputs({ra, dec})) return rc;
    if (!std::isfinite(x) || !std::isfinite(y)) return QEL_ERR_GENERAL;
    double sx, sy;
    mount_.offset_at(clock::now(), sx, sy);
    projection_.to_sky(x - sx, y - sy, *ra, *dec);
    return QEL_SUCCESS;
}

int Camera::wcs(double *values, int *width, int *height) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::any).outputs({values, width, height})) return rc;
    // Image pixel i (0-based) shows the binned region pixel u = i, or w - 1 - i when flipped, whose
    // centre is at sensor x = bin (start_x + u) + (bin - 1) / 2; likewise in y.
    const int flip = controls_.value(QEL_FLIP);
    const double b = bin_;
    double ax = b * start_x_ + (b - 1) / 2, sx = b, ay = b * start_y_ + (b - 1) / 2, sy = b;
    if (flip & 1) ax += b * (width_ - 1), sx = -b;
    if (flip & 2) ay += b * (height_ - 1), sy = -b;
    // The tangent point on the sensor: its centre, moved with the scene by the mount.
    double mx, my;
    mount_.offset_at(clock::now(), mx, my);
    const double tx = (model_.max_width - 1) / 2.0 + mx, ty = (model_.max_height - 1) / 2.0 + my;
    // Sensor offsets to standard coordinates (xi to the east, eta to the north), as Projection::to_sky.
    const double s = pixel_scale_arcsec(model_) / 3600, r = model_.rotation * 3.14159265358979323846 / 180;
    const double m11 = -s * std::cos(r), m12 = -s * std::sin(r), m21 = s * std::sin(r), m22 = -s * std::cos(r);
    values[0] = 1 + (tx - ax) / sx;  // CRPIX1, CRPIX2 (FITS pixels count from 1)
    values[1] = 1 + (ty - ay) / sy;
    values[2] = model_.ra;  // CRVAL1, CRVAL2
    values[3] = model_.dec;
    values[4] = m11 * sx, values[5] = m12 * sy;  // CD1_1, CD1_2
    values[6] = m21 * sx, values[7] = m22 * sy;  // CD2_1, CD2_2
    *width = width_;
    *height = height_;
    return QEL_SUCCESS;
}

int Camera::field_stars(double *rows, int max_rows, int *count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int rc = check(Need::any).outputs({count})) return rc;
    if (max_rows < 0 || (max_rows > 0 && !rows)) return QEL_ERR_GENERAL;
    double sx, sy;
    mount_.offset_at(clock::now(), sx, sy);
    const std::shared_ptr<const StarField> field =
        star_field(0, 0, model_.max_width - 1, model_.max_height - 1, sx, sy, model_.mag_limit);
    std::vector<const Star *> on;
    for (const Star &s : field->stars) {
        const double x = s.x + sx, y = s.y + sy;
        if (x >= -0.5 && y >= -0.5 && x < model_.max_width - 0.5 && y < model_.max_height - 0.5) on.push_back(&s);
    }
    std::sort(on.begin(), on.end(), [](const Star *a, const Star *b) { return a->mag < b->mag; });
    for (std::size_t i = 0; i < on.size() && i < static_cast<std::size_t>(max_rows); ++i) {
        const Star &s = *on[i];
        double *r = rows + 6 * i;
        r[0] = s.x + sx, r[1] = s.y + sy, r[2] = s.mag, r[3] = s.bv, r[4] = s.ra, r[5] = s.dec;
    }
    *count = static_cast<int>(on.size());
    return QEL_SUCCESS;
}

}  // namespace qelsim
