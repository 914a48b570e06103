// Master and per-channel volume nodes: skips at exactly 1.0, the LFE untouched, the factor rounded
// once from a double product.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "nodes/NodeTestSupport.h"
#include "nodes/SurrVolumeEffect.h"

TEST(SurrVolumeEffect, MasterVolume) {
    Signal in = RandomChannels(6, 16, 3);
    in[0][0] = std::numeric_limits<float>::quiet_NaN(); // a skipped multiplication keeps even this
    CSurrVolumeEffect node;
    node.m_dVolume = 1.0;
    Block same(in);
    node.GetBuffer(&same);
    for (int c = 0; c < 6; ++c)
        EXPECT_EQ(std::memcmp(same.Channels[c], in[c].data(), 16 * sizeof(float)), 0);

    node.m_dVolume = 0.5;
    Block half(in);
    node.Process(&half);
    for (int c = 1; c < 6; ++c)
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(half.Channels[c][i], c == 3 ? in[c][i] : in[c][i] / 2);

    node.m_dVolume = std::nan("");
    Block nan(in);
    node.Process(&nan);
    EXPECT_TRUE(std::isnan(nan.Channels[1][5]));
    EXPECT_EQ(nan.Channels[3][5], in[3][5]);
}

TEST(SurrVolumeEffectEx, ChannelTimesMasterVolume) {
    const Signal ones(6, std::vector<float>(8, 1.0f));
    struct Case {
        double master;
        float channel2;
        float expect[6]; // per channel, for input 1.0
    };
    const Case cases[] = {
        {1.0, 0.0f, {1, 1, 0, 1, 1, 1}},
        {2.0, 1.0f, {2, 2, 2, 1, 2, 2}},
        // 0.7f * 0.3 in double rounds to 0.209999993f; the float product would give 0.210000008f.
        {0.3, 0.7f, {0.300000012f, 0.300000012f, 0.209999993f, 1, 0.300000012f, 0.300000012f}},
    };
    for (const Case& tc : cases) {
        CSurrVolumeEffectEx node;
        node.m_dVolume = tc.master;
        node.SetVolumeChannel(2, tc.channel2);
        Block block(ones);
        node.GetBuffer(&block);
        for (int c = 0; c < 6; ++c)
            EXPECT_EQ(block.Channels[c][7], tc.expect[c]) << tc.master << " ch " << c;
    }
    CSurrVolumeEffectEx node;
    node.SetSpeakersConfig(51); // no LFE: channel 3 is scaled too
    node.m_dVolume = 2.0;
    node.SetVolumeChannel(9, 0.0f); // the last slot exists
    Block block(Signal(4, std::vector<float>(8, 1.0f)));
    node.Process(&block);
    EXPECT_EQ(block.Channels[3][0], 2.0f);
}
