#include "Layouts.h"

#include <gtest/gtest.h>

using namespace halvane_cli;

TEST(Layouts, MasksNamesAndLookups) {
    // Masks a WAVE_FORMAT_EXTENSIBLE file carries for each layout; 1595's speakers are FL FR FC LFE
    // BL BR BC whatever the code's own value says.
    struct Case {
        const char* name;
        int code;
        uint32_t mask;
        int channels;
        const char* probe;
    };
    const Case cases[] = {
        {"stereo", 3, 0x3, 2, "stereo"}, {"quad", 51, 0x33, 4, "quad"},
        {"5.1", 63, 0x3F, 6, "5.1"},     {"7.1-wide", 255, 0xFF, 8, "7.1(wide)"},
        {"4.1", 271, 0x10F, 5, "4.1"},   {"6.1", 1595, 0x13F, 7, "6.1(back)"},
        {"7.1", 1599, 0x63F, 8, "7.1"},
    };
    ASSERT_EQ(AllLayouts().size(), 7u);
    for (const Case& c : cases) {
        const LayoutInfo* byName = FindLayout(c.name);
        ASSERT_NE(byName, nullptr) << c.name;
        EXPECT_EQ(byName->code, c.code);
        EXPECT_EQ(FindLayout(std::to_string(c.code)), byName);
        EXPECT_EQ(FindLayout(c.probe), byName);
        EXPECT_EQ(ChannelMask(byName->speakers), c.mask) << c.name;
        EXPECT_EQ(static_cast<int>(byName->speakers.size()), c.channels);
        EXPECT_STREQ(byName->probeName, c.probe);
        for (size_t i = 1; i < byName->speakers.size(); ++i)
            EXPECT_LT(byName->speakers[i - 1], byName->speakers[i]) << c.name << ": not in mask order";
    }
    EXPECT_EQ(FindLayout("5.0"), nullptr);
    EXPECT_EQ(FindLayout("319"), nullptr);
    EXPECT_EQ(FindLayout("63x"), nullptr);
    EXPECT_EQ(FindLayout("QUAD")->code, 51);

    EXPECT_EQ(FindSpeaker("lfe")->bit, 8);
    EXPECT_EQ(FindSpeaker("FRC")->bit, 128);
    EXPECT_EQ(FindSpeaker("SW"), nullptr);
    EXPECT_EQ(AllSpeakers().size(), 11u);
}
