#ifndef HALVANE_NODES_SURREFFECTIIRHIGHPASSFILTER_H
#define HALVANE_NODES_SURREFFECTIIRHIGHPASSFILTER_H

#include "Halvane.h"
#include "dsp/Glide.h"
#include "dsp/nsp.h"

// Second-order Butterworth on the flagged channels. Despite the class name its design is a
// low-pass: the facade uses it to derive the LFE channel (default 100 Hz), with a gain after it.
class CSurrEffectIIRHighPassFilter : public CSurrBaseEffect {
public:
    ~CSurrEffectIIRHighPassFilter() override;
    void Initialize(tWAVEFORMATEX* format) override; // designs and builds the filters
    void UpdateParams() override;                    // design, then rebuild every state
    int Process(_SOUNDDATAEX_* data) override;
    // Stores the cut-off, then UpdateParams; in the smooth mode the taps glide to the new design
    // instead, with the filter memories kept and nothing allocated.
    virtual void SetFrequency(int32_t hz);
    // Smooth mode: new taps and a new gain glide over `samples` samples; 0 (the default) makes
    // them jump, a new cut-off restarting the filters from silence.
    void SetGlide(int32_t samples);

    // Copies count (1..10) flags into m_nFilterChannel; other counts change nothing.
    void SetFilterChannels(const int32_t* flags, int32_t count);

    int32_t m_nFilterChannel[10] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}; // non-zero: the channel is filtered
    float m_fGain = 1.0f;                  // applied after filtering, skipped when exactly 1.0
    int32_t m_nFrequency = 100;            // cut-off, Hz
    float m_fTaps[6] = {};                 // b0, b1, b2, 1.0, a1, a2
    NspIirFilterState m_IirState[10] = {}; // marker 0: free

protected:
    static constexpr double PI = 3.141592653589793; // pi to double precision

    virtual void DesignTaps(); // m_fTaps for m_nFrequency at the node's rate
    void RebuildStates();

private:
    void StartTapGlide();
    void FilterGliding(NspIirFilterState& state, float* samples, int32_t n);

    int32_t m_nGlide = 0;
    halvane::Glide<float> m_TapGlide[5]; // b0, b1, b2, a1, a2 of every state, gliding together
    halvane::Glide<float> m_GainGlide;
};

#endif
