// libFuzzer target: drives CSurroundEffect through its public interface with an arbitrary sequence
// of calls decoded from the input bytes, and checks after every Process that the record is well
// formed. Built with AddressSanitizer and UndefinedBehaviorSanitizer, so a double free, a leak, an
// overrun or an undefined conversion anywhere below the interface ends the run; a kernel failure
// ends the process through the kernels' default handler, which libFuzzer reports as well.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "Halvane.h"
#include "HalvaneLayouts.h"

namespace {

// Longest record a call hands over, and the most sample frames one input may push through the
// graphs in total, so that a single input stays well inside the time limit.
constexpr int MAX_SAMPLES = 20000;
constexpr long SAMPLE_BUDGET = 120000;
constexpr int MAX_CALLS = 96;

// Codes no layout has, drawn beside the library's seven.
constexpr int BAD_LAYOUT_CODES[] = {0, -1, 319, 1023, 0x7fffffff};
constexpr int CODE_CHOICES = HALVANE_LAYOUT_COUNT + sizeof(BAD_LAYOUT_CODES) / sizeof(BAD_LAYOUT_CODES[0]);

int g_messages = 0;
// HALVANE_FUZZ_TRACE=1 prints every call, for reading a reproducer.
bool g_trace = false;
void CountMessage(const char* /*text*/, const char* /*caption*/, unsigned int /*style*/) {
    ++g_messages;
}

// Reads values from the fuzz input; past its end every read yields zero.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_pos >= m_size; }
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint32_t Word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = (v << 8) | Byte();
        return v;
    }
    bool Bool() { return (Byte() & 1) != 0; }
    int Range(int lo, int hi) { // lo..hi inclusive
        const uint32_t span = static_cast<uint32_t>(hi - lo) + 1u;
        return lo + static_cast<int>(Word() % span);
    }

    // Any float, with the odd values likely.
    float AnyFloat() {
        static const float special[] = {
            0.0f,
            -0.0f,
            1.0f,
            -1.0f,
            0.5f,
            2.0f,
            3.0f,
            50.0f,
            1e-30f,
            -1e-30f,
            1e30f,
            -1e30f,
            std::numeric_limits<float>::denorm_min(),
            std::numeric_limits<float>::max(),
            std::numeric_limits<float>::lowest(),
            std::numeric_limits<float>::infinity(),
            -std::numeric_limits<float>::infinity(),
            std::numeric_limits<float>::quiet_NaN(),
        };
        const uint8_t how = Byte();
        if (how < 96)
            return special[how % (sizeof(special) / sizeof(special[0]))];
        if (how < 176) // a plain value between -100 and 100
            return static_cast<float>(static_cast<int32_t>(Word())) / 21474836.0f;
        uint32_t bits = Word();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }

    // Any int, with the odd values likely.
    int AnyInt() {
        static const int special[] = {0,
                                      1,
                                      -1,
                                      2,
                                      9,
                                      10,
                                      11,
                                      80,
                                      100,
                                      8000,
                                      22050,
                                      24000,
                                      384000,
                                      1000000,
                                      -100,
                                      65535,
                                      1 << 30,
                                      std::numeric_limits<int>::max(),
                                      std::numeric_limits<int>::min()};
        const uint8_t how = Byte();
        if (how < 64)
            return special[how % (sizeof(special) / sizeof(special[0]))];
        if (how < 128)
            return HALVANE_SPEAKERS[how % HALVANE_SPEAKER_COUNT].bit;
        if (how < 192)
            return Range(-20, 30000);
        return static_cast<int>(Word());
    }

    int LayoutCode() {
        const uint8_t how = Byte();
        if (how < 224) {
            const int k = how % CODE_CHOICES;
            return k < HALVANE_LAYOUT_COUNT ? HALVANE_LAYOUTS[k].code
                                            : BAD_LAYOUT_CODES[k - HALVANE_LAYOUT_COUNT];
        }
        return AnyInt();
    }

    // Samples: a few straight from the input's bits (NaN and infinities included), the rest a
    // cheap deterministic signal.
    void Fill(float* buffer, int n) {
        const uint8_t how = Byte();
        uint32_t seed = Word();
        for (int i = 0; i < n; ++i) {
            if (how & 1 && i < 8 && !Empty()) {
                uint32_t bits = Word();
                std::memcpy(&buffer[i], &bits, sizeof(float));
                continue;
            }
            seed = seed * 1664525u + 1013904223u;
            buffer[i] = static_cast<float>(static_cast<int32_t>(seed)) / 2147483648.0f;
        }
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "halvane fuzz: %s\n", what);
    std::abort();
}

