#include "headphones/PartitionedConvolver.h"

#include <fftw3.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace halvane {

namespace {

// FFTW's planner is not re-entrant: plans of several streams (render threads, plugin instances)
// are made and destroyed one at a time.
std::mutex g_plannerLock;

// Plans are chosen by FFTW's estimate, never by timing runs, so that the same samples give the
// same output in every run.
constexpr unsigned kPlanFlags = FFTW_ESTIMATE;

// Arrays start on multiples of 16 floats (64 bytes) of the arena.
constexpr int kAlignFloats = 16;
int Padded(int n) {
    return (n + kAlignFloats - 1) / kAlignFloats * kAlignFloats;
}

// acc += x * h over `bins` interleaved complex values (re, im), for both ears at once.
void MultiplyAdd(int bins, const float* __restrict x, const float* __restrict hl, const float* __restrict hr,
                 float* __restrict l, float* __restrict r) {
    for (int k = 0; k < 2 * bins; k += 2) {
        const float xr = x[k];
        const float xi = x[k + 1];
        l[k] += xr * hl[k] - xi * hl[k + 1];
        l[k + 1] += xr * hl[k + 1] + xi * hl[k];
        r[k] += xr * hr[k] - xi * hr[k + 1];
        r[k + 1] += xr * hr[k + 1] + xi * hr[k];
    }
}

// out += gain * x over n samples.
void AddScaled(int n, float gain, const float* __restrict x, float* __restrict out) {
    for (int i = 0; i < n; ++i)
        out[i] += gain * x[i];
}

} // namespace

PartitionedConvolver::~PartitionedConvolver() {
    Free();
}

void PartitionedConvolver::Free() {
    std::lock_guard<std::mutex> lock(g_plannerLock);
    if (m_pForward)
        fftwf_destroy_plan(static_cast<fftwf_plan>(m_pForward));
    if (m_pInverse)
        fftwf_destroy_plan(static_cast<fftwf_plan>(m_pInverse));
    fftwf_free(m_pArena);
    m_pForward = m_pInverse = nullptr;
    m_pArena = nullptr;
    m_nInputs = 0;
}

float* PartitionedConvolver::Spectrum(int input, int slot) {
    return m_pLine + (static_cast<size_t>(input) * m_nSlots + slot) * m_nHalf;
}

namespace {

// A filter that is one tap: nothing but zeros after its first sample.
bool SingleTap(const std::vector<float>& f) {
    return std::all_of(f.begin() + std::min<size_t>(f.size(), 1), f.end(), [](float v) { return v == 0.0f; });
}

} // namespace

bool PartitionedConvolver::Initialize(const std::vector<std::vector<std::vector<float>>>& filters,
                                      int partition) {
    Free();
    if (partition < 0 || filters.empty())
        return false;
    const int inputs = static_cast<int>(filters.size());
    std::vector<float> taps(static_cast<size_t>(inputs) * OUTPUTS, 0.0f);
    std::vector<bool> single(static_cast<size_t>(inputs));
    int longest = 1;
    for (int c = 0; c < inputs; ++c) {
        single[c] = std::all_of(filters[c].begin(), filters[c].end(), SingleTap);
        for (int o = 0; o < OUTPUTS && o < static_cast<int>(filters[c].size()); ++o) {
            if (single[c] && !filters[c][o].empty())
                taps[static_cast<size_t>(c) * OUTPUTS + o] = filters[c][o][0];
            if (!single[c])
                longest = std::max(longest, static_cast<int>(filters[c][o].size()));
        }
    }
    int fft = 2 * partition;
    int part = partition;
    if (partition == 0) {
        for (fft = kMinAutoFft; fft < 4 * longest; fft *= 2) {
        }
        part = longest;
    }
    const int b = partition == 0 ? fft - longest + 1 : partition;
    std::vector<int> parts(inputs, 0);
    for (int c = 0; c < inputs; ++c)
        for (const std::vector<float>& f : filters[c])
            if (!single[c])
                parts[c] = std::max(parts[c], static_cast<int>((f.size() + part - 1) / part));
    m_Parts = parts;
    m_Taps = taps;
    m_nBlock = b;
    m_nFft = fft;
    m_nKeep = fft - b;
    m_nBins = fft / 2 + 1;
    m_nHalf = Padded(2 * m_nBins);
    m_nFrame = Padded(fft);
    m_nSlots = std::max(1, *std::max_element(parts.begin(), parts.end()));
    const size_t spectrum = static_cast<size_t>(m_nHalf);
    const size_t timeSize = static_cast<size_t>(inputs) * m_nFrame;
    const size_t lineSize = static_cast<size_t>(inputs) * m_nSlots * spectrum;
    const size_t filterSize = static_cast<size_t>(inputs) * OUTPUTS * m_nSlots * spectrum;
    const size_t sumSize = OUTPUTS * spectrum;
    const size_t outSize = static_cast<size_t>(Padded(b)) * OUTPUTS;
    const size_t total = timeSize + lineSize + filterSize + sumSize + m_nFrame + outSize;

    std::lock_guard<std::mutex> lock(g_plannerLock);
    m_pArena = static_cast<float*>(fftwf_malloc(total * sizeof(float)));
    if (!m_pArena)
        return false;
    std::memset(m_pArena, 0, total * sizeof(float));
    m_pTime = m_pArena;
    m_pLine = m_pTime + timeSize;
    m_pFilters = m_pLine + lineSize;
    m_pSum = m_pFilters + filterSize;
    m_pOutTime = m_pSum + sumSize;
    m_pOut = m_pOutTime + m_nFrame;

    fftwf_plan fwd =
        fftwf_plan_dft_r2c_1d(fft, m_pTime, reinterpret_cast<fftwf_complex*>(m_pSum), kPlanFlags);
    fftwf_plan inv =
        fftwf_plan_dft_c2r_1d(fft, reinterpret_cast<fftwf_complex*>(m_pSum), m_pOutTime, kPlanFlags);
    m_pForward = fwd;
    m_pInverse = inv;
    if (!fwd || !inv) {
        m_pForward = m_pInverse = nullptr;
        if (fwd)
            fftwf_destroy_plan(fwd);
        if (inv)
            fftwf_destroy_plan(inv);
        fftwf_free(m_pArena);
        m_pArena = nullptr;
        return false;
    }
    m_nInputs = inputs;

    // Each filter part is zero-padded to F points: the last B samples of each inverse transform
    // are then free of wrap-around (a part is at most F - B + 1 long) and are the output of the
    // current step. The inverse transform's factor of F is folded into the filter.
    const float scale = 1.0f / static_cast<float>(fft);
    for (int c = 0; c < inputs; ++c)
        for (int o = 0; o < OUTPUTS && o < static_cast<int>(filters[c].size()); ++o) {
            const std::vector<float>& f = filters[c][o];
            for (int p = 0; p < parts[c]; ++p) {
                std::fill(m_pOutTime, m_pOutTime + m_nFrame, 0.0f);
                for (size_t i = 0;
                     i < static_cast<size_t>(part) && p * static_cast<size_t>(part) + i < f.size(); ++i)
                    m_pOutTime[i] = f[static_cast<size_t>(p) * part + i] * scale;
                fftwf_execute_dft_r2c(fwd, m_pOutTime, reinterpret_cast<fftwf_complex*>(Filter(c, o, p)));
            }
        }
    Reset();
    return true;
}

