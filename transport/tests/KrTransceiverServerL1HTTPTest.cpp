#include "transport/KrTransceiverServerL1HTTP.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <netinet/tcp.h>

#include "foundation/KrCombinedTask.h"
#include "foundation/tests/WaitFor.h"
#include "transport/KrSocketIPvx.h"
#include "transport/KrXResponseHeader.h"
#include "transport/tests/HttpTestServer.h"

using namespace httptest;

namespace {

const char kNotFoundBody[] =
    "<!DOCTYPE html>\n<html>\n<head>\n<title>Error 404 - not found</title>\n</head>\n"
    "<body><h1>Error 404 - not found</h1>The requested page was not found or the project was "
    "timed out.<br />\n<a href=\"/\">Startseite</a>\n</body>\n</html>";

std::string Get(const std::string& path, const std::string& extra = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n";
}

std::string StatusLine(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

// The status codes of the answers in `in`, in order; "cut" for bytes that
// make no whole answer.
std::vector<std::string> Statuses(const std::string& in) {
    std::vector<std::string> codes;
    size_t at = 0;
    while (at < in.size()) {
        const size_t headEnd = in.find("\r\n\r\n", at);
        const size_t end =
            headEnd == std::string::npos ? std::string::npos : AnswerEnd(in, at, headEnd);
        if (end == std::string::npos) {
            codes.push_back("cut");
            break;
        }
        codes.push_back(in.substr(at + 9, 3));
        at = end;
    }
    return codes;
}

// An application whose page context "boom" throws and "ok" answers 200.
class ThrowingApplication : public KrWebApplication {
  public:
    void DispatchToKontext(const std::string& id, KrXHeader&, KrXResponseHeader& response,
                           std::string) override {
        if (id == "boom")
            throw std::runtime_error("handler failed");
        response.setContent("fine");
    }
};

// A streamed answer that ends on the first turn after the peer's end of
// input: the server then flushes the connection's output and the stream
// queues its last bytes, as a large file's or a program's does.
class EndsAfterTheInput : public KrAnswerStream {
  public:
    explicit EndsAfterTheInput(std::function<void(bool)> finished) : _finished(std::move(finished)) {}
    void resume(KrTransceiverConnection& connection) override {
        if (!connection.record().inputEnded || !_finished)
            return;
        static const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nheld";
        size_t queued = 0;
        connection.queueOutput(kAnswer, sizeof kAnswer - 1, queued);
        std::function<void(bool)> finished;
        finished.swap(_finished);
        finished(false);
    }
    bool cancel() override { return true; }

  private:
    std::function<void(bool)> _finished;
};

// Answers "/held" later, through EndsAfterTheInput; everything else as the
// plain client does.
class HeldAnswerClient : public KrTransceiverClient {
  public:
    using KrTransceiverClient::KrTransceiverClient;
    ~HeldAnswerClient() override { _leaveRegistry(); }
    bool dispatch(const std::string& serverName, KrXHeader& request) override {
        KrTransceiver* owner = attachedTransceiver();
        if (request.path() != "/held" || !request.canAnswerLater() || owner == nullptr)
            return KrTransceiverClient::dispatch(serverName, request);
        std::shared_ptr<KrTransceiverConnection> connection =
            owner->findConnection(request.routeToken(0));
        request.answerLater([connection](std::function<void(bool)> finished) {
            connection->_beginAnswering(std::make_shared<EndsAfterTheInput>(std::move(finished)));
        });
        return true;
    }
};

// An answer whose end the test decides: it tells whether it was cancelled.
class HeldStream : public KrAnswerStream {
  public:
    void resume(KrTransceiverConnection&) override {}
    bool cancel() override {
        cancelled.store(true);
        return true;
    }
    std::atomic<bool> cancelled{false};
};

// Every request's connection is remembered; "/held" is answered later
// through a HeldStream the test ends (answerEnded), "/start-fails" by an
// answer whose start throws; everything else as the plain client does.
class RecordingClient : public KrTransceiverClient {
  public:
    using KrTransceiverClient::KrTransceiverClient;
    ~RecordingClient() override { _leaveRegistry(); }
    bool dispatch(const std::string& serverName, KrXHeader& request) override {
        KrTransceiver* owner = attachedTransceiver();
        std::shared_ptr<KrTransceiverConnection> connection =
            owner != nullptr ? owner->findConnection(request.routeToken(0)) : nullptr;
        {
            std::lock_guard<std::mutex> guard(lock);
            last = connection;
        }
        if (request.path() == "/start-fails" && request.canAnswerLater()) {
            request.answerLater([](std::function<void(bool)>) {
                throw std::runtime_error("the answer cannot start");
            });
            return true;
        }
        if (request.path() != "/held" || !request.canAnswerLater() || !connection)
            return KrTransceiverClient::dispatch(serverName, request);
        request.answerLater([this, connection](std::function<void(bool)> finished) {
            auto held = std::make_shared<HeldStream>();
            connection->_beginAnswering(held);
            std::lock_guard<std::mutex> guard(lock);
            stream = held;
            answerEnded = std::move(finished);
        });
        return true;
    }
    std::shared_ptr<KrTransceiverConnection> lastConnection() {
        std::lock_guard<std::mutex> guard(lock);
        return last;
    }
    std::mutex lock;
    std::shared_ptr<KrTransceiverConnection> last;
    std::shared_ptr<HeldStream> stream;
    std::function<void(bool)> answerEnded;
};

// Waits (up to the test's patience) for the connection to reach `phase`.
bool ReachesPhase(KrTransceiverConnection& connection, KrConnectionPhase phase) {
    return WaitFor([&] { return connection.phase() == phase; });
}

}  // namespace

TEST(KrTransceiverServerL1HTTP, EachPhaseTakesItsNewsAsTheTableSays) {
    // A connection is brought into a phase by real traffic, then news is
    // posted to it as the loops, housekeeping or an answer's maker would.
    // The post serves it on this thread (the turn is free): the phase it is
    // in right after, and whether it is still in the transceiver, follow.
    using Phase = KrConnectionPhase;
    using News = KrConnectionRecord::News;
    struct Row {
        // "reading", "answering", "closing" (an answer still being made),
        // "lingering"
        const char* start;
        uint32_t news;
        Phase then;
        bool cancelled;  // the held answer was cancelled
    };
    const Row rows[] = {
        {"reading", News::kBroken, Phase::kGone, false},
        {"reading", News::kIdle, Phase::kGone, false},
        {"reading", News::kCloseAsked, Phase::kLingering, false},
        {"reading", News::kInputEnded, Phase::kGone, false},
        {"answering", News::kBroken, Phase::kGone, true},
        // A program works on its answer and nothing waits to be read: not idle.
        {"answering", News::kIdle, Phase::kAnswering, false},
        {"answering", News::kInputEnded, Phase::kAnswering, false},
        {"answering", News::kCloseAsked, Phase::kClosing, false},
        {"answering", News::kAnswerEnded, Phase::kReading, false},
        {"answering", News::kDeadline, Phase::kAnswering, false},
        // No limit runs while the last answer is still being made.
        {"closing", News::kDeadline, Phase::kClosing, false},
        {"closing", News::kIdle, Phase::kClosing, false},
        {"closing", News::kAnswerEnded, Phase::kLingering, false},
        {"closing", News::kBroken, Phase::kGone, true},
        {"lingering", News::kInputEnded, Phase::kGone, false},
        {"lingering", News::kBroken, Phase::kGone, false},
    };
    for (const Row& row : rows) {
        const std::string start = row.start;
        const std::string what = start + " + news " + std::to_string(row.news);
        Server server({}, KR_PROTOCOL_HTTP, [](auto callback, const auto& options) {
            return std::make_shared<RecordingClient>(callback, options, nullptr);
        });
        const unsigned port = server.waitListening();
        auto& client = static_cast<RecordingClient&>(*server.client);
        const int fd = ConnectLoopback(port);
        if (start == "reading") {
            SendAll(fd, Get("/x"));
            Answers(fd, 1);
        } else if (start == "lingering") {
            SendAll(fd, Get("/x", "Connection: close\r\n"));
            Answers(fd, 1);
        } else {
            SendAll(fd, Get("/held", start == "closing" ? "Connection: close\r\n" : ""));
        }
        const Phase startPhase = start == "reading"     ? Phase::kReading
                                 : start == "answering" ? Phase::kAnswering
                                 : start == "closing"   ? Phase::kClosing
                                                        : Phase::kLingering;
        std::shared_ptr<KrTransceiverConnection> connection;
        WaitFor([&] {
            connection = client.lastConnection();
            return connection != nullptr;
        });
        ASSERT_TRUE(connection) << what;
        ASSERT_TRUE(ReachesPhase(*connection, startPhase)) << what;
        // The thread that served it lets go of its turn (this one takes it).
        ASSERT_TRUE(WaitFor([&] { return connection->record().turn.load() == 0; })) << what;
        // Its silence has lasted its time-out where the row asks about it.
        if (row.news == News::kIdle) {
            connection->deadline().restart(0);
            ASSERT_TRUE(WaitFor([&] { return connection->deadline().expired(); })) << what;
        }
        if (row.news == News::kAnswerEnded) {
            std::function<void(bool)> ended;
            {
                std::lock_guard<std::mutex> guard(client.lock);
                ended.swap(client.answerEnded);
            }
            ASSERT_TRUE(ended) << what;
            ended(false);
        } else {
            connection->_post(row.news);
        }
        EXPECT_TRUE(ReachesPhase(*connection, row.then))
            << what << ": " << KrConnectionPhaseName(connection->phase());
        const size_t inTransceiver = row.then == Phase::kGone ? 0 : 1;
        EXPECT_EQ(server.transceiver->connectionCount(), inTransceiver) << what;
        EXPECT_EQ(server.transceiver->socketCount(), inTransceiver) << what;
        {
            std::lock_guard<std::mutex> guard(client.lock);
            EXPECT_EQ(client.stream && client.stream->cancelled.load(), row.cancelled) << what;
            client.answerEnded = nullptr;
            client.last.reset();
        }
        ::close(fd);
    }
}

// Sends "/block" and "/queued" to the server's workers; "/block" waits
// there until released. Every request is then answered as the plain client
// does (here: the not-found page). The connection of "/queued" is kept.
class BlockingClient : public KrTransceiverClient {
  public:
    using KrTransceiverClient::KrTransceiverClient;
    ~BlockingClient() override { _leaveRegistry(); }
    bool answersInline(KrXHeader& request) override {
        if (request.path() == "/queued") {
            std::lock_guard<std::mutex> guard(lock);
            queued = attachedTransceiver()->findConnection(request.routeToken(0));
        }
        return request.path() != "/block" && request.path() != "/queued" &&
               KrTransceiverClient::answersInline(request);
    }
    bool dispatch(const std::string& serverName, KrXHeader& request) override {
        if (request.path() == "/block") {
            std::unique_lock<std::mutex> guard(lock);
            ++blocked;
            changed.notify_all();
            changed.wait(guard, [this] { return released; });
        }
        return KrTransceiverClient::dispatch(serverName, request);
    }
    std::mutex lock;
    std::condition_variable changed;
    int blocked = 0;
    bool released = false;
    std::shared_ptr<KrTransceiverConnection> queued;
};

TEST(KrTransceiverServerL1HTTP, ACloseAskedWhileARequestWaitsForAWorkerFollowsItsAnswer) {
    // Every worker is held by a request that waits; the next request is
    // handed over with its connection's turn and waits in the queue, and a
    // close is asked for its connection meanwhile. The request must still
    // be answered, and logged, before the connection closes.
    Server server({}, KR_PROTOCOL_HTTP, [](auto callback, const auto& options) {
        return std::make_shared<BlockingClient>(callback, options, nullptr);
    });
    const unsigned port = server.waitListening();
    auto& client = static_cast<BlockingClient&>(*server.client);
    // A server has at most eight workers: eight waiting requests hold all.
    const int holders = 8;
    std::vector<int> blocking;
    for (int i = 0; i < holders; ++i) {
        blocking.push_back(ConnectLoopback(port));
        SendAll(blocking.back(), Get("/block"));
    }
    // Each is in a worker or queued for one.
    const auto allHeld = [&] {
        std::lock_guard<std::mutex> guard(client.lock);
        return client.blocked > 0 && client.blocked + server.httpServer()->queuedSignals() ==
                                         static_cast<size_t>(holders);
    };
    ASSERT_TRUE(WaitFor(allHeld));
    const int fd = ConnectLoopback(port);
    SendAll(fd, Get("/queued"));
    std::shared_ptr<KrTransceiverConnection> connection;
    WaitFor([&] {
        std::lock_guard<std::mutex> guard(client.lock);
        connection = client.queued;
        return connection != nullptr;
    });
    ASSERT_TRUE(connection);
    ASSERT_TRUE(ReachesPhase(*connection, KrConnectionPhase::kAtWorker));
    connection->_post(KrConnectionRecord::kCloseAsked);
    {
        std::lock_guard<std::mutex> guard(client.lock);
        client.released = true;
    }
    client.changed.notify_all();
    bool closed = false;
    const std::string in = ReadToClose(fd, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(CountAnswers(in), 1u) << in;
    EXPECT_EQ(StatusLine(in), "HTTP/1.1 404 Not Found") << in;
    ASSERT_EQ(server.events.waitFor(KR_EVENT_ACCESS_LOG, holders + 1).type, KR_EVENT_ACCESS_LOG);
    size_t queuedLines = 0;
    for (const std::string& line : server.events.logLines())
        queuedLines += line.find("\"GET /queued\" --> 404 " + std::to_string(in.size()) + " ") !=
                       std::string::npos;
    EXPECT_EQ(queuedLines, 1u);
    ::close(fd);
    for (const int holder : blocking)
        ::close(holder);
}

TEST(KrTransceiverServerL1HTTP, AnAnswerThatFailsToStartIsAnswered500AndTheConnectionCloses) {
    Server server({}, KR_PROTOCOL_HTTP, [](auto callback, const auto& options) {
        return std::make_shared<RecordingClient>(callback, options, nullptr);
    });
    const int fd = ConnectLoopback(server.waitListening());
    SendAll(fd, Get("/start-fails") + Get("/behind"));
    ::shutdown(fd, SHUT_WR);
    bool closed = false;
    const std::string in = ReadToClose(fd, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(Statuses(in), (std::vector<std::string>{"500"})) << in;
    ::close(fd);
}

TEST(KrTransceiverServerL1HTTP, AnswersUnknownPathsWithTheNotFoundPage) {
    Server server;
    const unsigned port = server.waitListening();
    ASSERT_NE(port, 0u);
    const std::string out =
        Shell("curl -s -i http://127.0.0.1:" + std::to_string(port) + "/nothing");
    EXPECT_EQ(StatusLine(out), "HTTP/1.1 404 Not Found");
    const std::string body = out.substr(out.find("\r\n\r\n") + 4);
    EXPECT_EQ(body, kNotFoundBody);
    EXPECT_NE(out.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
              std::string::npos);
}

TEST(KrTransceiverServerL1HTTP, KeepsConnectionsOpenUnlessAskedOrHTTP10) {
    Server server;
    const unsigned port = server.waitListening();
    struct Case {
        std::string request;
        bool closes;
    };
    const Case cases[] = {
        {Get("/a"), false},
        {Get("/a", "Connection: close\r\n"), true},
        {"GET /a HTTP/1.0\r\n\r\n", true},
        {"GET /a HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", false},
    };
    for (const Case& c : cases) {
        const int fd = ConnectLoopback(port);
        SendAll(fd, c.request);
        bool closed = false;
        std::string in = Answers(fd, 1, &closed);
        EXPECT_EQ(CountAnswers(in), 1u) << c.request;
        if (c.closes) {
            ReadToClose(fd, &closed);
            EXPECT_TRUE(closed) << c.request;
            EXPECT_NE(in.find("Connection: close\r\n"), std::string::npos) << c.request;
        } else {
            // A second request on the same connection is answered too.
            SendAll(fd, c.request);
            in = Answers(fd, 1, &closed);
            EXPECT_EQ(CountAnswers(in), 1u) << c.request;
            EXPECT_FALSE(closed) << c.request;
        }
        ::close(fd);
    }
}

TEST(KrTransceiverServerL1HTTP, AnswersPipelinedRequestsInOrder) {
    Server server;
    const int fd = ConnectLoopback(server.waitListening());
    SendAll(fd, Get("/one") + Get("/two") + "HEAD /three HTTP/1.1\r\nHost: x\r\n\r\n");
    // Two pages, then the HEAD answer's head alone.
    const std::string in = ReadUntil(fd, [](const std::string& in) {
        const size_t third = in.find("HTTP/1.1", in.find("</html>HTTP/1.1") + 10);
        return third != std::string::npos && in.find("\r\n\r\n", third) != std::string::npos;
    });
    EXPECT_EQ(CountAnswers(in), 2u) << in;
    EXPECT_EQ(in.substr(in.size() - 4), "\r\n\r\n");
    ::close(fd);
    server.events.waitFor(KR_EVENT_ACCESS_LOG, 3);
    const auto lines = server.events.logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("\"GET /one\""), std::string::npos);
    EXPECT_NE(lines[1].find("\"GET /two\""), std::string::npos);
    EXPECT_NE(lines[2].find("\"HEAD /three\""), std::string::npos);
}

TEST(KrTransceiverServerL1HTTP, AnswersManyConnectionsAtOnceEachWhole) {
    // Answers of different connections are made and written side by side;
    // each must still arrive whole and on its own connection.
    Server server;
    const unsigned port = server.waitListening();
    constexpr int kConnections = 8;
    constexpr int kRequests = 40;
    std::vector<std::thread> clients;
    std::vector<int> whole(kConnections, 0);
    for (int c = 0; c < kConnections; ++c) {
        clients.emplace_back([&, c] {
            const int fd = ConnectLoopback(port);
            for (int i = 0; i < kRequests; ++i) {
                SendAll(fd, Get("/c" + std::to_string(c) + "-" + std::to_string(i)));
                const std::string in = Answers(fd, 1);
                const size_t end = in.find("\r\n\r\n");
                if (CountAnswers(in) == 1 && StatusLine(in) == "HTTP/1.1 404 Not Found" &&
                    end != std::string::npos && in.substr(end + 4) == kNotFoundBody)
                    ++whole[c];
            }
            ::close(fd);
        });
    }
    for (std::thread& client : clients)
        client.join();
    for (int c = 0; c < kConnections; ++c)
        EXPECT_EQ(whole[c], kRequests) << c;
    server.events.waitFor(7, kConnections * kRequests);
    const auto lines = server.events.logLines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kConnections * kRequests));
    for (int c = 0; c < kConnections; ++c) {
        // One connection's requests are logged in the order they were made.
        size_t next = 0;
        for (const std::string& line : lines) {
            if (line.find("\"GET /c" + std::to_string(c) + "-" + std::to_string(next) + "\"") !=
                std::string::npos)
                ++next;
        }
        EXPECT_EQ(next, static_cast<size_t>(kRequests)) << c;
    }
}

