#include "transport/KrXHeader.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/KrFileHandle.h"
#include "transport/tests/BufferText.h"
#include "transport/tests/KrHttpSamples.h"
#include "transport/tests/TemporaryFolder.h"

namespace {

// Reads a whole request and parses its body.
int ReadAndParse(KrXHeader& header, const std::string& bytes) {
    header.body().sputn(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const int read = header.read([](KrXHeader&) { return true; });
    if (read != 2)
        return -read;
    return header._parseBody();
}

std::string Param(KrXHeader& header, const std::string& name) {
    std::string value = "<absent>";
    header.getParameter(name, value);
    return value;
}

std::string MultipartRequest(const std::string& body, const std::string& type) {
    return "POST /up HTTP/1.1\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

TEST(KrXHeaderBody, QueryOfAGetBecomesParameters) {
    KrXHeader header(KR_HTTP_GET, false, 3);
    header._parseURL("/page?a=1&b=x%20y&c&&d=%zz&e+f=g+h");
    EXPECT_EQ(header.path(), "/page");
    EXPECT_EQ(header.query(), "a=1&b=x%20y&c&&d=%zz&e+f=g+h");
    EXPECT_EQ(Param(header, "a"), "1");
    EXPECT_EQ(Param(header, "b"), "x y");
    EXPECT_EQ(Param(header, "c"), "<absent>");
    EXPECT_EQ(Param(header, "d"), "%zz");
    EXPECT_EQ(Param(header, "e f"), "g h");
    EXPECT_EQ(header.queryParameters().size(), 4u);
    EXPECT_EQ(header.blocksByIndex().size(), 4u);
    EXPECT_EQ(header.blocksByIndex()["1"], header.parameters()["b"]);
}

TEST(KrXHeaderBody, PathIsNotFormDecoded) {
    KrXHeader header(KR_HTTP_GET, false, 3);
    header._parseURL("/a+b/c%20d?x=1+2");
    EXPECT_EQ(header.path(), "/a+b/c%20d");
    EXPECT_EQ(Param(header, "x"), "1 2");
}

TEST(KrXHeaderBody, QueryOfAPostIsDropped) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    header._parseURL("/page?a=1");
    EXPECT_EQ(header.path(), "/page");
    EXPECT_EQ(header.query(), "");
    EXPECT_TRUE(header.parameters().empty());
}

TEST(KrXHeaderBody, LaterNameWinsAndBothBlocksStay) {
    KrXHeader header(KR_HTTP_GET, false, 3);
    header._parseURL("/p?a=1&a=2");
    EXPECT_EQ(Param(header, "a"), "2");
    EXPECT_EQ(header.blocks().size(), 2u);
}

TEST(KrXHeaderBody, UrlencodedBody) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    ASSERT_EQ(ReadAndParse(header, KrHttpSamples()[1].bytes), 2);
    EXPECT_EQ(Param(header, "quivoid"), "42");
    EXPECT_EQ(Param(header, "quivocommand"), "save all");
    EXPECT_EQ(Param(header, "text"), "caf\xC3\xA9 & more");
    EXPECT_EQ(Param(header, "x"), "");
    EXPECT_EQ(header.bodyParameters().size(), 4u);
    // Asked again (the web client asks where a request goes, then answers
    // it), the body is not read a second time.
    EXPECT_EQ(header._parseBody(), KR_READ_COMPLETE);
    EXPECT_EQ(header.blocks().size(), 4u);
    EXPECT_EQ(header.bodyParameters().size(), 4u);
}

TEST(KrXHeaderBody, MultipartUploadWithAFile) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    ASSERT_EQ(ReadAndParse(header, KrHttpSamples()[2].bytes), 2);
    EXPECT_EQ(Param(header, "quivoid"), "42");
    KrHTTPMessageBlock* upload = header.parameters()["upload"];
    ASSERT_NE(upload, nullptr);
    EXPECT_EQ(upload->fields["mimetype"], "text/plain");
    EXPECT_EQ(upload->text(), "line one\r\nline two with ------WebKitFormBoundaryQ3d inside\r\n");
    EXPECT_EQ(upload->headerFields["content-disposition"].at(0),
              "form-data; name=\"upload\"; filename=\"notes.txt\"");
    KrHTTPMessageBlock* empty = header.parameters()["empty"];
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->content, nullptr);
    EXPECT_EQ(header.blocks().size(), 3u);
}

