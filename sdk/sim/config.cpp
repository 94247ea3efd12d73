#include "config.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

#include "gps.h"

namespace qelsim {
namespace {

std::string trim(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> words(const std::string &s) {
    std::vector<std::string> out;
    std::string w;
    for (char c : s) {
        if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
            if (!w.empty()) out.push_back(w);
            w.clear();
        } else {
            w += c;
        }
    }
    if (!w.empty()) out.push_back(w);
    return out;
}

// from_chars ignores the C locale, which the embedding program may have changed.
bool to_int(const std::string &s, long long lo, long long hi, long long &out) {
    long long v = 0;
    const char *end = s.data() + s.size();
    auto r = std::from_chars(s.data(), end, v);
    if (r.ec != std::errc() || r.ptr != end || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool to_double(const std::string &s, double lo, double hi, double &out) {
    double v = 0;
    const char *end = s.data() + s.size();
    auto r = std::from_chars(s.data(), end, v);
    if (r.ec != std::errc() || r.ptr != end || !(v >= lo && v <= hi)) return false;
    out = v;
    return true;
}

bool to_bool(const std::string &s, bool &out) {
    const std::string v = lower(s);
    if (v == "1" || v == "yes" || v == "true" || v == "on") return out = true, true;
    if (v == "0" || v == "no" || v == "false" || v == "off") return out = false, true;
    return false;
}

bool to_format(const std::string &s, int &out) {
    std::string v = lower(s);
    if (v.rfind("img_", 0) == 0) v = v.substr(4);
    if (v == "raw8") return out = IMG_RAW8, true;
    if (v == "rgb24") return out = IMG_RGB24, true;
    if (v == "raw16") return out = IMG_RAW16, true;
    if (v == "y8") return out = IMG_Y8, true;
    return false;
}

// 2024-03-20T21:30:00, optionally with a fraction of a second and a trailing Z.
bool to_utc(const std::string &s, std::int64_t &out) {
    int y, mo, d, h, mi, sec;
    char tail[16] = {0};
    if (s.size() < 19 || std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%15s", &y, &mo, &d, &h, &mi, &sec, tail) < 6)
        return false;
    if (y < 1970 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo) || h > 23 || mi > 59 ||
        sec > 59 || h < 0 || mi < 0 || sec < 0)
        return false;
    std::int64_t micros = 0;
    std::string rest = tail;
    if (!rest.empty() && rest.back() == 'Z') rest.pop_back();
    if (!rest.empty()) {
        if (rest[0] != '.' || rest.size() < 2 || rest.size() > 7) return false;
        std::int64_t scale = 100000;
        for (size_t i = 1; i < rest.size(); ++i, scale /= 10) {
            if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return false;
            micros += (rest[i] - '0') * scale;
        }
    }
    const std::int64_t days = days_from_civil(y, mo, d);
    out = ((days * 24 + h) * 60 + mi) * 60 * INT64_C(1000000) + sec * INT64_C(1000000) + micros;
    return true;
}

// The keys of a [camera] section that take a number in a range.
struct Range {
    const char *key;
    double lo, hi;
    double Model::*field;
};

const Range *number_key(const std::string &key) {
    static const Range ranges[] = {
        {"read_noise", 0, 1000, &Model::read_noise},
        {"read_noise_gain0", 0, 1000, &Model::read_noise_gain0},
        {"dark_current", 0, 1e4, &Model::dark_current},
        {"dark_doubling", 1, 100, &Model::dark_doubling},
        {"full_well", 100, 1e7, &Model::full_well},
        {"qe", 0.01, 1, &Model::qe},
        {"hot_pixels", 0, 0.1, &Model::hot_pixels},
        {"warm_pixels", 0, 0.1, &Model::warm_pixels},
        {"amp_glow", 0, 1e6, &Model::amp_glow},
        {"prnu", 0, 0.5, &Model::prnu},
        {"bias_rows", 0, 1000, &Model::bias_rows},
        {"bias_cols", 0, 1000, &Model::bias_cols},
        {"cosmic_rate", 0, 1000, &Model::cosmic_rate},
        {"ra", 0, 360, &Model::ra},
        {"dec", -90, 90, &Model::dec},
        {"rotation", -360, 360, &Model::rotation},
        {"focal_length", 1, 100000, &Model::focal_length},
        {"pixel_scale", 0.001, 3600, &Model::pixel_scale},
        {"aperture", 1, 10000, &Model::aperture},
        {"seeing", 0.1, 60, &Model::seeing},
        {"fwhm", 0.5, 50, &Model::fwhm},
        {"psf_wing", 0, 0.9, &Model::psf_wing},
        {"psf_corner", 0.5, 5, &Model::psf_corner},
        {"vignetting", 0.05, 1, &Model::vignetting},
        {"sky_brightness", 5, 30, &Model::sky_brightness},
        {"sky", 0, 1e6, &Model::sky},
        {"sky_color", -0.5, 3, &Model::sky_color},
        {"sky_gradient_x", -1, 1, &Model::sky_gradient_x},
        {"sky_gradient_y", -1, 1, &Model::sky_gradient_y},
        {"star_density", 0, 1e5, &Model::star_density},
        {"mag_limit", -2, 24, &Model::mag_limit},
        {"guide_rate", 0, 1000, &Model::guide_rate},
        {"drift_x", -1000, 1000, &Model::drift_x},
        {"drift_y", -1000, 1000, &Model::drift_y},
        {"ambient", -40, 60, &Model::ambient},
        {"cooler_delta", 0, 80, &Model::cooler_delta},
        {"cooler_tau", 0.1, 3600, &Model::cooler_tau},
        {"heater", 0, 30, &Model::heater},
        {"line_time", 0.1, 10000, &Model::line_time_us},
        {"dec_backlash", 0, 3600, &Model::dec_backlash},
        {"polar_error", 0, 600, &Model::polar_error},
        {"polar_angle", -360, 360, &Model::polar_angle},
        {"seeing_jitter", 0, 10, &Model::seeing_jitter},
        {"transparency", 0, 1, &Model::transparency},
        {"clouds", 0, 1, &Model::clouds},
        {"cloud_time", 1, 86400, &Model::cloud_time},
        {"airmass", 1, 40, &Model::airmass},
        {"usb_rate", 1, 100000, &Model::usb_mbytes_per_s},
    };
    for (const Range &r : ranges)
        if (key == r.key) return &r;
    return nullptr;
}

class Parser {
public:
    std::string error;

    bool fail(int line, const std::string &message) {
        error = "line " + std::to_string(line) + ": " + message;
        return false;
    }

    // One key of a [camera] section.
    bool camera_key(int line, const std::string &key, const std::string &value, CameraSpec &spec) {
        Model &m = spec.model;
        long long i = 0;
        double d = 0;
        bool b = false;
        auto bad = [&](const char *what) { return fail(line, "'" + key + "' must be " + what); };
        if (key == "model") {
            const Model *base = catalogue_model(value);
            if (!base) return fail(line, "no model '" + value + "' in the catalogue");
            m = *base;
            spec.serial_given = false;
            spec.seed_given = false;
        } else if (key == "name") {
            if (value.empty() || value.size() > 63) return bad("1 to 63 characters");
            m.name = value;
        } else if (key == "product_id") {
            if (!to_int(value, 0, 0xFFFF, i)) return bad("an integer from 0 to 65535");
            m.product_id = static_cast<int>(i);
        } else if (key == "width") {
            if (!to_int(value, 8, 16384, i) || i % 8) return bad("a multiple of 8 from 8 to 16384");
            m.max_width = static_cast<int>(i);
        } else if (key == "height") {
            if (!to_int(value, 2, 16384, i) || i % 2) return bad("an even number from 2 to 16384");
            m.max_height = static_cast<int>(i);
        } else if (key == "pixel_size") {
            if (!to_double(value, 0.1, 100, d)) return bad("a number from 0.1 to 100");
            m.pixel_size = d;
        } else if (key == "bit_depth") {
            if (!to_int(value, 8, 16, i)) return bad("an integer from 8 to 16");
            m.bit_depth = static_cast<int>(i);
        } else if (key == "bins") {
            std::vector<int> bins;
            for (const std::string &w : words(value)) {
                if (!to_int(w, 1, 8, i)) return bad("a list of integers from 1 to 8");
                if (std::find(bins.begin(), bins.end(), static_cast<int>(i)) != bins.end())
                    return bad("a list without repeats");
                bins.push_back(static_cast<int>(i));
            }
            if (bins.empty() || bins.size() > 16 || bins[0] != 1) return bad("1 to 16 bins, starting with 1");
            m.bins = bins;
        } else if (key == "formats") {
            std::vector<int> formats;
            for (const std::string &w : words(value)) {
                int f = 0;
                if (!to_format(w, f)) return bad("a list of RAW8, RGB24, RAW16, Y8");
                if (std::find(formats.begin(), formats.end(), f) != formats.end())
                    return bad("a list without repeats");
                formats.push_back(f);
            }
            if (formats.empty()) return bad("a list of at least one format");
            m.formats = formats;
        } else if (key == "color" || key == "colour") {
            if (!to_bool(value, b)) return bad("yes or no");
            m.is_color = b;
        } else if (key == "bayer") {
            static const char *const names[] = {"rg", "bg", "gr", "gb"};
            const auto *p = std::find(std::begin(names), std::end(names), lower(value));
            if (p == std::end(names)) return bad("RG, BG, GR or GB");
            m.bayer_pattern = static_cast<int>(p - std::begin(names));
        } else if (key == "shutter" || key == "st4" || key == "cooler" || key == "usb3" || key == "trigger" ||
                   key == "gps") {
            if (!to_bool(value, b)) return bad("yes or no");
            bool &flag = key == "shutter" ? m.mechanical_shutter
                         : key == "st4"   ? m.st4_port
                         : key == "cooler" ? m.cooler
                         : key == "usb3"   ? m.usb3
                         : key == "trigger" ? m.trigger
                                            : m.gps;
            flag = b;
        } else if (key == "elec_per_adu") {
            if (!to_double(value, 0.01, 1000, d)) return bad("a number from 0.01 to 1000");
            m.elec_per_adu = static_cast<float>(d);
        } else if (key == "serial") {
            if (value.size() > 8) return bad("at most 8 characters");
            m.serial = value;
            spec.serial_given = true;
        } else if (key == "seed") {
            if (!to_int(value, 0, INT64_MAX, i)) return bad("a non-negative integer");
            m.seed = static_cast<std::uint64_t>(i);
            spec.seed_given = true;
        } else if (key == "latitude") {
            if (!to_double(value, -90, 90, d)) return bad("a number from -90 to 90");
            m.latitude = d;
        } else if (key == "longitude") {
            if (!to_double(value, -180, 180, d)) return bad("a number from -180 to 180");
            m.longitude = d;
        } else if (key == "altitude") {
            if (!to_int(value, -1000, 100000, i)) return bad("an integer from -1000 to 100000");
            m.altitude = static_cast<int>(i);
        } else if (key == "satellites") {
            if (!to_int(value, 0, 99, i)) return bad("an integer from 0 to 99");
            m.satellites = static_cast<int>(i);
        } else if (key == "gps_status") {
            const std::string v = lower(value);
            if (v == "ok") m.gps_status = GpsStatus::ok;
            else if (v == "old_firmware") m.gps_status = GpsStatus::old_firmware;
            else if (v == "fpga_error") m.gps_status = GpsStatus::fpga_error;
            else if (v == "no_fix") m.gps_status = GpsStatus::no_fix;
            else return bad("ok, old_firmware, fpga_error or no_fix");
        } else if (const Range *r = number_key(key)) {
            if (!to_double(value, r->lo, r->hi, d))
                return bad(("a number from " + number(r->lo) + " to " + number(r->hi)).c_str());
            m.*r->field = d;
        } else if (key == "pier_side") {
            const std::string v = lower(value);
            if (v != "east" && v != "west") return bad("east or west");
            m.pier_west = v == "west";
        } else if (key == "scintillation") {
            if (!to_bool(value, b)) return bad("yes or no");
            m.scintillation = b;
        } else if (key == "periodic_error") {
            // Terms separated by commas: amplitude (arc seconds), period (seconds), optional phase (degrees).
            std::vector<PeriodicTerm> terms;
            std::stringstream list(value);
            std::string term;
            while (std::getline(list, term, ',')) {
                const std::vector<std::string> w = words(term);
                double v[3] = {0, 0, 0};
                if (w.size() < 2 || w.size() > 3 || !to_double(w[0], 0, 3600, v[0]) || !to_double(w[1], 1, 1e6, v[1]) ||
                    (w.size() == 3 && !to_double(w[2], -360, 360, v[2])))
                    return bad("terms 'amplitude period [phase]' (0..3600 arc seconds, 1..1e6 s, -360..360 degrees) separated by commas");
                terms.push_back({v[0], v[1], v[2]});
            }
            if (terms.size() > 16) return bad("at most 16 terms");
            m.periodic_error = terms;
        } else if (key == "occultation") {
            const std::vector<std::string> w = words(value);
            Occultation o{};
            if (w.size() != 5 || !to_double(w[0], 0, 360, o.ra) || !to_double(w[1], -90, 90, o.dec) ||
                !to_double(w[2], 0, 1, o.level) || !to_utc(w[3], o.start_utc) || !to_utc(w[4], o.end_utc) ||
                o.end_utc < o.start_utc)
                return bad("'ra dec level start end' (degrees, a fraction, two UTC times in order)");
            m.occultations.push_back(o);
        } else if (key == "meteor" || key == "satellite") {
            const std::vector<std::string> w = words(value);
            Streak t{};
            t.meteor = key == "meteor";
            if (w.size() != 7 || !to_utc(w[0], t.start_utc) || !to_double(w[1], -1e5, 1e5, t.x) ||
                !to_double(w[2], -1e5, 1e5, t.y) || !to_double(w[3], -360, 360, t.angle) ||
                !to_double(w[4], 0, 1e5, t.speed) || !to_double(w[5], 1e-6, 86400, t.duration) ||
                !to_double(w[6], -15, 30, t.mag))
                return bad("'start x y angle speed duration magnitude' (UTC, pixels, degrees, pixels per second, seconds, V)");
            m.streaks.push_back(t);
        } else if (key == "gps_loss") {
            const std::vector<std::string> w = words(value);
            GpsLoss l{};
            if (w.size() != 2 || !to_utc(w[0], l.start_utc) || !to_utc(w[1], l.end_utc) || l.end_utc < l.start_utc)
                return bad("'start end' (two UTC times in order)");
            m.gps_losses.push_back(l);
        } else if (key == "queue") {
            if (!to_int(value, 1, 64, i)) return bad("an integer from 1 to 64");
            m.queue = static_cast<int>(i);
        } else if (key == "threads") {
            if (!to_int(value, 0, 64, i)) return bad("an integer from 0 to 64");
            m.threads = static_cast<int>(i);
        } else {
            return fail(line, "unknown key '" + key + "' in a [camera] section");
        }
        return true;
    }

    bool finish_camera(int line, const CameraSpec &spec) {
        const Model &m = spec.model;
        if (m.is_color == false && std::find(m.formats.begin(), m.formats.end(), IMG_RGB24) != m.formats.end())
            return fail(line, "RGB24 needs a colour camera");
        if (m.formats.size() > 8) return fail(line, "at most 8 formats");
        for (int b : m.bins)
            if (m.max_width / b < 8 || m.max_height / b < 2) return fail(line, "bin " + std::to_string(b) + " leaves no image");
        return true;
    }

    static std::string number(double v) {
        std::ostringstream s;
        s << v;
        return s.str();
    }
};

}  // namespace

Config builtin_config() {
    Config c;
    for (const Model &m : catalogue()) c.cameras.push_back(CameraSpec{m, false, false});
    return c;
}

bool parse_config(const std::string &text, Config &out, std::string &error) {
    Config c;
    Parser p;
    std::istringstream in(text);
    std::string raw;
    int line = 0, section_line = 0;
    enum { global, camera } section = global;
    CameraSpec spec;
    int count = 1;
    auto close_section = [&]() {
        if (section != camera) return true;
        if (!p.finish_camera(section_line, spec)) return false;
        for (int k = 0; k < count; ++k) c.cameras.push_back(spec);
        if (c.cameras.size() > 64) return p.fail(section_line, "at most 64 cameras");
        return true;
    };
    while (std::getline(in, raw)) {
        ++line;
        const size_t hash = raw.find('#');
        const std::string s = trim(hash == std::string::npos ? raw : raw.substr(0, hash));
        if (s.empty()) continue;
        if (s.front() == '[') {
            if (!close_section()) return error = p.error, false;
            if (lower(s) != "[camera]") return error = "line " + std::to_string(line) + ": unknown section " + s, false;
            section = camera;
            section_line = line;
            spec = CameraSpec{catalogue().front(), false, false};
            count = 1;
            c.cameras_given = true;
            continue;
        }
        const size_t eq = s.find('=');
        if (eq == std::string::npos) return error = "line " + std::to_string(line) + ": expected key = value", false;
        const std::string key = lower(trim(s.substr(0, eq)));
        const std::string value = trim(s.substr(eq + 1));
        long long i = 0;
        double d = 0;
        if (section == camera && key == "count") {
            if (!to_int(value, 0, 64, i)) return error = "line " + std::to_string(line) + ": 'count' must be an integer from 0 to 64", false;
            count = static_cast<int>(i);
        } else if (section == camera) {
            if (!p.camera_key(line, key, value, spec)) return error = p.error, false;
        } else if (key == "seed") {
            if (!to_int(value, 0, INT64_MAX, i)) return error = "line " + std::to_string(line) + ": 'seed' must be a non-negative integer", false;
            c.seed = static_cast<std::uint64_t>(i);
        } else if (key == "speed") {
            if (!to_double(value, 1e-3, 1e6, d)) return error = "line " + std::to_string(line) + ": 'speed' must be a number from 0.001 to 1000000", false;
            c.speed = d;
        } else if (key == "catalogue" || key == "catalog") {
            std::string message;
            if (!read_catalogue(value, c.stars, message)) return error = "line " + std::to_string(line) + ": " + message, false;
        } else if (key == "sky_catalogue" || key == "sky_catalog") {
            c.sky_catalogue_given = true;
            c.sky_catalogue = nullptr;
            if (lower(value) != "none") {
                std::string message;
                c.sky_catalogue = StarFile::open(value, message);
                if (!c.sky_catalogue) return error = "line " + std::to_string(line) + ": " + message, false;
            }
        } else if (key == "catalogue_mode" || key == "catalog_mode") {
            const std::string v = lower(value);
            if (v != "add" && v != "replace") return error = "line " + std::to_string(line) + ": '" + key + "' must be add or replace", false;
            c.replace_stars = v == "replace";
        } else if (key == "clock") {
            const std::string v = lower(value);
            if (v != "real" && v != "stepped") return error = "line " + std::to_string(line) + ": 'clock' must be real or stepped", false;
            c.stepped = v == "stepped";
        } else if (key == "utc") {
            if (!to_utc(value, c.utc_us)) return error = "line " + std::to_string(line) + ": 'utc' must look like 2024-03-20T21:30:00", false;
            c.utc_given = true;
        } else {
            return error = "line " + std::to_string(line) + ": unknown key '" + key + "'", false;
        }
    }
    if (!close_section()) return error = p.error, false;
    if (!c.cameras_given) c.cameras = builtin_config().cameras;
    out = std::move(c);
    return true;
}

bool parse_camera(const std::string &text, CameraSpec &out, std::string &error) {
    Config c;
    if (!parse_config("[camera]\n" + text, c, error)) {
        // Line numbers refer to the text as given, not to the section header added above.
        if (error.rfind("line ", 0) == 0) {
            long long n = 0;
            const size_t colon = error.find(':');
            if (to_int(error.substr(5, colon - 5), 0, INT64_MAX, n)) error = "line " + std::to_string(n - 1) + error.substr(colon);
        }
        return false;
    }
    if (c.cameras.size() != 1) return error = "a plugged camera needs exactly one camera ('count' must be 1)", false;
    out = c.cameras.front();
    return true;
}

bool read_config_file(const std::string &path, std::string &text, std::string &error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return error = "cannot read " + path, false;
    std::string data;
    char chunk[4096];
    while (f.read(chunk, sizeof chunk) || f.gcount() > 0) {
        data.append(chunk, static_cast<size_t>(f.gcount()));
        if (data.size() > (1u << 20)) return error = path + " is larger than 1 MiB", false;
    }
    if (f.bad()) return error = "cannot read " + path, false;
    text = std::move(data);
    return true;
}

}  // namespace qelsim
