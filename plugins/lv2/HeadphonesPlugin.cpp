// The headphone plugins of the bundle: a surround effect whose speaker feed goes on to the binaural
// stage, two ears out.
//
//   input --CSurroundEffect--> speaker feed (scratch) --CHalvaneHeadphones--> left, right
//
// Both stages live in one Chain. The layout, the room size, the listener's place and the SOFA file
// decide the virtual speakers' HRIRs, so a change of any of them builds a whole new Chain: on the host's
// worker thread when the host offers one (the SOFA file is read there, never in run()), otherwise in run()
// like the speaker plugins' room changes. The new Chain is swapped in between two cycles and the old one is
// freed on the worker. Every other control goes straight to the running Chain's setters.
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "Halvane.h"
#include "HalvaneHeadphones.h"
#include "Lv2Table.h"

using namespace halvane_lv2;

namespace {

constexpr int CHUNK = HALVANE_MAX_BLOCK; // frames per library call
constexpr int MAX_PATH = 1024;           // bytes of a SOFA file name, its terminating zero included

// What a Chain is built for: the values that choose the HRIRs.
struct ChainKey {
    int layout = HALVANE_DEFAULT_LAYOUT;
    float width = 3.0f;
    float depth = 3.0f;
    float listenerX = -1.0f; // metres; negative: the middle of the room
    float listenerY = -1.0f;
    char path[MAX_PATH] = {}; // empty: the library's default set
    bool operator==(const ChainKey& o) const {
        return layout == o.layout && width == o.width && depth == o.depth && listenerX == o.listenerX &&
               listenerY == o.listenerY && std::strcmp(path, o.path) == 0;
    }
};

struct Chain {
    ChainKey key;
    CSurroundEffect effect;
    CHalvaneHeadphones ears;
    float applied[CONTROL_COUNT] = {}; // control values the effect has now
};

struct Urids {
    LV2_URID atomPath, atomObject, atomBlank, atomResource, patchSet, patchProperty, patchValue, hrtf;
};

struct Plugin {
    int inputs = 2;
    uint32_t rate = 48000;
    Urids uri{};
    LV2_Worker_Schedule* schedule = nullptr;
    Chain* chain = nullptr; // owned
    ChainKey wanted;        // what the controls and the last HRTF message ask for
    bool pending = false;   // a Chain is being built on the worker
    const float* in[2] = {};
    float* out[2] = {};
    const float* layoutPort = nullptr;
    const float* control[CONTROL_COUNT] = {};
    float* latency = nullptr;
    const LV2_Atom_Sequence* events = nullptr;
    float scratch[2][CHUNK] = {};
    float speakers[MAX_OUTPUTS][CHUNK] = {};
};

float Wanted(const float* port, int k, float current) {
    const ControlInfo& info = CONTROLS[k];
    if (!port || !std::isfinite(*port))
        return current;
    const float v = std::min(std::max(*port, info.min), info.max);
    if (info.kind == Kind::Toggle)
        return v > 0.5f ? 1.0f : 0.0f;
    return info.kind == Kind::Integer ? std::nearbyint(v) : v;
}

int WantedLayout(const float* port, int current) {
    if (!port || !std::isfinite(*port))
        return current;
    for (const LayoutInfo& layout : LAYOUTS)
        if (static_cast<float>(layout.code) == std::nearbyint(*port))
            return layout.code;
    return current;
}

bool On(float v) {
    return v > 0.5f;
}

// One control to the running effect. Room size and source go together: resizing rescales the
// source, so it is placed again where its controls say.
void Apply(Chain& c, int k, const float* v) {
    CSurroundEffect& fx = c.effect;
    switch (k) {
    case ROOM_WIDTH:
    case ROOM_DEPTH:
        fx.SetRoomSize(v[ROOM_WIDTH], v[ROOM_DEPTH], true);
        fx.SetSoundPos(v[SOURCE_X], v[SOURCE_Y], true);
        break;
    case SOURCE_X:
    case SOURCE_Y:
        fx.SetSoundPos(v[SOURCE_X], v[SOURCE_Y], true);
        break;
    case VOLUME:
        fx.SetVolume(v[k], true);
        break;
    case LFE_VOLUME:
        fx.SetLFEVolume(v[k], true);
        break;
    case LFE_CUTOFF:
        fx.SetLFEMaxFreq(static_cast<int>(v[k]), true);
        break;
    case HIGHPASS:
    case PROPAGATION_DELAY:
        // The splitter follows the last of the two routing setters.
        if (On(v[HIGHPASS])) {
            fx.SetMoveOff(On(v[PROPAGATION_DELAY]));
            fx.SetLowPass(true);
        } else {
            fx.SetLowPass(false);
            fx.SetMoveOff(On(v[PROPAGATION_DELAY]));
        }
        break;
    case HIGHPASS_FREQ:
        fx.SetLowPassFreq(static_cast<int>(v[k]));
        break;
    case REVERB:
        fx.SetReverb(On(v[k]));
        break;
    case REVERB_WET:
        fx.SetRevWet(v[k]);
        break;
    case REVERB_DRY:
        fx.SetRevDry(v[k]);
        break;
    case ABSORB:
        fx.SetRevAbsorb(v[k]);
        break;
    case HF_DECAY:
        fx.SetRevHFDecay(v[k]);
        break;
    case CORNER_CROSSFEED:
        fx.SetProcessAdvance(On(v[k]));
        break;
    case EXACT:
        fx.SetSmoothing(!On(v[k])); // controls glide unless the exact jumps are asked for
        break;
    default: // clamp acts on the ears; the others are no headphone controls
        break;
    }
    c.applied[k] = v[k];
}

// A Chain for `key` with the controls' values: every parameter stored first, then the graph, then
// what only a built graph takes, as the speaker plugins and the renderer do. Null when the SOFA
// file cannot be used (or memory runs out); the running Chain then stays.
Chain* BuildChain(const ChainKey& key, const float* v, int inputs, uint32_t rate) {
    std::unique_ptr<Chain> c(new (std::nothrow) Chain());
    if (!c)
        return nullptr;
    try {
        c->key = key;
        CSurroundEffect& fx = c->effect;
        fx.SetSpeakersConfig(key.layout, true);
        float stored[CONTROL_COUNT];
        std::copy(v, v + CONTROL_COUNT, stored);
        stored[ROOM_WIDTH] = key.width; // the room the HRIRs are chosen for
        stored[ROOM_DEPTH] = key.depth;
        StoreRoomControls(fx, stored);
        fx.SetSmoothing(!On(v[EXACT]));
        tWAVEFORMATEX format{};
        format.wFormatTag = 3; // IEEE float
        format.nChannels = static_cast<uint16_t>(inputs);
        format.nSamplesPerSec = rate;
        format.wBitsPerSample = 32;
        fx.Initialize(&format);
        if (On(v[HIGHPASS]))
            fx.SetLowPass(true);
        HalvaneHeadphonesSettings hs;
        hs.layout = key.layout;
        hs.roomWidth = key.width;
        hs.roomDepth = key.depth;
        hs.listenerGiven = true;
        hs.listenerX = key.listenerX < 0.0f ? key.width * 0.5f : key.listenerX;
        hs.listenerY = key.listenerY < 0.0f ? key.depth * 0.5f : key.listenerY;
        hs.sampleRate = static_cast<int>(rate);
        hs.hrtfFile = key.path;
        std::string error;
        if (fx.GetOutputChannels() <= 0 || !c->ears.Initialize(hs, error))
            return nullptr;
        std::copy(v, v + CONTROL_COUNT, c->applied);
    } catch (...) {
        return nullptr;
    }
    return c.release();
}

// The controls that choose the HRIRs, into the key the next Chain is built for.
void WantKey(Plugin& p, const float (&v)[CONTROL_COUNT]) {
    p.wanted.layout = WantedLayout(p.layoutPort, p.wanted.layout);
    p.wanted.width = v[ROOM_WIDTH];
    p.wanted.depth = v[ROOM_DEPTH];
    p.wanted.listenerX = v[LISTENER_X];
    p.wanted.listenerY = v[LISTENER_Y];
}

// The controls' values now, for a new Chain.
void CurrentControls(const Plugin& p, float (&v)[CONTROL_COUNT]) {
    for (int k = 0; k < CONTROL_COUNT; ++k)
        v[k] = Wanted(p.control[k], k, p.chain ? p.chain->applied[k] : CONTROLS[k].def);
}

// Takes the HRTF path of a patch:Set for the HRTF parameter.
void ReadEvents(Plugin& p) {
    if (!p.events)
        return;
    LV2_ATOM_SEQUENCE_FOREACH(p.events, ev) {
        const LV2_Atom_Object* obj = reinterpret_cast<const LV2_Atom_Object*>(&ev->body);
        if ((obj->atom.type != p.uri.atomObject && obj->atom.type != p.uri.atomBlank) ||
            obj->body.otype != p.uri.patchSet)
            continue;
        const LV2_Atom* property = nullptr;
        const LV2_Atom* value = nullptr;
        lv2_atom_object_get(obj, p.uri.patchProperty, &property, p.uri.patchValue, &value, 0);
        if (!property || property->type != p.uri.atomResource ||
            reinterpret_cast<const LV2_Atom_URID*>(property)->body != p.uri.hrtf || !value ||
            value->type != p.uri.atomPath || value->size >= MAX_PATH)
            continue;
        std::memcpy(p.wanted.path, LV2_ATOM_BODY_CONST(value), value->size);
        p.wanted.path[value->size] = '\0';
    }
}

// ---- worker: messages are a Chain* to free, or a ChainKey plus the controls to build ----

struct BuildRequest {
    ChainKey key;
    float controls[CONTROL_COUNT];
};

LV2_Worker_Status Work(LV2_Handle handle, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle rh,
                       uint32_t size, const void* data) {
    Plugin& p = *static_cast<Plugin*>(handle);
    if (size == sizeof(Chain*)) {
        Chain* old = nullptr;
        std::memcpy(&old, data, sizeof old);
        delete old;
        return LV2_WORKER_SUCCESS;
    }
    if (size != sizeof(BuildRequest))
        return LV2_WORKER_ERR_UNKNOWN;
    const BuildRequest* request = static_cast<const BuildRequest*>(data);
    Chain* built = BuildChain(request->key, request->controls, p.inputs, p.rate);
    return respond(rh, sizeof built, &built);
}

LV2_Worker_Status WorkResponse(LV2_Handle handle, uint32_t size, const void* data) {
    Plugin& p = *static_cast<Plugin*>(handle);
    Chain* built = nullptr;
    if (size == sizeof built)
        std::memcpy(&built, data, sizeof built);
    p.pending = false;
    if (!built) {
        p.wanted = p.chain->key; // the file cannot be used: keep the running set until another is named
        return LV2_WORKER_SUCCESS;
    }
    Chain* old = p.chain;
    p.chain = built;
    p.schedule->schedule_work(p.schedule->handle, sizeof old, &old);
    return LV2_WORKER_SUCCESS;
}

// A new Chain when the layout, the room or the SOFA file changed: on the worker, or here without one.
void RequestChain(Plugin& p) {
    if (p.pending || p.wanted == p.chain->key)
        return;
    BuildRequest request;
    request.key = p.wanted;
    CurrentControls(p, request.controls);
    if (p.schedule) {
        if (p.schedule->schedule_work(p.schedule->handle, sizeof request, &request) == LV2_WORKER_SUCCESS)
            p.pending = true;
        return;
    }
    if (Chain* built = BuildChain(request.key, request.controls, p.inputs, p.rate)) {
        delete p.chain;
        p.chain = built;
    } else {
        p.wanted = p.chain->key;
    }
}

// ---- LV2 entry points ----

LV2_Handle Instantiate(const LV2_Descriptor* descriptor, double rate, const char*,
                       const LV2_Feature* const* features) {
    LV2_URID_Map* map = nullptr;
    LV2_Worker_Schedule* schedule = nullptr;
    for (int i = 0; features && features[i]; ++i) {
        if (!std::strcmp(features[i]->URI, LV2_URID__map))
            map = static_cast<LV2_URID_Map*>(features[i]->data);
        else if (!std::strcmp(features[i]->URI, LV2_WORKER__schedule))
            schedule = static_cast<LV2_Worker_Schedule*>(features[i]->data);
    }
    // HRIR sets are resampled from 8 kHz up; the room's delay lines hold a 50 m room up to 192 kHz.
    if (!map || !(rate >= 8000.0) || rate > 192000.0)
        return nullptr;
    std::unique_ptr<Plugin> p(new (std::nothrow) Plugin());
    if (!p)
        return nullptr;
    p->inputs = std::strstr(descriptor->URI, "-mono") ? 1 : 2;
    p->rate = static_cast<uint32_t>(std::lround(rate));
    p->schedule = schedule;
    const auto m = [&](const char* uri) { return map->map(map->handle, uri); };
    p->uri = {m(LV2_ATOM__Path), m(LV2_ATOM__Object),    m(LV2_ATOM__Blank),  m(LV2_ATOM__URID),
              m(LV2_PATCH__Set), m(LV2_PATCH__property), m(LV2_PATCH__value), m(HRTF_PARAMETER)};
    float v[CONTROL_COUNT];
    CurrentControls(*p, v);
    p->chain = BuildChain(p->wanted, v, p->inputs, p->rate);
    if (!p->chain)
        return nullptr; // not even the default SOFA file can be used
    return p.release();
}

void ConnectPort(LV2_Handle handle, uint32_t port, void* data) {
    Plugin& p = *static_cast<Plugin*>(handle);
    EarPortInfo ports[MAX_EAR_PORTS];
    const int count = HeadphonePortsOf(p.inputs, ports);
    if (port >= static_cast<uint32_t>(count))
        return;
    const EarPortInfo& info = ports[port];
    switch (info.role) {
    case EarPortRole::AudioIn:
        p.in[info.which] = static_cast<const float*>(data);
        break;
    case EarPortRole::AudioOut:
        p.out[info.which] = static_cast<float*>(data);
        break;
    case EarPortRole::Layout:
        p.layoutPort = static_cast<const float*>(data);
        break;
    case EarPortRole::Control:
        p.control[info.which] = static_cast<const float*>(data);
        break;
    case EarPortRole::Latency:
        p.latency = static_cast<float*>(data);
        break;
    case EarPortRole::Events:
        p.events = static_cast<const LV2_Atom_Sequence*>(data);
        break;
    }
}

void Activate(LV2_Handle handle) {
    Plugin& p = *static_cast<Plugin*>(handle);
    if (p.pending)
        return; // the Chain on its way is as fresh
    // Fresh filter, delay, reverb and convolution state, built with the controls as they stand now.
    float v[CONTROL_COUNT];
    CurrentControls(p, v);
    WantKey(p, v);
    if (Chain* built = BuildChain(p.wanted, v, p.inputs, p.rate)) {
        delete p.chain;
        p.chain = built;
    }
}

// The ears of one chunk, from the cleaned input in the scratch block.
void RunChunk(Plugin& p, int start, int n) {
    Chain& c = *p.chain;
    const int speakers = c.ears.GetInputChannels();
    const float* chunkIn[2] = {p.scratch[0], p.scratch[1]};
    float* feed[MAX_OUTPUTS];
    for (int s = 0; s < MAX_OUTPUTS; ++s)
        feed[s] = p.speakers[s];
    float* ears[2] = {p.out[0] + start, p.out[1] + start};
    if (!c.effect.ProcessPlanar(chunkIn, p.inputs, feed, speakers, n) ||
        !c.ears.Process(feed, speakers, ears, n)) {
        for (float* e : ears)
            std::memset(e, 0, sizeof(float) * static_cast<size_t>(n));
        return;
    }
    if (On(c.applied[CLAMP]))
        for (float* e : ears)
            for (int i = 0; i < n; ++i)
                e[i] = e[i] > 1.0f ? 1.0f : (e[i] >= -1.0f ? e[i] : -1.0f);
}

void Run(LV2_Handle handle, uint32_t sampleCount) {
    Plugin& p = *static_cast<Plugin*>(handle);
    for (int c = 0; c < p.inputs; ++c)
        if (!p.in[c])
            return;
    if (!p.out[0] || !p.out[1])
        return;
    ReadEvents(p);
    float v[CONTROL_COUNT];
    CurrentControls(p, v);
    WantKey(p, v);
    RequestChain(p);
    for (int k = 0; k < CONTROL_COUNT; ++k)
        if (IsHeadphoneControl(k) && k != ROOM_WIDTH && k != ROOM_DEPTH && v[k] != p.chain->applied[k])
            Apply(*p.chain, k, v);
    if (p.latency)
        *p.latency = static_cast<float>(p.chain->ears.GetLatency());

    for (uint32_t start = 0; start < sampleCount; start += CHUNK) {
        const int n = static_cast<int>(std::min<uint32_t>(CHUNK, sampleCount - start));
        // The copy makes aliased buffers safe; NaN and infinities enter as silence.
        for (int c = 0; c < p.inputs; ++c)
            for (int i = 0; i < n; ++i) {
                const float s = p.in[c][start + i];
                p.scratch[c][i] = std::isfinite(s) ? s : 0.0f;
            }
        RunChunk(p, static_cast<int>(start), n);
    }
}

void Deactivate(LV2_Handle) {}

void Cleanup(LV2_Handle handle) {
    Plugin* p = static_cast<Plugin*>(handle);
    delete p->chain;
    delete p;
}

// ---- state: the SOFA file ----

LV2_State_Status Save(LV2_Handle handle, LV2_State_Store_Function store, LV2_State_Handle sh, uint32_t,
                      const LV2_Feature* const* features) {
    Plugin& p = *static_cast<Plugin*>(handle);
    const char* path = p.chain->key.path;
    if (!*path)
        return LV2_STATE_SUCCESS; // the default set: nothing to keep
    LV2_State_Map_Path* mapPath = nullptr;
    for (int i = 0; features && features[i]; ++i)
        if (!std::strcmp(features[i]->URI, LV2_STATE__mapPath))
            mapPath = static_cast<LV2_State_Map_Path*>(features[i]->data);
    char* abstract = mapPath ? mapPath->abstract_path(mapPath->handle, path) : nullptr;
    const char* kept = abstract ? abstract : path;
    const LV2_State_Status status = store(sh, p.uri.hrtf, kept, std::strlen(kept) + 1, p.uri.atomPath,
                                          LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
    std::free(abstract);
    return status;
}

LV2_State_Status Restore(LV2_Handle handle, LV2_State_Retrieve_Function retrieve, LV2_State_Handle sh,
                         uint32_t, const LV2_Feature* const* features) {
    Plugin& p = *static_cast<Plugin*>(handle);
    size_t size = 0;
    uint32_t type = 0;
    uint32_t flags = 0;
    const void* value = retrieve(sh, p.uri.hrtf, &size, &type, &flags);
    std::string path;
    if (value && type == p.uri.atomPath && size > 0) {
        path.assign(static_cast<const char*>(value), strnlen(static_cast<const char*>(value), size));
        LV2_State_Map_Path* mapPath = nullptr;
        for (int i = 0; features && features[i]; ++i)
            if (!std::strcmp(features[i]->URI, LV2_STATE__mapPath))
                mapPath = static_cast<LV2_State_Map_Path*>(features[i]->data);
        if (char* absolute = mapPath ? mapPath->absolute_path(mapPath->handle, path.c_str()) : nullptr) {
            path = absolute;
            std::free(absolute);
        }
    }
    if (path.size() >= MAX_PATH)
        return LV2_STATE_ERR_UNKNOWN;
    // Restoring never runs beside run(): the new Chain goes in directly.
    ChainKey key = p.chain->key;
    std::memcpy(key.path, path.c_str(), path.size() + 1);
    float v[CONTROL_COUNT];
    CurrentControls(p, v);
    Chain* built = BuildChain(key, v, p.inputs, p.rate);
    if (!built)
        return LV2_STATE_ERR_UNKNOWN;
    delete p.chain;
    p.chain = built;
    p.wanted = key;
    return LV2_STATE_SUCCESS;
}

const void* ExtensionData(const char* uri) {
    static const LV2_Worker_Interface worker = {Work, WorkResponse, nullptr};
    static const LV2_State_Interface state = {Save, Restore};
    if (!std::strcmp(uri, LV2_WORKER__interface))
        return &worker;
    if (!std::strcmp(uri, LV2_STATE__interface))
        return &state;
    return nullptr;
}

struct Descriptors {
    std::string uris[HEADPHONE_PLUGIN_COUNT];
    LV2_Descriptor table[HEADPHONE_PLUGIN_COUNT];

    Descriptors() {
        for (int i = 0; i < HEADPHONE_PLUGIN_COUNT; ++i) {
            uris[i] = HeadphoneUriOf(i == 0 ? 2 : 1);
            table[i] = {uris[i].c_str(), Instantiate, ConnectPort,  Activate, Run,
                        Deactivate,      Cleanup,     ExtensionData};
        }
    }
};

} // namespace

// The headphone plugins' descriptors, after the speaker plugins' in the module's list.
const LV2_Descriptor* HeadphoneDescriptor(uint32_t index) {
    static const Descriptors descriptors;
    return index < static_cast<uint32_t>(HEADPHONE_PLUGIN_COUNT) ? &descriptors.table[index] : nullptr;
}
