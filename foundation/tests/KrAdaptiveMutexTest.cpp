#include "foundation/KrAdaptiveMutex.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

template <class Mutex>
bool TakenElsewhere(Mutex& mutex) {
    return std::async(std::launch::async, [&] {
               if (!mutex.try_lock())
                   return false;
               mutex.unlock();
               return true;
           }).get();
}

// Increments made under the mutex from several threads; none may be lost.
template <class Mutex>
long CountUnder(Mutex& mutex) {
    long count = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                std::lock_guard<Mutex> guard(mutex);
                ++count;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    return count;
}

}  // namespace

TEST(KrAdaptiveMutex, ExcludesOtherThreads) {
    KrAdaptiveMutex mutex;
    EXPECT_EQ(CountUnder(mutex), 80000);
    mutex.lock();
    EXPECT_FALSE(TakenElsewhere(mutex));
    mutex.unlock();
    EXPECT_TRUE(TakenElsewhere(mutex));
}

TEST(KrAdaptiveRecursiveMutex, IsHeldUntilUnlockedAsOftenAsLocked) {
    KrAdaptiveRecursiveMutex mutex;
    mutex.lock();
    ASSERT_TRUE(mutex.try_lock());
    mutex.lock();
    EXPECT_FALSE(TakenElsewhere(mutex));
    mutex.unlock();
    mutex.unlock();
    EXPECT_FALSE(TakenElsewhere(mutex));
    mutex.unlock();
    EXPECT_TRUE(TakenElsewhere(mutex));
    EXPECT_EQ(CountUnder(mutex), 80000);
}
