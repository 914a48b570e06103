#include "Presets.h"

#include <cstdio>
#include <cstdlib>

namespace halvane_cli {

namespace {

// The shortest decimal that reads back as the same float, so that the printed options give
// exactly the preset's values.
std::string Shortest(float v) {
    char text[64];
    for (int decimals = 0; decimals <= 12; ++decimals) {
        std::snprintf(text, sizeof(text), "%.*f", decimals, static_cast<double>(v));
        if (std::strtof(text, nullptr) == v)
            break;
    }
    return text;
}

} // namespace

void ApplyPreset(const HalvanePreset& p, const PresetOverrides& given, EffectSettings& s) {
    if (!given.room) {
        s.roomWidth = p.roomWidth;
        s.roomDepth = p.roomDepth;
    }
    if (!given.source) {
        // Scaled only when the room differs from the preset's, so the preset's own values stay exact.
        s.source = given.room
                       ? Point{p.sourceX / p.roomWidth * s.roomWidth, p.sourceY / p.roomDepth * s.roomDepth}
                       : Point{p.sourceX, p.sourceY};
        s.sourceGiven = true;
    }
    if (!given.volume)
        s.volume = p.volume;
    if (!given.reverbWet)
        s.reverbWet = p.reverbWet;
    if (!given.reverbDry)
        s.reverbDry = p.reverbDry;
    if (!given.absorb)
        s.absorb = p.absorb;
    if (!given.hfDecay)
        s.hfDecay = p.hfDecay;
    if (!given.cornerCrossfeed)
        s.cornerCrossfeed = p.cornerCrossfeed;
}

std::string PresetOptions(const HalvanePreset& p) {
    return "--room " + Shortest(p.roomWidth) + "x" + Shortest(p.roomDepth) + " --source " +
           Shortest(p.sourceX) + "," + Shortest(p.sourceY) + " --volume " + Shortest(p.volume) +
           " --reverb-wet " + Shortest(p.reverbWet) + " --reverb-dry " + Shortest(p.reverbDry) +
           " --absorb " + Shortest(p.absorb) + " --hf-decay " + Shortest(p.hfDecay) +
           (p.cornerCrossfeed ? " --corner-crossfeed" : " --no-corner-crossfeed");
}

std::string PresetNames() {
    std::string names;
    for (const HalvanePreset& p : HALVANE_PRESETS)
        names += (names.empty() ? "" : ", ") + std::string(p.name);
    return names;
}

} // namespace halvane_cli
