#include "reverb/SurrReverbLockstep.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <new>

#include "core/SurrWorkerThread.h"
#include "reverb/SurrReverbFdnEffect.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#endif

namespace {

// The one-channel core's constants: its lines, Householder reflection, the mix output each line
// feeds (a one-channel core has the left bank only) and its wet divisor.
constexpr int LOCKSTEP_LINES = CSurrReverbFdnEffect::LINES;
constexpr double LOCKSTEP_HOUSEHOLDER = CSurrReverbFdnEffect::HOUSEHOLDER;
constexpr const int (&LOCKSTEP_PERMUTATION)[LOCKSTEP_LINES] = CSurrReverbFdnEffect::LEFT_PERMUTATION;
constexpr double WET_DIVISOR = CSurrReverbFdnEffect::WET_DIVISOR;
constexpr int32_t MAX_BLOCK = CSurrReverbFdnEffect::MAX_BLOCK;

struct LockstepArgs {
    float* const* line; // interleaved lines, at position 0
    const int32_t* length;
    int32_t* pos;
    double* state; // low-pass states (float values), interleaved
    const float* in;
    float* out;
    int32_t n;
    float gain, decay, scale, dry;
};

using RunFn = void (*)(LockstepArgs&);

// One block on two threads (see the split section of the kernel).
struct SplitArgs {
    float* const* line; // interleaved lines, at position 0
    const int32_t* length;
    const int32_t* start; // slot of chunk j's first frame in line k: start[j * LOCKSTEP_LINES + k]
    double* state;        // low-pass states: each half reads and writes its own six
    int32_t n;
    int32_t chunk; // frames between barriers: at most half the shortest line
    double gain, decay;
    float scale, dry;
    // Rings of per-frame values the halves hand each other: half 0's prefix sums, its last line's
    // values and its output pair sums; half 1's scaled line sums and its last line's values.
    float* prefix;
    float* lastLine0;
    float* sums;
    float* lastLine1;
    float* partial;
    // The whole block's input and output, lane-interleaved; the calling thread fills `x` before the
    // halves run and takes `out` back out (see `store`), so that the worker spends its share on the
    // network alone. Half 1's pair differences of one chunk.
    const float* x;
    float* out;
    double* pairs;
    double* low; // the low-pass states while the halves run, vector-aligned
    // Takes chunks [from, to) of `out` back out into the block's channels (the calling thread only,
    // while it waits for the other half; it does the rest after the steps).
    void (*store)(void* engine, int32_t from, int32_t to);
    void* engine;
    int32_t stored;          // chunks taken out so far
    CSurrSharedTasks* tasks; // task 2 * step + half
};

// Chunks of the block; the steps are two before the chunks, one per chunk and one after.
inline int32_t SplitChunks(const SplitArgs& a) {
    return (a.n + a.chunk - 1) / a.chunk;
}

using SplitFn = void (*)(SplitArgs&, int mine);

// Output j takes line j - 1 (a rotation): split anywhere, each half needs one line of the other.
constexpr bool PermutationRotates() {
    for (int k = 0; k < LOCKSTEP_LINES; ++k)
        if (LOCKSTEP_PERMUTATION[k] != (k + 1) % LOCKSTEP_LINES)
            return false;
    return true;
}
static_assert(PermutationRotates());

#if defined(__GNUC__)
// Vectors of W doubles and W floats; wider than the hardware they are split by the compiler.
template <int W>
struct Lanes;
template <>
struct Lanes<4> {
    typedef double D __attribute__((vector_size(32)));
    typedef float F __attribute__((vector_size(16)));
};
template <>
struct Lanes<8> {
    typedef double D __attribute__((vector_size(64)));
    typedef float F __attribute__((vector_size(32)));
};
#endif

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define HALVANE_LOCKSTEP_X86 1
#endif

#if defined(__GNUC__)
// Baseline build of the loop (SSE2 on x86-64).
namespace base {
#define LOCKSTEP_TARGET
#define LOCKSTEP_WIDEN(VD, x) __builtin_convertvector(x, VD)
#include "reverb/SurrReverbLockstepKernel.inc"
#undef LOCKSTEP_WIDEN
#undef LOCKSTEP_TARGET
} // namespace base
#endif

#ifdef HALVANE_LOCKSTEP_X86
namespace avx2 {
// Four floats widen in one instruction (the generic conversion goes by pairs; for eight it does
// better than two of these).
#define LOCKSTEP_TARGET __attribute__((target("avx2")))
#define LOCKSTEP_WIDEN(VD, x)                                                                                \
    ({                                                                                                       \
        VD widened_;                                                                                         \
        if constexpr (sizeof(VD) == 32)                                                                      \
            widened_ = (VD)_mm256_cvtps_pd((__m128)(x));                                                     \
        else                                                                                                 \
            widened_ = __builtin_convertvector(x, VD);                                                       \
        widened_;                                                                                            \
    })
#include "reverb/SurrReverbLockstepKernel.inc"
#undef LOCKSTEP_WIDEN
#undef LOCKSTEP_TARGET
} // namespace avx2
namespace avx512 {
// Eight floats widen in one instruction, four in one too (the generic conversion splits them in
// halves and puts them back together).
#define LOCKSTEP_TARGET __attribute__((target("avx512f")))
#define LOCKSTEP_WIDEN(VD, x)                                                                                \
    ({                                                                                                       \
        VD widened_;                                                                                         \
        if constexpr (sizeof(VD) == 64)                                                                      \
            widened_ = (VD)_mm512_maskz_cvtps_pd(0xFF, (__m256)(x));                                         \
        else if constexpr (sizeof(VD) == 32)                                                                 \
            widened_ = (VD)_mm256_cvtps_pd((__m128)(x));                                                     \
        else                                                                                                 \
            widened_ = __builtin_convertvector(x, VD);                                                       \
        widened_;                                                                                            \
    })
#include "reverb/SurrReverbLockstepKernel.inc"
#undef LOCKSTEP_WIDEN
#undef LOCKSTEP_TARGET
} // namespace avx512
#endif

#ifdef HALVANE_LOCKSTEP_X86
// Eight rows of eight floats (row r at rows[r]) transposed into eight rows at out, out + 8, ...
__attribute__((target("avx2"))) inline void Transpose8x8(const float* const* rows, float* const* out) {
    const __m256 r0 = _mm256_loadu_ps(rows[0]), r1 = _mm256_loadu_ps(rows[1]);
    const __m256 r2 = _mm256_loadu_ps(rows[2]), r3 = _mm256_loadu_ps(rows[3]);
    const __m256 r4 = _mm256_loadu_ps(rows[4]), r5 = _mm256_loadu_ps(rows[5]);
    const __m256 r6 = _mm256_loadu_ps(rows[6]), r7 = _mm256_loadu_ps(rows[7]);
    const __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1);
    const __m256 t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3);
    const __m256 t4 = _mm256_unpacklo_ps(r4, r5), t5 = _mm256_unpackhi_ps(r4, r5);
    const __m256 t6 = _mm256_unpacklo_ps(r6, r7), t7 = _mm256_unpackhi_ps(r6, r7);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    _mm256_storeu_ps(out[0], _mm256_permute2f128_ps(u0, u4, 0x20));
    _mm256_storeu_ps(out[1], _mm256_permute2f128_ps(u1, u5, 0x20));
    _mm256_storeu_ps(out[2], _mm256_permute2f128_ps(u2, u6, 0x20));
    _mm256_storeu_ps(out[3], _mm256_permute2f128_ps(u3, u7, 0x20));
    _mm256_storeu_ps(out[4], _mm256_permute2f128_ps(u0, u4, 0x31));
    _mm256_storeu_ps(out[5], _mm256_permute2f128_ps(u1, u5, 0x31));
    _mm256_storeu_ps(out[6], _mm256_permute2f128_ps(u2, u6, 0x31));
    _mm256_storeu_ps(out[7], _mm256_permute2f128_ps(u3, u7, 0x31));
}

