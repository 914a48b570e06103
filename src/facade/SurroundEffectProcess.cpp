// Block processing: the host's records through the graph, in blocks of at most 4096 samples.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "Halvane.h"
#include "core/CriticalSectionGuard.h"
#include "core/SpeakerLayout.h"
#include "dsp/FlushDenormals.h"
#include "dsp/nsp.h"
#include "nodes/SurrEffectDecompMono.h"
#include "reverb/SurrReverbEffect.h"

using namespace halvane;

namespace {

void CopySamples(const float* src, float* dst, int n) {
    std::memcpy(dst, src, sizeof(float) * n);
}

// Smooth mode: a sample that is not a number or is infinite enters as silence, so that it cannot
// settle in the reverb's loops and the filter memories.
void SilenceNonFinite(float* samples, int n) {
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(samples[i]))
            samples[i] = 0.0f;
}

} // namespace

int CSurroundEffect::Process(_SOUNDDATAEX_* data) {
    CriticalSectionGuard lock(m_cs);
    ScopedFlushDenormals flush; // decaying tails stay fast; the caller's mode comes back
    const int inputs = static_cast<int>(data->Channels.size());
    // Nothing that cannot be pulled reaches the graph: the kernels refuse empty blocks outright,
    // and the decomposition node reads exactly the channels its graph was built for.
    if (inputs < 1 || inputs > 2 || data->nSamples <= 0 || !m_bInitialized || inputs != m_nGraphInputs)
        return 0;
    const int32_t reserved = data->nReserved;
    const uint32_t user = data->nUser;
    const int total = data->nSamples;
    if (m_pReverb)
        m_pReverb->WakeWorker(total);
    if (m_bSmoothing)
        for (int j = 0; j < inputs; ++j)
            SilenceNonFinite(data->Channels[j], total);

    if (total <= MAX_BLOCK) {
        const int result = m_pOutput->GetBuffer(data);
        data->nReserved = reserved;
        data->nUser = user;
        return result;
    }

    // The output record is sized from the first block's result: the graph's channel count, which
    // differs from m_nSpeakers when a layout was stored without being applied to the graph or a
    // format of another channel count was given to Initialize since the graph was built.
    _SOUNDDATAEX_ output;
    _SOUNDDATAEX_ block;
    try {
        for (int start = 0; start < total; start += MAX_BLOCK) {
            const int n = std::min(MAX_BLOCK, total - start);
            block.Allocate(inputs, n);
            for (int j = 0; j < inputs; ++j)
                CopySamples(data->Channels[j] + start, block.Channels[j], n);
            m_pOutput->GetBuffer(&block);
            if (start == 0)
                output.Allocate(static_cast<int>(block.Channels.size()), total);
            for (size_t k = 0; k < output.Channels.size() && k < block.Channels.size(); ++k)
                CopySamples(block.Channels[k], output.Channels[k] + start, n);
            block.Release();
        }
    } catch (...) {
        block.Release();
        output.Release();
        throw;
    }
    data->Release();
    *data = output; // the buffers change owner; `output` dies without releasing them
    data->nReserved = reserved;
    data->nUser = user;
    return 1;
}

int CSurroundEffect::GetBuffer(_SOUNDDATAEX_* data) {
    {
        CriticalSectionGuard lock(m_cs);
        if (!m_bInitialized)
            return 0;
    }
    if (m_pInput)
        m_pInput->GetBuffer(data);
    return Process(data) ? 1 : 0;
}

// Reads the graph, so it waits for the lock: Initialize on another thread may be freeing it. The
// lock field is not mutable in the public header; entering and leaving it changes nothing a caller
// can see.
int CSurroundEffect::GetOutputChannels() const {
    CriticalSectionGuard lock(const_cast<CSurrCriticalSection&>(m_cs));
    return m_bInitialized ? m_pDecomp->m_nSpeakers : 0;
}

int CSurroundEffect::ProcessPlanar(const float* const* ppInput, int nInputChannels, float* const* ppOutput,
                                   int nOutputChannels, int nSamples) {
    CriticalSectionGuard lock(m_cs);
    ScopedFlushDenormals flush; // decaying tails stay fast; the caller's mode comes back
    return ProcessPlanarLocked(ppInput, nInputChannels, ppOutput, nOutputChannels, nSamples);
}

