#include "foundation/tests/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(WaitFor, EndsAtOnceWhenTheConditionAlreadyHolds) {
    int checks = 0;
    EXPECT_TRUE(WaitFor([&] { return ++checks > 0; }));
    EXPECT_EQ(checks, 1);
}

TEST(WaitFor, EndsWhenTheConditionComesTrue) {
    std::atomic<bool> set{false};
    std::thread setter([&] {
        std::this_thread::sleep_for(milliseconds(20));
        set = true;
    });
    EXPECT_TRUE(WaitFor([&] { return set.load(); }));
    setter.join();
}

TEST(WaitFor, GivesUpOnlyOnceTheLimitHasPassed) {
    const auto start = steady_clock::now();
    EXPECT_FALSE(WaitFor([] { return false; }, milliseconds(50)));
    EXPECT_GE(steady_clock::now() - start, milliseconds(50));
}

TEST(Deadline, TellsWhatIsLeftForPollUntilItPasses) {
    const Deadline far(std::chrono::hours(1));
    EXPECT_FALSE(far.passed());
    EXPECT_GT(far.pollTimeout(), 1800 * 1000);
    EXPECT_LE(far.pollTimeout(), 3600 * 1000);
    const Deadline near(milliseconds(10));
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_TRUE(near.passed());
    EXPECT_EQ(near.pollTimeout(), 0);
}

}  // namespace