TEST(KrXHeaderBody, MultipartWithQuotedBoundaryAndLFLines) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    const std::string body = "--XyZ\nContent-Disposition: form-data; name=\"f\"\n\nabc\n--XyZ--\n";
    ASSERT_EQ(ReadAndParse(header, MultipartRequest(body, "multipart/form-data; boundary=\"XyZ\"")),
              2);
    EXPECT_EQ(Param(header, "f"), "abc");
}

TEST(KrXHeaderBody, BoundaryTextThatOnlyStartsLikeADelimiterIsContent) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    const std::string body =
        "--XyZ\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\na\r\n--XyZabc\r\n--XyZ \r\n"
        "Content-Disposition: form-data; name=\"g\"\r\n\r\nb\r\n--XyZ--";
    ASSERT_EQ(ReadAndParse(header, MultipartRequest(body, "multipart/form-data; boundary=XyZ")), 2);
    EXPECT_EQ(Param(header, "f"), "a\r\n--XyZabc");
    EXPECT_EQ(Param(header, "g"), "b");
}

TEST(KrXHeaderBody, MalformedMultipartIsRefusedWith400) {
    const std::pair<const char*, std::string> rows[] = {
        {"no delimiter", "just text"},
        {"no closing delimiter",
         "--XyZ\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nabc\r\n--XyZ\r\n"},
        {"cut part head", "--XyZ\r\nContent-Disposition: form-data; name=\"f\"\r\n--XyZ--\r\n"},
        {"closing delimiter first", "--XyZ--\r\n--XyZ--\r\n"},
    };
    for (const auto& [name, body] : rows) {
        KrXHeader header(KR_HTTP_POST, false, 3);
        EXPECT_EQ(ReadAndParse(header, MultipartRequest(body, "multipart/form-data; boundary=XyZ")),
                  1)
            << name;
        EXPECT_EQ(header.refusalStatus(), 400u) << name;
        EXPECT_TRUE(header.blocks().empty()) << name;
    }
    KrXHeader noBoundary(KR_HTTP_POST, false, 3);
    EXPECT_EQ(ReadAndParse(noBoundary, MultipartRequest("--x--", "multipart/form-data")), 1);
    EXPECT_EQ(noBoundary.refusalStatus(), 400u);
}

TEST(KrXHeaderBody, BodyLengthAgainstAnnouncement) {
    KrXHeader shortBody(KR_HTTP_POST, false, 3);
    shortBody.body().sputn("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nab", 41);
    EXPECT_EQ(shortBody.read([](KrXHeader&) { return true; }), 0);
    EXPECT_EQ(shortBody._parseBody(), 0);
    EXPECT_TRUE(shortBody.blocks().empty());
}

TEST(KrXHeaderBody, OtherContentTypesAreLeftWholeAndSilent) {
    // A JSON or XML body is for the page or program that reads it: it makes
    // no parameters, no report, and its bytes stay unread for that reader.
    const std::pair<std::string, std::string> rows[] = {
        {"application/json", "{\"a\":\"b=c&d=e\",\"n\":[1,2]}"},
        {"application/json; charset=utf-8", "[\"x=1\"]"},
        {"text/plain", "a=b"},
        {"text/x[2Jred\"q\\", "a=b"},
    };
    for (const auto& [type, body] : rows) {
        KrXHeader header(KR_HTTP_POST, false, 3);
        testing::internal::CaptureStderr();
        const int result = ReadAndParse(header, MultipartRequest(body, type));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << type;
        EXPECT_EQ(result, 2) << type;
        EXPECT_TRUE(header.bodyParameters().empty()) << type;
        EXPECT_EQ(std::string(header.body().Begin(), header.body().Length()), body) << type;
    }
}

