// The room presets of HalvanePresets.h on the command line: --preset NAME and `halvane presets`.
#ifndef HALVANE_TOOLS_PRESETS_H
#define HALVANE_TOOLS_PRESETS_H

#include "Render.h"

#include <HalvanePresets.h>

#include <string>

namespace halvane_cli {

// Which of a preset's settings the command line gave itself; those keep the given value.
struct PresetOverrides {
    bool room = false;
    bool source = false;
    bool volume = false;
    bool reverbWet = false;
    bool reverbDry = false;
    bool absorb = false;
    bool hfDecay = false;
    bool cornerCrossfeed = false;
};

// Puts the preset's values into `s` where `given` says the command line did not. When only the
// room is given, the preset's source keeps its place relative to the room (a front-stage source
// stays near the front wall of a larger room).
void ApplyPreset(const HalvanePreset& preset, const PresetOverrides& given, EffectSettings& s);

// The options that give the same settings as the preset, e.g. "--room 20x30 --source 10,6 ...".
std::string PresetOptions(const HalvanePreset& preset);

// "small-room, living-room, ..." for help texts and errors.
std::string PresetNames();

} // namespace halvane_cli

#endif
