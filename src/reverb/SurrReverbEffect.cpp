#include "reverb/SurrReverbEffect.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include "core/SpeakerLayout.h"
#include "core/SurrWorkerThread.h"
#include "dsp/nsp.h"
#include "nodes/SurrEffectDelay.h"
#include "reverb/SurrReverbFdnEffect.h"

using halvane::DelayGlideSamples;
using halvane::Glide;
using halvane::ReadRing;

namespace {

// The graph's limits: longer blocks go through the cores and the cross-feed in pieces.
using halvane::MAX_BLOCK;
using halvane::MAX_CHANNELS;

// The four corners and the speaker bit of each (index into m_ChannelMap).
enum Corner { FL, FR, BL, BR };
constexpr int CORNER_BIT[4] = {halvane::FL, halvane::FR, halvane::BL, halvane::BR};

// Distance a cross-feed path covers.
enum Path { WIDTH, DEPTH, DIAGONAL };

// Cross-feed groups: each adds three delayed corners into one destination corner. Source 1 is
// always the opposite corner. The paths of group 2 follow groups 0 and 3 (depth first), not the
// mirror image of group 1.
struct CrossGroup {
    Corner dest;
    Corner source[3];
    Path path[3];
};
constexpr CrossGroup CROSS_GROUPS[4] = {
    {FL, {BL, BR, FR}, {DEPTH, DIAGONAL, WIDTH}},
    {FR, {FL, BL, BR}, {WIDTH, DIAGONAL, DEPTH}},
    {BL, {BR, FR, FL}, {DEPTH, DIAGONAL, WIDTH}},
    {BR, {FR, FL, BL}, {DEPTH, DIAGONAL, WIDTH}},
};
// -6 dB = 10^(-6/20) for a neighbouring corner, -12 dB = 10^(-12/20) for the opposite one.
constexpr float CROSS_GAIN[3] = {0.501187f, 0.251189f, 0.501187f};

// Samples a cross-feed history holds: a delay plus a block, as in the delay node.
constexpr int32_t HISTORY = CSurrEffectDelayEx::HISTORY;

// dest += float(src * gain), sample by sample: the product is rounded to float before the sum.
void AddScaled(const float* src, float gain, float* dest, int32_t n) {
    for (int32_t j = 0; j < n; ++j) {
        const float scaled = src[j] * gain;
        dest[j] = dest[j] + scaled;
    }
}

// While a path's delay glides (smooth mode), its samples are read between samples from the
// corner's history, scaled and added as AddScaled does. Returns the samples done.
int32_t GlideCrossPath(Glide<double>& path, const float* ring, int32_t oldest, float gain, float* dest,
                       int32_t n) {
    if (!path.Gliding())
        return 0;
    const int32_t first = oldest - n < 0 ? oldest - n + HISTORY : oldest - n; // block sample 0
    const double limit = std::min(CSurrEffectDelayEx::MAX_GLIDE_DELAY, HISTORY - n - 3);
    const int32_t run = std::min(n, path.Remaining());
    for (int32_t j = 0; j < run; ++j) {
        const int32_t newest = first + j >= HISTORY ? first + j - HISTORY : first + j;
        const float scaled =
            ReadRing(ring, HISTORY, newest, std::clamp(path.Ahead(j + 1), 0.0, limit)) * gain;
        dest[j] = dest[j] + scaled;
    }
    path.Advance(run);
    return run;
}

} // namespace

CSurrReverbEffect::CSurrReverbEffect() = default;

CSurrReverbEffect::~CSurrReverbEffect() {
    m_Lockstep.Forget();
    for (CSurrReverbFdnEffect*& core : m_pFdn) { // their lines go with them
        delete core;
        core = nullptr;
    }
    CSurrReverbEffect::Free();
    m_CoreOut.Release();
}

void CSurrReverbEffect::CreateCores(tWAVEFORMATEX* monoFormat) {
    for (int i = 0; i < MAX_CHANNELS; ++i) {
        // The memory of the core this one replaces; a layout of fewer channels lets the rest go.
        halvane::History spare = std::move(m_SpareLines[i]);
        if (i >= m_nSpeakers) {
            m_SpareScratch[i][0].reset();
            m_SpareScratch[i][1].reset();
            continue;
        }
        m_pFdn[i] =
            new CSurrReverbFdnEffect(std::move(m_SpareScratch[i][0]), std::move(m_SpareScratch[i][1]));
        m_pFdn[i]->GiveLines(std::move(spare));
        m_pFdn[i]->SetGlide(m_nGlide); // before the room size builds the lines
        m_pFdn[i]->Initialize(monoFormat);
    }
}

