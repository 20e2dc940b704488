#pragma once

#include <cstdint>

namespace velmo::synth {

// SplitMix64: small, fast and specified bit for bit, so a seed gives the same
// city with any compiler and standard library.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // Uniform in [0, n); n must be positive.
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(((next() >> 32) * n) >> 32); }

    // Uniform in [lo, hi], both inclusive.
    int between(int lo, int hi) { return lo + static_cast<int>(below(static_cast<std::uint32_t>(hi - lo + 1))); }

    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    bool chance(double p) { return unit() < p; }

    // An independent stream for a named part of the city, so adding lines or
    // stops to one part does not reshuffle every other part.
    static std::uint64_t derive(std::uint64_t seed, std::uint64_t salt) {
        Random r(seed ^ (salt * 0xD6E8FEB86659FD93ULL));
        r.next();
        return r.next();
    }

private:
    std::uint64_t state_;
};

}  // namespace velmo::synth