// in[i * 8 + c] = channel[c][i] for n samples (n a multiple of 8).
__attribute__((target("avx2"))) void Interleave8(const float* const* channel, float* in, int32_t n) {
    for (int32_t i = 0; i < n; i += 8) {
        const float* rows[8];
        float* out[8];
        for (int r = 0; r < 8; ++r) {
            rows[r] = channel[r] + i;
            out[r] = in + (i + r) * 8;
        }
        Transpose8x8(rows, out);
    }
}

// channel[c][i] = out[i * 8 + c] for n samples (n a multiple of 8).
__attribute__((target("avx2"))) void Deinterleave8(const float* out, float* const* channel, int32_t n) {
    for (int32_t i = 0; i < n; i += 8) {
        const float* rows[8];
        float* dst[8];
        for (int r = 0; r < 8; ++r) {
            rows[r] = out + (i + r) * 8;
            dst[r] = channel[r] + i;
        }
        Transpose8x8(rows, dst);
    }
}
#endif

// Entry points of one instruction set, by lane count (index 0: 4, 1: 8) and damping. Two cores
// take four lanes too: vectors of two floats are no faster.
struct RunTable {
    RunFn plain[2];
    RunFn damp[2];
    SplitFn steps[2][2]; // [lanes][damping]
};

CSurrReverbLockstep::Isa BestIsa() {
#ifdef HALVANE_LOCKSTEP_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return CSurrReverbLockstep::Isa::Avx512;
    if (__builtin_cpu_supports("avx2"))
        return CSurrReverbLockstep::Isa::Avx2;
#endif
    return CSurrReverbLockstep::Isa::Sse2;
}

