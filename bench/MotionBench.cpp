// What gliding costs: stereo to 5.1 with the reverb on and the source moved every 10 ms (around a
// circle, as `halvane render --orbit` moves it), jumping mode against the smooth mode, at host
// blocks of 64 samples and of the longest block. Like the renderer, a host block is cut where a move falls
// due. Items are sample frames; compare the two modes' items per second at the same block size.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Halvane.h"
#include "HalvaneLayouts.h"

namespace {

using bench::Format;
using bench::Noise;
using bench::RATE;

constexpr int CONTROL = RATE / 100; // a move every 10 ms

// Arguments: smooth (0/1), host block size.
void BM_MovingSource(benchmark::State& state) {
    const bool smooth = state.range(0) != 0;
    const int block = static_cast<int>(state.range(1));
    CSurroundEffect effect;
    effect.SetSmoothing(smooth);
    tWAVEFORMATEX format = Format(2);
    effect.Initialize(&format);
    const int outputs = effect.GetOutputChannels();
    const std::vector<float> left = Noise(RATE, 21u), right = Noise(RATE, 22u);
    std::vector<std::vector<float>> out(outputs, std::vector<float>(block));
    std::vector<float*> outPtr;
    for (auto& channel : out)
        outPtr.push_back(channel.data());
    int64_t sample = 0;
    for (auto _ : state) {
        for (int done = 0; done < block;) {
            if (sample % CONTROL == 0) {
                const double angle = 2.0 * 3.141592653589793 * static_cast<double>(sample) / (4.0 * RATE);
                effect.SetSoundPos(static_cast<float>(1.5 + std::sin(angle)),
                                   static_cast<float>(1.5 - std::cos(angle)), true);
            }
            const int n = static_cast<int>(std::min<int64_t>(block - done, CONTROL - sample % CONTROL));
            const size_t at = static_cast<size_t>(sample % (RATE - HALVANE_MAX_BLOCK));
            const float* in[2] = {left.data() + at, right.data() + at};
            float* o[8];
            for (int c = 0; c < outputs; ++c)
                o[c] = outPtr[c] + done;
            effect.ProcessPlanar(in, 2, o, outputs, n);
            done += n;
            sample += n;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * block);
}

void MotionArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"smooth", "block"});
    for (int block : {64, HALVANE_MAX_BLOCK})
        for (int smooth : {0, 1})
            b->Args({smooth, block});
}
BENCHMARK(BM_MovingSource)->Apply(MotionArgs)->MinTime(0.5);

} // namespace
