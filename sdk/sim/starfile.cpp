#include "starfile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <mutex>

namespace qelsim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180;
constexpr double kMas = 3.6e6;  // milli-arcseconds per degree
constexpr std::size_t kRecord = 16;
constexpr std::uint32_t kMaxCells = 1u << 24;

std::uint32_t u32(const unsigned char *p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::int32_t i32(const unsigned char *p) { return static_cast<std::int32_t>(u32(p)); }
std::int16_t i16(const unsigned char *p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | p[1] << 8));
}

bool read_u32s(std::ifstream &f, std::vector<std::uint32_t> &out, std::size_t n) {
    std::vector<unsigned char> raw(4 * n);
    if (n && !f.read(reinterpret_cast<char *>(raw.data()), static_cast<std::streamsize>(raw.size()))) return false;
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = u32(raw.data() + 4 * i);
    return true;
}

std::mutex open_mutex;
std::shared_ptr<const StarFile> &last_opened() {
    static auto *slot = new std::shared_ptr<const StarFile>();  // outlives exit, as the sky does
    return *slot;
}

}  // namespace

std::shared_ptr<const StarFile> StarFile::open(const std::string &path, std::string &error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return error = "cannot read " + path, nullptr;
    f.seekg(0, std::ios::end);
    const auto size = static_cast<std::uint64_t>(f.tellg());
    f.seekg(0);
    {
        std::lock_guard<std::mutex> lock(open_mutex);
        const auto &last = last_opened();
        if (last && last->path_ == path && last->file_size_ == size) return last;
    }
    auto file = std::make_shared<StarFile>();
    file->path_ = path;
    file->file_size_ = size;
    unsigned char header[32];
    const std::string bad = path + " is not a star catalogue file";
    if (!f.read(reinterpret_cast<char *>(header), sizeof header) || std::memcmp(header, "QELSKY01", 8) != 0)
        return error = bad, nullptr;
    file->bands_ = u32(header + 8);
    const std::uint32_t cells = u32(header + 12);
    file->stars_ = u32(header + 16);
    file->band_height_ = u32(header + 20) / kMas;
    if (file->bands_ == 0 || file->bands_ > cells || cells > kMaxCells ||
        std::fabs(file->bands_ * file->band_height_ - 180) > 1e-9)
        return error = bad, nullptr;
    if (!read_u32s(f, file->band_cells_, file->bands_) || !read_u32s(f, file->starts_, std::size_t{cells} + 1))
        return error = bad, nullptr;
    std::uint64_t first = 0;
    for (std::uint32_t n : file->band_cells_) {
        if (n == 0) return error = bad, nullptr;
        file->band_first_.push_back(static_cast<std::uint32_t>(first));
        first += n;
    }
    file->data_offset_ = 32 + 4ull * file->bands_ + 4ull * (cells + 1ull);
    if (first != cells || file->starts_.front() != 0 || file->starts_.back() != file->stars_ ||
        !std::is_sorted(file->starts_.begin(), file->starts_.end()) ||
        file->data_offset_ + kRecord * file->stars_ != size)
        return error = bad, nullptr;
    std::lock_guard<std::mutex> lock(open_mutex);
    last_opened() = file;
    return file;
}

bool StarFile::stars_around(double ra, double dec, double radius, double depth, double years,
                            std::vector<CatalogueStar> &out) const {
    std::ifstream f(path_, std::ios::binary);
    if (!f) return false;
    const int band_lo = std::max(0, static_cast<int>(std::floor((dec - radius + 90) / band_height_)));
    const int band_hi = std::min(static_cast<int>(bands_) - 1, static_cast<int>(std::floor((dec + radius + 90) / band_height_)));
    std::vector<unsigned char> raw;
    for (int band = band_lo; band <= band_hi; ++band) {
        const int cells = static_cast<int>(band_cells_[band]);
        const double width = 360.0 / cells;
        const double lo = -90 + band * band_height_, hi = lo + band_height_;
        const double edge = std::max(std::fabs(lo), std::fabs(hi));
        int first = 0, last = cells - 1;
        if (edge + 1e-9 < 90) {
            const double half = radius / std::cos(edge * kDeg) + width;
            if (half < 180) {
                first = static_cast<int>(std::floor((ra - half) / width));
                last = static_cast<int>(std::floor((ra + half) / width));
            }
        }
        for (int i = first; i <= last && i - first < cells; ++i) {
            const std::uint32_t cell = band_first_[band] + static_cast<std::uint32_t>(((i % cells) + cells) % cells);
            const std::uint32_t begin = starts_[cell], count = starts_[cell + 1] - begin;
            if (count == 0) continue;
            raw.resize(kRecord * count);
            f.seekg(static_cast<std::streamoff>(data_offset_ + kRecord * begin));
            if (!f.read(reinterpret_cast<char *>(raw.data()), static_cast<std::streamsize>(raw.size()))) return false;
            for (std::uint32_t k = 0; k < count; ++k) {  // brightest first in a cell
                const unsigned char *r = raw.data() + kRecord * k;
                const double mag = i16(r + 12) / 1000.0;
                if (mag > depth) break;
                double d = i32(r + 4) / kMas, a = static_cast<std::uint32_t>(i32(r)) / kMas;
                const double pm_ra = i16(r + 8), pm_dec = i16(r + 10);
                if (pm_ra != 0 || pm_dec != 0) {
                    a += pm_ra * years / kMas / std::max(std::cos(d * kDeg), 1e-6);
                    d = std::clamp(d + pm_dec * years / kMas, -90.0, 90.0);
                    a = std::fmod(a, 360.0);
                    if (a < 0) a += 360;
                }
                out.push_back(CatalogueStar{a, d, mag, i16(r + 14) / 1000.0});
            }
        }
    }
    return true;
}

}  // namespace qelsim
