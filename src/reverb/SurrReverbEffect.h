#ifndef HALVANE_REVERB_SURRREVERBEFFECT_H
#define HALVANE_REVERB_SURRREVERBEFFECT_H

#include <memory>
#include <vector>

#include "Halvane.h"
#include "dsp/Glide.h"
#include "dsp/History.h"
#include "reverb/SurrReverbLockstep.h"

class CSurrReverbFdnEffect;
class CSurrWorkerThread;

// Reverb on every speaker channel (one core each), with an optional cross-feed of the corner
// speakers' reverberation to the other three corners.
class CSurrReverbEffect : public CSurrBaseEffect {
public:
    CSurrReverbEffect();
    ~CSurrReverbEffect() override;
    CSurrReverbEffect(const CSurrReverbEffect&) = delete; // owns its cores and delay nodes
    CSurrReverbEffect& operator=(const CSurrReverbEffect&) = delete;
    void Initialize(tWAVEFORMATEX* format) override;
    // Initialize for a caller that hands the layout over next: SetSpeakersConfig builds the cores
    // then, so they are built once rather than built and at once replaced. Until then the node
    // has no cores and must not process.
    void InitializeBeforeLayout(tWAVEFORMATEX* format);
    // Takes over the sample memory of a node about to be destroyed (the corner histories, the
    // lockstep engine's lines), so that Initialize, called next, clears what that node played
    // through instead of allocating again.
    void TakeMemory(CSurrReverbEffect& old);
    void Free() override;
    void SetSpeakersConfig(int code) override; // one new core per channel
    void UpdateParams() override;              // hands the levels and room size to every core
    int Process(_SOUNDDATAEX_* data) override;
    virtual void UpdateRoomSize(float width, float depth);
    // Smooth mode: the cores' levels and line lengths glide over `samples` samples (0: they jump).
    // A positive value sizes every line for the largest room once; later room sizes allocate nothing.
    void SetGlide(int32_t samples);
    // While the node processes, its lockstep engine holds the cores' line samples (positions and
    // low-pass states stay live in the cores). SyncCores puts the samples back into the cores, for
    // anyone who reads or runs a core directly; the next block takes them over again.
    void SyncCores();
    // With a worker (threads > 0: a thread of our own; or `lent`, a worker the host's thread runs
    // jobs for, not owned), the lockstep loop of long enough blocks runs on two threads,
    // bit-identical to one thread. A lent worker takes the place of our own thread; neither (0 and
    // null, the default) leaves no thread. Returns the threads of our own now in use (0 when the
    // system gives none).
    int SetWorkers(int threads, CSurrWorkerThread* lent);
    bool HasLentWorker() const { return m_pLent != nullptr; }
    // Called as a block of `samples` starts through the graph: the worker, if it will take a share,
    // gets ready while the nodes before this one run.
    void WakeWorker(int32_t samples);

    void SetRevDry(float level);
    void SetRevWet(float level);
    void SetRevAbsorb(float value);
    void SetRevHFDecay(float value);

    bool m_bEnabled = true;
    _SOUNDDATAEX_ m_CoreOut; // one block per channel of the layout: the channels the cores process
    bool m_bInitialized = false;
    bool m_bProcessAdvance = false; // corner cross-feed on
    float m_fDry = 0.0f;
    float m_fHFDecay = 0.42f;
    float m_fAbsorb = 0.14f;
    float m_fWet = 1.84f;
    float m_fRoomSize = 50.0f;
    CSurrReverbFdnEffect* m_pFdn[10] = {};
    // Cross-feed travel time of each group's three paths, in whole samples, as a delay node converts
    // it; set by Initialize from the room of that moment, and in the smooth mode by every room size.
    int32_t m_nCrossDelay[4][3] = {};

private:
    void Initialize(tWAVEFORMATEX* format, bool buildCores);
    void CreateCores(tWAVEFORMATEX* monoFormat);
    void ReserveForGlides();
    bool CoresGliding() const;
    void DeleteCores();
    void ProcessPiece(_SOUNDDATAEX_* data, int32_t offset, int32_t n);
    void SetCrossDelays(bool glide);
    void CrossFeed(int group, _SOUNDDATAEX_* data, int32_t offset, int32_t n);
    void ReserveLockstep();
    void RunCores(float* const* samples, int count, int32_t n);

    // The cross-feed reads each corner's delayed core output from one history per corner (the
    // three paths leaving a corner delay the same signal); m_nCrossDelay holds the travel times.
    // Same ring rule as the delay node: HISTORY samples,
    // oldest at m_nCornerOldest. Built by Initialize so that blocks never allocate.
    halvane::History m_CornerHistory; // 4 x HISTORY, corner q from q * HISTORY on
    int32_t m_nCornerOldest[4] = {};
    int32_t m_nCornerWritten = 0; // places 0 .. m_nCornerWritten - 1 of each history may hold samples
    // Line blocks of the cores last deleted, silent, for the cores built next.
    halvane::History m_SpareLines[10];
    std::unique_ptr<float[]> m_SpareScratch[10][2]; // and their per-block scratch
    // Runs the cores side by side in SIMD lanes when they are in step (they are built together,
    // share their levels and always process the same blocks).
    CSurrReverbLockstep m_Lockstep;
    int32_t m_nGlide = 0;
    halvane::Glide<double> m_CrossGlide[4][3]; // smooth mode: each path's delay, gliding

    // The worker thread that takes half of the lockstep loop (null: none), and a worker the host
    // lends instead, which goes first.
    std::unique_ptr<CSurrWorkerThread> m_pWorker;
    CSurrWorkerThread* m_pLent = nullptr;
    CSurrWorkerThread* ActiveWorker() const { return m_pLent ? m_pLent : m_pWorker.get(); }
};

#endif
