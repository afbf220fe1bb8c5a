#include "foundation/KrStringBuf.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

void Fill(KrStringBuf& buffer, const std::string& bytes) {
    ForwardVirtualCall(buffer, bytes);
}

std::string Offset(KrStringBuf& buffer, const char* at) {
    return at == nullptr ? "null" : std::to_string(at - buffer.Begin());
}

}  // namespace

TEST(KrStringBuf, LengthCountsUnreadAndSizeCountsWritten) {
    KrStringBuf buffer;
    EXPECT_EQ(buffer.Length(), 0u);
    EXPECT_EQ(buffer.Size(), 0);
    Fill(buffer, "0123456789");
    char out[4];
    EXPECT_EQ(buffer.sgetn(out, 4), 4);
    EXPECT_EQ(buffer.Length(), 6u);
    EXPECT_EQ(buffer.Size(), 10);
    EXPECT_EQ(*buffer.Begin(), '4');
    EXPECT_EQ(*buffer.At(0), '0');
    EXPECT_EQ(*buffer.At(9), '9');

    std::ostream stream(&buffer);
    stream << "ab" << 12;
    EXPECT_EQ(buffer.Length(), 10u);
}

TEST(KrStringBuf, FindReportsMatchesAndTrailingPartialMatches) {
    struct Row {
        std::string content, pattern;
        uint64_t offset, count;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"\r\r\n", "\r\n", 0, UINT64_MAX, "1"},
        {"xxab", "abc", 0, UINT64_MAX, "2"},
        {"abcabd", "abd", 0, UINT64_MAX, "3"},
        {"abcabd", "abd", 3, UINT64_MAX, "3"},
        {"abcabd", "abd", 4, UINT64_MAX, "null"},
        {"abcdef", "xy", 0, UINT64_MAX, "null"},
        {"abcdef", "cd", 0, 2, "null"},
        {"abcdef", "cd", 0, 3, "2"},
        {"abcdef", "cd", 0, 4, "2"},
        {"abcdef", "abcdefg", 0, UINT64_MAX, "null"},
        {"abc", "", 0, UINT64_MAX, "null"},
        {"abc", "a", 3, UINT64_MAX, "null"},
        {"abc", "a", 0, 0, "null"},
        {"--x--", "--", 1, UINT64_MAX, "3"},
    };
    for (const auto& row : rows) {
        KrStringBuf buffer;
        Fill(buffer, row.content);
        EXPECT_EQ(Offset(buffer, buffer.Find(row.pattern, row.offset, row.count)), row.expected)
            << row.content << " / " << row.pattern;
    }
}

TEST(KrStringBuf, FindSearchesOnlyTheUnreadContent) {
    KrStringBuf buffer;
    Fill(buffer, "ab\r\ncd\r\n");
    buffer.gbump(4);
    EXPECT_EQ(Offset(buffer, buffer.Find("\r\n", 0, UINT64_MAX)), "2");
}

TEST(KrStringBuf, FindExactNeverReportsAPartialMatch) {
    KrStringBuf buffer;
    Fill(buffer, "xxab");
    EXPECT_EQ(buffer.FindExact("abc", 0, UINT64_MAX), nullptr);
    EXPECT_EQ(Offset(buffer, buffer.FindExact("ab", 0, UINT64_MAX)), "2");
    EXPECT_EQ(buffer.FindExact("ab", 0, 3), nullptr);
    EXPECT_EQ(buffer.FindExact("ab", 3, UINT64_MAX), nullptr);

    KrStringBuf boundary;
    Fill(boundary, std::string("a\0b--B\0X--B", 11));
    EXPECT_EQ(Offset(boundary, boundary.FindExact(std::string("--B\0X", 5), 0, UINT64_MAX)), "3");
}

TEST(KrStringBuf, CopyOutAppendsARangeOfUnreadBytes) {
    KrStringBuf buffer;
    std::string out = ">";
    buffer.CopyOut(out, 0, 10);
    EXPECT_EQ(out, ">");
    Fill(buffer, "headerbody");
    buffer.gbump(2);
    buffer.CopyOut(out, 0, 4);
    EXPECT_EQ(out, ">ader");
    buffer.CopyOut(out, 4, UINT64_MAX);
    EXPECT_EQ(out, ">aderbody");
    buffer.CopyOut(out, buffer.Length(), 5);
    buffer.CopyOut(out, 0, 0);
    EXPECT_EQ(out, ">aderbody");
}

// Reset drops the buffer, Rewind keeps its room: after either, nothing of
// the old content shows through reads, the text or growth past the room.
TEST(KrStringBuf, ResetAndRewindDropEverythingWritten) {
    for (const bool rewind : {false, true}) {
        SCOPED_TRACE(rewind ? "Rewind" : "Reset");
        KrStringBuf buffer;
        Fill(buffer, "old content that is read in part");
        buffer.sbumpc();
        const size_t room = buffer.Room();
        if (rewind)
            buffer.Rewind();
        else
            buffer.Reset();
        EXPECT_EQ(buffer.Length(), 0u);
        EXPECT_EQ(buffer.Size(), 0);
        EXPECT_EQ(buffer.str(), "");
        if (rewind) {
            EXPECT_EQ(buffer.Room(), room);
        }
        Fill(buffer, "new");
        EXPECT_EQ(buffer.Size(), 3);
        EXPECT_EQ(buffer.str(), "new");
        EXPECT_EQ(std::string(buffer.Begin(), buffer.Length()), "new");
        EXPECT_EQ(buffer.sbumpc(), 'n');
        // Past the room kept: the buffer grows with the new bytes only.
        const std::string more(room + 10, 'x');
        Fill(buffer, more);
        EXPECT_EQ(buffer.str(), "new" + more);
        EXPECT_EQ(std::string(buffer.Begin(), buffer.Length()), "ew" + more);
    }
}

// Pieces of every size, appended while reads take bytes from the front, come
// out whole and in order, whether they fit the put area or make it grow.
TEST(KrStringBuf, AppendKeepsEveryByteAcrossGrowthAndReads) {
    KrStringBuf buffer;
    std::string expected;
    std::string read;
    char piece[3000];
    for (size_t size : {0, 1, 1, 7, 0, 64, 1, 2999, 3, 1024, 1}) {
        for (size_t i = 0; i < size; ++i)
            piece[i] = static_cast<char>('a' + (expected.size() + i) % 26);
        buffer.Append(piece, size);
        expected.append(piece, size);
        EXPECT_EQ(buffer.Size(), static_cast<int64_t>(expected.size()));
        // Take half of what is unread through the stream interface.
        char out[2048];
        const std::streamsize take = static_cast<std::streamsize>(buffer.Length() / 2);
        ASSERT_EQ(buffer.sgetn(out, take), take);
        read.append(out, static_cast<size_t>(take));
    }
    read.append(buffer.Begin(), buffer.Length());
    EXPECT_EQ(read, expected);
    EXPECT_EQ(Offset(buffer, buffer.Find("xyz", 0, UINT64_MAX)) != "null",
              expected.find("xyz", expected.size() - buffer.Length()) != std::string::npos);
}
