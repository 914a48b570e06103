#include "reverb/SurrReverbFdnEffect.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <utility>

#include "dsp/nsp.h"

namespace {

// Sample rate at which FDN_BASE_LENGTHS are the line lengths of the reference room.
constexpr double REFERENCE_RATE = 44100.0;
constexpr float ROOM_MIN = 2.0f;  // metres
constexpr float ROOM_MAX = 50.0f; // metres
// Samples a smooth-mode line holds beyond the largest room's longest line: the interpolator reads
// up to two samples past the delay, and the newest one must never be the one being written.
constexpr int32_t RING_MARGIN = 4;

constexpr int LINES = CSurrReverbFdnEffect::LINES;
constexpr double HOUSEHOLDER = CSurrReverbFdnEffect::HOUSEHOLDER;

// What a pass over one bank does with its sums A (alternating signs) and B (half against half).
enum class Pass {
    Mono,   // outA = A * scale
    First,  // outA = A * scale, outB = B * scale
    Second, // outA += A * scale, outB += B * scale (one rounding each)
};

// Runs n samples of `in` through one bank. The damping switch and the permutation are template
// arguments so that the per-sample loop carries no branch on them; the low-pass states live in
// locals for the whole block.
template <bool RightBank, bool Damp, Pass P>
void RunBank(FdnBank& bank, const float* in, float* outA, float* outB, int32_t n, float gain, float decay,
             float scale) {
    constexpr const int* perm =
        RightBank ? CSurrReverbFdnEffect::RIGHT_PERMUTATION : CSurrReverbFdnEffect::LEFT_PERMUTATION;
    const double g = gain;
    const double c = decay;
    float state[LINES];
    for (int k = 0; k < LINES; ++k)
        state[k] = bank.m_fLowpassState[k];

    int32_t done = 0;
    while (done < n) {
        const int32_t run =
            std::min(n - done, CSurrReverbFdnEffect::SamplesUntilWrap(bank.m_nLineLength, bank.m_nLinePos));
        float* line[LINES];
        for (int k = 0; k < LINES; ++k)
            line[k] = bank.m_pLine[k] + bank.m_nLinePos[k];
        const float* x = in + done;
        float* oa = outA + done;
        float* ob = outB + done;

        for (int32_t i = 0; i < run; ++i) {
            float r[LINES];
#pragma GCC unroll 12
            for (int k = 0; k < LINES; ++k)
                r[k] = line[k][i];
            float sum = r[0];
#pragma GCC unroll 12
            for (int k = 1; k < LINES; ++k)
                sum += r[k];
            const double m = static_cast<float>(sum * HOUSEHOLDER);

            float y[LINES];
#pragma GCC unroll 12
            for (int k = 0; k < LINES; ++k) {
                const int j = perm[k];
                const double v = static_cast<float>((r[k] + m) * g);
                if constexpr (Damp) {
                    // One-pole low-pass: keeps (1 - c) of the new value and c of the previous one.
                    state[j] = static_cast<float>(v + c * (state[j] - v));
                    y[j] = state[j];
                } else {
                    y[j] = static_cast<float>(v);
                }
            }

            const float xi = x[i];
#pragma GCC unroll 12
            for (int k = 0; k < LINES; ++k)
                line[k][i] = y[k] + xi;

            // Each pair is formed in double and the running sum rounded once per pair.
            float a = 0.0f;
#pragma GCC unroll 6
            for (int p = 0; p < LINES / 2; ++p)
                a = static_cast<float>(a + (static_cast<double>(y[2 * p]) - y[2 * p + 1]));
            if constexpr (P == Pass::Mono) {
                oa[i] = a * scale;
            } else {
                float b = 0.0f;
#pragma GCC unroll 3
                for (int p = 0; p < LINES / 4; ++p)
                    b = static_cast<float>(b + (static_cast<double>(y[2 * p]) + y[2 * p + 1]));
#pragma GCC unroll 3
                for (int p = LINES / 4; p < LINES / 2; ++p)
                    b = static_cast<float>(b - (static_cast<double>(y[2 * p]) + y[2 * p + 1]));
                if constexpr (P == Pass::First) {
                    oa[i] = a * scale;
                    ob[i] = b * scale;
                } else {
                    oa[i] = static_cast<float>(oa[i] + static_cast<double>(a) * scale);
                    ob[i] = static_cast<float>(ob[i] + static_cast<double>(b) * scale);
                }
            }
        }

        for (int k = 0; k < LINES; ++k)
            bank.m_nLinePos[k] += run;
        done += run;
    }

    if constexpr (Damp) {
        for (int k = 0; k < LINES; ++k)
            bank.m_fLowpassState[k] = state[k];
    }
}

template <bool RightBank, Pass P>
void RunBank(FdnBank& bank, const float* in, float* outA, float* outB, int32_t n, float gain, float decay,
             float scale) {
    // Damping is on only for a positive coefficient (NaN included in "off").
    if (decay > 0.0f)
        RunBank<RightBank, true, P>(bank, in, outA, outB, n, gain, decay, scale);
    else
        RunBank<RightBank, false, P>(bank, in, outA, outB, n, gain, decay, scale);
}

void ClearBank(FdnBank& bank) {
    for (int k = 0; k < LINES; ++k) {
        bank.m_fLowpassState[k] = 0.0f;
        bank.m_pLine[k] = nullptr;
        bank.m_nLineLength[k] = 0;
        bank.m_nLinePos[k] = 0;
    }
}

void FreeBank(FdnBank& bank) {
    for (int k = 0; k < LINES; ++k)
        bank.m_pLine[k] = nullptr;
    bank.m_Lines = halvane::History();
}

// Floats after each line that nothing may touch: AddressSanitizer is told so, and reports an
// overrun of one line into the next as it would between two allocations.
constexpr int32_t LINE_GUARD = 8;

// Floats from each line's start to the next one's for lines of sizes[k] floats: the line rounded
// up to an even count, then its guard. Returns their sum, the floats the bank's block needs.
int32_t LineStrides(const int32_t* sizes, int32_t* stride) {
    int32_t total = 0;
    for (int k = 0; k < LINES; ++k) {
        stride[k] = (sizes[k] + 1) / 2 * 2 + LINE_GUARD;
        total += stride[k];
    }
    return total;
}

// The bank's twelve lines of sizes[k] floats, silent, in one block from calloc: a large room's
// lines, or the smooth mode's lines sized for the largest room, cost only the pages the lines
// play through. Each line starts on an even float, so that its guard fills whole 8-byte granules.
// A silent spare block at least that large is taken instead.
void PlaceLines(FdnBank& bank, const int32_t* sizes, halvane::History& spare) {
    int32_t stride[LINES];
    const int32_t total = LineStrides(sizes, stride);
    if (spare.Size() >= total) {
        // Laid out anew: the old guards go, and the floats past the new lines count as a guard.
        bank.m_Lines = std::move(spare);
        float* block = bank.m_Lines.Data();
        halvane::UnpoisonForSanitizer(block, sizeof(float) * static_cast<size_t>(bank.m_Lines.Size()));
        halvane::PoisonForSanitizer(block + total,
                                    sizeof(float) * static_cast<size_t>(bank.m_Lines.Size() - total));
    } else {
        bank.m_Lines = halvane::History(total);
    }
    float* line = bank.m_Lines.Data();
    for (int k = 0; k < LINES; ++k) {
        bank.m_pLine[k] = line;
        halvane::PoisonForSanitizer(line + sizes[k],
                                    sizeof(float) * static_cast<size_t>(stride[k] - sizes[k]));
        line += stride[k];
    }
}

// Lays the bank's lines out again for sizes[k] floats each (each at least its length), in the
// block they are in when it is large enough, their samples kept and the rest silent. Lines move
// from the last to the first: each lands at or after its old place and past every line before it.
bool GrowInPlace(FdnBank& bank, const int32_t* sizes) {
    int32_t stride[LINES];
    const int32_t total = LineStrides(sizes, stride);
    if (bank.m_Lines.Size() < total)
        return false;
    float* block = bank.m_Lines.Data();
    halvane::UnpoisonForSanitizer(block, sizeof(float) * static_cast<size_t>(bank.m_Lines.Size()));
    int32_t start[LINES];
    for (int k = 0, at = 0; k < LINES; at += stride[k++])
        start[k] = at;
    for (int k = LINES - 1; k >= 0; --k)
        std::memmove(block + start[k], bank.m_pLine[k],
                     sizeof(float) * static_cast<size_t>(bank.m_nLineLength[k]));
    for (int k = 0; k < LINES; ++k) {
        const int32_t length = bank.m_nLineLength[k];
        std::memset(block + start[k] + length, 0, sizeof(float) * static_cast<size_t>(stride[k] - length));
        bank.m_pLine[k] = block + start[k];
        halvane::PoisonForSanitizer(block + start[k] + sizes[k],
                                    sizeof(float) * static_cast<size_t>(stride[k] - sizes[k]));
    }
    halvane::PoisonForSanitizer(block + total,
                                sizeof(float) * static_cast<size_t>(bank.m_Lines.Size() - total));
    return true;
}

} // namespace