// Runs the same blocks through the graph as Process does for a call of the same length, on buffers
// the object keeps: the decomposition writes straight into them instead of allocating.
int CSurroundEffect::ProcessPlanarLocked(const float* const* ppInput, int nInputChannels,
                                         float* const* ppOutput, int nOutputChannels, int nSamples) {
    if (!m_bInitialized || nInputChannels != m_nGraphInputs || nSamples < 0 || nOutputChannels < 0)
        return 0;
    auto* decomp = static_cast<CSurrEffectDecompMono*>(m_pDecomp);
    if (m_pReverb)
        m_pReverb->WakeWorker(nSamples);
    for (int start = 0; start < nSamples; start += MAX_BLOCK) {
        const int n = std::min(MAX_BLOCK, nSamples - start);
        // Copying the input first lets the host pass the same buffers for input and output.
        m_RtBlock.Channels.resize(nInputChannels);
        for (int j = 0; j < nInputChannels; ++j) {
            m_RtBlock.Channels[j] = m_RtInput.data() + j * MAX_BLOCK;
            CopySamples(ppInput[j] + start, m_RtBlock.Channels[j], n);
            if (m_bSmoothing)
                SilenceNonFinite(m_RtBlock.Channels[j], n);
        }
        m_RtBlock.nSamples = n;
        decomp->SetOutputBuffers(m_RtOutputChannels);
        m_pOutput->GetBuffer(&m_RtBlock);
        decomp->SetOutputBuffers(nullptr);
        const int produced = static_cast<int>(m_RtBlock.Channels.size());
        for (int k = 0; k < nOutputChannels; ++k) {
            if (k < produced)
                CopySamples(m_RtBlock.Channels[k], ppOutput[k] + start, n);
            else
                std::memset(ppOutput[k] + start, 0, sizeof(float) * n);
        }
    }
    return 1;
}

void CSurroundEffect::FinalStageSamples(float* const* channels, int nChannels, int nSamples,
                                        bool clamp) const {
    if (nSamples < 1)
        return;
    for (int i = 0; i < nChannels; ++i) {
        float* channel = channels[i];
        if (clamp) {
            nspsbThresh1(channel, nSamples, 1.0f, NSP_THRESH_ABOVE);
            nspsbThresh1(channel, nSamples, -1.0f, NSP_THRESH_BELOW);
        }
        const bool rightHand = i == m_ChannelMap[FR] || i == m_ChannelMap[BR] || i == m_ChannelMap[SR];
        if (m_bInverse && rightHand)
            nspsbMpy1(-1.0f, channel, nSamples);
    }
}

// Channels in the order of the speakers they feed, each at its first mention (the speakers a
// layout lacks all name channel 9); any channel the table does not name (a layout stored but not
// applied) goes last, so that every buffer is handed back exactly once.
void CSurroundEffect::FinalStageOrder(float* const* channels, int nChannels, float** ordered) const {
    int next = 0;
    bool taken[MAX_CHANNELS] = {};
    for (int k = 0; k < SPEAKER_BITS; ++k) {
        const int e = m_SpeakerToChannel[k];
        if (e >= 0 && e < nChannels && e < MAX_CHANNELS && !taken[e]) {
            ordered[next++] = channels[e];
            taken[e] = true;
        }
    }
    for (int e = 0; e < nChannels; ++e)
        if (e >= MAX_CHANNELS || !taken[e])
            ordered[next++] = channels[e];
}

void CSurroundEffect::PostProcessing(_SOUNDDATAEX_* data) {
    const int n = static_cast<int>(data->Channels.size());
    FinalStageSamples(data->Channels.data(), n, data->nSamples, true);
    std::vector<float*> ordered(n);
    FinalStageOrder(data->Channels.data(), n, ordered.data());
    data->Channels.swap(ordered);
    data->bFlag = 0;
    data->nReserved = 0;
}

int CSurroundEffect::PostProcessPlanar(float** ppChannels, int nChannels, int nSamples, bool clamp) {
    if (nChannels < 0 || nChannels > MAX_CHANNELS || nSamples < 0)
        return 0;
    CriticalSectionGuard lock(m_cs);
    FinalStageSamples(ppChannels, nChannels, nSamples, clamp);
    float* ordered[MAX_CHANNELS];
    FinalStageOrder(ppChannels, nChannels, ordered);
    std::copy(ordered, ordered + nChannels, ppChannels);
    return 1;
}

int CSurroundEffect::GetPostProcessedSpeakers(int* speakers, int count) {
    CriticalSectionGuard lock(m_cs);
    const int channels = GetOutputChannels();
    int n = 0;
    for (int k = 0; k < SPEAKER_BITS; ++k) {
        if (m_SpeakerToChannel[k] < 0 || m_SpeakerToChannel[k] >= channels)
            continue;
        if (n < count)
            speakers[n] = 1 << k;
        ++n;
    }
    return n;
}
