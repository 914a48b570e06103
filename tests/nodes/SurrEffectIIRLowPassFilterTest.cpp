// Non-LFE filter node (high-pass design): taps and response against an independent design.
#include <gtest/gtest.h>

#include "nodes/NodeTestSupport.h"
#include "nodes/SurrEffectIIRLowPassFilter.h"

TEST(SurrEffectIIRLowPassFilter, TapsAndResponse) {
    struct Case {
        uint32_t rate;
        int hz;
        float taps[6];   // each rounded once from the double design
        double probe[5]; // frequencies
        double mag[5];   // |H| of scipy.signal.butter(2, hz, 'high', fs=rate) there
    };
    const Case cases[] = {
        {48000,
         8000,
         {0.465153068f, -0.930306137f, 0.465153068f, 1.0f, -0.620204091f, 0.240408212f},
         {0, 4000, 8000, 12000, 16000},
         {0.0, 0.2105614, 0.7071068, 0.9486833, 0.9938837}},
        {44100,
         80,
         {0.991972744f, -1.98394549f, 0.991972744f, 1.0f, -1.983881f, 0.984009922f},
         {0, 40, 80, 160, 320},
         {0.0, 0.2425319, 0.7071068, 0.9701462, 0.9980538}},
    };
    for (const Case& tc : cases) {
        CSurrEffectIIRLowPassFilter node;
        EXPECT_EQ(node.m_nFrequency, 8000);
        node.SetFrequency(tc.hz);
        tWAVEFORMATEX f = Format(tc.rate);
        node.Initialize(&f);
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(node.m_fTaps[i], tc.taps[i]) << tc.hz << " tap " << i;
        EXPECT_EQ(node.m_fTaps[1], -2.0f * node.m_fTaps[0]); // exactly zero gain at 0 Hz

        Signal impulse(1, std::vector<float>(16384, 0.0f));
        impulse[0][0] = 1.0f;
        const std::vector<float> h = RunBlocks(node, impulse, {4096, 4096, 4096, 4096})[0];
        for (int i = 0; i < 5; ++i)
            EXPECT_NEAR(Magnitude(h, tc.probe[i], tc.rate), tc.mag[i], 5e-4)
                << tc.hz << " at " << tc.probe[i];
    }
}
