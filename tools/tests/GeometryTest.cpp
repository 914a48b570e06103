#include "Geometry.h"
#include "Layouts.h"

#include <Halvane.h>
#include <gtest/gtest.h>

#include <vector>

using namespace halvane_cli;

TEST(Geometry, DelayLimit) {
    // At 44100 Hz the library's delays hold 55904 samples, 420 m of travel.
    EXPECT_LE(LongestDelaySamples(63, 3, 3, {{1.5f, 1.5f}}, 0, 44100), 600);
    EXPECT_GT(LongestDelaySamples(63, 400, 400, {{200, 200}}, 0, 44100), kMaxDelaySamples);
    EXPECT_LE(LongestDelaySamples(63, 100, 100, {{50, 50}}, 0, 44100), kMaxDelaySamples);
    // A source far outside the room, or moving far, is caught too.
    EXPECT_GT(LongestDelaySamples(63, 3, 3, {{1.5f, 1000}}, 0, 44100), kMaxDelaySamples);
    EXPECT_GT(LongestDelaySamples(63, 3, 3, {{1.5f, 1.5f}}, 1000, 44100), kMaxDelaySamples);
}

// What the plot and the delay checks show is what the library plays: for every layout of the
// command line, the gain and delay of each speaker equal the sample and the position of an impulse
// rendered by the library with the reverb off.
TEST(Geometry, CliGainsAndDelaysEqualTheLibrarysImpulse) {
    const Point sources[] = {{0.4f, 0.5f}, {2.5f, 1.1f}, {3.9f, 2.9f}};
    for (const LayoutInfo& layout : AllLayouts()) {
        for (const Point& source : sources) {
            SCOPED_TRACE(testing::Message() << layout.name << ", source " << source.x << ", " << source.y);
            const int rate = 48000;
            const auto view = ViewRoom(layout.code, 4, 3, source, rate, true);
            CSurroundEffect fx;
            fx.SetSpeakersConfig(layout.code, true);
            fx.SetRoomSize(4, 3, true);
            fx.SetSoundPos(source.x, source.y, true);
            fx.SetReverb(false);
            tWAVEFORMATEX format{};
            format.nChannels = 1;
            format.nSamplesPerSec = rate;
            fx.Initialize(&format);
            std::vector<float> in(2048, 0.0f);
            in[0] = 1.0f;
            std::vector<std::vector<float>> out(layout.channels, std::vector<float>(in.size()));
            std::vector<float*> outPtr;
            for (auto& channel : out)
                outPtr.push_back(channel.data());
            const float* inPtr = in.data();
            ASSERT_EQ(
                fx.ProcessPlanar(&inPtr, 1, outPtr.data(), layout.channels, static_cast<int>(in.size())), 1);
            ASSERT_EQ(view.size(), out.size());
            for (size_t c = 0; c < view.size(); ++c) {
                if (view[c].isLfe)
                    continue;
                ASSERT_LT(view[c].delaySamples, static_cast<int>(in.size()));
                EXPECT_EQ(out[c][view[c].delaySamples], view[c].gain) << SpeakerOfBit(view[c].bit)->name;
            }
        }
    }
}
