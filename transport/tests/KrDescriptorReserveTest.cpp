#include "transport/KrDescriptorReserve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/KrSocketIPvx.h"

namespace {

TEST(KrDescriptorReserve, ConnectionsHoldHalfTheDescriptorsAndTheNextWaitsUntilOneCloses) {
    KrDescriptorReserve reserve;
    reserve.setLimit(8);
    EXPECT_EQ(4u, reserve.connectionLimit());
    const auto never = [] { return false; };
    std::vector<std::shared_ptr<KrSocketIPvx>> held;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(reserve.waitForRoom(never));
        held.push_back(reserve.admit(std::make_unique<KrSocketIPvx>()));
    }
    EXPECT_EQ(4u, reserve.connections());

    testing::internal::CaptureStderr();
    // The acceptor's question is asked under the reserve's lock, the second
    // time in its wait: once it has been asked twice, a close can no longer
    // come before the wait.
    std::mutex lock;
    std::condition_variable asked;
    int questions = 0;
    std::promise<bool> admitted;
    std::thread acceptor([&] {
        admitted.set_value(reserve.waitForRoom([&] {
            std::lock_guard<std::mutex> guard(lock);
            ++questions;
            asked.notify_all();
            return false;
        }));
    });
    {
        std::unique_lock<std::mutex> wait(lock);
        asked.wait(wait, [&] { return questions >= 2; });
    }
    std::future<bool> result = admitted.get_future();
    // A copy of a socket is the same connection: only the last holder frees.
    std::shared_ptr<KrSocketIPvx> copy = held.back();
    held.pop_back();
    EXPECT_EQ(4u, reserve.connections());
    copy.reset();
    EXPECT_TRUE(result.get());
    acceptor.join();
    EXPECT_EQ(3u, reserve.connections());
    // The wait at the limit was told once, with what holds the peers.
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos,
              told.find("4 connections hold half of the 8 descriptors this process may open"))
        << told;
}

TEST(KrDescriptorReserve, AWaitAtTheLimitEndsWhenItsListenerStops) {
    KrDescriptorReserve reserve;
    reserve.setLimit(2);
    auto only = reserve.admit(std::make_unique<KrSocketIPvx>());
    std::mutex lock;
    bool stopped = false;
    testing::internal::CaptureStderr();
    std::promise<bool> admitted;
    std::thread acceptor([&] {
        admitted.set_value(reserve.waitForRoom([&] {
            std::lock_guard<std::mutex> guard(lock);
            return stopped;
        }));
    });
    {
        std::lock_guard<std::mutex> guard(lock);
        stopped = true;
    }
    reserve.wake();
    EXPECT_FALSE(admitted.get_future().get());
    acceptor.join();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(1u, reserve.connections());
}

TEST(KrDescriptorReserve, OnlyAWantOfDescriptorsIsAShortage) {
    EXPECT_TRUE(KrDescriptorReserve::isShortage(EMFILE));
    EXPECT_TRUE(KrDescriptorReserve::isShortage(ENFILE));
    for (const int error : {ENOENT, EACCES, ELOOP, ENOMEM, 0})
        EXPECT_FALSE(KrDescriptorReserve::isShortage(error)) << error;
}

TEST(KrDescriptorReserve, ShortagesAreToldWithTheirCauseAtMostOnceASecond) {
    KrDescriptorReserve reserve;
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000; ++i)
        reserve.reportShortage("Could not open /" + std::to_string(i), EMFILE);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, told.find("Could not open /0: Too many open files, answered 503\n")) << told;
    const auto lines = static_cast<long>(std::count(told.begin(), told.end(), '\n'));
    EXPECT_LE(lines, seconds + 1) << told;
}

}  // namespace
