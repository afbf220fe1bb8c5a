// Includes nothing but the umbrella header: it must bring the foundation.
#include "document/document.h"

#include <gtest/gtest.h>

TEST(DocumentUmbrella, BringsTheFoundation) {
    EXPECT_EQ(ConvertBackslashes("a\\b", -1), "a/b");
    EXPECT_EQ(KrURL("https://h/").port, "443");
    EXPECT_EQ(JSStringEscape("</"), "<\\/");
}
