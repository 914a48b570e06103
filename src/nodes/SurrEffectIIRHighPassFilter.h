#ifndef HALVANE_NODES_SURREFFECTIIRHIGHPASSFILTER_H
#define HALVANE_NODES_SURREFFECTIIRHIGHPASSFILTER_H

#include "Halvane.h"
#include "dsp/nsp.h"

// Second-order Butterworth on the flagged channels. Despite the class name its design is a
// low-pass: the facade uses it to derive the LFE channel (default 100 Hz), with a gain after it.
class CSurrEffectIIRHighPassFilter : public CSurrBaseEffect {
public:
    ~CSurrEffectIIRHighPassFilter() override;
    void Initialize(tWAVEFORMATEX* format) override; // designs and builds the filters
    void UpdateParams() override;                    // design, then rebuild every state
    int Process(_SOUNDDATAEX_* data) override;
    virtual void SetFrequency(int32_t hz); // stores the cut-off, then UpdateParams

    // Copies count (1..10) flags into m_nFilterChannel; other counts change nothing.
    void SetFilterChannels(const int32_t* flags, int32_t count);

    int32_t m_nFilterChannel[10] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}; // non-zero: the channel is filtered
    float m_fGain = 1.0f;                  // applied after filtering, skipped when exactly 1.0
    int32_t m_nFrequency = 100;            // cut-off, Hz
    float m_fTaps[6] = {};                 // b0, b1, b2, 1.0, a1, a2
    NspIirFilterState m_IirState[10] = {}; // marker 0: free

protected:
    static constexpr double PI = 3.141592653589793; // pi to double precision

    void RebuildStates();
};

#endif
