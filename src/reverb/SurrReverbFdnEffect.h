#ifndef HALVANE_REVERB_SURRREVERBFDNEFFECT_H
#define HALVANE_REVERB_SURRREVERBFDNEFFECT_H

#include <cstdint>
#include <memory>

#include "HalvaneLayouts.h"
#include "core/SurrBaseEffectNotEx.h"
#include "dsp/Glide.h"
#include "dsp/History.h"

// One bank of twelve feedback delay lines.
struct FdnBank {
    float m_fLowpassState[12]; // damping low-pass state of each mix output
    float* m_pLine[12];        // delay line k (in m_Lines), or null
    int32_t m_nLineLength[12]; // odd length of line k
    int32_t m_nLinePos[12];    // read-and-write position of line k
    halvane::History m_Lines;  // owns the twelve lines, one after another
};

// Twelve-line feedback-delay-network reverb on one channel (or two, with a bank each).
// Output per channel: dry * input + (wet / 12) * network output.
class CSurrReverbFdnEffect : public CSurrBaseEffectNotEx {
public:
    // Lines per bank.
    static constexpr int LINES = 12;
    // Ascending primes: the line lengths at the reference room size and 44.1 kHz.
    static constexpr int32_t FDN_BASE_LENGTHS[LINES] = {601,  691,  773,  839,  919,  997,
                                                        1061, 1093, 1129, 1151, 1171, 1187};
    // Room size (metres) at which the lengths at 44.1 kHz equal FDN_BASE_LENGTHS: 9.151474 held
    // as float, widened.
    static constexpr double FDN_REFERENCE_ROOM = 9.151473999023438;
    // Largest block the per-block scratch buffers hold; longer blocks are processed in pieces.
    static constexpr int MAX_BLOCK = HALVANE_MAX_BLOCK;
    // Householder reflection I - (2/12) * ones: every line output gets -2/12 of the lines' sum added.
    static constexpr double HOUSEHOLDER = -2.0 / 12.0;
    // The network output is the sum of twelve mix outputs; wet / 12 keeps its level near the input's.
    static constexpr double WET_DIVISOR = 12.0;
    // Mix output that the value of line k is written to. The left bank rotates by one; the right
    // bank shuffles, so that the two banks of a two-channel core decorrelate.
    static constexpr int LEFT_PERMUTATION[LINES] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0};
    static constexpr int RIGHT_PERMUTATION[LINES] = {2, 4, 6, 8, 10, 1, 3, 5, 7, 0, 11, 9};

    // Samples until the first line reaches its end. A line already at its end starts over at 0 and
    // does not shorten the run. Within a run no position needs a wrap test.
    static int32_t SamplesUntilWrap(const int32_t* length, int32_t* pos) {
        int32_t run = length[0];
        for (int k = 0; k < LINES; ++k) {
            const int32_t remaining = length[k] - pos[k];
            if (remaining <= 0)
                pos[k] = 0;
            else if (remaining < run)
                run = remaining;
        }
        return run;
    }

    CSurrReverbFdnEffect();
    // With the per-block scratch of a core it replaces (see TakeScratch); null ones are allocated.
    CSurrReverbFdnEffect(std::unique_ptr<float[]> outL, std::unique_ptr<float[]> outR);
    ~CSurrReverbFdnEffect() override;
    CSurrReverbFdnEffect(const CSurrReverbFdnEffect&) = delete; // owns its lines
    CSurrReverbFdnEffect& operator=(const CSurrReverbFdnEffect&) = delete;
    void Free() override; // releases the lines
    int Process(_SOUNDDATA_ data) override;

    // In the smooth mode each level glides to its new value, from the next sample processed.
    void SetDry(float v) {
        m_fDry = v;
        m_DryGlide.SetTarget(v, m_nGlide);
    }
    void SetWet(float v) {
        m_fWet = v;
        m_WetGlide.SetTarget(v, m_nGlide);
    }
    void SetFeedbackGain(float v) {
        m_fFeedbackGain = v;
        m_GainGlide.SetTarget(v, m_nGlide);
    }
    void SetHFDecay(float v) {
        m_fHFDecay = v;
        m_DecayGlide.SetTarget(v, m_nGlide);
    }
    // Clamps to 2..50 m (NaN: 50); rebuilds the lines only when the clamped value changes. In the
    // smooth mode the line lengths glide to the new size instead, in lines already long enough.
    void SetRoomSize(float metres);
    // Smooth mode: levels and line lengths glide over `samples` samples (0: they jump, the
    // default). A positive value sizes the lines for the largest room, once (this allocates);
    // 0 ends any glide at once, at its target.
    void SetGlide(int32_t samples);
    // True while a level or a line length glides: the core then runs on its own, sample by
    // sample, with its lines read between samples.
    bool Gliding() const;
    // Floats each line can hold: the current length, or in the smooth mode the largest room's.
    int32_t LineCapacity() const { return m_nCapacity; }
    // False from the moment the lines are built until samples first run through them (or are
    // handed back into them): until then every line is silent.
    bool LinesWritten() const { return m_nLinesWritten > 0; }
    // The lines may hold samples now, in their current layout. Process notes it itself; the
    // lockstep engine calls it when it hands samples back.
    void NoteLinesWritten();
    // The block that holds the lines, silent again (only the places written are cleared); the
    // core is left without lines. Empty when it has none.
    halvane::History TakeLines();
    // A silent block (from TakeLines) that the lines built next use, when it is large enough,
    // instead of allocating.
    void GiveLines(halvane::History lines) { m_SpareLines = std::move(lines); }
    // Hands over the per-block scratch (it holds nothing from one block to the next) to a core
    // built to replace this one; this core must not process any more.
    void TakeScratch(std::unique_ptr<float[]>& outL, std::unique_ptr<float[]>& outR) {
        outL = std::move(m_OutL);
        outR = std::move(m_OutR);
    }

    FdnBank m_LeftBank;
    FdnBank m_RightBank;
    float m_fRoomSize = 0.0f;
    float m_fFeedbackGain = 0.0f;
    float m_fWet = 0.0f;
    float m_fDry = 0.0f;
    float m_fHFDecay = 0.0f;
    // Identifies the current set of lines: a new value each time they are built, 0 without lines.
    // Lets the reverb node's lockstep engine tell whether the lines it holds are still these.
    uint64_t m_nLineSetId = 0;

