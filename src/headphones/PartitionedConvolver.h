// Uniformly partitioned FFT convolution of many channels into two (overlap-save, FFTW single
// precision). Each input channel has one filter per output; the spectra of all inputs are summed
// per output in the frequency domain, so a step costs one forward transform per input and one
// inverse transform per output.
//
//   input c --FFT--> delay line of spectra (P steps) --x filter parts--> sum --IFFT--> output
//   input with one-tap filters (an LFE) ---------------------------x gain----------------^ (+)
//
// Steps are `partition` samples long, transformed with 2 x partition points; the outputs are late
// by exactly one step. An input whose filters are single taps (every sample after the first is
// zero) skips the transforms and is added to the outputs in time.
//
// Partition 0 leaves the step to the convolver, for uses where the latency does not matter: the
// whole filter is one part, transformed with the smallest power of two of at least four times its
// length L (at least kMinAutoFft points), and a step is as long as that transform leaves free of
// wrap-around (points - L + 1), which costs the fewest operations per sample.
#ifndef HALVANE_HEADPHONES_PARTITIONEDCONVOLVER_H
#define HALVANE_HEADPHONES_PARTITIONEDCONVOLVER_H

#include <vector>

namespace halvane {

class PartitionedConvolver {
public:
    static constexpr int OUTPUTS = 2;

    PartitionedConvolver() = default;
    ~PartitionedConvolver();
    PartitionedConvolver(const PartitionedConvolver&) = delete;
    PartitionedConvolver& operator=(const PartitionedConvolver&) = delete;

    static constexpr int kMinAutoFft = 1024;

    // filters[c][o] is the filter from input c to output o (any length, may differ per input).
    // Makes the plans and every buffer. False when partition is negative or inputs is 0.
    bool Initialize(const std::vector<std::vector<std::vector<float>>>& filters, int partition);
    void Free();

    int Inputs() const { return m_nInputs; }
    int Latency() const { return m_nBlock; }
    // Any number of samples; input and output may alias. No allocation, no system call.
    void Process(const float* const* in, float* const* out, int n);
    void Reset();

private:
    void Step();
    float* Spectrum(int input, int slot);           // bins interleaved complex values (re, im)
    float* Filter(int input, int output, int part); // same form

    int m_nInputs = 0;
    int m_nBlock = 0;          // B, samples per step
    int m_nFft = 0;            // F, points of the transforms (2B, or more than B + L - 1 by itself)
    int m_nKeep = 0;           // F - B, samples of history ahead of each step's B new ones
    int m_nBins = 0;           // F / 2 + 1 bins of the F-point real transform
    int m_nHalf = 0;           // floats per spectrum: 2 x bins, rounded up to keep the arena's alignment
    int m_nFrame = 0;          // F rounded up the same way
    int m_nSlots = 0;          // depth of the spectrum delay line: most filter parts of any input
    int m_nHead = 0;           // slot of the newest spectrum
    int m_nFill = 0;           // samples of the current step taken so far
    std::vector<int> m_Parts;  // filter parts of each input; 0 for a single-tap input
    std::vector<float> m_Taps; // per input, per output: the gain of a single-tap input
    void* m_pForward = nullptr;
    void* m_pInverse = nullptr;
    // One aligned arena holds every buffer below, spectra as interleaved complex values. FFTW's plans run on
    // any arrays of the alignment they were made for, so every array starts on a 64-byte line.
    float* m_pArena = nullptr;
    float* m_pTime = nullptr;    // per input: F samples, F - B of history then the current step
    float* m_pLine = nullptr;    // per input, per slot: one spectrum
    float* m_pFilters = nullptr; // per input, per output, per part: one spectrum (scaled by 1/F)
    float* m_pSum = nullptr;     // per output: one spectrum
    float* m_pOutTime = nullptr; // F samples of the inverse transform
    float* m_pOut = nullptr;     // per output: B samples handed out during the next step
};

} // namespace halvane

#endif
