#include "transport/KrHTTPMessageBlock.h"

#include <gtest/gtest.h>

#include "foundation/KrException.h"

TEST(KrHTTPMessageBlock, FromQuestion) {
    KrHTTPMessageBlock pair(" a = 1 ");
    EXPECT_EQ(pair.fields["name"], "a");
    EXPECT_EQ(pair.text(), "1");
    EXPECT_EQ(pair.fields["mimetype"], "application/octet-stream");
    KrHTTPMessageBlock flag("b");
    EXPECT_EQ(flag.fields["name"], "b");
    EXPECT_EQ(flag.content, nullptr);
    EXPECT_THROW(KrHTTPMessageBlock{""}, KrException);
    EXPECT_THROW(KrHTTPMessageBlock{"a=b=c"}, KrException);
}

TEST(KrHTTPMessageBlock, MoveHandsOverEverything) {
    KrHTTPMessageBlock source("a=1");
    source.headerFields["x"].push_back("y");
    KrHTTPMessageBlock target(std::move(source));
    EXPECT_EQ(target.text(), "1");
    EXPECT_EQ(target.headerFields["x"].size(), 1u);
    EXPECT_EQ(source.content, nullptr);
    EXPECT_TRUE(source.fields.empty());
    EXPECT_TRUE(source.headerFields.empty());
    KrHTTPMessageBlock other("b=2");
    other = std::move(target);
    EXPECT_EQ(other.text(), "1");
    EXPECT_EQ(other.fields["name"], "a");
}

TEST(KrHTTPMessageBlock, ContentBufferHoldsTheBytesUnreadAndGrows) {
    KrHTTPMessageBlock block;
    block.setContent(std::string("abc\0def", 7));
    ASSERT_NE(block.content, nullptr);
    EXPECT_EQ(block.content->Length(), 7u);
    EXPECT_EQ(block.text(), std::string("abc\0def", 7));
    block.content->sputn("ghi", 3);
    EXPECT_EQ(block.text(), std::string("abc\0defghi", 10));
    EXPECT_EQ(block.content->sbumpc(), 'a');
    EXPECT_EQ(block.content->Length(), 9u);
}