TEST(KrXHeaderBody, HeadLinesWithoutColonAreReportedOncePerBody) {
    // Thousands of such lines, in both parts: one report, and both parts
    // still parse.
    std::string body = "--XyZ\r\nContent-Disposition: form-data; name=\"f\"\r\n";
    for (int i = 0; i < 5000; ++i)
        body += "no colon\r\n";
    body +=
        "\r\nabc\r\n--XyZ\r\nstray\nContent-Disposition: form-data; name=\"g\"\r\n\r\n"
        "def\r\n--XyZ--\r\n";
    KrXHeader header(KR_HTTP_POST, false, 3);
    testing::internal::CaptureStderr();
    const int result =
        ReadAndParse(header, MultipartRequest(body, "multipart/form-data; boundary=XyZ"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "oh oh ... problem...\n");
    EXPECT_EQ(result, 2);
    EXPECT_EQ(Param(header, "f"), "abc");
    EXPECT_EQ(Param(header, "g"), "def");
}

TEST(KrXHeaderBody, QueryBlocksAreIndexedAsBodyParametersToo) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    ASSERT_EQ(ReadAndParse(header, "GET /p?a=1 HTTP/1.1\r\n\r\n"), 2);
    EXPECT_TRUE(header.bodyParameters().has("a"));
    EXPECT_TRUE(header.queryParameters().has("a"));
}

TEST(KrXHeaderBody, ParametersSurviveManyBlocks) {
    // The name maps point at blocks; adding more must not move earlier ones.
    std::string body;
    for (int i = 0; i < 2000; ++i)
        body += "k" + std::to_string(i) + "=" + std::to_string(i) + "&";
    KrXHeader header(KR_HTTP_POST, false, 3);
    ASSERT_EQ(ReadAndParse(header, KrHttpSampleFormPost(body)), 2);
    EXPECT_EQ(Param(header, "k0"), "0");
    EXPECT_EQ(Param(header, "k1999"), "1999");
    EXPECT_EQ(header.blocksByIndex()["0"]->text(), "0");
}

TEST(KrXHeaderBody, SetRequestQueryForAnOutgoingGet) {
    KrXHeader header(KR_HTTP_GET, false, 3);
    header.setRequestQuery("/x?a=1&b&&c=d=e");
    EXPECT_EQ(header.query(), "?a=1&b&&c=d=e");
    EXPECT_EQ(header.direction(), 2);
    EXPECT_EQ(Param(header, "a"), "1");
    EXPECT_EQ(Param(header, "b"), "");
    EXPECT_EQ(header.parameters()["b"]->content, nullptr);
    EXPECT_EQ(header.blocks().size(), 2u);
    KrXHeader post(KR_HTTP_POST, false, 3);
    post.setRequestQuery("/x?a=1");
    EXPECT_EQ(post.query(), "");
    EXPECT_EQ(post.direction(), 0);
}

TEST(KrXHeaderBody, ParametersReadBeforeAndAfterBlocksAreMadeAgree) {
    std::string many = "a=early";
    for (int i = 0; i < 40; ++i)
        many += "&k" + std::to_string(i % 25) + "=" + std::to_string(i);
    many += "&a=late&=nameless&%61b+c=d%26e&flag";
    const std::string requests[] = {
        "GET /p?a=1&a=2&b=x%20y&=v&c HTTP/1.1\r\n\r\n",
        "GET /p?" + many + " HTTP/1.1\r\n\r\n",
        KrHttpSampleFormPost(many),
        "POST /p?a=query HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: 3\r\n\r\na=b",
    };
    const std::vector<std::string> names = {"a", "b", "c", "", "k0", "k24", "k25", "ab c", "flag"};
    for (const std::string& request : requests) {
        KrXHeader lazy(KR_HTTP_POST, false, 3);
        KrXHeader made(KR_HTTP_POST, false, 3);
        ASSERT_EQ(ReadAndParse(lazy, request), 2) << request;
        made.body().sputn(request.data(), static_cast<std::streamsize>(request.size()));
        ASSERT_EQ(made.read([](KrXHeader&) { return true; }), 2) << request;
        made.blocks();  // blocks made before the body is parsed
        ASSERT_EQ(made._parseBody(), 2) << request;
        std::vector<std::string> before;
        for (const std::string& name : names)
            before.push_back(Param(lazy, name));
        const size_t count = lazy.parameters().size();
        for (size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(Param(lazy, names[i]), before[i]) << names[i] << " in " << request;
            EXPECT_EQ(Param(made, names[i]), before[i]) << names[i] << " in " << request;
        }
        EXPECT_EQ(count, made.parameters().size()) << request;
        EXPECT_EQ(lazy.blocks().size(), made.blocks().size()) << request;
        EXPECT_EQ(lazy.queryParameters().size(), made.queryParameters().size()) << request;
        EXPECT_EQ(lazy.bodyParameters().size(), made.bodyParameters().size()) << request;
    }
}

