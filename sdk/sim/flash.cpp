#include "flash.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

namespace qelsim {
namespace flash {
namespace {

struct Store {
    std::mutex mutex;
    std::map<std::string, std::string> ids;  // serial -> 8 bytes
};

Store &store_instance() {
    static Store *s = new Store();  // outlives static destructors run at exit
    return *s;
}

// The state file of one serial number; empty when no state directory is set.
std::string file_of(const std::string &serial) {
    const char *dir = std::getenv("QELSIM_STATE_DIR");
    if (!dir || !*dir) return {};
    std::string name = "flash-";
    for (unsigned char c : serial) {
        // Serial numbers are the simulator's own, but a configuration may set any text: keep the
        // file name to letters and digits, with everything else spelled out in hex.
        if (std::isalnum(c)) {
            name += static_cast<char>(c);
        } else {
            static const char hex[] = "0123456789abcdef";
            name += '_';
            name += hex[c >> 4];
            name += hex[c & 15];
        }
    }
    std::string path = dir;
    if (path.back() != '/' && path.back() != '\\') path += '/';
    return path + name + ".id";
}

}  // namespace

void reset() {
    Store &s = store_instance();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.ids.clear();
}

void load(const std::string &serial, unsigned char id[8]) {
    Store &s = store_instance();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::memset(id, 0, 8);
    auto it = s.ids.find(serial);
    if (it != s.ids.end()) {
        std::memcpy(id, it->second.data(), 8);
        return;
    }
    const std::string path = file_of(serial);
    if (path.empty()) return;
    std::ifstream f(path, std::ios::binary);
    char bytes[8];
    if (f && f.read(bytes, 8) && f.gcount() == 8) {
        std::memcpy(id, bytes, 8);
        s.ids[serial] = std::string(bytes, 8);
    }
}

bool store(const std::string &serial, const unsigned char id[8]) {
    Store &s = store_instance();
    std::lock_guard<std::mutex> lock(s.mutex);
    const std::string path = file_of(serial);
    if (!path.empty()) {
        // Write a sibling and rename it over, so a reader never sees half an identifier.
        const std::string tmp = path + ".new";
        {
            std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
            if (!f || !f.write(reinterpret_cast<const char *>(id), 8) || !f.flush()) return false;
        }
        std::remove(path.c_str());
        if (std::rename(tmp.c_str(), path.c_str()) != 0) return false;
    }
    s.ids[serial] = std::string(reinterpret_cast<const char *>(id), 8);
    return true;
}

}  // namespace flash
}  // namespace qelsim
