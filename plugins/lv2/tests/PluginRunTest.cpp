// The plugin module as a host loads it: dlopen, lv2_descriptor, instantiate, connect, activate, run.
// Checks run() with any frame count, aliased buffers and non-finite input, and counts the global
// allocation functions around thousands of cycles.
#include <gtest/gtest.h>
#include <lv2/core/lv2.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "Lv2Table.h"
#include "support/CountingAllocator.h"
#include "support/Signals.h"

using namespace halvane_lv2;
using counting::CountDuring;

// ---- A minimal host ----

namespace {

const LV2_Descriptor* Descriptor(int index) {
    static void* module = dlopen(HALVANE_LV2_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (!module)
        return nullptr;
    auto entry = reinterpret_cast<LV2_Descriptor_Function>(dlsym(module, "lv2_descriptor"));
    return entry ? entry(static_cast<uint32_t>(index)) : nullptr;
}

// One instance with every port connected to storage of its own; audio buffers hold `frames`.
struct Instance {
    const LV2_Descriptor* descriptor;
    LV2_Handle handle = nullptr;
    Variant variant;
    PortInfo ports[MAX_PORTS];
    int portCount;
    std::vector<std::vector<float>> in, out;
    float controls[MAX_PORTS];

    Instance(int index, size_t frames, double rate = 48000.0)
        : descriptor(Descriptor(index)), variant(VariantOf(index)), portCount(PortsOf(variant, ports)),
          in(variant.inputs, std::vector<float>(frames)),
          out(variant.layout->channels, std::vector<float>(frames)) {
        if (!descriptor)
            return;
        handle = descriptor->instantiate(descriptor, rate, "/nowhere/", nullptr);
        for (int i = 0; i < portCount; ++i) {
            const PortInfo& port = ports[i];
            if (port.role == PortRole::Control)
                controls[i] = CONTROLS[port.which].def;
            else if (port.role == PortRole::SpeakerVolume)
                controls[i] = 1.0f;
        }
        ConnectAll(0);
        descriptor->activate(handle);
    }
    ~Instance() {
        if (handle) {
            descriptor->deactivate(handle);
            descriptor->cleanup(handle);
        }
    }

    // Connects the audio ports `offset` frames into the buffers.
    void ConnectAll(size_t offset) {
        for (int i = 0; i < portCount; ++i) {
            const PortInfo& port = ports[i];
            void* data = &controls[i];
            if (port.role == PortRole::AudioIn)
                data = in[port.which].data() + offset;
            else if (port.role == PortRole::AudioOut)
                data = out[port.which].data() + offset;
            descriptor->connect_port(handle, static_cast<uint32_t>(i), data);
        }
    }

    float& Control(const char* symbol) {
        for (int i = 0; i < portCount; ++i)
            if (ports[i].role == PortRole::Control &&
                std::strcmp(CONTROLS[ports[i].which].symbol, symbol) == 0)
                return controls[i];
        static float none;
        ADD_FAILURE() << "no control " << symbol;
        return none;
    }

    // Runs the whole buffer in cycles of the given lengths, repeated.
    void RunInCycles(const std::vector<size_t>& cycles) {
        size_t done = 0;
        for (size_t k = 0; done < in[0].size(); ++k) {
            const size_t n = std::min(cycles[k % cycles.size()], in[0].size() - done);
            ConnectAll(done);
            descriptor->run(handle, static_cast<uint32_t>(n));
            done += n;
        }
    }
};

void FillNoise(Instance& instance, unsigned seed) {
    instance.in = RandomChannels(static_cast<int>(instance.in.size()), instance.in[0].size(), seed, 0.5f);
    instance.ConnectAll(0);
}

} // namespace

TEST(Lv2Plugin, EveryDescriptorInstantiatesWithoutHostFeatures) {
    ASSERT_NE(Descriptor(0), nullptr) << dlerror();
    for (int i = 0; i < PLUGIN_COUNT; ++i) {
        const LV2_Descriptor* d = Descriptor(i);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->URI, UriOf(VariantOf(i)));
        Instance instance(i, 64);
        EXPECT_NE(instance.handle, nullptr) << d->URI;
        EXPECT_EQ(d->extension_data("urn:anything"), nullptr);
    }
    EXPECT_EQ(Descriptor(PLUGIN_COUNT + HEADPHONE_PLUGIN_COUNT), nullptr); // the headphone plugins follow

    // The module's allocations reach this program's counters: building a graph allocates.
    EXPECT_GT(CountDuring([] { Instance instance(2, 64); }).Calls(), 20);
}

TEST(Lv2Plugin, AnyCycleLengthAndAliasedBuffersGiveTheSameSamples) {
    for (int index : {2, 6, 9}) { // 5.1, 7.1 (stereo in), 5.1 (mono in)
        SCOPED_TRACE(UriOf(VariantOf(index)));
        const size_t frames = 12000;
        Instance whole(index, frames), small(index, frames), aliased(index, frames);
        for (Instance* instance : {&whole, &small, &aliased}) {
            FillNoise(*instance, 5);
            instance->Control("corner_crossfeed") = 1.0f;
            instance->Control("highpass") = 1.0f;
        }
        whole.RunInCycles({frames});
        small.RunInCycles({1, 0, 7, 31, 4095, 4096, 4097, 1, 600});
        EXPECT_EQ(small.out, whole.out);

        // In place: each input buffer is also an output buffer.
        for (size_t c = 0; c < aliased.in.size(); ++c)
            aliased.out[c] = aliased.in[c];
        size_t done = 0;
        for (size_t n : {1000u, 1u, 5000u, 6000u}) {
            aliased.ConnectAll(done);
            for (size_t c = 0; c < aliased.in.size(); ++c)
                aliased.descriptor->connect_port(aliased.handle, static_cast<uint32_t>(c),
                                                 aliased.out[c].data() + done);
            aliased.descriptor->run(aliased.handle, static_cast<uint32_t>(n));
            done += n;
        }
        EXPECT_EQ(aliased.out, whole.out);
    }
}

