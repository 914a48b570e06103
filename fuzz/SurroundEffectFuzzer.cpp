// libFuzzer target: drives CSurroundEffect through its public interface with an arbitrary sequence
// of calls decoded from the input bytes, and checks both the shape and the meaning of what comes
// back. Built with AddressSanitizer and UndefinedBehaviorSanitizer, so a double free, a leak, an
// overrun or an undefined conversion anywhere below the interface ends the run; a kernel failure
// ends the process through the kernels' default handler, which libFuzzer reports as well.
//
// The first byte picks how each object is shadowed by a twin that gets the same calls:
//   - no twin: every call of the interface, copies, assignment, GetBuffer with a host node and the
//     derived-class PostProcessing included;
//   - a twin given exactly the same calls: the two must give the same samples;
//   - a twin that processes the same samples in other block cuts, through ProcessPlanar where the
//     object uses Process and the other way round, or through Process in pieces: the samples must
//     agree bit for bit, save NaN payloads (Process and ProcessPlanar give the same samples, block
//     cuts do not matter);
// and whether the objects start in the smooth mode. Whatever the mode, every sample that comes back
// must be finite while every parameter is in its sane range and every input sample is finite and
// moderate; in the smooth mode NaN and infinite values and samples do not count against that, as
// the library ignores them there. Any violation aborts.
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

// Sample frames one input may push through an object, so that a run stays cheap (a frame of a
// 5.1 graph costs about 0.4 microseconds under the sanitizers, twice with a twin): long inputs are
// long call sequences rather than long records. Once per input a record may reach past one of
// the graph's 4096-sample blocks, up to MAX_SAMPLES; past the budget, records of a few samples
// keep every later call of a long sequence checked.
constexpr long SAMPLE_BUDGET = 800;
constexpr int MAX_SAMPLES = HALVANE_MAX_BLOCK + 800;
constexpr int MAX_CALLS = 400;
// Graph rebuilds (Initialize, a layout handed to the graph) one input may ask for: each costs one
// to a few milliseconds under the sanitizers (twice with a twin), more than everything else a long
// input does. Past them, Initialize is skipped and a layout is only stored.
constexpr int MAX_REBUILDS = 2;
// Largest input sample that still counts as sane for the finite-output check.
constexpr float MAX_SANE_SAMPLE = 1000.0f;

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
    // cheap deterministic signal in [-1, 1). Returns whether every sample is finite and at most
    // MAX_SANE_SAMPLE in size.
    bool Fill(float* buffer, int n) {
        const uint8_t how = Byte();
        uint32_t seed = Word();
        bool sane = true;
        for (int i = 0; i < n; ++i) {
            if (how & 1 && i < 8 && !Empty()) {
                uint32_t bits = Word();
                std::memcpy(&buffer[i], &bits, sizeof(float));
                sane = sane && std::fabs(buffer[i]) <= MAX_SANE_SAMPLE; // false for NaN
                continue;
            }
            seed = seed * 1664525u + 1013904223u;
            buffer[i] = static_cast<float>(static_cast<int32_t>(seed)) / 2147483648.0f;
        }
        return sane;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// The facade with its derived-class stage opened up, as a host that derives from it sees it.
class FuzzEffect : public CSurroundEffect {
public:
    FuzzEffect() = default;
    FuzzEffect(const FuzzEffect&) = default;
    FuzzEffect& operator=(const FuzzEffect&) = default;
    using CSurroundEffect::PostProcessing;
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "halvane fuzz: %s\n", what);
    std::abort();
}

// How a twin follows its object.
enum class Twin { None, SameCalls, OtherPath, ProcessPieces };

// Parameters whose value is outside the range in which the output must stay finite.
enum Insane : uint32_t {
    VOLUME = 1u << 0,
    LFE_VOLUME = 1u << 1,
    LFE_FREQ = 1u << 2,
    ROOM = 1u << 3,
    SOURCE = 1u << 4,
    LOWPASS_FREQ = 1u << 5,
    REV_DRY = 1u << 6,
    REV_WET = 1u << 7,
    ABSORB = 1u << 8,
    HF_DECAY = 1u << 9,
    DRY_OUT = 1u << 10,
    SPEAKER_VOLUME = 1u << 11, // lives in the graph: a new graph starts at 1.0
    RATE = 1u << 12,
};