// Chosen once; an atomic, as several effects may start processing on several threads at once.
std::atomic<int> g_Isa{static_cast<int>(CSurrReverbLockstep::Isa::Auto)};
// Every block that can split does, the governor unasked (SplitAlways).
std::atomic<bool> g_SplitAlways{false};

const RunTable* Table() {
#if defined(__GNUC__)
    static const RunTable base = {{base::Run4, base::Run8},
                                  {base::Run4Damp, base::Run8Damp},
                                  {{base::Steps4, base::Steps4Damp}, {base::Steps8, base::Steps8Damp}}};
#ifdef HALVANE_LOCKSTEP_X86
    static const RunTable avx2 = {{avx2::Run4, avx2::Run8},
                                  {avx2::Run4Damp, avx2::Run8Damp},
                                  {{avx2::Steps4, avx2::Steps4Damp}, {avx2::Steps8, avx2::Steps8Damp}}};
    static const RunTable avx512 = {
        {avx512::Run4, avx512::Run8},
        {avx512::Run4Damp, avx512::Run8Damp},
        {{avx512::Steps4, avx512::Steps4Damp}, {avx512::Steps8, avx512::Steps8Damp}}};
    switch (CSurrReverbLockstep::ActiveIsa()) {
    case CSurrReverbLockstep::Isa::Avx512:
        return &avx512;
    case CSurrReverbLockstep::Isa::Avx2:
        return &avx2;
    default:
        return &base;
    }
#else
    return &base;
#endif
#else
    return nullptr; // no vector extensions: the cores run one by one
#endif
}

int LanesFor(int count) {
    return count <= 4 ? 4 : 8;
}

int LaneIndex(int lanes) {
    return lanes == 4 ? 0 : 1;
}

const FdnBank& Bank(const CSurrReverbFdnEffect* core) {
    return core->m_LeftBank;
}

} // namespace

// Scratch of the two-thread split: what the halves hand each other, chunk by chunk, and each half's
// own (see the kernel).
struct CSurrReverbLockstep::Split {
    static constexpr int32_t CHUNK = 128; // frames between barriers at most
    static constexpr int32_t FRAME = CHUNK * MAX_LANES;
    static constexpr int32_t MAX_CHUNKS = MAX_BLOCK / (SPLIT_MIN_LINE / 2);
    static_assert(2 * (MAX_CHUNKS + 3) <= CSurrSharedTasks::MAX_TASKS,
                  "two tasks a step for the shortest chunks");
    alignas(64) float prefix[2 * FRAME];
    alignas(64) float lastLine0[3 * FRAME];
    alignas(64) float sums[2 * FRAME];
    alignas(64) float lastLine1[2 * FRAME];
    alignas(64) float partial[2 * FRAME];
    alignas(64) float x[MAX_BLOCK * MAX_LANES];
    alignas(64) float out[MAX_BLOCK * MAX_LANES];
    alignas(64) double pairs[LOCKSTEP_LINES / 2 * FRAME]; // half 1 has at most all six output pairs
    alignas(64) double low[LOCKSTEP_LINES * MAX_LANES];
    int32_t start[MAX_CHUNKS * LOCKSTEP_LINES];
    CSurrSharedTasks tasks;
    SplitArgs args;
    SplitFn steps;
    float* const* channels; // the block being processed
    int count;
};

CSurrReverbLockstep::Isa CSurrReverbLockstep::ActiveIsa() {
    int isa = g_Isa.load(std::memory_order_relaxed);
    if (isa == static_cast<int>(Isa::Auto)) {
        isa = static_cast<int>(BestIsa());
        g_Isa.store(isa, std::memory_order_relaxed);
    }
    return static_cast<Isa>(isa);
}

