// Speaker layouts: channel count, channel map, speaker places and the LFE rule of every code, and
// what an unsupported code leaves behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Halvane.h"
#include "core/SpeakerLayout.h"

namespace {

using halvane::IsLfeChannel;

struct LayoutCase {
    int code;
    int speakers;
    int map[11];     // FL FR FC LFE BL BR FLC FRC BC SL SR
    float pos[8][2]; // in a 5 x 2 room
    int lfeChannel;  // -1 when the layout has none
};

// Worked out by hand for a 5 m wide, 2 m deep room: halves 2.5 and 1, quarters 1.25 and 3.75.
// clang-format off
const LayoutCase LAYOUT_CASES[] = {
    {3, 2, {0, 1, 9, 9, 9, 9, 9, 9, 9, 9, 9}, {{0, 1}, {5, 1}}, -1},
    {51, 4, {0, 1, 9, 9, 2, 3, 9, 9, 9, 9, 9}, {{0, 0}, {5, 0}, {0, 2}, {5, 2}}, -1},
    {63, 6, {0, 1, 2, 3, 4, 5, 9, 9, 9, 9, 9}, {{0, 0}, {5, 0}, {2.5f, 0}, {0, 0}, {0, 2}, {5, 2}}, 3},
    {255, 8, {0, 1, 2, 3, 4, 5, 6, 7, 9, 9, 9},
     {{0, 0}, {5, 0}, {2.5f, 0}, {0, 0}, {0, 2}, {5, 2}, {1.25f, 0}, {3.75f, 0}}, 3},
    {271, 5, {0, 1, 2, 3, 9, 9, 9, 9, 4, 9, 9}, {{0, 0}, {5, 0}, {2.5f, 0}, {0, 0}, {2.5f, 2}}, 3},
    {1595, 7, {0, 1, 2, 3, 4, 5, 9, 9, 6, 9, 9}, {{0, 0}, {5, 0}, {2.5f, 0}, {0, 0}, {0, 2}, {5, 2}, {2.5f, 2}}, 3},
    {1599, 8, {0, 1, 2, 3, 4, 5, 9, 9, 9, 6, 7},
     {{0, 0}, {5, 0}, {2.5f, 0}, {0, 0}, {0, 2}, {5, 2}, {0, 1}, {5, 1}}, 3},
};
// clang-format on

struct Message {
    std::string text, caption;
    unsigned int style;
};
std::vector<Message> g_messages;
void CaptureMessage(const char* text, const char* caption, unsigned int style) {
    g_messages.push_back({text, caption, style});
}

// Installs the capturing handler for one test and restores the previous one afterwards.
class MessageCapture {
public:
    MessageCapture() : m_previous(HalvaneSetMessageHandler(&CaptureMessage)) { g_messages.clear(); }
    ~MessageCapture() { HalvaneSetMessageHandler(m_previous); }

private:
    HalvaneMessageHandler m_previous;
};

} // namespace

TEST(SpeakerLayout, EveryCodeGivesItsCountMapPlacesAndLfe) {
    for (const LayoutCase& tc : LAYOUT_CASES) {
        SCOPED_TRACE("code " + std::to_string(tc.code));
        CSurrBaseEffect node;
        node.SetRoomSize(5.0f, 2.0f);
        node.SetSpeakersConfig(tc.code);
        EXPECT_EQ(node.m_nSpeakersConfig, tc.code);
        ASSERT_EQ(node.m_nSpeakers, tc.speakers);
        for (int k = 0; k < 11; ++k) {
            EXPECT_EQ(node.m_ChannelMap[k], tc.map[k]) << "bit " << k;
            EXPECT_EQ(node.GetChannelIndex(1 << k), tc.map[k]) << "bit " << k;
        }
        for (int c = 0; c < tc.speakers; ++c) {
            EXPECT_EQ(node.m_SpeakerPos[c].x, tc.pos[c][0]) << "channel " << c;
            EXPECT_EQ(node.m_SpeakerPos[c].y, tc.pos[c][1]) << "channel " << c;
        }
        for (int c = 0; c < 10; ++c)
            EXPECT_EQ(IsLfeChannel(node, c), c == tc.lfeChannel) << "channel " << c;
        // Values that are not a single speaker bit have no channel.
        for (int notABit : {0, 3, 12, 2048, 4096, -1})
            EXPECT_EQ(node.GetChannelIndex(notABit), 9) << notABit;
    }
}

TEST(SpeakerLayout, SwitchingToFewerSpeakersKeepsTheLaterPositions) {
    CSurrBaseEffect node;
    node.SetSpeakersConfig(1599);
    node.SetSpeakersConfig(3);
    EXPECT_EQ(node.m_nSpeakers, 2);
    const float expected[8][2] = {{0, 1.5f}, {3, 1.5f}, {1.5f, 0}, {0, 0},
                                  {0, 3},    {3, 3},    {0, 1.5f}, {3, 1.5f}};
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(node.m_SpeakerPos[c].x, expected[c][0]) << c;
        EXPECT_EQ(node.m_SpeakerPos[c].y, expected[c][1]) << c;
    }
    EXPECT_FALSE(IsLfeChannel(node, 3));
}

TEST(SpeakerLayout, UnsupportedCodeShowsTheErrorAndKeepsTheLayout) {
    MessageCapture capture;
    struct RejectCase {
        int from, rejected;
        bool lfeAtChannel3; // the LFE rule uses the rejected code's LFE bit with the old map
    };
    const RejectCase cases[] = {
        {63, 319, true},                     // 319 = the OR of the 1595 speakers; has the LFE bit
        {63, 4, false},                      // no LFE bit: channel 3 stops being the LFE channel
        {1599, 0, false}, {51, 1023, false}, // LFE bit set, but the old map has no LFE channel
        {255, -1, true},
    };
    for (const RejectCase& tc : cases) {
        SCOPED_TRACE(std::to_string(tc.from) + " -> " + std::to_string(tc.rejected));
        CSurrBaseEffect before;
        before.SetSpeakersConfig(tc.from);
        CSurrBaseEffect node(before);
        g_messages.clear();
        node.SetSpeakersConfig(tc.rejected);

        ASSERT_EQ(g_messages.size(), 1u);
        EXPECT_EQ(g_messages[0].text, "Unsupported speakers format");
        EXPECT_EQ(g_messages[0].caption, "Error");
        EXPECT_EQ(g_messages[0].style, 16u);

        EXPECT_EQ(node.m_nSpeakersConfig, tc.rejected);
        EXPECT_EQ(node.m_nSpeakers, before.m_nSpeakers);
        for (int k = 0; k < 11; ++k)
            EXPECT_EQ(node.m_ChannelMap[k], before.m_ChannelMap[k]) << k;
        for (int c = 0; c < 10; ++c) {
            EXPECT_EQ(node.m_SpeakerPos[c].x, before.m_SpeakerPos[c].x) << c;
            EXPECT_EQ(node.m_SpeakerPos[c].y, before.m_SpeakerPos[c].y) << c;
        }
        EXPECT_EQ(IsLfeChannel(node, 3), tc.lfeAtChannel3);
    }
    // Supported codes raise no message.
    g_messages.clear();
    CSurrBaseEffect node;
    for (int code : {3, 51, 63, 255, 271, 1595, 1599})
        node.SetSpeakersConfig(code);
    EXPECT_TRUE(g_messages.empty());
}
