#include "core/SurrWorkerThread.h"

#include <algorithm>
#include <chrono>

#include "dsp/FlushDenormals.h"

namespace {

// Polls before a side goes to sleep: about 20 to 100 microseconds of pause instructions, longer
// than the gap between two blocks of a busy stream and far shorter than a scheduler time slice.
constexpr int SPIN_POLLS = 4000;

inline void CpuRelax() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_ia32_pause();
#elif defined(__GNUC__) && defined(__aarch64__)
    asm volatile("yield");
#else
    std::this_thread::yield();
#endif
}

// True once done() holds, polling SPIN_POLLS times at most.
template <class Done>
bool SpinUntil(Done done) {
    for (int i = 0; i < SPIN_POLLS; ++i) {
        if (done())
            return true;
        CpuRelax();
    }
    return false;
}

// True once `counter` has moved past `seen`, polling SPIN_POLLS times at most.
bool SpinUntilPast(const std::atomic<uint32_t>& counter, uint32_t seen) {
    return SpinUntil([&] { return counter.load(std::memory_order_acquire) != seen; });
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

void CSurrSharedTasks::WaitDone(int task) {
    std::atomic<uint8_t>& state = State(task);
    if (SpinUntil([&] { return state.load(std::memory_order_acquire) == DONE; }))
        return;
    m_nStalls.fetch_add(1, std::memory_order_relaxed);
    const auto start = std::chrono::steady_clock::now();
    while (state.load(std::memory_order_acquire) != DONE)
        std::this_thread::yield();
    const auto waited =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    m_nStallMicroseconds.fetch_add(static_cast<uint32_t>(std::min<int64_t>(waited.count(), INT32_MAX)),
                                   std::memory_order_relaxed);
}

CSurrWorkerThread::CSurrWorkerThread() : m_Thread(&CSurrWorkerThread::Run, this) {}

CSurrWorkerThread::CSurrWorkerThread(Lent) {}

CSurrWorkerThread::~CSurrWorkerThread() {
    if (!m_Thread.joinable())
        return; // lent: the host's thread is its own
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

// m_nFinished may lag more than one job behind: jobs taken back never finish.
void CSurrWorkerThread::Finish() {
    const uint32_t target = m_nStarted.load(std::memory_order_relaxed);
    for (int i = 0; i < SPIN_POLLS; ++i) {
        if (m_nFinished.load(std::memory_order_acquire) == target)
            return;
        CpuRelax();
    }
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

// Returns false when the thread is to stop. Woken without a job (Wake), the worker polls again
// before it goes back to sleep.
bool CSurrWorkerThread::WaitForJob(uint32_t seen) {
    for (;;) {
        m_bWoken.store(false);
        if (SpinUntilPast(m_nStarted, seen))
            return true;
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (m_bWoken.load())
            continue; // announced while polling: poll once more
        m_bWorkerAsleep.store(true);
        m_WorkerWake.wait(lock, [&] { return m_bStop || m_nStarted.load() != seen || m_bWoken.load(); });
        m_bWorkerAsleep.store(false);
        if (m_nStarted.load() != seen)
            return true;
        if (m_bStop)
            return false;
    }
}

// The worker and the owner race for a job once: whoever moves m_nTaken to its number owns it.
bool CSurrWorkerThread::Claim(uint32_t job) {
    uint32_t before = job - 1;
    return m_nTaken.compare_exchange_strong(before, job);
}

bool CSurrWorkerThread::Retract() {
    return Claim(m_nStarted.load(std::memory_order_relaxed));
}

void CSurrWorkerThread::RunClaimed(uint32_t job) {
    SetFloatMode(m_nFloatMode);
    m_Job(m_pContext);
    m_nFinished.store(job);
    if (m_bOwnerAsleep.load()) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_OwnerWake.notify_one();
    }
}

void CSurrWorkerThread::Run() {
    uint32_t seen = 0;
    while (WaitForJob(seen)) {
        seen = m_nStarted.load(std::memory_order_acquire);
        if (Claim(seen)) // else taken back before the worker came to it
            RunClaimed(seen);
    }
}

// A job once claimed cannot be followed by another before it finishes (the owner's Finish waits
// for it), so the job and context read after the claim are that job's.
bool CSurrWorkerThread::Help() {
    const uint32_t job = m_nStarted.load(std::memory_order_acquire);
    if (m_nTaken.load(std::memory_order_relaxed) == job || !Claim(job))
        return false;
    const unsigned int mode = CurrentFloatMode();
    RunClaimed(job);
    SetFloatMode(mode);
    return true;
}
