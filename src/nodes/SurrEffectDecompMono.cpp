#include "nodes/SurrEffectDecompMono.h"

#include <cstring>

int CSurrEffectDecompMono::Process(_SOUNDDATAEX_* data) {
    const int32_t n = data->nSamples;
    const size_t bytes = sizeof(float) * static_cast<size_t>(n > 0 ? n : 0);

    if (m_ppOutputBuffers) {
        // Realtime path: the caller owns both the input buffer and the output buffers.
        const float* in = data->Channels[0];
        for (int c = 0; c < m_nSpeakers; ++c)
            if (m_ppOutputBuffers[c] != in)
                std::memcpy(m_ppOutputBuffers[c], in, bytes);
        data->Channels.assign(m_ppOutputBuffers, m_ppOutputBuffers + m_nSpeakers);
        return 1;
    }

    if (m_nSpeakers < 2)
        return 1;
    // The record enters with its one channel and gains a buffer of its own for every further
    // speaker; the record owns them from here on.
    for (int c = 1; c < m_nSpeakers; ++c) {
        data->Channels.push_back(new float[n > 0 ? n : 0]);
        std::memcpy(data->Channels[c], data->Channels[0], bytes);
    }
    return 1;
}