TEST(Lv2Plugin, NonFiniteInputEntersAsSilenceAndControlsAreClamped) {
    const size_t frames = 9000;
    Instance bad(2, frames), clean(2, frames);
    FillNoise(bad, 8);
    FillNoise(clean, 8);
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity()};
    for (size_t i = 0; i < 30; ++i) {
        const size_t at = (i * 997) % frames;
        bad.in[i % 2][at] = specials[i % 3];
        clean.in[i % 2][at] = 0.0f;
    }
    bad.RunInCycles({256});
    clean.RunInCycles({256});
    EXPECT_EQ(bad.out, clean.out);
    for (const auto& channel : bad.out)
        for (float s : channel)
            ASSERT_TRUE(std::isfinite(s));

    // Values far outside the ranges reach the library as the range's ends.
    Instance wild(2, 4096), edge(2, 4096);
    FillNoise(wild, 3);
    FillNoise(edge, 3);
    wild.Control("room_width") = 1.0e9f;
    wild.Control("source_x") = -5.0f;
    wild.Control("absorb") = -1.0f;
    wild.Control("lfe_cutoff") = std::numeric_limits<float>::quiet_NaN();
    edge.Control("room_width") = 50.0f;
    edge.Control("source_x") = 0.0f;
    edge.Control("absorb") = 0.01f;
    wild.RunInCycles({512});
    edge.RunInCycles({512});
    EXPECT_EQ(wild.out, edge.out);
}

// With the controls gliding (the default) every control change is free of allocation, the room
// size and the cut-offs included, and so is the first cycle of a host that sets its controls after
// activate.
TEST(Lv2Plugin, SteadyRunsAndControlChangesAllocateNothing) {
    for (int index = 0; index < PLUGIN_COUNT; ++index) {
        SCOPED_TRACE(UriOf(VariantOf(index)));
        Instance instance(index, 9000);
        FillNoise(instance, static_cast<unsigned>(index));
        instance.Control("corner_crossfeed") = 1.0f;
        instance.Control("highpass") = 1.0f;
        instance.Control("room_width") = 5.0f;
        const bool lfe = (VariantOf(index).layout->code & HALVANE_LFE) != 0; // has an LFE cut-off
        if (lfe)
            instance.Control("lfe_cutoff") = 120.0f;
        const std::vector<size_t> cycles = {1, 0, 64, 128, 4096, 4097, 9000, 3};
        EXPECT_EQ(CountDuring([&] { instance.descriptor->run(instance.handle, 1); }).Calls(), 0)
            << "the first cycle takes the late controls without building anything";
        for (size_t n : cycles)
            instance.descriptor->run(instance.handle, static_cast<uint32_t>(n));
        const long calls =
            CountDuring([&] {
                for (int k = 0; k < 1500; ++k) {
                    if (k % 50 == 0) {
                        instance.Control("volume") = 0.5f + 0.01f * (k % 7);
                        instance.Control("source_x") = 0.5f + 0.1f * (k % 11);
                        instance.Control("reverb_wet") = 1.0f + 0.1f * (k % 3);
                        instance.Control("propagation_delay") = static_cast<float>(k % 2);
                        instance.Control("invert_right") = static_cast<float>(k % 3 == 0);
                        instance.Control("room_width") = 3.0f + 0.5f * (k % 9);
                        instance.Control("room_depth") = 4.0f + 0.25f * (k % 5);
                        if (lfe)
                            instance.Control("lfe_cutoff") = 80.0f + 5.0f * (k % 8);
                        instance.Control("highpass_freq") = 60.0f + 10.0f * (k % 4);
                    }
                    instance.descriptor->run(instance.handle, static_cast<uint32_t>(cycles[k % 4]));
                }
                for (size_t n : cycles)
                    instance.descriptor->run(instance.handle, static_cast<uint32_t>(n));
            }).Calls();
        EXPECT_EQ(calls, 0);
    }
}

// The plugin clamps every control to its range, the renderer takes the values as they are: a preset
// value outside a range would make the two disagree about the same preset.
TEST(Lv2Presets, EveryValueLiesInItsControlsRangeAndNamesAreCommandLineWords) {
    ASSERT_GE(HALVANE_PRESET_COUNT, 5);
    for (int i = 0; i < HALVANE_PRESET_COUNT; ++i) {
        const HalvanePreset& preset = HALVANE_PRESETS[i];
        const std::string name = preset.name;
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz-"), std::string::npos) << name;
        EXPECT_EQ(HalvaneFindPreset(preset.name), &preset) << name << " is not the only preset so called";
        PresetValue values[PRESET_VALUE_COUNT];
        PresetValuesOf(preset, values);
        for (const PresetValue& v : values) {
            const ControlInfo& c = CONTROLS[v.control];
            EXPECT_TRUE(v.value >= c.min && v.value <= c.max) << name << " " << c.symbol << " " << v.value;
        }
        EXPECT_LE(preset.sourceX, preset.roomWidth) << name;
        EXPECT_LE(preset.sourceY, preset.roomDepth) << name;
    }
    EXPECT_EQ(HalvaneFindPreset("no-such-room"), nullptr);
    EXPECT_EQ(HalvaneFindPreset(nullptr), nullptr);
}
