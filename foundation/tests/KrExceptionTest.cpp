#include "foundation/KrException.h"

#include <gtest/gtest.h>

TEST(KrException, WhatIsTheMessageOnly) {
    EXPECT_STREQ(KrException("", 12, "src").what(), "");
    EXPECT_STREQ(KrException("bad port 70000", 99, "src").what(), "bad port 70000");
}

TEST(KrException, CopyFromErrorKeepsBothTexts) {
    KrException inner("first", "second");
    KrException outer(inner, 7, "src");
    EXPECT_STREQ(outer.what(), "first");
    EXPECT_EQ(outer.secondText(), "second");
}

TEST(KrException, SubtypesCarryTheirExtras) {
    KrException_SSL ssl("handshake failed", 1, "src");
    EXPECT_STREQ(ssl.what(), "(SSL) handshake failed");

    KrException2T two("m", "a", "b", 1, "src");
    EXPECT_EQ(two.textA(), "a");
    EXPECT_EQ(two.textB(), "b");
    EXPECT_TRUE(two.secondText().empty());

    KrException1I one("m", 18446744073709551615ull, 1, "src");
    EXPECT_EQ(one.value(), 18446744073709551615ull);

    try {
        throw KrException_SSL("x", 1, "src");
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "(SSL) x");
    }
}
