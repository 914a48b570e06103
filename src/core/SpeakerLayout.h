// Speaker layouts: the seven supported channel-mask codes, their channel maps and speaker places.
#ifndef HALVANE_CORE_SPEAKERLAYOUT_H
#define HALVANE_CORE_SPEAKERLAYOUT_H

#include "Halvane.h"

namespace halvane {

// Map entry of a speaker that the layout does not have.
constexpr int CHANNEL_ABSENT = 9;
// Number of speaker bits, front left (1) to side right (1024).
constexpr int SPEAKER_BITS = 11;
// Most output channels a node handles.
constexpr int MAX_CHANNELS = 10;
// Largest block, in samples per channel, that one pull carries through the graph.
constexpr int MAX_BLOCK = 4096;

// Speed of sound, 331.46 m/s held as float: the delay arithmetic divides by that float's value.
constexpr float SPEED_OF_SOUND = 331.46f;

// Time sound takes to cover a distance: milliseconds from metres, formed in double, rounded once.
inline float TravelTimeMs(float metres) {
    return static_cast<float>(static_cast<double>(metres) * 1000.0 / static_cast<double>(SPEED_OF_SOUND));
}

// Speaker bit numbers (the speaker's mask value is 1 << bit).
enum SpeakerBit : int { FL = 0, FR, FC, LFE, BL, BR, FLC, FRC, BC, SL, SR };

// Bit number of a speaker mask value (1, 2, 4 ... 1024), or -1 for any other value.
constexpr int SpeakerIndex(int speaker) {
    for (int k = 0; k < SPEAKER_BITS; ++k)
        if (speaker == (1 << k))
            return k;
    return -1;
}

// Where a speaker stands, as fractions of the room's width and depth.
struct Place {
    float fx;
    float fy;
};

struct Layout {
    int code;
    int speakers;
    int map[SPEAKER_BITS]; // output channel of each speaker bit
    Place place[8];        // place of each output channel
};

// Layout table. Code 1595 is the seven-channel layout with a back-centre speaker as laid out here,
// although its value is not the OR of those speakers' bits.
// clang-format off
constexpr Layout LAYOUTS[] = {
    // code speakers   FL FR FC LFE BL BR FLC FRC BC SL SR     place of channel 0, 1, ...
    {3,    2, {0, 1, 9, 9, 9, 9, 9, 9, 9, 9, 9}, {{0, .5f}, {1, .5f}}},
    {51,   4, {0, 1, 9, 9, 2, 3, 9, 9, 9, 9, 9}, {{0, 0}, {1, 0}, {0, 1}, {1, 1}}},
    {63,   6, {0, 1, 2, 3, 4, 5, 9, 9, 9, 9, 9}, {{0, 0}, {1, 0}, {.5f, 0}, {0, 0}, {0, 1}, {1, 1}}},
    {255,  8, {0, 1, 2, 3, 4, 5, 6, 7, 9, 9, 9}, {{0, 0}, {1, 0}, {.5f, 0}, {0, 0}, {0, 1}, {1, 1}, {.25f, 0}, {.75f, 0}}},
    {271,  5, {0, 1, 2, 3, 9, 9, 9, 9, 4, 9, 9}, {{0, 0}, {1, 0}, {.5f, 0}, {0, 0}, {.5f, 1}}},
    {1595, 7, {0, 1, 2, 3, 4, 5, 9, 9, 6, 9, 9}, {{0, 0}, {1, 0}, {.5f, 0}, {0, 0}, {0, 1}, {1, 1}, {.5f, 1}}},
    {1599, 8, {0, 1, 2, 3, 4, 5, 9, 9, 9, 6, 7}, {{0, 0}, {1, 0}, {.5f, 0}, {0, 0}, {0, 1}, {1, 1}, {0, .5f}, {1, .5f}}},
};
// clang-format on

// The layout of a code, or null when the code is not supported.
const Layout* FindLayout(int code);

// True when the code has an LFE speaker (bit value 8).
constexpr bool HasLfe(int code) {
    return (code & HALVANE_LFE) != 0;
}

// The LFE rule shared by the nodes: channel c is the node's LFE channel when the node's code has
// the LFE bit and c is the map entry of the LFE speaker. Nodes that leave the LFE alone test this.
inline bool IsLfeChannel(const CSurrBaseEffect& node, int c) {
    return HasLfe(node.m_nSpeakersConfig) && c == node.m_ChannelMap[LFE];
}

} // namespace halvane

#endif
