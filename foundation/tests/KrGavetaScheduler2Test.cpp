#include "foundation/KrGavetaScheduler2.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

using Params = KrGavetaJobParametersAndResult;

KrGavetaJobAtttributes named(const std::string& name, uint64_t mask = 0) {
    KrGavetaJobAtttributes attributes;
    attributes._jo_name = name;
    attributes._jo_mask = mask;
    return attributes;
}

// Lets a test hold jobs at a point and release them.
class Gate {
  public:
    void open() {
        std::lock_guard<std::mutex> guard(_mutex);
        _open = true;
        _changed.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> lock(_mutex);
        _changed.wait(lock, [this] { return _open; });
    }

  private:
    std::mutex _mutex;
    std::condition_variable _changed;
    bool _open = false;
};

}  // namespace

TEST(KrGavetaScheduler2, RunsOnceAndHandsBackTheParametersRecord) {
    KrGavetaScheduler2 scheduler;
    auto* given = new Params(7, 42);
    uint64_t id = scheduler.addJob(
        [](Params* p) {
            p->setStatus(3);
            return p;
        },
        given, named("once"));
    EXPECT_EQ(given->getJobId(), id);
    scheduler.waitJobDone(id);
    EXPECT_TRUE(scheduler.isJobDone(id));
    std::unique_ptr<Params> result(scheduler.takeResult(id));
    ASSERT_EQ(result.get(), given);
    EXPECT_EQ(result->getStatus(), 3);
    EXPECT_EQ(result->getValue(), 42u);
    EXPECT_EQ(scheduler.takeResult(id), nullptr);  // forgotten
    EXPECT_TRUE(scheduler.isJobDone(id));
}

TEST(KrGavetaScheduler2, MadeParametersCarryStatusAndValueOne) {
    KrGavetaScheduler2 scheduler;
    KrGavetaJobAtttributes attributes;
    attributes._jo_status = 4;
    int seenStatus = 0;
    uint64_t seenValue = 0;
    uint64_t id = scheduler.addJob(
        [&](Params* p) {
            seenStatus = p->getStatus();
            seenValue = p->getValue();
            return p;
        },
        nullptr, attributes);
    scheduler.waitJobDone(id);
    delete scheduler.takeResult(id);
    EXPECT_EQ(seenStatus, 4);
    EXPECT_EQ(seenValue, 1u);
}

TEST(KrGavetaScheduler2, IdsIncreaseByOneAcrossSchedulers) {
    KrGavetaScheduler2 first, second;
    auto job = [](Params* p) { return p; };
    uint64_t a = first.addJob(job, nullptr, named("a"));
    uint64_t b = second.addJob(job, nullptr, named("b"));
    uint64_t c = first.addJob(job, nullptr, named("c"));
    EXPECT_EQ(b, a + 1);
    EXPECT_EQ(c, b + 1);
    EXPECT_TRUE(first.isJobDone(c + 1000));
    EXPECT_EQ(first.takeResult(c + 1000), nullptr);
}

TEST(KrGavetaScheduler2, ManyParallelJobsAllFinish) {
    KrGavetaScheduler2 scheduler;
    constexpr int kJobs = 64;
    Gate gate;
    std::atomic<int> started{0};
    std::vector<uint64_t> ids;
    for (int i = 0; i < kJobs; ++i) {
        ids.push_back(scheduler.addJob(
            [&](Params* p) {
                // Every job blocks until all have started: they run side by side.
                if (started.fetch_add(1) + 1 == kJobs) {
                    gate.open();
                }
                gate.pass();
                return p;
            },
            new Params(KR_GAVETA_RUN_ONCE, uint64_t(i)), named("parallel")));
    }
    for (int i = 0; i < kJobs; ++i) {
        scheduler.waitJobDone(ids[i]);
        std::unique_ptr<Params> result(scheduler.takeResult(ids[i]));
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(result->getValue(), uint64_t(i));
    }
}

