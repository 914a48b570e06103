// Kernels and single nodes at 64-sample blocks and the longest block. Items are samples summed over the
// channels the kernel or node works on.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <algorithm>
#include <vector>

#include "Halvane.h"
#include "HalvaneLayouts.h"
#include "dsp/nsp.h"
#include "nodes/SurrEffectDecompMono.h"
#include "nodes/SurrEffectDecompStereo.h"
#include "nodes/SurrEffectDelay.h"
#include "nodes/SurrEffectIIRHighPassFilter.h"
#include "nodes/SurrEffectIIRLowPassFilter.h"
#include "nodes/SurrEffectMux.h"
#include "nodes/SurrEffectPos.h"
#include "nodes/SurrEffectSum.h"
#include "nodes/SurrMovingOffEffect.h"
#include "nodes/SurrVolumeEffect.h"
#include "reverb/SurrReverbEffect.h"
#include "reverb/SurrReverbLockstep.h"

namespace {

using bench::Format;
using bench::Noise;

constexpr int LAYOUT = 1599; // eight speakers
constexpr int SPEAKERS = 8;

void BlockSizes(benchmark::internal::Benchmark* b) {
    b->ArgName("block")->Arg(64)->Arg(HALVANE_MAX_BLOCK)->MinTime(0.1);
}

// ---- kernels ----

void BM_KernelMpy1(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<float> v = Noise(n, 1);
    for (auto _ : state) {
        nspsbMpy1(-1.0f, v.data(), n); // exact: the samples never decay
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_KernelMpy1)->Apply(BlockSizes);

void BM_KernelAdd2(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<float> src = Noise(n, 2);
    std::vector<float> dst = Noise(n, 3);
    for (auto _ : state) {
        nspsbAdd2(src.data(), dst.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_KernelAdd2)->Apply(BlockSizes);

void BM_KernelCopy(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<float> src = Noise(n, 4);
    std::vector<float> dst(n);
    for (auto _ : state) {
        nspsbCopy(src.data(), dst.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_KernelCopy)->Apply(BlockSizes);

void BM_KernelThresh1(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<float> v = Noise(n, 5);
    for (auto _ : state) {
        nspsbThresh1(v.data(), n, 0.25f, NSP_THRESH_ABOVE);
        nspsbThresh1(v.data(), n, -0.25f, NSP_THRESH_BELOW);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n * 2);
}
BENCHMARK(BM_KernelThresh1)->Apply(BlockSizes);

void BM_KernelIir(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<float> v = Noise(n, 6);
    const float taps[6] = {0.0039f, 0.0078f, 0.0039f, 1.0f, -1.8153f, 0.8310f};
    NspIirFilterState iir{};
    nspsIirInit(0, taps, 2, &iir);
    for (auto _ : state) {
        nspsbIir(&iir, v.data(), v.data(), n);
        benchmark::ClobberMemory();
    }
    nspIirFree(&iir);
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_KernelIir)->Apply(BlockSizes);

// ---- nodes, each on a record of eight speaker channels unless it makes them ----

// Runs `node` on an eight-channel record refilled from noise before each block. The refill is
// timed with the node: one copy per channel, as the graph's splitter makes anyway.
template <class Node>
void RunOnSpeakers(benchmark::State& state, Node& node) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<float> input = Noise(n, 7);
    _SOUNDDATAEX_ block;
    block.Allocate(SPEAKERS, n);
    for (auto _ : state) {
        for (float* channel : block.Channels)
            std::copy(input.begin(), input.end(), channel);
        block.nSamples = n;
        node.Process(&block);
        benchmark::DoNotOptimize(block.Channels[0]);
    }
    block.Release();
    state.SetItemsProcessed(state.iterations() * n * SPEAKERS);
}

template <class Node>
void Setup(Node& node, int channels) {
    node.SetSpeakersConfig(LAYOUT);
    tWAVEFORMATEX f = Format(channels);
    node.Initialize(&f);
}

// Stereo and mono decomposition on the realtime path (caller-owned output buffers).
template <class Node>
void RunDecomp(benchmark::State& state, int inputs) {
    const int n = static_cast<int>(state.range(0));
    Node node;
    Setup(node, inputs);
    std::vector<std::vector<float>> out(SPEAKERS, std::vector<float>(n));
    float* outPtr[SPEAKERS];
    for (int c = 0; c < SPEAKERS; ++c)
        outPtr[c] = out[c].data();
    std::vector<std::vector<float>> in(inputs, Noise(n, 8));
    _SOUNDDATAEX_ block;
    node.SetOutputBuffers(outPtr);
    for (auto _ : state) {
        block.Channels.clear();
        for (auto& channel : in)
            block.Channels.push_back(channel.data());
        block.nSamples = n;
        node.Process(&block);
        benchmark::DoNotOptimize(block.Channels[0]);
    }
    block.Channels.clear();
    state.SetItemsProcessed(state.iterations() * n * SPEAKERS);
}
void BM_NodeDecompMono(benchmark::State& state) {
    RunDecomp<CSurrEffectDecompMono>(state, 1);
}
BENCHMARK(BM_NodeDecompMono)->Apply(BlockSizes);
void BM_NodeDecompStereo(benchmark::State& state) {
    RunDecomp<CSurrEffectDecompStereo>(state, 2);
}
BENCHMARK(BM_NodeDecompStereo)->Apply(BlockSizes);

void BM_NodePos(benchmark::State& state) {
    CSurrEffectPos node;
    Setup(node, 1);
    RunOnSpeakers(state, node);
}
BENCHMARK(BM_NodePos)->Apply(BlockSizes);

void BM_NodeMovingOff(benchmark::State& state) {
    CSurrMovingOffEffect node;
    Setup(node, 1);
    RunOnSpeakers(state, node);
}
BENCHMARK(BM_NodeMovingOff)->Apply(BlockSizes);

void BM_NodeDelay(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    CSurrEffectDelayEx node;
    node.SetDelay(7.3f, false);
    tWAVEFORMATEX f = Format(1);
    node.Initialize(&f);
    std::vector<float> v = Noise(n, 9);
    _SOUNDDATAEX_ block;
    block.Channels.push_back(v.data());
    block.nSamples = n;
    for (auto _ : state) {
        node.Process(&block);
        benchmark::DoNotOptimize(block.Channels[0]);
    }
    block.Channels.clear();
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_NodeDelay)->Apply(BlockSizes);

// The two filter nodes are named against their design: CSurrEffectIIRHighPassFilter is the LFE
// low-pass, CSurrEffectIIRLowPassFilter the optional high-pass stage. The benchmarks go by design.
void BM_NodeLfeLowPass(benchmark::State& state) {
    CSurrEffectIIRHighPassFilter node;
    Setup(node, 1);
    RunOnSpeakers(state, node);
}
BENCHMARK(BM_NodeLfeLowPass)->Apply(BlockSizes);

void BM_NodeHighPass(benchmark::State& state) {
    CSurrEffectIIRLowPassFilter node;
    Setup(node, 1);
    RunOnSpeakers(state, node);
}
BENCHMARK(BM_NodeHighPass)->Apply(BlockSizes);

void BM_NodeVolumeEx(benchmark::State& state) {
    CSurrVolumeEffectEx node;
    Setup(node, 1);
    node.m_dVolume = 0.8;
    RunOnSpeakers(state, node);
}
BENCHMARK(BM_NodeVolumeEx)->Apply(BlockSizes);

// Sum of two branches that hand back their record as it is.
void BM_NodeSum(benchmark::State& state) {
    CSurrBaseEffect branchA, branchB;
    CSurrEffectSum node;
    node.SetInput(&branchA);
    node.SetInput(&branchB);
    Setup(node, 1);
    const int n = static_cast<int>(state.range(0));
    node.m_Buffer.nSamples = n;
    RunOnSpeakers(state, node);
}
BENCHMARK(BM_NodeSum)->Apply(BlockSizes);

// Splitter with two consumers: one pull fills the cache, the second is served from it.
void BM_NodeMux(benchmark::State& state) {
    CSurrEffectMux node;
    Setup(node, 1);
    node.m_nOutputs = 2;
    const int n = static_cast<int>(state.range(0));
    const std::vector<float> input = Noise(n, 10);
    _SOUNDDATAEX_ block;
    block.Allocate(SPEAKERS, n);
    for (auto _ : state) {
        node.GetBuffer(&block);
        node.GetBuffer(&block);
        benchmark::DoNotOptimize(block.Channels[0]);
    }
    block.Release();
    state.SetItemsProcessed(state.iterations() * n * SPEAKERS * 2);
}
BENCHMARK(BM_NodeMux)->Apply(BlockSizes);

// Reverb node of layout 1599 at its default levels and room; arguments: block, cross-feed.
void BM_NodeReverb(benchmark::State& state) {
    CSurrReverbEffect node;
    node.SetSpeakersConfig(LAYOUT);
    node.m_bProcessAdvance = state.range(1) != 0;
    tWAVEFORMATEX f = Format(1);
    node.Initialize(&f);
    RunOnSpeakers(state, node);
}
BENCHMARK(BM_NodeReverb)
    ->ArgNames({"block", "cross"})
    ->Args({64, 0})
    ->Args({HALVANE_MAX_BLOCK, 0})
    ->Args({64, 1})
    ->Args({HALVANE_MAX_BLOCK, 1})
    ->MinTime(0.2);

// Reverb node with and without its worker thread, blocks of HALVANE_MAX_BLOCK, layouts 63 and 1599.
// Wall-clock time: the worker's share does not show in the calling thread's processor time.
void BM_NodeReverbWorkers(benchmark::State& state) {
    CSurrReverbEffect node;
    node.SetSpeakersConfig(static_cast<int>(state.range(0)));
    tWAVEFORMATEX f = Format(1);
    node.Initialize(&f);
    node.SetWorkers(static_cast<int>(state.range(1)), nullptr);
    const int n = HALVANE_MAX_BLOCK;
    const std::vector<float> input = Noise(n, 7);
    _SOUNDDATAEX_ block;
    block.Allocate(node.m_nSpeakers, n);
    for (auto _ : state) {
        for (float* channel : block.Channels)
            std::copy(input.begin(), input.end(), channel);
        node.Process(&block);
        benchmark::DoNotOptimize(block.Channels[0]);
    }
    block.Release();
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_NodeReverbWorkers)
    ->ArgNames({"layout", "workers"})
    ->ArgsProduct({{63, 1599}, {0, 1}})
    ->MinTime(0.2)
    ->UseRealTime();

// The reverb node's lockstep loop built for each instruction set (1: SSE2, 2: AVX2, 3: AVX-512),
// on layouts 3 (two channels), 63 (six) and 1599 (eight), blocks of the longest length, no cross-feed. A set
// the processor lacks is skipped.
void BM_NodeReverbIsa(benchmark::State& state) {
    using Isa = CSurrReverbLockstep::Isa;
    const Isa isa = static_cast<Isa>(state.range(0));
    if (CSurrReverbLockstep::Force(isa) != isa) {
        CSurrReverbLockstep::Force(Isa::Auto);
        state.SkipWithError("instruction set not available");
        return;
    }
    const int code = static_cast<int>(state.range(1));
    CSurrReverbEffect node;
    node.SetSpeakersConfig(code);
    tWAVEFORMATEX f = Format(1);
    node.Initialize(&f);
    const int n = HALVANE_MAX_BLOCK;
    const std::vector<float> input = Noise(n, 11);
    _SOUNDDATAEX_ block;
    block.Allocate(node.m_nSpeakers, n);
    for (auto _ : state) {
        for (float* channel : block.Channels)
            std::copy(input.begin(), input.end(), channel);
        node.Process(&block);
        benchmark::DoNotOptimize(block.Channels[0]);
    }
    block.Release();
    CSurrReverbLockstep::Force(Isa::Auto);
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["x_realtime"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * n / bench::RATE, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_NodeReverbIsa)
    ->ArgNames({"isa", "layout"})
    ->ArgsProduct({{1, 2, 3}, {3, 63, 1599}})
    ->MinTime(0.2);

} // namespace
