// The realtime entry on host-owned buffers gives the samples of Process.
#include <gtest/gtest.h>

#include "E2eSupport.h"
#include "Halvane.h"

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