CSurrReverbLockstep::Isa CSurrReverbLockstep::Force(Isa isa) {
    const Isa best = BestIsa();
    if (isa == Isa::Auto || static_cast<int>(isa) <= static_cast<int>(best))
        g_Isa.store(static_cast<int>(isa == Isa::Auto ? best : isa), std::memory_order_relaxed);
    return ActiveIsa();
}

bool CSurrReverbLockstep::SplitAlways(bool always) {
    return g_SplitAlways.exchange(always, std::memory_order_relaxed);
}

bool CSurrReverbLockstep::WillSplit(int32_t n) const {
    return m_pSplit && n >= SPLIT_MIN_BLOCK &&
           (g_SplitAlways.load(std::memory_order_relaxed) || m_Governor.WouldSplit());
}

CSurrReverbLockstep::CSurrReverbLockstep() = default;

CSurrReverbLockstep::~CSurrReverbLockstep() {
    Release();
}

void CSurrReverbLockstep::Release() {
    ::operator delete[](m_pStorage, std::align_val_t(64));
    m_pStorage = nullptr;
    m_nCapacity = 0;
    m_nCores = 0;
    m_nLanes = 0;
}

// Same cores, same line sets: the ids change whenever a core rebuilds its lines.
bool CSurrReverbLockstep::Holds(CSurrReverbFdnEffect* const* cores, int count) const {
    if (m_nCores == 0 || count != m_nCores)
        return false;
    for (int c = 0; c < count; ++c)
        if (!cores[c] || cores[c]->m_nLineSetId != m_nLineSetId[c])
            return false;
    return true;
}

// One-channel cores with equal levels (compared as stored: a NaN level runs the cores one by one).
bool CSurrReverbLockstep::LevelsAgree(CSurrReverbFdnEffect* const* cores, int count) {
    const CSurrReverbFdnEffect* first = cores[0];
    for (int c = 0; c < count; ++c) {
        const CSurrReverbFdnEffect* core = cores[c];
        if (core->m_nChannels != 1 ||
            !(core->m_fDry == first->m_fDry && core->m_fWet == first->m_fWet &&
              core->m_fFeedbackGain == first->m_fFeedbackGain && core->m_fHFDecay == first->m_fHFDecay))
            return false;
    }
    return true;
}

// One-channel cores with lines of equal lengths and equal levels. Positions are compared only when
// the engine takes the samples over; from then on they move together by construction.
bool CSurrReverbLockstep::CanRun(CSurrReverbFdnEffect* const* cores, int count) const {
    if (count < 2 || count > MAX_LANES || !Table())
        return false;
    const CSurrReverbFdnEffect* first = cores[0];
    if (!first)
        return false;
    for (int c = 0; c < count; ++c) {
        const CSurrReverbFdnEffect* core = cores[c];
        if (!core || !Bank(core).m_pLine[0] || core->m_nLineSetId == 0)
            return false;
        for (int k = 0; k < LOCKSTEP_LINES; ++k)
            if (Bank(core).m_nLineLength[k] != Bank(first).m_nLineLength[k] || !Bank(core).m_pLine[k])
                return false;
    }
    return LevelsAgree(cores, count);
}

bool CSurrReverbLockstep::Allocate(int lanes, const int32_t* lengths) {
    int64_t total = 0;
    for (int k = 0; k < LOCKSTEP_LINES; ++k)
        total += static_cast<int64_t>(lengths[k]) * lanes;
    if (total > m_nCapacity) {
        float* storage = static_cast<float*>(
            ::operator new[](sizeof(float) * static_cast<size_t>(total), std::align_val_t(64), std::nothrow));
        if (!storage)
            return false;
        Release();
        m_pStorage = storage;
        m_nCapacity = total;
    }
    m_nLanes = lanes;
    float* p = m_pStorage;
    for (int k = 0; k < LOCKSTEP_LINES; ++k) {
        m_pLine[k] = p;
        m_nLength[k] = lengths[k];
        p += static_cast<int64_t>(lengths[k]) * lanes;
    }
    return true;
}

void CSurrReverbLockstep::TakeStorage(CSurrReverbLockstep& old) {
    Forget();
    old.Forget();
    std::swap(m_pStorage, old.m_pStorage);
    std::swap(m_nCapacity, old.m_nCapacity);
}

