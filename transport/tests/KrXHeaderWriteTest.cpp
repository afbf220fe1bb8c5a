#include "transport/KrXHeader.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "transport/KrXResponseHeader.h"
#include "transport/tests/BufferText.h"

namespace {

std::unique_ptr<KrXHeader> Request(const std::string& bytes) {
    auto request = std::make_unique<KrXHeader>(KR_HTTP_POST, false, KR_PROTOCOL_HTTP);
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

TEST(KrXHeaderWrite, RedirectCarriesLocationButCannotAddHeaderLines) {
    const std::pair<std::string, std::string> rows[] = {
        {"/start", "/start"},
        {"/a\r\nSet-Cookie: x=1", "/aSet-Cookie: x=1"},
    };
    for (const auto& [target, location] : rows) {
        KrXHeader answer(KR_HTTP_ANSWER, false, 3);
        answer.redirect(target);
        EXPECT_EQ(Head(answer), "HTTP/1.1 303 Redirect\r\n" + kServer +
                                    "Content-Length: 0\r\nLocation: " + location + "\r\n\r\n");
    }
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

TEST(KrXHeaderWrite, ProgramHeadsBecomeTheAnswerHead) {
    // The head after the "Server" line, and the body sent behind it.
    struct Row {
        const char* name;
        std::string output;
        std::string statusLine;
        std::string head;
        std::string body;
        const char* method = "GET";
    };
    const std::string bad = "HTTP/1.1 502 Server Error";
    const std::string none = "Content-Length: 0\r\n\r\n";
    const Row rows[] = {
        {"CRLF", "Content-type: text/html\r\n\r\n<p>x</p>", "HTTP/1.1 200 OK",
         "Content-Length: 8\r\nContent-type: text/html\r\n\r\n", "<p>x</p>"},
        {"LF only", "Content-type: text/html\nX-Powered-By: PHP\n\n<p>x</p>", "HTTP/1.1 200 OK",
         "Content-Length: 8\r\nContent-type: text/html\r\nX-Powered-By: PHP\r\n\r\n", "<p>x</p>"},
        {"own reason", "Status: 404 Gone Away\r\nContent-type: text/html\r\n\r\nnone",
         "HTTP/1.1 404 Gone Away", "Content-Length: 4\r\nContent-type: text/html\r\n\r\n", "none"},
        {"code outside the server's table", "Status: 418\r\n\r\ntea", "HTTP/1.1 418 I'm a teapot",
         "Content-Length: 3\r\n\r\n", "tea"},
        {"partial content", "Status: 206\r\nContent-Range: bytes 0-1/9\r\n\r\nab",
         "HTTP/1.1 206 Partial Content", "Content-Length: 2\r\nContent-Range: bytes 0-1/9\r\n\r\n",
         "ab"},
        {"unknown code", "Status: 599\r\n\r\n", "HTTP/1.1 599 ", none, ""},
        {"location alone", "Location: /next\r\n\r\n", "HTTP/1.1 302 Found",
         "Content-Length: 0\r\nLocation: /next\r\n\r\n", ""},
        {"one location for a 303", "Status: 303 See Other\r\nLocation: /a\r\nLocation: /b\r\n\r\n",
         "HTTP/1.1 303 See Other", "Content-Length: 0\r\nLocation: /a\r\n\r\n", ""},
        {"temporary redirect", "Status: 307\nLocation: /t\n\n", "HTTP/1.1 307 Temporary Redirect",
         "Content-Length: 0\r\nLocation: /t\r\n\r\n", ""},
        // The length a program announced is never rewritten, even when its
        // output came short (the connection then closes early).
        {"own length kept, other framing dropped",
         "Content-Length: 999\r\nTransfer-Encoding: chunked\r\nConnection: keep-alive\r\nX: "
         "y\r\n\r\nab",
         "HTTP/1.1 200 OK", "Content-Length: 999\r\nX: y\r\n\r\n", "ab"},
        {"own length to HEAD", "Content-Length: 5\r\n\r\n", "HTTP/1.1 200 OK",
         "Content-Length: 5\r\n\r\n", "", "HEAD"},
        {"two lengths that differ", "Content-Length: 5\r\nContent-Length: 6\r\n\r\nabcd",
         "HTTP/1.1 200 OK", "Content-Length: 4\r\n\r\n", "abcd"},
        {"not modified", "Status: 304\r\nETag: \"e\"\r\n\r\nstale", "HTTP/1.1 304 Not Modified",
         "ETag: \"e\"\r\n\r\n", ""},
        {"no content", "Status: 204\r\n\r\n", "HTTP/1.1 204 No Content", "\r\n", ""},
        // An interim answer cannot pass through CGI: the client would take
        // it for the final one.
        {"continue", "Status: 100\r\n\r\nx", bad, none, ""},
        {"switching protocols", "Status: 101\r\nUpgrade: x\r\n\r\n", bad, none, ""},
        {"early hints", "Status: 103 Early Hints\r\nLink: </a.css>\r\n\r\n", bad, none, ""},
        {"last interim code", "Status: 199\r\n\r\n", bad, none, ""},
        {"first final code", "Status: 200\r\n\r\nok", "HTTP/1.1 200 OK",
         "Content-Length: 2\r\n\r\n", "ok"},
        {"HEAD", "Content-type: text/html\r\n\r\n", "HTTP/1.1 200 OK",
         "Content-type: text/html\r\n\r\n", "", "HEAD"},
        {"nothing", "", bad, none, ""},
        {"no head end", "Content-type: text/html\r\n<p>x</p>", bad, none, ""},
        {"body without head", "<p>x</p>\r\n\r\nmore", bad, none, ""},
        {"bare CR in a field", "Location: /x\rSet-Cookie: injected=1\r\n\r\n", bad, none, ""},
        {"NUL in a field", std::string("X: a\0b\r\n\r\n", 10), bad, none, ""},
        {"folded field", "X: a\r\n b\r\n\r\n", bad, none, ""},
        {"status above 599", "Status: 600\r\n\r\n", bad, none, ""},
        {"status below 100", "Status: 099\r\n\r\n", bad, none, ""},
        {"status not a number", "Status: OK\r\n\r\n", bad, none, ""},
    };
    for (const Row& row : rows) {
        auto request = Request(std::string(row.method) + " /s HTTP/1.1\r\n\r\n");
        std::unique_ptr<KrXHeader> answer(request->makeResponse());
        answer->setContent(row.output);
        answer->setLiftCGIHead();
        EXPECT_EQ(Head(*answer), row.statusLine + "\r\n" + kServer + row.head) << row.name;
        EXPECT_EQ(Unread(*answer->takeBody()), row.body) << row.name;
        // The access log reads the status that went out.
        EXPECT_EQ(std::to_string(answer->status()), row.statusLine.substr(9, 3)) << row.name;
    }
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

TEST(KrXHeaderWrite, AKeptFilesHeadIsWrittenAsItsAnswerObjectsHead) {
    // The head written straight to the connection for a kept file and the
    // head of an answer made with makeResponse come from one writer: both
    // must say what the request asked for (its version does not carry over,
    // its wish to close or keep the connection does).
    struct Case {
        std::string request;
        std::string type;
        std::string head;
        std::string logLine;
    };
    const std::string start = "HTTP/1.1 200 OK\r\nServer: brinolt/1.28.1(96)\r\nContent-Length: 5\r\n";
    const Case cases[] = {
        {"GET /a.txt HTTP/1.1\r\nHost: a\r\n\r\n", "text/plain; charset=utf-8",
         start + "Content-Type: text/plain; charset=utf-8\r\n\r\n", "GET /a.txt"},
        {"HEAD /a.txt HTTP/1.1\r\nHost: a\r\n\r\n", "text/plain",
         start + "Content-Type: text/plain\r\n\r\n", "HEAD /a.txt"},
        {"GET /a HTTP/1.1\r\nConnection: close\r\n\r\n", "", start + "Connection: close\r\n\r\n",
         "GET /a"},
        {"GET /a?x=1 HTTP/1.0\r\n\r\n", "text/html",
         start + "Content-Type: text/html\r\nConnection: close\r\n\r\n", "GET /a?x=1"},
        {"GET /a HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", "image/png",
         start + "Content-Type: image/png\r\nConnection: keep-alive\r\n\r\n", "GET /a"},
        {"GET /a HTTP/1.1\r\n\r\n", "text/x\r\nSet-Cookie: y",
         start + "Content-Type: text/xSet-Cookie: y\r\n\r\n", "GET /a"},
    };
    for (const Case& c : cases) {
        auto request = Request(c.request);
        std::unique_ptr<KrXHeader> answer(request->makeResponse());
        answer->setStatus(200);
        answer->body().sputn("hello", 5);
        answer->contentType() = c.type;
        answer->setState(KR_JOB_READY);
        std::string direct;
        request->appendAnswerHead(direct, c.type, 5);
        EXPECT_EQ(direct, c.head) << c.request;
        EXPECT_EQ(Head(*answer), c.head) << c.request;
        EXPECT_EQ(request->logRequestLine(), answer->requestLine()) << c.request;
        EXPECT_EQ(request->logRequestLine(), c.logLine) << c.request;
    }
}
