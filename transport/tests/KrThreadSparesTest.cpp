#include "transport/KrThreadSpares.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

int g_freed = 0;

void FreeInt(int* item) {
    ++g_freed;
    delete item;
}

using Spares = KrThreadSpares<int, 2, FreeInt>;

}  // namespace

TEST(KrThreadSpares, AThreadKeepsAFewTakesThemBackAndFreesTheRestWhenItEnds) {
    g_freed = 0;
    std::vector<bool> kept;
    std::vector<int> taken;
    std::thread([&kept, &taken] {
        // Kept up to two; the third is left to the caller.
        int* items[] = {new int(1), new int(2), new int(3)};
        for (int* item : items) {
            kept.push_back(Spares::keep(item));
            if (!kept.back())
                delete item;
        }
        // The last kept comes back first; none is shared with other threads.
        std::thread([&taken] { taken.push_back(Spares::take() == nullptr ? 0 : -1); }).join();
        int* last = Spares::take();
        taken.push_back(*last);
        delete last;
        // One is still kept when the thread ends.
    }).join();
    EXPECT_EQ(kept, (std::vector<bool>{true, true, false}));
    EXPECT_EQ(taken, (std::vector<int>{0, 2}));
    EXPECT_EQ(g_freed, 1);
}
