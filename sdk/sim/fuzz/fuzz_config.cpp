// libFuzzer target: the configuration parser on arbitrary text, as a whole file and as the body of
// one plugged-in camera's section.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    qelsim::Config config;
    std::string error;
    if (!qelsim::parse_config(text, config, error) && error.empty()) std::abort();  // a refusal says why
    qelsim::CameraSpec camera;
    error.clear();
    if (!qelsim::parse_camera(text, camera, error) && error.empty()) std::abort();
    return 0;
}
