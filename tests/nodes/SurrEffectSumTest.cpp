// Sum: the second input added into the first on every channel but the LFE.
#include <gtest/gtest.h>

#include "nodes/NodeTestSupport.h"
#include "nodes/SurrEffectSum.h"

namespace {

// Writes a fixed signal into the block it is handed, as many channels as the block has.
struct SignalSource : CSurrBaseEffect {
    Signal signal;
    int pulls = 0;
    int Process(_SOUNDDATAEX_* data) override {
        ++pulls;
        for (size_t c = 0; c < data->Channels.size(); ++c)
            std::copy(signal[c].begin(), signal[c].begin() + data->nSamples, data->Channels[c]);
        return 0; // ignored by the sum
    }
};

} // namespace

TEST(SurrEffectSum, AddsTheSecondBranchExceptIntoTheLfe) {
    for (int code : {63, 51}) {
        SignalSource first, second;
        first.signal = RandomChannels(6, 64, 1);
        second.signal = RandomChannels(6, 64, 2);
        CSurrEffectSum sum;
        sum.SetInput(&first);
        sum.SetInput(&second);
        sum.SetSpeakersConfig(code);
        EXPECT_EQ(sum.m_pInput, nullptr);
        EXPECT_EQ(sum.m_nInputs, 2);
        sum.m_Buffer.nSamples = 64; // the second branch's length (a splitter would set it)

        const int channels = sum.m_nSpeakers;
        Block block(Signal(channels, std::vector<float>(64, 0.0f)));
        EXPECT_EQ(sum.GetBuffer(&block), 1);
        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < 64; ++i) {
                const bool lfe = code == 63 && c == 3;
                ASSERT_EQ(block.Channels[c][i],
                          lfe ? first.signal[c][i] : first.signal[c][i] + second.signal[c][i])
                    << code << " ch " << c;
            }

        sum.Free(); // both inputs are still pulled, nothing is added
        Block after(Signal(channels, std::vector<float>(64, 0.0f)));
        sum.GetBuffer(&after);
        EXPECT_EQ(first.pulls, 2);
        EXPECT_EQ(second.pulls, 2);
        EXPECT_TRUE(sum.m_Buffer.Channels.empty());
        for (int c = 0; c < channels; ++c)
            EXPECT_EQ(after.Channel(c), first.signal[c]);
    }
}