void CSurrReverbEffect::SetGlide(int32_t samples) {
    m_nGlide = samples;
    if (samples == 0)
        for (auto& group : m_CrossGlide)
            for (Glide<double>& path : group)
                path.Reset(path.Target());
    SyncCores(); // the cores' own lines are the ones that grow or end their glides
    for (CSurrReverbFdnEffect* core : m_pFdn)
        if (core)
            core->SetGlide(samples);
    ReserveForGlides();
}

// The lockstep engine's lines get the cores' smooth-mode capacity, so that taking the cores over
// again after a room glide allocates nothing.
void CSurrReverbEffect::ReserveForGlides() {
    if (m_nGlide <= 0 || !m_pFdn[0])
        return;
    const int count = std::min(m_nSpeakers, MAX_CHANNELS);
    m_Lockstep.ReserveUpTo(m_pFdn, count, m_pFdn[0]->LineCapacity());
}

bool CSurrReverbEffect::CoresGliding() const {
    for (const CSurrReverbFdnEffect* core : m_pFdn)
        if (core && core->Gliding())
            return true;
    return false;
}

void CSurrReverbEffect::DeleteCores() {
    m_Lockstep.Forget(); // what it held belongs to these cores
    for (int i = 0; i < MAX_CHANNELS; ++i) {
        if (m_pFdn[i]) {
            m_SpareLines[i] = m_pFdn[i]->TakeLines();
            m_pFdn[i]->TakeScratch(m_SpareScratch[i][0], m_SpareScratch[i][1]);
        }
        delete m_pFdn[i];
        m_pFdn[i] = nullptr;
    }
}

void CSurrReverbEffect::Initialize(tWAVEFORMATEX* format) {
    Initialize(format, true);
}

void CSurrReverbEffect::InitializeBeforeLayout(tWAVEFORMATEX* format) {
    Initialize(format, false);
}

void CSurrReverbEffect::TakeMemory(CSurrReverbEffect& old) {
    old.DeleteCores();
    for (int i = 0; i < MAX_CHANNELS; ++i) {
        m_SpareLines[i] = std::move(old.m_SpareLines[i]);
        m_SpareScratch[i][0] = std::move(old.m_SpareScratch[i][0]);
        m_SpareScratch[i][1] = std::move(old.m_SpareScratch[i][1]);
    }
    halvane::TakeRecord(m_CoreOut, old.m_CoreOut);
    m_CornerHistory = std::move(old.m_CornerHistory);
    m_nCornerWritten = old.m_nCornerWritten;
    m_Lockstep.TakeStorage(old.m_Lockstep);
}

void CSurrReverbEffect::Initialize(tWAVEFORMATEX* format, bool buildCores) {
    CSurrBaseEffect::Initialize(format);
    // The corner histories are kept and cleared where they were written: all four advance
    // together from place 0, so the same first places of each.
    halvane::History corners = std::move(m_CornerHistory);
    if (corners.Size() == 4 * HISTORY) {
        for (int q = 0; q < 4; ++q)
            std::memset(corners.Data() + static_cast<size_t>(q) * HISTORY, 0,
                        sizeof(float) * static_cast<size_t>(m_nCornerWritten));
    } else {
        corners = halvane::History(4 * HISTORY);
    }
    m_nCornerWritten = 0;
    _SOUNDDATAEX_ coreOut = std::move(m_CoreOut); // kept when its shape fits
    Free();
    m_CoreOut = std::move(coreOut);
    if (buildCores) {
        halvane::KeepOrAllocate(m_CoreOut, m_nSpeakers);
        // Cores and delay nodes each work on one channel of the stream.
        tWAVEFORMATEX mono = *format;
        mono.nChannels = 1;
        CreateCores(&mono);
    }

    SetCrossDelays(false);
    m_CornerHistory = std::move(corners);
    for (int32_t& oldest : m_nCornerOldest)
        oldest = 0;

    m_bInitialized = true;
    UpdateParams();
    UpdateRoomSize(m_fRoomWidth, m_fRoomDepth);
    ReserveForGlides();
}

// The travel times convert to samples exactly as a delay node's do; only the lengths are needed,
// the cross-feed keeps its own histories. With `glide`, each path's delay glides to its new length.
void CSurrReverbEffect::SetCrossDelays(bool glide) {
    const float width = m_fRoomWidth;
    const float depth = m_fRoomDepth;
    const float distance[3] = {width, depth, std::sqrt(width * width + depth * depth)};
    for (int g = 0; g < 4; ++g) {
        for (int i = 0; i < 3; ++i) {
            m_nCrossDelay[g][i] = CSurrEffectDelayEx::DelaySamples(
                halvane::TravelTimeMs(distance[CROSS_GROUPS[g].path[i]]), m_nSamplesPerSec);
            const double target = std::clamp(m_nCrossDelay[g][i], 0, CSurrEffectDelayEx::MAX_GLIDE_DELAY);
            Glide<double>& path = m_CrossGlide[g][i];
            if (glide)
                path.SetTarget(target, DelayGlideSamples(target - path.Current(), m_nGlide));
            else
                path.Reset(target);
        }
    }
}