// Reads every sample of every channel, so that a buffer shorter than nSamples shows up as an
// overrun, and checks that no buffer is null or held twice.
void CheckBuffers(const _SOUNDDATAEX_& record) {
    const size_t channels = record.Channels.size();
    for (size_t i = 0; i < channels; ++i) {
        if (!record.Channels[i])
            Fail("null channel buffer");
        for (size_t j = i + 1; j < channels; ++j)
            if (record.Channels[i] == record.Channels[j])
                Fail("channel buffer held twice");
    }
    volatile float sink = 0.0f;
    for (float* buffer : record.Channels)
        for (int i = 0; i < record.nSamples; ++i)
            sink = sink + buffer[i];
    (void)sink;
}

// The length of one call's blocks: up to MAX_SAMPLES, now and then a negative one, and only what
// is left of the input's budget (past it, short blocks that keep the calls going).
int TakeSamples(Reader& in, long& budget) {
    int samples = in.Range(0, MAX_SAMPLES);
    if (in.Byte() < 16)
        samples = -in.Range(0, 5);
    if (samples > budget)
        samples = static_cast<int>(budget > 0 ? budget % 64 : 0);
    budget -= samples > 0 ? samples : 0;
    return samples;
}

// Builds a host record, hands it to Process (or GetBuffer) and checks what comes back.
void RunProcess(CSurroundEffect& effect, Reader& in, long& budget, bool viaGetBuffer, bool postProcess) {
    const int channels = in.Range(0, 3);
    const int samples = TakeSamples(in, budget);

    _SOUNDDATAEX_ record;
    record.nSamples = samples;
    record.nReserved = static_cast<int32_t>(in.Word());
    record.nUser = in.Word();
    for (int c = 0; c < channels; ++c) {
        float* buffer = new float[samples > 0 ? samples : 0];
        in.Fill(buffer, samples);
        record.Channels.push_back(buffer);
    }
    const std::vector<float*> before = record.Channels;
    const int32_t reserved = record.nReserved;
    const uint32_t user = record.nUser;

    const int result = viaGetBuffer ? effect.GetBuffer(&record) : effect.Process(&record);
    if (g_trace)
        std::fprintf(stderr, "  %s(%d channels, %d samples) = %d -> %zu channels (graph %d)\n",
                     viaGetBuffer ? "GetBuffer" : "Process", channels, samples, result,
                     record.Channels.size(), effect.GetOutputChannels());

    if (record.nSamples != samples)
        Fail("nSamples changed");
    if (result == 1) {
        if (static_cast<int>(record.Channels.size()) != effect.GetOutputChannels())
            Fail("channel count differs from the graph's output channels");
        if (record.nReserved != reserved || record.nUser != user)
            Fail("host fields not handed back");
    } else if (result == 0) {
        if (record.Channels != before)
            Fail("refused record changed");
    } else {
        Fail("Process returned neither 0 nor 1");
    }
    CheckBuffers(record);
    if (postProcess && result == 1) {
        // The final stage moves the record's buffers in place, each kept exactly once.
        if (!effect.PostProcessPlanar(record.Channels.data(), static_cast<int>(record.Channels.size()),
                                      samples))
            Fail("PostProcessPlanar refused a processed record");
        CheckBuffers(record);
    }
    record.Release(); // every buffer once: ASan reports a double free or a leak
}

