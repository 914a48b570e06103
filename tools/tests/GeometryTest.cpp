#include "Geometry.h"

#include <Halvane.h>
#include <gtest/gtest.h>

using namespace halvane_cli;

namespace {

const SpeakerView& Of(const std::vector<SpeakerView>& v, int bit) {
    for (const SpeakerView& s : v)
        if (s.bit == bit)
            return s;
    throw std::runtime_error("speaker missing");
}

} // namespace

// Gains and delays worked out by hand from the room geometry: gain 1 - r/R with r measured from a
// point a tenth of the room away from the speaker, delay = distance / 331.46 m/s in whole samples.
TEST(Geometry, GainsAndDelaysOfKnownPlacements) {
    const auto centre = ViewRoom(63, 3, 3, {1.5f, 1.5f}, 44100, true);
    ASSERT_EQ(centre.size(), 6u);
    for (int bit : {HALVANE_FL, HALVANE_FR, HALVANE_BL, HALVANE_BR}) {
        EXPECT_NEAR(Of(centre, bit).gain, 0.2f, 1e-6);
        EXPECT_NEAR(Of(centre, bit).distance, 2.1213203f, 1e-6);
        EXPECT_EQ(Of(centre, bit).delaySamples, 282); // 6.4000 ms
    }
    EXPECT_NEAR(Of(centre, HALVANE_FC).gain, 0.17537886f, 1e-6); // 1 - sqrt(0.09 + 1.44) / 1.5
    EXPECT_NEAR(Of(centre, HALVANE_FC).delayMs, 4.5254328f, 1e-5);
    EXPECT_EQ(Of(centre, HALVANE_FC).delaySamples, 199);
    EXPECT_TRUE(Of(centre, HALVANE_LFE).isLfe);
    EXPECT_EQ(Of(centre, HALVANE_LFE).delaySamples, 0);

    const auto nearFl = ViewRoom(63, 3, 3, {0.3f, 0.3f}, 48000, true);
    EXPECT_NEAR(Of(nearFl, HALVANE_FL).gain, 1.0f, 1e-6);
    EXPECT_NEAR(Of(nearFl, HALVANE_FC).gain, 0.4f, 1e-6);
    EXPECT_EQ(Of(nearFl, HALVANE_FR).gain, 0.0f);
    EXPECT_EQ(Of(nearFl, HALVANE_BR).gain, 0.0f);

    const auto front = ViewRoom(63, 3, 3, {1.5f, 0.3f}, 48000, false);
    EXPECT_NEAR(Of(front, HALVANE_FC).gain, 0.8f, 1e-6);
    EXPECT_NEAR(Of(front, HALVANE_FL).gain, 0.43431458f, 1e-6); // 1 - 1.2 / (1.5 sqrt 2)
    EXPECT_EQ(Of(front, HALVANE_FL).delaySamples, 0);           // propagation delay off

    // 7.1 in a 4 x 3 room: side speakers reach half the width (2 m), the centre half the depth.
    const auto wide = ViewRoom(1599, 4, 3, {0.4f, 1.5f}, 48000, true);
    EXPECT_NEAR(Of(wide, HALVANE_SL).x, 0.0f, 0);
    EXPECT_NEAR(Of(wide, HALVANE_SL).y, 1.5f, 0);
    EXPECT_NEAR(Of(wide, HALVANE_SL).gain, 0.85f, 1e-6); // r = 0.3 (depth offset only): 1 - 0.3 / 2
    EXPECT_NEAR(Of(wide, HALVANE_SR).gain, 0.0f, 0);     // 3.2 m past its 2 m reach
    // 6.1: the back centre stands at (W/2, D) and, by the code's bits, counts as a corner speaker
    // reaching half the diagonal (a centre speaker would reach 1.5 m and give 0.8).
    const auto back = ViewRoom(1595, 3, 3, {1.5f, 2.7f}, 48000, true);
    EXPECT_NEAR(Of(back, HALVANE_BC).y, 3.0f, 0);
    EXPECT_NEAR(Of(back, HALVANE_BC).gain, 0.85857864f, 1e-6); // 1 - 0.3 / (1.5 sqrt 2)
}

TEST(Geometry, DelayLimit) {
    // At 44100 Hz the library's delays hold 55904 samples, 420 m of travel.
    EXPECT_LE(LongestDelaySamples(63, 3, 3, {{1.5f, 1.5f}}, 0, 44100), 600);
    EXPECT_GT(LongestDelaySamples(63, 400, 400, {{200, 200}}, 0, 44100), kMaxDelaySamples);
    EXPECT_LE(LongestDelaySamples(63, 100, 100, {{50, 50}}, 0, 44100), kMaxDelaySamples);
    // A source far outside the room, or moving far, is caught too.
    EXPECT_GT(LongestDelaySamples(63, 3, 3, {{1.5f, 1000}}, 0, 44100), kMaxDelaySamples);
    EXPECT_GT(LongestDelaySamples(63, 3, 3, {{1.5f, 1.5f}}, 1000, 44100), kMaxDelaySamples);
}
