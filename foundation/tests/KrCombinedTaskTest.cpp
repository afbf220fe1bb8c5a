#include "foundation/KrCombinedTask.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/KrGavetaScheduler2.h"
#include "foundation/KrJob.h"
#include "foundation/tests/WaitFor.h"

extern char** environ;

namespace {

// Records what it receives; optionally throws on one kind.
class Recorder : public KrJob {
  public:
    ~Recorder() override { _leaveRegistry(); }

    bool onMessage(const KrJobMessage& message) override {
        std::lock_guard<std::mutex> guard(_mutex);
        _received.push_back(message);
        _changed.notify_all();
        if (message.kind == throwOnKind) {
            throw std::runtime_error("handler failed on purpose");
        }
        return true;
    }

    std::vector<KrJobMessage> waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(_mutex);
        _changed.wait(lock, [&] { return _received.size() >= count; });
        return _received;
    }

    size_t count() {
        std::lock_guard<std::mutex> guard(_mutex);
        return _received.size();
    }

    int throwOnKind = -1;

  private:
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<KrJobMessage> _received;
};

// Keeps itself registered and its own messages flowing, so that the process
// ends while the queue is never empty and a delivery may be under way.
class Pinger : public KrJob {
  public:
    Pinger() { createJoinedTask("ping"); }
    ~Pinger() override { _leaveRegistry(); }
    bool onMessage(const KrJobMessage& message) override {
        KrCombinedTask::global().post(id(), message);
        return true;
    }
};

void childScenario() {
    static Pinger pinger;
    KrCombinedTask::global().post(pinger.id(), KrJobMessage("ping", 9, ""));
    {
        Recorder owner, member;
        std::string task = owner.createJoinedTask("exit");
        member.joinTask(task);
        for (int i = 0; i < 50; ++i) {
            KrCombinedTask::global().post(i % 2 ? owner.id() : member.id(),
                                          KrJobMessage("x", i, ""));
        }
        KrGavetaScheduler2 scheduler;
        KrGavetaJobAtttributes repeat;
        repeat._jo_status = KR_GAVETA_REPEAT;
        scheduler.addJob([](KrGavetaJobParametersAndResult* p) { return p; }, nullptr, repeat);
        for (int i = 0; i < 4; ++i) {
            scheduler.addJob(
                [&](KrGavetaJobParametersAndResult* p) {
                    KrCombinedTask::global().post(owner.id(), KrJobMessage("job", 1, ""));
                    return p;
                },
                nullptr, KrGavetaJobAtttributes());
        }
        owner.waitFor(1);
    }
}

// Run as a child of ProgramWithJobsAndMessagesAlwaysExits: does the work
// before main and ends the way returning from main does.
[[maybe_unused]] const bool g_isExitChild = [] {
    if (std::getenv("QUIVO_JOB_EXIT_CHILD") != nullptr) {
        childScenario();
        std::exit(0);
    }
    return false;
}();

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

}  // namespace

TEST(KrCombinedTask, MessageToUnregisteredJobIsDroppedAndNextDelivered) {
    Recorder stranger, receiver;
    std::string task = receiver.createJoinedTask("r");
    KrCombinedTask::global().post(stranger.id(), KrJobMessage("lost", 1, ""));
    KrCombinedTask::global().post(receiver.id(), KrJobMessage("kept", 1, ""));
    EXPECT_EQ(receiver.waitFor(1)[0].a, "kept");

    // Registered now, the stranger's first message is the one posted after.
    stranger.joinTask(task);
    KrCombinedTask::global().post(stranger.id(), KrJobMessage("marker", 1, ""));
    EXPECT_EQ(stranger.waitFor(1)[0].a, "marker");
}

TEST(KrCombinedTask, MemberLeavingTellsTheLastOneAndOwnerEndsTheTask) {
    size_t before = KrCombinedTask::globalTaskCount();
    Recorder owner, member;
    std::string task = owner.createJoinedTask("t");
    ASSERT_TRUE(member.joinTask(task));
    EXPECT_EQ(KrCombinedTask::globalTaskCount(), before + 1);

    EXPECT_TRUE(member.leaveTask(task));
    auto got = owner.waitFor(1);
    EXPECT_EQ(got[0].kind, 6);
    EXPECT_EQ(got[0].a, owner.id());
    EXPECT_EQ(got[0].b, "kommt später");

    EXPECT_TRUE(owner.leaveTask(task));
    EXPECT_EQ(KrCombinedTask::globalTaskCount(), before);
    EXPECT_FALSE(owner.leaveTask(task));
    EXPECT_FALSE(member.leaveTask("joinedtask*missing"));
}

