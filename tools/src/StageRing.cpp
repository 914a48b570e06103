#include "StageRing.h"

namespace halvane_cli {

bool StageRing::Ready(int stage, int64_t block) const {
    if (stage == 0)
        return block < m_released.back() + m_slots;
    return block < m_released[stage - 1];
}

int64_t StageRing::Acquire(int stage) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const int64_t block = m_released[stage];
    m_wake.wait(lock, [&] { return m_stopped || Ready(stage, block); });
    return m_stopped ? -1 : block;
}

int64_t StageRing::TryAcquire(int stage) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int64_t block = m_released[stage];
    return !m_stopped && Ready(stage, block) ? block : -1;
}

void StageRing::Release(int stage) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_released[stage];
        m_changes.fetch_add(1, std::memory_order_release);
    }
    m_wake.notify_all();
}

void StageRing::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
        m_changes.fetch_add(1, std::memory_order_release);
    }
    m_wake.notify_all();
}

void StageRing::WaitChange(uint64_t seen, std::chrono::microseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_for(lock, timeout, [&] { return m_changes.load(std::memory_order_relaxed) != seen; });
}

bool StageRing::stopped() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopped;
}

} // namespace halvane_cli
