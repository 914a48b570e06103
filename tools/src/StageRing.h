// The blocks of one render in flight between its threads: reading, processing and writing.
#ifndef HALVANE_TOOLS_STAGERING_H
#define HALVANE_TOOLS_STAGERING_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace halvane_cli {

// A fixed ring of slots that a chain of stages takes in order: block i lives in slot i % slots,
// stage s takes it once stage s - 1 has released it, and the first stage reuses a slot once the
// last stage has released the block before it. Memory stays bounded however long the input, and
// each stage sees every block in order, so the output is that of one thread doing all stages.
class StageRing {
public:
    StageRing(int slots, int stages) : m_slots(slots), m_released(stages, 0) {}

    int slots() const { return m_slots; }
    // Number of the next block `stage` works on (its slot: the number modulo slots()), once that
    // block is ready for the stage; -1 once Stop has been called.
    int64_t Acquire(int stage);
    // Acquire without waiting: -1 while the block is not ready for the stage, or once stopped.
    int64_t TryAcquire(int stage);
    // The stage is done with the block it acquired last.
    void Release(int stage);
    // Releases and Stop so far: a thread that serves several stages polls this and waits for it
    // to move (WaitChange) instead of waiting for one stage.
    uint64_t changes() const { return m_changes.load(std::memory_order_acquire); }
    // Returns once changes() has moved past `seen`, or after `timeout`.
    void WaitChange(uint64_t seen, std::chrono::microseconds timeout);
    bool stopped();
    // Wakes every stage; Acquire returns -1 from now on. A stage that fails calls it.
    void Stop();

private:
    bool Ready(int stage, int64_t block) const;

    const int m_slots;
    std::vector<int64_t> m_released; // blocks each stage has released
    bool m_stopped = false;
    std::atomic<uint64_t> m_changes{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
};

} // namespace halvane_cli

#endif
