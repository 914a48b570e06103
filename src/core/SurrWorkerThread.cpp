#include "core/SurrWorkerThread.h"

#include "dsp/FlushDenormals.h"

namespace {

// Polls before a side goes to sleep: about 20 to 90 microseconds of pause instructions, longer
// than the gap between two blocks of a busy stream and far shorter than a scheduler time slice.
constexpr int SPIN_POLLS = 4000;
// Polls a woken worker spends waiting for the job announced by Wake: about a millisecond.
constexpr int LONG_SPIN_POLLS = 40000;

inline void CpuRelax() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_ia32_pause();
#elif defined(__GNUC__) && defined(__aarch64__)
    asm volatile("yield");
#else
    std::this_thread::yield();
#endif
}

// True once `counter` has moved past `seen`, polling `polls` times at most.
bool SpinUntilPast(const std::atomic<uint32_t>& counter, uint32_t seen, int polls = SPIN_POLLS) {
    for (int i = 0; i < polls; ++i) {
        if (counter.load(std::memory_order_acquire) != seen)
            return true;
        CpuRelax();
    }
    return false;
}

unsigned int CurrentFloatMode() {
#ifdef HALVANE_HAS_MXCSR
    return _mm_getcsr();
#else
    return 0;
#endif
}

void SetFloatMode([[maybe_unused]] unsigned int mode) {
#ifdef HALVANE_HAS_MXCSR
    if (_mm_getcsr() != mode)
        _mm_setcsr(mode);
#endif
}

} // namespace

void CSurrTwoThreadBarrier::Wait(int side) {
    const uint32_t mine = m_Side[side].count.fetch_add(1, std::memory_order_acq_rel) + 1;
    const std::atomic<uint32_t>& other = m_Side[1 - side].count;
    for (int polls = 0; other.load(std::memory_order_acquire) < mine; ++polls) {
        if (polls < SPIN_POLLS) {
            CpuRelax();
        } else {
            // The first meeting includes the worker's wake-up; later ones only the work.
            if (polls == SPIN_POLLS && mine > 1)
                ++m_Side[side].stalls;
            std::this_thread::yield();
        }
    }
}

CSurrWorkerThread::CSurrWorkerThread() : m_Thread(&CSurrWorkerThread::Run, this) {}

CSurrWorkerThread::~CSurrWorkerThread() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStop = true;
    }
    m_WorkerWake.notify_one();
    m_Thread.join();
}

// A side that goes to sleep first says so, then looks at the counter once more under the mutex;
// the other side moves the counter first, then looks for a sleeper (both sequentially
// consistent), so one of the two always sees the other and no wake-up is lost.
void CSurrWorkerThread::Start(Job job, void* context) {
    m_Job = job;
    m_pContext = context;
    m_nFloatMode = CurrentFloatMode();
    m_nStarted.fetch_add(1);
    if (m_bWorkerAsleep.load()) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_WorkerWake.notify_one();
    }
}

void CSurrWorkerThread::Finish() {
    const uint32_t target = m_nStarted.load(std::memory_order_relaxed);
    if (m_nFinished.load(std::memory_order_acquire) == target)
        return;
    if (SpinUntilPast(m_nFinished, target - 1))
        return;
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_bOwnerAsleep.store(true);
    m_OwnerWake.wait(lock, [&] { return m_nFinished.load() == target; });
    m_bOwnerAsleep.store(false);
}

void CSurrWorkerThread::Wake() {
    m_bWoken.store(true);
    if (m_bWorkerAsleep.load()) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_WorkerWake.notify_one();
    }
}

// Returns false when the thread is to stop.
bool CSurrWorkerThread::WaitForJob(uint32_t seen) {
    int polls = m_bWoken.exchange(false) ? LONG_SPIN_POLLS : SPIN_POLLS;
    for (;;) {
        if (SpinUntilPast(m_nStarted, seen, polls))
            return true;
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (m_bWoken.exchange(false)) {
            polls = LONG_SPIN_POLLS; // announced while spinning: wait a little longer
            continue;
        }
        m_bWorkerAsleep.store(true);
        m_WorkerWake.wait(lock, [&] { return m_bStop || m_nStarted.load() != seen || m_bWoken.load(); });
        m_bWorkerAsleep.store(false);
        if (m_nStarted.load() != seen || m_bStop)
            return m_nStarted.load() != seen || !m_bStop;
        polls = m_bWoken.exchange(false) ? LONG_SPIN_POLLS : SPIN_POLLS;
    }
}

void CSurrWorkerThread::Run() {
    uint32_t seen = 0;
    while (WaitForJob(seen)) {
        seen = m_nStarted.load(std::memory_order_acquire);
        SetFloatMode(m_nFloatMode);
        m_Job(m_pContext);
        m_nFinished.store(seen);
        if (m_bOwnerAsleep.load()) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_OwnerWake.notify_one();
        }
    }
}
