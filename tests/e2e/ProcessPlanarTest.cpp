// The realtime entry on host-owned buffers gives the samples of Process.
#include <gtest/gtest.h>

#include "E2eSupport.h"
#include "Halvane.h"
#include "HalvaneLayouts.h"

#include <algorithm>

using namespace e2e;

TEST(ProcessPlanar, GivesTheSamplesOfProcessForEveryLayout) {
    for (int code : {3, 51, 63, 255, 271, 1595, 1599}) {
        for (int inputs : {1, 2}) {
            SCOPED_TRACE(testing::Message() << code << "/" << inputs);
            CSurroundEffect a, b;
            for (CSurroundEffect* effect : {&a, &b}) {
                effect->SetSpeakersConfig(code, false);
                effect->SetProcessAdvance(true);
                effect->SetLowPass(true);
                tWAVEFORMATEX format = Format(inputs, 48000);
                effect->Initialize(&format);
                effect->SetLowPass(true);
            }
            const Channels input = Noise(inputs, 9000, static_cast<unsigned>(code));
            const Channels expected = ProcessInBlocks(a, input, 700);
            EXPECT_EQ(b.GetOutputChannels(), static_cast<int>(expected.size()));
            int result = 0;
            EXPECT_EQ(RenderPlanar(b, input, 700, b.GetOutputChannels(), &result), expected);
            EXPECT_EQ(result, 1);
        }
    }
}

TEST(ProcessPlanar, AliasedBuffersExtraOutputsAndRefusals) {
    CSurroundEffect a, b;
    tWAVEFORMATEX format = Format(2, 48000);
    a.Initialize(&format);
    b.Initialize(&format);
    const Channels input = Noise(2, 5000, 4);
    const Channels expected = ProcessOnce(a, input);

    // In place: the host's input buffers are its first two output buffers.
    Channels buffers(8, std::vector<float>(5000, 3.0f));
    buffers[0] = input[0];
    buffers[1] = input[1];
    std::vector<float*> out;
    for (auto& channel : buffers)
        out.push_back(channel.data());
    const float* in[] = {out[0], out[1]};
    ASSERT_EQ(b.ProcessPlanar(in, 2, out.data(), 8, 5000), 1);
    for (int c = 0; c < 6; ++c)
        EXPECT_EQ(buffers[c], expected[c]) << c;
    EXPECT_EQ(buffers[6], std::vector<float>(5000, 0.0f));
    EXPECT_EQ(buffers[7], std::vector<float>(5000, 0.0f));

    EXPECT_EQ(b.ProcessPlanar(in, 2, out.data(), 8, 0), 1);
    EXPECT_EQ(b.ProcessPlanar(in, 1, out.data(), 8, 16), 0) << "initialised for stereo";
    EXPECT_EQ(b.ProcessPlanar(in, 2, out.data(), 8, -1), 0);
    CSurroundEffect fresh;
    EXPECT_EQ(fresh.ProcessPlanar(in, 2, out.data(), 8, 16), 0);
    EXPECT_EQ(fresh.GetOutputChannels(), 0);
}

// Output channels that share samples get what copying each channel's result into place, channel
// after channel and block after block, would leave: the block cannot go through the graph in them.
// With fewer outputs than speakers the rest of the speakers are dropped.
TEST(ProcessPlanar, OutputsThatShareSamplesOrAreTooFew) {
    CSurroundEffect a, b;
    tWAVEFORMATEX format = Format(2, 48000);
    a.Initialize(&format);
    b.Initialize(&format);
    const int n = 9000; // three blocks of the graph
    const Channels input = Noise(2, n, 6);
    const Channels expected = ProcessOnce(a, input);
    ASSERT_EQ(expected.size(), 6u);

    // Channels 1 and 2 are one buffer; channel 4 starts 1000 samples into channel 3's.
    std::vector<float> shared(n, 5.0f), pair(n + 1000, 5.0f);
    Channels own(3, std::vector<float>(n, 5.0f));
    float* out[] = {own[0].data(), shared.data(),      shared.data(),
                    pair.data(),   pair.data() + 1000, own[1].data()};
    const float* in[] = {input[0].data(), input[1].data()};
    ASSERT_EQ(b.ProcessPlanar(in, 2, out, 6, n), 1);
    std::vector<float> sharedExpected(n), pairExpected(n + 1000, 5.0f);
    for (int start = 0; start < n; start += HALVANE_MAX_BLOCK) {
        const int len = std::min(HALVANE_MAX_BLOCK, n - start);
        for (int c : {1, 2})
            std::copy_n(expected[c].begin() + start, len, sharedExpected.begin() + start);
        std::copy_n(expected[3].begin() + start, len, pairExpected.begin() + start);
        std::copy_n(expected[4].begin() + start, len, pairExpected.begin() + 1000 + start);
    }
    EXPECT_EQ(own[0], expected[0]);
    EXPECT_EQ(shared, sharedExpected);
    EXPECT_EQ(pair, pairExpected);
    EXPECT_EQ(own[1], expected[5]);

    CSurroundEffect c;
    c.Initialize(&format);
    Channels three(3, std::vector<float>(n, 5.0f));
    float* few[] = {three[0].data(), three[1].data(), three[2].data()};
    ASSERT_EQ(c.ProcessPlanar(in, 2, few, 3, n), 1);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(three[k], expected[k]) << k;
}
