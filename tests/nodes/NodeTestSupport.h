// Shared by the node tests: an owning block record, reproducible random signals and a driver that
// runs a node over a signal cut into blocks of given sizes.
#ifndef HALVANE_TESTS_NODES_NODETESTSUPPORT_H
#define HALVANE_TESTS_NODES_NODETESTSUPPORT_H

#include "Halvane.h"

#include "support/Signals.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

using Signal = std::vector<std::vector<float>>; // one vector per channel

// A block record that owns its buffers and releases whatever it holds when it goes.
struct Block : _SOUNDDATAEX_ {
    explicit Block(const Signal& channels, size_t from = 0, int n = -1) {
        nSamples = n < 0 ? static_cast<int>(channels[0].size()) : n;
        for (const std::vector<float>& ch : channels) {
            Channels.push_back(new float[nSamples > 0 ? nSamples : 1]);
            if (nSamples > 0)
                std::memcpy(Channels.back(), ch.data() + from, sizeof(float) * nSamples);
        }
    }
    ~Block() { Release(); }
    std::vector<float> Channel(int c) const { return {Channels[c], Channels[c] + nSamples}; }
};

// Block lengths that add up to total: the pattern repeated, the last one cut short.
inline std::vector<int> BlockSizes(std::vector<int> pattern, int total) {
    std::vector<int> sizes;
    for (size_t i = 0; total > 0; ++i) {
        const int n = std::min(pattern[i % pattern.size()], total);
        sizes.push_back(n);
        total -= n;
    }
    return sizes;
}

inline std::vector<int> RandomBlockSizes(int total, unsigned seed) {
    std::mt19937 rng(seed);
    const int lengths[] = {0, 1, 7, 31, 64, 4095, 4096};
    std::vector<int> pattern;
    for (int i = 0; i < 64; ++i)
        pattern.push_back(lengths[rng() % 7]);
    pattern.push_back(1); // never all zero
    return BlockSizes(pattern, total);
}

// Runs node->Process over the signal in blocks of the given sizes and joins the outputs.
template <class Node>
Signal RunBlocks(Node& node, const Signal& in, const std::vector<int>& sizes) {
    Signal out(in.size());
    size_t at = 0;
    for (int n : sizes) {
        Block block(in, at, n);
        node.Process(&block);
        for (size_t c = 0; c < in.size(); ++c)
            out[c].insert(out[c].end(), block.Channels[c], block.Channels[c] + n);
        at += n;
    }
    return out;
}

// Runs a decomposition node's realtime path: the input handed over in the caller's own buffers, the
// output written into ten caller-owned buffers set up front (-9 where nothing is written). Checks that
// the record comes back holding those buffers and that the input buffers are untouched.
template <class Node>
Signal RunIntoCallerBuffers(Node& node, const Signal& in, size_t channels) {
    Signal outputs(10, std::vector<float>(in[0].size(), -9.0f));
    float* pointers[10];
    for (int c = 0; c < 10; ++c)
        pointers[c] = outputs[c].data();
    node.SetOutputBuffers(pointers);
    Signal input = in;
    _SOUNDDATAEX_ rt;
    rt.Channels.reserve(10);
    for (auto& channel : input)
        rt.Channels.push_back(channel.data());
    rt.nSamples = static_cast<int>(in[0].size());
    node.Process(&rt);
    EXPECT_EQ(rt.Channels.size(), channels);
    for (size_t c = 0; c < rt.Channels.size() && c < 10; ++c)
        EXPECT_EQ(rt.Channels[c], pointers[c]) << c;
    EXPECT_EQ(input, in);
    rt.Channels.clear(); // nothing of it is ours to release
    return outputs;
}

// Runs a fresh node from `make` over `in` in blocks of 4096, 1, 7 and 64 and in random splits, checks
// that every split gives the same output and returns it.
template <class Make>
Signal SameInEveryBlockSplit(Make make, const Signal& in, std::vector<unsigned> randomSeeds) {
    const int total = static_cast<int>(in[0].size());
    std::vector<std::vector<int>> splits = {BlockSizes({4096}, total), BlockSizes({1}, total),
                                            BlockSizes({7}, total), BlockSizes({64}, total)};
    for (unsigned seed : randomSeeds)
        splits.push_back(RandomBlockSizes(total, seed));
    Signal reference;
    for (const std::vector<int>& sizes : splits) {
        auto node = make();
        const Signal out = RunBlocks(*node, in, sizes);
        if (reference.empty())
            reference = out;
        EXPECT_EQ(out, reference) << sizes.size() << " blocks";
    }
    return reference;
}

inline tWAVEFORMATEX Format(uint32_t rate, uint16_t channels = 1) {
    tWAVEFORMATEX f{};
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    return f;
}

// Magnitude of the frequency response at hz of an impulse response sampled at rate, in double.
inline double Magnitude(const std::vector<float>& h, double hz, double rate) {
    std::complex<double> sum = 0.0;
    const double w = -2.0 * 3.141592653589793 * hz / rate;
    for (size_t n = 0; n < h.size(); ++n)
        sum += static_cast<double>(h[n]) * std::polar(1.0, w * static_cast<double>(n));
    return std::abs(sum);
}

#endif
