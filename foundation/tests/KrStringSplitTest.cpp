#include "foundation/KrStringSplit.h"

#include <gtest/gtest.h>

using Pieces = std::vector<std::string>;

TEST(KrStringSplit, SplitKeepsOrDropsEmptyPieces) {
    EXPECT_EQ(SplitString("a,,b", ",", false), (Pieces{"a", "", "b"}));
    EXPECT_EQ(SplitString("a,,b", ",", true), (Pieces{"a", "b"}));
    EXPECT_EQ(SplitString("", ",", false), Pieces{});
    EXPECT_EQ(SplitString(",", ",", false), Pieces{""});
    EXPECT_EQ(SplitString(",", ",", true), Pieces{});
    EXPECT_EQ(SplitString("a,b,", ",", false), (Pieces{"a", "b"}));
    EXPECT_EQ(SplitString(",a", ",", false), (Pieces{"", "a"}));
    EXPECT_EQ(SplitString("abc", ",", false), Pieces{"abc"});
    EXPECT_EQ(SplitStringAll("a,,b", ","), (Pieces{"a", "", "b"}));
}

TEST(KrStringSplit, SplitsOnlyAtTheWholeDelimiter) {
    EXPECT_EQ(SplitString("a::b:c::", "::", false), (Pieces{"a", "b:c"}));
    EXPECT_EQ(SplitString("a:::b", "::", false), (Pieces{"a", ":b"}));
    EXPECT_EQ(SplitString("--begin--x--end", "--", true), (Pieces{"begin", "x", "end"}));
}

TEST(KrStringSplit, EmptyDelimiterGivesTheWholeText) {
    EXPECT_EQ(SplitString("a,b", "", false), Pieces{"a,b"});
    EXPECT_EQ(SplitString("", "", true), Pieces{});
    EXPECT_EQ(SplitStringAll("xyz", ""), Pieces{"xyz"});
    EXPECT_EQ(ParseKeyValueList("a=1", "", "=", ""),
              (std::map<std::string, std::string>{{"a", "1"}}));
    EXPECT_EQ(ParseKeyValueList("a=1,b", ",", "", ""),
              (std::map<std::string, std::string>{{"a=1", ""}, {"b", ""}}));
    EXPECT_TRUE(ParseKeyValueList("", "", "", "").empty());
}

TEST(KrStringSplit, JoinPathUsesOneSlash) {
    struct Row {
        std::string first, second, expected;
    };
    const std::vector<Row> rows = {
        {"a/", "/b", "a/b"}, {"a", "b", "a/b"},       {"", "b", "/b"},   {"/", "b", "//b"},
        {"a", "", "a/"},     {"a///", "///b", "a/b"}, {"a", "/", "a//"}, {"/srv/", "x/", "/srv/x/"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(JoinPath(row.first, row.second), row.expected)
            << row.first << " + " << row.second;
    }
}

TEST(KrStringSplit, ParsesKeyValueLists) {
    using Map = std::map<std::string, std::string>;
    EXPECT_EQ(ParseKeyValueList("a=1,b=2,c", ",", "=", " "),
              (Map{{"a", "1"}, {"b", "2"}, {"c", ""}}));
    EXPECT_EQ(ParseKeyValueList(" a = 1 , b=2 ,  c ", ",", "=", " "),
              (Map{{"a", "1"}, {"b", "2"}, {"c", ""}}));
    EXPECT_EQ(ParseKeyValueList("a=1=2,b=2", ",", "=", " "), (Map{{"b", "2"}}));
    EXPECT_EQ(ParseKeyValueList("a=1,a=3", ",", "=", ""), (Map{{"a", "3"}}));
    EXPECT_EQ(ParseKeyValueList("k=,,x", ",", "=", ""), (Map{{"k", ""}, {"x", ""}}));
    EXPECT_EQ(ParseKeyValueList(" a = 1 ", ",", "=", ""), (Map{{" a ", " 1 "}}));
    EXPECT_EQ(ParseKeyValueList("a: 1; b: 2;", ";", ":", " "), (Map{{"a", "1"}, {"b", "2"}}));
}