private:
    void AllocateLines();
    void ResetPositions();
    bool HasLines() const;
    void ProcessMono(float* left, int32_t n);
    void ProcessStereo(float* left, float* right, int32_t n);
    void LineLengths(float roomSize, int32_t* lengths) const;
    void GrowLines();
    int32_t SmoothCapacity() const;
    static uint64_t NewLineSetId();
    bool GlidesActive() const;
    bool StartLengthGlide(const int32_t* lengths);
    int32_t ProcessGliding(float* left, float* right, int32_t n);
    void GlideSample(FdnBank& bank, const int* perm, float x, double* d, float g, float c, float& a,
                     float& b);
    void ToRing();
    void ToLines();
    void FinishGlides();

    // Smooth mode. While the lengths glide (or levels), every line is a ring of m_nCapacity
    // samples written at m_nRingWrite and read m_dDelay[k] samples back, the newest sample at
    // m_nRingWrite - 1; once the glide ends the lines return to the jumping layout (length, position).
    int32_t m_nGlide = 0;
    int32_t m_nCapacity = 0;
    int32_t m_nLinesWritten = 0;   // first places of every line that may hold samples (0: silent)
    halvane::History m_SpareLines; // silent; the next lines built take it if it is large enough
    bool m_bRing = false;
    // In the jumping layout: every line is silent past its length (lines as built, or cleared).
    bool m_bTailSilent = false;
    int32_t m_nRingWrite = 0;
    double m_dDelayStart[LINES] = {};
    double m_dDelay[LINES] = {};
    int32_t m_nTargetLength[LINES] = {};
    int32_t m_nDelayDone = 0;
    int32_t m_nDelayLength = 0;
    halvane::Glide<float> m_DryGlide, m_WetGlide, m_GainGlide, m_DecayGlide;

    // Network output of the current block, kept between blocks so that processing never allocates.
    // Every pass writes a block's samples before it reads them, so they start uncleared.
    std::unique_ptr<float[]> m_OutL;
    std::unique_ptr<float[]> m_OutR;
};

#endif