CSurrReverbFdnEffect::CSurrReverbFdnEffect() : CSurrReverbFdnEffect(nullptr, nullptr) {}

CSurrReverbFdnEffect::CSurrReverbFdnEffect(std::unique_ptr<float[]> outL, std::unique_ptr<float[]> outR)
    : m_OutL(outL ? std::move(outL) : std::unique_ptr<float[]>(new float[MAX_BLOCK])),
      m_OutR(outR ? std::move(outR) : std::unique_ptr<float[]>(new float[MAX_BLOCK])) {
    ClearBank(m_LeftBank);
    ClearBank(m_RightBank);
}

CSurrReverbFdnEffect::~CSurrReverbFdnEffect() {
    CSurrReverbFdnEffect::Free();
}

void CSurrReverbFdnEffect::Free() {
    FreeBank(m_LeftBank);
    FreeBank(m_RightBank);
    m_nLineSetId = 0;
    m_nCapacity = 0;
    m_nLinesWritten = 0;
    m_bRing = false;
    m_bTailSilent = false;
    m_nDelayDone = m_nDelayLength = 0;
}

void CSurrReverbFdnEffect::SetRoomSize(float metres) {
    float clamped = metres;
    if (!(metres < ROOM_MAX)) // NaN too
        clamped = ROOM_MAX;
    else if (metres <= ROOM_MIN)
        clamped = ROOM_MIN;
    if (clamped == m_fRoomSize)
        return; // keeps the lines and the ringing tail
    if (m_nGlide > 0 && m_nCapacity > 0 && HasLines()) {
        // Smooth mode: the lines are long enough for any room; nothing is allocated.
        int32_t lengths[LINES];
        LineLengths(clamped, lengths);
        m_fRoomSize = clamped;
        if (StartLengthGlide(lengths))
            return;
        // Lines too short to read between samples (very low rates) start over, silent, as in the
        // jumping mode, in the buffers they have. They count as new lines: a lockstep engine that
        // holds the old ones' samples must take these over rather than carry on with its own.
        FinishGlides();
        m_nLineSetId = NewLineSetId();
        for (FdnBank* bank : {&m_LeftBank, &m_RightBank}) {
            for (int k = 0; k < LINES && bank->m_pLine[k]; ++k) {
                std::fill(bank->m_pLine[k], bank->m_pLine[k] + m_nCapacity, 0.0f);
                bank->m_nLineLength[k] = lengths[k];
                bank->m_nLinePos[k] = 0;
            }
        }
        m_bTailSilent = true;
        return;
    }
    halvane::History lines = TakeLines(); // the new lines reuse it when they fit
    if (!lines.Empty())
        m_SpareLines = std::move(lines);
    Free();
    m_fRoomSize = clamped;
    AllocateLines();
    ResetPositions();
}