void RunProcessPlanar(CSurroundEffect& effect, Reader& in, long& budget) {
    const int inputs = in.Range(0, 3);
    const int outputs = in.Range(0, 12);
    const int samples = TakeSamples(in, budget);
    const bool alias = in.Bool();

    const size_t length = samples > 0 ? static_cast<size_t>(samples) : 0;
    std::vector<std::unique_ptr<float[]>> storage;
    std::vector<const float*> inPtrs;
    std::vector<float*> outPtrs;
    for (int j = 0; j < inputs; ++j) {
        storage.emplace_back(new float[length]);
        in.Fill(storage.back().get(), static_cast<int>(length));
        inPtrs.push_back(storage.back().get());
    }
    for (int k = 0; k < outputs; ++k) {
        if (alias && k < inputs) {
            outPtrs.push_back(storage[k].get()); // the host may process in place
            continue;
        }
        storage.emplace_back(new float[length]);
        outPtrs.push_back(storage.back().get());
    }
    const int result = effect.ProcessPlanar(inPtrs.data(), inputs, outPtrs.data(), outputs, samples);
    if (result != 0 && result != 1)
        Fail("ProcessPlanar returned neither 0 nor 1");
    volatile float sink = 0.0f;
    for (float* buffer : outPtrs)
        for (size_t i = 0; i < length; ++i)
            sink = sink + buffer[i];
    (void)sink;
}

void Initialize(CSurroundEffect& effect, Reader& in) {
    tWAVEFORMATEX format{};
    const uint8_t how = in.Byte();
    format.nChannels = static_cast<uint16_t>(how < 240 ? how % 9 : in.Word());
    format.nSamplesPerSec = static_cast<uint32_t>(in.Range(1, static_cast<int>(HALVANE_MAX_SAMPLE_RATE)));
    const uint8_t rate = in.Byte();
    if (rate < 64) {
        static const uint32_t common[] = {1, 2, 8000, 22050, 44100, 48000, 96000, HALVANE_MAX_SAMPLE_RATE};
        format.nSamplesPerSec = common[rate % 8];
    } else if (rate < 68) {
        // Rates no stream has, which Initialize must refuse rather than build from.
        static const uint32_t absurd[] = {0, 0x80000000u, 0xffffffffu, HALVANE_MAX_SAMPLE_RATE + 1};
        format.nSamplesPerSec = absurd[rate % 4];
    }
    format.wFormatTag = 3;
    format.wBitsPerSample = 32;
    const uint16_t channels = format.nChannels;
    if (g_trace)
        std::fprintf(stderr, "  Initialize(%u channels, %u Hz)\n", channels, format.nSamplesPerSec);
    effect.Initialize(&format);
    if (format.nChannels != channels)
        Fail("Initialize did not give the format its channel count back");
}

