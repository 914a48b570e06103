#ifndef HALVANE_REVERB_SURRREVERBLOCKSTEP_H
#define HALVANE_REVERB_SURRREVERBLOCKSTEP_H

#include <cstdint>
#include <memory>

#include "reverb/SurrSplitGovernor.h"

class CSurrReverbFdnEffect;
class CSurrWorkerThread;

// Runs the one-channel cores of a reverb node in lockstep, one core per SIMD lane: the cores share
// their line lengths, positions and levels, so one pass over the twelve lines serves every channel.
// The lines are kept interleaved by channel (sample p of channel c at p * lanes + c) so that a lane
// vector is one load.
//
// Ownership: while the engine runs, it holds the line samples; the cores' own line buffers are
// stale. Positions and low-pass states are written back to the cores after every block, so those
// fields stay live. HandBack copies the line samples back (the node does that before it runs any
// core on its own); Adopt takes them over again. Every sample is bit-identical to running the
// cores one after another.
class CSurrReverbLockstep {
public:
    static constexpr int MAX_LANES = 8;
    // Instruction sets the lockstep loop is built for; Auto takes the best the processor has.
    enum class Isa { Auto, Sse2, Avx2, Avx512 };

    CSurrReverbLockstep();
    ~CSurrReverbLockstep();
    CSurrReverbLockstep(const CSurrReverbLockstep&) = delete; // owns its lines
    CSurrReverbLockstep& operator=(const CSurrReverbLockstep&) = delete;

    // `cores` is always the node's whole core array (MAX_LANES entries or more, null for none).
    //
    // Processes n samples (n <= 4096) of `count` channels in place through cores[0..count-1].
    // Returns false, with nothing processed and the samples handed back, when the cores cannot
    // run in lockstep (fewer than two or more than MAX_LANES, different lengths, positions or
    // levels, no lines yet); the caller then runs the cores one by one.
    bool Process(CSurrReverbFdnEffect* const* cores, float* const* channels, int count, int32_t n);
    // Copies the held line samples, positions and low-pass states back into the cores they came
    // from (cores rebuilt since keep their new lines) and lets go of them.
    void HandBack(CSurrReverbFdnEffect* const* cores);
    // Sizes the interleaved lines for the cores' current lengths, so that Process does not
    // allocate on the next block. Line samples the engine holds for these very cores are kept.
    void Reserve(CSurrReverbFdnEffect* const* cores, int count);
    // Sizes the interleaved lines for `count` cores whose lines may grow up to `longest` samples
    // each (the smooth mode's line capacity), so that no later length allocates. Hands back first.
    void ReserveUpTo(CSurrReverbFdnEffect* const* cores, int count, int32_t longest);
    // Forgets any held state (the cores it belonged to are gone) and frees the lines.
    void Release();
    // Forgets any held state as Release does, but keeps the lines' storage for the cores built
    // next (a layout change builds cores as long as the old ones, so they allocate nothing).
    void Forget() {
        m_nCores = 0;
        m_nLanes = 0;
    }
    // Takes the lines' storage of an engine about to be destroyed (its node's graph is being
    // rebuilt), forgetting what either held, so that cores built next allocate nothing here.
    void TakeStorage(CSurrReverbLockstep& old);
    // With a worker thread, blocks of SPLIT_MIN_BLOCK samples or more run on two threads at once,
    // each taking six of the twelve lines, with the samples of one thread. Sizes the scratch that
    // needs (false, and one thread, when there is no memory for it); null goes back to one thread.
    bool SetWorker(CSurrWorkerThread* worker);
    // Shorter blocks stay on one thread: the hand-over costs more than the split saves (measured,
    // BM_GraphWorkers: 7.1 at 256-sample blocks ran 0.8 times as fast with the worker).
    static constexpr int32_t SPLIT_MIN_BLOCK = 1024;
    // Whether a block of n samples is likely to run on two threads (the line lengths decide too).
    bool WillSplit(int32_t n) const;
    // Lines shorter than this would make the two threads meet every few frames: one thread then.
    static constexpr int32_t SPLIT_MIN_LINE = 64;
    // True while the engine holds the line samples of the cores.
    bool HoldsState() const { return m_nCores > 0; }

    // Moves the twelve positions `pos` of lines of `length` on by n frames as the core's own runs
    // would (CSurrReverbFdnEffect::SamplesUntilWrap): a line at its end starts over at the next run
    // and no run passes a line's end, so after n >= 1 frames each position lies in 1 ... length (a
    // line whose end comes with the last frame is left there).
    static void AdvancePositions(const int32_t* length, int32_t* pos, int32_t n);

    // Instruction set Process uses; Force picks one for tests (a set the processor lacks is
    // refused and the current one returned).
    static Isa ActiveIsa();
    static Isa Force(Isa isa);
    // With true, every block that can run on two threads does, whatever the governor would decide,
    // so that tests of the split's samples do not depend on the machine's timing. Returns the
    // setting before.
    static bool SplitAlways(bool always);

private:
    bool CanRun(CSurrReverbFdnEffect* const* cores, int count) const;
    static bool LevelsAgree(CSurrReverbFdnEffect* const* cores, int count);
    bool Holds(CSurrReverbFdnEffect* const* cores, int count) const;
    bool Adopt(CSurrReverbFdnEffect* const* cores, int count);
    bool Allocate(int lanes, const int32_t* lengths);
    void WriteBackCounters(CSurrReverbFdnEffect* const* cores) const;
    void ProcessSplit(float* const* channels, int count, int32_t n, bool damp);
    void Interleave(float* const* channels, int count, int32_t from, int32_t len, float* in) const;
    void Deinterleave(const float* out, float* const* channels, int count, int32_t from, int32_t len);
    static void RunSecondHalf(void* self);
    static void StoreChunks(void* engine, int32_t from, int32_t to);

    // Interleaved lines: one aligned block, line k starting at m_pLine[k].
    float* m_pStorage = nullptr;
    int64_t m_nCapacity = 0; // floats in m_pStorage
    float* m_pLine[12] = {};
    int32_t m_nLength[12] = {};
    int32_t m_nPos[12] = {};
    // Low-pass state of mix output j, lane c at j * lanes + c: float values, held widened so that the
    // loop loads them as they are.
    double m_dState[12 * MAX_LANES] = {};
    int m_nLanes = 0;    // vector width: 4 or 8
    int m_nCores = 0;    // cores whose line samples are held; 0: none
    bool m_bRan = false; // a block ran since the samples were taken over
    uint64_t m_nLineSetId[MAX_LANES] = {};
    // Lane-interleaved input and output of one piece of the block.
    static constexpr int PIECE = 256;
    alignas(64) float m_In[PIECE * MAX_LANES] = {};
    alignas(64) float m_Out[PIECE * MAX_LANES] = {};
    float m_Silence[PIECE] = {}; // input of lanes without a core
    float m_Discard[PIECE] = {}; // output of lanes without a core
    // The two-thread split: the worker and the whole block interleaved, with the scratch the two
    // halves share (see the kernel).
    struct Split;
    friend struct Split;
    CSurrWorkerThread* m_pWorker = nullptr;
    std::unique_ptr<Split> m_pSplit;
    CSurrSplitGovernor m_Governor; // whether a block that could split does
};

#endif
