// RealtimeSanitizer check of the realtime entry: ProcessPlanar, called from a nonblocking function,
// over every layout and both input counts, with the smooth mode off and on. Between blocks, outside
// the nonblocking scope, every parameter changes, so the first block after each change (the glides
// starting, the reverb lines of a new room, a new layout, new routing) is checked as well as the
// steady state. RealtimeSanitizer ends the program at the first allocation, free, lock or system
// call made inside the nonblocking scope.
//
// The object's lock: ProcessPlanar enters it to serialise with the setters. An uncontended enter
// only tries the mutex, which is not a blocking call; a real wait goes through the blocking lock
// and is reported. rtsan.supp hides only the release of the mutex (see there).
//
// Two runs must be reported, to show that the sanitizer is live and that the suppressions hide
// neither allocations nor lock waits:
//   halvane_rtsan --must-fail   allocates inside the nonblocking scope on purpose;
//   halvane_rtsan --lock-wait   a second thread holds the object's lock (as a setter would) while
//                               the audio thread enters ProcessPlanar, which must wait.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "Halvane.h"
#include "HalvaneLayouts.h"

namespace {

constexpr int RATE = 48000;
// Block sizes a host might use, the largest block and one piece beyond it included.
constexpr int BLOCK_SIZES[] = {
    1, 7, 31, 64, 128, 480, 512, 1024, HALVANE_MAX_BLOCK - 1, HALVANE_MAX_BLOCK, HALVANE_MAX_BLOCK + 1, 6000};
constexpr int MAX_SAMPLES = 6000;
constexpr int MAX_OUTPUTS = HALVANE_MAX_CHANNELS;

#if defined(__clang__)
#pragma clang diagnostic push
// The library is not compiled with effect annotations; the runtime check is what proves it.
#pragma clang diagnostic ignored "-Wfunction-effects"
#endif

int RealtimeProcess(CSurroundEffect& effect, const float* const* in, int inputs, float* const* out,
                    int outputs, int samples) [[clang::nonblocking]] {
    return effect.ProcessPlanar(in, inputs, out, outputs, samples);
}

// Through a volatile pointer, so that the compiler cannot elide the allocation.
float* volatile g_allocated = nullptr;

float AllocateOnPurpose(int n) [[clang::nonblocking]] {
    g_allocated = new float[static_cast<size_t>(n)];
    g_allocated[0] = 1.0f;
    const float v = g_allocated[0];
    delete[] g_allocated;
    return v;
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// Host-owned buffers of the largest block: a test signal in, the speaker channels out.
struct Buffers {
    std::vector<std::vector<float>> in = std::vector<std::vector<float>>(2, std::vector<float>(MAX_SAMPLES));
    std::vector<std::vector<float>> out =
        std::vector<std::vector<float>>(MAX_OUTPUTS, std::vector<float>(MAX_SAMPLES));
    const float* inPtrs[2];
    float* outPtrs[MAX_OUTPUTS];

    Buffers() {
        for (int i = 0; i < MAX_SAMPLES; ++i) {
            in[0][i] = static_cast<float>((i * 37) % 200 - 100) / 100.0f;
            in[1][i] = static_cast<float>((i * 53) % 200 - 100) / 150.0f;
        }
        for (int j = 0; j < 2; ++j)
            inPtrs[j] = in[j].data();
        for (int k = 0; k < MAX_OUTPUTS; ++k)
            outPtrs[k] = out[k].data();
    }
};

// Every setter of the object, with values that differ from round to round. The layout changes
// every fourth round, so that most rounds run on a graph that has already processed.
void ChangeEverything(CSurroundEffect& effect, int round) {
    const float a = static_cast<float>(round % 5) / 4.0f; // 0 .. 1
    const float b = static_cast<float>(round % 3) / 2.0f; // 0 .. 1
    effect.SetVolume(0.5f + 0.5f * a, true);
    effect.SetLFEVolume(1.0f - 0.5f * b, true);
    effect.SetLFEMaxFreq(80 + 20 * (round % 4), true);
    effect.SetRoomSize(3.0f + 4.0f * a, 2.5f + 6.0f * b, true);
    effect.SetSoundPos(0.5f + 2.0f * b, 0.3f + 2.0f * a, true);
    if (round % 4 == 3)
        effect.SetSpeakersConfig(HALVANE_LAYOUTS[round % HALVANE_LAYOUT_COUNT].code, true);
    effect.SetSpeakerToChannel(HALVANE_SPEAKERS[round % HALVANE_SPEAKER_COUNT].bit, round % 10);
    effect.SetLowPass(round % 2 == 1);
    effect.SetLowPassFreq(60 + 10 * (round % 6));
    effect.SetMoveOff(round % 3 != 2);
    effect.SetInverse(round % 2 == 0);
    effect.SetProcessAdvance(round % 4 < 2);
    effect.SetReverb(round % 5 != 4);
    effect.SetRevDry(0.1f * b);
    effect.SetRevWet(1.0f + a);
    effect.SetRevAbsorb(0.1f + 0.2f * b);
    effect.SetRevHFDecay(0.3f + 0.3f * a);
    effect.SetDryOutVolume(0.3f + 0.4f * b);
    effect.SetVolumeChannel(HALVANE_SPEAKERS[(round + 3) % HALVANE_SPEAKER_COUNT].bit, 0.5f + 0.5f * b);
}

tWAVEFORMATEX Format(int inputs) {
    tWAVEFORMATEX format{};
    format.wFormatTag = 3;
    format.nChannels = static_cast<uint16_t>(inputs);
    format.nSamplesPerSec = RATE;
    format.wBitsPerSample = 32;
    return format;
}

int Fail(const char* what, int code, int inputs, bool smooth) {
    std::fprintf(stderr, "halvane_rtsan: %s (layout %d, %d input(s), smooth mode %s)\n", what, code, inputs,
                 smooth ? "on" : "off");
    return 1;
}

// One object per layout, input count and mode: the block sizes once with parameters unchanged
// (no warm-up: the first block after Initialize is realtime-safe too), then a change of every
// parameter before each further block. Fewer and more output buffers than speakers in turn.
int CheckOne(Buffers& io, int code, int inputs, bool smooth, long& blocks) {
    CSurroundEffect effect;
    effect.SetSpeakersConfig(code, false);
    effect.SetSmoothing(smooth);
    tWAVEFORMATEX format = Format(inputs);
    effect.Initialize(&format);
    if (effect.GetOutputChannels() < 2)
        return Fail("no graph", code, inputs, smooth);
    int round = 0;
    for (int pass = 0; pass < 3; ++pass) {
        for (int n : BLOCK_SIZES) {
            if (pass > 0)
                ChangeEverything(effect, round++);
            const int outputs = effect.GetOutputChannels();
            const int wanted = pass == 1 ? MAX_OUTPUTS : pass == 2 ? 1 : outputs;
            if (RealtimeProcess(effect, io.inPtrs, inputs, io.outPtrs, wanted, n) != 1)
                return Fail("refused inside the realtime scope", code, inputs, smooth);
            ++blocks;
        }
    }
    return 0;
}

// A setter holds the object's lock while it reports a layout code no layout has; this handler
// makes that report last 200 ms, so a control thread holds the lock as long as the test wants.
std::atomic<bool> g_lockHeld{false};
void SlowMessage(const char*, const char*, unsigned int) {
    g_lockHeld = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

// The audio thread enters ProcessPlanar while a second thread holds the object's lock: the wait
// must be reported. Returns only if it was not.
int LockWait(Buffers& io) {
    CSurroundEffect effect;
    tWAVEFORMATEX format = Format(2);
    effect.Initialize(&format);
    const int outputs = effect.GetOutputChannels(); // asked first: it waits for the lock too
    HalvaneSetMessageHandler(&SlowMessage);
    std::thread control([&] { effect.SetSpeakersConfig(0, false); });
    while (!g_lockHeld)
        std::this_thread::yield();
    RealtimeProcess(effect, io.inPtrs, 2, io.outPtrs, outputs, 64);
    control.join();
    std::printf("halvane_rtsan: the audio thread waited for the lock and nothing was reported\n");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--must-fail") == 0) {
        std::printf("allocating inside a nonblocking function: RealtimeSanitizer must stop here\n");
        return AllocateOnPurpose(argc + 15) == 1.0f ? 0 : 2;
    }
    Buffers io;
    if (argc > 1 && std::strcmp(argv[1], "--lock-wait") == 0)
        return LockWait(io);

    long blocks = 0;
    for (bool smooth : {false, true})
        for (const HalvaneLayoutInfo& layout : HALVANE_LAYOUTS)
            for (int inputs : {1, 2})
                if (CheckOne(io, layout.code, inputs, smooth, blocks) != 0)
                    return 1;
    std::printf("halvane_rtsan: %ld blocks over %zu layouts, 1 and 2 inputs, smooth mode off and on, "
                "every parameter changed between blocks: nothing reported\n",
                blocks, static_cast<size_t>(HALVANE_LAYOUT_COUNT));
    return 0;
}
