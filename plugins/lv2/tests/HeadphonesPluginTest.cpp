// The headphone plugins as a host loads them: a URID map, the ports of the table, odd cycle
// lengths, the latency port, the HRTF path parameter, and no allocation in run().
#include <gtest/gtest.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <dlfcn.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "Lv2Table.h"
#include "support/CountingAllocator.h"
#include "support/Signals.h"

using namespace halvane_lv2;

namespace {

const LV2_Descriptor* EarDescriptor(int index) {
    static void* module = dlopen(HALVANE_LV2_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (!module)
        return nullptr;
    auto entry = reinterpret_cast<LV2_Descriptor_Function>(dlsym(module, "lv2_descriptor"));
    return entry ? entry(static_cast<uint32_t>(PLUGIN_COUNT + index)) : nullptr;
}

std::vector<std::string> g_uris;
LV2_URID MapUri(LV2_URID_Map_Handle, const char* uri) {
    for (size_t i = 0; i < g_uris.size(); ++i)
        if (g_uris[i] == uri)
            return static_cast<LV2_URID>(i + 1);
    g_uris.push_back(uri);
    return static_cast<LV2_URID>(g_uris.size());
}
LV2_URID_Map g_map{nullptr, MapUri};
const LV2_Feature g_mapFeature{LV2_URID__map, &g_map};
const LV2_Feature* const g_features[] = {&g_mapFeature, nullptr};

struct EarInstance {
    const LV2_Descriptor* d;
    LV2_Handle handle = nullptr;
    EarPortInfo ports[MAX_EAR_PORTS];
    int count;
    std::vector<std::vector<float>> in, out;
    float values[MAX_EAR_PORTS] = {};
    alignas(8) uint8_t events[4096] = {};

    EarInstance(int inputs, size_t frames)
        : d(EarDescriptor(inputs == 2 ? 0 : 1)), count(HeadphonePortsOf(inputs, ports)),
          in(inputs, std::vector<float>(frames)), out(2, std::vector<float>(frames)) {
        for (int i = 0; i < count; ++i)
            values[i] = ports[i].role == EarPortRole::Control  ? CONTROLS[ports[i].which].def
                        : ports[i].role == EarPortRole::Layout ? 63.0f
                                                               : 0.0f;
        ClearEvents();
        if (d)
            handle = d->instantiate(d, 48000.0, "/nowhere/", g_features);
        if (handle) {
            Connect(0);
            d->activate(handle);
        }
    }
    ~EarInstance() {
        if (handle)
            d->cleanup(handle);
    }
    void ClearEvents() {
        auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(events);
        seq->atom.type = MapUri(nullptr, LV2_ATOM__Sequence);
        seq->atom.size = sizeof(LV2_Atom_Sequence_Body);
        seq->body.unit = 0;
    }
    void Connect(size_t offset) {
        for (int i = 0; i < count; ++i) {
            void* data = &values[i];
            if (ports[i].role == EarPortRole::AudioIn)
                data = in[ports[i].which].data() + offset;
            else if (ports[i].role == EarPortRole::AudioOut)
                data = out[ports[i].which].data() + offset;
            else if (ports[i].role == EarPortRole::Events)
                data = events;
            d->connect_port(handle, static_cast<uint32_t>(i), data);
        }
    }
    float& Port(EarPortRole role, int which = 0) {
        for (int i = 0; i < count; ++i)
            if (ports[i].role == role && ports[i].which == which)
                return values[i];
        static float none;
        ADD_FAILURE() << "no such port";
        return none;
    }
    void Run(const std::vector<size_t>& cycles) {
        size_t done = 0;
        for (size_t k = 0; done < in[0].size(); ++k) {
            const size_t n = std::min(cycles[k % cycles.size()], in[0].size() - done);
            Connect(done);
            d->run(handle, static_cast<uint32_t>(n));
            ClearEvents();
            done += n;
        }
    }
    // A patch:Set of the HRTF parameter to `path`, delivered with the next cycle.
    void SetHrtf(const std::string& path) {
        LV2_Atom_Forge forge;
        lv2_atom_forge_init(&forge, &g_map);
        lv2_atom_forge_set_buffer(&forge, events, sizeof events);
        LV2_Atom_Forge_Frame seq, obj;
        lv2_atom_forge_sequence_head(&forge, &seq, 0);
        lv2_atom_forge_frame_time(&forge, 0);
        lv2_atom_forge_object(&forge, &obj, 0, MapUri(nullptr, LV2_PATCH__Set));
        lv2_atom_forge_key(&forge, MapUri(nullptr, LV2_PATCH__property));
        lv2_atom_forge_urid(&forge, MapUri(nullptr, HRTF_PARAMETER));
        lv2_atom_forge_key(&forge, MapUri(nullptr, LV2_PATCH__value));
        lv2_atom_forge_path(&forge, path.c_str(), static_cast<uint32_t>(path.size()));
        lv2_atom_forge_pop(&forge, &obj);
        lv2_atom_forge_pop(&forge, &seq);
    }
};

double Energy(const std::vector<float>& v) {
    double e = 0.0;
    for (float s : v)
        e += static_cast<double>(s) * s;
    return e;
}

#define SKIP_WITHOUT_KEMAR()                                                                                 \
    if (!std::ifstream("/usr/share/libmysofa/default.sofa").good())                                          \
    GTEST_SKIP() << "libmysofa's KEMAR set /usr/share/libmysofa/default.sofa is missing (libmysofa1)"

} // namespace

TEST(Lv2Headphones, DescriptorsFollowTheSpeakerPluginsAndNeedAUridMap) {
    for (int inputs : {2, 1}) {
        const LV2_Descriptor* d = EarDescriptor(inputs == 2 ? 0 : 1);
        ASSERT_NE(d, nullptr) << dlerror();
        EXPECT_EQ(d->URI, HeadphoneUriOf(inputs));
        EXPECT_EQ(d->instantiate(d, 48000.0, "/nowhere/", nullptr), nullptr); // no urid:map
        EXPECT_NE(d->extension_data(LV2_STATE__interface), nullptr);
    }
    EXPECT_EQ(EarDescriptor(HEADPHONE_PLUGIN_COUNT), nullptr);
}

TEST(Lv2Headphones, EarsReportTheirLatencyHearTheLeftWallOnTheLeftAndNeverAllocate) {
    SKIP_WITHOUT_KEMAR();
    EarInstance whole(2, 24000), cut(2, 24000);
    ASSERT_TRUE(whole.handle && cut.handle);
    for (EarInstance* e : {&whole, &cut}) {
        e->in = RandomChannels(2, 24000, 5u, 0.5f);
        e->Port(EarPortRole::Control, SOURCE_X) = 0.3f;
        e->Port(EarPortRole::Control, REVERB) = 0.0f;
        e->Port(EarPortRole::Layout) = 1599.0f; // 7.1: side speakers straight left and right
    }
    whole.Run({24000});
    cut.Run({1, 500, 37, 4096, 4095, 999});
    EXPECT_EQ(whole.Port(EarPortRole::Latency), 256.0f);
    EXPECT_GT(Energy(whole.out[0]), 2.0 * Energy(whole.out[1]));
    // The layout change of the first cycle happened before any sample: the cut run sounds the same.
    EXPECT_TRUE(SameBits(whole.out[0], cut.out[0]));
    EXPECT_TRUE(SameBits(whole.out[1], cut.out[1]));
    // Only the first cycle, which builds the 7.1 chain without a host worker, allocates.
    EarInstance steady(1, 12000);
    steady.in = RandomChannels(1, 12000, 6u, 0.5f);
    steady.Run({1000});
    const std::vector<size_t> cycles{1, 500, 37, 4096};
    EXPECT_EQ(counting::CountDuring([&] { steady.Run(cycles); }).Calls(), 0);
}

TEST(Lv2Headphones, AListenerNearTheLeftWallHearsACentredSourceOnTheRight) {
    SKIP_WITHOUT_KEMAR();
    // A centred source feeds every speaker alike; near the left wall most of them are to the right.
    for (float x : {0.3f, 2.7f}) {
        EarInstance e(1, 12000);
        ASSERT_TRUE(e.handle);
        e.in = RandomChannels(1, 12000, 7u, 0.5f);
        e.Port(EarPortRole::Control, REVERB) = 0.0f;
        e.Port(EarPortRole::Control, LISTENER_X) = x;
        e.Run({4096});
        const int nearEar = x < 1.5f ? 0 : 1;
        EXPECT_GT(Energy(e.out[1 - nearEar]), 1.5 * Energy(e.out[nearEar])) << "listener at x = " << x;
    }
}

TEST(Lv2Headphones, AnUnusableHrtfFileKeepsTheRunningSetAndAUsableOneIsTaken) {
    SKIP_WITHOUT_KEMAR();
    EarInstance e(1, 4800);
    ASSERT_TRUE(e.handle);
    e.in = RandomChannels(1, 4800, 7u, 0.5f);
    e.Run({4800});
    const std::vector<float> before = e.out[0];
    // The running chain goes on: the same input again sounds different, its tail still rings.
    e.SetHrtf("/nonexistent/set.sofa");
    e.Run({4800});
    EXPECT_GT(Energy(e.out[0]), 0.0);
    EXPECT_FALSE(SameBits(before, e.out[0]));
    // A usable file (the default set under its own name) gives a fresh chain: the first cycle again.
    e.SetHrtf("/usr/share/libmysofa/MIT_KEMAR_normal_pinna.sofa");
    e.Run({4800});
    EXPECT_TRUE(SameBits(before, e.out[0]));
    EXPECT_EQ(e.Port(EarPortRole::Latency), 256.0f);
}
