// Positioning node: gains from the room geometry (values from a float-by-float model of the gain
// formula, worked out independently), speaker classes by layout, and the per-block scaling.
#include <gtest/gtest.h>

#include "nodes/NodeTestSupport.h"
#include "nodes/SurrEffectPos.h"

TEST(SurrEffectPos, GainsByLayoutRoomAndSource) {
    struct Case {
        int code;
        float w, d, x, y;
        std::vector<float> gains;
    };
    // clang-format off
    const Case cases[] = {
        // Centre of the default room: corners 0.2, FC 1 - sqrt(0.3^2 + 1.2^2) / 1.5.
        {63, 3, 3, 1.5f, 1.5f, {0.199999958f, 0.199999958f, 0.175378874f, 0.199999958f, 0.199999958f, 0.199999958f}},
        {63, 3, 3, 0.3f, 0.3f, {1.0f, 0.0f, 0.399999976f, 1.0f, 0.0f, 0.0f}},
        {63, 3, 3, 1.5f, 0.3f, {0.434314519f, 0.434314519f, 0.800000012f, 0.434314519f, 0.0f, 0.0f}},
        {63, 3, 3, 0.0f, 0.0f, {0.800000012f, 0.0f, 0.175378874f, 0.800000012f, 0.0f, 0.0f}}, // on a corner
        // 1595 has no centre bits: FC and BC reach half the diagonal (0.8 with a centre reach).
        {1595, 3, 3, 1.5f, 0.3f, {0.434314519f, 0.434314519f, 0.858578622f, 0.434314519f, 0.0f, 0.0f, 0.0f}},
        {1595, 3, 3, 1.5f, 2.7f, {0.0f, 0.0f, 0.0f, 0.0f, 0.434314519f, 0.434314519f, 0.858578622f}},
        // 4 x 3 room: sides reach 2.0 (0.3 / 2), FC 1.5 (0.4 / 1.5), corners 2.5 (1.6 / 2.5).
        {1599, 4, 3, 0.4f, 1.5f, {0.519999981f, 0.0f, 0.0f, 0.519999981f, 0.519999981f, 0.0f, 0.850000024f, 0.0f}},
        {1599, 4, 3, 2.0f, 0.3f,
         {0.359999985f, 0.359999985f, 0.733333349f, 0.359999985f, 0.0f, 0.0f, 0.0821219683f, 0.0821219683f}},
    };
    // clang-format on
    for (const Case& tc : cases) {
        CSurrEffectPos node;
        node.SetSpeakersConfig(tc.code);
        node.SetRoomSize(tc.w, tc.d);
        node.SetSoundPos(tc.x, tc.y);
        for (size_t i = 0; i < tc.gains.size(); ++i)
            EXPECT_EQ(node.m_fGain[i], tc.gains[i])
                << tc.code << " (" << tc.x << ", " << tc.y << ") ch " << i;
    }
}

TEST(SurrEffectPos, ScalesEveryChannelButTheLfeUntilTheSourceMoves) {
    CSurrEffectPos node;
    tWAVEFORMATEX f = Format(48000);
    node.Initialize(&f);
    const Signal in = RandomChannels(6, 33, 4);
    Block block(in);
    node.GetBuffer(&block);
    for (int c = 0; c < 6; ++c)
        for (int i = 0; i < 33; ++i)
            ASSERT_EQ(block.Channels[c][i], c == 3 ? in[c][i] : in[c][i] * node.m_fGain[c]) << c;
    node.SetSoundPos(0.3f, 0.3f); // the next block takes the new gains: FL 1, FR 0
    Block next(in);
    node.Process(&next);
    EXPECT_EQ(next.Channel(0), in[0]);
    EXPECT_EQ(next.Channel(1), std::vector<float>(33, 0.0f));
    EXPECT_EQ(next.Channel(3), in[3]);
}