void CSurrReverbEffect::Free() {
    m_bInitialized = false;
    DeleteCores();
    for (auto& group : m_nCrossDelay)
        for (int32_t& delay : group)
            delay = 0;
    m_CoreOut.Release();
    m_CornerHistory = halvane::History();
}

void CSurrReverbEffect::SetSpeakersConfig(int code) {
    CSurrBaseEffect::SetSpeakersConfig(code);
    // New cores start silent; the cross-feed travel times stay as they are.
    DeleteCores();
    tWAVEFORMATEX mono{};
    mono.nChannels = 1;
    mono.nSamplesPerSec = static_cast<uint32_t>(m_nSamplesPerSec);
    CreateCores(&mono);
    halvane::KeepOrAllocate(m_CoreOut, m_nSpeakers);
    UpdateParams();
    ReserveForGlides();
}

void CSurrReverbEffect::UpdateParams() {
    if (!m_bInitialized)
        return;
    const float loopGain = 1.0f - m_fAbsorb;
    for (int i = 0; i < m_nSpeakers && i < MAX_CHANNELS; ++i) {
        CSurrReverbFdnEffect* core = m_pFdn[i];
        if (!core)
            continue;
        core->SetDry(m_fDry);
        core->SetHFDecay(m_fHFDecay);
        core->SetFeedbackGain(loopGain);
        core->SetWet(m_fWet);
        core->SetRoomSize(m_fRoomSize); // rebuilds the lines only when the clamped size changes
    }
    ReserveLockstep();
}

// Sized on the parameter path, so that blocks do not allocate.
void CSurrReverbEffect::ReserveLockstep() {
    m_Lockstep.Reserve(m_pFdn, std::min(m_nSpeakers, MAX_CHANNELS));
}

void CSurrReverbEffect::SyncCores() {
    m_Lockstep.HandBack(m_pFdn);
}

int CSurrReverbEffect::SetWorkers(int threads, CSurrWorkerThread* lent) {
    m_pLent = lent;
    if (threads <= 0 || lent) {
        m_pWorker.reset(); // a lent worker takes the place of our own
    } else if (!m_pWorker) {
        try {
            m_pWorker = std::make_unique<CSurrWorkerThread>();
        } catch (const std::exception&) {
            // No thread to be had: the cores keep running on the calling thread.
        }
    }
    if (!m_Lockstep.SetWorker(ActiveWorker())) { // no memory for the split's scratch: one thread
        m_pLent = nullptr;
        m_pWorker.reset();
    }
    return m_pWorker ? 1 : 0;
}

void CSurrReverbEffect::WakeWorker(int32_t samples) {
    if (m_pWorker && !m_pLent && m_bEnabled && m_Lockstep.WillSplit(std::min(samples, MAX_BLOCK)))
        m_pWorker->Wake();
}

void CSurrReverbEffect::UpdateRoomSize(float width, float depth) {
    CSurrBaseEffect::SetRoomSize(width, depth);
    // The cores take the mean of width and depth. In the jumping mode the cross-feed keeps the
    // travel times set by Initialize: retargeting a running delay would jump its read position
    // mid-tail. In the smooth mode they glide to the new room's.
    if (m_nGlide > 0 && m_bInitialized)
        SetCrossDelays(true);
    m_fRoomSize = static_cast<float>((static_cast<double>(width) + depth) * 0.5);
    UpdateParams();
}

void CSurrReverbEffect::SetRevDry(float level) {
    m_fDry = level;
    UpdateParams();
}

void CSurrReverbEffect::SetRevWet(float level) {
    m_fWet = level;
    UpdateParams();
}

void CSurrReverbEffect::SetRevAbsorb(float value) {
    m_fAbsorb = value;
    UpdateParams();
}

void CSurrReverbEffect::SetRevHFDecay(float value) {
    m_fHFDecay = value;
    UpdateParams();
}

