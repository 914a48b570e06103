#include "Lv2Table.h"

#include <cctype>

namespace halvane_lv2 {

namespace {

// Port-groups channel of each speaker, in the order of the library's speaker table.
constexpr const char* DESIGNATIONS[HALVANE_SPEAKER_COUNT] = {
    "left",        "right",      "center",   "lowFrequencyEffects", "rearLeft", "rearRight", "centerLeft",
    "centerRight", "rearCenter", "sideLeft", "sideRight",
};

} // namespace

SpeakerInfo SpeakerOfBit(int bit) {
    for (int k = 0; k < HALVANE_SPEAKER_COUNT; ++k) {
        const HalvaneSpeakerInfo& s = HALVANE_SPEAKERS[k];
        if (s.bit != bit)
            continue;
        SpeakerInfo info{bit, s.name, s.longName, DESIGNATIONS[k]};
        for (char& c : info.symbol)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        // Ports take the long name with a capital; the LFE is known by its short name.
        if (bit == HALVANE_LFE)
            info.name = s.name;
        else
            info.name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(info.name[0])));
        return info;
    }
    return {bit, "", "", ""};
}

std::string TitleOf(const LayoutInfo& layout) {
    std::string title;
    for (const char* c = layout.probeName; *c; ++c)
        if (*c == '(')
            title += ' ';
        else if (*c != ')')
            title += *c;
    return title;
}

void PresetValuesOf(const HalvanePreset& p, PresetValue (&values)[PRESET_VALUE_COUNT]) {
    const PresetValue all[PRESET_VALUE_COUNT] = {
        {ROOM_WIDTH, p.roomWidth},
        {ROOM_DEPTH, p.roomDepth},
        {SOURCE_X, p.sourceX},
        {SOURCE_Y, p.sourceY},
        {VOLUME, p.volume},
        {REVERB, 1.0f},
        {REVERB_WET, p.reverbWet},
        {REVERB_DRY, p.reverbDry},
        {ABSORB, p.absorb},
        {HF_DECAY, p.hfDecay},
        {CORNER_CROSSFEED, p.cornerCrossfeed ? 1.0f : 0.0f},
    };
    for (int i = 0; i < PRESET_VALUE_COUNT; ++i)
        values[i] = all[i];
}

std::string UriOf(const Variant& variant) {
    return std::string(URI_BASE) + variant.layout->name + (variant.inputs == 1 ? "-mono" : "");
}

int PortsOf(const Variant& variant, PortInfo (&ports)[MAX_PORTS]) {
    const LayoutInfo& layout = *variant.layout;
    const bool lfe = HalvaneLfeChannel(layout) >= 0;
    int n = 0;
    for (int c = 0; c < variant.inputs; ++c)
        ports[n++] = {PortRole::AudioIn, c};
    for (int c = 0; c < layout.channels; ++c)
        ports[n++] = {PortRole::AudioOut, c};
    for (int k = 0; k < CONTROL_COUNT; ++k)
        if ((lfe || !CONTROLS[k].lfeOnly) && IsSpeakerControl(k))
            ports[n++] = {PortRole::Control, k};
    for (int c = 0; c < layout.channels; ++c)
        if (c != HalvaneLfeChannel(layout))
            ports[n++] = {PortRole::SpeakerVolume, c};
    return n;
}

std::string HeadphoneUriOf(int inputs) {
    return std::string(URI_BASE) + HEADPHONE_SLUG + (inputs == 1 ? "-mono" : "");
}

int HeadphonePortsOf(int inputs, EarPortInfo (&ports)[MAX_EAR_PORTS]) {
    int n = 0;
    for (int c = 0; c < inputs; ++c)
        ports[n++] = {EarPortRole::AudioIn, c};
    for (int c = 0; c < 2; ++c)
        ports[n++] = {EarPortRole::AudioOut, c};
    ports[n++] = {EarPortRole::Layout, 0};
    for (int k = 0; k < CONTROL_COUNT; ++k)
        if (IsHeadphoneControl(k) && IsSpeakerControl(k))
            ports[n++] = {EarPortRole::Control, k};
    ports[n++] = {EarPortRole::Latency, 0};
    ports[n++] = {EarPortRole::Events, 0};
    ports[n++] = {EarPortRole::Control, LISTENER_X};
    ports[n++] = {EarPortRole::Control, LISTENER_Y};
    return n;
}

} // namespace halvane_lv2