halvane::History CSurrReverbFdnEffect::TakeLines() {
    FdnBank& bank = m_LeftBank;
    if (!bank.m_pLine[0])
        return halvane::History();
    for (int k = 0; k < LINES && bank.m_pLine[k]; ++k) {
        const int32_t size = m_nCapacity > 0 ? m_nCapacity : bank.m_nLineLength[k];
        std::memset(bank.m_pLine[k], 0, sizeof(float) * static_cast<size_t>(std::min(size, m_nLinesWritten)));
    }
    halvane::History lines = std::move(bank.m_Lines);
    Free();
    return lines;
}

// Half the scaled length, rounded down, doubled plus one: every line is odd.
void CSurrReverbFdnEffect::LineLengths(float roomSize, int32_t* lengths) const {
    const float f = static_cast<float>(roomSize / FDN_REFERENCE_ROOM);
    for (int k = 0; k < LINES; ++k) {
        const double half = std::floor(
            ((FDN_BASE_LENGTHS[k] * static_cast<double>(f)) * m_nSamplesPerSec / REFERENCE_RATE) * 0.5);
        lengths[k] = 2 * static_cast<int32_t>(half) + 1;
    }
}

// In the smooth mode every line gets room for the largest room's longest line, plus the
// interpolator's reach, so that a later room size only changes where the lines are read.
uint64_t CSurrReverbFdnEffect::NewLineSetId() {
    static std::atomic<uint64_t> s_nextLineSetId{1};
    return s_nextLineSetId.fetch_add(1, std::memory_order_relaxed);
}

