#include "bmp.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "QELCamera2.h"

namespace qelsim {
namespace {

std::uint32_t u32(const std::vector<std::uint8_t> &b, size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint16_t u16(const std::vector<std::uint8_t> &b, size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

constexpr size_t kFileHeader = 14;

}  // namespace

int read_dark_bmp(const char *path, int width, int height, std::vector<std::uint8_t> &grey) {
    if (!path || !*path || width <= 0 || height <= 0) return QEL_ERR_INVALID_PATH;
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::u8path(path);
    if (!std::filesystem::is_regular_file(p, ec) || ec) return QEL_ERR_INVALID_PATH;
    const std::uintmax_t size = std::filesystem::file_size(p, ec);
    if (ec) return QEL_ERR_INVALID_PATH;

    // The largest file that can be a valid dark frame of this sensor: 24-bit rows, padded, plus
    // headers and a full palette. Anything longer is not one; refusing it early bounds the read.
    const std::uint64_t stride24 = (static_cast<std::uint64_t>(width) * 3 + 3) / 4 * 4;
    const std::uint64_t limit = stride24 * static_cast<std::uint64_t>(height) + 4096;
    if (size < kFileHeader + 40 || size > limit) return QEL_ERR_INVALID_FILE_FORMAT;

    std::ifstream f(p, std::ios::binary);
    if (!f) return QEL_ERR_INVALID_PATH;
    std::vector<std::uint8_t> b(static_cast<size_t>(size));
    if (!f.read(reinterpret_cast<char *>(b.data()), static_cast<std::streamsize>(size))) return QEL_ERR_INVALID_PATH;

    if (b[0] != 'B' || b[1] != 'M') return QEL_ERR_INVALID_FILE_FORMAT;
    const std::uint32_t data_offset = u32(b, 10);
    const std::uint32_t header_size = u32(b, 14);
    if (header_size != 40 && header_size != 52 && header_size != 56 && header_size != 108 && header_size != 124)
        return QEL_ERR_INVALID_FILE_FORMAT;
    if (kFileHeader + header_size > size) return QEL_ERR_INVALID_FILE_FORMAT;
    const std::int32_t w = static_cast<std::int32_t>(u32(b, 18));
    const std::int32_t h_signed = static_cast<std::int32_t>(u32(b, 22));
    const std::uint16_t planes = u16(b, 26);
    const std::uint16_t bits = u16(b, 28);
    const std::uint32_t compression = u32(b, 30);
    const std::uint32_t colours_used = u32(b, 46);
    if (planes != 1 || (bits != 8 && bits != 24) || compression != 0) return QEL_ERR_INVALID_FILE_FORMAT;
    // A height of INT32_MIN has no positive counterpart.
    if (h_signed == INT32_MIN) return QEL_ERR_INVALID_FILE_FORMAT;
    const bool top_down = h_signed < 0;
    const std::int64_t h = top_down ? -static_cast<std::int64_t>(h_signed) : h_signed;
    if (w != width || h != height) return QEL_ERR_INVALID_FILE_FORMAT;

    std::uint8_t palette[256];
    if (bits == 8) {
        const std::uint32_t entries = colours_used == 0 ? 256 : colours_used;
        if (entries > 256) return QEL_ERR_INVALID_FILE_FORMAT;
        const std::uint64_t at = kFileHeader + header_size;
        if (at + 4ull * entries > data_offset || at + 4ull * entries > size) return QEL_ERR_INVALID_FILE_FORMAT;
        for (std::uint32_t i = 0; i < 256; ++i) {
            if (i < entries) {
                const size_t e = static_cast<size_t>(at + 4ull * i);
                palette[i] = static_cast<std::uint8_t>((b[e] + b[e + 1] + b[e + 2]) / 3);
            } else {
                palette[i] = 0;  // an index past the palette: black, as viewers show it
            }
        }
    }
    const std::uint64_t bytes_per_px = bits / 8;
    const std::uint64_t stride = (static_cast<std::uint64_t>(width) * bytes_per_px + 3) / 4 * 4;
    if (data_offset < kFileHeader + header_size || static_cast<std::uint64_t>(data_offset) + stride * h > size)
        return QEL_ERR_INVALID_FILE_FORMAT;

    std::vector<std::uint8_t> out(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (std::int64_t row = 0; row < h; ++row) {
        const std::int64_t file_row = top_down ? row : h - 1 - row;
        const std::uint8_t *src = b.data() + data_offset + stride * static_cast<std::uint64_t>(file_row);
        std::uint8_t *dst = out.data() + static_cast<size_t>(row) * static_cast<size_t>(width);
        if (bits == 8) {
            for (int x = 0; x < width; ++x) dst[x] = palette[src[x]];
        } else {
            for (int x = 0; x < width; ++x)
                dst[x] = static_cast<std::uint8_t>((src[3 * x] + src[3 * x + 1] + src[3 * x + 2]) / 3);
        }
    }
    grey = std::move(out);
    return QEL_SUCCESS;
}

}  // namespace qelsim
