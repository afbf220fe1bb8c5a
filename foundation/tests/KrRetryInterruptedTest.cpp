#include "foundation/KrRetryInterrupted.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

// A stand-in for a system call: fails with EINTR `interruptions` times, then
// ends with `result` and, when that is negative, `error`.
struct Row {
    int interruptions;
    long result;
    int error;
};

TEST(KrRetryInterrupted, RepeatsOnlyCallsCutShortBySignals) {
    const Row rows[] = {
        {0, 5, 0},            // succeeds at once: one call
        {3, 0, 0},            // end of file after three interruptions
        {2, -1, EAGAIN},      // another failure is reported, not retried
        {0, -1, ECONNRESET},  // likewise without any interruption
        {1, 42, 0},
    };
    for (const Row& row : rows) {
        int calls = 0;
        errno = 0;
        const long got = KrRetryInterrupted([&]() -> long {
            if (calls++ < row.interruptions) {
                errno = EINTR;
                return -1;
            }
            if (row.result < 0)
                errno = row.error;
            return row.result;
        });
        EXPECT_EQ(got, row.result) << "interruptions " << row.interruptions;
        EXPECT_EQ(calls, row.interruptions + 1) << "interruptions " << row.interruptions;
        if (row.result < 0) {
            EXPECT_EQ(errno, row.error) << "interruptions " << row.interruptions;
        }
    }
}

}  // namespace
