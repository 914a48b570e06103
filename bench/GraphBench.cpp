// Whole graph through the realtime entry ProcessPlanar: every layout, mono and stereo input, reverb
// on and off, corner cross-feed on, at host blocks of 1 sample to the longest block. Items are sample frames
// (one sample per input channel); "x_realtime" is seconds of 48 kHz audio processed per second.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "Halvane.h"
#include "HalvaneLayouts.h"

namespace {

using bench::Format;
using bench::Noise;

using bench::RATE;

// Host-side buffers: a second of noise per input channel, processed block by block and wrapped
// around, and one output buffer per speaker of the block's size.
struct Host {
    std::vector<std::vector<float>> in;
    std::vector<std::vector<float>> out;
    std::vector<const float*> inPtr;
    std::vector<float*> outPtr;
    size_t pos = 0;

    Host(int inputs, int outputs, int block) : in(inputs), out(outputs, std::vector<float>(block)) {
        for (int j = 0; j < inputs; ++j)
            in[j] = Noise(RATE, 10u + static_cast<unsigned>(j), 0.5f);
        inPtr.resize(inputs);
        for (auto& channel : out)
            outPtr.push_back(channel.data());
    }
    const float* const* Next(int block) {
        if (pos + static_cast<size_t>(block) > in[0].size())
            pos = 0;
        for (size_t j = 0; j < in.size(); ++j)
            inPtr[j] = in[j].data() + pos;
        pos += static_cast<size_t>(block);
        return inPtr.data();
    }
};

void SetRate(benchmark::State& state, int64_t frames) {
    state.SetItemsProcessed(frames);
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(frames) / RATE, benchmark::Counter::kIsRate);
}

// Arguments: layout code, input channels, reverb (0/1), host block size.
void BM_Graph(benchmark::State& state) {
    const int code = static_cast<int>(state.range(0));
    const int inputs = static_cast<int>(state.range(1));
    const bool reverb = state.range(2) != 0;
    const int block = static_cast<int>(state.range(3));
    CSurroundEffect effect;
    effect.SetSpeakersConfig(code, false);
    effect.SetProcessAdvance(true);
    effect.SetReverb(reverb);
    tWAVEFORMATEX format = Format(inputs);
    effect.Initialize(&format);
    const int outputs = effect.GetOutputChannels();
    Host host(inputs, outputs, block);
    for (auto _ : state) {
        effect.ProcessPlanar(host.Next(block), inputs, host.outPtr.data(), outputs, block);
        benchmark::ClobberMemory();
    }
    SetRate(state, state.iterations() * block);
}

void GraphArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"layout", "in", "reverb", "block"});
    for (const HalvaneLayoutInfo& layout : HALVANE_LAYOUTS)
        for (int inputs : {1, 2})
            for (int reverb : {0, 1})
                for (int block : {64, 256, 1024, HALVANE_MAX_BLOCK})
                    b->Args({layout.code, inputs, reverb, block});
}
BENCHMARK(BM_Graph)->Apply(GraphArgs)->MinTime(0.2);

// Tiny host blocks on the two headline cases: stereo to 5.1 (63) and to 7.1 (1599), reverb on.
void GraphSmallBlockArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"layout", "in", "reverb", "block"});
    for (int code : {63, 1599})
        for (int block : {1, 16})
            b->Args({code, 2, 1, block});
}
BENCHMARK(BM_Graph)->Name("BM_GraphSmallBlocks")->Apply(GraphSmallBlockArgs)->MinTime(0.2);

