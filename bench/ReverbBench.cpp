// Reverb throughput in samples per second of one core. The reverb node on eight channels is
// BM_NodeReverb and BM_NodeReverbIsa in NodeBench.cpp.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <vector>

#include "HalvaneLayouts.h"
#include "reverb/SurrReverbFdnEffect.h"

namespace {

using bench::Format;
using bench::Noise;

constexpr int BLOCK = HALVANE_MAX_BLOCK;

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

} // namespace
