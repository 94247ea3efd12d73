// libFuzzer target: the dark-frame BMP reader on arbitrary file contents.
//
// The sensor size that the reader is asked for comes from the file's own header (clamped), so that
// most inputs get past the size check into the palette and pixel reads.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bmp.h"

namespace {

std::int64_t field(const std::uint8_t *data, size_t size, size_t at) {
    if (size < at + 4) return 1;
    return static_cast<std::int32_t>(data[at] | data[at + 1] << 8 | data[at + 2] << 16 |
                                     static_cast<std::uint32_t>(data[at + 3]) << 24);
}

int clamp(std::int64_t v) { return static_cast<int>(v < 1 ? 1 : v > 16384 ? 16384 : v); }

// The reader takes a path: one scratch file per fuzzing process, rewritten for each input. It is
// removed at once and named through /proc/self/fd, so that nothing is left behind however the fuzzer
// ends; it lives in memory where the system offers it (on disk each input takes many times longer).
int scratch_fd() {
    static const int fd = [] {
        const char *dir = std::getenv("TMPDIR");
        std::string t = std::string(dir && *dir ? dir : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                        "/qelsim-fuzz-bmp-XXXXXX";
        const int made = mkstemp(&t[0]);
        if (made < 0) std::abort();
        unlink(t.c_str());
        return made;
    }();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size) {
    static const std::string path = "/proc/self/fd/" + std::to_string(scratch_fd());
    if (ftruncate(scratch_fd(), 0) != 0) std::abort();
    if (size && pwrite(scratch_fd(), data, size, 0) != static_cast<ssize_t>(size)) std::abort();

    const std::int64_t height = field(data, size, 22);
    const int w = clamp(field(data, size, 18));
    const int h = clamp(height < 0 ? -height : height);
    std::vector<std::uint8_t> grey;
    if (qelsim::read_dark_bmp(path.c_str(), w, h, grey) == 0 &&
        grey.size() != static_cast<size_t>(w) * static_cast<size_t>(h))
        std::abort();  // success hands back exactly one byte per pixel
    return 0;
}
