// Speaker layouts: the seven supported channel-mask codes, their channel maps and speaker places.
#ifndef HALVANE_CORE_SPEAKERLAYOUT_H
#define HALVANE_CORE_SPEAKERLAYOUT_H

#include <cstddef>
#include <utility>

#include "Halvane.h"
#include "HalvaneLayouts.h"

namespace halvane {

// Map entry of a speaker that the layout does not have.
constexpr int CHANNEL_ABSENT = 9;
// Number of speaker bits, front left (1) to side right (1024).
constexpr int SPEAKER_BITS = 11;
// Most output channels a node handles.
constexpr int MAX_CHANNELS = HALVANE_MAX_CHANNELS;
// Largest block, in samples per channel, that one pull carries through the graph.
constexpr int MAX_BLOCK = HALVANE_MAX_BLOCK;

// Gives a node's block record `channels` buffers of MAX_BLOCK floats, keeping the ones it has when
// their number fits: their samples are undefined either way, as after Allocate.
inline void KeepOrAllocate(_SOUNDDATAEX_& record, int channels) {
    if (record.Channels.size() != static_cast<size_t>(channels)) {
        record.Allocate(channels, MAX_BLOCK);
        return;
    }
    record.nSamples = MAX_BLOCK;
    record.nReserved = 0;
}

// Moves the buffers of `from` (a record about to go with its node) into `to`, freeing what `to`
// held: the buffers belong to `to` from then on, and `from` is left empty.
inline void TakeRecord(_SOUNDDATAEX_& to, _SOUNDDATAEX_& from) {
    to.Release();
    to = std::move(from);
    from.Channels.clear();
}

// Speed of sound held as float: the delay arithmetic divides by that float's value.
constexpr float SPEED_OF_SOUND = HALVANE_SPEED_OF_SOUND;

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
    int map[SPEAKER_BITS];                    // output channel of each speaker bit
    Place place[HALVANE_MAX_LAYOUT_CHANNELS]; // place of each output channel
};

// A layout of the public table in the form the nodes read: the channel of each speaker bit
// (CHANNEL_ABSENT for the speakers it lacks) and the place of each channel.
constexpr Layout MakeLayout(const HalvaneLayoutInfo& info) {
    Layout layout{info.code, info.channels, {}, {}};
    for (int k = 0; k < SPEAKER_BITS; ++k)
        layout.map[k] = CHANNEL_ABSENT;
    for (int c = 0; c < info.channels; ++c) {
        layout.map[SpeakerIndex(info.speakers[c])] = c;
        layout.place[c] = {info.places[c].x, info.places[c].y};
    }
    return layout;
}

constexpr Layout LAYOUTS[] = {
    MakeLayout(HALVANE_LAYOUTS[0]), MakeLayout(HALVANE_LAYOUTS[1]), MakeLayout(HALVANE_LAYOUTS[2]),
    MakeLayout(HALVANE_LAYOUTS[3]), MakeLayout(HALVANE_LAYOUTS[4]), MakeLayout(HALVANE_LAYOUTS[5]),
    MakeLayout(HALVANE_LAYOUTS[6]),
};
static_assert(sizeof(LAYOUTS) / sizeof(LAYOUTS[0]) == HALVANE_LAYOUT_COUNT, "one entry per public layout");

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
