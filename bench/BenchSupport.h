// Inputs shared by the benchmarks: uniform noise and a 48 kHz float stream format.
#ifndef HALVANE_BENCH_BENCHSUPPORT_H
#define HALVANE_BENCH_BENCHSUPPORT_H

#include <cstddef>
#include <random>
#include <vector>

#include "Halvane.h"

namespace bench {

// Sample rate every benchmark runs at; real-time factors are relative to it.
constexpr int RATE = 48000;

inline std::vector<float> Noise(size_t n, unsigned seed, float level = 0.5f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-level, level);
    std::vector<float> v(n);
    for (float& x : v)
        x = dist(rng);
    return v;
}

inline tWAVEFORMATEX Format(int channels) {
    tWAVEFORMATEX f{};
    f.wFormatTag = 3; // IEEE float
    f.nChannels = static_cast<uint16_t>(channels);
    f.nSamplesPerSec = RATE;
    f.wBitsPerSample = 32;
    return f;
}

} // namespace bench

#endif
