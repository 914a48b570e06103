// The LV2 plugins of the bundle: one surround effect per instance, driven through the realtime entry.
//
// Graphs are built in instantiate and activate. run() applies the controls that changed since the
// last cycle, cleans the input into a scratch block and hands it to the library in chunks of at most
// one graph block, so any frame count and aliased buffers work without allocation. Only room size and
// filter frequency changes rebuild library state and allocate, and so does the first cycle after
// activate when the host set its controls only after activating (the graph is built again then).
// The library's only message (an unsupported layout) cannot arise with the fixed layouts here, so
// the plugin leaves the process-wide message handler alone.
#include <lv2/core/lv2.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "Halvane.h"
#include "HalvaneLayouts.h"
#include "Lv2Table.h"

using namespace halvane_lv2;

namespace {

// Frames handed to the library per call: one graph block, so the scratch below holds any chunk.
constexpr int CHUNK = HALVANE_MAX_BLOCK;
// Margin against the rounding of the library's own delay arithmetic.
constexpr double DELAY_MARGIN = 0.98;

struct Plugin {
    Variant variant{};
    PortInfo ports[MAX_PORTS]{};
    int portCount = 0;
    uint32_t rate = 48000;
    // Largest room side and source coordinate whose travel times fit the delay lines at this rate:
    // every distance in a square of this side stays below its diagonal.
    float maxExtent = 50.0f;

    CSurroundEffect effect;
    const float* in[2] = {};
    float* out[MAX_OUTPUTS] = {};
    const float* control[CONTROL_COUNT] = {};
    const float* speakerVolume[MAX_OUTPUTS] = {};