TEST(KrGavetaScheduler2, JobsSharingAMaskBitNeverOverlap) {
    KrGavetaScheduler2 scheduler;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> freeRuns{0};
    auto exclusive = [&](Params* p) {
        if (inside.fetch_add(1) != 0) {
            overlaps.fetch_add(1);
        }
        for (int i = 0; i < 200; ++i) {
            std::this_thread::yield();
        }
        inside.fetch_sub(1);
        return p;
    };
    std::vector<uint64_t> ids;
    for (int i = 0; i < 40; ++i) {
        // Bit 2 is shared by all; the other bits differ.
        ids.push_back(scheduler.addJob(exclusive, nullptr, named("x", 0x4 | (1u << (i % 3 + 4)))));
        ids.push_back(scheduler.addJob(
            [&](Params* p) {
                freeRuns.fetch_add(1);
                return p;
            },
            nullptr, named("free", 0x1000)));
    }
    for (uint64_t id : ids) {
        scheduler.waitJobDone(id);
        delete scheduler.takeResult(id);
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(freeRuns.load(), 40);
}

TEST(KrGavetaScheduler2, RepeatsWithDelayUntilCancelledThenForgets) {
    KrGavetaScheduler2 scheduler;
    KrGavetaJobAtttributes attributes = named("repeat");
    attributes._jo_status = KR_GAVETA_REPEAT;
    attributes._jo_delay_us = 500;
    std::mutex mutex;
    std::condition_variable changed;
    int runs = 0;
    uint64_t id = scheduler.addJob(
        [&](Params* p) {
            std::lock_guard<std::mutex> guard(mutex);
            ++runs;
            p->setValue(uint64_t(runs));
            changed.notify_all();
            return p;  // status stays 1
        },
        nullptr, attributes);
    int runsAtCancel;
    {
        // Cancelling with the lock held: a run that has not counted itself
        // yet is the run in progress, and no later one may start.
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return runs >= 3; });
        scheduler.cancelRepeat(id);
        runsAtCancel = runs;
    }
    // Whether the job was waiting or running, one take hands over the latest
    // result and forgets the job.
    int taken = 0;
    for (;;) {
        scheduler.waitJobDone(id);
        std::unique_ptr<Params> result(scheduler.takeResult(id));
        if (result == nullptr) {
            break;
        }
        ++taken;
        std::lock_guard<std::mutex> guard(mutex);
        EXPECT_EQ(result->getValue(), uint64_t(runs));
    }
    EXPECT_EQ(taken, 1);
    int runsAtForget;
    {
        std::lock_guard<std::mutex> guard(mutex);
        runsAtForget = runs;
    }
    // Stopping waits for any run; a cancelled job must not have started one.
    scheduler.stop();
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_EQ(runs, runsAtForget);
    EXPECT_LE(runs, runsAtCancel + 1);
}

TEST(KrGavetaScheduler2, CancelRepeatKeepsTheUntakenResultOfAWaitingJobForOneTake) {
    KrGavetaScheduler2 scheduler;
    KrGavetaJobAtttributes attributes = named("slow repeat");
    attributes._jo_status = KR_GAVETA_REPEAT;
    attributes._jo_delay_ms = 3600 * 1000;  // an hour: it stays delayed
    int runs = 0;
    auto job = [&runs](Params* p) {
        p->setValue(uint64_t(++runs));
        return p;
    };
    uint64_t taken = scheduler.addJob(job, nullptr, attributes);
    scheduler.waitJobDone(taken);
    // Repeating: the caller gets a copy, never the record the next run uses.
    std::unique_ptr<Params> first(scheduler.takeResult(taken));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->getStatus(), KR_GAVETA_REPEAT);
    EXPECT_EQ(first->getJobId(), taken);
    EXPECT_FALSE(scheduler.isJobDone(taken));
    // Nothing left to hand over: the job is forgotten at once.
    scheduler.cancelRepeat(taken);
    EXPECT_TRUE(scheduler.isJobDone(taken));
    EXPECT_EQ(scheduler.takeResult(taken), nullptr);

    uint64_t untaken = scheduler.addJob(job, nullptr, attributes);
    scheduler.waitJobDone(untaken);
    scheduler.cancelRepeat(untaken);
    EXPECT_TRUE(scheduler.isJobDone(untaken));
    std::unique_ptr<Params> last(scheduler.takeResult(untaken));
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->getValue(), 2u);
    EXPECT_EQ(last->getJobId(), untaken);
    EXPECT_EQ(scheduler.takeResult(untaken), nullptr);
    scheduler.stop();
    EXPECT_EQ(runs, 2);
}

TEST(KrGavetaScheduler2, CancelDuringARunHandsOverThatRunsResultOnce) {
    KrGavetaScheduler2 scheduler;
    KrGavetaJobAtttributes attributes = named("repeat");
    attributes._jo_status = KR_GAVETA_REPEAT;
    Gate secondStarted, secondMayEnd;
    std::atomic<int> runs{0};
    uint64_t id = scheduler.addJob(
        [&](Params* p) {
            int run = runs.fetch_add(1) + 1;
            if (run == 2) {
                secondStarted.open();
                secondMayEnd.pass();
            }
            p->setValue(uint64_t(run));
            return p;
        },
        nullptr, attributes);
    secondStarted.pass();
    // The first run's result is untaken; the run in progress supersedes it.
    scheduler.cancelRepeat(id);
    EXPECT_FALSE(scheduler.isJobDone(id));
    EXPECT_EQ(scheduler.takeResult(id), nullptr);
    secondMayEnd.open();
    scheduler.waitJobDone(id);
    std::unique_ptr<Params> result(scheduler.takeResult(id));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->getValue(), 2u);
    EXPECT_EQ(scheduler.takeResult(id), nullptr);
    EXPECT_TRUE(scheduler.isJobDone(id));
    scheduler.stop();
    EXPECT_EQ(runs.load(), 2);
}

