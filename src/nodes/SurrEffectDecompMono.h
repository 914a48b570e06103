#ifndef HALVANE_NODES_SURREFFECTDECOMPMONO_H
#define HALVANE_NODES_SURREFFECTDECOMPMONO_H

#include "Halvane.h"

// First node of the graph for a mono stream: copies the one input channel into every speaker
// channel (the LFE channel included).
class CSurrEffectDecompMono : public CSurrBaseEffect {
public:
    int Process(_SOUNDDATAEX_* data) override;

    // Realtime path: while set (to m_nSpeakers buffers of at least the block length, owned by the
    // caller), Process writes the speaker channels into these buffers and points the record at
    // them instead of allocating; the record's input buffers are left alone. Null restores the
    // allocating behaviour. The samples are the same either way.
    void SetOutputBuffers(float* const* buffers) { m_ppOutputBuffers = buffers; }

protected:
    float* const* m_ppOutputBuffers = nullptr;
};

#endif
