// Small deterministic random source: the same seed gives the same run on every platform,
// which the standard distributions do not promise.
#pragma once

#include <cmath>
#include <cstdint>

namespace h51sim {

class Rng {
public:
    explicit Rng(uint64_t seed = 1) : state_(seed) {}

    /// splitmix64: good enough spread for fault rolls and event times, and trivially seeded.
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    /// Uniform in [0, 1).
    double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

    /// Uniform in [0, bound); 0 when bound is 0.
    uint64_t Below(uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }

    /// Waiting time of a Poisson process with the given rate per second, in seconds.
    double Exponential(double ratePerSecond) { return -std::log1p(-Uniform()) / ratePerSecond; }

private:
    uint64_t state_;
};

/// A seed for one purpose of one station, so that stations do not disturb each other's
/// sequences when traffic to one of them changes.
inline uint64_t DeriveSeed(uint64_t seed, uint64_t station, uint64_t purpose) {
    Rng mix(seed ^ (station << 32) ^ (purpose << 48));
    return mix.Next();
}

} // namespace h51sim
