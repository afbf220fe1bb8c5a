#include "foundation/KrUniqueIdSource.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <thread>
#include <vector>

#include "foundation/KrJob.h"

namespace {

// prefix, "*" when star, then exactly 18 digits.
bool hasIdForm(const std::string& text, const std::string& prefix, bool star) {
    std::string head = prefix + (star ? "*" : "");
    if (text.size() != head.size() + 18 || text.compare(0, head.size(), head) != 0) {
        return false;
    }
    for (size_t i = head.size(); i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST(KrUniqueIdSource, IdsHavePrefixStarAndEighteenDigits) {
    KrUniqueIdSource source("_job");
    std::string id = KrJob::_makeUniqueId(source);
    EXPECT_TRUE(hasIdForm(id, "_job", true)) << id;
    // Microseconds below 1000000 and seconds below 1e10 keep a leading zero each.
    EXPECT_EQ(id[5], '0');
    EXPECT_EQ(id[12], '0');
}

TEST(KrUniqueIdSource, FormatSplitsMicrosecondsAndSeconds) {
    EXPECT_EQ(KrUniqueIdSource::_format("p", true, 1700000000123456), "p*012345601700000000");
    EXPECT_EQ(KrUniqueIdSource::_format("p", false, 5), "p000000500000000000");
}

TEST(KrUniqueIdSource, MovesOnWhenTheClockHasNot) {
    KrUniqueIdSource source("x");
    // A value far ahead stands for a clock that stepped back.
    int64_t ahead = KrUniqueIdSource::_nowMicros() + 3600000000LL;
    source.lastMicros = ahead;
    EXPECT_EQ(KrJob::_makeUniqueId(source), KrUniqueIdSource::_format("x", true, ahead + 1));
    EXPECT_EQ(KrJob::_makeUniqueId(source), KrUniqueIdSource::_format("x", true, ahead + 2));
}

TEST(KrUniqueIdSource, IdsAndNamesFromEightThreadsAreAllDistinct) {
    KrUniqueIdSource source("t");
    constexpr int kThreads = 8;
    constexpr int kEach = 2000;
    std::vector<std::vector<std::string>> ids(kThreads), names(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                ids[t].push_back(KrJob::_makeUniqueId(source));
                names[t].push_back(KrJob::makeUniqueName(source.lock, "n"));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<std::string> seenIds, seenNames;
    for (int t = 0; t < kThreads; ++t) {
        seenIds.insert(ids[t].begin(), ids[t].end());
        seenNames.insert(names[t].begin(), names[t].end());
    }
    EXPECT_EQ(seenIds.size(), size_t(kThreads * kEach));
    EXPECT_EQ(seenNames.size(), size_t(kThreads * kEach));
}

TEST(KrUniqueIdSource, CommonErrorNameIsPrefixAndDigitsWithoutStar) {
    const std::string& name = KrJob::commonErrorTask();
    EXPECT_TRUE(hasIdForm(name, "__commonError", false)) << name;
    EXPECT_EQ(&name, &KrJob::commonErrorTask());
    std::mutex lock;
    std::string other = KrJob::makeUniqueName(lock, "__commonError");
    EXPECT_TRUE(hasIdForm(other, "__commonError", false)) << other;
    EXPECT_NE(other, name);
}
