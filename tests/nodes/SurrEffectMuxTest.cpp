// Splitter: one upstream pull per cycle, every consumer served the same block and result.
#include <gtest/gtest.h>

#include "nodes/NodeTestSupport.h"
#include "nodes/SurrEffectMux.h"

namespace {

// Fills every channel with its pull number and reports a chosen result.
struct CountingSource : CSurrBaseEffect {
    int pulls = 0;
    int result = 1;
    int Process(_SOUNDDATAEX_* data) override {
        ++pulls;
        for (float* ch : data->Channels)
            std::fill(ch, ch + data->nSamples, static_cast<float>(pulls));
        return result;
    }
};

} // namespace

TEST(SurrEffectMux, ServesEachCycleFromOnePull) {
    CountingSource source;
    CSurrEffectMux mux;
    mux.m_nOutputs = 2;
    mux.SetInput(&source);
    mux.SetSpeakersConfig(51);
    ASSERT_EQ(mux.m_Cache.Channels.size(), 4u);

    const Signal zeros(4, std::vector<float>(50, 0.0f));
    struct Pull {
        int length;     // the consumer's own block length
        int result;     // what the source reports on an upstream pull
        int seenLength; // the length the splitter hands back
        float value;    // the pull number the samples carry
        int sourcePulls;
    };
    // Cycle 1: pulls 1 and 2; cycle 2 starts at the third pull and its result carries over.
    const Pull pulls[] = {
        {30, 1, 30, 1, 1}, {50, 0, 30, 1, 1}, {20, 0, 20, 2, 2}, {40, 1, 20, 2, 2}, {10, 1, 10, 3, 3}};
    for (const Pull& p : pulls) {
        source.result = p.result;
        Block block(zeros, 0, p.length);
        const int result = mux.GetBuffer(&block);
        EXPECT_EQ(source.pulls, p.sourcePulls);
        EXPECT_EQ(block.nSamples, p.seenLength);
        EXPECT_EQ(result, pulls[(p.sourcePulls - 1) * 2].result);
        for (int c = 0; c < 4; ++c)
            for (int i = 0; i < p.seenLength; ++i)
                ASSERT_EQ(block.Channels[c][i], p.value) << c;
    }
}