// One object, its twin (when the mode has one) and what the fuzzer knows of their state.
struct Slot {
    std::unique_ptr<FuzzEffect> a;
    std::unique_ptr<FuzzEffect> b;
    uint32_t insane = 0;
    bool tainted = false; // the graph may hold non-finite state since it was built

    // Objects handed in (reset ones kept from an earlier input) are used; others are made.
    explicit Slot(Twin twin, bool smooth, std::unique_ptr<FuzzEffect> objectA = nullptr,
                  std::unique_ptr<FuzzEffect> objectB = nullptr)
        : a(objectA ? std::move(objectA) : std::make_unique<FuzzEffect>()) {
        if (twin != Twin::None)
            b = objectB ? std::move(objectB) : std::make_unique<FuzzEffect>();
        a->SetSmoothing(smooth);
        if (b)
            b->SetSmoothing(smooth);
    }
    bool Sane() const { return insane == 0 && !tainted; }
};

bool Between(float v, float lo, float hi) {
    return v >= lo && v <= hi; // false for NaN
}

// Records a setter's value: the smooth mode ignores NaN and infinities; otherwise an insane value
// marks its parameter, and once it may have reached the graph the graph's state is suspect until
// the next Initialize.
void Note(Slot* s, uint32_t bit, bool sane, bool finite, bool reachesGraph = true) {
    if (!s || (!finite && s->a->GetSmoothing()))
        return;
    if (sane) {
        s->insane &= ~bit;
    } else {
        s->insane |= bit;
        s->tainted = s->tainted || reachesGraph;
    }
}