void CSurrReverbLockstep::Reserve(CSurrReverbFdnEffect* const* cores, int count) {
    if (Holds(cores, count) || !CanRun(cores, count))
        return;
    HandBack(cores);
    Allocate(LanesFor(count), Bank(cores[0]).m_nLineLength);
}

void CSurrReverbLockstep::ReserveUpTo(CSurrReverbFdnEffect* const* cores, int count, int32_t longest) {
    HandBack(cores);
    if (count < 2 || count > MAX_LANES || longest <= 0)
        return;
    int32_t lengths[LOCKSTEP_LINES];
    std::fill(lengths, lengths + LOCKSTEP_LINES, longest);
    Allocate(LanesFor(count), lengths);
}

bool CSurrReverbLockstep::Adopt(CSurrReverbFdnEffect* const* cores, int count) {
    for (int c = 1; c < count; ++c)
        for (int k = 0; k < LOCKSTEP_LINES; ++k)
            if (Bank(cores[c]).m_nLinePos[k] != Bank(cores[0]).m_nLinePos[k])
                return false;
    const int lanes = LanesFor(count);
    if (!Allocate(lanes, Bank(cores[0]).m_nLineLength))
        return false;
    bool silent = true; // cores whose lines were never written: nothing to copy but zeros
    for (int c = 0; c < count; ++c)
        silent = silent && !cores[c]->LinesWritten();
    for (int k = 0; k < LOCKSTEP_LINES; ++k) {
        const int32_t length = m_nLength[k];
        float* dst = m_pLine[k];
        std::fill(dst, dst + static_cast<int64_t>(length) * lanes, 0.0f);
        for (int c = 0; c < count && !silent; ++c) {
            const float* src = Bank(cores[c]).m_pLine[k];
            for (int32_t p = 0; p < length; ++p)
                dst[static_cast<int64_t>(p) * lanes + c] = src[p];
        }
        m_nPos[k] = Bank(cores[0]).m_nLinePos[k];
        std::fill(m_dState + k * lanes, m_dState + (k + 1) * lanes, 0.0);
        for (int c = 0; c < count; ++c)
            m_dState[k * lanes + c] = Bank(cores[c]).m_fLowpassState[k];
    }
    for (int c = 0; c < count; ++c)
        m_nLineSetId[c] = cores[c]->m_nLineSetId;
    // Lanes without a core carry silence.
    std::fill(m_In, m_In + PIECE * MAX_LANES, 0.0f);
    if (m_pSplit)
        std::fill(std::begin(m_pSplit->x), std::end(m_pSplit->x), 0.0f);
    m_nCores = count;
    m_bRan = false;
    return true;
}

void CSurrReverbLockstep::HandBack(CSurrReverbFdnEffect* const* cores) {
    const int lanes = m_nLanes;
    for (int c = 0; c < m_nCores; ++c) {
        // A core rebuilt (or replaced) since the engine took its samples over keeps its new lines.
        CSurrReverbFdnEffect* core = cores[c];
        if (!core || core->m_nLineSetId != m_nLineSetId[c])
            continue;
        FdnBank& bank = core->m_LeftBank;
        for (int k = 0; k < LOCKSTEP_LINES; ++k) {
            // Until a block ran, the core's own lines still hold what was taken over.
            const float* src = m_pLine[k];
            for (int32_t p = 0; p < m_nLength[k] && m_bRan; ++p)
                bank.m_pLine[k][p] = src[static_cast<int64_t>(p) * lanes + c];
            bank.m_nLinePos[k] = m_nPos[k];
            bank.m_fLowpassState[k] = static_cast<float>(m_dState[k * lanes + c]);
        }
        if (m_bRan)
            core->NoteLinesWritten();
    }
    m_nCores = 0;
}

// Positions and low-pass states live in the cores as well, so reading them never needs HandBack.
void CSurrReverbLockstep::WriteBackCounters(CSurrReverbFdnEffect* const* cores) const {
    for (int c = 0; c < m_nCores; ++c) {
        FdnBank& bank = cores[c]->m_LeftBank;
        for (int k = 0; k < LOCKSTEP_LINES; ++k) {
            bank.m_nLinePos[k] = m_nPos[k];
            bank.m_fLowpassState[k] = static_cast<float>(m_dState[k * m_nLanes + c]);
        }
    }
}