TEST(KrCombinedTask, OwnerLeavingFirstDissolvesSilently) {
    Recorder owner, member, witness;
    std::string task = owner.createJoinedTask("t");
    std::string keep = owner.createJoinedTask("keeps the owner registered");
    witness.joinTask(keep);
    ASSERT_TRUE(member.joinTask(task));
    EXPECT_TRUE(owner.leaveTask(task));
    EXPECT_FALSE(member.leaveTask(task));
    EXPECT_FALSE(member.leaveAllTasks());  // no longer registered anywhere

    KrCombinedTask::global().post(member.id(), KrJobMessage("lost", 1, ""));
    KrCombinedTask::global().post(owner.id(), KrJobMessage("marker", 1, ""));
    auto got = owner.waitFor(1);
    EXPECT_EQ(got[0].a, "marker");
    EXPECT_EQ(member.count(), 0u);
}

TEST(KrCombinedTask, DestroyedJobInTwoTasksTellsEachLastMember) {
    Recorder ownerA, ownerB;
    std::string a = ownerA.createJoinedTask("a");
    std::string b = ownerB.createJoinedTask("b");
    {
        Recorder both;
        ASSERT_TRUE(both.joinTask(a));
        ASSERT_TRUE(both.joinTask(b));
    }
    for (Recorder* owner : {&ownerA, &ownerB}) {
        auto got = owner->waitFor(1);
        EXPECT_EQ(got[0].kind, 6);
        EXPECT_EQ(got[0].a, owner->id());
        EXPECT_EQ(got[0].b, "kommt später A");
    }
}

TEST(KrCombinedTask, KeepsPostingOrderPerSenderAcrossThreads) {
    Recorder receiver;
    receiver.createJoinedTask("r");
    constexpr int kSenders = 4;
    constexpr int kEach = 3000;
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kEach; ++i) {
                KrCombinedTask::global().post(receiver.id(),
                                              KrJobMessage(std::to_string(s), i, ""));
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    auto got = receiver.waitFor(kSenders * kEach);
    std::vector<int> next(kSenders, 0);
    for (const auto& message : got) {
        int s = std::stoi(message.a);
        ASSERT_EQ(message.kind, next[s]) << "sender " << s;
        ++next[s];
    }
}

TEST(KrCombinedTask, BusyReceiverStallsWithoutSpinningThenGetsAllInOrder) {
    Recorder receiver;
    receiver.createJoinedTask("r");
    constexpr int kMessages = 100;
    double cpuBefore, cpuAfter;
    auto wallBefore = std::chrono::steady_clock::now();
    {
        // Posting while holding one's own message lock must not deadlock.
        std::lock_guard<std::recursive_mutex> busy(receiver.messageLock());
        cpuBefore = processCpuSeconds();
        for (int i = 0; i < kMessages; ++i) {
            KrCombinedTask::global().post(receiver.id(), KrJobMessage("m", i, ""));
        }
        // Lets the message thread find the lock busy for a while.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(receiver.count(), 0u);
        cpuAfter = processCpuSeconds();
    }
    double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    EXPECT_LT(cpuAfter - cpuBefore, wall / 2) << "the message thread spins on a busy receiver";
    auto got = receiver.waitFor(kMessages);
    for (int i = 0; i < kMessages; ++i) {
        EXPECT_EQ(got[i].kind, i);
    }
}

TEST(KrCombinedTask, ThrowingHandlerDoesNotStopLaterDeliveries) {
    Recorder receiver;
    receiver.throwOnKind = 99;
    receiver.createJoinedTask("r");
    KrCombinedTask::global().post(receiver.id(), KrJobMessage("first", 99, ""));
    KrCombinedTask::global().post(receiver.id(), KrJobMessage("second", 1, ""));
    auto got = receiver.waitFor(2);
    EXPECT_EQ(got[1].a, "second");
}

TEST(KrCombinedTask, HandlerMayPostJoinAndLeave) {
    struct Relay : KrJob {
        ~Relay() override { _leaveRegistry(); }
        bool onMessage(const KrJobMessage& message) override {
            std::string task = createJoinedTask("inside a handler");
            leaveTask(task);
            KrCombinedTask::global().post(target, message);
            return true;
        }
        std::string target;
    };
    Relay relay;
    Recorder receiver;
    relay.target = receiver.id();
    receiver.createJoinedTask("r");
    relay.createJoinedTask("relay");
    KrCombinedTask::global().post(relay.id(), KrJobMessage("relayed", 3, ""));
    EXPECT_EQ(receiver.waitFor(1)[0].a, "relayed");
}

