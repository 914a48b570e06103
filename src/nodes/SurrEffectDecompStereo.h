#ifndef HALVANE_NODES_SURREFFECTDECOMPSTEREO_H
#define HALVANE_NODES_SURREFFECTDECOMPSTEREO_H

#include "nodes/SurrEffectDecompMono.h"

// First node of the graph for a stereo stream: each speaker gets a blend of left and right weighted
// by where it stands across the room's width (left wall: left only, right wall: right only).
class CSurrEffectDecompStereo : public CSurrEffectDecompMono {
public:
    struct Weights {
        float fLeft;
        float fRight;
    };

    CSurrEffectDecompStereo();
    void SetSpeakersConfig(int code) override; // also moves the LFE speaker to x = W/2
    void UpdateParams() override;              // weights from the speakers' x positions
    int Process(_SOUNDDATAEX_* data) override;

    Weights m_Weights[10]; // weight of the left and right input for each output channel

private:
    // Writes out = fLeft·left + fRight·right for one channel (scratch holds the right product).
    void Blend(const Weights& w, const float* left, const float* right, float* out, float* scratch,
               int32_t n) const;

    std::vector<float> m_Scratch; // right-hand products, one largest block
};

#endif