bool CSurrReverbLockstep::SetWorker(CSurrWorkerThread* worker) {
    if (worker != m_pWorker) // what was measured holds for the thread it was measured with
        m_Governor.Reset();
    m_pWorker = worker;
    if (!worker) {
        m_pSplit.reset();
        return true;
    }
    if (!m_pSplit)
        m_pSplit.reset(new (std::nothrow) Split{}); // zeroed: lanes without a core read silence
    if (!m_pSplit)
        m_pWorker = nullptr;
    return m_pWorker != nullptr;
}

bool CSurrReverbLockstep::Process(CSurrReverbFdnEffect* const* cores, float* const* channels, int count,
                                  int32_t n) {
    if (n <= 0 || n > MAX_BLOCK)
        return false;
    // Steady state: the same line sets as last block, so only the levels need comparing.
    if (!Holds(cores, count) || !LevelsAgree(cores, count)) {
        if (!CanRun(cores, count)) {
            HandBack(cores);
            return false;
        }
        if (!Holds(cores, count)) {
            HandBack(cores);
            if (!Adopt(cores, count))
                return false;
        }
    }

    m_bRan = true;
    const CSurrReverbFdnEffect* first = cores[0];
    // Damping is on only for a positive coefficient (NaN included in "off"), as in the core.
    const bool damp = first->m_fHFDecay > 0.0f;
    const float gain = first->m_fFeedbackGain;
    const float decay = first->m_fHFDecay;
    const float scale = static_cast<float>(first->m_fWet / WET_DIVISOR);
    const float dry = first->m_fDry;
    const int32_t shortest = *std::min_element(m_nLength, m_nLength + LOCKSTEP_LINES);
    // With a worker, a block long enough to split is timed whichever way it runs (see the governor).
    const bool timed = m_pSplit && n >= SPLIT_MIN_BLOCK && shortest >= SPLIT_MIN_LINE;
    const auto start = timed ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
    const bool twoThreads = timed && (g_SplitAlways.load(std::memory_order_relaxed) || m_Governor.Split());
    if (twoThreads) {
        Split& split = *m_pSplit;
        split.args = SplitArgs{m_pLine,
                               m_nLength,
                               split.start,
                               m_dState,
                               n,
                               std::min(shortest / 2, Split::CHUNK),
                               gain,
                               decay,
                               scale,
                               dry,
                               split.prefix,
                               split.lastLine0,
                               split.sums,
                               split.lastLine1,
                               split.partial,
                               split.x,
                               split.out,
                               split.pairs,
                               split.low,
                               &CSurrReverbLockstep::StoreChunks,
                               this,
                               0,
                               &split.tasks};
        ProcessSplit(channels, count, n, damp);
    } else {
        const RunTable* table = Table();
        const RunFn run = damp ? table->damp[LaneIndex(m_nLanes)] : table->plain[LaneIndex(m_nLanes)];
        LockstepArgs args{m_pLine, m_nLength, m_nPos, m_dState, m_In, m_Out, 0, gain, decay, scale, dry};
        for (int32_t done = 0; done < n; done += PIECE) {
            const int32_t len = std::min<int32_t>(n - done, PIECE);
            Interleave(channels, count, done, len, m_In);
            args.n = len;
            run(args);
            Deinterleave(m_Out, channels, count, done, len);
        }
    }
    if (timed) {
        const int64_t ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
                .count();
        if (twoThreads)
            m_Governor.SplitDone(ns, n, m_pSplit->tasks.Stalls(), m_pSplit->tasks.StallMicroseconds());
        else
            m_Governor.SingleDone(ns, n);
    }
    WriteBackCounters(cores);
    return true;
}