int CSurrReverbEffect::Process(_SOUNDDATAEX_* data) {
    const int32_t n = data->nSamples;
    if (n <= 0)
        return 1;
    if (!m_bEnabled) {
        // The cores stand still; their tails resume where they were once the reverb is back on.
        for (float* channel : data->Channels)
            nspsbMpy1(m_fDry, channel, n);
        return 1;
    }
    // Cores and delay nodes carry their state across calls, so pieces of one block give the same
    // samples as the block at once.
    for (int32_t done = 0; done < n; done += MAX_BLOCK)
        ProcessPiece(data, done, std::min(n - done, MAX_BLOCK));
    return 1;
}

void CSurrReverbEffect::ProcessPiece(_SOUNDDATAEX_* data, int32_t offset, int32_t n) {
    const int channels = static_cast<int>(std::min(data->Channels.size(), m_CoreOut.Channels.size()));
    const int count = std::min(channels, MAX_CHANNELS);
    float* samples[MAX_CHANNELS] = {};
    for (int i = 0; i < count; ++i)
        samples[i] = data->Channels[i] + offset;
    // A core that glides runs on its own, sample by sample; the engines hand their lines back first.
    if (CoresGliding()) {
        SyncCores();
        for (int i = 0; i < count; ++i)
            if (m_pFdn[i])
                m_pFdn[i]->Process(_SOUNDDATA_{static_cast<uint32_t>(n), samples[i], nullptr});
    } else {
        RunCores(samples, count, n);
    }

    // Layouts 3 and 271 have no back-left and back-right speakers.
    if (!m_bProcessAdvance || m_nSpeakersConfig == 3 || m_nSpeakersConfig == 271)
        return;
    if (m_CornerHistory.Empty())
        return; // not initialized
    for (int bit : CORNER_BIT)
        if (m_ChannelMap[bit] >= channels)
            return;
    // Each corner's core output joins its history before any group adds to a corner, so that no
    // group hears what an earlier group added, and a delay shorter than the block reads samples of
    // this very block.
    for (int q = 0; q < 4; ++q) {
        const float* in = data->Channels[m_ChannelMap[CORNER_BIT[q]]] + offset;
        float* ring = m_CornerHistory.Data() + static_cast<size_t>(q) * HISTORY;
        const int32_t head = std::min(n, HISTORY - m_nCornerOldest[q]);
        std::memcpy(ring + m_nCornerOldest[q], in, sizeof(float) * head);
        std::memcpy(ring, in + head, sizeof(float) * (n - head));
        m_nCornerOldest[q] += n;
        if (m_nCornerOldest[q] >= HISTORY) // n <= HISTORY: one turn at most
            m_nCornerOldest[q] -= HISTORY;
    }
    m_nCornerWritten = std::min(HISTORY, m_nCornerWritten + n);
    for (int g = 0; g < 4; ++g)
        CrossFeed(g, data, offset, n);
}

void CSurrReverbEffect::CrossFeed(int group, _SOUNDDATAEX_* data, int32_t offset, int32_t n) {
    const CrossGroup& cross = CROSS_GROUPS[group];
    float* dest = data->Channels[m_ChannelMap[CORNER_BIT[cross.dest]]] + offset;
    // Sources come from the corners' histories of core output, so no group hears what an earlier
    // group added. The destination receives source 0, then 1, then 2, each delayed sample scaled
    // and then added. A delay below 0 or reaching past the oldest sample is clamped to the nearest
    // one that the history holds, as the delay node does.
    for (int i = 0; i < 3; ++i) {
        const int q = cross.source[i];
        const float* ring = m_CornerHistory.Data() + static_cast<size_t>(q) * HISTORY;
        const int32_t glided =
            GlideCrossPath(m_CrossGlide[group][i], ring, m_nCornerOldest[q], CROSS_GAIN[i], dest, n);
        const int32_t rest = n - glided;
        const int32_t d = std::clamp(m_nCrossDelay[group][i], 0, HISTORY - n);
        // n + d <= HISTORY, so the start lies less than one turn back.
        int32_t readAt = m_nCornerOldest[q] - rest - d;
        if (readAt < 0)
            readAt += HISTORY;
        const int32_t first = std::min(rest, HISTORY - readAt);
        AddScaled(ring + readAt, CROSS_GAIN[i], dest + glided, first);
        AddScaled(ring, CROSS_GAIN[i], dest + glided + first, rest - first);
    }
}

// With a worker, the lockstep engine runs each long enough block on both threads.
void CSurrReverbEffect::RunCores(float* const* samples, int count, int32_t n) {
    if (m_Lockstep.Process(m_pFdn, samples, count, n))
        return;
    for (int i = 0; i < count; ++i)
        if (m_pFdn[i])
            m_pFdn[i]->Process(_SOUNDDATA_{static_cast<uint32_t>(n), samples[i], nullptr});
}
