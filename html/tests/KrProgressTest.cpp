#include "html/KrProgress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Written(KrProgress& progress) {
    std::ostringstream out;
    progress.Write(out);
    return out.str();
}

// The widget's number, read from the label's "for".
uint64_t IdOf(const std::string& html) {
    const std::string key = "<label for=\"KrProgress_";
    const size_t at = html.find(key);
    EXPECT_EQ(at, 0u) << html;
    if (at != 0) {
        return 0;
    }
    return std::stoull(html.substr(key.size()));
}

TEST(KrProgress, WritesLabelThenProgressTiedByConsecutiveIds) {
    KrProgress first("Copying", 10, 3);
    const uint64_t n = IdOf(Written(first));
    ASSERT_GT(n, 0u);
    const std::string id = "KrProgress_" + std::to_string(n);
    EXPECT_EQ(Written(first), "<label for=\"" + id + "\">Copying</label><progress id=\"" + id +
                                  "\" max=\"10\" value=\"3\">3.000000/10.000000</progress>");

    KrProgress second("", 100, 0.25);
    const std::string next = "KrProgress_" + std::to_string(n + 1);
    EXPECT_EQ(Written(second), "<label for=\"" + next + "\"></label><progress id=\"" + next +
                                   "\" max=\"100\" value=\"0.25\">0.250000/100.000000</progress>");
}

TEST(KrProgress, IdsAreUniqueAcrossEightThreads) {
    constexpr int kThreads = 8;
    constexpr int kEach = 500;
    std::vector<std::vector<uint64_t>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&ids, t] {
            for (int i = 0; i < kEach; ++i) {
                KrProgress progress("p", 1, 0);
                ids[t].push_back(IdOf(Written(progress)));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::set<uint64_t> all;
    for (const std::vector<uint64_t>& list : ids) {
        // One thread's widgets are numbered in the order it built them.
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
        all.insert(list.begin(), list.end());
    }
    ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
    // No number was skipped either: the widgets took one run of numbers.
    EXPECT_EQ(*all.rbegin() - *all.begin() + 1, static_cast<uint64_t>(kThreads * kEach));
}

}  // namespace
