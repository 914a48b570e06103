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

void StageRing::Release(int stage) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_released[stage];
    }
    m_wake.notify_all();
}

void StageRing::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
    }
    m_wake.notify_all();
}

} // namespace halvane_cli
