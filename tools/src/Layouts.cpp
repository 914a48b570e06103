#include "Layouts.h"

#include <Halvane.h>
#include <HalvaneLayouts.h>
#include <sndfile.h>

#include <cctype>
#include <cstdlib>

namespace halvane_cli {

namespace {

// libsndfile's name of each speaker, in bit order.
constexpr int kSndfileChannel[HALVANE_SPEAKER_COUNT] = {
    SF_CHANNEL_MAP_LEFT,
    SF_CHANNEL_MAP_RIGHT,
    SF_CHANNEL_MAP_CENTER,
    SF_CHANNEL_MAP_LFE,
    SF_CHANNEL_MAP_REAR_LEFT,
    SF_CHANNEL_MAP_REAR_RIGHT,
    SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER,
    SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER,
    SF_CHANNEL_MAP_REAR_CENTER,
    SF_CHANNEL_MAP_SIDE_LEFT,
    SF_CHANNEL_MAP_SIDE_RIGHT,
};

// FLAC has no channel mask, only a fixed assignment per channel count, here as the WAVE mask of
// the speakers it assigns (stereo, quad, 5.1, and 7.1 with side speakers), each in ascending bit
// order like every layout. Other counts name no speakers.
uint32_t FlacAssignment(size_t channels) {
    switch (channels) {
    case 2:
        return 0x3;
    case 4:
        return 0x33;
    case 6:
        return 0x3F;
    case 8:
        return 0x63F;
    default:
        return 0;
    }
}

} // namespace

const std::vector<SpeakerInfo>& AllSpeakers() {
    static const std::vector<SpeakerInfo> speakers = [] {
        std::vector<SpeakerInfo> out;
        for (int k = 0; k < HALVANE_SPEAKER_COUNT; ++k) {
            const HalvaneSpeakerInfo& s = HALVANE_SPEAKERS[k];
            out.push_back({s.bit, s.name, s.longName, kSndfileChannel[k]});
        }
        return out;
    }();
    return speakers;
}

const std::vector<LayoutInfo>& AllLayouts() {
    // The library's layouts, channel orders and names. Code 1595 is not the mask of its speakers:
    // its file carries FL FR FC LFE BL BR BC, mask 0x13F.
    static const std::vector<LayoutInfo> layouts = [] {
        std::vector<LayoutInfo> out;
        for (const HalvaneLayoutInfo& l : HALVANE_LAYOUTS) {
            std::vector<int> speakers(l.speakers, l.speakers + l.channels);
            const bool flac = FlacAssignment(speakers.size()) == HalvaneChannelMask(l);
            out.push_back({l.code, l.name, l.probeName, l.channels, std::move(speakers), flac});
        }
        return out;
    }();
    return layouts;
}

static std::string Upper(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

const SpeakerInfo* FindSpeaker(const std::string& name) {
    const std::string wanted = Upper(name);
    for (const SpeakerInfo& s : AllSpeakers())
        if (wanted == s.name)
            return &s;
    return nullptr;
}

const SpeakerInfo* SpeakerOfBit(int bit) {
    for (const SpeakerInfo& s : AllSpeakers())
        if (s.bit == bit)
            return &s;
    return nullptr;
}

const LayoutInfo* LayoutOfCode(int code) {
    for (const LayoutInfo& l : AllLayouts())
        if (l.code == code)
            return &l;
    return nullptr;
}

const LayoutInfo* FindLayout(const std::string& nameOrCode) {
    const std::string wanted = Upper(nameOrCode);
    for (const LayoutInfo& l : AllLayouts())
        if (wanted == Upper(l.name) || wanted == Upper(l.probeName))
            return &l;
    if (!nameOrCode.empty() && nameOrCode.find_first_not_of("0123456789") == std::string::npos &&
        nameOrCode.size() < 6)
        return LayoutOfCode(std::atoi(nameOrCode.c_str()));
    return nullptr;
}

std::string LayoutNames() {
    std::string out;
    for (const LayoutInfo& l : AllLayouts())
        out += (out.empty() ? "" : ", ") + std::string(l.name);
    return out;
}

std::string LayoutCodes() {
    std::string out;
    for (const LayoutInfo& l : AllLayouts())
        out += (out.empty() ? "" : ", ") + std::to_string(l.code);
    return out;
}

std::string SpeakerNames() {
    std::string out;
    for (const SpeakerInfo& s : AllSpeakers())
        out += (out.empty() ? "" : " ") + std::string(s.name);
    return out;
}

uint32_t ChannelMask(const std::vector<int>& speakers) {
    // The mask of a speaker list the final stage may have reordered: the OR of its bits.
    uint32_t mask = 0;
    for (int bit : speakers)
        mask |= static_cast<uint32_t>(bit);
    return mask;
}

} // namespace halvane_cli
