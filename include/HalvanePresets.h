// Halvane: named room settings for CSurroundEffect.
//
// A handful of rooms people ask for, as one table: the command-line renderer offers them as
// `--preset NAME` and lists them with `halvane presets`, and the LV2 bundle describes them as
// lv2:Preset resources of every plugin, so one name gives the same sound everywhere.
//
// A preset sets the room, the source position, the master volume and the reverb; it leaves the
// speaker layout, the LFE, the high-pass stage, the per-speaker volumes and the switches it does
// not name as they are. To use one with the library directly:
//
//     const HalvanePreset* p = HalvaneFindPreset("living-room");
//     fx.SetRoomSize(p->roomWidth, p->roomDepth, true);
//     fx.SetSoundPos(p->sourceX, p->sourceY, true);
//     fx.SetVolume(p->volume, true);
//     fx.SetRevWet(p->reverbWet);
//     fx.SetRevDry(p->reverbDry);
//     fx.SetRevAbsorb(p->absorb);
//     fx.SetRevHFDecay(p->hfDecay);
//     fx.SetProcessAdvance(p->cornerCrossfeed);
//
// Level: the library spreads a source over the speakers around it, so a source in the middle of
// the room reaches each of them about 14 dB below the input (about 7 dB below it summed over all
// speakers), while a source at a speaker plays there at the input's level. Each preset's volume
// makes up for its source's place and its reverb: white noise through a preset comes out of a 5.1
// layout at the input's level, summed over the speakers, within about a decibel.
//
// Header only (C++17): nothing to link, and no entry in the library's binary interface.
#ifndef HALVANE_PRESETS_H
#define HALVANE_PRESETS_H

#include <cstring>

struct HalvanePreset {
    const char* name;           // command-line name: lower case, words joined by '-'
    const char* label;          // the name hosts show
    const char* description;    // what it sounds like, in one sentence
    float roomWidth, roomDepth; // metres (SetRoomSize)
    float sourceX, sourceY;     // metres from the left and the front wall (SetSoundPos)
    float volume;               // master volume (SetVolume)
    float reverbWet, reverbDry; // SetRevWet, SetRevDry
    float absorb, hfDecay;      // SetRevAbsorb, SetRevHFDecay
    bool cornerCrossfeed;       // SetProcessAdvance
};

// clang-format off
inline constexpr HalvanePreset HALVANE_PRESETS[] = {
//   name             label            description
//     room W x D     source X, Y   volume  wet   dry   absorb hfDecay crossfeed
    {"small-room",    "Small room",    "A small, furnished room: the sound a little in front of you, a short damped tail",
       3.0f, 3.5f,    1.5f, 1.2f,   2.25f,  1.0f, 0.0f, 0.30f, 0.50f,  false},
    {"living-room",   "Living room",   "A living room: the sound in front, between the front speakers, a moderate tail",
       5.0f, 4.0f,    2.5f, 1.3f,   2.35f,  1.2f, 0.0f, 0.20f, 0.45f,  false},
    {"hall",          "Hall",          "A concert hall: a long, bright tail carried from corner to corner",
      20.0f, 30.0f,  10.0f, 6.0f,   1.0f,   1.2f, 0.0f, 0.06f, 0.30f,  true},
    {"front-stage",   "Front stage",   "A stage: the sound close to the front wall, little reverb from behind",
       6.0f, 6.0f,    3.0f, 0.6f,   1.65f,  0.8f, 0.0f, 0.25f, 0.50f,  false},
    {"close-and-dry", "Close and dry", "Close to the listener in a damped room: hardly any reverb",
       4.0f, 4.0f,    2.0f, 1.0f,   1.95f,  0.4f, 0.0f, 0.60f, 0.70f,  false},
    {"wide-surround", "Wide surround", "The sound in the middle of a large room, every speaker equally busy",
       8.0f, 8.0f,    4.0f, 4.0f,   2.25f,  1.6f, 0.0f, 0.12f, 0.40f,  true},
};
// clang-format on

inline constexpr int HALVANE_PRESET_COUNT = sizeof(HALVANE_PRESETS) / sizeof(HALVANE_PRESETS[0]);

// The preset called `name`, or null.
inline const HalvanePreset* HalvaneFindPreset(const char* name) {
    for (const HalvanePreset& preset : HALVANE_PRESETS)
        if (name && std::strcmp(preset.name, name) == 0)
            return &preset;
    return nullptr;
}

#endif
