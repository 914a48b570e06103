#include "Values.h"

#include <Halvane.h>
#include <gtest/gtest.h>

using namespace halvane_cli;

TEST(Values, RoomSizes) {
    struct Case {
        const char* text;
        bool ok;
        float w, d;
    };
    const Case cases[] = {
        {"3x3", true, 3.0f, 3.0f}, {"4.5X6", true, 4.5f, 6.0f}, {"2,7.25", true, 2.0f, 7.25f},
        {"0x3", false, 0, 0},      {"3x0", false, 0, 0},        {"-1x3", false, 0, 0},
        {"3x-0.5", false, 0, 0},   {"nanx3", false, 0, 0},      {"3xnan", false, 0, 0},
        {"infx3", false, 0, 0},    {"1e400x3", false, 0, 0},    {"3", false, 0, 0},
        {"3x", false, 0, 0},       {"x3", false, 0, 0},         {"3x3x3", false, 0, 0},
        {"3 x 3", false, 0, 0},    {"", false, 0, 0},           {"threexthree", false, 0, 0},
    };
    for (const Case& c : cases) {
        float w = -1, d = -1;
        std::string error;
        EXPECT_EQ(ParseRoom(c.text, w, d, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(w, c.w) << c.text;
            EXPECT_EQ(d, c.d) << c.text;
        } else {
            EXPECT_NE(error.find("--room"), std::string::npos) << c.text;
        }
    }
}

TEST(Values, PositionsSpeakerValuesAndOrbits) {
    float x = 0, y = 0;
    std::string error;
    EXPECT_TRUE(ParsePosition("1.5,-0.25", x, y, error));
    EXPECT_EQ(x, 1.5f);
    EXPECT_EQ(y, -0.25f);
    for (const char* bad : {"1.5x2", "nan,1"})
        EXPECT_FALSE(ParsePosition(bad, x, y, error)) << bad;

    int bit = 0;
    double v = 0;
    EXPECT_TRUE(ParseSpeakerValue("bl=0.5", bit, v, error));
    EXPECT_EQ(bit, HALVANE_BL);
    EXPECT_EQ(v, 0.5);
    EXPECT_TRUE(ParseSpeakerValue("SR=3", bit, v, error));
    EXPECT_EQ(bit, HALVANE_SR);
    for (const char* bad : {"XX=1", "FL", "FL=", "FL=inf"})
        EXPECT_FALSE(ParseSpeakerValue(bad, bit, v, error)) << bad;

    float r = 0;
    double s = 0;
    EXPECT_TRUE(ParseOrbit("1.2,8", r, s, error));
    EXPECT_EQ(r, 1.2f);
    EXPECT_EQ(s, 8.0);
    EXPECT_TRUE(ParseOrbit("0,1", r, s, error));
    for (const char* bad : {"1,0", "-1,4", "1"})
        EXPECT_FALSE(ParseOrbit(bad, r, s, error)) << bad;
}
