#ifndef HALVANE_CORE_SURRWORKERTHREAD_H
#define HALVANE_CORE_SURRWORKERTHREAD_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// One extra thread that runs one job at a time for the thread that owns it: Start hands a job
// over and returns at once, Finish waits until the job has run. Handing over allocates nothing and
// takes no lock while the other side is awake: each side spins a little before it sleeps, so the
// short waits between the blocks of a stream cost no system call, and a long pause costs no core.
//
// The job runs with the caller's floating-point mode (flush-to-zero and denormals-are-zero on x86),
// so that it computes exactly the samples the caller's thread would.
class CSurrWorkerThread {
public:
    using Job = void (*)(void* context);

    // Starts the thread; throws std::system_error when the system has none to give.
    CSurrWorkerThread();
    // Lets a running job finish, then stops and joins the thread.
    ~CSurrWorkerThread();
    CSurrWorkerThread(const CSurrWorkerThread&) = delete;
    CSurrWorkerThread& operator=(const CSurrWorkerThread&) = delete;

    // Runs job(context) on the worker. At most one job is out at a time: call Finish before the
    // next Start.
    void Start(Job job, void* context);
    // Returns once the job handed to Start has run; everything it wrote is then visible here.
    void Finish();
    // Says that a job will follow soon: a sleeping worker wakes now, and a worker waiting for a job
    // spins up to LONG_SPIN_POLLS polls before it sleeps again, so that the wake-up overlaps the
    // owner's work before Start.
    void Wake();

private:
    void Run();
    bool WaitForJob(uint32_t seen);

    std::atomic<uint32_t> m_nStarted{0};  // jobs handed over
    std::atomic<uint32_t> m_nFinished{0}; // jobs done
    std::atomic<bool> m_bWorkerAsleep{false};
    std::atomic<bool> m_bOwnerAsleep{false};
    std::atomic<bool> m_bWoken{false}; // Wake since the worker last looked
    bool m_bStop = false;              // under m_Mutex
    Job m_Job = nullptr;
    void* m_pContext = nullptr;
    unsigned int m_nFloatMode = 0; // the caller's MXCSR, where x86 has one
    std::mutex m_Mutex;
    std::condition_variable m_WorkerWake;
    std::condition_variable m_OwnerWake;
    std::thread m_Thread; // last: starts once every field above exists
};

// Two threads (the owner of a worker and its job) meeting between the phases of one job: Wait
// returns once both sides have called it as often as this side has. Each side counts on a cache
// line of its own; a side that arrives first spins, and yields its core only after a long wait (the
// other side is then not running: the machine has more work than cores). Reset before the job is
// handed over; Stalls, after the job, tells how many waits came to yielding.
class CSurrTwoThreadBarrier {
public:
    void Reset() {
        for (Side& side : m_Side) {
            side.count.store(0, std::memory_order_relaxed);
            side.stalls = 0;
        }
    }
    void Wait(int side);
    uint32_t Stalls() const { return m_Side[0].stalls + m_Side[1].stalls; }

private:
    struct alignas(64) Side {
        std::atomic<uint32_t> count{0};
        uint32_t stalls = 0; // written by this side only
    };
    Side m_Side[2];
};

#endif
