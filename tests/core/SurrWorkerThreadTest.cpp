#include "core/SurrWorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

// A lent worker runs nothing by itself: a job waits for Help (or a take-back). Help runs a job once,
// from the thread that calls it, and finds nothing once the job is done or taken back.
TEST(SurrWorkerThread, LentWorkerRunsJobsOnlyInHelp) {
    CSurrWorkerThread worker{CSurrWorkerThread::Lent{}};
    std::atomic<int> runs{0};
    EXPECT_FALSE(worker.Help()); // nothing handed over yet
    worker.Start(&Count, &runs);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(runs.load(), 0); // no thread of its own took it
    EXPECT_TRUE(worker.Help());
    EXPECT_EQ(runs.load(), 1);
    worker.Finish(); // returns at once: the job has run
    EXPECT_FALSE(worker.Help());
    worker.Start(&Count, &runs);
    EXPECT_TRUE(worker.Retract());
    EXPECT_FALSE(worker.Help());
    EXPECT_EQ(runs.load(), 1);
}

// The owner and a lending thread race for each job as the owner and the worker thread do: every
// job runs once, in Help, unless the owner took it back first. Every third job the owner does not
// try to take back, so it must wait in Finish until the lender has run it.
TEST(SurrWorkerThread, LentJobsRunOnceOrAreTakenBackForGood) {
    CSurrWorkerThread worker{CSurrWorkerThread::Lent{}};
    std::atomic<int> runs{0};
    std::atomic<int> helped{0};
    std::atomic<bool> stop{false};
    std::thread lender([&] {
        while (!stop.load())
            if (worker.Help())
                helped.fetch_add(1);
    });
    int expected = 0;
    for (int i = 0; i < 2000; ++i) {
        worker.Start(&Count, &runs);
        if (i % 3 == 0 || !worker.Retract()) {
            worker.Finish();
            ++expected;
            ASSERT_EQ(runs.load(), expected) << "job " << i;
        }
    }
    stop.store(true);
    lender.join();
    EXPECT_EQ(helped.load(), expected);
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
