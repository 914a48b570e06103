// Helpers for the end-to-end tests: records built the way a host builds them.
#ifndef HALVANE_TESTS_E2E_E2ESUPPORT_H
#define HALVANE_TESTS_E2E_E2ESUPPORT_H

#include <algorithm>
#include <cstring>
#include <vector>

#include "Halvane.h"
#include "support/Signals.h"

namespace e2e {

using Channels = std::vector<std::vector<float>>;

inline tWAVEFORMATEX Format(int channels, int rate) {
    tWAVEFORMATEX format{};
    format.wFormatTag = 3;
    format.nChannels = static_cast<uint16_t>(channels);
    format.nSamplesPerSec = static_cast<uint32_t>(rate);
    format.wBitsPerSample = 32;
    format.nBlockAlign = static_cast<uint16_t>(4 * channels);
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    return format;
}

// Hands `input` to Process in one call and returns the speaker channels.
inline Channels ProcessOnce(CSurroundEffect& effect, const Channels& input, int* result = nullptr) {
    _SOUNDDATAEX_ record;
    for (const auto& channel : input) {
        float* buffer = new float[channel.size()];
        std::memcpy(buffer, channel.data(), channel.size() * sizeof(float));
        record.Channels.push_back(buffer);
    }
    record.nSamples = input.empty() ? 0 : static_cast<int32_t>(input[0].size());
    const int r = effect.Process(&record);
    if (result)
        *result = r;
    Channels output;
    for (float* buffer : record.Channels)
        output.emplace_back(buffer, buffer + record.nSamples);
    record.Release();
    return output;
}

// Hands `input` to Process in consecutive calls of `block` samples.
inline Channels ProcessInBlocks(CSurroundEffect& effect, const Channels& input, size_t block) {
    Channels output;
    for (size_t start = 0; start < input[0].size(); start += block) {
        Channels part;
        for (const auto& channel : input)
            part.emplace_back(channel.begin() + start,
                              channel.begin() + std::min(channel.size(), start + block));
        Channels result = ProcessOnce(effect, part);
        output.resize(result.size());
        for (size_t k = 0; k < result.size(); ++k)
            output[k].insert(output[k].end(), result[k].begin(), result[k].end());
    }
    return output;
}

// One ProcessPlanar call on frames [start, start + n) of `input`, writing the same frames of
// every channel of `output`; returns the call's result.
inline int ProcessPlanarAt(CSurroundEffect& effect, const Channels& input, Channels& output, size_t start,
                           size_t n) {
    std::vector<const float*> in;
    for (const auto& channel : input)
        in.push_back(channel.data() + start);
    std::vector<float*> out;
    for (auto& channel : output)
        out.push_back(channel.data() + start);
    return effect.ProcessPlanar(in.data(), static_cast<int>(in.size()), out.data(),
                                static_cast<int>(out.size()), static_cast<int>(n));
}

// Hands `input` to ProcessPlanar in calls of `block` samples, writing `outputs` channels that start
// out as `fill`; `result` gets the AND of the calls' results.
inline Channels RenderPlanar(CSurroundEffect& effect, const Channels& input, size_t block, int outputs,
                             int* result = nullptr, float fill = -7.0f) {
    const size_t total = input[0].size();
    Channels output(static_cast<size_t>(outputs));
    for (auto& channel : output)
        channel.assign(total, fill);
    int all = 1;
    for (size_t start = 0; start < total; start += block)
        all &= ProcessPlanarAt(effect, input, output, start, std::min(block, total - start));
    if (result)
        *result = all;
    return output;
}

inline Channels Noise(int channels, size_t samples, unsigned seed, float level = 0.5f) {
    return RandomChannels(channels, samples, seed, level);
}

inline Channels Impulse(int channels, size_t samples) {
    Channels out(channels, std::vector<float>(samples, 0.0f));
    for (auto& channel : out)
        channel[0] = 1.0f;
    return out;
}

} // namespace e2e

#endif
