#include "Presets.h"
#include "Values.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace halvane_cli;

namespace {

const HalvanePreset kRoom = {"test-room", "Test room", "",   6.0f, 4.0f, 1.5f, 1.0f,
                             2.0f,        0.9f,        0.1f, 0.3f, 0.6f, true};

} // namespace

TEST(Presets, GivenOptionsKeepTheirValuesAndTheSourceFollowsAGivenRoom) {
    EffectSettings s;
    ApplyPreset(kRoom, PresetOverrides{}, s);
    EXPECT_EQ(s.roomWidth, 6.0f);
    EXPECT_EQ(s.roomDepth, 4.0f);
    EXPECT_TRUE(s.sourceGiven);
    EXPECT_EQ(s.source.x, 1.5f);
    EXPECT_EQ(s.source.y, 1.0f);
    EXPECT_EQ(s.volume, 2.0f);
    EXPECT_EQ(s.reverbWet, 0.9f);
    EXPECT_EQ(s.reverbDry, 0.1f);
    EXPECT_EQ(s.absorb, 0.3f);
    EXPECT_EQ(s.hfDecay, 0.6f);
    EXPECT_TRUE(s.cornerCrossfeed);
    EXPECT_TRUE(s.reverb);

    // A quarter of the width and of the depth in from the front-left corner, in a 12 x 2 m room.
    EffectSettings given;
    given.roomWidth = 12.0f;
    given.roomDepth = 2.0f;
    given.volume = 0.5f;
    given.cornerCrossfeed = false;
    PresetOverrides overrides;
    overrides.room = overrides.volume = overrides.cornerCrossfeed = true;
    ApplyPreset(kRoom, overrides, given);
    EXPECT_EQ(given.roomWidth, 12.0f);
    EXPECT_EQ(given.roomDepth, 2.0f);
    EXPECT_FLOAT_EQ(given.source.x, 3.0f);
    EXPECT_FLOAT_EQ(given.source.y, 0.5f);
    EXPECT_EQ(given.volume, 0.5f);
    EXPECT_FALSE(given.cornerCrossfeed);
    EXPECT_EQ(given.reverbWet, 0.9f);

    overrides = PresetOverrides{};
    overrides.source = true;
    EffectSettings placed;
    placed.source = {0.25f, 3.5f};
    ApplyPreset(kRoom, overrides, placed);
    EXPECT_EQ(placed.source.x, 0.25f);
    EXPECT_EQ(placed.source.y, 3.5f);
}

// The printed options read back, through the renderer's own parsers, as exactly the table's values.
TEST(Presets, PrintedOptionsReadBackAsTheTablesValues) {
    for (const HalvanePreset& p : HALVANE_PRESETS) {
        std::istringstream words(PresetOptions(p));
        std::string option, value, error;
        while (words >> option) {
            if (option == "--corner-crossfeed" || option == "--no-corner-crossfeed") {
                EXPECT_EQ(option == "--corner-crossfeed", p.cornerCrossfeed) << p.name;
                continue;
            }
            ASSERT_TRUE(words >> value) << p.name << " " << option;
            float x = 0, y = 0;
            if (option == "--room") {
                ASSERT_TRUE(ParseRoom(value, x, y, error)) << error;
                EXPECT_EQ(x, p.roomWidth) << p.name;
                EXPECT_EQ(y, p.roomDepth) << p.name;
            } else if (option == "--source") {
                ASSERT_TRUE(ParsePosition(value, x, y, error)) << error;
                EXPECT_EQ(x, p.sourceX) << p.name;
                EXPECT_EQ(y, p.sourceY) << p.name;
            } else {
                const float v = std::stof(value);
                const float want = option == "--volume"       ? p.volume
                                   : option == "--reverb-wet" ? p.reverbWet
                                   : option == "--reverb-dry" ? p.reverbDry
                                   : option == "--absorb"     ? p.absorb
                                   : option == "--hf-decay"   ? p.hfDecay
                                                              : -1.0f;
                EXPECT_EQ(v, want) << p.name << " " << option;
            }
        }
    }
}
