#include "transport/KrReadBatch.h"

#include <gtest/gtest.h>

#include <memory>

// What a pass holds is let go when it ends, so nothing a pass looked up
// outlives it while the loop waits; outside a pass nothing is held.
TEST(KrReadBatch, HoldsOnlyWithinAPassAndLetsGoAtItsEnd) {
    auto object = std::make_shared<int>(7);
    EXPECT_EQ(KrReadBatch::pass(), 0u);
    EXPECT_EQ(KrReadBatch::hold(object), nullptr);
    EXPECT_EQ(object.use_count(), 1);

    KrReadBatch batch;
    EXPECT_EQ(KrReadBatch::hold(object), nullptr);  // made, no pass yet
    batch.begin();
    const uint64_t first = KrReadBatch::pass();
    EXPECT_NE(first, 0u);
    const std::shared_ptr<int>* kept = KrReadBatch::hold(object);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->get(), object.get());
    EXPECT_EQ(object.use_count(), 2);
    batch.end();
    EXPECT_EQ(object.use_count(), 1);
    EXPECT_EQ(KrReadBatch::pass(), 0u);

    // The next pass is another; one still running when the loop stops is
    // ended with it.
    {
        KrReadBatch inner;
        inner.begin();
        EXPECT_NE(KrReadBatch::pass(), first);
        ASSERT_NE(KrReadBatch::hold(object), nullptr);
        EXPECT_EQ(object.use_count(), 2);
    }
    EXPECT_EQ(object.use_count(), 1);
}

// Only a request marked as there at the pass's start counts as early, and
// only within a pass.
TEST(KrReadBatch, EarlyOnlyWhileMarkedWithinAPass) {
    {
        const KrReadBatch::Early mark(true);
        EXPECT_EQ(KrReadBatch::earlyPass(), 0u);
    }
    KrReadBatch batch;
    batch.begin();
    EXPECT_EQ(KrReadBatch::earlyPass(), 0u);
    {
        const KrReadBatch::Early mark(true);
        EXPECT_EQ(KrReadBatch::earlyPass(), KrReadBatch::pass());
        const KrReadBatch::Early later(false);
        EXPECT_EQ(KrReadBatch::earlyPass(), 0u);
    }
    EXPECT_EQ(KrReadBatch::earlyPass(), 0u);
}

// A thread's share found again is the one kept for the same owner in the
// same pass, never another owner's or an earlier pass's.
TEST(KrReadBatch, KeptIsFoundOnlyForItsOwnerWithinItsPass) {
    auto object = std::make_shared<int>(3);
    KrReadBatch::Kept<int> kept;
    kept.keep(1, object);  // outside a pass: nothing kept
    EXPECT_EQ(kept.find(1), nullptr);

    KrReadBatch batch;
    batch.begin();
    kept.keep(1, object);
    ASSERT_NE(kept.find(1), nullptr);
    EXPECT_EQ(kept.find(1)->get(), object.get());
    EXPECT_EQ(kept.find(2), nullptr);
    batch.begin();  // the next pass
    EXPECT_EQ(kept.find(1), nullptr);
    EXPECT_EQ(object.use_count(), 1);
}