bool Finite(float a, float b = 0.0f) {
    return std::isfinite(a) && std::isfinite(b);
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

// Finite samples beyond MAX_SANE_SAMPLE: the smooth mode takes them as they come.
bool HasHugeFinite(const std::vector<const float*>& channels, int n) {
    for (const float* channel : channels)
        for (int i = 0; i < n; ++i)
            if (std::isfinite(channel[i]) && std::fabs(channel[i]) > MAX_SANE_SAMPLE)
                return true;
    return false;
}

void CheckFinite(const float* const* channels, int count, int n) {
    for (int k = 0; k < count; ++k)
        for (int i = 0; i < n; ++i)
            if (!std::isfinite(channels[k][i]))
                Fail("non-finite output from sane parameters and input");
}

// Two samples are the same when their bits are, or when both are NaN. Which of two NaNs a sum
// hands on depends on the order of its operands, which the compiler is free to choose: with NaNs
// of two payloads in the input and the corner cross-feed on, block cuts change the payload of
// some NaN samples in the clang build (never a number, nor which samples are NaN).
bool SameSample(float x, float y) {
    return std::memcmp(&x, &y, sizeof x) == 0 || (std::isnan(x) && std::isnan(y));
}

void CheckSame(const float* const* a, const float* const* b, int count, int n, const char* what) {
    for (int k = 0; k < count; ++k)
        if (n > 0 && std::memcmp(a[k], b[k], sizeof(float) * static_cast<size_t>(n)) != 0)
            for (int i = 0; i < n; ++i)
                if (!SameSample(a[k][i], b[k][i]))
                    Fail(what);
}

// What an input may still push through an object: sample frames, and the one long record.
struct Budget {
    long frames = SAMPLE_BUDGET;
    bool longRecord = true;
};

// The length of one call's blocks: mostly short, rarely negative, once in a while (once per input)
// past one of the graph's blocks, and only what is left of the budget (past it, 0 to 7 samples).
int TakeSamples(Reader& in, Budget& budget) {
    const uint8_t how = in.Byte();
    if (how == 255 && budget.longRecord) {
        budget.longRecord = false;
        const int samples = in.Range(HALVANE_MAX_BLOCK - 200, MAX_SAMPLES);
        budget.frames -= samples;
        return samples;
    }
    int samples = how < 160 ? in.Range(0, 600) : how < 240 ? in.Range(0, 64) : -in.Range(0, 5);
    if (samples > budget.frames)
        samples %= 8;
    budget.frames -= samples > 0 ? samples : 0;
    return samples;
}

// Block cuts of the twin: drawn from their own generator, so that they take no input bytes.
class Cuts {
public:
    explicit Cuts(uint32_t seed) : m_state(seed * 2654435761u + 1u) {}
    int Next(int left) {
        m_state = m_state * 1664525u + 1013904223u;
        const uint32_t r = m_state >> 8;
        const int most = (r & 3) == 0 ? 5000 : (r & 3) == 1 ? 64 : 700;
        const int n = 1 + static_cast<int>((r >> 2) % static_cast<uint32_t>(most));
        return n < left ? n : left;
    }

private:
    uint32_t m_state;
};

// Host buffers reused from call to call: only records handed to Process must own new float[].
struct Scratch {
    std::vector<std::vector<float>> in;
    std::vector<std::vector<float>> out;
    void Size(size_t inputs, size_t outputs, size_t n) {
        if (in.size() < inputs)
            in.resize(inputs);
        if (out.size() < outputs)
            out.resize(outputs);
        for (size_t j = 0; j < inputs; ++j)
            if (in[j].size() < n)
                in[j].resize(n);
        for (size_t k = 0; k < outputs; ++k)
            if (out[k].size() < n)
                out[k].resize(n);
    }
};
Scratch g_scratch;

// `channels` buffers of n samples copied from `source`, in a record that owns them.
void MakeRecord(_SOUNDDATAEX_& record, const std::vector<const float*>& source, int n, int offset = 0) {
    for (const float* channel : source) {
        float* buffer = new float[n > 0 ? n : 0];
        if (n > 0)
            std::memcpy(buffer, channel + offset, sizeof(float) * static_cast<size_t>(n));
        record.Channels.push_back(buffer);
    }
    record.nSamples = n;
}

// Runs the twin over the same samples: as one call the same way (SameCalls), or in block cuts
// through ProcessPlanar (OtherPath, when the object used Process) or Process (the other cases).
// Writes `outputs` channels into out; returns 1 when every call succeeded.
int RunTwin(FuzzEffect& twin, Twin mode, bool objectUsedPlanar, const std::vector<const float*>& in, int n,
            float* const* out, int outputs, uint32_t seed) {
    const int inputs = static_cast<int>(in.size());
    const bool planar =
        mode == Twin::OtherPath ? !objectUsedPlanar : mode == Twin::SameCalls && objectUsedPlanar;
    Cuts cuts(seed);
    int all = 1;
    for (int start = 0; start < n;) {
        const int piece = mode == Twin::SameCalls ? n - start : cuts.Next(n - start);
        if (planar) {
            std::vector<const float*> inPtrs;
            std::vector<float*> outPtrs;
            for (const float* channel : in)
                inPtrs.push_back(channel + start);
            for (int k = 0; k < outputs; ++k)
                outPtrs.push_back(out[k] + start);
            all &= twin.ProcessPlanar(inPtrs.data(), inputs, outPtrs.data(), outputs, piece) == 1;
        } else {
            _SOUNDDATAEX_ record;
            MakeRecord(record, in, piece, start);
            const int result = twin.Process(&record);
            all &= result == 1;
            if (result == 1 && static_cast<int>(record.Channels.size()) < outputs)
                Fail("twin handed back fewer channels than its graph has");
            for (int k = 0; k < outputs && result == 1; ++k)
                std::memcpy(out[k] + start, record.Channels[k], sizeof(float) * static_cast<size_t>(piece));
            record.Release();
        }
        start += piece;
    }
    return all;
}

// Compares the twin's samples with the object's, and checks both for finite samples when the
// slot is sane. `result` is the object's return value.
void FollowWithTwin(Slot& s, Twin mode, bool objectUsedPlanar, const std::vector<const float*>& in, int n,
                    const float* const* objectOut, int outputs, int result, uint32_t seed) {
    if (!s.b || n <= 0)
        return;
    g_scratch.Size(0, static_cast<size_t>(outputs), static_cast<size_t>(n));
    std::vector<float*> twinOut;
    for (int k = 0; k < outputs; ++k)
        twinOut.push_back(g_scratch.out[k].data());
    const int twinResult = RunTwin(*s.b, mode, objectUsedPlanar, in, n, twinOut.data(), outputs, seed);
    if (twinResult != result)
        Fail("the twin's calls were refused where the object's were not, or the other way round");
    if (result == 1)
        CheckSame(objectOut, twinOut.data(), outputs, n,
                  mode == Twin::SameCalls   ? "two objects given the same calls differ"
                  : mode == Twin::OtherPath ? "Process and ProcessPlanar differ"
                                            : "other block cuts give other samples");
}

// Builds a host record, hands it to Process (or GetBuffer) and checks what comes back.
void RunProcess(Slot& s, Twin mode, Reader& in, Budget& budget, bool viaGetBuffer, bool postProcess,
                uint32_t seed) {
    FuzzEffect& effect = *s.a;
    const int channels = in.Range(0, 3);
    const int samples = TakeSamples(in, budget);
    const size_t length = samples > 0 ? static_cast<size_t>(samples) : 0;

    g_scratch.Size(static_cast<size_t>(channels), 0, length);
    std::vector<const float*> source;
    bool saneInput = true;
    for (int c = 0; c < channels; ++c) {
        saneInput = in.Fill(g_scratch.in[c].data(), samples) && saneInput;
        source.push_back(g_scratch.in[c].data());
    }
    _SOUNDDATAEX_ record;
    MakeRecord(record, source, samples);
    record.nReserved = static_cast<int32_t>(in.Word());
    record.nUser = in.Word();
    const std::vector<float*> before = record.Channels;
    const int32_t reserved = record.nReserved;
    const uint32_t user = record.nUser;
    const bool saneBefore = s.Sane();

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
        const bool taken = saneInput || (effect.GetSmoothing() && !HasHugeFinite(source, samples));
        if (!taken)
            s.tainted = true;
        if (saneBefore && taken)
            CheckFinite(record.Channels.data(), static_cast<int>(record.Channels.size()), samples);
    } else if (result == 0) {
        if (record.Channels != before)
            Fail("refused record changed");
    } else {
        Fail("Process returned neither 0 nor 1");
    }
    CheckBuffers(record);
    const int outputs = result == 1 ? static_cast<int>(record.Channels.size()) : 0;
    FollowWithTwin(s, mode, false, source, samples, record.Channels.data(), outputs, result, seed);
    if (postProcess && result == 1) {
        effect.PostProcessing(&record);
        if (record.nSamples != samples)
            Fail("PostProcessing changed nSamples");
        CheckBuffers(record);
    }
    record.Release(); // every buffer once: ASan reports a double free or a leak
}

