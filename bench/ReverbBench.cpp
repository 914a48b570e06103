// Reverb throughput in samples per second: one core, and an eight-channel reverb node.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <random>
#include <vector>

#include "reverb/SurrReverbEffect.h"
#include "reverb/SurrReverbFdnEffect.h"

namespace {

using bench::Format;
using bench::Noise;

constexpr int BLOCK = 4096;

// One core at the node's default levels; the argument is the core's channel count.
void BM_ReverbCore(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    CSurrReverbFdnEffect core;
    tWAVEFORMATEX f = Format(channels);
    core.Initialize(&f);
    core.SetDry(0.0f);
    core.SetWet(1.84f);
    core.SetFeedbackGain(0.86f);
    core.SetHFDecay(0.42f);
    core.SetRoomSize(3.0f);
    const std::vector<float> input = Noise(BLOCK, 1);
    std::vector<float> left(BLOCK), right(BLOCK);
    for (auto _ : state) {
        left = input;
        right = input;
        core.Process(_SOUNDDATA_{BLOCK, left.data(), channels == 2 ? right.data() : nullptr});
        benchmark::DoNotOptimize(left.data());
    }
    state.SetItemsProcessed(state.iterations() * BLOCK * channels);
}
BENCHMARK(BM_ReverbCore)->Arg(1)->Arg(2);

// Reverb node on layout 1599 (eight channels, eight cores); the argument switches the corner
// cross-feed. Items are samples summed over channels.
void BM_ReverbNode8(benchmark::State& state) {
    CSurrReverbEffect node;
    node.SetSpeakersConfig(1599);
    node.UpdateRoomSize(3.0f, 3.0f);
    node.SetRevDry(0.0f);
    node.SetRevWet(1.84f);
    node.SetRevAbsorb(0.14f);
    node.SetRevHFDecay(0.42f);
    node.m_bProcessAdvance = state.range(0) != 0;
    tWAVEFORMATEX f = Format(1);
    node.Initialize(&f);
    const std::vector<float> input = Noise(BLOCK, 2);
    _SOUNDDATAEX_ block;
    block.Allocate(8, BLOCK);
    for (auto _ : state) {
        for (float* channel : block.Channels)
            std::copy(input.begin(), input.end(), channel);
        node.Process(&block);
        benchmark::DoNotOptimize(block.Channels[0]);
    }
    block.Release();
    state.SetItemsProcessed(state.iterations() * BLOCK * 8);
}
BENCHMARK(BM_ReverbNode8)->Arg(0)->Arg(1);

} // namespace
