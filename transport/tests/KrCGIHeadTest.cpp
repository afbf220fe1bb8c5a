#include "transport/KrCGIHead.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using State = KrCGIHead::State;

State Parse(const std::string& output) {
    KrCGIHead head;
    return head.parse(output.data(), output.size());
}

}  // namespace

TEST(KrCGIHead, EveryPrefixOfASoundHeadWaitsForMore) {
    // Output arrives in pieces: until the empty line, nothing is decided.
    const std::string output = "Status: 201 Made\r\nX-A: 1\nLocation: /n\r\n\r\nbody";
    const size_t headLength = output.find("body");
    KrCGIHead head;
    for (size_t size = 0; size < headLength; ++size)
        EXPECT_EQ(head.parse(output.data(), size), KrCGIHead::KR_CGI_HEAD_INCOMPLETE) << size;
    for (const size_t size : {headLength, output.size()}) {
        ASSERT_EQ(head.parse(output.data(), size), KrCGIHead::KR_CGI_HEAD_COMPLETE) << size;
        EXPECT_EQ(head.length(), headLength);
        EXPECT_EQ(head.status(), 201u);
        EXPECT_EQ(head.reason(), "Made");
        EXPECT_EQ(head.fields(), "X-A: 1\r\nLocation: /n\r\n");
    }
}

TEST(KrCGIHead, BadLinesAreRefusedBeforeTheHeadEnds) {
    struct Row {
        std::string output;
        State state;
    };
    const Row rows[] = {
        {"<html>\n", KrCGIHead::KR_CGI_HEAD_BAD},
        {"X: a\rb", KrCGIHead::KR_CGI_HEAD_BAD},
        {std::string("X: a\0", 5), KrCGIHead::KR_CGI_HEAD_BAD},
        {"X: a\r", KrCGIHead::KR_CGI_HEAD_INCOMPLETE},  // the CR of a CR LF
        {"Bad Name: x\n\n", KrCGIHead::KR_CGI_HEAD_BAD},
        {": x\n\n", KrCGIHead::KR_CGI_HEAD_BAD},
        {"Status: 2000\n\n", KrCGIHead::KR_CGI_HEAD_BAD},
        {"Status: 20\n\n", KrCGIHead::KR_CGI_HEAD_BAD},
        {"Status: 103 Early Hints\n\n", KrCGIHead::KR_CGI_HEAD_BAD},
        {"Status: 200\t OK \n\n", KrCGIHead::KR_CGI_HEAD_COMPLETE},
        {"\r\n", KrCGIHead::KR_CGI_HEAD_COMPLETE},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Parse(row.output), row.state) << row.output;
}

TEST(KrCGIHead, HeadsLongerThanTheLimitAreRefused) {
    const size_t limit = KrCGIHead::kMaxHeadLength;
    // A field line of n bytes.
    const auto line = [](size_t n) { return "X: " + std::string(n - 5, 'v') + "\r\n"; };
    EXPECT_EQ(Parse(line(limit - 2) + "\r\n"), KrCGIHead::KR_CGI_HEAD_COMPLETE);
    EXPECT_EQ(Parse(line(limit - 1) + "\r\n"), KrCGIHead::KR_CGI_HEAD_BAD);
    // Nothing can end a head that has reached the limit without its empty line.
    EXPECT_EQ(Parse(line(limit - 1) + "\r"), KrCGIHead::KR_CGI_HEAD_BAD);
    EXPECT_EQ(Parse(line(limit - 1)), KrCGIHead::KR_CGI_HEAD_INCOMPLETE);
}

TEST(KrCGIHead, ReasonsAndBodies) {
    EXPECT_STREQ(KrCGIHead::standardReason(303), "See Other");
    EXPECT_STREQ(KrCGIHead::standardReason(429), "Too Many Requests");
    EXPECT_STREQ(KrCGIHead::standardReason(599), "");
    for (const unsigned long code : {100ul, 101ul, 199ul, 204ul, 304ul})
        EXPECT_FALSE(KrCGIHead::carriesBody(code)) << code;
    for (const unsigned long code : {200ul, 205ul, 206ul, 303ul, 305ul, 404ul})
        EXPECT_TRUE(KrCGIHead::carriesBody(code)) << code;
}

TEST(KrCGIHead, AnnouncedLengthIsKeptOnlyWhenPlain) {
    // The length is where the answer is whole; the server writes it into
    // its own framing field, never the program's line as it came.
    const std::pair<std::string, long long> rows[] = {
        {"Content-Length: 12\n\n", 12},
        {"content-length:0\r\n\r\n", 0},
        {"Content-Length: 3\nContent-Length: 3\n\n", 3},
        {"\n", -1},
        {"Content-Length: x\n\n", -1},
        {"Content-Length: -1\n\n", -1},
        {"Content-Length: 1 2\n\n", -1},
        {"Content-Length: +5\n\n", -1},
        {"Content-Length: 1\nContent-Length: 2\n\n", -1},
        {"Content-Length: x\nContent-Length: 2\n\n", -1},
        {"Content-Length: 99999999999999999999\n\n", -1},
    };
    for (const auto& [output, length] : rows) {
        KrCGIHead head;
        ASSERT_EQ(head.parse(output.data(), output.size()), KrCGIHead::KR_CGI_HEAD_COMPLETE)
            << output;
        EXPECT_EQ(head.contentLength(), length) << output;
        EXPECT_EQ(head.fields(), "") << output;
    }
}
