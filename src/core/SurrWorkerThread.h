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
    // A worker without a thread of its own: jobs run when a thread of the host's calls Help.
    struct Lent {};
    explicit CSurrWorkerThread(Lent);
    // Lets a running job finish, then stops and joins the thread.
    ~CSurrWorkerThread();
    CSurrWorkerThread(const CSurrWorkerThread&) = delete;
    CSurrWorkerThread& operator=(const CSurrWorkerThread&) = delete;

    // Runs job(context) on the worker. At most one job is out at a time: call Finish before the
    // next Start.
    void Start(Job job, void* context);
    // Returns once the job handed to Start has run; everything it wrote is then visible here.
    void Finish();
    // Takes the job handed to Start back if the worker has not begun it: true then, and the job
    // will not run (no Finish needed); false when it has begun (call Finish).
    bool Retract();
    // Says that a job will follow soon: a sleeping worker wakes now and polls for it again before it
    // sleeps, so that the wake-up overlaps the owner's work before Start.
    void Wake();
    // For a lent worker, from the one thread that lends itself: runs the job handed to Start if
    // nobody has begun it or taken it back, and returns true; false at once when there is none.
    // The job runs with the owner's floating-point mode; the caller's own is restored after.
    bool Help();

private:
    void Run();
    bool WaitForJob(uint32_t seen);
    bool Claim(uint32_t job);
    void RunClaimed(uint32_t job);

    std::atomic<uint32_t> m_nStarted{0};  // jobs handed over
    std::atomic<uint32_t> m_nFinished{0}; // jobs done
    std::atomic<uint32_t> m_nTaken{0};    // the last job begun by the worker or taken back
    std::atomic<bool> m_bWorkerAsleep{false};
    std::atomic<bool> m_bOwnerAsleep{false};
    std::atomic<bool> m_bWoken{false}; // Wake since the worker last polled
    bool m_bStop = false;              // under m_Mutex
    Job m_Job = nullptr;
    void* m_pContext = nullptr;
    unsigned int m_nFloatMode = 0; // the caller's MXCSR, where x86 has one
    std::mutex m_Mutex;
    std::condition_variable m_WorkerWake;
    std::condition_variable m_OwnerWake;
    std::thread m_Thread; // last: starts once every field above exists
};

// Tasks that the owner of a worker and the worker's job share: each runs once, on whichever of
// the two threads takes it first, so that neither waits for a thread that is late or was taken
// off its core; a thread waits only for a task the other one is running. Reset (and Skip the
// tasks that have nothing to do) before the job is handed over; Stalls, after the job, tells how
// many waits came to yielding the core (the other thread stopped in the middle of a task).
//
// Even and odd tasks keep their states on cache lines of their own: a user that gives each thread
// one parity (the reverb's split: half 0 the even tasks, half 1 the odd ones) has each thread
// write mostly its own line, and a look at the other's task reads it without taking it over.
class CSurrSharedTasks {
public:
    static constexpr int MAX_TASKS = 512;
    void Reset(int count) {
        for (int i = 0; i < count; ++i)
            State(i).store(FREE, std::memory_order_relaxed);
        m_nStalls.store(0, std::memory_order_relaxed);
        m_nStallMicroseconds.store(0, std::memory_order_relaxed);
    }
    void Skip(int task) { State(task).store(DONE, std::memory_order_relaxed); }
    // True for the one thread that gets the task. A task already taken is seen by a plain read,
    // which leaves the other thread's cache line where it is.
    bool Take(int task) {
        std::atomic<uint8_t>& state = State(task);
        uint8_t expected = FREE;
        return state.load(std::memory_order_relaxed) == FREE &&
               state.compare_exchange_strong(expected, TAKEN, std::memory_order_acq_rel);
    }
    void Done(int task) { State(task).store(DONE, std::memory_order_release); }
    // Whether the task is done; if so, everything it wrote is visible here.
    bool IsDone(int task) { return State(task).load(std::memory_order_acquire) == DONE; }
    // Returns once the task is done; everything it wrote is then visible here.
    void WaitDone(int task);
    uint32_t Stalls() const { return m_nStalls.load(std::memory_order_relaxed); }
    // How long those waits yielded, in all (only yielding waits read the clock).
    uint32_t StallMicroseconds() const { return m_nStallMicroseconds.load(std::memory_order_relaxed); }

private:
    enum : uint8_t { FREE, TAKEN, DONE };
    std::atomic<uint8_t>& State(int task) { return m_State[task & 1][task >> 1]; }
    // Rows of 256 states, four whole cache lines each.
    alignas(64) std::atomic<uint8_t> m_State[2][MAX_TASKS / 2] = {};
    alignas(64) std::atomic<uint32_t> m_nStalls{0};
    std::atomic<uint32_t> m_nStallMicroseconds{0};
};

#endif