float* PartitionedConvolver::Filter(int input, int output, int part) {
    return m_pFilters + ((static_cast<size_t>(input) * OUTPUTS + output) * m_nSlots + part) * m_nHalf;
}

void PartitionedConvolver::Reset() {
    if (!m_pArena)
        return;
    std::fill(m_pTime, m_pTime + static_cast<size_t>(m_nInputs) * m_nFrame, 0.0f);
    std::fill(m_pLine, m_pLine + static_cast<size_t>(m_nInputs) * m_nSlots * m_nHalf, 0.0f);
    std::fill(m_pOut, m_pOut + static_cast<size_t>(Padded(m_nBlock)) * OUTPUTS, 0.0f);
    m_nHead = 0;
    m_nFill = 0;
}

void PartitionedConvolver::Process(const float* const* in, float* const* out, int n) {
    const int b = m_nBlock;
    const size_t outStride = static_cast<size_t>(Padded(b));
    for (int done = 0; done < n;) {
        const int take = std::min(n - done, b - m_nFill);
        const size_t bytes = static_cast<size_t>(take) * sizeof(float);
        // Every input is taken before any output is written, so the two may share buffers.
        for (int c = 0; c < m_nInputs; ++c)
            std::memcpy(m_pTime + static_cast<size_t>(c) * m_nFrame + m_nKeep + m_nFill, in[c] + done, bytes);
        for (int o = 0; o < OUTPUTS; ++o)
            std::memcpy(out[o] + done, m_pOut + o * outStride + m_nFill, bytes);
        m_nFill += take;
        done += take;
        if (m_nFill == b) {
            Step();
            m_nFill = 0;
        }
    }
}

void PartitionedConvolver::Step() {
    const int b = m_nBlock;
    const int spectrum = m_nHalf;
    m_nHead = (m_nHead + 1) % m_nSlots;
    const fftwf_plan fwd = static_cast<fftwf_plan>(m_pForward);
    for (int c = 0; c < m_nInputs; ++c)
        if (m_Parts[c] > 0)
            fftwf_execute_dft_r2c(fwd, m_pTime + static_cast<size_t>(c) * m_nFrame,
                                  reinterpret_cast<fftwf_complex*>(Spectrum(c, m_nHead)));
    // Both ears' sums in one pass over each input spectrum.
    float* const left = m_pSum;
    float* const right = m_pSum + spectrum;
    std::fill(m_pSum, m_pSum + 2 * static_cast<size_t>(spectrum), 0.0f);
    for (int c = 0; c < m_nInputs; ++c)
        for (int p = 0; p < m_Parts[c]; ++p)
            MultiplyAdd(m_nBins, Spectrum(c, (m_nHead - p + m_nSlots) % m_nSlots), Filter(c, 0, p),
                        Filter(c, 1, p), left, right);
    const fftwf_plan inv = static_cast<fftwf_plan>(m_pInverse);
    const size_t outStride = static_cast<size_t>(Padded(b));
    for (int o = 0; o < OUTPUTS; ++o) {
        float* out = m_pOut + o * outStride;
        fftwf_execute_dft_c2r(
            inv, reinterpret_cast<fftwf_complex*>(m_pSum + static_cast<size_t>(o) * spectrum), m_pOutTime);
        std::memcpy(out, m_pOutTime + m_nKeep, static_cast<size_t>(b) * sizeof(float));
        for (int c = 0; c < m_nInputs; ++c)
            if (m_Parts[c] == 0)
                AddScaled(b, m_Taps[static_cast<size_t>(c) * OUTPUTS + o],
                          m_pTime + static_cast<size_t>(c) * m_nFrame + m_nKeep, out);
    }
    // The newest F - B samples become the history of the next step.
    for (int c = 0; c < m_nInputs; ++c) {
        float* frame = m_pTime + static_cast<size_t>(c) * m_nFrame;
        std::memmove(frame, frame + b, static_cast<size_t>(m_nKeep) * sizeof(float));
    }
}

} // namespace halvane
