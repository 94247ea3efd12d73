// Counter-based random numbers: every value is a hash of its key (seed, frame, pixel, ...), so a pixel's
// noise does not depend on which other pixels were drawn, on the region read or on the thread.
#pragma once

#include <cmath>
#include <cstdint>

namespace qelsim {
namespace rnd {

constexpr std::uint64_t kGolden = UINT64_C(0x9E3779B97F4A7C15);

// The finaliser of SplitMix64: a bijection of 64-bit words that mixes every input bit into every output
// bit. Counting through `key + i * kGolden` gives the SplitMix64 sequence of seed `key`.
inline std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * UINT64_C(0xBF58476D1CE4E5B9);
    z = (z ^ (z >> 27)) * UINT64_C(0x94D049BB133111EB);
    return z ^ (z >> 31);
}

// A 32-bit integer hash (a bijection with good avalanche, after C. Wellons' "lowbias32"), cheap enough
// for a vectorised loop over pixels.
inline std::uint32_t mix32(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

// Value `i` of the 32-bit stream keyed by `k` (two rounds, each with half of the key).
inline std::uint32_t at32(std::uint64_t k, std::uint32_t i) {
    return mix32(mix32(i ^ static_cast<std::uint32_t>(k)) + static_cast<std::uint32_t>(k >> 32));
}

// A key from several words.
inline std::uint64_t key(std::uint64_t a, std::uint64_t b, std::uint64_t c = 0, std::uint64_t d = 0) {
    return mix(mix(mix(a + kGolden) ^ (b + 2 * kGolden)) ^ (c + 3 * kGolden)) ^ mix(d + 4 * kGolden);
}

// The i-th value of stream `k`.
inline std::uint64_t at(std::uint64_t k, std::uint64_t i) { return mix(k + (i + 1) * kGolden); }

// Uniform in [0, 1) from the top 53 bits.
inline double uniform(std::uint64_t bits) { return static_cast<double>(bits >> 11) * (1.0 / 9007199254740992.0); }

// A sequential stream for the generation of scenes (star positions, hot pixels), not for pixels.
class Stream {
public:
    explicit Stream(std::uint64_t k) : k_(k) {}
    std::uint64_t next() { return at(k_, i_++); }
    double uniform() { return rnd::uniform(next()); }
    // Standard normal (Box-Muller).
    double normal() {
        const double u1 = 1.0 - uniform(), u2 = uniform();
        return std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }
    // Poisson deviate: by multiplication for small means, rounded normal for large ones.
    std::uint64_t poisson(double mean) {
        if (mean <= 0) return 0;
        if (mean > 50) {
            const double v = std::floor(mean + std::sqrt(mean) * normal() + 0.5);
            return v < 0 ? 0 : static_cast<std::uint64_t>(v);
        }
        const double limit = std::exp(-mean);
        std::uint64_t k = 0;
        for (double p = uniform(); p > limit; p *= uniform()) ++k;
        return k;
    }

private:
    std::uint64_t k_, i_ = 0;
};

}  // namespace rnd
}  // namespace qelsim
