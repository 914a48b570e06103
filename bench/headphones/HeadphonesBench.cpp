// The binaural stage on a 5.1 feed at 48 kHz: one second of six channels per iteration, by
// partition length (0: the stage's own choice), with the KEMAR set's filter length (558 samples at 48 kHz)
// given as random filters so that the benchmark needs no HRIR file.
#include <HalvaneHeadphones.h>
#include <HalvaneLayouts.h>

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

namespace {

constexpr int kChannels = 6;
constexpr int kFilterLength = 558;
constexpr int kLfeChannel = 3; // FL FR FC LFE BL BR

void BM_HeadphonesStage(benchmark::State& state) {
    const int partition = static_cast<int>(state.range(0));
    const int block = static_cast<int>(state.range(1));
    std::vector<std::vector<float>> left, right, feed;
    std::vector<const float*> lp, rp, ip(kChannels);
    for (int c = 0; c < kChannels; ++c) {
        left.push_back(bench::Noise(kFilterLength, 10u + c, 0.1f));
        right.push_back(bench::Noise(kFilterLength, 20u + c, 0.1f));
        feed.push_back(bench::Noise(bench::RATE, 30u + c));
        if (c == kLfeChannel) // one tap to both ears, as the stage builds it
            for (std::vector<float>* h : {&left.back(), &right.back()})
                std::fill(h->begin() + 1, h->end(), 0.0f);
        lp.push_back(left.back().data());
        rp.push_back(right.back().data());
    }
    CHalvaneHeadphones hp;
    std::string error;
    if (!hp.InitializeFilters(kChannels, kFilterLength, lp.data(), rp.data(), partition, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<float> ears(2 * static_cast<size_t>(bench::RATE));
    for (auto _ : state) {
        for (int pos = 0; pos < bench::RATE; pos += block) {
            const int n = std::min(block, bench::RATE - pos);
            for (int c = 0; c < kChannels; ++c)
                ip[c] = feed[c].data() + pos;
            float* op[2] = {ears.data() + pos, ears.data() + bench::RATE + pos};
            hp.Process(ip.data(), kChannels, op, n);
        }
        benchmark::DoNotOptimize(ears.data());
    }
    state.SetItemsProcessed(state.iterations() * bench::RATE);
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HeadphonesStage)
    ->ArgNames({"partition", "block"})
    ->Args({128, 128})
    ->Args({256, 256})
    ->Args({512, HALVANE_MAX_BLOCK})
    ->Args({1024, HALVANE_MAX_BLOCK})
    ->Args({2048, HALVANE_MAX_BLOCK})
    ->Args({0, HALVANE_MAX_BLOCK}) // the stage's own step, as the tool renders files
    ->Unit(benchmark::kMillisecond);

} // namespace
