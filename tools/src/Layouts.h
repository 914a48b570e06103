// The seven speaker layouts as the command line names them, and the speaker names it accepts.
#ifndef HALVANE_TOOLS_LAYOUTS_H
#define HALVANE_TOOLS_LAYOUTS_H

#include <cstdint>
#include <string>
#include <vector>

namespace halvane_cli {

struct SpeakerInfo {
    int bit;              // speaker bit of the channel mask (HALVANE_FL ...)
    const char* name;     // short name on the command line: FL, FR, FC, LFE, ...
    const char* longName; // "front left" ...
    int sndfileChannel;   // libsndfile's SF_CHANNEL_MAP_* value for the speaker
};

struct LayoutInfo {
    int code;              // the library's layout code
    const char* name;      // name on the command line
    const char* probeName; // what ffprobe calls a file with this channel mask
    int channels;
    std::vector<int> speakers; // speaker bit of each output channel, in channel order
    bool flacLabelled;         // FLAC's fixed channel assignment for this count names these speakers
};

// The eleven speakers in bit order.
const std::vector<SpeakerInfo>& AllSpeakers();
// The seven layouts in code order.
const std::vector<LayoutInfo>& AllLayouts();

// The speaker of a short name (case-insensitive); null when unknown.
const SpeakerInfo* FindSpeaker(const std::string& name);
const SpeakerInfo* SpeakerOfBit(int bit);
// The layout of a name or of a numeric code; null when unknown.
const LayoutInfo* FindLayout(const std::string& nameOrCode);
const LayoutInfo* LayoutOfCode(int code);

// The names the command line accepts, for help and error messages: "stereo, quad, 5.1, ..." (code
// order), "3, 51, 63, ..." and "FL FR FC LFE ..." (bit order).
std::string LayoutNames();
std::string LayoutCodes();
std::string SpeakerNames();

// Channel mask of a file whose channels carry `speakers` in this order: the OR of their bits.
uint32_t ChannelMask(const std::vector<int>& speakers);

} // namespace halvane_cli

#endif