// A node of the host's own that the facade may pull first (a pass-through).
CSurrBaseEffect g_hostNode;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    HalvaneSetMessageHandler(&CountMessage);
    g_trace = std::getenv("HALVANE_FUZZ_TRACE") != nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    std::unique_ptr<CSurroundEffect> effects[2] = {std::make_unique<CSurroundEffect>(),
                                                   std::make_unique<CSurroundEffect>()};
    long budget = SAMPLE_BUDGET;

    for (int call = 0; call < MAX_CALLS && !in.Empty(); ++call) {
        const uint8_t op = in.Byte();
        CSurroundEffect& e = *effects[op >> 7];
        if (g_trace)
            std::fprintf(stderr, "call %d: object %d op %d\n", call, op >> 7, (op & 127) % 40);
        switch ((op & 127) % 40) {
        case 0:
            e.SetVolume(in.AnyFloat(), in.Bool());
            break;
        case 1:
            e.SetLFEVolume(in.AnyFloat(), in.Bool());
            break;
        case 2:
            e.SetLFEMaxFreq(in.AnyInt(), in.Bool());
            break;
        case 3: {
            const float w = in.AnyFloat();
            const float d = in.AnyFloat();
            e.SetRoomSize(w, d, in.Bool());
            break;
        }
        case 4: {
            const float x = in.AnyFloat();
            const float y = in.AnyFloat();
            e.SetSoundPos(x, y, in.Bool());
            break;
        }
        case 5:
        case 6: {
            const int code = in.LayoutCode();
            e.SetSpeakersConfig(code, in.Bool());
            break;
        }
        case 7: {
            const int speaker = in.AnyInt();
            const int channel = in.AnyInt();
            const int r = e.SetSpeakerToChannel(speaker, channel);
            if (r != 0 && r != -1 && r != -2)
                Fail("SetSpeakerToChannel returned an unknown code");
            break;
        }
        case 8:
            e.SetLowPass(in.Bool());
            break;
        case 9:
            e.SetLowPassFreq(in.AnyInt());
            break;
        case 10:
            e.SetMoveOff(in.Bool());
            break;
        case 11:
            e.SetInverse(in.Bool());
            break;
        case 12:
            e.SetProcessAdvance(in.Bool());
            break;
        case 13:
            e.SetReverb(in.Bool());
            break;
        case 14:
            e.SetRevDry(in.AnyFloat());
            break;
        case 15:
            e.SetRevWet(in.AnyFloat());
            break;
        case 16:
            e.SetRevAbsorb(in.AnyFloat());
            break;
        case 17:
            e.SetRevHFDecay(in.AnyFloat());
            break;
        case 18:
            e.SetDryOutVolume(in.AnyFloat());
            break;
        case 19: {
            const int speaker = in.AnyInt();
            e.SetVolumeChannel(speaker, in.AnyFloat());
            break;
        }
        case 20:
        case 21:
        case 22:
            Initialize(e, in);
            break;
        case 23:
        case 24:
        case 25:
        case 26:
            RunProcess(e, in, budget, false, false);
            break;
        case 27:
            RunProcess(e, in, budget, true, in.Bool());
            break;
        case 28:
        case 29:
        case 30:
            RunProcessPlanar(e, in, budget);
            break;
        case 31: { // copy construction into either slot
            const int to = in.Bool();
            effects[to] = std::make_unique<CSurroundEffect>(e);
            break;
        }
        case 32: { // assignment, self-assignment included
            *effects[in.Bool()] = e;
            break;
        }
        case 33:
            e.SetInput(in.Bool() ? &g_hostNode : nullptr);
            break;
        case 34: { // the node interface the facade inherits
            CSurrBaseEffect& base = e;
            switch (in.Range(0, 4)) {
            case 0:
                base.SetSpeakersConfig(in.LayoutCode());
                break;
            case 1:
                base.Free();
                break;
            case 2:
                base.UpdateParams();
                break;
            case 3: {
                const float w = in.AnyFloat();
                base.SetRoomSize(w, in.AnyFloat());
                break;
            }
            default: {
                const float x = in.AnyFloat();
                base.SetSoundPos(x, in.AnyFloat());
                break;
            }
            }
            break;
        }
        case 35: {
            float a, b;
            e.GetRoomSize(a, b);
            e.GetSoundPos(a, b);
            const int outputs = e.GetOutputChannels();
            if (outputs < 0 || outputs > 10)
                Fail("output channel count out of range");
            if (e.GetChannelIndex(in.AnyInt()) > 9)
                Fail("channel index out of range");
            e.BuildChannelMap();
            break;
        }
        case 36: // a fresh object in either slot
            effects[in.Bool()] = std::make_unique<CSurroundEffect>();
            break;
        default: // parameters in their sane ranges, so that whole layouts get exercised
            e.SetSpeakersConfig(HALVANE_LAYOUTS[in.Range(0, HALVANE_LAYOUT_COUNT - 1)].code, true);
            break;
        }
    }
    return 0;
}