TEST(KrTransceiverServerL1HTTP, ForgetsWhatItKeptForAConnectionOnceItIsGone) {
    // Each connection's requests run under a task of the client's and an
    // unfinished request waits in the server; neither may outlive it.
    Server server;
    const unsigned port = server.waitListening();
    const size_t tasksBefore = KrCombinedTask::globalTaskCount();
    for (int i = 0; i < 10; ++i) {
        const int fd = ConnectLoopback(port);
        SendAll(fd, Get("/answered"));
        Answers(fd, 1);
        SendAll(fd, "GET /unfinished HTTP/1.1\r\nHost:");
        ::close(fd);
    }
    // Waited for, not timed: the removals reach the server as messages.
    auto settled = [&] {
        return KrCombinedTask::globalTaskCount() == tasksBefore &&
               server.transceiver->socketCount() == 0 && server.transceiver->connectionCount() == 0;
    };
    WaitFor(settled);
    EXPECT_EQ(KrCombinedTask::globalTaskCount(), tasksBefore);
    EXPECT_EQ(server.transceiver->socketCount(), 0u);
}

TEST(KrTransceiverServerL1HTTP, AnswersHeadWithTheHeadOnly) {
    Server server;
    const int fd = ConnectLoopback(server.waitListening());
    SendAll(fd, "HEAD /x HTTP/1.1\r\nHost: x\r\n\r\n" + Get("/y"));
    // The HEAD answer announces the page's length but carries no body, so
    // the GET's answer follows its head directly.
    const std::string in = Answers(fd, 1);
    const std::string rest = ReadUntil(fd, [&](const std::string& more) {
        return (in + more).find("</html>") != std::string::npos;
    });
    const std::string all = in + rest;
    const size_t second = all.find("HTTP/1.1 404", 10);
    ASSERT_NE(second, std::string::npos) << all;
    EXPECT_EQ(all.find("\r\n\r\n") + 4, second) << all;
    ::close(fd);
}