TEST(KrCombinedTask, DestructorWaitsOutADeliveryInProgress) {
    std::atomic<bool> entered{false}, deleting{false}, handlerDone{false};
    std::atomic<bool> handlerDoneSeenByDestructor{false};
    struct Slow : KrJob {
        Slow(std::atomic<bool>& entered, std::atomic<bool>& deleting, std::atomic<bool>& done,
             std::atomic<bool>& seen)
            : entered(entered), deleting(deleting), done(done), seen(seen) {}
        ~Slow() override {
            _leaveRegistry();
            seen = done.load();
        }
        bool onMessage(const KrJobMessage&) override {
            entered = true;
            entered.notify_all();
            deleting.wait(false);
            // Give a destructor that does not wait every chance to run ahead.
            for (int i = 0; i < 2000; ++i) {
                std::this_thread::yield();
            }
            text += "still here";
            done = true;
            return true;
        }
        std::atomic<bool>&entered, &deleting, &done, &seen;
        std::string text;
    };
    auto* slow = new Slow(entered, deleting, handlerDone, handlerDoneSeenByDestructor);
    slow->createJoinedTask("slow");
    KrCombinedTask::global().post(slow->id(), KrJobMessage("go", 1, ""));
    entered.wait(false);
    std::thread deleter([&] {
        deleting = true;
        deleting.notify_all();
        delete slow;
    });
    deleter.join();
    EXPECT_TRUE(handlerDoneSeenByDestructor);
}

TEST(KrCombinedTask, ProgramWithJobsAndMessagesAlwaysExits) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    env.emplace_back("QUIVO_JOB_EXIT_CHILD=1");
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string listOnly = "--gtest_list_tests";
    char* argv[] = {self.data(), listOnly.data(), nullptr};

    for (int run = 0; run < 25; ++run) {
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data()), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "run " << run << " status " << status;
        ASSERT_EQ(WEXITSTATUS(status), 0) << "run " << run;
    }
}

TEST(KrCombinedTask, LeavingJobStaysOutWhileItsLastDeliveryRuns) {
    // A handler that joins and posts to itself after its job began to leave
    // must not put the job back: later messages would reach a freed object.
    struct Outcome {
        std::atomic<bool> entered{false}, deleting{false};
        std::atomic<int> joined{-1}, posted{-1};
    };
    struct Rejoiner : KrJob {
        explicit Rejoiner(Outcome& outcome) : outcome(outcome) {}
        ~Rejoiner() override {
            outcome.deleting = true;
            outcome.deleting.notify_all();
            _leaveRegistry();
        }
        bool onMessage(const KrJobMessage& message) override {
            if (message.kind != 1) {
                return true;
            }
            outcome.entered = true;
            outcome.entered.notify_all();
            outcome.deleting.wait(false);
            // The destructor has left the registry (its own task, which has
            // no other member, is gone with it) before the handler joins again.
            WaitFor([this] { return KrCombinedTask::global().description(mark).empty(); });
            outcome.joined = joinTask(task);
            outcome.posted = KrCombinedTask::global().post(id(), KrJobMessage("again", 2, ""));
            return true;
        }
        Outcome& outcome;
        std::string task;
        std::string mark;
    };
    Outcome outcome;
    Recorder owner;
    auto* member = new Rejoiner(outcome);
    member->task = owner.createJoinedTask("shared");
    ASSERT_TRUE(member->joinTask(member->task));
    member->mark = member->createJoinedTask("mark");
    ASSERT_EQ(KrCombinedTask::global().description(member->mark), "mark");
    std::string memberId = member->id();
    KrCombinedTask::global().post(memberId, KrJobMessage("go", 1, ""));
    outcome.entered.wait(false);
    std::thread deleter([&] { delete member; });
    deleter.join();
    // The destructor returned only after the handler ended, and the handler
    // could neither join again nor queue a message to the leaving job.
    EXPECT_EQ(outcome.joined, 0);
    EXPECT_EQ(outcome.posted, 0);
    // The owner hears that it is alone; a later message for the gone job is
    // dropped without touching it, and the next one is delivered.
    EXPECT_EQ(owner.waitFor(1)[0].b, "kommt später A");
    KrCombinedTask::global().post(memberId, KrJobMessage("late", 3, ""));
    KrCombinedTask::global().post(owner.id(), KrJobMessage("after", 4, ""));
    EXPECT_EQ(owner.waitFor(2)[1].a, "after");
    owner.leaveAllTasks();
}
