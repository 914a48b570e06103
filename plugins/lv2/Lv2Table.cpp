#include "Lv2Table.h"

namespace halvane_lv2 {

const SpeakerInfo* SpeakerOfBit(int bit) {
    for (const SpeakerInfo& speaker : SPEAKERS)
        if (speaker.bit == bit)
            return &speaker;
    return nullptr;
}

std::string UriOf(const Variant& variant) {
    return std::string(URI_BASE) + variant.layout->slug + (variant.inputs == 1 ? "-mono" : "");
}

int PortsOf(const Variant& variant, PortInfo (&ports)[MAX_PORTS]) {
    const LayoutInfo& layout = *variant.layout;
    const bool lfe = (layout.code & HALVANE_LFE) != 0;
    int n = 0;
    for (int c = 0; c < variant.inputs; ++c)
        ports[n++] = {PortRole::AudioIn, c};
    for (int c = 0; c < layout.channels; ++c)
        ports[n++] = {PortRole::AudioOut, c};
    for (int k = 0; k < CONTROL_COUNT; ++k)
        if (lfe || !CONTROLS[k].lfeOnly)
            ports[n++] = {PortRole::Control, k};
    for (int c = 0; c < layout.channels; ++c)
        if (layout.speakers[c] != HALVANE_LFE)
            ports[n++] = {PortRole::SpeakerVolume, c};
    return n;
}

} // namespace halvane_lv2