void RunProcessPlanar(Slot& s, Twin mode, Reader& in, Budget& budget, uint32_t seed) {
    FuzzEffect& effect = *s.a;
    const int inputs = in.Range(0, 3);
    const int outputs = in.Range(0, 12);
    const int samples = TakeSamples(in, budget);
    const bool alias = in.Bool() && mode == Twin::None; // the twin needs the input kept

    const size_t length = samples > 0 ? static_cast<size_t>(samples) : 0;
    std::vector<std::unique_ptr<float[]>> storage;
    std::vector<const float*> inPtrs;
    std::vector<float*> outPtrs;
    bool saneInput = true;
    for (int j = 0; j < inputs; ++j) {
        storage.emplace_back(new float[length]);
        saneInput = in.Fill(storage.back().get(), static_cast<int>(length)) && saneInput;
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
    const bool saneBefore = s.Sane();
    const int graph = effect.GetOutputChannels();
    const int result = effect.ProcessPlanar(inPtrs.data(), inputs, outPtrs.data(), outputs, samples);
    if (g_trace)
        std::fprintf(stderr, "  ProcessPlanar(%d inputs, %d outputs, %d samples%s) = %d (graph %d)\n", inputs,
                     outputs, samples, alias ? ", in place" : "", result, graph);
    if (result != 0 && result != 1)
        Fail("ProcessPlanar returned neither 0 nor 1");
    if (result == 1 && samples > 0) {
        const int written = outputs < graph ? outputs : graph;
        for (int k = written; k < outputs; ++k)
            for (size_t i = 0; i < length; ++i)
                if (outPtrs[k][i] != 0.0f)
                    Fail("ProcessPlanar left a buffer past the graph's channels unsilenced");
        const bool taken = saneInput || (effect.GetSmoothing() && !HasHugeFinite(inPtrs, samples));
        if (saneBefore && taken)
            CheckFinite(outPtrs.data(), written, samples);
        if (!taken)
            s.tainted = true;
        // The twin works through Process, which hands back every channel of its graph.
        FollowWithTwin(s, mode, true, inPtrs, samples, outPtrs.data(), written, result, seed);
    } else if (s.b && mode != Twin::None) {
        // Refused or empty: the twin must refuse the same call (and stay as it is).
        std::vector<float*> twinOut(outPtrs.begin(), outPtrs.end());
        if (s.b->ProcessPlanar(inPtrs.data(), inputs, twinOut.data(), outputs, samples) != result)
            Fail("the twin's call was refused where the object's was not, or the other way round");
    }
}

// Returns true when a graph was built (and so its state is fresh).
bool Initialize(CSurroundEffect& effect, Reader& in, uint32_t& rate) {
    tWAVEFORMATEX format{};
    const uint8_t how = in.Byte();
    format.nChannels = static_cast<uint16_t>(how < 192 ? 1 + how % 2 : how < 250 ? how % 9 : in.Word());
    const uint8_t pick = in.Byte();
    if (pick < 200) {
        static const uint32_t common[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 8000};
        format.nSamplesPerSec = common[pick % 8];
    } else if (pick < 240) {
        static const uint32_t rare[] = {1, 2, 1000, 4000, 88200, 96000, 192000, 768000};
        format.nSamplesPerSec = rare[pick % 8];
    } else if (pick < 244) {
        // Rates no stream has, which Initialize must refuse rather than build from.
        static const uint32_t absurd[] = {0, 0x80000000u, 0xffffffffu, 768001};
        format.nSamplesPerSec = absurd[pick % 4];
    } else {
        format.nSamplesPerSec = static_cast<uint32_t>(in.Range(1, 768000));
    }
    format.wFormatTag = 3;
    format.wBitsPerSample = 32;
    const uint16_t channels = format.nChannels;
    if (g_trace)
        std::fprintf(stderr, "  Initialize(%u channels, %u Hz)\n", channels, format.nSamplesPerSec);
    effect.Initialize(&format);
    if (format.nChannels != channels)
        Fail("Initialize did not give the format its channel count back");
    rate = format.nSamplesPerSec;
    return (channels == 1 || channels == 2) && rate >= 1 && rate <= 768000;
}

// A node of the host's own that the facade may pull first (a pass-through).
CSurrBaseEffect g_hostNode;

// Decodes one setter call and makes it on `e`; with `s`, also records what it did to the slot's
// sanity (the twin's calls are made without: they are the object's). The twin gets the same call
// from a second reader at the same position.
void Setter(int op, FuzzEffect& e, Reader& in, Slot* s, bool rebuild) {
    switch (op) {
    case 0: {
        const float v = in.AnyFloat();
        const bool apply = in.Bool();
        e.SetVolume(v, apply);
        Note(s, VOLUME, Between(v, 0.0f, 8.0f), Finite(v), apply);
        break;
    }
    case 1: {
        const float v = in.AnyFloat();
        const bool apply = in.Bool();
        e.SetLFEVolume(v, apply);
        Note(s, LFE_VOLUME, Between(v, 0.0f, 8.0f), Finite(v), apply);
        break;
    }
    case 2: {
        const int f = in.AnyInt();
        const bool apply = in.Bool();
        e.SetLFEMaxFreq(f, apply);
        Note(s, LFE_FREQ, f >= 20 && f <= 2000, true, apply);
        break;
    }
    case 3: {
        const float w = in.AnyFloat();
        const float d = in.AnyFloat();
        const bool apply = in.Bool();
        e.SetRoomSize(w, d, apply);
        Note(s, ROOM, Between(w, 0.5f, 60.0f) && Between(d, 0.5f, 60.0f), Finite(w, d), apply);
        break;
    }
    case 4: {
        const float x = in.AnyFloat();
        const float y = in.AnyFloat();
        const bool apply = in.Bool();
        e.SetSoundPos(x, y, apply);
        Note(s, SOURCE, Between(x, -10.0f, 60.0f) && Between(y, -10.0f, 60.0f), Finite(x, y), apply);
        break;
    }
    case 5:
    case 6: {
        const int code = in.LayoutCode();
        const bool apply = in.Bool();
        e.SetSpeakersConfig(code, apply && rebuild);
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
    case 9: {
        const int f = in.AnyInt();
        e.SetLowPassFreq(f);
        Note(s, LOWPASS_FREQ, f >= 20 && f <= 2000, true);
        break;
    }
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
    case 14: {
        const float v = in.AnyFloat();
        e.SetRevDry(v);
        Note(s, REV_DRY, Between(v, 0.0f, 4.0f), Finite(v));
        break;
    }
    case 15: {
        const float v = in.AnyFloat();
        e.SetRevWet(v);
        Note(s, REV_WET, Between(v, 0.0f, 4.0f), Finite(v));
        break;
    }
    case 16: {
        const float v = in.AnyFloat();
        e.SetRevAbsorb(v);
        Note(s, ABSORB, Between(v, 0.02f, 1.0f), Finite(v));
        break;
    }
    case 17: {
        const float v = in.AnyFloat();
        e.SetRevHFDecay(v);
        Note(s, HF_DECAY, Between(v, 0.0f, 0.95f), Finite(v));
        break;
    }
    case 18: {
        const float v = in.AnyFloat();
        e.SetDryOutVolume(v);
        Note(s, DRY_OUT, Between(v, 0.0f, 8.0f), Finite(v));
        break;
    }
    case 19: {
        const int speaker = in.AnyInt();
        const float v = in.AnyFloat();
        const bool graph = e.GetOutputChannels() > 0;
        e.SetVolumeChannel(speaker, v);
        if (graph)
            Note(s, SPEAKER_VOLUME, Between(v, 0.0f, 8.0f), Finite(v));
        break;
    }
    case 37:
        e.SetSmoothing(in.Bool());
        break;
    default: // parameters in their sane ranges, so that whole layouts get exercised
        e.SetSpeakersConfig(HALVANE_LAYOUTS[in.Range(0, HALVANE_LAYOUT_COUNT - 1)].code, rebuild);
        break;
    }
}

// The node interface the facade inherits. The base resize and move rescale the facade's stored
// room and source without any check.
void BaseCall(FuzzEffect& e, Reader& in, Slot* s) {
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
        if (s)
            s->insane |= ROOM | SOURCE;
        break;
    }
    default: {
        const float x = in.AnyFloat();
        base.SetSoundPos(x, in.AnyFloat());
        if (s)
            s->insane |= SOURCE;
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    HalvaneSetMessageHandler(&CountMessage);
    g_trace = std::getenv("HALVANE_FUZZ_TRACE") != nullptr;
    return 0;
}

// The objects of each slot (object, twin) are kept from one input to the next: the graph a kept
// object builds takes over the sample memory of its last one, which spares most of the cost of a
// run under AddressSanitizer (it maps every large block on its own and marks it at allocation and
// at release). A kept object is assigned a default object as it is put aside, so the next input
// finds the parameters of a fresh one and no graph; whether it then gives a fresh object's
// samples is checked by the twin, which is a fresh object in one input of FRESH_TWIN_EVERY (the
// first one included, so an input run on its own uses fresh objects only).
constexpr unsigned FRESH_TWIN_EVERY = 64;
unsigned g_inputs = 0;
std::unique_ptr<FuzzEffect> g_kept[2][2];

// The object with a default object's parameters and no graph (its memory kept), or a new one.
std::unique_ptr<FuzzEffect> Renewed(std::unique_ptr<FuzzEffect> object) {
    if (!object)
        return std::make_unique<FuzzEffect>();
    *object = FuzzEffect();
    return object;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    const uint8_t setup = in.Byte();
    const Twin twin = static_cast<Twin>(setup & 3);
    const bool smooth = (setup & 4) != 0;
    const bool freshTwin = g_inputs++ % FRESH_TWIN_EVERY == 0;
    std::unique_ptr<Slot> slots[2];
    for (int k = 0; k < 2; ++k)
        slots[k] =
            std::make_unique<Slot>(twin, smooth, std::move(g_kept[k][0]),
                                   twin != Twin::None && !freshTwin ? std::move(g_kept[k][1]) : nullptr);
    Budget budget;
    int rebuilds = MAX_REBUILDS;

    for (int call = 0; call < MAX_CALLS && !in.Empty(); ++call) {
        const uint8_t op = in.Byte();
        Slot& s = *slots[op >> 7];
        const int kind = (op & 127) % 40;
        if (g_trace)
            std::fprintf(stderr, "call %d: object %d op %d\n", call, op >> 7, kind);
        const Reader start = in;
        const bool rebuilding = (kind >= 20 && kind <= 22) || kind == 5 || kind == 6 || kind >= 38;
        const bool rebuild = !rebuilding || rebuilds > 0;
        rebuilds -= rebuilding && rebuild;
        switch (kind) {
        case 20:
        case 21:
        case 22: {
            uint32_t rate = 0;
            if (!rebuild)
                break;
            if (Initialize(*s.a, in, rate)) {
                // The new graph is built from the stored values: one out of range now stays in
                // the graph, and may leave non-finite state there, even when a value set later
                // without applying it is sane again.
                s.tainted = (s.insane & ~(SPEAKER_VOLUME | RATE)) != 0;
                s.insane &= ~(SPEAKER_VOLUME | RATE);
                if (rate < 8000)
                    s.insane |= RATE;
            }
            if (s.b) {
                Reader again = start;
                Initialize(*s.b, again, rate);
            }
            break;
        }
        case 23:
        case 24:
        case 25:
        case 26:
            RunProcess(s, twin, in, budget, false, false, static_cast<uint32_t>(call));
            break;
        case 27: {
            const bool post = in.Bool();
            RunProcess(s, twin, in, budget, true, post, static_cast<uint32_t>(call));
            break;
        }
        case 28:
        case 29:
        case 30:
            RunProcessPlanar(s, twin, in, budget, static_cast<uint32_t>(call));
            break;
        case 31: { // copy construction into either slot, the copy assigned to the slot's own object
            Slot& to = *slots[in.Bool()];
            const FuzzEffect copyA(*s.a);
            std::unique_ptr<FuzzEffect> copyB = s.b ? std::make_unique<FuzzEffect>(*s.b) : nullptr;
            *to.a = copyA;
            if (copyB && to.b)
                *to.b = *copyB;
            else
                to.b = std::move(copyB);
            to.insane = s.insane & ~SPEAKER_VOLUME;
            to.tainted = s.tainted;
            break;
        }
        case 32: { // assignment, self-assignment included
            Slot& to = *slots[in.Bool()];
            *to.a = *s.a;
            if (s.b)
                *to.b = *s.b;
            to.insane = s.insane & ~SPEAKER_VOLUME;
            to.tainted = s.tainted;
            break;
        }
        case 33: {
            CSurrBaseEffect* node = in.Bool() ? &g_hostNode : nullptr;
            s.a->SetInput(node);
            if (s.b)
                s.b->SetInput(node);
            break;
        }
        case 34:
            BaseCall(*s.a, in, &s);
            if (s.b) {
                Reader again = start;
                BaseCall(*s.b, again, nullptr);
            }
            break;
        case 35: {
            float a, b;
            s.a->GetRoomSize(a, b);
            s.a->GetSoundPos(a, b);
            const int outputs = s.a->GetOutputChannels();
            if (outputs < 0 || outputs > 10)
                Fail("output channel count out of range");
            if (s.b && s.b->GetOutputChannels() != outputs)
                Fail("the twin's graph has another channel count");
            if (s.a->GetChannelIndex(in.AnyInt()) > 9)
                Fail("channel index out of range");
            s.a->BuildChannelMap();
            if (s.b)
                s.b->BuildChannelMap();
            break;
        }
        case 36: { // a fresh object in either slot, in the library's default mode: the slot's own, reset
            std::unique_ptr<Slot>& to = slots[in.Bool()];
            to = std::make_unique<Slot>(twin, false, Renewed(std::move(to->a)),
                                        to->b ? Renewed(std::move(to->b)) : nullptr);
            break;
        }
        default:
            Setter(kind, *s.a, in, &s, rebuild);
            if (s.b) {
                Reader again = start;
                Setter(kind, *s.b, again, nullptr, rebuild);
            }
            break;
        }
    }
    for (int k = 0; k < 2; ++k) {
        g_kept[k][0] = Renewed(std::move(slots[k]->a));
        if (slots[k]->b)
            g_kept[k][1] = Renewed(std::move(slots[k]->b));
    }
    return 0;
}
