#include "core/SurrWorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

void Count(void* counter) {
    static_cast<std::atomic<int>*>(counter)->fetch_add(1);
}

} // namespace

// Every job handed over runs exactly once unless it was taken back, and one taken back never runs
// later: the count of runs equals the jobs not taken back, whatever the race between the two
// threads decided each time.
TEST(SurrWorkerThread, JobsRunOnceOrAreTakenBackForGood) {
    CSurrWorkerThread worker;
    std::atomic<int> runs{0};
    int expected = 0, takenBack = 0;
    for (int i = 0; i < 2000; ++i) {
        worker.Start(&Count, &runs);
        if (i % 3 == 0)
            std::this_thread::yield(); // give the worker a chance to come first
        if (worker.Retract()) {
            ++takenBack;
        } else {
            worker.Finish();
            ++expected;
            ASSERT_EQ(runs.load(), expected) << "job " << i;
        }
    }
    worker.Start(&Count, &runs); // one more that must run: everything before it is settled
    worker.Finish();
    EXPECT_EQ(runs.load(), expected + 1);
    EXPECT_EQ(expected + takenBack, 2000);
}

// Tasks shared by two threads: each is run by exactly one of them.
TEST(SurrWorkerThread, SharedTasksRunOnceEach) {
    constexpr int TASKS = 400;
    CSurrSharedTasks tasks;
    int ranBy[TASKS] = {};
    tasks.Reset(TASKS);
    tasks.Skip(7);
    auto work = [&](int me) {
        for (int t = 0; t < TASKS; ++t)
            if (tasks.Take(t)) {
                ranBy[t] = me;
                tasks.Done(t);
            }
        for (int t = 0; t < TASKS; ++t)
            tasks.WaitDone(t);
    };
    std::thread other(work, 2);
    work(1);
    other.join();
    for (int t = 0; t < TASKS; ++t)
        EXPECT_EQ(ranBy[t] == 0, t == 7) << "task " << t;
}
