#include "document/KrXMLNumericKrAttributes.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include "document/KrXMLBoolKrAttribute.h"
#include "document/KrXMLComplexAttribute2.h"
#include "document/KrXMLStringKrAttribute.h"

namespace {

std::string written(KrXMLComplexAttribute2& attribute) {
    std::ostringstream out;
    attribute.Write(out);
    std::string appended;
    attribute.AppendTo(appended);
    EXPECT_EQ(appended, out.str());
    return out.str();
}

}  // namespace

TEST(KrXMLTypedAttributes, DoubleWritesSixSignificantDigits) {
    struct Row {
        double value;
        const char* text;
    };
    const Row rows[] = {
        {1.0 / 3.0, "0.333333"},
        {1e20, "1e+20"},
        {2.0, "2"},
        {0.5, "0.5"},
        {100.0, "100"},
        {3.14159265, "3.14159"},
        {-0.000012345, "-1.2345e-05"},
        {123456789.0, "1.23457e+08"},
    };
    for (const Row& row : rows) {
        KrXMLDoubleKrAttribute attribute(row.value);
        EXPECT_EQ(written(attribute), row.text);
    }
}

TEST(KrXMLTypedAttributes, DefaultConstructedAreUnsetAndWriteNothing) {
    KrXMLDoubleKrAttribute d;
    KrXMLInt64_tKrAttribute i;
    KrXMLUint64_tKrAttribute u;
    KrXMLBoolKrAttribute b;
    KrXMLStringKrAttribute s;
    for (KrXMLComplexAttribute2* a :
         {static_cast<KrXMLComplexAttribute2*>(&d), static_cast<KrXMLComplexAttribute2*>(&i),
          static_cast<KrXMLComplexAttribute2*>(&u), static_cast<KrXMLComplexAttribute2*>(&b),
          static_cast<KrXMLComplexAttribute2*>(&s)}) {
        EXPECT_FALSE(a->IsSet());
        EXPECT_EQ(written(*a), "");
    }
    s.Set("");
    EXPECT_TRUE(s.IsSet());
}

TEST(KrXMLTypedAttributes, NumericSetFromStringConvertsLikeTheStandardLibrary) {
    KrXMLInt64_tKrAttribute i;
    i.SetFromString("  -42xyz");
    EXPECT_EQ(i.Get(), -42);
    EXPECT_EQ(written(i), "-42");
    try {
        i.SetFromString("xyz");
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "stoll");
    }
    EXPECT_EQ(i.Get(), -42);
    EXPECT_TRUE(i.IsSet());
    EXPECT_THROW(i.SetFromString("99999999999999999999"), std::out_of_range);
    EXPECT_EQ(i.Get(), -42);

    KrXMLInt64_tKrAttribute fresh;
    EXPECT_THROW(fresh.SetFromString(""), std::invalid_argument);
    EXPECT_TRUE(fresh.IsSet());  // marked set even though nothing was read

    KrXMLUint64_tKrAttribute u;
    u.SetFromString("-1");
    EXPECT_EQ(u.Get(), UINT64_MAX);
    try {
        u.SetFromString("no");
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "stoull");
    }

    KrXMLDoubleKrAttribute d;
    d.SetFromString("2.5e1m");
    EXPECT_EQ(d.Get(), 25.0);
    try {
        d.SetFromString("1e999");
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "stod");
    }
    EXPECT_EQ(d.Get(), 25.0);
}

TEST(KrXMLTypedAttributes, NumericSetFromCStringNeverThrows) {
    KrXMLInt64_tKrAttribute i(5);
    EXPECT_NO_THROW(i.SetFromCString("xyz"));
    EXPECT_EQ(i.Get(), 0);
    EXPECT_TRUE(i.IsSet());
    i.Set(5);
    i.SetFromCString("");
    EXPECT_EQ(i.Get(), 0);
    EXPECT_TRUE(i.IsSet());
    i.SetFromCString("12");
    EXPECT_EQ(i.Get(), 12);
    i.SetFromCString(nullptr);
    EXPECT_FALSE(i.IsSet());
    EXPECT_EQ(i.Get(), 0);

    KrXMLDoubleKrAttribute d(1.5);
    d.SetFromCString("1e999");
    EXPECT_EQ(d.Get(), 0.0);
    KrXMLUint64_tKrAttribute u(3);
    u.SetFromCString("99999999999999999999999");
    EXPECT_EQ(u.Get(), 0u);
}

TEST(KrXMLTypedAttributes, BoolReadsNumbersAndTheWordTrue) {
    struct Row {
        const char* text;
        bool value;
    };
    const Row rows[] = {{"true", true},  {"TrUe", true}, {"0", false},     {"2", true},
                        {"12abc", true}, {"yes", false}, {"truex", false}, {"false", false},
                        {"-0", false},   {"", false}};
    for (const Row& row : rows) {
        KrXMLBoolKrAttribute b;
        b.SetFromString(row.text);
        EXPECT_EQ(b.Get(), row.value) << row.text;
        EXPECT_TRUE(b.IsSet());
        EXPECT_EQ(written(b), row.value ? "1" : "0");
    }
    KrXMLBoolKrAttribute b(true);
    b.SetFromCString(nullptr);
    EXPECT_FALSE(b.IsSet());
    EXPECT_FALSE(b.Get());
    b.SetFromCString("");
    EXPECT_TRUE(b.IsSet());
    EXPECT_FALSE(b.Get());
}

TEST(KrXMLTypedAttributes, StringAndGenericFromCString) {
    KrXMLStringKrAttribute s("x");
    s.SetFromCString(nullptr);
    EXPECT_FALSE(s.IsSet());
    EXPECT_EQ(s.Get(), "");
    s.SetFromCString("y");
    EXPECT_EQ(written(s), "y");

    KrXMLGenericAttribute g("v");
    g.SetFromCString(nullptr);
    EXPECT_TRUE(g.IsSet());
    EXPECT_EQ(written(g), "");
}

TEST(KrXMLTypedAttributes, ProxyForwardsToItsTarget) {
    KrXMLInt64_tKrAttribute member;
    KrXMLComplexAttributeProxy2 proxy(&member);
    EXPECT_FALSE(proxy.IsSet());
    proxy.SetFromString("7");
    EXPECT_EQ(member.Get(), 7);
    EXPECT_TRUE(proxy.IsSet());
    EXPECT_EQ(written(proxy), "7");
    proxy.SetFromCString(nullptr);
    EXPECT_FALSE(member.IsSet());
}
