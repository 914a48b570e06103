#include "nodes/SurrEffectSum.h"

#include "core/SpeakerLayout.h"
#include "dsp/nsp.h"

using namespace halvane;

CSurrEffectSum::~CSurrEffectSum() {
    m_Buffer.Release();
}

void CSurrEffectSum::Free() {
    m_Buffer.Release();
}

// The inputs are collected in order; the node's own m_pInput stays empty, so the base GetBuffer
// pulls nothing itself and Process pulls both branches.
void CSurrEffectSum::SetInput(CSurrBaseEffect* input) {
    if (m_nInputs < MAX_CHANNELS)
        m_pInputs[m_nInputs++] = input;
}

void CSurrEffectSum::SetSpeakersConfig(int code) {
    CSurrBaseEffect::SetSpeakersConfig(code);
    KeepOrAllocate(m_Buffer, m_nSpeakers); // the second input writes every block it hands over
}

void CSurrEffectSum::TakeBuffer(CSurrEffectSum& old) {
    TakeRecord(m_Buffer, old.m_Buffer);
}

int CSurrEffectSum::Process(_SOUNDDATAEX_* data) {
    if (m_pInputs[0])
        m_pInputs[0]->GetBuffer(data);
    if (m_pInputs[1])
        m_pInputs[1]->GetBuffer(&m_Buffer);
    const int channels = static_cast<int>(m_Buffer.Channels.size());
    for (int c = 0; c < channels; ++c) {
        // The LFE channel keeps the first branch's signal only.
        if (IsLfeChannel(*this, c))
            continue;
        nspsbAdd2(m_Buffer.Channels[c], data->Channels[c], m_Buffer.nSamples);
    }
    return 1;
}