void CSurrReverbFdnEffect::AllocateLines() {
    m_nLineSetId = NewLineSetId();
    int32_t lengths[LINES];
    LineLengths(m_fRoomSize, lengths);
    m_nCapacity = 0;
    if (m_nGlide > 0)
        m_nCapacity = SmoothCapacity();
    int32_t sizes[LINES];
    for (int k = 0; k < LINES; ++k) {
        sizes[k] = m_nCapacity > 0 ? m_nCapacity : lengths[k];
        m_LeftBank.m_nLineLength[k] = lengths[k];
        if (m_nChannels == 2)
            m_RightBank.m_nLineLength[k] = lengths[k];
    }
    PlaceLines(m_LeftBank, sizes, m_SpareLines);
    if (m_nChannels == 2)
        PlaceLines(m_RightBank, sizes, m_SpareLines);
    m_SpareLines = halvane::History();
    m_nLinesWritten = 0;
    m_bTailSilent = true;
}

// A jumping layout writes each line below its length; a ring anywhere in its capacity.
void CSurrReverbFdnEffect::NoteLinesWritten() {
    int32_t reach = m_bRing ? m_nCapacity : 0;
    for (const FdnBank* bank : {&m_LeftBank, &m_RightBank})
        for (int k = 0; k < LINES; ++k)
            if (bank->m_pLine[k])
                reach = std::max(reach, bank->m_nLineLength[k]);
    m_nLinesWritten = std::max(m_nLinesWritten, reach);
}

int32_t CSurrReverbFdnEffect::SmoothCapacity() const {
    int32_t largest[LINES];
    LineLengths(ROOM_MAX, largest);
    return largest[LINES - 1] + RING_MARGIN;
}

