// Parameter setters: each stores its value for the next Initialize and, once the graph exists,
// hands it to the node that uses it (setters with an apply flag only when the flag is set).
#include <algorithm>
#include <cmath>
#include <new>

#include "Halvane.h"
#include "core/CriticalSectionGuard.h"
#include "core/SpeakerLayout.h"
#include "core/SurrWorkerThread.h"
#include "dsp/Glide.h"
#include "nodes/SurrEffectIIRHighPassFilter.h"
#include "nodes/SurrEffectIIRLowPassFilter.h"
#include "nodes/SurrEffectMux.h"
#include "nodes/SurrEffectPos.h"
#include "nodes/SurrEffectSum.h"
#include "nodes/SurrMovingOffEffect.h"
#include "nodes/SurrVolumeEffect.h"
#include "reverb/SurrReverbEffect.h"

using namespace halvane;

namespace {

// With the smooth mode on, a value that is not a number or is infinite is ignored: once in the
// reverb's loops or a glide it would stay there until the next Initialize. Without it, every
// value is taken as it comes.
bool Ignored(bool smoothing, float a, float b = 0.0f) {
    return smoothing && !(std::isfinite(a) && std::isfinite(b));
}

} // namespace

void CSurroundEffect::GetRoomSize(float& width, float& depth) {
    width = m_fRoomWidth;
    depth = m_fRoomDepth;
}

void CSurroundEffect::GetSoundPos(float& x, float& y) {
    x = m_fSoundX;
    y = m_fSoundY;
}

void CSurroundEffect::SetVolume(float volume, bool apply) {
    CriticalSectionGuard lock(m_cs);
    if (Ignored(m_bSmoothing, volume))
        return;
    m_fVolume = volume;
    if (apply && m_bInitialized)
        m_pVolume->m_dVolume = volume;
}

void CSurroundEffect::SetLFEVolume(float volume, bool apply) {
    CriticalSectionGuard lock(m_cs);
    if (Ignored(m_bSmoothing, volume))
        return;
    m_fLFEVolume = volume;
    if (apply && m_bInitialized)
        m_pLFEFilter->m_fGain = volume;
}

void CSurroundEffect::SetLFEMaxFreq(int freq, bool apply) {
    CriticalSectionGuard lock(m_cs);
    if (apply && m_bInitialized)
        m_pLFEFilter->SetFrequency(freq);
    m_nLFEMaxFreq = freq;
}

// The nodes rescale their own positions and source with the room; the facade keeps the source it
// was given, which the next Initialize hands to the nodes again.
void CSurroundEffect::SetRoomSize(float width, float depth, bool apply) {
    CriticalSectionGuard lock(m_cs);
    if (Ignored(m_bSmoothing, width, depth))
        return;
    if (apply && m_bInitialized) {
        m_pReverb->UpdateRoomSize(width, depth);
        m_pMovingOff->CSurrBaseEffect::SetRoomSize(width, depth);
        m_pDecomp->CSurrBaseEffect::SetRoomSize(width, depth);
        m_pPos->CSurrBaseEffect::SetRoomSize(width, depth);
    }
    m_fRoomWidth = width;
    m_fRoomDepth = depth;
}

void CSurroundEffect::SetSoundPos(float x, float y, bool apply) {
    CriticalSectionGuard lock(m_cs);
    if (Ignored(m_bSmoothing, x, y))
        return;
    if (apply && m_bInitialized) {
        m_pMovingOff->CSurrBaseEffect::SetSoundPos(x, y);
        m_pPos->CSurrBaseEffect::SetSoundPos(x, y);
        m_pDecomp->CSurrBaseEffect::SetSoundPos(x, y);
    }
    m_fSoundX = x;
    m_fSoundY = y;
}

int CSurroundEffect::SetSpeakerToChannel(int speaker, int channel) {
    if (channel < 0 || channel >= MAX_CHANNELS)
        return -1;
    CriticalSectionGuard lock(m_cs);
    int holder = -1;
    for (int k = 0; k < SPEAKER_BITS && holder < 0; ++k)
        if (m_SpeakerToChannel[k] == channel)
            holder = k;
    if (holder < 0)
        return -2;
    // Swapping keeps the table a permutation, so every channel stays named by exactly one speaker.
    const int k = SpeakerIndex(speaker);
    if (k >= 0) {
        m_SpeakerToChannel[holder] = m_SpeakerToChannel[k];
        m_SpeakerToChannel[k] = channel;
    }
    return 0;
}

void CSurroundEffect::SetLowPass(bool on) {
    CriticalSectionGuard lock(m_cs);
    m_bLowPass = on;
    if (m_bInitialized)
        m_pMux->SetInput(on ? static_cast<CSurrBaseEffect*>(m_pLowPass) : m_pMovingOff);
}

void CSurroundEffect::SetLowPassFreq(int freq) {
    CriticalSectionGuard lock(m_cs);
    m_nLowPassFreq = freq;
    if (m_bInitialized)
        m_pLowPass->SetFrequency(freq);
}