TEST(KrXHeaderBody, ABodyInAFileIsLookedUpWhereItLiesAndParsesAsInMemory) {
    const TemporaryFolder folder;
    const std::string urlencoded = "application/x-www-form-urlencoded";
    const std::string boundary = "multipart/form-data; boundary=XyZ";
    struct Row {
        const char* what;
        std::string request;
        int lookup;         // what findFileBodyParameter gives for "quivoid"
        std::string value;  // and the value it finds
    };
    const Row rows[] = {
        {"pairs, the last counts", MultipartRequest("a=1&quivoid=x&b=2&quivoid=y+%7A", urlencoded),
         2, "y z"},
        {"pairs without it", MultipartRequest("a=1&quivoidx=2&xquivoid=3", urlencoded), 2,
         "<absent>"},
        {"an upload", KrHttpSamples()[2].bytes, 2, "42"},
        {"parts, the last counts",
         MultipartRequest("--XyZ\r\nContent-Disposition: form-data; name=\"quivoid\"\r\n\r\none\r\n"
                          "--XyZ\r\nContent-Disposition: form-data; name=\"quivoid\"\r\n\r\ntwo\r\n"
                          "--XyZ--\r\n",
                          boundary),
         2, "two"},
        {"malformed parts", MultipartRequest("quivoid=1 and no delimiter", boundary), 1,
         "<absent>"},
        {"parts without a boundary", MultipartRequest("--x--\r\n", "multipart/form-data"), 1,
         "<absent>"},
        {"another type", MultipartRequest("quivoid=1&quivoid=2", "application/json"), 2,
         "<absent>"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        KrXHeader inMemory(KR_HTTP_POST, false, 3);
        const int parsed = ReadAndParse(inMemory, row.request);
        KrXHeader filed(KR_HTTP_POST, false, 3);
        filed.keepBodyInFilePast(4);
        filed.body().sputn(row.request.data(), static_cast<std::streamsize>(row.request.size()));
        ASSERT_EQ(filed.read([](KrXHeader&) { return true; }), 2);
        ASSERT_NE(filed.bodyFile(), nullptr);
        std::string found = "<absent>";
        EXPECT_EQ(filed.findFileBodyParameter("quivoid", found), row.lookup);
        EXPECT_EQ(found, row.value);
        // Looking changed nothing: the body is still all in its file.
        ASSERT_NE(filed.bodyFile(), nullptr);
        EXPECT_EQ(filed.body().Length(), 0u);
        // Parsed, it is read back and gives what the body in memory gives.
        EXPECT_EQ(filed._parseBody(), parsed);
        EXPECT_EQ(filed.bodyFile(), nullptr);
        EXPECT_EQ(filed.refusalStatus(), inMemory.refusalStatus());
        EXPECT_EQ(Unread(filed.body()), Unread(inMemory.body()));
        if (parsed == 2) {
            EXPECT_EQ(Param(filed, "quivoid"), row.value);
        }
        EXPECT_EQ(filed.bodyParameters().size(), inMemory.bodyParameters().size());
        for (const auto& [name, block] : inMemory.bodyParameters())
            EXPECT_EQ(Param(filed, name), block->text()) << name;
    }
}