// Lines built for the jumping mode get the largest room's size, their samples and positions kept.
void CSurrReverbFdnEffect::GrowLines() {
    const int32_t capacity = SmoothCapacity();
    int32_t sizes[LINES];
    std::fill(sizes, sizes + LINES, capacity);
    for (FdnBank* bank : {&m_LeftBank, &m_RightBank}) {
        if (!bank->m_pLine[0] || GrowInPlace(*bank, sizes))
            continue;
        FdnBank grown;
        PlaceLines(grown, sizes, m_SpareLines);
        for (int k = 0; k < LINES; ++k) {
            std::memcpy(grown.m_pLine[k], bank->m_pLine[k],
                        sizeof(float) * static_cast<size_t>(bank->m_nLineLength[k]));
            bank->m_pLine[k] = grown.m_pLine[k];
        }
        bank->m_Lines = std::move(grown.m_Lines);
    }
    m_SpareLines = halvane::History();
    m_bTailSilent = true;
    m_nCapacity = capacity;
    m_nLineSetId = NewLineSetId(); // new buffers: whoever held the old ones must not take these for them
}

void CSurrReverbFdnEffect::ResetPositions() {
    for (int k = 0; k < LINES; ++k) {
        m_LeftBank.m_nLinePos[k] = 0;
        m_RightBank.m_nLinePos[k] = 0;
    }
}

bool CSurrReverbFdnEffect::HasLines() const {
    if (!m_LeftBank.m_pLine[0])
        return false;
    return m_nChannels == 1 || m_RightBank.m_pLine[0];
}

int CSurrReverbFdnEffect::Process(_SOUNDDATA_ data) {
    const int32_t n = static_cast<int32_t>(data.nSamples);
    if (n <= 0)
        return 1;
    const bool stereo = m_nChannels != 1;
    if (!HasLines()) {
        // No room size yet: only the dry part.
        nspsbMpy1(m_fDry, data.pLeft, n);
        if (stereo && data.pRight)
            nspsbMpy1(m_fDry, data.pRight, n);
        return 1;
    }
    NoteLinesWritten();
    // Every sample depends only on those before it, so pieces of MAX_BLOCK give the same samples
    // as the whole block at once.
    for (int32_t done = 0; done < n; done += MAX_BLOCK) {
        const int32_t len = std::min(n - done, static_cast<int32_t>(MAX_BLOCK));
        float* left = data.pLeft + done;
        float* right = stereo ? data.pRight + done : nullptr;
        const int32_t glided = Gliding() ? ProcessGliding(left, right, len) : 0;
        if (glided == len)
            continue;
        if (stereo)
            ProcessStereo(left + glided, right + glided, len - glided);
        else
            ProcessMono(left + glided, len - glided);
    }
    return 1;
}

void CSurrReverbFdnEffect::ProcessMono(float* left, int32_t n) {
    const float scale = static_cast<float>(m_fWet / WET_DIVISOR);
    float* out = m_OutL.get();
    RunBank<false, Pass::Mono>(m_LeftBank, left, out, out, n, m_fFeedbackGain, m_fHFDecay, scale);
    nspsbMpy1(m_fDry, left, n);
    nspsbAdd2(out, left, n);
}

void CSurrReverbFdnEffect::ProcessStereo(float* left, float* right, int32_t n) {
    const float scale = static_cast<float>(m_fWet / WET_DIVISOR);
    float* outL = m_OutL.get();
    float* outR = m_OutR.get();
    // Each input drives its own bank; both outputs hear both banks.
    RunBank<false, Pass::First>(m_LeftBank, left, outL, outR, n, m_fFeedbackGain, m_fHFDecay, scale);
    RunBank<true, Pass::Second>(m_RightBank, right, outL, outR, n, m_fFeedbackGain, m_fHFDecay, scale);
    const double dry = m_fDry;
    for (int32_t i = 0; i < n; ++i) {
        left[i] = static_cast<float>(left[i] * dry + outL[i]);
        right[i] = static_cast<float>(right[i] * dry + outR[i]);
    }
}