void CSurroundEffect::SetMoveOff(bool on) {
    CriticalSectionGuard lock(m_cs);
    m_bMoveOff = on;
    if (m_bInitialized)
        m_pMux->SetInput(on ? static_cast<CSurrBaseEffect*>(m_pMovingOff) : m_pLFEFilter);
}

void CSurroundEffect::SetInverse(bool on) {
    CriticalSectionGuard lock(m_cs);
    m_bInverse = on;
}

void CSurroundEffect::SetProcessAdvance(bool on) {
    CriticalSectionGuard lock(m_cs);
    m_bProcessAdvance = on;
    if (m_bInitialized)
        m_pReverb->m_bProcessAdvance = on;
}

void CSurroundEffect::SetReverb(bool on) {
    CriticalSectionGuard lock(m_cs);
    m_bReverb = on;
    if (m_bInitialized)
        m_pReverb->m_bEnabled = on;
}

void CSurroundEffect::SetRevDry(float level) {
    CriticalSectionGuard lock(m_cs);
    if (Ignored(m_bSmoothing, level))
        return;
    m_fRevDry = level;
    if (m_bInitialized)
        m_pReverb->SetRevDry(level);
}

void CSurroundEffect::SetRevWet(float level) {
    CriticalSectionGuard lock(m_cs);
    if (Ignored(m_bSmoothing, level))
        return;
    m_fRevWet = level;
    if (m_bInitialized)
        m_pReverb->SetRevWet(level);
}

void CSurroundEffect::SetRevAbsorb(float value) {
    CriticalSectionGuard lock(m_cs);
    if (Ignored(m_bSmoothing, value))
        return;
    m_fRevAbsorb = value;
    if (m_bInitialized)
        m_pReverb->SetRevAbsorb(value);
}

void CSurroundEffect::SetRevHFDecay(float value) {
    CriticalSectionGuard lock(m_cs);
    if (Ignored(m_bSmoothing, value))
        return;
    m_fRevHFDecay = value;
    if (m_bInitialized)
        m_pReverb->SetRevHFDecay(value);
}

void CSurroundEffect::SetDryOutVolume(float level) {
    CriticalSectionGuard lock(m_cs);
    if (Ignored(m_bSmoothing, level))
        return;
    m_fDryOutVolume = level;
    if (m_bInitialized)
        m_pSum->m_fDryOutVolume = level;
}

// Speaker bits name speakers (through the speaker-to-channel table); any other value is taken as a
// channel index. Indices outside the node's ten entries are ignored.
void CSurroundEffect::SetVolumeChannel(int speaker, float volume) {
    // Without a graph the call returns at once, without waiting for the lock; the test is repeated
    // under the lock, as the graph may have been freed meanwhile.
    if (!m_bInitialized)
        return;
    CriticalSectionGuard lock(m_cs);
    if (!m_bInitialized || Ignored(m_bSmoothing, volume))
        return;
    const int k = SpeakerIndex(speaker);
    const int channel = k >= 0 ? m_SpeakerToChannel[k] : speaker;
    if (channel >= 0 && channel < MAX_CHANNELS)
        m_pVolumeEx->SetVolumeChannel(channel, volume);
}

void CSurroundEffect::SetSmoothing(bool on) {
    CriticalSectionGuard lock(m_cs);
    m_bSmoothing = on;
    if (m_bInitialized)
        ApplySmoothing();
}

bool CSurroundEffect::GetSmoothing() const {
    CriticalSectionGuard lock(const_cast<CSurrCriticalSection&>(m_cs)); // as GetOutputChannels
    return m_bSmoothing;
}

void CSurroundEffect::ApplySmoothing() {
    const int32_t glide = m_bSmoothing ? GlideSamples(m_nSamplesPerSec) : 0;
    m_pPos->SetGlide(glide);
    m_pMovingOff->SetGlide(glide);
    m_pVolume->SetGlide(glide);
    m_pVolumeEx->SetGlide(glide);
    m_pLFEFilter->SetGlide(glide);
    m_pLowPass->SetGlide(glide);
    m_pReverb->SetGlide(glide);
}

int CSurroundEffect::SetWorkerThreads(int n) {
    CriticalSectionGuard lock(m_cs);
    // One extra thread is all the graph can use today.
    m_nWorkerThreads = std::clamp(n, 0, 1);
    if (!m_bInitialized)
        return m_bHostWorker ? 0 : m_nWorkerThreads;
    return m_pReverb->SetWorkers(m_nWorkerThreads, m_bHostWorker ? m_pHostWorker : nullptr);
}

bool CSurroundEffect::SetHostWorker(bool on) {
    CriticalSectionGuard lock(m_cs);
    if (on && !m_pHostWorker)
        m_pHostWorker = new (std::nothrow) CSurrWorkerThread(CSurrWorkerThread::Lent{});
    m_bHostWorker = on && m_pHostWorker;
    if (m_bInitialized) {
        m_pReverb->SetWorkers(m_nWorkerThreads, m_bHostWorker ? m_pHostWorker : nullptr);
        m_bHostWorker = m_pReverb->HasLentWorker();
    }
    return m_bHostWorker;
}

bool CSurroundEffect::HelpProcess() {
    return m_pHostWorker && m_pHostWorker->Help();
}
