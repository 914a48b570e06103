// Mono decomposition: one identical channel per speaker, allocating or into caller buffers.
#include <gtest/gtest.h>

#include "nodes/NodeTestSupport.h"
#include "nodes/SurrEffectDecompMono.h"

TEST(SurrEffectDecompMono, CopiesTheInputToEverySpeaker) {
    const Signal in = RandomChannels(1, 101, 2);
    for (int code : {3, 63, 1599}) {
        CSurrEffectDecompMono node;
        node.SetSpeakersConfig(code);
        Block block(in);
        const float* original = block.Channels[0];
        node.GetBuffer(&block);
        ASSERT_EQ(block.Channels.size(), static_cast<size_t>(node.m_nSpeakers));
        EXPECT_EQ(block.Channels[0], original); // the input buffer stays channel 0
        for (int c = 0; c < node.m_nSpeakers; ++c)
            EXPECT_EQ(block.Channel(c), in[0]) << code << " ch " << c;

        const Signal outputs = RunIntoCallerBuffers(node, in, node.m_nSpeakers);
        for (int c = 0; c < node.m_nSpeakers; ++c)
            EXPECT_EQ(outputs[c], in[0]);
        EXPECT_EQ(outputs[node.m_nSpeakers][0], -9.0f); // nothing past the layout
    }
}