// The calling thread and the worker share the block's steps (see the kernel): each takes its own
// half's task of a step first and the other's if it is still free.
void CSurrReverbLockstep::ProcessSplit(float* const* channels, int count, int32_t n, bool damp) {
    Split& split = *m_pSplit;
    split.channels = channels;
    split.count = count;
    split.steps = Table()->steps[LaneIndex(m_nLanes)][damp ? 1 : 0];
    const int32_t steps = SplitChunks(split.args) + 3;
    split.tasks.Reset(2 * steps);
    split.tasks.Skip(2 * 0 + 1);           // step 0 is half 0's alone,
    split.tasks.Skip(2 * 1 + 0);           // step 1 half 1's,
    split.tasks.Skip(2 * (steps - 1) + 0); // and so is the last
    const size_t states = static_cast<size_t>(LOCKSTEP_LINES) * m_nLanes;
    std::copy(m_dState, m_dState + states, split.low);
    // Where each chunk starts in each line (a chunk is at most half the shortest line, so one
    // step never passes a line's end twice).
    const int32_t chunk = split.args.chunk;
    for (int k = 0; k < LOCKSTEP_LINES; ++k) {
        int32_t slot = m_nPos[k] % m_nLength[k];
        for (int32_t j = 0; j < steps - 3; ++j) {
            split.start[j * LOCKSTEP_LINES + k] = slot;
            slot += chunk;
            if (slot >= m_nLength[k])
                slot -= m_nLength[k];
        }
    }
    for (int32_t done = 0; done < n; done += PIECE)
        Interleave(channels, count, done, std::min<int32_t>(n - done, PIECE), split.x + done * m_nLanes);
    m_pWorker->Start(&CSurrReverbLockstep::RunSecondHalf, &split);
    split.steps(split.args, 0);
    // A worker that has not come to the block by now finds every step done: it is not waited for.
    if (!m_pWorker->Retract())
        m_pWorker->Finish();
    std::copy(split.low, split.low + states, m_dState);
    StoreChunks(this, split.args.stored, steps - 3);
    AdvancePositions(m_nLength, m_nPos, n);
}

void CSurrReverbLockstep::StoreChunks(void* engine, int32_t from, int32_t to) {
    auto* self = static_cast<CSurrReverbLockstep*>(engine);
    const Split& split = *self->m_pSplit;
    const int32_t chunk = split.args.chunk;
    const int32_t n = split.args.n;
    const int lanes = self->m_nLanes;
    for (int32_t first = from * chunk, end = std::min(n, to * chunk); first < end;) {
        const int32_t len = std::min<int32_t>(end - first, PIECE);
        self->Deinterleave(split.out + static_cast<size_t>(first) * lanes, split.channels, split.count, first,
                           len);
        first += len;
    }
}

void CSurrReverbLockstep::RunSecondHalf(void* context) {
    Split* split = static_cast<Split*>(context);
    split->steps(split->args, 1);
}

void CSurrReverbLockstep::AdvancePositions(const int32_t* length, int32_t* pos, int32_t n) {
    if (n <= 0)
        return;
    for (int k = 0; k < LOCKSTEP_LINES; ++k) {
        const int32_t from = pos[k] >= length[k] ? 0 : pos[k];
        pos[k] = (from + n - 1) % length[k] + 1;
    }
}

// in[i * lanes + c] = channels[c][from + i] for i < len <= PIECE. Lanes without a core read silence.
void CSurrReverbLockstep::Interleave(float* const* channels, int count, int32_t from, int32_t len,
                                     float* in) const {
    const int lanes = m_nLanes;
    int32_t head = 0; // samples interleaved by the transposes
#ifdef HALVANE_LOCKSTEP_X86
    // Eight lanes on AVX2 and up: eight samples at a time by 8 x 8 transposes.
    if (lanes == 8 && ActiveIsa() != Isa::Sse2) {
        head = len & ~7;
        const float* src[MAX_LANES];
        for (int c = 0; c < MAX_LANES; ++c)
            src[c] = c < count ? channels[c] + from : m_Silence;
        Interleave8(src, in, head);
    }
#endif
    for (int c = 0; c < count; ++c) {
        const float* src = channels[c] + from;
        for (int32_t i = head; i < len; ++i)
            in[i * lanes + c] = src[i];
    }
}

// channels[c][from + i] = out[i * lanes + c] for i < len <= PIECE.
void CSurrReverbLockstep::Deinterleave(const float* out, float* const* channels, int count, int32_t from,
                                       int32_t len) {
    const int lanes = m_nLanes;
    int32_t head = 0;
#ifdef HALVANE_LOCKSTEP_X86
    if (lanes == 8 && ActiveIsa() != Isa::Sse2) {
        head = len & ~7;
        float* dst[MAX_LANES];
        for (int c = 0; c < MAX_LANES; ++c)
            dst[c] = c < count ? channels[c] + from : m_Discard;
        Deinterleave8(out, dst, head);
    }
#endif
    for (int c = 0; c < count; ++c) {
        float* dst = channels[c] + from;
        for (int32_t i = head; i < len; ++i)
            dst[i] = out[i * lanes + c];
    }
}