// Worker threads against none, stereo to 5.1 and 7.1 with reverb and cross-feed. Wall-clock time,
// as the worker's share does not show in the calling thread's processor time. Mode 0: one thread;
// 1: the library's worker thread (SetWorkerThreads); 2: a thread of the host's lends itself
// (SetHostWorker), calling HelpProcess in a loop with nothing else to do.
void BM_GraphWorkers(benchmark::State& state) {
    const int code = static_cast<int>(state.range(0));
    const int block = static_cast<int>(state.range(1));
    const int mode = static_cast<int>(state.range(2));
    CSurroundEffect effect;
    effect.SetSpeakersConfig(code, false);
    effect.SetProcessAdvance(true);
    effect.SetWorkerThreads(mode == 1 ? 1 : 0);
    effect.SetHostWorker(mode == 2);
    tWAVEFORMATEX format = Format(2);
    effect.Initialize(&format);
    std::atomic<bool> stop{false};
    std::thread lender;
    if (mode == 2)
        lender = std::thread([&] {
            while (!stop.load(std::memory_order_relaxed))
                if (!effect.HelpProcess())
                    std::this_thread::yield();
        });
    const int outputs = effect.GetOutputChannels();
    Host host(2, outputs, block);
    for (auto _ : state) {
        effect.ProcessPlanar(host.Next(block), 2, host.outPtr.data(), outputs, block);
        benchmark::ClobberMemory();
    }
    stop.store(true);
    if (lender.joinable())
        lender.join();
    SetRate(state, state.iterations() * block);
}
void GraphWorkerArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"layout", "block", "worker"});
    for (int code : {63, 1599})
        for (int block : {64, 256, 1024, HALVANE_MAX_BLOCK})
            for (int mode : {0, 1, 2})
                b->Args({code, block, mode});
}
BENCHMARK(BM_GraphWorkers)->Apply(GraphWorkerArgs)->MinTime(0.2)->UseRealTime();

// Stereo to 5.1 with reverb: a second of loud noise, then ten seconds of silence while the tails
// decay toward subnormal values. The argument selects which part is timed (0: noise, 1: silence),
// each in blocks of 1024 from a freshly excited graph.
void BM_GraphSilenceAfterNoise(benchmark::State& state) {
    const bool timeSilence = state.range(0) != 0;
    constexpr int BLOCK = 1024;
    constexpr int NOISE_BLOCKS = RATE / BLOCK;
    constexpr int SILENCE_BLOCKS = 10 * RATE / BLOCK;
    const std::vector<float> noise = Noise(RATE, 77, 1.0f);
    const std::vector<float> silence(BLOCK, 0.0f);
    std::vector<std::vector<float>> out(6, std::vector<float>(BLOCK));
    std::vector<float*> outPtr;
    for (auto& channel : out)
        outPtr.push_back(channel.data());
    int64_t frames = 0;
    std::unique_ptr<CSurroundEffect> fresh;
    for (auto _ : state) {
        // The previous effect's destruction and the new one's set-up stay out of the timing.
        state.PauseTiming();
        fresh = std::make_unique<CSurroundEffect>();
        CSurroundEffect& effect = *fresh;
        effect.SetSpeakersConfig(63, false);
        tWAVEFORMATEX format = Format(2);
        effect.Initialize(&format);
        if (timeSilence) {
            for (int b = 0; b < NOISE_BLOCKS; ++b) {
                const float* in[2] = {noise.data() + b * BLOCK, noise.data() + b * BLOCK};
                effect.ProcessPlanar(in, 2, outPtr.data(), 6, BLOCK);
            }
        }
        state.ResumeTiming();
        if (timeSilence) {
            for (int b = 0; b < SILENCE_BLOCKS; ++b) {
                const float* in[2] = {silence.data(), silence.data()};
                effect.ProcessPlanar(in, 2, outPtr.data(), 6, BLOCK);
            }
            frames += SILENCE_BLOCKS * BLOCK;
        } else {
            for (int b = 0; b < NOISE_BLOCKS; ++b) {
                const float* in[2] = {noise.data() + b * BLOCK, noise.data() + b * BLOCK};
                effect.ProcessPlanar(in, 2, outPtr.data(), 6, BLOCK);
            }
            frames += NOISE_BLOCKS * BLOCK;
        }
        benchmark::DoNotOptimize(out[0].data());
    }
    SetRate(state, frames);
}
BENCHMARK(BM_GraphSilenceAfterNoise)->ArgName("silence")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace
