#include "transport/KrXHeader.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "transport/KrXRequestHeader.h"
#include "transport/KrXResponseHeader.h"
#include "transport/KrXServerHeader.h"
#include "transport/tests/BufferText.h"

TEST(KrXHeader, StartsUnansweredWithStatus500) {
    KrXHeader header(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    EXPECT_EQ(header.status(), 500u);
    EXPECT_TRUE(header.hasStatus());
    EXPECT_FALSE(header.isAnswerReady());
    EXPECT_EQ(header.direction(), KR_DIRECTION_NONE);
    EXPECT_EQ(header.method(), KR_HTTP_GET);
    EXPECT_EQ(header.version(), "1.1");
    header.setState(KR_JOB_READY);
    EXPECT_TRUE(header.isAnswerReady());
}

TEST(KrXHeader, StoresOnlyStatusCodesOfTheTable) {
    KrXHeader header(KR_HTTP_ANSWER, false, KR_PROTOCOL_HTTP);
    header.setStatus(201);
    EXPECT_EQ(header.status(), 201u);
    header.setStatus(299);
    EXPECT_EQ(header.status(), 201u);
    header.setStatus(99);
    EXPECT_EQ(header.status(), 201u);
    header.setStatus(431);
    EXPECT_EQ(header.status(), 431u);
}

TEST(KrXHeader, StatusTableKeepsTheServersOwnTextsAndAddsTheRefusals) {
    const auto& texts = KrHttpStatusTexts();
    EXPECT_EQ(texts.at(303), "Redirect");
    EXPECT_EQ(texts.at(500), "Internal Error");
    EXPECT_EQ(texts.at(502), "Server Error");
    EXPECT_EQ(texts.at(417), "Expectation Failed");
    for (unsigned long code :
         {301ul, 302ul, 304ul, 400ul, 403ul, 405ul, 411ul, 413ul, 431ul, 501ul, 503ul, 504ul}) {
        EXPECT_EQ(texts.count(code), 1u) << code;
    }
    EXPECT_EQ(KrHttpMethods().at("GET"), KR_HTTP_GET);
    EXPECT_EQ(KrHttpMethods().at("HEAD"), KR_HTTP_HEAD);
}

TEST(KrXHeader, RouteTokenOutOfRangeIsEmpty) {
    KrXHeader header(KR_HTTP_POST, false, KR_PROTOCOL_HTTP);
    header.addRoute("connection");
    header.addRoute("server");
    EXPECT_EQ(header.routeToken(0), "connection");
    EXPECT_EQ(header.routeToken(1), "server");
    EXPECT_EQ(header.routeToken(5), "");
}

TEST(KrXHeader, AReadRouteIsItsOwnWhateverTheRequestBeforeLeftBehind) {
    // A finished request's route and task name serve the next request read
    // on the same thread; each must read as set, never as the one before.
    const std::string longName(300, 'l');
    const struct {
        std::string connection, server, task;
    } rows[] = {
        {"KrTransceiverConnection*0000001000000000042", "KrServer*0000002000000000042", "task-a"},
        {"c", "s", ""},
        {longName, "KrServer*0000002000000000042", longName},
        {"KrTransceiverConnection*0000003000000000042", "s2", "receive_KrTransceiverClient*1"},
        {"c3", "KrServer*0000004000000000042", "t"},
    };
    for (int round = 0; round < 2; ++round) {
        for (const auto& row : rows) {
            auto header = std::make_unique<KrXHeader>(KR_HTTP_POST, false, 3);
            header->setReadRoute(row.connection, row.server, row.task);
            EXPECT_EQ(header->route(), (std::vector<std::string>{row.connection, row.server}))
                << row.connection;
            EXPECT_EQ(header->taskName(), row.task) << row.connection;
            // A message given its route hop by hop keeps just those hops.
            KrXHeader answer(KR_HTTP_ANSWER, false, 3);
            answer.addRoute("only");
            EXPECT_EQ(answer.route(), std::vector<std::string>{"only"});
            EXPECT_EQ(answer.taskName(), "");
        }
    }
}

TEST(KrXHeader, UrlTextAndSchemeName) {
    KrXHeader header(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    EXPECT_EQ(header.urlText(), "");
    header.host() = "localhost";
    EXPECT_EQ(header.urlText(), "http://localhost:0");
    KrXHeader other(KR_HTTP_GET, false, 8);  // a number no protocol has
    other.host() = "h";
    EXPECT_EQ(other.schemeName(), "unknown");
    EXPECT_EQ(other.urlText(), "unknown://h:0");
    KrXHeader quivo(KR_HTTP_GET, false, KR_PROTOCOL_QUIVO);
    EXPECT_EQ(quivo.schemeName(), "quivo");
}

TEST(KrXHeader, DirectoryAndFileNameOfPath) {
    struct Row {
        const char* path;
        const char* directory;
        const char* file;
    };
    const Row rows[] = {
        {"/a/b/c.html", "a/b", "c.html"},
        {"/index.html", "", "index.html"},
        {"", "", ""},
        {"noslash", "", ""},
        {"//a//b/", "a//b", ""},
    };
    for (const Row& row : rows) {
        KrXHeader header(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
        header.path() = row.path;
        EXPECT_EQ(header.directoryOfPath(), row.directory) << row.path;
        EXPECT_EQ(header.fileNameOfPath(), row.file) << row.path;
    }
}

TEST(KrXHeader, SetContentAppendsAndCompletesTheAnswer) {
    KrXHeader header(KR_HTTP_ANSWER, false, KR_PROTOCOL_HTTP);
    header.setContent("hel");
    header.setContent("lo");
    EXPECT_EQ(Unread(header.body()), "hello");
    EXPECT_EQ(header.status(), 200u);
    EXPECT_EQ(header.state(), KR_JOB_READY);
    std::unique_ptr<KrStringBuf> taken = header.takeBody();
    EXPECT_EQ(Unread(*taken), "hello");
    EXPECT_EQ(header.takeBody()->Length(), 0u);
}

TEST(KrXHeader, RequestHeaderRefusesOpenContent) {
    try {
        KrXRequestHeader header(KR_HTTP_GET, true, KR_PROTOCOL_HTTP);
        FAIL() << "no throw";
    } catch (const char* text) {
        EXPECT_STREQ(text, "_opencontent not yet implemented");
    }
    KrXRequestHeader request(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    EXPECT_EQ(request.state(), KR_JOB_REQUEST_MADE);
    EXPECT_EQ(request.status(), 200u);
}

TEST(KrXHeader, ServerHeaderParameters) {
    KrXServerHeader header(1, KR_PROTOCOL_HTTP);
    EXPECT_EQ(header.serverId(), 1);
    EXPECT_EQ(header.parameterOr("tcp_port", "2098"), "2098");
    header.setParameter("tcp_port", "8000");
    header.setParameter("tcp_port", "8001");
    EXPECT_EQ(header.parameterOr("tcp_port", "2098"), "8001");
    EXPECT_FALSE(header.attachedServer());
    header.callAttached();  // nothing attached: nothing happens
}

TEST(KrXHeader, GetParameterOfBlockWithoutContentIsEmpty) {
    KrXHeader header(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    KrHTTPMessageBlock& block = header.blocks().emplace_back("flag");
    header.parameters()["flag"] = &block;
    std::string out = "unchanged";
    EXPECT_FALSE(header.getParameter("absent", out));
    EXPECT_EQ(out, "unchanged");
    EXPECT_TRUE(header.getParameter("flag", out));
    EXPECT_EQ(out, "");
}
