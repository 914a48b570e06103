#include "reverb/SurrSplitGovernor.h"

#include <algorithm>
#include <bitset>

namespace {

// Split blocks that must run without a pause, and without a stall among the last 32, before a
// failed try no longer lengthens the next pause.
constexpr int CLEAN_BLOCKS = 32;

} // namespace

bool CSurrSplitGovernor::Split() {
    const bool split = WouldSplit();
    if (m_nPause > 0)
        --m_nPause;
    return split;
}

void CSurrSplitGovernor::SingleDone(int64_t ns, int32_t frames) {
    if (frames <= 0)
        return;
    const double perFrame = static_cast<double>(ns) / frames;
    // A quarter of each new block: one block slowed by an interrupt moves the average little.
    m_fSingleNs = m_fSingleNs > 0.0 ? m_fSingleNs + (perFrame - m_fSingleNs) * 0.25 : perFrame;
    m_nSinceProbe = 0;
}

void CSurrSplitGovernor::SplitDone(int64_t ns, int32_t frames, int stalls, uint32_t stallUs) {
    if (frames <= 0)
        return;
    const double perFrame = static_cast<double>(ns) / frames;
    m_fSplitNs = m_nSplitBlocks > 0 ? m_fSplitNs + (perFrame - m_fSplitNs) / JUDGE_AFTER : perFrame;
    ++m_nSplitBlocks;
    ++m_nSinceProbe;
    m_nStallHistory = m_nStallHistory << 1 | (stalls > 0 ? 1u : 0u);
    const bool slower = m_nSplitBlocks >= JUDGE_AFTER && m_fSplitNs > m_fSingleNs * SLOWER_BY;
    if (stallUs > LONG_STALL_US || std::bitset<32>(m_nStallHistory).count() >= PAUSE_STALLS || slower) {
        // A stall that paused counts against the next try.
        m_nStallHistory = stalls > 0 ? 1u : 0u;
        Back();
    } else if (m_nSplitBlocks >= CLEAN_BLOCKS && m_nStallHistory == 0) {
        m_nBackoff = 0;
    }
}

void CSurrSplitGovernor::Back() {
    m_nBackoff = std::clamp(m_nBackoff * 2, PAUSE_BLOCKS, PAUSE_MAX);
    m_nPause = m_nBackoff;
    m_nSplitBlocks = 0;
    m_fSplitNs = 0.0;
}
