// Reproducible noise and bit-for-bit comparison, shared by the unit, end-to-end and plugin tests.
#ifndef HALVANE_TESTS_SUPPORT_SIGNALS_H
#define HALVANE_TESTS_SUPPORT_SIGNALS_H

#include <cstring>
#include <random>
#include <vector>

// `channels` channels of `samples` samples drawn uniformly from [-level, level), channel by channel
// from one generator seeded with `seed`.
inline std::vector<std::vector<float>> RandomChannels(int channels, size_t samples, unsigned seed,
                                                      float level = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-level, level);
    std::vector<std::vector<float>> out(channels, std::vector<float>(samples));
    for (auto& channel : out)
        for (float& s : channel)
            s = dist(rng);
    return out;
}

// Equal bit patterns: unlike ==, tells -0 from +0 and matches NaN with the same NaN.
inline bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

#endif
