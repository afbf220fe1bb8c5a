#include "html/KrHTML_input2_blob.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "foundation/KrException.h"

namespace {

std::string bytesOf(const double* values, size_t count) {
    return std::string(reinterpret_cast<const char*>(values), count * sizeof(double));
}

TEST(KrHTML_input2_blob, HoldsCountTimesEightBytesAndWritesOnlyThem) {
    const double values[3] = {1.5, -2.0, 1e300};
    KrHTML_input2_blob blob("b", values, 3, "data");
    std::stringbuf sink;
    blob.WriteTo(&sink);
    EXPECT_EQ(sink.str().size(), 24u);
    EXPECT_EQ(sink.str(), bytesOf(values, 3));
    EXPECT_EQ(blob.ToHTMLString(), "<input id=\"b\" name=\"data\" type=\"blob\" />");
}

TEST(KrHTML_input2_blob, KeepsZeroBytesOfAString) {
    const std::string data("a\0b\0\0c", 6);
    KrHTML_input2_blob blob("", data, "n");
    std::string copy = "prefix";
    blob.CopyTo(copy);
    EXPECT_EQ(copy, "prefix" + data);
}

TEST(KrHTML_input2_blob, AppendsExtendTheBuffer) {
    KrHTML_input2_blob blob("", std::string("xy"), "n");
    const uint64_t item = 0x0102030405060708ull;
    blob.AppendItems(&item, 1);
    blob.Append("z");
    blob.AppendItems(nullptr, 0);
    std::string copy;
    blob.CopyTo(copy);
    std::string expected = "xy";
    expected.append(reinterpret_cast<const char*>(&item), 8);
    expected += "z";
    EXPECT_EQ(copy, expected);
}

TEST(KrHTML_input2_blob, CountWhoseByteSizeOverflowsThrowsLengthError) {
    KrHTML_input2_blob blob("", std::string("keep"), "n");
    const char byte = 'x';
    // 2^61 items are 2^64 bytes, which wraps to 0: nothing may be appended.
    for (uint64_t count : {uint64_t{1} << 61, std::numeric_limits<uint64_t>::max(),
                           std::numeric_limits<uint64_t>::max() / 8 + 1}) {
        EXPECT_THROW(blob.AppendItems(&byte, count), std::length_error) << count;
    }
    // Fits in size_t but not in a string: refused before a byte is read.
    EXPECT_THROW(blob.AppendItems(&byte, std::numeric_limits<uint64_t>::max() / 8),
                 std::length_error);
    std::string copy;
    blob.CopyTo(copy);
    EXPECT_EQ(copy, "keep");

    EXPECT_THROW(KrHTML_input2_blob("", &byte, uint64_t{1} << 61, "n"), std::length_error);
}

TEST(KrHTML_input2_blob, MissingDataForItemsIsRefused) {
    KrHTML_input2_blob blob("", std::string(), "n");
    EXPECT_THROW(blob.AppendItems(nullptr, 2), KrException);
    std::string copy;
    blob.CopyTo(copy);
    EXPECT_TRUE(copy.empty());
}

TEST(KrHTML_input2_blob, CopiesNeverSeeHalfAnAppend) {
    KrHTML_input2_blob blob("", std::string(), "n");
    constexpr int kAppends = 500;
    const std::string chunk(64, 'q');
    std::thread writer([&] {
        for (int i = 0; i < kAppends; ++i) {
            blob.Append(chunk);
        }
    });
    bool torn = false;
    for (int i = 0; i < kAppends; ++i) {
        std::string copy;
        blob.CopyTo(copy);
        torn = torn || copy.size() % chunk.size() != 0;
    }
    writer.join();
    EXPECT_FALSE(torn);
    std::stringbuf sink;
    blob.WriteTo(&sink);
    EXPECT_EQ(sink.str().size(), chunk.size() * kAppends);
}

}  // namespace
