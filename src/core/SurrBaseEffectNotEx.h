// Base of the small processing objects that work on one or two caller-owned buffers and know
// nothing of speakers or rooms (the reverb core). They are driven directly by their owner.
#ifndef HALVANE_CORE_SURRBASEEFFECTNOTEX_H
#define HALVANE_CORE_SURRBASEEFFECTNOTEX_H

#include <cstdint>

#include "Halvane.h"

// Sound record of these objects, passed by value; the buffers stay the caller's.
struct _SOUNDDATA_ {
    uint32_t nSamples; // samples in each buffer
    float* pLeft;      // first (or only) channel
    float* pRight;     // second channel; null for one channel
};

class CSurrBaseEffectNotEx {
public:
    CSurrBaseEffectNotEx() = default;
    virtual ~CSurrBaseEffectNotEx() = default;

    virtual void Initialize(tWAVEFORMATEX* format); // records sample rate and channel count
    virtual void Free() {}                          // releases the object's memory (none here)
    virtual void SetInput(CSurrBaseEffectNotEx* input) { m_pInput = input; }
    virtual int GetBuffer(_SOUNDDATA_ data); // pulls the input, then Process; 1 = success
    virtual void UpdateParams() {}
    virtual int Process(_SOUNDDATA_ /*data*/) { return 1; }

    CSurrBaseEffectNotEx* m_pInput = nullptr; // processed first by GetBuffer; not owned
    int32_t m_nSamplesPerSec = 44100;         // from Initialize
    int32_t m_nChannels = 1;                  // from Initialize
};

#endif
