// Node base: defaults, copying, room rescale, the pull order of a chain, and the pass-through node.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Halvane.h"
#include "core/SurrEarsEffect.h"

namespace {

// Records the order in which the nodes of a chain process, and returns a chosen result.
class RecordingNode : public CSurrBaseEffect {
public:
    RecordingNode(std::vector<std::string>& log, std::string name, int result)
        : m_log(log), m_name(std::move(name)), m_result(result) {}
    int Process(_SOUNDDATAEX_* data) override {
        m_log.push_back(m_name);
        // Each node adds its mark to sample 0, so the order shows in the samples as well.
        if (data->nSamples > 0 && !data->Channels.empty())
            data->Channels[0][0] = data->Channels[0][0] * 10.0f + static_cast<float>(m_name.size());
        return m_result;
    }
    void UpdateParams() override { ++m_updates; }

    std::vector<std::string>& m_log;
    std::string m_name;
    int m_result;
    int m_updates = 0;
};

} // namespace

TEST(SurrBaseEffect, FreshNodeHasLayout63InA3By3Room) {
    CSurrBaseEffect node;
    EXPECT_EQ(node.m_nSpeakers, 6);
    EXPECT_EQ(node.m_nSpeakersConfig, 63);
    EXPECT_EQ(node.m_pInput, nullptr);
    EXPECT_EQ(node.m_fRoomWidth, 3.0f);
    EXPECT_EQ(node.m_fRoomDepth, 3.0f);
    EXPECT_EQ(node.m_fSoundX, 1.5f);
    EXPECT_EQ(node.m_fSoundY, 1.5f);
    EXPECT_EQ(node.m_SpeakerPos[4].y, 3.0f); // layout 63's places in the 3 x 3 room (see SpeakerLayoutTest)
    EXPECT_EQ(node.Process(nullptr), 1);
}

TEST(SurrBaseEffect, InitializeTakesRateAndWidenedChannelCount) {
    tWAVEFORMATEX format{};
    format.nChannels = 2;
    format.nSamplesPerSec = 96000;
    CSurrBaseEffect node;
    node.Initialize(&format);
    EXPECT_EQ(node.m_nSamplesPerSec, 96000);
    EXPECT_EQ(node.m_nChannels, 2);
    format.nChannels = 65535; // the 16-bit count widens without sign
    node.Initialize(&format);
    EXPECT_EQ(node.m_nChannels, 65535);
}

TEST(SurrBaseEffect, RoomSizeRescalesPlacesAndSourceThenUpdatesOnce) {
    std::vector<std::string> log;
    RecordingNode node(log, "n", 1);
    node.SetRoomSize(6.0f, 4.0f);
    EXPECT_EQ(node.m_updates, 1);
    EXPECT_EQ(node.m_fRoomWidth, 6.0f);
    EXPECT_EQ(node.m_fRoomDepth, 4.0f);
    EXPECT_EQ(node.m_fSoundX, 3.0f);
    EXPECT_EQ(node.m_fSoundY, 2.0f);
    const float pos[6][2] = {{0, 0}, {6, 0}, {3, 0}, {0, 0}, {0, 4}, {6, 4}};
    for (int c = 0; c < 6; ++c) {
        EXPECT_EQ(node.m_SpeakerPos[c].x, pos[c][0]) << c;
        EXPECT_EQ(node.m_SpeakerPos[c].y, pos[c][1]) << c;
    }
    // The product comes before the quotient: 1 * 1 / 3 rounds once to the float nearest 1/3.
    node.SetSoundPos(1.0f, 7.0f);
    EXPECT_EQ(node.m_updates, 2);
    node.SetRoomSize(2.0f, 1.0f);
    EXPECT_EQ(node.m_fSoundX, 1.0f / 3.0f);
    EXPECT_EQ(node.m_fSoundY, 1.75f); // outside the room: stored and scaled unchecked
    EXPECT_EQ(node.m_updates, 3);
    // A later layout takes its places from the new size.
    node.SetSpeakersConfig(3);
    EXPECT_EQ(node.m_SpeakerPos[1].x, 2.0f);
    EXPECT_EQ(node.m_SpeakerPos[1].y, 0.5f);
    EXPECT_EQ(node.m_updates, 3); // installing a layout does not update
}

TEST(SurrBaseEffect, PullRunsTheChainInOrderAndReturnsTheLastResult) {
    struct PullCase {
        int firstResult, lastResult, expected;
    };
    // Only the pulled node's own result counts; a failing input does not stop the pull.
    const PullCase cases[] = {{1, 1, 1}, {0, 1, 1}, {1, 0, 0}, {0, 0, 0}, {1, 7, 1}, {1, -3, 1}};
    for (const PullCase& tc : cases) {
        std::vector<std::string> log;
        RecordingNode first(log, "a", tc.firstResult);
        RecordingNode middle(log, "bb", 1);
        RecordingNode last(log, "ccc", tc.lastResult);
        middle.SetInput(&first);
        last.SetInput(&middle);
        _SOUNDDATAEX_ data;
        data.Allocate(1, 1);
        data.Channels[0][0] = 0.0f;
        EXPECT_EQ(last.GetBuffer(&data), tc.expected) << tc.firstResult << " " << tc.lastResult;
        EXPECT_EQ(log, (std::vector<std::string>{"a", "bb", "ccc"}));
        EXPECT_EQ(data.Channels[0][0], 123.0f); // ((0 * 10 + 1) * 10 + 2) * 10 + 3
        data.Release();
    }
    // Without an input only the node itself runs.
    std::vector<std::string> log;
    RecordingNode alone(log, "x", 0);
    _SOUNDDATAEX_ empty;
    EXPECT_EQ(alone.GetBuffer(&empty), 0);
    EXPECT_EQ(log, std::vector<std::string>{"x"});
}

TEST(SurrEarsEffect, PassesTheBlockOnUnchanged) {
    std::vector<std::string> log;
    RecordingNode source(log, "s", 1);
    CSurrEarsEffect ears;
    RecordingNode sink(log, "t", 1);
    ears.SetInput(&source);
    sink.SetInput(&ears);
    EXPECT_EQ(ears.m_nSpeakers, 6);

    _SOUNDDATAEX_ data;
    data.Allocate(3, 5);
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 5; ++i)
            data.Channels[c][i] = static_cast<float>(c * 10 + i) + 0.5f;
    const std::vector<float*> buffers = data.Channels;
    EXPECT_EQ(sink.GetBuffer(&data), 1);
    EXPECT_EQ(log, (std::vector<std::string>{"s", "t"}));
    EXPECT_EQ(data.Channels, buffers);
    EXPECT_EQ(data.nSamples, 5);
    EXPECT_EQ(data.Channels[0][0], 61.0f); // (0.5 * 10 + 1) * 10 + 1: source, then sink, nothing between
    for (int c = 0; c < 3; ++c)
        for (int i = (c == 0 ? 1 : 0); i < 5; ++i)
            EXPECT_EQ(data.Channels[c][i], static_cast<float>(c * 10 + i) + 0.5f);
    // A node of its own: returns 1 even when pulled with no samples.
    _SOUNDDATAEX_ empty;
    CSurrEarsEffect alone;
    EXPECT_EQ(alone.GetBuffer(&empty), 1);
    data.Release();
}
