#include "foundation/CharBuffer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

std::string Content(const CharBuffer& buffer) {
    return std::string(buffer.CData(), buffer.Size());
}

}  // namespace

TEST(CharBuffer, StartsEmptyWithItsGrowthStepFree) {
    CharBuffer buffer(4);
    EXPECT_EQ(buffer.Size(), 0u);
    EXPECT_EQ(buffer.FreeSpace(), 4u);
    EXPECT_STREQ(buffer.CData(), "");

    CharBuffer zero(0);
    EXPECT_EQ(zero.FreeSpace(), 1u);
    zero.PushChar('x');
    EXPECT_EQ(zero.FreeSpace(), 0u);
    // Growth 1 with no free byte grows by 1 * (1 / 1 + 2) = 3.
    zero.PushChar('y');
    EXPECT_EQ(zero.FreeSpace(), 2u);
    EXPECT_EQ(Content(zero), "xy");
}

TEST(CharBuffer, GrowsInStepsAndKeepsTheZeroByte) {
    CharBuffer buffer(4);
    EXPECT_EQ(buffer.Append("0123456789", 10), 10u);
    // 4 free, 10 asked: grows by 4 * ((10 - 4) / 4 + 2) = 12, so 16 - 10 are free.
    EXPECT_EQ(buffer.FreeSpace(), 6u);
    EXPECT_STREQ(buffer.CData(), "0123456789");
    EXPECT_EQ(buffer.Append("", 0), 0u);

    CharBuffer pushed(4);
    for (char c : std::string("abcd"))
        pushed.PushChar(c);
    EXPECT_EQ(pushed.FreeSpace(), 0u);
    pushed.PushChar('e');
    EXPECT_EQ(pushed.FreeSpace(), 7u);
    EXPECT_STREQ(pushed.CData(), "abcde");
}

TEST(CharBuffer, AppendsRawBytesAndItsOwnContent) {
    CharBuffer buffer(2);
    const unsigned char raw[] = {0x00, 0xff, 0x41};
    buffer.Append(raw, 3);
    EXPECT_EQ(Content(buffer), std::string("\0\xff"
                                           "A",
                                           3));
    // Appending from its own array must survive the reallocation.
    buffer.Assign("abcdef", 6);
    buffer.Append(buffer.CData(), buffer.Size());
    EXPECT_EQ(Content(buffer), "abcdefabcdef");
    buffer.Assign(buffer.CData() + 6, 3);
    EXPECT_EQ(Content(buffer), "abc");
}

TEST(CharBuffer, ConsumeClearAndDropBack) {
    CharBuffer buffer(2);
    buffer.Append("abcdefghijklmnop", 16);
    EXPECT_EQ(buffer.Consume(0), 0u);
    EXPECT_EQ(buffer.Consume(3), 3u);
    EXPECT_EQ(Content(buffer), "defghijklmnop");
    EXPECT_EQ(buffer.DropBack(4), 4u);
    EXPECT_EQ(Content(buffer), "defghijkl");
    EXPECT_TRUE(buffer.EndsWith('l'));
    EXPECT_FALSE(buffer.EndsWith('k'));
    // Much free space after consuming shrinks the array to length + 2 * grow.
    EXPECT_EQ(buffer.Consume(100), 9u);
    EXPECT_EQ(buffer.Size(), 0u);
    EXPECT_EQ(buffer.FreeSpace(), 4u);
    EXPECT_FALSE(buffer.EndsWith('l'));

    buffer.Append("0123456789", 10);
    buffer.Clear();
    EXPECT_EQ(buffer.Size(), 0u);
    EXPECT_EQ(buffer.FreeSpace(), 4u);
    EXPECT_STREQ(buffer.CData(), "");
    EXPECT_EQ(buffer.DropBack(5), 0u);
}

TEST(CharBuffer, FindsWholeMatchesOnly) {
    CharBuffer buffer(8);
    buffer.Assign("xxab", 4);
    EXPECT_EQ(buffer.Find("abc", 3, 0), CharBuffer::notFound);
    EXPECT_EQ(buffer.Find("ab", 2, 0), 2);
    EXPECT_EQ(buffer.Find("ab", 2, 2), 2);
    EXPECT_EQ(buffer.Find("ab", 2, 3), CharBuffer::notFound);
    EXPECT_EQ(buffer.Find("x", 1, 1), 1);
    EXPECT_EQ(buffer.Find("xxab", 4, 0), 0);
    EXPECT_EQ(buffer.Find("", 0, 0), CharBuffer::notFound);
    EXPECT_EQ(buffer.Find("x", 1, -1), CharBuffer::notFound);
    EXPECT_EQ(buffer.Find("x", 1, 4), CharBuffer::notFound);

    buffer.Assign("ab", 2);
    EXPECT_EQ(buffer.Find("ab", 2, 0), 0);
    buffer.Assign("aab\r\n\r\n", 7);
    EXPECT_EQ(buffer.Find("ab", 2, 0), 1);
    EXPECT_EQ(buffer.Find("\r\n\r\n", 4, 0), 3);
}

TEST(CharBuffer, ReadFromAPipe) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string sent = "child output";
    ASSERT_EQ(write(fds[1], sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    close(fds[1]);

    CharBuffer buffer(4);
    buffer.Append("> ", 2);
    const int64_t got = buffer.ReadFrom(fds[0], 64);
    EXPECT_EQ(got, static_cast<int64_t>(sent.size()));
    EXPECT_EQ(Content(buffer), "> child output");
    EXPECT_EQ(buffer.CData()[buffer.Size()], '\0');
    // End of input leaves the content as it was.
    EXPECT_EQ(buffer.ReadFrom(fds[0], 1), 0);
    EXPECT_EQ(Content(buffer), "> child output");
    close(fds[0]);
    EXPECT_LT(buffer.ReadFrom(fds[0], 1), 0);
}

TEST(CharBuffer, AssignmentCopiesTheBytes) {
    CharBuffer a(4);
    a.Append("hello world", 11);
    CharBuffer b(16);
    b = a;
    EXPECT_EQ(Content(b), "hello world");
    a.Clear();
    EXPECT_EQ(Content(b), "hello world");
    b = b;
    EXPECT_EQ(Content(b), "hello world");
}
