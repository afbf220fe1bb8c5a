// Latency and throughput of the job registry and the scheduler on this machine:
// post -> onMessage on an idle registry, messages per second from four posting
// threads, addJob -> start of the job, and end of the job -> isJobDone.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "foundation/KrCombinedTask.h"
#include "foundation/KrGavetaScheduler2.h"
#include "foundation/KrJob.h"

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Stats {
    double median, p99;
};

Stats stats(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values[values.size() * 99 / 100]};
}

class Receiver : public KrJob {
  public:
    Receiver() { createJoinedTask("bench"); }
    ~Receiver() override { _leaveRegistry(); }
    bool onMessage(const KrJobMessage&) override {
        deliveredAt = Clock::now();
        uint64_t count = delivered.fetch_add(1, std::memory_order_release) + 1;
        if (notifyEvery || count == notifyAt) {
            delivered.notify_all();
        }
        return true;
    }
    Clock::time_point deliveredAt;
    std::atomic<uint64_t> delivered{0};
    // The throughput run wakes its waiter once, at the last message.
    bool notifyEvery = true;
    uint64_t notifyAt = 0;
};

void postLatency() {
    Receiver receiver;
    KrJobMessage message("bench", 1, "");
    constexpr int kRounds = 20000;
    std::vector<double> latencies;
    latencies.reserve(kRounds);
    for (int i = 0; i < kRounds; ++i) {
        uint64_t before = receiver.delivered.load(std::memory_order_acquire);
        Clock::time_point posted = Clock::now();
        KrCombinedTask::global().post(receiver.id(), message);
        receiver.delivered.wait(before, std::memory_order_acquire);
        latencies.push_back(micros(receiver.deliveredAt - posted));
    }
    Stats s = stats(latencies);
    std::printf("post -> onMessage (idle registry): median %.1f us, p99 %.1f us (%d messages)\n",
                s.median, s.p99, kRounds);
}

void postThroughput() {
    Receiver receiver;
    constexpr int kThreads = 4;
    constexpr int kEach = 250000;
    KrJobMessage message("bench", 1, "");
    const uint64_t total = uint64_t(kThreads) * kEach;
    receiver.notifyEvery = false;
    receiver.notifyAt = total;
    Clock::time_point start = Clock::now();
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                KrCombinedTask::global().post(receiver.id(), message);
            }
        });
    }
    for (auto& poster : posters) {
        poster.join();
    }
    for (uint64_t seen = receiver.delivered.load(); seen < total;
         seen = receiver.delivered.load()) {
        receiver.delivered.wait(seen);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("four posting threads: %.0f messages/s delivered (%llu messages in %.2f s)\n",
                double(total) / seconds, static_cast<unsigned long long>(total), seconds);
}

void jobLatency() {
    KrGavetaScheduler2 scheduler;
    constexpr int kJobs = 5000;
    std::vector<double> toStart, toDone;
    toStart.reserve(kJobs);
    toDone.reserve(kJobs);
    Clock::time_point startedAt, endedAt;
    auto job = [&](KrGavetaJobParametersAndResult* p) {
        startedAt = Clock::now();
        endedAt = Clock::now();
        return p;
    };
    for (int i = 0; i < kJobs; ++i) {
        Clock::time_point added = Clock::now();
        uint64_t id = scheduler.addJob(job, nullptr, KrGavetaJobAtttributes());
        scheduler.waitJobDone(id);  // returns as soon as isJobDone(id) holds
        Clock::time_point done = Clock::now();
        delete scheduler.takeResult(id);
        toStart.push_back(micros(startedAt - added));
        toDone.push_back(micros(done - endedAt));
    }
    Stats start = stats(toStart), done = stats(toDone);
    std::printf("addJob -> job start: median %.1f us, p99 %.1f us (%d jobs)\n", start.median,
                start.p99, kJobs);
    std::printf("job end -> isJobDone: median %.1f us, p99 %.1f us (waitJobDone)\n",
                done.median, done.p99);
}

}  // namespace

int main() {
    std::printf("quivo jobs benchmark, %u hardware threads\n", std::thread::hardware_concurrency());
    postLatency();
    postThroughput();
    jobLatency();
    return 0;
}
