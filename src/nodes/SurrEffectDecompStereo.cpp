#include "nodes/SurrEffectDecompStereo.h"

#include "core/SpeakerLayout.h"
#include "dsp/nsp.h"

#include <algorithm>
#include <cstring>

using namespace halvane;

CSurrEffectDecompStereo::CSurrEffectDecompStereo() : m_Weights{}, m_Scratch(MAX_BLOCK) {
    // Weights of layout 63 with the LFE speaker still at x = 0 (left only) until a layout is set.
    CSurrEffectDecompStereo::UpdateParams();
}

void CSurrEffectDecompStereo::SetSpeakersConfig(int code) {
    CSurrBaseEffect::SetSpeakersConfig(code);
    // The LFE speaker stands at (0, 0) in every layout; for the mix it is moved to the middle so
    // that it takes left and right alike.
    if (HasLfe(code))
        m_SpeakerPos[m_ChannelMap[LFE]].x = static_cast<float>(static_cast<double>(m_fRoomWidth) * 0.5);
    UpdateParams();
}

void CSurrEffectDecompStereo::UpdateParams() {
    for (int i = 0; i < m_nSpeakers; ++i) {
        // The left weight is formed from the right one as stored, so the pair is (1 - q, q).
        const float q = static_cast<float>(static_cast<double>(m_SpeakerPos[i].x) / m_fRoomWidth);
        m_Weights[i].fLeft = static_cast<float>(1.0 - q);
        m_Weights[i].fRight = q;
    }
}

namespace {

// Block copy; a buffer copied onto itself (the realtime path may hand the input back as an output)
// is left as it is.
void CopyBlock(float* dst, const float* src, size_t bytes) {
    if (dst != src)
        std::memcpy(dst, src, bytes);
}

} // namespace

// The left product is formed first and the right one added to it; a weight of exactly 1 is not
// multiplied and a right weight of exactly 0 is not added, so wall speakers get their input bit
// for bit.
void CSurrEffectDecompStereo::Blend(const Weights& w, const float* left, const float* right, float* out,
                                    float* scratch, int32_t n) const {
    const size_t bytes = sizeof(float) * static_cast<size_t>(n);
    if (w.fLeft == 0.0f) {
        CopyBlock(out, right, bytes);
        if (w.fRight != 1.0f)
            nspsbMpy1(w.fRight, out, n);
        return;
    }
    CopyBlock(out, left, bytes);
    if (w.fLeft != 1.0f)
        nspsbMpy1(w.fLeft, out, n);
    if (w.fRight != 0.0f) {
        std::memcpy(scratch, right, bytes);
        if (w.fRight != 1.0f)
            nspsbMpy1(w.fRight, scratch, n);
        nspsbAdd2(scratch, out, n);
    }
}

int CSurrEffectDecompStereo::Process(_SOUNDDATAEX_* data) {
    const int32_t n = data->nSamples;
    const float* left = data->Channels[0];
    const float* right = data->Channels[1];

    // Realtime path: caller-owned buffers in and out. Otherwise the block gets new buffers of its
    // own. Either way the right-hand products go through the member scratch buffer, one largest
    // block at a time (the arithmetic is per sample, so the pieces join seamlessly).
    // Blend writes every sample of every channel, so new buffers need no clearing first.
    _SOUNDDATAEX_ out;
    if (!m_ppOutputBuffers)
        out.Allocate(m_nSpeakers, n);
    float* const* outputs = m_ppOutputBuffers ? m_ppOutputBuffers : out.Channels.data();
    for (int i = 0; i < m_nSpeakers; ++i) {
        for (int32_t done = 0; done < n; done += MAX_BLOCK) {
            const int32_t part = std::min<int32_t>(n - done, MAX_BLOCK);
            Blend(m_Weights[i], left + done, right + done, outputs[i] + done, m_Scratch.data(), part);
        }
    }

    if (m_ppOutputBuffers) {
        // Nothing here is the record's to release: it just points at the caller's outputs.
        data->Channels.assign(m_ppOutputBuffers, m_ppOutputBuffers + m_nSpeakers);
        data->bFlag = 0;
        data->nReserved = 0;
        return 1;
    }
    // The new buffers change owner: the block's old ones are released, the local record hands its
    // pointers over and is dropped without releasing them. The host's word travels on unchanged.
    out.nUser = data->nUser;
    data->Release();
    *data = std::move(out);
    return 1;
}
