// LFE filter node (low-pass design): taps, response against an independent Butterworth design,
// channel flags, gain, all ten filter slots, restarts and block-split invariance.
#include <gtest/gtest.h>

#include "nodes/NodeTestSupport.h"
#include "nodes/SurrEffectIIRHighPassFilter.h"

namespace {

std::vector<float> ImpulseResponse(CSurrEffectIIRHighPassFilter& node, int n) {
    Signal impulse(1, std::vector<float>(n, 0.0f));
    impulse[0][0] = 1.0f;
    return RunBlocks(node, impulse, {n})[0];
}

} // namespace

TEST(SurrEffectIIRHighPassFilter, TapsAndResponse) {
    CSurrEffectIIRHighPassFilter node;
    node.UpdateParams(); // before Initialize: designed at the constructor's 44100 Hz, harmless
    EXPECT_EQ(node.m_fTaps[0], 5.02414223e-05f);
    EXPECT_EQ(node.m_fTaps[4], -1.97985148f);

    tWAVEFORMATEX f = Format(48000);
    node.Initialize(&f);
    const float expected[6] = {4.24434e-05f, 8.48867e-05f, 4.24434e-05f, 1.0f, -1.98149f, 0.981658f};
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(node.m_fTaps[i], expected[i], std::fabs(expected[i]) * 2e-6) << i;
    // Each tap rounded once from the double design.
    EXPECT_EQ(node.m_fTaps[0], 4.24433674e-05f);
    EXPECT_EQ(node.m_fTaps[1], 8.48867348e-05f);
    EXPECT_EQ(node.m_fTaps[2], node.m_fTaps[0]);
    EXPECT_EQ(node.m_fTaps[4], -1.98148847f);
    EXPECT_EQ(node.m_fTaps[5], 0.98165828f);

    // |H| of scipy.signal.butter(2, 100, fs=48000) at 0, 50, 100, 200, 400 Hz and fs/4; the float
    // taps move the DC gain to about 0.99976.
    const double hz[] = {0, 50, 100, 200, 400, 12000};
    const double mag[] = {1.0, 0.9701437, 0.7071068, 0.2425161, 0.0623517, 0.0000428};
    const std::vector<float> h = ImpulseResponse(node, 16384);
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(Magnitude(h, hz[i], 48000), mag[i], 5e-4) << hz[i];
}

TEST(SurrEffectIIRHighPassFilter, FlagsGainAndAllTenSlots) {
    const int n = 200;
    const Signal one = RandomChannels(1, n, 6);
    const Signal in(10, one[0]); // ten equal channels: a filtered one must match channel 0
    tWAVEFORMATEX f = Format(48000);

    CSurrEffectIIRHighPassFilter plain;
    plain.Initialize(&f);
    const std::vector<float> filtered = RunBlocks(plain, one, {n})[0];
    EXPECT_EQ(plain.m_nSpeakers, 6);

    CSurrEffectIIRHighPassFilter node;
    node.Initialize(&f);
    node.m_fGain = 0.5f;
    const int32_t flags[11] = {1, 0, 1, 0, 1, 1, 1, 1, 1, 1, 0};
    node.SetFilterChannels(flags, 0);  // ignored
    node.SetFilterChannels(flags, 11); // ignored
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(node.m_nFilterChannel[i], 1);
    node.SetFilterChannels(flags, 4); // channels 0..3 only
    const Signal out = RunBlocks(node, in, {n});
    for (int c = 0; c < 10; ++c) {
        for (int i = 0; i < n; ++i) {
            // Channels 6 to 9 lie beyond the node's own six speakers and are filtered all the same.
            const float want = flags[c] || c >= 4 ? filtered[i] * 0.5f : in[c][i];
            ASSERT_EQ(out[c][i], want) << c << " " << i;
        }
    }
}

TEST(SurrEffectIIRHighPassFilter, BlockSplitsAndRestart) {
    const int total = 20000;
    const Signal in = RandomChannels(8, total, 12);
    tWAVEFORMATEX f = Format(44100);
    const auto make = [&] {
        auto node = std::make_unique<CSurrEffectIIRHighPassFilter>();
        node->Initialize(&f);
        return node;
    };
    const Signal reference = SameInEveryBlockSplit(make, in, {5});
    // The same frequency again still rebuilds every state: the filters start from silence.
    CSurrEffectIIRHighPassFilter node;
    node.Initialize(&f);
    RunBlocks(node, in, {999});
    node.SetFrequency(100);
    EXPECT_EQ(RunBlocks(node, in, {total}), reference);
}

// Smooth mode: a new cut-off keeps the filter memory (no restart from silence), the taps reach the
// new design exactly when the glide ends, and from there on the node filters as a node holding that
// memory and those taps would.
TEST(SurrEffectIIRHighPassFilter, GlidingCutoffKeepsTheMemory) {
    tWAVEFORMATEX f = Format(48000);
    CSurrEffectIIRHighPassFilter smooth, designed;
    smooth.Initialize(&f);
    smooth.SetGlide(960);
    designed.SetFrequency(160);
    designed.Initialize(&f);
    const Signal tone = [] {
        Signal s(1, std::vector<float>(6000));
        for (size_t i = 0; i < s[0].size(); ++i)
            s[0][i] = static_cast<float>(0.5 * std::sin(2 * 3.141592653589793 * 40.0 * i / 48000.0));
        return s;
    }();
    Signal out = RunBlocks(smooth, tone, BlockSizes({1000}, 3000));
    smooth.SetFrequency(160);
    const NspIirFilterState& state = smooth.m_IirState[0];
    EXPECT_NE(state.dlySt.dlyl[0], 0.0f) << "the memory is kept";
    Signal rest(1, std::vector<float>(tone[0].begin() + 3000, tone[0].end()));
    const Signal after = RunBlocks(smooth, rest, BlockSizes({1, 7, 300, 4096}, 3000));
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(state.tapSt.taps[k], designed.m_IirState[0].tapSt.taps[k]) << k;
    // Largest step of the 40 Hz tone: 0.5 * 2 pi 40 / 48000 = 0.00262; the glide's transient adds a
    // few percent, a restart from silence would jump by about 0.5.
    double step = std::fabs(static_cast<double>(after[0][0]) - out[0].back());
    for (size_t i = 1; i < after[0].size(); ++i)
        step = std::max(step, std::fabs(static_cast<double>(after[0][i]) - after[0][i - 1]));
    EXPECT_LT(step, 0.003);
}
