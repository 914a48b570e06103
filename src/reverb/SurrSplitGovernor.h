#ifndef HALVANE_REVERB_SURRSPLITGOVERNOR_H
#define HALVANE_REVERB_SURRSPLITGOVERNOR_H

#include <cstdint>

// Decides, block by block, whether the lockstep loop runs split over two threads. The split pays
// only while each thread has a processor to itself. When the processors are busy with other work,
// a thread is taken off its processor in the middle of a task and the other one waits (a stall).
// When two processors share one core's execution units (hyperthreads, or a virtual machine whose
// host runs other guests beside it), nothing stalls, but each thread runs at half speed or less
// while both are busy, and every step waits for the slower half: measured, split blocks then took
// 2.3 times as long as one thread alone. So both are watched: the stalls the threads report, and
// the time a split block takes per frame against a one-thread block's. A block that stalls long, a
// run of short stalls, or split blocks a quarter slower than one thread pause the split, twice
// as long after each failed try. One block after every PROBE_EVERY split ones runs on one thread
// to keep the one-thread time current. Only the choice of thread depends on the clock: the
// samples are the same either way.
class CSurrSplitGovernor {
public:
    // A split block in which a thread waited, yielding, longer than this for the other.
    static constexpr uint32_t LONG_STALL_US = 500;
    // Split blocks with shorter stalls, of the last 32, that pause the split.
    static constexpr int PAUSE_STALLS = 4;
    // The first pause, in blocks that could have split. On a machine with a processor per thread
    // a lone stall of 0.5 to 5 ms (the kernel's own work, a virtual machine's host) comes a few
    // times a minute, and each pause gives up the second thread's share of every block in it; a
    // machine that is really too busy fails again at once and reaches the long pauses after a few
    // tries.
    static constexpr int PAUSE_BLOCKS = 8;
    static constexpr int PAUSE_MAX = 8192;
    // Split blocks between two one-thread blocks that measure what one thread takes (0.4% of the
    // blocks, each of them giving up the second thread's share).
    static constexpr int PROBE_EVERY = 256;
    // Split blocks averaged before their time is held against one thread's: a single block's time
    // varies with what the other thread was doing when it began.
    static constexpr int JUDGE_AFTER = 4;
    // How much slower than one thread split blocks must run to pause the split. While the other
    // thread is away reading or writing a file (up to a millisecond), split blocks run mostly on one
    // thread and a little slower than one thread alone; pausing for that would keep the split
    // off after the other thread is back. Slower by a quarter, it is the processors.
    static constexpr double SLOWER_BY = 1.25;

    // Whether the next block that could run on two threads does. Counts the block.
    bool Split();
    // Whether Split would say yes (it counts nothing).
    bool WouldSplit() const { return m_nPause == 0 && m_fSingleNs > 0.0 && m_nSinceProbe < PROBE_EVERY; }
    // What the block just decided took: nanoseconds for `frames` frames on one thread.
    void SingleDone(int64_t ns, int32_t frames);
    // Likewise for a split block, with the number of stalls in it and the time they took.
    void SplitDone(int64_t ns, int32_t frames, int stalls, uint32_t stallUs);
    // Forgets everything measured (a new worker, or none).
    void Reset() { *this = CSurrSplitGovernor(); }

    // The pause ahead, in blocks that could split (for tests).
    int Pause() const { return m_nPause; }

private:
    void Back();

    int m_nPause = 0;             // blocks left on one thread
    int m_nBackoff = 0;           // the last pause
    uint32_t m_nStallHistory = 0; // bit i: the split block i blocks back stalled
    double m_fSingleNs = 0.0;     // nanoseconds per frame on one thread, recent average; 0: unknown
    double m_fSplitNs = 0.0;      // likewise on two threads since the split last started
    int m_nSplitBlocks = 0;       // split blocks since the split last started
    int m_nSinceProbe = 0;        // split blocks since the last one-thread block
};

#endif
