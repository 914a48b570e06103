#include "core/SurrBaseEffectNotEx.h"

void CSurrBaseEffectNotEx::Initialize(tWAVEFORMATEX* format) {
    m_nSamplesPerSec = static_cast<int32_t>(format->nSamplesPerSec);
    m_nChannels = format->nChannels;
}

int CSurrBaseEffectNotEx::GetBuffer(_SOUNDDATA_ data) {
    if (m_pInput)
        m_pInput->GetBuffer(data);
    return Process(data) ? 1 : 0;
}
