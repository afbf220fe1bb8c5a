#include "transport/KrXHeader.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "transport/KrXResponseHeader.h"

namespace {

std::string Unread(KrStringBuf& buffer) {
    std::string out;
    buffer.CopyOut(out, 0, buffer.Length());
    return out;
}

std::unique_ptr<KrXHeader> Request(const std::string& bytes) {
    auto request = std::make_unique<KrXHeader>(KR_HTTP_POST, false, 3);
    request->body().sputn(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    request->read([](KrXHeader&) { return true; });
    return request;
}

std::string Head(KrXHeader& header) {
    std::ostringstream out;
    EXPECT_TRUE(header.write(out));
    return out.str();
}

const std::string kServer = "Server: brinolt/1.28.1(96)\r\n";

}  // namespace

TEST(KrXHeaderWrite, AnswerToGet) {
    auto request = Request("GET /index.html HTTP/1.1\r\nHost: a\r\n\r\n");
    std::unique_ptr<KrXHeader> answer(request->makeResponse());
    answer->setContent("hello");
    EXPECT_EQ(Head(*answer), "HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 5\r\n\r\n");
    EXPECT_EQ(Unread(answer->body()), "hello");
    EXPECT_EQ(answer->bodyLength(), 5);
    EXPECT_FALSE(answer->isAnswerReady());
}

TEST(KrXHeaderWrite, NotReadyWritesNothing) {
    KrXHeader answer(KR_HTTP_ANSWER, false, 3);
    std::ostringstream out;
    EXPECT_FALSE(answer.write(out));
    EXPECT_EQ(out.str(), "");
    answer.setState(5);
    EXPECT_FALSE(answer.write(out));
    KrXHeader open(KR_HTTP_ANSWER, true, 3);
    open.setState(5);
    EXPECT_TRUE(open.write(out));
}

TEST(KrXHeaderWrite, RedirectCarriesLocation) {
    KrXHeader answer(KR_HTTP_ANSWER, false, 3);
    answer.redirect("/start");
    EXPECT_EQ(Head(answer), "HTTP/1.1 303 Redirect\r\n" + kServer +
                                "Content-Length: 0\r\nLocation: /start\r\n\r\n");
}

TEST(KrXHeaderWrite, FileAnswerUsesTheFileLength) {
    KrXHeader answer(KR_HTTP_ANSWER, false, 3);
    answer.setContent("ignored");
    answer.setFileBody("/tmp/x", 1234);
    EXPECT_EQ(Head(answer), "HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 1234\r\n\r\n");
}

TEST(KrXHeaderWrite, UnansweredRequestGives500) {
    auto request = Request("GET / HTTP/1.1\r\n\r\n");
    std::unique_ptr<KrXHeader> answer(request->makeResponse());
    answer->setState(6);
    EXPECT_EQ(Head(*answer),
              "HTTP/1.1 500 Internal Error\r\n" + kServer + "Content-Length: 0\r\n\r\n");
}

TEST(KrXHeaderWrite, CGIHeadIsLiftedIntoTheAnswerHead) {
    struct Row {
        const char* name;
        std::string output;
        std::string head;  // after the Content-Length line
        std::string body;
        unsigned long status;
    };
    const Row rows[] = {
        {"CRLF", "Content-type: text/html\r\n\r\n<p>x</p>",
         "Content-Length: 8\r\nContent-type: text/html\r\n\r\n", "<p>x</p>", 200},
        {"LF only", "Content-type: text/html\nX-Powered-By: PHP\n\n<p>x</p>",
         "Content-Length: 8\r\nContent-type: text/html\r\nX-Powered-By: PHP\r\n\r\n", "<p>x</p>",
         200},
        {"no head end", "Content-type: text/html\r\n<p>x</p>", "Content-Length: 33\r\n\r\n",
         "Content-type: text/html\r\n<p>x</p>", 200},
        {"no head at all", "<p>x</p>\r\n\r\nmore", "Content-Length: 16\r\n\r\n",
         "<p>x</p>\r\n\r\nmore", 200},
        {"status", "Status: 404 Not Found\r\nContent-type: text/html\r\n\r\nnone",
         "Content-Length: 4\r\nContent-type: text/html\r\n\r\n", "none", 404},
        {"location", "Location: /next\r\n\r\n", "Content-Length: 0\r\nLocation: /next\r\n\r\n", "",
         302},
        {"framing dropped",
         "Content-Length: 999\r\nTransfer-Encoding: chunked\r\nConnection: keep-alive\r\nX: "
         "y\r\n\r\nab",
         "Content-Length: 2\r\nX: y\r\n\r\n", "ab", 200},
    };
    for (const Row& row : rows) {
        KrXHeader answer(KR_HTTP_ANSWER, false, 3);
        answer.setContent(row.output);
        answer.setLiftCGIHead();
        const std::string head = Head(answer);
        const std::string status =
            std::to_string(row.status) + " " + KrHttpStatusTexts().at(row.status);
        EXPECT_EQ(head, "HTTP/1.1 " + status + "\r\n" + kServer + row.head) << row.name;
        EXPECT_EQ(Unread(answer.body()), row.body) << row.name;
    }
}

TEST(KrXHeaderWrite, LiftingFromAnEmptyAnswerStillEndsTheHead) {
    KrXHeader answer(KR_HTTP_ANSWER, false, 3);
    answer.setStatus(200);
    answer.setState(6);
    answer.setLiftCGIHead();
    EXPECT_EQ(Head(answer), "HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 0\r\n\r\n");
}

TEST(KrXHeaderWrite, RedirectTargetCannotAddHeaderLines) {
    KrXHeader answer(KR_HTTP_ANSWER, false, 3);
    answer.redirect("/a\r\nSet-Cookie: x=1");
    EXPECT_EQ(Head(answer), "HTTP/1.1 303 Redirect\r\n" + kServer +
                                "Content-Length: 0\r\nLocation: /aSet-Cookie: x=1\r\n\r\n");
}

TEST(KrXHeaderWrite, HeadRequestGetsTheHeadOnly) {
    auto request = Request("HEAD /index.html HTTP/1.1\r\n\r\n");
    std::unique_ptr<KrXHeader> answer(request->makeResponse());
    answer->setContent("hello");
    answer->setFileBody("", 5);
    EXPECT_EQ(Head(*answer), "HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 5\r\n\r\n");
    EXPECT_EQ(answer->takeBody()->Length(), 0u);
    EXPECT_TRUE(answer->fileBody().empty());
}

TEST(KrXHeaderWrite, RefusalClosesTheConnection) {
    auto request = Request("PUT /x HTTP/1.1\r\n\r\n");
    ASSERT_EQ(request->refusalStatus(), 501u);
    std::unique_ptr<KrXHeader> answer(request->makeRefusal());
    EXPECT_EQ(Head(*answer), "HTTP/1.1 501 Not Implemented\r\n" + kServer +
                                 "Content-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(answer->requestLine(), "PUT /x");
}

TEST(KrXHeaderWrite, MakeResponseCopiesRequestDetails) {
    auto request = Request("GET /a/b HTTP/1.1\r\nReferer: r\r\nConnection: close\r\n\r\n");
    request->addRoute("conn");
    request->addRoute("server");
    std::unique_ptr<KrXHeader> answer(request->makeResponse());
    EXPECT_EQ(answer->direction(), 1);
    EXPECT_EQ(answer->method(), KR_HTTP_ANSWER);
    EXPECT_EQ(answer->path(), "/a/b");
    EXPECT_EQ(answer->requestLine(), "GET /a/b");
    EXPECT_EQ(answer->requestHeader("referer").at(0), "r");
    EXPECT_EQ(answer->route(), (std::vector<std::string>{"server", "conn"}));
    EXPECT_EQ(answer->creationTimeText(), request->creationTimeText());
    EXPECT_TRUE(answer->closeAfter());
    EXPECT_EQ(answer->status(), 500u);

    KrXHeader oneToken(KR_HTTP_POST, false, 3);
    oneToken.header(":first:").push_back("GET");
    std::unique_ptr<KrXHeader> dash(oneToken.makeResponse());
    EXPECT_EQ(dash->requestLine(), "-");
}

TEST(KrXHeaderWrite, Requests) {
    KrXHeader get(KR_HTTP_GET, false, 3);
    get.path() = "/x";
    get.query() = "?a=1";
    get.host() = "h";
    get.setState(6);
    EXPECT_EQ(Head(get),
              "GET /x?a=1 HTTP/1.1\r\nHost: h\r\nUser-Agent: brinolt/1.28.1(96)\r\n\r\n");

    KrXHeader post(KR_HTTP_POST, false, 3);
    post.path() = "/p";
    post.host() = "h";
    post.setState(6);
    EXPECT_EQ(Head(post),
              "POST /p HTTP/1.1\r\nHost: h\r\nUser-Agent: brinolt/1.28.1(96)\r\nContent-Length: "
              "0\r\n\r\n");

    KrXHeader none(KR_HTTP_NONE, false, 3);
    none.setState(6);
    std::ostringstream out;
    EXPECT_FALSE(none.write(out));
    EXPECT_EQ(out.str(), "");
}
