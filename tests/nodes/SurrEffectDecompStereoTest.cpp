// Stereo decomposition: the weights of every layout, the LFE in the middle, bit-exact wall
// speakers, and the realtime path giving the samples of the allocating one.
#include <gtest/gtest.h>

#include "nodes/NodeTestSupport.h"
#include "nodes/SurrEffectDecompStereo.h"

namespace {

struct WeightCase {
    int code;
    std::vector<CSurrEffectDecompStereo::Weights> weights;
};
const WeightCase WEIGHTS[] = {
    {3, {{1, 0}, {0, 1}}},
    {51, {{1, 0}, {0, 1}, {1, 0}, {0, 1}}},
    {63, {{1, 0}, {0, 1}, {.5f, .5f}, {.5f, .5f}, {1, 0}, {0, 1}}},
    {255, {{1, 0}, {0, 1}, {.5f, .5f}, {.5f, .5f}, {1, 0}, {0, 1}, {.75f, .25f}, {.25f, .75f}}},
    {271, {{1, 0}, {0, 1}, {.5f, .5f}, {.5f, .5f}, {.5f, .5f}}},
    {1595, {{1, 0}, {0, 1}, {.5f, .5f}, {.5f, .5f}, {1, 0}, {0, 1}, {.5f, .5f}}},
    {1599, {{1, 0}, {0, 1}, {.5f, .5f}, {.5f, .5f}, {1, 0}, {0, 1}, {1, 0}, {0, 1}}},
};

} // namespace

TEST(SurrEffectDecompStereo, WeightsOfEveryLayout) {
    CSurrEffectDecompStereo fresh; // layout 63 with the LFE still on the left wall
    EXPECT_EQ(fresh.m_Weights[3].fLeft, 1.0f);
    EXPECT_EQ(fresh.m_Weights[3].fRight, 0.0f);
    for (const WeightCase& tc : WEIGHTS) {
        CSurrEffectDecompStereo node;
        node.SetRoomSize(7.0f, 2.0f); // positions scale with the width: same weights
        node.SetSpeakersConfig(tc.code);
        node.SetRoomSize(3.3f, 5.0f);
        for (size_t i = 0; i < tc.weights.size(); ++i) {
            EXPECT_EQ(node.m_Weights[i].fLeft, tc.weights[i].fLeft) << tc.code << " ch " << i;
            EXPECT_EQ(node.m_Weights[i].fRight, tc.weights[i].fRight) << tc.code << " ch " << i;
        }
    }
}

TEST(SurrEffectDecompStereo, BlendsAndRealtimePathAgree) {
    const int n = 4100; // longer than the scratch buffer
    const Signal in = RandomChannels(2, n, 8);
    for (const WeightCase& tc : WEIGHTS) {
        CSurrEffectDecompStereo node;
        node.SetSpeakersConfig(tc.code);
        Block block(in);
        node.GetBuffer(&block);
        ASSERT_EQ(block.Channels.size(), tc.weights.size());
        EXPECT_EQ(block.nSamples, n);
        for (size_t c = 0; c < tc.weights.size(); ++c) {
            const float l = tc.weights[c].fLeft, r = tc.weights[c].fRight;
            for (int i = 0; i < n; ++i) {
                // Wall speakers take their input unscaled; others the left product plus the right.
                const float want = r == 0 ? in[0][i] : l == 0 ? in[1][i] : l * in[0][i] + r * in[1][i];
                ASSERT_EQ(block.Channels[c][i], want) << tc.code << " ch " << c << " i " << i;
            }
        }

        // Caller-owned buffers: the same samples, the input buffers untouched and still the caller's.
        const Signal outputs = RunIntoCallerBuffers(node, in, tc.weights.size());
        for (size_t c = 0; c < tc.weights.size(); ++c)
            EXPECT_EQ(block.Channel(c), outputs[c]) << tc.code << " ch " << c;
    }
}