TEST(KrGavetaScheduler2, RepeatingResultIsACopyWhileTheNextRunUsesTheRecord) {
    KrGavetaScheduler2 scheduler;
    KrGavetaJobAtttributes attributes = named("repeat");
    attributes._jo_status = KR_GAVETA_REPEAT;
    Gate secondRun;
    std::atomic<int> runs{0};
    Params* parameters = new Params(KR_GAVETA_REPEAT, 5);
    uint64_t id = scheduler.addJob(
        [&](Params* p) {
            if (runs.fetch_add(1) == 1) {
                secondRun.pass();
                p->setStatus(2);
            }
            return p;
        },
        parameters, attributes);
    scheduler.waitJobDone(id);
    std::unique_ptr<Params> first(scheduler.takeResult(id));
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first.get(), parameters);
    first.reset();  // must not free what the second run is using
    secondRun.open();
    scheduler.waitJobDone(id);
    std::unique_ptr<Params> last(scheduler.takeResult(id));
    ASSERT_EQ(last.get(), parameters);
    EXPECT_EQ(last->getStatus(), 2);
    EXPECT_EQ(runs.load(), 2);
}

TEST(KrGavetaScheduler2, ThrowingAndNullJobsLeaveTheSchedulerWorking) {
    KrGavetaScheduler2 scheduler;
    uint64_t thrower = scheduler.addJob(
        [](Params*) -> Params* { throw std::runtime_error("job failed on purpose"); }, nullptr,
        named("thrower", 0x1));
    uint64_t nuller =
        scheduler.addJob([](Params*) -> Params* { return nullptr; }, nullptr, named("null"));
    scheduler.waitJobDone(thrower);
    scheduler.waitJobDone(nuller);
    EXPECT_EQ(scheduler.takeResult(thrower), nullptr);
    EXPECT_EQ(scheduler.takeResult(nuller), nullptr);
    EXPECT_TRUE(scheduler.isJobDone(thrower));

    // The thrower's mask bit is free again, and results are still collected.
    uint64_t after = scheduler.addJob([](Params* p) { return p; }, nullptr, named("after", 0x1));
    scheduler.waitJobDone(after);
    std::unique_ptr<Params> result(scheduler.takeResult(after));
    EXPECT_NE(result, nullptr);
}

TEST(KrGavetaScheduler2, StopCallsStopOfRunningJobsWhichMayUseTheScheduler) {
    auto scheduler = std::make_unique<KrGavetaScheduler2>();
    Gate started, release;
    bool doneSeenFromStop = true;
    KrGavetaJobAtttributes attributes = named("blocking");
    uint64_t id = 0;
    attributes._jo_stop = [&] {
        doneSeenFromStop = scheduler->isJobDone(id);
        release.open();
    };
    id = scheduler->addJob(
        [&](Params* p) {
            started.open();
            release.pass();
            return p;
        },
        nullptr, attributes);
    started.pass();
    scheduler->stop();
    EXPECT_FALSE(doneSeenFromStop);
    EXPECT_TRUE(scheduler->isJobDone(id));
    scheduler.reset();
}

TEST(KrGavetaScheduler2, CreatingAndDestroyingManyTimesNeverHangs) {
    int collected = 0;
    for (int i = 0; i < 200; ++i) {
        KrGavetaScheduler2 scheduler;
        if (i % 4 == 3) {
            continue;  // never started
        }
        KrGavetaJobAtttributes repeat = named("repeat");
        repeat._jo_status = KR_GAVETA_REPEAT;
        repeat._jo_delay_us = i % 2 == 0 ? 0 : 100000;
        scheduler.addJob([](Params* p) { return p; }, nullptr, repeat);
        uint64_t once = scheduler.addJob([](Params* p) { return p; }, nullptr, named("once"));
        if (i % 4 == 0) {
            scheduler.waitJobDone(once);
            std::unique_ptr<Params> result(scheduler.takeResult(once));
            collected += result != nullptr;
        }
    }
    EXPECT_EQ(collected, 50);
}

TEST(KrGavetaScheduler2, DueTimeTextIsCtimeWithoutNewline) {
    std::string text = KrGavetaScheduler2::dueTimeText(1700000000L * 1000000000L);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.find("2023"), std::string::npos);
}
