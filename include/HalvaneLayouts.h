// Halvane's speaker layouts, limits and defaults: what a host needs to name, label, size and check
// the streams it hands CSurroundEffect. The library itself is built from these tables, so a host
// that reads them can never disagree with it.
//
// Everything here is constexpr data or an inline function, except HalvaneTravelSamples, which the
// library exports.
#ifndef HALVANE_LAYOUTS_H
#define HALVANE_LAYOUTS_H

#include "Halvane.h"

#include <cstdint>

// ---- Limits -------------------------------------------------------------------------------------

// Longest block, in samples per channel, that one pull carries through the graph; Process and
// ProcessPlanar cut longer calls into blocks of this length.
constexpr int HALVANE_MAX_BLOCK = 4096;
// Channels a graph node handles: every speaker channel of a layout, plus channel 9, which stands
// for "no channel" in the channel maps.
constexpr int HALVANE_MAX_CHANNELS = 10;
// Most speakers (output channels) of one layout.
constexpr int HALVANE_MAX_LAYOUT_CHANNELS = 8;
// Samples a travel-time delay line holds, the block in flight included.
constexpr int HALVANE_DELAY_CAPACITY = 60000;
// Longest travel-time delay, in samples, that a delay line holds next to the longest block.
constexpr int HALVANE_MAX_DELAY_SAMPLES = HALVANE_DELAY_CAPACITY - HALVANE_MAX_BLOCK;
// Sample rates, in Hz, that Initialize builds a graph for.
constexpr uint32_t HALVANE_MIN_SAMPLE_RATE = 1;
constexpr uint32_t HALVANE_MAX_SAMPLE_RATE = 768000;
// Speed of sound for the travel times, 331.46 m/s held as float: the delay arithmetic divides by
// that float's value.
constexpr float HALVANE_SPEED_OF_SOUND = 331.46f;

// Delay, in whole samples at `sampleRate`, that the library gives a speaker `metres` away from the
// source: the travel time in milliseconds (rounded to float), then samples truncated toward zero.
HALVANE_API int32_t HalvaneTravelSamples(float metres, int sampleRate);

// ---- Defaults of a new CSurroundEffect ----------------------------------------------------------

constexpr int HALVANE_DEFAULT_LAYOUT = 63;              // 5.1
constexpr float HALVANE_DEFAULT_ROOM_WIDTH = 3.0f;      // metres
constexpr float HALVANE_DEFAULT_ROOM_DEPTH = 3.0f;      // metres
constexpr float HALVANE_DEFAULT_SOURCE_X = 1.5f;        // metres from the left wall
constexpr float HALVANE_DEFAULT_SOURCE_Y = 1.5f;        // metres from the front wall
constexpr float HALVANE_DEFAULT_VOLUME = 1.0f;          // SetVolume
constexpr float HALVANE_DEFAULT_LFE_VOLUME = 1.0f;      // SetLFEVolume
constexpr int HALVANE_DEFAULT_LFE_MAX_FREQ = 100;       // SetLFEMaxFreq, Hz
constexpr bool HALVANE_DEFAULT_LOW_PASS = false;        // SetLowPass (the high-pass stage)
constexpr int HALVANE_DEFAULT_LOW_PASS_FREQ = 80;       // SetLowPassFreq, Hz
constexpr bool HALVANE_DEFAULT_MOVE_OFF = true;         // SetMoveOff
constexpr bool HALVANE_DEFAULT_REVERB = true;           // SetReverb
constexpr float HALVANE_DEFAULT_REV_WET = 1.8f;         // SetRevWet
constexpr float HALVANE_DEFAULT_REV_DRY = 0.0f;         // SetRevDry
constexpr float HALVANE_DEFAULT_REV_ABSORB = 0.14f;     // SetRevAbsorb
constexpr float HALVANE_DEFAULT_REV_HF_DECAY = 0.42f;   // SetRevHFDecay
constexpr float HALVANE_DEFAULT_DRY_OUT_VOLUME = 0.5f;  // SetDryOutVolume
constexpr bool HALVANE_DEFAULT_PROCESS_ADVANCE = false; // SetProcessAdvance
constexpr bool HALVANE_DEFAULT_INVERSE = false;         // SetInverse

// ---- Speakers -----------------------------------------------------------------------------------

struct HalvaneSpeakerInfo {
    int bit;              // speaker bit of the channel mask (HALVANE_FL ...)
    const char* name;     // short name: FL, FR, FC, LFE, ...
    const char* longName; // "front left" ...
};

constexpr int HALVANE_SPEAKER_COUNT = 11;

// The eleven speakers in bit order.
// clang-format off
constexpr HalvaneSpeakerInfo HALVANE_SPEAKERS[HALVANE_SPEAKER_COUNT] = {
    {HALVANE_FL,  "FL",  "front left"},
    {HALVANE_FR,  "FR",  "front right"},
    {HALVANE_FC,  "FC",  "front centre"},
    {HALVANE_LFE, "LFE", "low frequency"},
    {HALVANE_BL,  "BL",  "back left"},
    {HALVANE_BR,  "BR",  "back right"},
    {HALVANE_FLC, "FLC", "front left of centre"},
    {HALVANE_FRC, "FRC", "front right of centre"},
    {HALVANE_BC,  "BC",  "back centre"},
    {HALVANE_SL,  "SL",  "side left"},
    {HALVANE_SR,  "SR",  "side right"},
};
// clang-format on