TEST(KrTransceiverServerL1HTTP, AnswersEveryRefusalAndGoesOnServing) {
    Server server;
    const unsigned port = server.waitListening();
    struct Case {
        std::string request;
        std::string status;
    };
    const Case cases[] = {
        {"garbage\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET /x HTTP/1.1\r\nHost: x\r\nContent-Length: 12x\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET /x HTTP/1.1\r\nHost: x\r\nX: " + std::string(9000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"POST /x HTTP/1.1\r\nHost: x\r\nContent-Length: 999999999999\r\n\r\n",
         "HTTP/1.1 413 Content Too Large"},
        {"BREW /x HTTP/1.1\r\n\r\n", "HTTP/1.1 501 Not Implemented"},
        {"POST /x HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 501 Not Implemented"},
    };
    for (const Case& c : cases) {
        const int fd = ConnectLoopback(port);
        SendAll(fd, c.request);
        bool closed = false;
        const std::string in = ReadToClose(fd, &closed);
        EXPECT_EQ(StatusLine(in), c.status) << c.request.substr(0, 40);
        EXPECT_TRUE(closed);
        ::close(fd);
        // The server still serves.
        const int next = ConnectLoopback(port);
        SendAll(next, Get("/after"));
        EXPECT_EQ(StatusLine(Answers(next, 1)), "HTTP/1.1 404 Not Found");
        ::close(next);
    }
}

TEST(KrTransceiverServerL1HTTP, AnswersAFailingHandlerWith500AndCloses) {
    ThrowingApplication application;
    Server server({}, 3, [&](auto callback, const auto& options) {
        return std::make_shared<KrTransceiverClient>(callback, options, &application);
    });
    const unsigned port = server.waitListening();
    const int fd = ConnectLoopback(port);
    SendAll(fd, Get("/p?quivoid=boom"));
    bool closed = false;
    const std::string in = ReadToClose(fd, &closed);
    EXPECT_EQ(StatusLine(in), "HTTP/1.1 500 Internal Error");
    EXPECT_NE(in.find("Connection: close"), std::string::npos);
    EXPECT_TRUE(closed);
    ::close(fd);
    const int next = ConnectLoopback(port);
    SendAll(next, Get("/p?quivoid=ok"));
    const std::string ok = Answers(next, 1);
    EXPECT_EQ(StatusLine(ok), "HTTP/1.1 200 OK");
    EXPECT_EQ(ok.substr(ok.size() - 4), "fine");
    ::close(next);
}

TEST(KrTransceiverServerL1HTTP, CutsOffAHeadThatTakesTooLong) {
    Server server;
    const unsigned port = server.waitListening();
    server.httpServer()->setHeadTimeLimit(200000);
    const int fd = ConnectLoopback(port);
    SendAll(fd, "GET /slow HTTP/1.1\r\nHo");
    bool closed = false;
    const std::string in = ReadToClose(fd, &closed);
    EXPECT_EQ(StatusLine(in), "HTTP/1.1 408 Request Timeout");
    EXPECT_TRUE(closed);
    ::close(fd);
}

TEST(KrTransceiverServerL1HTTP, SendsContinueBeforeTheBody) {
    Server server;
    const int fd = ConnectLoopback(server.waitListening());
    SendAll(fd, "POST /up HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n");
    const std::string first = Answers(fd, 1);
    EXPECT_EQ(first, "HTTP/1.1 100 Continue\r\n\r\n");
    SendAll(fd, "hello");
    EXPECT_EQ(StatusLine(Answers(fd, 1)), "HTTP/1.1 404 Not Found");
    ::close(fd);
    // curl sends its body at once when the continue arrives.
    const std::string out = Shell(
        "curl -s -o /dev/null -w '%{http_code}' -H 'Expect: 100-continue' "
        "--data-binary 'x=1' http://127.0.0.1:" +
        std::to_string(server.waitListening()) + "/post");
    EXPECT_EQ(out, "404");
}

TEST(KrTransceiverServerL1HTTP, LogsOneLinePerAnswerWithRequestTextEscaped) {
    Server server;
    const int fd = ConnectLoopback(server.waitListening());
    SendAll(fd, Get("/a", "Referer: http://r/\r\nUser-Agent: x\"]\\y\r\n"));
    Answers(fd, 1);
    SendAll(fd, Get("/b"));
    Answers(fd, 1);
    ::close(fd);
    server.events.waitFor(7, 2);
    const auto lines = server.events.logLines();
    ASSERT_EQ(lines.size(), 2u);
    const std::regex first(
        R"((::ffff:)?127\.0\.0\.1 - http - \[[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\] "GET /a" --> 404 \d+ "http://r/" "x\\x22\]\\x5cy")");
    EXPECT_TRUE(std::regex_match(lines[0], first)) << lines[0];
    EXPECT_NE(lines[1].find("\"GET /b\" --> 404 "), std::string::npos) << lines[1];
    EXPECT_EQ(lines[1].substr(lines[1].size() - 8), " \"-\" \"-\"") << lines[1];
}

TEST(KrTransceiverServerL1HTTP, ReportsATakenPortAndStopsWithoutWaitingForTheRetry) {
    KrSocketIPvx holder;
    unsigned int port = 0;
    ASSERT_EQ(holder.BindDualStack(port, 4), 0);
    auto server = std::make_unique<Server>(std::map<std::string, std::string>{}, 3,
                                           Server::ClientMaker{}, std::to_string(port));
    const KrServerCallback_t failed = server->events.waitFor(3);
    ASSERT_EQ(failed.type, KR_EVENT_BIND_FAILED);
    EXPECT_EQ(failed.values.at("port"), std::to_string(port));
    EXPECT_EQ(failed.values.at("address"), "127.0.0.1");
    EXPECT_EQ(failed.values.at("protocolstring"), "http");
    EXPECT_EQ(failed.values.at("ID"), server->header->attachedServer()->id());
    // Stopping ends the 30 s wait at once (the test would otherwise take it).
    server.reset();
}

TEST(KrTransceiverServerL1HTTP, EscapesControlBytesAndQuotesInTheAccessLog) {
    EXPECT_EQ(KrTransceiverServerL1HTTP::accessLogLine("1.2.3.4", "http", "T", "GET /\n", 200, 5,
                                                       "-", "a\\b\"c\x7f"),
              "1.2.3.4 - http - [T] \"GET /\\x0a\" --> 200 5 \"-\" \"a\\x5cb\\x22c\\x7f\"");
}

TEST(KrTransceiverServerL1HTTP, AnswersWhatCameBeforeThePeersEndOfInput) {
    // A peer that shuts its sending side after its requests (as `nc -N`
    // does) gets every complete one answered, then the connection closes.
    Server server;
    const unsigned port = server.waitListening();
    struct Case {
        std::string sent;
        size_t answers;
    };
    const Case cases[] = {
        {Get("/one"), 1},
        {Get("/one") + Get("/two") + Get("/three"), 3},
        {Get("/one") + "GET /never-complete HTTP/1.1\r\nHo", 1},
        {"POST /x HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nshort", 0},
    };
    for (const Case& c : cases) {
        const int fd = ConnectLoopback(port);
        SendAll(fd, c.sent);
        ::shutdown(fd, SHUT_WR);
        bool closed = false;
        const std::string in = ReadToClose(fd, &closed);
        EXPECT_TRUE(closed) << c.sent;
        EXPECT_EQ(CountAnswers(in), c.answers) << c.sent;
        ::close(fd);
    }
}

TEST(KrTransceiverServerL1HTTP, AnswersWhatCameBehindAnAnswerThatEndsAsTheInputEnds) {
    // The requests behind an answer made later wait unread; that answer
    // ends while the server takes the peer's end of input. Those requests
    // are still answered before the connection closes.
    Server server({}, KR_PROTOCOL_HTTP, [](auto callback, const auto& options) {
        return std::make_shared<HeldAnswerClient>(callback, options, nullptr);
    });
    const unsigned port = server.waitListening();
    const int fd = ConnectLoopback(port);
    // The receive loop takes the end of input on its turn after the bytes,
    // so the requests have been read by then.
    SendAll(fd, Get("/held") + Get("/one") + Get("/two"));
    ::shutdown(fd, SHUT_WR);
    bool closed = false;
    const std::string in = ReadToClose(fd, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(Statuses(in), (std::vector<std::string>{"200", "404", "404"})) << in;
    ::close(fd);
}

TEST(KrTransceiverServerL1HTTP, GivesARequestBodyTimeThatGrowsWithItsBytes) {
    Server server;
    const unsigned port = server.waitListening();
    server.httpServer()->setBodyTimeLimit(400000);
    struct Case {
        size_t pieces;
        size_t pieceSize;
        int pauseMs;
        std::string status;
    };
    const Case cases[] = {
        // One byte now and then: past the limit, with no bytes to extend it.
        {20, 1, 100, "HTTP/1.1 408 Request Timeout"},
        // Longer than the limit in all, but each KiB buys a second more.
        {8, 1024, 100, "HTTP/1.1 404 Not Found"},
    };
    for (const Case& c : cases) {
        const int fd = ConnectLoopback(port);
        SendAll(fd, "POST /up HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(c.pieces * c.pieceSize) +
                        "\r\n\r\n");
        // Sending stops once an answer is there: writing to a closed
        // connection would reset it and lose the answer.
        bool answered = false;
        for (size_t i = 0; i < c.pieces && !answered; ++i) {
            pollfd early{fd, POLLIN, 0};
            answered = ::poll(&early, 1, c.pauseMs) > 0;
            if (!answered)
                SendAll(fd, std::string(c.pieceSize, 'b'));
        }
        const std::string in = Answers(fd, 1);
        EXPECT_EQ(StatusLine(in), c.status) << c.pieces << "x" << c.pieceSize;
        ::close(fd);
    }
}

TEST(KrTransceiverServerL1HTTP, ListensWithTheSystemsLongestQueue) {
    // A burst of connections waits in the kernel's queue instead of being
    // refused or retried a second later.
    Server server;
    const unsigned port = server.waitListening();
    const std::string listed = Shell("ss -ltnH 'sport = :" + std::to_string(port) + "'");
    std::istringstream fields(listed);
    std::string state, received, backlog;
    fields >> state >> received >> backlog;
    EXPECT_EQ(backlog, std::to_string(SOMAXCONN)) << listed;
    // Every one of a burst is accepted and answered.
    constexpr int kBurst = 300;
    std::vector<int> fds;
    for (int i = 0; i < kBurst; ++i)
        fds.push_back(ConnectLoopback(port));
    for (const int fd : fds)
        SendAll(fd, Get("/burst"));
    int answered = 0;
    for (const int fd : fds) {
        answered += StatusLine(Answers(fd, 1)) == "HTTP/1.1 404 Not Found" ? 1 : 0;
        ::close(fd);
    }
    EXPECT_EQ(answered, kBurst);
}

TEST(KrTransceiverServerL1HTTP, FramingDecidesTheAnswersAndWhereEachRequestEnds) {
    // Bytes as a client or a front end sends them, and the statuses of the
    // answers they get, in order, until the server closes. A request that
    // two HTTP readers could take apart differently is refused with 400, so
    // that no other boundary between requests is seen here than there.
    char pattern[] = "/tmp/quivo-framing-XXXXXX";
    const std::string root = ::mkdtemp(pattern);
    std::ofstream(root + "/a.txt") << "alpha";
    {
        Server server({{"_baseDirectoryHTTP", root}});
        const unsigned port = server.waitListening();
        ASSERT_NE(port, 0u);
        // Short, so that a body that never comes is answered 408 soon.
        server.httpServer()->setBodyTimeLimit(300000);
        const std::string last = Get("/a.txt", "Connection: close\r\n");
        const std::string post = "POST /a.txt HTTP/1.1\r\nHost: x\r\n";
        struct Row {
            const char* name;
            std::string bytes;
            std::vector<std::string> statuses;
        };
        const Row rows[] = {
            {"two requests", Get("/a.txt") + last, {"200", "200"}},
            {"close in capitals ends the connection",
             Get("/a.txt", "Connection: Close\r\n") + Get("/a.txt"), {"200"}},
            {"continue expected by HTTP/1.1",
             post + "Content-Length: 5\r\nExpect: 100-continue\r\n\r\n", {"100", "408"}},
            {"continue expected by HTTP/1.0",
             "POST /a.txt HTTP/1.0\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n", {"408"}},
            {"HTTP/1.1 without Host", "GET /a.txt HTTP/1.1\r\n\r\n" + last, {"400"}},
            {"HTTP/1.2 without Host", "GET /a.txt HTTP/1.2\r\n\r\n" + last, {"400"}},
            {"HTTP/1.0 without Host",
             "GET /a.txt HTTP/1.0\r\nConnection: keep-alive\r\n\r\n" + last, {"200", "200"}},
            {"empty Host", "GET /a.txt HTTP/1.1\r\nHost:\r\n\r\n" + last, {"200", "200"}},
            {"two Host fields", Get("/a.txt", "Host: y\r\n") + last, {"400"}},
            {"absolute-form target",
             "GET http://127.0.0.1:" + std::to_string(port) + "/a.txt HTTP/1.1\r\nHost: x\r\n\r\n" +
                 last,
             {"200", "200"}},
            {"another HTTP version", "GET /a.txt HTTP/2.0\r\n\r\n" + last, {"505"}},
            {"unknown method", "BREW /a.txt HTTP/1.1\r\nHost: x\r\n\r\n" + last, {"501"}},
            {"bare LF ends the request line", "GET /a.txt HTTP/1.1\nHost: x\r\n\r\n" + last,
             {"400"}},
            {"bare LF hides a length",
             post + "X: y\nContent-Length: " + std::to_string(last.size()) + "\r\n\r\n" + last,
             {"400"}},
            {"bare LF ends the head", post + "X: y\n\n" + last, {"400"}},
            {"blank before the colon", post + "Content-Length : 5\r\n\r\n" + last, {"400"}},
            {"empty Content-Length", post + "Content-Length:\r\n\r\n" + last, {"400"}},
            {"control byte in a name",
             post + "Transfer-Encoding\x01: chunked\r\n\r\n0\r\n\r\n" + last, {"400"}},
            {"parentheses in a name", Get("/a.txt", "X(Y): 1\r\n") + last, {"400"}},
            {"at sign in a name", Get("/a.txt", "X@Y: 1\r\n") + last, {"400"}},
            {"line without a colon", post + "Content-Length 5\r\n\r\nhello" + last, {"400"}},
            {"control byte in a value", Get("/a.txt", "X: a\x01" "b\r\n") + last, {"400"}},
            {"DEL in a value", Get("/a.txt", "X: a\x7f\r\n") + last, {"400"}},
            {"tab and bytes above 0x7f in a value", Get("/a.txt", "X: a\tb \xe9\r\n") + last,
             {"200", "200"}},
        };
        for (const Row& row : rows) {
            // Whole, then one byte per send: the reader must find the same.
            for (const bool byteWise : {false, true}) {
                const int fd = ConnectLoopback(port);
                const int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                if (byteWise) {
                    for (char c : row.bytes) {
                        if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1)
                            break;  // refused and closed before the end
                    }
                } else {
                    SendAll(fd, row.bytes);
                }
                bool closed = false;
                const std::string in = ReadToClose(fd, &closed);
                EXPECT_EQ(Statuses(in), row.statuses) << row.name << (byteWise ? " byte-wise" : "");
                EXPECT_TRUE(closed) << row.name;
                ::close(fd);
            }
        }
    }
    Shell("rm -rf '" + root + "'");
}

TEST(KrTransceiverServerL1HTTP, RunsAndReadsNothingBehindARequestThatAsksToClose) {
    // A program's answer to a request that asks to close, with a request
    // sent right behind it: that one is not run, and the program's answer
    // arrives whole before the close.
    char pattern[] = "/tmp/quivo-close-XXXXXX";
    const std::string root = ::mkdtemp(pattern);
    std::ofstream(root + "/a.txt") << "alpha";
    std::ofstream(root + "/page.php") << "<?php echo 'php:' . file_get_contents('php://input'); ?>";
    {
        Server server({{"_baseDirectoryHTTP", root}});
        const unsigned port = server.waitListening();
        ASSERT_NE(port, 0u);
        const std::string first =
            "POST /page.php HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Type: "
            "application/x-www-form-urlencoded\r\nContent-Length: 5\r\n\r\nhello";
        const std::string second = Get("/a.txt");
        constexpr int kTries = 30;
        for (int i = 0; i < kTries; ++i) {
            const int fd = ConnectLoopback(port);
            // In one piece, or the second request a moment later, when the
            // first may already be running (or answered).
            if (i % 2 == 0) {
                SendAll(fd, first + second);
            } else {
                SendAll(fd, first);
                std::this_thread::sleep_for(std::chrono::milliseconds(i % 4 == 1 ? 1 : 20));
                SendAll(fd, second);
            }
            bool closed = false;
            const std::string in = ReadToClose(fd, &closed);
            EXPECT_TRUE(closed) << "try " << i;
            ASSERT_EQ(Statuses(in), std::vector<std::string>{"200"}) << "try " << i << ": " << in;
            EXPECT_EQ(DecodedBody(in), "php:hello") << "try " << i;
            ::close(fd);
        }
        server.events.waitFor(KR_EVENT_ACCESS_LOG, kTries);
        const auto lines = server.events.logLines();
        EXPECT_EQ(lines.size(), static_cast<size_t>(kTries));
        for (const std::string& line : lines)
            EXPECT_EQ(line.find("GET /a.txt"), std::string::npos) << line;
    }
    Shell("rm -rf '" + root + "'");
}

TEST(KrTransceiverServerL1HTTP, DeliversALargeAnswerWholeBeforeItCloses) {
    // The answer to a request that asks to close is larger than the socket
    // buffers take at once, and the client sends more behind its request
    // before it reads: the close waits for the whole answer, and what came
    // behind does not reset the connection (which would destroy the rest of
    // the answer on its way).
    char pattern[] = "/tmp/quivo-large-XXXXXX";
    const std::string root = ::mkdtemp(pattern);
    std::string content(3 * 1024 * 1024, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
    std::ofstream(root + "/big.bin", std::ios::binary) << content;
    {
        Server server({{"_baseDirectoryHTTP", root}});
        const unsigned port = server.waitListening();
        ASSERT_NE(port, 0u);
        for (int i = 0; i < 3; ++i) {
            const int fd = ConnectLoopback(port);
            SendAll(fd, Get("/big.bin", "Connection: close\r\n"));
            // Sent once the answer has filled the buffers between the two.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            SendAll(fd, Get("/big.bin"));
            bool closed = false;
            const std::string in = ReadToClose(fd, &closed);
            EXPECT_TRUE(closed);
            ASSERT_EQ(Statuses(in), std::vector<std::string>{"200"}) << "try " << i;
            EXPECT_TRUE(DecodedBody(in) == content) << "try " << i;
            ::close(fd);
        }
    }
    Shell("rm -rf '" + root + "'");
}

TEST(KrTransceiverServerL1HTTP, LogsRefererAndUserAgentAsSent) {
    // Also for a request refused once its head was read.
    Server server;
    const unsigned port = server.waitListening();
    const std::string fields =
        "Referer: http://r/a b\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n";
    struct Row {
        std::string request;
        std::string status;
    };
    const Row rows[] = {
        {Get("/a", fields), "404"},
        {"BREW /a HTTP/1.1\r\nHost: x\r\n" + fields + "\r\n", "501"},
        {"POST /a HTTP/1.1\r\nHost: x\r\n" + fields + "Transfer-Encoding: chunked\r\n\r\n", "501"},
        {"GET /a HTTP/1.1\r\n" + fields + "\r\n", "400"},
    };
    const std::string tail = " \"http://r/a b\" \"Mozilla/5.0 (X11; Linux x86_64)\"";
    size_t n = 0;
    for (const Row& row : rows) {
        const int fd = ConnectLoopback(port);
        SendAll(fd, row.request);
        Answers(fd, 1);
        ::close(fd);
        const std::string line = server.events.waitFor(KR_EVENT_ACCESS_LOG, ++n).values["logging"];
        EXPECT_NE(line.find("\" --> " + row.status + " "), std::string::npos) << line;
        ASSERT_GE(line.size(), tail.size());
        EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
    }
}

namespace {

// Answers every request with its path; requests under "/w" count as the
// application's, so a listener hands them to its workers, while the others
// are answered on the thread that read them.
class PathClient : public KrTransceiverClient {
  public:
    using KrTransceiverClient::KrTransceiverClient;
    ~PathClient() override { _leaveRegistry(); }
    bool answersInline(KrXHeader& request) override { return request.path().rfind("/w", 0) != 0; }
    bool dispatch(const std::string&, KrXHeader& request) override {
        std::shared_ptr<KrXResponseHeader> answer(request.makeResponse());
        answer->setContent(request.path());
        _send(answer, request.taskName());
        return true;
    }
};

// The bodies of the whole answers in `in`, in order.
std::vector<std::string> Bodies(const std::string& in) {
    std::vector<std::string> bodies;
    ForEachAnswer(in, [&](size_t headEnd, size_t end) {
        bodies.push_back(in.substr(headEnd + 4, end - headEnd - 4));
    });
    return bodies;
}

}  // namespace

TEST(KrTransceiverServerL1HTTP, HandsConnectionsBetweenTheReceiveLoopAndTheWorkersUnderLoad) {
    // Pipelined requests of many connections, some answered where they are
    // read and some handed to a worker and back: every answer arrives once
    // and in the order of its request, whichever thread made it.
    Server server({}, KR_PROTOCOL_HTTP, [](auto callback, const auto& options) {
        return std::make_shared<PathClient>(callback, options, nullptr);
    });
    const unsigned port = server.waitListening();
    constexpr int kConnections = 12;
    constexpr int kRounds = 25;
    std::vector<std::thread> clients;
    std::vector<std::string> faults(kConnections);
    for (int c = 0; c < kConnections; ++c) {
        clients.emplace_back([&, c] {
            const int fd = ConnectLoopback(port);
            unsigned pick = static_cast<unsigned>(c) * 2654435761u + 1;
            for (int round = 0; round < kRounds && faults[c].empty(); ++round) {
                // One to eight requests in one write, a different mix each time.
                const int count = 1 + round % 8;
                std::string batch;
                std::vector<std::string> expected;
                for (int i = 0; i < count; ++i) {
                    pick = pick * 1103515245u + 12345u;
                    const char* kind = (pick >> 16) % 3 == 0 ? "/i" : "/w";
                    expected.push_back(kind + std::to_string(c) + "-" + std::to_string(round) +
                                       "-" + std::to_string(i));
                    batch += Get(expected.back());
                }
                SendAll(fd, batch);
                const std::string in = Answers(fd, expected.size());
                if (Bodies(in) != expected)
                    faults[c] = "round " + std::to_string(round) + ": " + in;
            }
            ::close(fd);
        });
    }
    for (std::thread& client : clients)
        client.join();
    for (int c = 0; c < kConnections; ++c)
        EXPECT_EQ(faults[c], "") << c;
}