    float applied[CONTROL_COUNT] = {};     // control values the library has now
    float appliedVolume[MAX_OUTPUTS] = {}; // speaker volumes the library has now
    float scratch[2][CHUNK] = {};          // cleaned input of one chunk
    bool fresh = false;                    // built, and nothing processed since
};

// The value a control port asks for, clamped to its range and rounded as its kind says. A port that
// is not connected, or holds no number, keeps the value in force.
float WantedControl(const Plugin& p, int k, float current) {
    const ControlInfo& info = CONTROLS[k];
    const float* port = p.control[k];
    if (!port || !std::isfinite(*port))
        return current;
    float max = info.max;
    if (k == ROOM_WIDTH || k == ROOM_DEPTH || k == SOURCE_X || k == SOURCE_Y)
        max = std::min(max, p.maxExtent);
    const float v = std::min(std::max(*port, info.min), max);
    switch (info.kind) {
    case Kind::Toggle:
        return v > 0.5f ? 1.0f : 0.0f;
    case Kind::Integer:
        return std::nearbyint(v);
    case Kind::Float:
        break;
    }
    return v;
}

float WantedVolume(const Plugin& p, int c, float current) {
    const float* port = p.speakerVolume[c];
    if (!port || !std::isfinite(*port))
        return current;
    return std::min(std::max(*port, 0.0f), SPEAKER_VOLUME_MAX);
}

bool On(float v) {
    return v > 0.5f;
}

// The splitter follows the last of the two routing setters. With the high-pass stage on it reads the
// stage (which sits behind the delays); otherwise the delays or, without them, the LFE filter.
void Route(CSurroundEffect& fx, bool highPass, bool delays) {
    if (highPass) {
        fx.SetMoveOff(delays);
        fx.SetLowPass(true);
    } else {
        fx.SetLowPass(false);
        fx.SetMoveOff(delays);
    }
}

// Builds a fresh graph from the controls' current values: every parameter stored first, then the
// graph, then what only a built graph takes. This is the order a file renderer uses, so an instance
// and a render with the same settings give the same samples.
void Build(Plugin& p) {
    float v[CONTROL_COUNT];
    for (int k = 0; k < CONTROL_COUNT; ++k)
        v[k] = WantedControl(p, k, CONTROLS[k].def);
    float volumes[MAX_OUTPUTS];
    for (int c = 0; c < MAX_OUTPUTS; ++c)
        volumes[c] = WantedVolume(p, c, 1.0f);

    CSurroundEffect& fx = p.effect;
    fx.SetSmoothing(!On(v[EXACT]));
    fx.SetSpeakersConfig(p.variant.layout->code, true);
    StoreRoomControls(fx, v);
    fx.SetDryOutVolume(v[DRY_OUT]);
    fx.SetInverse(On(v[INVERT_RIGHT]));

    tWAVEFORMATEX format{};
    format.wFormatTag = 3; // IEEE float
    format.nChannels = static_cast<uint16_t>(p.variant.inputs);
    format.nSamplesPerSec = p.rate;
    format.wBitsPerSample = 32;
    format.nBlockAlign = static_cast<uint16_t>(4 * p.variant.inputs);
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    fx.Initialize(&format);

    // A fresh graph routes by the delay switch alone; the high-pass stage joins afterwards.
    if (On(v[HIGHPASS]))
        fx.SetLowPass(true);
    const LayoutInfo& layout = *p.variant.layout;
    for (int c = 0; c < layout.channels; ++c)
        if (c != HalvaneLfeChannel(layout) && volumes[c] != 1.0f)
            fx.SetVolumeChannel(layout.speakers[c], volumes[c]);

    std::copy(v, v + CONTROL_COUNT, p.applied);
    std::copy(volumes, volumes + MAX_OUTPUTS, p.appliedVolume);
    p.fresh = true;
}

// True when a control asks for another value than the library has.
bool ControlsChanged(const Plugin& p) {
    for (int k = 0; k < CONTROL_COUNT; ++k)
        if (WantedControl(p, k, p.applied[k]) != p.applied[k])
            return true;
    for (int c = 0; c < MAX_OUTPUTS; ++c)
        if (WantedVolume(p, c, p.appliedVolume[c]) != p.appliedVolume[c])
            return true;
    return false;
}

// Hands the library the controls that changed since the last cycle, and only those.
void ApplyChanges(Plugin& p) {
    float v[CONTROL_COUNT];
    bool changed[CONTROL_COUNT];
    bool any = false;
    for (int k = 0; k < CONTROL_COUNT; ++k) {
        v[k] = WantedControl(p, k, p.applied[k]);
        changed[k] = v[k] != p.applied[k];
        any = any || changed[k];
    }
    CSurroundEffect& fx = p.effect;
    if (any) {
        // First, so that the other changes of this cycle glide or jump as the new mode says.
        if (changed[EXACT])
            fx.SetSmoothing(!On(v[EXACT]));
        if (changed[ROOM_WIDTH] || changed[ROOM_DEPTH]) {
            // Resizing rescales the running source with the room; placing it again keeps it where
            // the source controls say.
            fx.SetRoomSize(v[ROOM_WIDTH], v[ROOM_DEPTH], true);
            fx.SetSoundPos(v[SOURCE_X], v[SOURCE_Y], true);
        } else if (changed[SOURCE_X] || changed[SOURCE_Y]) {
            fx.SetSoundPos(v[SOURCE_X], v[SOURCE_Y], true);
        }
        if (changed[VOLUME])
            fx.SetVolume(v[VOLUME], true);
        if (changed[LFE_VOLUME])
            fx.SetLFEVolume(v[LFE_VOLUME], true);
        if (changed[LFE_CUTOFF])
            fx.SetLFEMaxFreq(static_cast<int>(v[LFE_CUTOFF]), true);
        if (changed[HIGHPASS_FREQ])
            fx.SetLowPassFreq(static_cast<int>(v[HIGHPASS_FREQ]));
        if (changed[HIGHPASS] || changed[PROPAGATION_DELAY])
            Route(fx, On(v[HIGHPASS]), On(v[PROPAGATION_DELAY]));
        if (changed[REVERB])
            fx.SetReverb(On(v[REVERB]));
        if (changed[REVERB_WET])
            fx.SetRevWet(v[REVERB_WET]);
        if (changed[REVERB_DRY])
            fx.SetRevDry(v[REVERB_DRY]);
        if (changed[ABSORB])
            fx.SetRevAbsorb(v[ABSORB]);
        if (changed[HF_DECAY])
            fx.SetRevHFDecay(v[HF_DECAY]);
        if (changed[CORNER_CROSSFEED])
            fx.SetProcessAdvance(On(v[CORNER_CROSSFEED]));
        if (changed[DRY_OUT])
            fx.SetDryOutVolume(v[DRY_OUT]);
        if (changed[INVERT_RIGHT])
            fx.SetInverse(On(v[INVERT_RIGHT]));
        std::copy(v, v + CONTROL_COUNT, p.applied);
    }
    const LayoutInfo& layout = *p.variant.layout;
    for (int c = 0; c < layout.channels; ++c) {
        if (c == HalvaneLfeChannel(layout))
            continue;
        const float volume = WantedVolume(p, c, p.appliedVolume[c]);
        if (volume != p.appliedVolume[c]) {
            fx.SetVolumeChannel(layout.speakers[c], volume);
            p.appliedVolume[c] = volume;
        }
    }
}

// The library's final stage on the host's buffers: clamp to -1 .. 1 when asked, then negate the
// right-hand speakers when asked. The layouts here keep their channel order, so the buffers stay
// where they are.
void FinalStage(Plugin& p, int start, int n) {
    const bool clamp = On(p.applied[CLAMP]);
    const bool invert = On(p.applied[INVERT_RIGHT]);
    if (!clamp && !invert)
        return;
    float* channels[MAX_OUTPUTS];
    const int outputs = p.variant.layout->channels;
    for (int c = 0; c < outputs; ++c)
        channels[c] = p.out[c] + start;
    p.effect.PostProcessPlanar(channels, outputs, n, clamp);
}

// ---- LV2 entry points ----

const LV2_Descriptor* DescriptorTable();

LV2_Handle Instantiate(const LV2_Descriptor* descriptor, double rate, const char*,
                       const LV2_Feature* const*) {
    const int index = static_cast<int>(descriptor - DescriptorTable());
    if (index < 0 || index >= PLUGIN_COUNT || !(rate >= HALVANE_MIN_SAMPLE_RATE) ||
        rate > HALVANE_MAX_SAMPLE_RATE)
        return nullptr;
    Plugin* p = new (std::nothrow) Plugin();
    if (!p)
        return nullptr;
    try {
        p->variant = VariantOf(index);
        p->portCount = PortsOf(p->variant, p->ports);
        p->rate = static_cast<uint32_t>(std::lround(rate));
        const double reach = static_cast<double>(HALVANE_MAX_DELAY_SAMPLES) / p->rate *
                             static_cast<double>(HALVANE_SPEED_OF_SOUND) * DELAY_MARGIN / std::sqrt(2.0);
        p->maxExtent = static_cast<float>(std::min(50.0, reach));
        // A graph from the defaults, so that even a run before activate has something to pull.
        Build(*p);
    } catch (...) {
        delete p;
        return nullptr;
    }
    return p;
}

void ConnectPort(LV2_Handle handle, uint32_t port, void* data) {
    Plugin& p = *static_cast<Plugin*>(handle);
    if (port >= static_cast<uint32_t>(p.portCount))
        return;
    const PortInfo& info = p.ports[port];
    switch (info.role) {
    case PortRole::AudioIn:
        p.in[info.which] = static_cast<const float*>(data);
        break;
    case PortRole::AudioOut:
        p.out[info.which] = static_cast<float*>(data);
        break;
    case PortRole::Control:
        p.control[info.which] = static_cast<const float*>(data);
        break;
    case PortRole::SpeakerVolume:
        p.speakerVolume[info.which] = static_cast<const float*>(data);
        break;
    }
}

void Activate(LV2_Handle handle) {
    Plugin& p = *static_cast<Plugin*>(handle);
    try {
        // Fresh filter, delay and reverb state, built with the controls as they stand now.
        Build(p);
    } catch (const std::bad_alloc&) {
        // The graph of instantiate stays; run() keeps working with it.
    }
}

// A host that sets its controls after activate: nothing has been processed yet, so the graph must
// end up as a fresh one built with the values it asks for, and the first cycle sound exactly like
// a render with the same settings. In the smooth mode the changes are applied and then ended at
// once (switching the mode off and on ends every glide at its target), which allocates nothing: a
// graph that has processed nothing holds then what a fresh build holds. The exact mode builds the
// graph again (settings changed on a running graph do not all act as on a fresh one there); without
// memory the graph of activate stays.
void ApplyToFreshGraph(Plugin& p) {
    if (!On(p.applied[EXACT]) && !On(WantedControl(p, EXACT, p.applied[EXACT]))) {
        ApplyChanges(p);
        p.effect.SetSmoothing(false);
        p.effect.SetSmoothing(true);
        return;
    }
    try {
        Build(p);
    } catch (const std::bad_alloc&) {
    }
}

void Run(LV2_Handle handle, uint32_t sampleCount) {
    Plugin& p = *static_cast<Plugin*>(handle);
    const int inputs = p.variant.inputs;
    const int outputs = p.variant.layout->channels;
    for (int c = 0; c < inputs; ++c)
        if (!p.in[c])
            return;
    for (int c = 0; c < outputs; ++c)
        if (!p.out[c])
            return;
    if (p.fresh && ControlsChanged(p))
        ApplyToFreshGraph(p);
    p.fresh = false;
    ApplyChanges(p);

    const float* chunkIn[2] = {p.scratch[0], p.scratch[1]};
    float* chunkOut[MAX_OUTPUTS];
    for (uint32_t start = 0; start < sampleCount; start += CHUNK) {
        const int n = static_cast<int>(std::min<uint32_t>(CHUNK, sampleCount - start));
        // The copy also makes aliased input and output buffers safe. NaN and infinities would stay
        // in the reverb's loops for good, so they enter as silence.
        for (int c = 0; c < inputs; ++c) {
            const float* src = p.in[c] + start;
            float* dst = p.scratch[c];
            for (int i = 0; i < n; ++i)
                dst[i] = std::isfinite(src[i]) ? src[i] : 0.0f;
        }
        for (int c = 0; c < outputs; ++c)
            chunkOut[c] = p.out[c] + start;
        if (!p.effect.ProcessPlanar(chunkIn, inputs, chunkOut, outputs, n)) {
            for (int c = 0; c < outputs; ++c)
                std::memset(chunkOut[c], 0, sizeof(float) * static_cast<size_t>(n));
            continue;
        }
        FinalStage(p, static_cast<int>(start), n);
    }
}

void Deactivate(LV2_Handle) {}

void Cleanup(LV2_Handle handle) {
    delete static_cast<Plugin*>(handle);
}

const void* ExtensionData(const char*) {
    return nullptr;
}

struct Descriptors {
    std::string uris[PLUGIN_COUNT];
    LV2_Descriptor table[PLUGIN_COUNT];

    Descriptors() {
        for (int i = 0; i < PLUGIN_COUNT; ++i) {
            uris[i] = UriOf(VariantOf(i));
            table[i] = {uris[i].c_str(), Instantiate, ConnectPort,  Activate, Run,
                        Deactivate,      Cleanup,     ExtensionData};
        }
    }
};

const Descriptors& AllDescriptors() {
    static const Descriptors descriptors;
    return descriptors;
}

const LV2_Descriptor* DescriptorTable() {
    return AllDescriptors().table;
}

} // namespace

// The headphone plugins (HeadphonesPlugin.cpp) follow the speaker plugins.
const LV2_Descriptor* HeadphoneDescriptor(uint32_t index);

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < static_cast<uint32_t>(PLUGIN_COUNT) ? &DescriptorTable()[index]
                                                       : HeadphoneDescriptor(index - PLUGIN_COUNT);
}
