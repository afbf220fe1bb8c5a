#include "document/KrXMLDatum.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

TEST(KrXMLDatum, WrittenFormReadsBack) {
    KrXMLDatum original;
    original.setTime(1700000000, 0);
    original.SetFromString("1700000000 123 1");
    ASSERT_TRUE(original.parseOk());
    std::ostringstream out;
    original.Write(out);
    EXPECT_EQ(out.str(), "1700000000 123 1");

    KrXMLDatum copy;
    copy.SetFromString(out.str());
    EXPECT_TRUE(copy.IsSet());
    EXPECT_EQ(copy.seconds(), 1700000000);
    EXPECT_EQ(copy.subSecond(), 123);
    EXPECT_EQ(copy.validity(), 1);
}

TEST(KrXMLDatum, FailedParseIsSwallowedAndClearsParseOk) {
    KrXMLDatum datum;
    EXPECT_TRUE(datum.IsSet());  // "now" is valid
    EXPECT_NO_THROW(datum.SetFromString(".5"));
    EXPECT_FALSE(datum.parseOk());
    datum.SetFromCString(nullptr);
    EXPECT_FALSE(datum.parseOk());

    // Unset only when neither the parse nor the validity flag says otherwise.
    datum.SetFromString("0 0 0");
    EXPECT_TRUE(datum.parseOk());
    EXPECT_TRUE(datum.IsSet());
    datum.SetFromString("x.y");
    EXPECT_FALSE(datum.IsSet());
}

TEST(KrXMLDatum, DatumSideSettersBehaveAsAttributeSetters) {
    KrXMLDatum datum;
    KrDatum& asDatum = datum;
    asDatum.setFromString("1700000000 5 1");
    EXPECT_TRUE(datum.parseOk());
    EXPECT_EQ(datum.subSecond(), 5);
    asDatum.setFromCString(nullptr);
    EXPECT_FALSE(datum.parseOk());

    // A C string takes the same way on either side, failures swallowed.
    for (const char* text : {"1700000000 7 1", "x.y"}) {
        const bool good = text[0] != 'x';
        datum.SetFromCString(text);
        EXPECT_EQ(datum.parseOk(), good) << text;
        asDatum.setFromCString(text);
        EXPECT_EQ(datum.parseOk(), good) << text;
    }
    EXPECT_EQ(datum.subSecond(), 7);
}
