// The one table behind the LV2 bundle: its plugins, their ports and every control's range. The
// plugin module reads it to connect ports and clamp controls; the Turtle generator writes the bundle's
// description from it, so the two can never disagree about a port index.
#ifndef HALVANE_PLUGINS_LV2_LV2TABLE_H
#define HALVANE_PLUGINS_LV2_LV2TABLE_H

#include <string>

#include "Halvane.h"
#include "HalvaneLayouts.h"
#include "HalvanePresets.h"

namespace halvane_lv2 {

// Every plugin's URI starts with this.
constexpr const char* URI_BASE = "urn:halvane:lv2:";

// A speaker as the bundle names it: port symbol suffix ("fl"), human name ("Front left") and
// port-groups channel, all made from the library's speaker table.
struct SpeakerInfo {
    int bit;                 // speaker bit of the channel mask
    std::string symbol;      // port symbol suffix
    std::string name;        // human name
    const char* designation; // port-groups channel, without prefix
};

constexpr int MAX_OUTPUTS = HALVANE_MAX_LAYOUT_CHANNELS;

// A layout of the library's table with the port-groups class of its outputs.
struct LayoutInfo : HalvaneLayoutInfo {
    const char* group; // port-groups class of the outputs, without prefix
};

// Port-groups classes of the outputs, in the order of the library's layouts.
// clang-format off
constexpr LayoutInfo LAYOUTS[HALVANE_LAYOUT_COUNT] = {
    {HALVANE_LAYOUTS[0], "StereoGroup"},
    {HALVANE_LAYOUTS[1], "DiscreteGroup"},
    {HALVANE_LAYOUTS[2], "FivePointOneGroup"},
    {HALVANE_LAYOUTS[3], "SevenPointOneWideGroup"},
    {HALVANE_LAYOUTS[4], "DiscreteGroup"},
    {HALVANE_LAYOUTS[5], "DiscreteGroup"},
    {HALVANE_LAYOUTS[6], "SevenPointOneGroup"},
};
// clang-format on

constexpr int LAYOUT_COUNT = sizeof(LAYOUTS) / sizeof(LAYOUTS[0]);
// Each layout comes as a stereo-input plugin and as a mono-input one.
constexpr int PLUGIN_COUNT = 2 * LAYOUT_COUNT;

// One plugin: a layout and an input width. Stereo plugins come first, in layout order.
struct Variant {
    const LayoutInfo* layout;
    int inputs;
};

constexpr Variant VariantOf(int index) {
    return {&LAYOUTS[index % LAYOUT_COUNT], index < LAYOUT_COUNT ? 2 : 1};
}

enum class Kind { Float, Integer, Toggle };

struct ScalePoint {
    float value;
    const char* label;
};

// The library's parameters as controls. Values are clamped to [min, max] before they reach the
// library; the ranges keep the reverb loop stable and the travel-time delays within what the delay
// lines hold at common rates (a 50 m room at 192 kHz needs about 41000 of the 55904 samples).
enum Control {
    ROOM_WIDTH,
    ROOM_DEPTH,
    SOURCE_X,
    SOURCE_Y,
    VOLUME,
    LFE_VOLUME,
    LFE_CUTOFF,
    HIGHPASS,
    HIGHPASS_FREQ,
    PROPAGATION_DELAY,
    REVERB,
    REVERB_WET,
    REVERB_DRY,
    ABSORB,
    HF_DECAY,
    CORNER_CROSSFEED,
    DRY_OUT,
    INVERT_RIGHT,
    CLAMP,
    EXACT,
    LISTENER_X, // the headphone plugins' listener
    LISTENER_Y,
    CONTROL_COUNT
};

struct ControlInfo {
    const char* symbol;
    const char* name;
    Kind kind;
    float min, max, def;
    const char* unit; // units-extension resource without prefix, or null
    bool lfeOnly;     // only on layouts with an LFE speaker
    bool hidden;      // kept for completeness, not shown by hosts that honour notOnGUI
    const char* comment;
    ScalePoint points[4]; // label null ends the list
};

// clang-format off
constexpr ControlInfo CONTROLS[CONTROL_COUNT] = {
    {"room_width",  "Room width",  Kind::Float, 1.0f, 50.0f, HALVANE_DEFAULT_ROOM_WIDTH, "m", false, false,
     "Width of the room, left wall to right wall; the speakers stand on its walls", {}},
    {"room_depth",  "Room depth",  Kind::Float, 1.0f, 50.0f, HALVANE_DEFAULT_ROOM_DEPTH, "m", false, false,
     "Depth of the room, front wall to back wall", {}},
    {"source_x",    "Source X",    Kind::Float, 0.0f, 50.0f, HALVANE_DEFAULT_SOURCE_X, "m", false, false,
     "Position of the sound source from the left wall", {}},
    {"source_y",    "Source Y",    Kind::Float, 0.0f, 50.0f, HALVANE_DEFAULT_SOURCE_Y, "m", false, false,
     "Position of the sound source from the front wall", {}},
    {"volume",      "Volume",      Kind::Float, 0.0f, 4.0f, HALVANE_DEFAULT_VOLUME, "coef", false, false,
     "Master volume of every speaker but the LFE", {}},
    {"lfe_volume",  "LFE volume",  Kind::Float, 0.0f, 4.0f, HALVANE_DEFAULT_LFE_VOLUME, "coef", true, false,
     "Gain of the LFE speaker", {}},
    {"lfe_cutoff",  "LFE cut-off", Kind::Integer, 20.0f, 500.0f, HALVANE_DEFAULT_LFE_MAX_FREQ, "hz", true, false,
     "The LFE speaker gets the bass below this frequency", {{80.0f, "80 Hz"}, {100.0f, "100 Hz"}, {120.0f, "120 Hz"}}},
    {"highpass",    "High-pass",   Kind::Toggle, 0.0f, 1.0f, HALVANE_DEFAULT_LOW_PASS, nullptr, false, false,
     "Remove the bass from every speaker but the LFE; the stage sits behind the travel-time delays, "
     "which then always apply", {}},
    {"highpass_freq", "High-pass frequency", Kind::Integer, 20.0f, 500.0f, HALVANE_DEFAULT_LOW_PASS_FREQ, "hz", false, false,
     "Cut-off of the high-pass stage", {{60.0f, "60 Hz"}, {80.0f, "80 Hz"}, {120.0f, "120 Hz"}}},
    {"propagation_delay", "Propagation delay", Kind::Toggle, 0.0f, 1.0f, HALVANE_DEFAULT_MOVE_OFF, nullptr, false, false,
     "Delay each speaker by the sound's travel time from the source", {}},
    {"reverb",      "Reverb",      Kind::Toggle, 0.0f, 1.0f, HALVANE_DEFAULT_REVERB, nullptr, false, false,
     "Room reverb on every speaker", {}},
    {"reverb_wet",  "Reverb wet",  Kind::Float, 0.0f, 4.0f, HALVANE_DEFAULT_REV_WET, "coef", false, false,
     "Level of the reverb", {}},
    {"reverb_dry",  "Reverb dry",  Kind::Float, 0.0f, 4.0f, HALVANE_DEFAULT_REV_DRY, "coef", false, false,
     "Level of the direct sound inside the reverb branch", {}},
    {"absorb",      "Absorption",  Kind::Float, 0.01f, 1.0f, HALVANE_DEFAULT_REV_ABSORB, "coef", false, false,
     "Absorption of the walls; the tail decays faster as it grows", {}},
    {"hf_decay",    "HF decay",    Kind::Float, 0.0f, 0.99f, HALVANE_DEFAULT_REV_HF_DECAY, "coef", false, false,
     "Damping of the high frequencies in the reverb tail", {}},
    {"corner_crossfeed", "Corner cross-feed", Kind::Toggle, 0.0f, 1.0f, HALVANE_DEFAULT_PROCESS_ADVANCE, nullptr, false, false,
     "Feed each corner speaker's reverb to the other corners with the travel time across the room", {}},
    {"dry_out",     "Dry-out level", Kind::Float, 0.0f, 1.0f, HALVANE_DEFAULT_DRY_OUT_VOLUME, "coef", false, true,
     "Level kept by the library's sum stage; it does not change the sound", {}},
    {"invert_right", "Invert right", Kind::Toggle, 0.0f, 1.0f, HALVANE_DEFAULT_INVERSE, nullptr, false, false,
     "Invert the polarity of the right-hand speakers (front, back and side right)", {}},
    {"clamp",       "Clamp",       Kind::Toggle, 0.0f, 1.0f, 0.0f, nullptr, false, false,
     "Clamp every output sample to -1 .. 1", {}},
    {"exact",       "Exact jumps", Kind::Toggle, 0.0f, 1.0f, 0.0f, nullptr, false, false,
     "Apply control changes as jumps at block boundaries, the library's exact reference mode, instead of "
     "gliding over 20 ms; in that mode room-size and cut-off changes allocate memory", {}},
    {"listener_x",  "Listener X",  Kind::Float, -1.0f, 50.0f, -1.0f, "m", false, false,
     "Position of the listener from the left wall; -1: the middle of the room", {{-1.0f, "Middle of the room"}}},
    {"listener_y",  "Listener Y",  Kind::Float, -1.0f, 50.0f, -1.0f, "m", false, false,
     "Position of the listener from the front wall, facing it; -1: the middle of the room",
     {{-1.0f, "Middle of the room"}}},
};
// clang-format on

// The room, source, level, routing and reverb controls, stored in an effect before it is built, by
// every plugin alike and in the renderer's order: the room before the source (resizing rescales the
// source). The layout, the smooth mode and the plugin's own controls are the caller's.
inline void StoreRoomControls(CSurroundEffect& fx, const float (&v)[CONTROL_COUNT]) {
    fx.SetRoomSize(v[ROOM_WIDTH], v[ROOM_DEPTH], true);
    fx.SetSoundPos(v[SOURCE_X], v[SOURCE_Y], true);
    fx.SetVolume(v[VOLUME], true);
    fx.SetLFEVolume(v[LFE_VOLUME], true);
    fx.SetLFEMaxFreq(static_cast<int>(v[LFE_CUTOFF]), true);
    fx.SetLowPassFreq(static_cast<int>(v[HIGHPASS_FREQ]));
    fx.SetMoveOff(v[PROPAGATION_DELAY] > 0.5f);
    fx.SetReverb(v[REVERB] > 0.5f);
    fx.SetRevWet(v[REVERB_WET]);
    fx.SetRevDry(v[REVERB_DRY]);
    fx.SetRevAbsorb(v[ABSORB]);
    fx.SetRevHFDecay(v[HF_DECAY]);
    fx.SetProcessAdvance(v[CORNER_CROSSFEED] > 0.5f);
}

// Range of the per-speaker volume controls (every speaker but the LFE, which has its own).
constexpr float SPEAKER_VOLUME_MAX = 4.0f;

// A preset as control values: what each lv2:Preset of the bundle sets. The reverb is switched on,
// as the command-line renderer has it unless told otherwise.
struct PresetValue {
    Control control;
    float value;
};
constexpr int PRESET_VALUE_COUNT = 11;
void PresetValuesOf(const HalvanePreset& preset, PresetValue (&values)[PRESET_VALUE_COUNT]);

// The bundle's names of a speaker bit (one of the library's eleven).
SpeakerInfo SpeakerOfBit(int bit);
// Human name of a layout: the name ffprobe gives it, without brackets ("7.1 wide").
std::string TitleOf(const LayoutInfo& layout);

// URI of a plugin: the base, the layout's slug, and "-mono" for the mono-input plugin.
std::string UriOf(const Variant& variant);

// What a port index of a plugin stands for.
enum class PortRole { AudioIn, AudioOut, Control, SpeakerVolume };

struct PortInfo {
    PortRole role;
    int which; // input or output channel, Control value, or output channel of the speaker volume
};

constexpr int MAX_PORTS = 2 + MAX_OUTPUTS + CONTROL_COUNT + MAX_OUTPUTS;

// The ports of a plugin in index order: audio inputs, audio outputs, the controls that apply to the
// layout, then one volume per speaker but the LFE. Returns the port count.
int PortsOf(const Variant& variant, PortInfo (&ports)[MAX_PORTS]);

// ---- Headphone plugins ----
// One plugin per input width, with the layout as a control: whatever the layout, the outputs are the
// two ears, so a host keeps its wiring and a listener compares layouts by turning one knob. The
// speaker feed goes on to the binaural stage of libHalvaneHeadphones; its HRIRs come from a SOFA
// file set through the HRTF_PARAMETER path parameter (LV2 patch and state).
constexpr int HEADPHONE_PLUGIN_COUNT = 2; // stereo in, then mono in
constexpr const char* HEADPHONE_SLUG = "headphones";
constexpr const char* HRTF_PARAMETER = "urn:halvane:lv2:headphones#hrtf";

// The speaker plugins' controls that the headphone plugins have too: all but the ones that act on
// speaker channels the ears do not see (right-hand inversion, the sum stage's dry-out level).
constexpr bool IsHeadphoneControl(int k) {
    return k != INVERT_RIGHT && k != DRY_OUT;
}
// The listener's place matters to the headphone plugins only: speakers are heard where one sits.
constexpr bool IsSpeakerControl(int k) {
    return k != LISTENER_X && k != LISTENER_Y;
}

enum class EarPortRole { AudioIn, AudioOut, Layout, Control, Latency, Events };

struct EarPortInfo {
    EarPortRole role;
    int which; // input or output channel, or Control value
};

constexpr int MAX_EAR_PORTS = 2 + 2 + 1 + CONTROL_COUNT + 2;

// URI of a headphone plugin: the base, "headphones", and "-mono" for the mono-input plugin.
std::string HeadphoneUriOf(int inputs);

// The ports of a headphone plugin in index order: audio inputs, the two ears, the layout, the room
// controls, the latency it reports, the event input for the HRTF parameter, then the listener's
// place (added last, so the earlier ports keep their indices). Returns the count.
int HeadphonePortsOf(int inputs, EarPortInfo (&ports)[MAX_EAR_PORTS]);

} // namespace halvane_lv2

#endif
