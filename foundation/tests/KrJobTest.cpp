#include "foundation/KrJob.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "foundation/KrCombinedTask.h"
#include "foundation/KrJobWithTimeout.h"

TEST(KrJob, IdComesFromTheJobSourceAndDiffers) {
    KrJob a, b;
    EXPECT_EQ(a.id().rfind("_job*", 0), 0u);
    EXPECT_EQ(a.id().size(), 5u + 18u);
    EXPECT_NE(a.id(), b.id());
}

TEST(KrJob, SetStateAsksTheCallbackOnlyForNewValues) {
    KrJob job;
    int calls = 0;
    bool approve = true;
    job.setStateCallback([&] {
        ++calls;
        return approve;
    });
    job.setState(KR_JOB_NEW);  // equals the current state
    EXPECT_EQ(calls, 0);
    job.setState(5);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(job.state(), 5);

    approve = false;
    job.setState(6);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(job.state(), 5);
    EXPECT_EQ(job.requestedState(), 6);
    job.setState(6);  // still requested: ignored
    EXPECT_EQ(calls, 2);

    approve = true;
    job.setState(7);
    EXPECT_EQ(job.state(), 7);
}

TEST(KrJob, EmptyStateCallbackRaises) {
    KrJob job;
    job.setStateCallback(nullptr);
    EXPECT_THROW(job.setState(3), std::bad_function_call);
}

TEST(KrJob, LeaveJoinedTaskByEmptyNameForgetsItByNameKeepsIt) {
    KrJob owner, member;
    std::string x = owner.createJoinedTask("x");
    std::string y = owner.createJoinedTaskSelf("y");
    EXPECT_NE(x, y);
    EXPECT_EQ(x.rfind("joinedtask*", 0), 0u);
    EXPECT_EQ(KrCombinedTask::global().description(y), "y");

    ASSERT_TRUE(member.joinTask(y));
    ASSERT_TRUE(member.joinTask(x));
    EXPECT_EQ(member.getJoinedTask(), x);
    EXPECT_TRUE(member.leaveJoinedTask(y));
    EXPECT_EQ(member.getJoinedTask(), x);
    EXPECT_FALSE(member.leaveTask(y));  // already left

    EXPECT_TRUE(member.leaveJoinedTask(""));
    EXPECT_EQ(member.getJoinedTask(), "");
    EXPECT_FALSE(member.leaveTask(x));
    EXPECT_TRUE(owner.leaveAllTasks());
}

TEST(KrJob, JoiningAMissingTaskKeepsItsName) {
    KrJob job;
    EXPECT_FALSE(job.joinTask("joinedtask*none"));
    EXPECT_EQ(job.getJoinedTask(), "joinedtask*none");
    EXPECT_FALSE(job.leaveAllTasks());
}

TEST(KrJob, DefaultPostSendsNothing) {
    KrJob job;
    EXPECT_FALSE(job._postVia(job.id(), KrJobMessage("a", 1, "b")));
    EXPECT_TRUE(job.onMessage(KrJobMessage("a", 1, "b")));
}

// Each thread counts the jobs it makes and ends; the sum holds whichever
// thread makes a job, ends it, or has ended itself meanwhile.
TEST(KrJob, LiveCountHoldsAcrossThreads) {
    const uint64_t before = KrJob::liveCount();
    const auto make = [](std::vector<std::unique_ptr<KrJob>>& jobs, int count) {
        for (int i = 0; i < count; ++i)
            jobs.push_back(std::make_unique<KrJobWithTimeout>(1000));
    };
    std::vector<std::unique_ptr<KrJob>> jobs;
    make(jobs, 5);
    EXPECT_EQ(KrJob::liveCount(), before + 5);
    // Made on a thread that ends before they do.
    std::thread([&] { make(jobs, 3); }).join();
    EXPECT_EQ(KrJob::liveCount(), before + 8);
    // Ended on a thread other than the one that made them, which goes on.
    std::thread([&] { jobs.erase(jobs.begin(), jobs.begin() + 6); }).join();
    EXPECT_EQ(KrJob::liveCount(), before + 2);
    jobs.clear();
    EXPECT_EQ(KrJob::liveCount(), before);
}

TEST(KrJobWithTimeout, ExpiredAndNeverRestartedAlternates) {
    KrJobWithTimeout job(0);
    EXPECT_TRUE(job.isTimedOut());
    EXPECT_FALSE(job.isActive());
    job.restartTimer();  // inactive: does nothing
    EXPECT_FALSE(job.isTimedOut());
    EXPECT_TRUE(job.isTimedOut());
    EXPECT_FALSE(job.isTimedOut());
}

TEST(KrJobWithTimeout, RestartMovesTheDeadline) {
    KrJobWithTimeout job(3600L * 1000000L);
    EXPECT_FALSE(job.isTimedOut());
    EXPECT_GT(job.deadline().remaining(), 3500L * 1000000L);
    job.deadline().restart(0);
    EXPECT_TRUE(job.isTimedOut());
    EXPECT_FALSE(job.isTimedOut());  // inactive again: reactivated
    job.restartTimer();
    EXPECT_FALSE(job.isTimedOut());
    EXPECT_GT(job.deadline().remaining(), 3500L * 1000000L);
}

TEST(KrDeadline, RemainingIsNegativeOnceExpired) {
    KrDeadline deadline(0);
    EXPECT_TRUE(deadline.expired());
    EXPECT_LE(deadline.remaining(), 0);
    deadline.restart(-5000000);
    EXPECT_LT(deadline.remaining(), -4000000);
    deadline.restart(10000000);
    EXPECT_FALSE(deadline.expired());
}

TEST(KrDeadline, RestartLandsWithinAClockTickOfTheAskedTime) {
    // Short deadlines come from the precise clock, long ones may come from
    // the coarse one: either lands at most a few milliseconds early.
    for (const long micros : {200000L, 999999L, 1000000L, 5000000L}) {
        KrDeadline deadline(0);
        deadline.restart(micros);
        EXPECT_FALSE(deadline.expired()) << micros;
        EXPECT_LE(deadline.remaining(), micros) << micros;
        EXPECT_GT(deadline.remaining(), micros - 100000) << micros;
    }
}
