// Moving-off node: travel-time delays per speaker, the LFE left undelayed, retiming in place on a
// source move, rebuilding on a layout change, and block-split invariance.
#include <gtest/gtest.h>

#include "nodes/NodeTestSupport.h"
#include "nodes/SurrEffectDelay.h"
#include "nodes/SurrMovingOffEffect.h"

namespace {

constexpr int NONE = -1; // no delay node

void ExpectDelays(const CSurrMovingOffEffect& node, const std::vector<int>& expected) {
    for (int c = 0; c < 10; ++c) {
        const int want = c < static_cast<int>(expected.size()) ? expected[c] : NONE;
        if (want == NONE) {
            EXPECT_EQ(node.m_pDelays[c], nullptr) << c;
        } else {
            ASSERT_NE(node.m_pDelays[c], nullptr) << c;
            EXPECT_EQ(node.m_pDelays[c]->m_nDelaySamples, want) << c;
        }
    }
}

} // namespace

// Distances and delays worked out with float rounding at each step: 2.1213202 m -> 6.3999286 ms
// -> 282 samples, 1.5 m -> 4.5254331 ms -> 199 samples at 44100 Hz.
TEST(SurrMovingOffEffect, DefaultRoomDelays) {
    CSurrMovingOffEffect node;
    EXPECT_FLOAT_EQ(node.m_fDistance[0], 2.12132025f);
    EXPECT_EQ(node.m_fDistance[2], 1.5f);
    EXPECT_EQ(node.m_fDistance[3], 0.0f); // LFE: never computed
    tWAVEFORMATEX f = Format(44100);
    node.Initialize(&f);
    ExpectDelays(node, {282, 282, 199, NONE, 282, 282});
}

TEST(SurrMovingOffEffect, SourceMoveRetimesLayoutChangeRebuilds) {
    CSurrMovingOffEffect node;
    tWAVEFORMATEX f = Format(44100);
    node.Initialize(&f);
    CSurrEffectDelayEx* before[10];
    std::copy(node.m_pDelays, node.m_pDelays + 10, before);

    // (0.5, 2.5): FL 2.5495 m, FR 3.5355 m, FC 2.6926 m, BL 0.7071 m, BR 2.5495 m.
    node.SetSoundPos(0.5f, 2.5f);
    ExpectDelays(node, {339, 470, 358, NONE, 94, 339});
    for (int c = 0; c < 10; ++c)
        EXPECT_EQ(node.m_pDelays[c], before[c]) << c; // the same nodes, retimed

    // Quad: channel 3 is now BR and gets a delay node; 4 and 5 are gone.
    node.SetSpeakersConfig(51);
    ExpectDelays(node, {339, 470, 94, 339});
    node.SetSpeakersConfig(3); // both speakers at half depth
    node.SetSoundPos(1.5f, 1.5f);
    ExpectDelays(node, {199, 199});
    node.SetSoundPos(0.0f, 1.5f); // on the left speaker; 3 m from the right one
    ExpectDelays(node, {0, 399});
    node.Free();
    ExpectDelays(node, {});
}

TEST(SurrMovingOffEffect, BlockSplitsGiveTheSameStream) {
    const int total = 30000;
    const Signal in = RandomChannels(6, total, 3);
    tWAVEFORMATEX f = Format(44100);
    const Signal out = SameInEveryBlockSplit(
        [&] {
            auto node = std::make_unique<CSurrMovingOffEffect>();
            node->SetSoundPos(0.5f, 2.5f);
            node->Initialize(&f);
            return node;
        },
        in, {9, 10});
    // Each channel is its input shifted by its delay, the LFE not at all.
    const int d[6] = {339, 470, 358, 0, 94, 339};
    for (int c = 0; c < 6; ++c)
        for (int i = 0; i < total; ++i)
            ASSERT_EQ(out[c][i], i < d[c] ? 0.0f : in[c][i - d[c]]) << c << " " << i;
}
