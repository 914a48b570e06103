#include "Layouts.h"

#include <Halvane.h>
#include <sndfile.h>

#include <cctype>
#include <cstdlib>

namespace halvane_cli {

const std::vector<SpeakerInfo>& AllSpeakers() {
    static const std::vector<SpeakerInfo> speakers = {
        {HALVANE_FL, "FL", "front left", SF_CHANNEL_MAP_LEFT},
        {HALVANE_FR, "FR", "front right", SF_CHANNEL_MAP_RIGHT},
        {HALVANE_FC, "FC", "front centre", SF_CHANNEL_MAP_CENTER},
        {HALVANE_LFE, "LFE", "low frequency", SF_CHANNEL_MAP_LFE},
        {HALVANE_BL, "BL", "back left", SF_CHANNEL_MAP_REAR_LEFT},
        {HALVANE_BR, "BR", "back right", SF_CHANNEL_MAP_REAR_RIGHT},
        {HALVANE_FLC, "FLC", "front left of centre", SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER},
        {HALVANE_FRC, "FRC", "front right of centre", SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER},
        {HALVANE_BC, "BC", "back centre", SF_CHANNEL_MAP_REAR_CENTER},
        {HALVANE_SL, "SL", "side left", SF_CHANNEL_MAP_SIDE_LEFT},
        {HALVANE_SR, "SR", "side right", SF_CHANNEL_MAP_SIDE_RIGHT},
    };
    return speakers;
}

const std::vector<LayoutInfo>& AllLayouts() {
    // Channel orders as the library produces them. Every order is ascending in speaker bits, which
    // is the order a WAVE_FORMAT_EXTENSIBLE file must store its channels in. Code 1595 is not the
    // mask of its speakers: its file carries FL FR FC LFE BL BR BC, mask 0x13F.
    // FLAC has no channel mask, only a fixed assignment per channel count (2 stereo, 4 quad,
    // 6 5.1, 8 7.1 with side speakers); the 5-, 7-channel and wide 8-channel layouts differ from it.
    static const std::vector<LayoutInfo> layouts = {
        {3, "stereo", "stereo", 2, {HALVANE_FL, HALVANE_FR}, true},
        {51, "quad", "quad", 4, {HALVANE_FL, HALVANE_FR, HALVANE_BL, HALVANE_BR}, true},
        {63,
         "5.1",
         "5.1",
         6,
         {HALVANE_FL, HALVANE_FR, HALVANE_FC, HALVANE_LFE, HALVANE_BL, HALVANE_BR},
         true},
        {255,
         "7.1-wide",
         "7.1(wide)",
         8,
         {HALVANE_FL, HALVANE_FR, HALVANE_FC, HALVANE_LFE, HALVANE_BL, HALVANE_BR, HALVANE_FLC, HALVANE_FRC},
         false},
        {271, "4.1", "4.1", 5, {HALVANE_FL, HALVANE_FR, HALVANE_FC, HALVANE_LFE, HALVANE_BC}, false},
        {1595,
         "6.1",
         "6.1(back)",
         7,
         {HALVANE_FL, HALVANE_FR, HALVANE_FC, HALVANE_LFE, HALVANE_BL, HALVANE_BR, HALVANE_BC},
         false},
        {1599,
         "7.1",
         "7.1",
         8,
         {HALVANE_FL, HALVANE_FR, HALVANE_FC, HALVANE_LFE, HALVANE_BL, HALVANE_BR, HALVANE_SL, HALVANE_SR},
         true},
    };
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
    uint32_t mask = 0;
    for (int bit : speakers)
        mask |= static_cast<uint32_t>(bit);
    return mask;
}

} // namespace halvane_cli