// The speaker of a bit value (1, 2, 4 ... 1024); null for any other value.
constexpr const HalvaneSpeakerInfo* HalvaneFindSpeaker(int bit) {
    for (const HalvaneSpeakerInfo& speaker : HALVANE_SPEAKERS)
        if (speaker.bit == bit)
            return &speaker;
    return nullptr;
}

// The speakers CSurroundEffect::SetInverse negates.
constexpr bool HalvaneIsRightHand(int bit) {
    return bit == HALVANE_FR || bit == HALVANE_BR || bit == HALVANE_SR;
}

// ---- Layouts ------------------------------------------------------------------------------------

// Where a speaker stands, as fractions of the room's width (x, from the left wall) and depth (y,
// from the front wall).
struct HalvanePlace {
    float x;
    float y;
};

struct HalvaneLayoutInfo {
    int code;                                  // the layout code SetSpeakersConfig takes
    const char* name;                          // short name (as the halvane command line takes it)
    const char* probeName;                     // what ffprobe calls a file with this layout's channel mask
    int channels;                              // output channels
    int speakers[HALVANE_MAX_LAYOUT_CHANNELS]; // speaker bit of each channel, in channel order
    HalvanePlace places[HALVANE_MAX_LAYOUT_CHANNELS]; // place of each channel's speaker
};

constexpr int HALVANE_LAYOUT_COUNT = 7;

// The seven layouts in code order. Every channel order is ascending in speaker bits, the order a
// WAVE_FORMAT_EXTENSIBLE file stores its channels in. Code 1595 is the seven-channel layout with a
// back-centre speaker although its value is not the OR of those speakers' bits (its file's mask is
// 0x13F). The LFE stands in the front-left corner, where its place is never used.
// clang-format off
constexpr HalvaneLayoutInfo HALVANE_LAYOUTS[HALVANE_LAYOUT_COUNT] = {
    {3,    "stereo",   "stereo",    2, {HALVANE_FL, HALVANE_FR},
                                       {{0, .5f}, {1, .5f}}},
    {51,   "quad",     "quad",      4, {HALVANE_FL, HALVANE_FR, HALVANE_BL, HALVANE_BR},
                                       {{0, 0}, {1, 0}, {0, 1}, {1, 1}}},
    {63,   "5.1",      "5.1",       6, {HALVANE_FL, HALVANE_FR, HALVANE_FC, HALVANE_LFE, HALVANE_BL, HALVANE_BR},
                                       {{0, 0}, {1, 0}, {.5f, 0}, {0, 0}, {0, 1}, {1, 1}}},
    {255,  "7.1-wide", "7.1(wide)", 8, {HALVANE_FL, HALVANE_FR, HALVANE_FC, HALVANE_LFE, HALVANE_BL, HALVANE_BR, HALVANE_FLC, HALVANE_FRC},
                                       {{0, 0}, {1, 0}, {.5f, 0}, {0, 0}, {0, 1}, {1, 1}, {.25f, 0}, {.75f, 0}}},
    {271,  "4.1",      "4.1",       5, {HALVANE_FL, HALVANE_FR, HALVANE_FC, HALVANE_LFE, HALVANE_BC},
                                       {{0, 0}, {1, 0}, {.5f, 0}, {0, 0}, {.5f, 1}}},
    {1595, "6.1",      "6.1(back)", 7, {HALVANE_FL, HALVANE_FR, HALVANE_FC, HALVANE_LFE, HALVANE_BL, HALVANE_BR, HALVANE_BC},
                                       {{0, 0}, {1, 0}, {.5f, 0}, {0, 0}, {0, 1}, {1, 1}, {.5f, 1}}},
    {1599, "7.1",      "7.1",       8, {HALVANE_FL, HALVANE_FR, HALVANE_FC, HALVANE_LFE, HALVANE_BL, HALVANE_BR, HALVANE_SL, HALVANE_SR},
                                       {{0, 0}, {1, 0}, {.5f, 0}, {0, 0}, {0, 1}, {1, 1}, {0, .5f}, {1, .5f}}},
};
// clang-format on

// The layout of a code; null when the library does not support the code.
constexpr const HalvaneLayoutInfo* HalvaneFindLayout(int code) {
    for (const HalvaneLayoutInfo& layout : HALVANE_LAYOUTS)
        if (layout.code == code)
            return &layout;
    return nullptr;
}

// WAVE channel mask of a file carrying the layout's channels: the OR of its speaker bits.
constexpr uint32_t HalvaneChannelMask(const HalvaneLayoutInfo& layout) {
    uint32_t mask = 0;
    for (int c = 0; c < layout.channels; ++c)
        mask |= static_cast<uint32_t>(layout.speakers[c]);
    return mask;
}

// Channel of a speaker bit in the layout; -1 when the layout has no such speaker.
constexpr int HalvaneChannelOf(const HalvaneLayoutInfo& layout, int bit) {
    for (int c = 0; c < layout.channels; ++c)
        if (layout.speakers[c] == bit)
            return c;
    return -1;
}

// The LFE channel of the layout; -1 when it has none.
constexpr int HalvaneLfeChannel(const HalvaneLayoutInfo& layout) {
    return HalvaneChannelOf(layout, HALVANE_LFE);
}

// Place of channel c's speaker in a width x depth room, in metres, exactly as the library places
// it: each fraction times the size, formed in double and rounded to float once.
inline CSurrBaseEffect::SpeakerPosition HalvaneSpeakerPlace(const HalvaneLayoutInfo& layout, int c,
                                                            float width, float depth) {
    return {static_cast<float>(static_cast<double>(layout.places[c].x) * width),
            static_cast<float>(static_cast<double>(layout.places[c].y) * depth)};
}

#endif // HALVANE_LAYOUTS_H
