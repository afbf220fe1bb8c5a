#include "transport/KrTransceiver.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/KrException.h"
#include "foundation/KrGavetaScheduler2.h"
#include "transport/KrTransceiverClient.h"
#include "transport/KrXHeader.h"
#include "transport/KrXServerHeader.h"
#include "transport/tests/TransportHarness.h"

namespace {

using harness::RawServer;

// A transceiver with one raw-bytes server behind a loopback listener.
// Members go in reverse: listener, transceiver (which stops the server's
// job), server, scheduler.
struct Rig {
    explicit Rig(RawServer::Handler handler,
                 long connectionTimeout = KrTransceiverConnection::kDefaultTimeout) {
        transceiver = std::make_unique<KrTransceiver>(&scheduler);
        server = std::make_shared<RawServer>(&scheduler, transceiver.get(), std::move(handler));
        transceiver->registerServer(server);
        listener = std::make_unique<harness::LoopbackListener>(*transceiver, server->id(),
                                                               connectionTimeout);
    }
    ~Rig() {
        listener.reset();
        transceiver.reset();
    }
    int connect() { return harness::connectLoopback(listener->port()); }

    KrGavetaScheduler2 scheduler;
    std::shared_ptr<RawServer> server;
    std::unique_ptr<KrTransceiver> transceiver;
    std::unique_ptr<harness::LoopbackListener> listener;
};

void echo(KrTransceiver&, KrTransceiverConnection& connection, const std::string& bytes) {
    harness::queue(connection, bytes);
}

// "big" asks for `size` bytes of a counting pattern; anything else is echoed.
std::string pattern(size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>('a' + i % 26);
    return out;
}

RawServer::Handler bigOrEcho(size_t size) {
    auto big = std::make_shared<const std::string>(pattern(size));
    return [big](KrTransceiver&, KrTransceiverConnection& connection, const std::string& bytes) {
        harness::queue(connection, bytes == "big" ? *big : bytes);
    };
}

TEST(KrTransceiverTest, BytesSentInThreeSegmentsArriveInOrder) {
    Rig rig(echo);
    const int fd = rig.connect();
    ASSERT_GE(fd, 0);
    std::string expected;
    for (const std::string segment : {"first-", "second-", "third"}) {
        ASSERT_TRUE(SendAll(fd, segment));
        expected += segment;
    }
    EXPECT_EQ(expected, harness::receiveExactly(fd, expected.size()));
    // And one segment at a time, each answered before the next goes.
    for (const std::string segment : {"a", "bb", "ccc"}) {
        ASSERT_TRUE(SendAll(fd, segment));
        EXPECT_EQ(segment, harness::receiveExactly(fd, segment.size()));
    }
    ::close(fd);
}

TEST(KrTransceiverTest, PeerClosingMidAnswerEndsOnlyThatConnection) {
    Rig rig(bigOrEcho(16u << 20));
    const int quitter = rig.connect();
    ASSERT_TRUE(SendAll(quitter, "big"));
    EXPECT_EQ(pattern(1000), harness::receiveExactly(quitter, 1000));
    linger reset{1, 0};
    setsockopt(quitter, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(quitter);
    // The process is still here (no SIGPIPE) and serves the next peer.
    const int next = rig.connect();
    ASSERT_TRUE(SendAll(next, "still alive"));
    EXPECT_EQ("still alive", harness::receiveExactly(next, 11));
    ::close(next);
}

TEST(KrTransceiverTest, ThousandConnectionsOpenAtOnceAreAllServed) {
    // Client and server ends together pass descriptor 1024, which the loops
    // must handle like any other.
    if (harness::raiseDescriptorLimit() < 2200)
        GTEST_SKIP() << "descriptor limit below 2200";
    Rig rig(echo);
    std::vector<int> clients;
    for (int i = 0; i < 1000; ++i) {
        clients.push_back(rig.connect());
        ASSERT_GE(clients.back(), 0) << "connection " << i;
    }
    for (size_t i = 0; i < clients.size(); ++i)
        ASSERT_TRUE(SendAll(clients[i], "#" + std::to_string(i) + ";"));
    size_t served = 0;
    for (size_t i = 0; i < clients.size(); ++i) {
        const std::string expected = "#" + std::to_string(i) + ";";
        served += harness::receiveExactly(clients[i], expected.size()) == expected;
        ::close(clients[i]);
    }
    EXPECT_EQ(1000u, served);
}

TEST(KrTransceiverTest, ClientThatNeverReadsDoesNotDelayAnother) {
    Rig rig(bigOrEcho(16u << 20));
    const int stuck = rig.connect();
    ASSERT_TRUE(SendAll(stuck, "big"));
    // `stuck` never reads: its socket fills and its output waits in the
    // connection. Another peer's answers still leave.
    const int other = rig.connect();
    for (int round = 0; round < 20; ++round) {
        const std::string text = "ping" + std::to_string(round);
        ASSERT_TRUE(SendAll(other, text));
        ASSERT_EQ(text, harness::receiveExactly(other, text.size()));
    }
    ::close(other);
    ::close(stuck);
}

TEST(KrTransceiverTest, CloseAfterAnswerDeliversTheWholeAnswerEveryTime) {
    const std::string answer = pattern(300000);
    Rig rig([&](KrTransceiver&, KrTransceiverConnection& connection, const std::string&) {
        harness::queue(connection, answer);
        connection.requestClose();
    });
    for (int round = 0; round < 200; ++round) {
        const int fd = rig.connect();
        ASSERT_TRUE(SendAll(fd, "request"));
        bool closed = false;
        const std::string got = harness::receiveToEnd(fd, closed);
        ::close(fd);
        ASSERT_TRUE(closed) << "round " << round;
        ASSERT_EQ(answer.size(), got.size()) << "round " << round;
        ASSERT_TRUE(got == answer) << "round " << round;
    }
    // Each goes once the peer has ended its side too.
    EXPECT_TRUE(rig.server->waitGone(200));
    EXPECT_EQ(0u, rig.transceiver->socketCount());
}

TEST(KrTransceiverTest, StoppingWithLiveConnectionsClosesThemAndReturns) {
    std::vector<int> clients;
    {
        Rig rig(bigOrEcho(4u << 20));
        for (int i = 0; i < 50; ++i)
            clients.push_back(rig.connect());
        // Some with an answer half written, some idle.
        for (int i = 0; i < 50; i += 2)
            ASSERT_TRUE(SendAll(clients[static_cast<size_t>(i)], i % 4 ? "hi" : "big"));
        for (int i = 2; i < 50; i += 4)
            EXPECT_EQ("hi", harness::receiveExactly(clients[static_cast<size_t>(i)], 2));
    }
    // Every peer sees its connection end once the transceiver is gone.
    for (const int fd : clients) {
        bool closed = false;
        harness::receiveToEnd(fd, closed);
        EXPECT_TRUE(closed);
        ::close(fd);
    }
}

TEST(KrTransceiverTest, HousekeepingRemovesASilentConnectionAfterItsTimeout) {
    Rig rig(echo, 200000);
    const int fd = rig.connect();
    ASSERT_TRUE(SendAll(fd, "once"));
    EXPECT_EQ("once", harness::receiveExactly(fd, 4));
    // Silent from now on: the connection is dropped and the peer sees EOF.
    bool closed = false;
    harness::receiveToEnd(fd, closed);
    EXPECT_TRUE(closed);
    ::close(fd);
    EXPECT_EQ(0u, rig.transceiver->connectionCount());
}

TEST(KrTransceiverTest, AddingASocketWithoutConnectionThrowsAndEntersNothing) {
    KrGavetaScheduler2 scheduler;
    KrTransceiver transceiver(&scheduler);
    auto socket = std::make_shared<KrSocketIPvx>();
    try {
        transceiver._addTCPSocket(socket, nullptr);
        FAIL() << "no exception";
    } catch (const KrException& error) {
        EXPECT_STREQ("socket and connection must be defined", error.what());
    }
    EXPECT_EQ(0u, transceiver.socketCount());
}

TEST(KrTransceiverTest, ClientsRegisterOnceAndUnknownOnesDropQuietly) {
    KrGavetaScheduler2 scheduler;
    KrTransceiver transceiver(&scheduler);
    auto client = std::make_shared<KrTransceiverClient>(
        nullptr, std::map<std::string, std::string>{}, nullptr);
    EXPECT_EQ(client, transceiver.addClient(client));
    EXPECT_EQ(&transceiver, client->attachedTransceiver());
    EXPECT_EQ(nullptr, transceiver.addClient(client));
    EXPECT_EQ(client, transceiver.findClient(client->id()));

    auto stranger = std::make_shared<KrTransceiverClient>(
        nullptr, std::map<std::string, std::string>{}, nullptr);
    transceiver.dropClient(stranger);
    EXPECT_EQ(client, transceiver.findClient(client->id()));
    transceiver.dropClient(client);
    EXPECT_EQ(nullptr, transceiver.findClient(client->id()));
    EXPECT_EQ(nullptr, client->attachedTransceiver());
}

TEST(KrTransceiverTest, ListenerOfUnknownKindGetsNoServer) {
    KrGavetaScheduler2 scheduler;
    KrTransceiver transceiver(&scheduler);
    int events = 0;
    auto client =
        std::make_shared<KrTransceiverClient>([&](KrServerCallback_t&) { return ++events > 0; },
                                              std::map<std::string, std::string>{}, nullptr);
    transceiver.addClient(client);
    auto header = std::make_shared<KrXServerHeader>(1, 4);
    testing::internal::CaptureStdout();
    EXPECT_EQ(header->id(), client->openServer(header));
    EXPECT_EQ("unknown protocol!! (3)\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, events);
    EXPECT_EQ(0u, transceiver.serverCount());
}

TEST(KrTransceiverTest, LogLinesPrintedFromManyThreadsStayWhole) {
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 300; ++i) {
                KrServerCallback_t record;
                record.type = 7;
                record.values["logging"] = "thread " + std::to_string(t) + " line " +
                                           std::to_string(i) + std::string(40, 'x');
                KrTransceiver::printLogging(record);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    std::istringstream out(testing::internal::GetCapturedStdout());
    std::set<std::string> seen;
    for (std::string line; std::getline(out, line);)
        seen.insert(line);
    ASSERT_EQ(seen.size(), 1800u);
    for (int t = 0; t < 6; ++t) {
        for (int i = 0; i < 300; ++i) {
            const std::string line =
                "thread " + std::to_string(t) + " line " + std::to_string(i) + std::string(40, 'x');
            EXPECT_EQ(seen.count(line), 1u) << line;
        }
    }
}

// Counts the answers the transceiver hands over.
class AnswerSink : public RawServer {
  public:
    using RawServer::RawServer;
    bool _sendResponse(std::string connection, KrXHeader* message) override {
        sentTo.push_back(connection);
        leaveTask(message->taskName());
        return true;
    }
    std::vector<std::string> sentTo;
};

TEST(KrTransceiverTest, AnswersGoToTheirConnectionOrNowhere) {
    KrGavetaScheduler2 scheduler;
    KrTransceiver transceiver(&scheduler);
    auto server = std::make_shared<AnswerSink>(&scheduler, &transceiver, echo);
    transceiver.registerServer(server);
    auto client = std::make_shared<KrTransceiverClient>(
        nullptr, std::map<std::string, std::string>{}, nullptr);
    transceiver.addClient(client);
    auto socket = std::make_shared<KrSocketIPvx>();
    auto connection = std::make_shared<KrTransceiverConnection>(
        &transceiver, server->id(), "", KrServerCallback_t{},
        [](KrTransceiver& owner, KrTransceiverConnection* self) {
            owner.closeConnection(self->id());
        });
    transceiver._addTCPSocket(socket, connection);

    auto answer = std::make_shared<KrXHeader>(KR_HTTP_ANSWER, false, KR_PROTOCOL_HTTP);
    answer->setDirection(1);
    answer->addRoute(server->id());
    answer->addRoute(connection->id());
    EXPECT_EQ(answer->id(), transceiver.send(*client, answer, nullptr, "task"));
    EXPECT_EQ(std::vector<std::string>{connection->id()}, server->sentTo);
    EXPECT_EQ("task", answer->taskName());

    transceiver._removeTCPSocket(connection->id());
    EXPECT_EQ(answer->id(), transceiver.send(*client, answer, nullptr, "task"));
    EXPECT_EQ(1u, server->sentTo.size());

    auto stranger = std::make_shared<KrTransceiverClient>(
        nullptr, std::map<std::string, std::string>{}, nullptr);
    EXPECT_EQ(KrJob::commonErrorTask(), transceiver.send(*stranger, answer, nullptr, "task"));
    EXPECT_EQ(KrJob::commonErrorTask(), transceiver.send(*client, nullptr, nullptr, "task"));
}

TEST(KrTransceiverTest, KnownServerTypesAreExactlyTheFour) {
    const std::vector<std::pair<std::string, bool>> rows = {
        {"HTTP", true},  {"HTTPS", true}, {"DirectSocket", true}, {"QUIVO", true},
        {"http", false}, {"", false},     {"none", false},
    };
    for (const auto& [type, known] : rows)
        EXPECT_EQ(known, KrTransceiver::isKnownServerType({{"type", type}})) << type;
    EXPECT_FALSE(KrTransceiver::isKnownServerType({}));
}

}  // namespace

namespace {

// A server with no work of its own, in either role.
class Carrier : public KrTransceiverServer {
  public:
    Carrier(KrGavetaScheduler2* scheduler, KrTransceiver* owner, const std::string& supervisor,
            bool listen)
        : KrTransceiverServer(scheduler, owner, "client", "key", supervisor,
                              [](KrServerCallback_t&) { return true; }) {
        listening = listen;
    }
    ~Carrier() override { _shutdown(nullptr); }
};

TEST(KrTransceiverTest, RemovalTellsOwnerServerAndLeavesTheConnectionsTask) {
    KrGavetaScheduler2 scheduler;
    KrTransceiver transceiver(&scheduler);
    harness::Inbox owner, server, taskOwner;
    auto connection = std::make_shared<KrTransceiverConnection>(
        &transceiver, server.id(), owner.id(), KrServerCallback_t{},
        [](KrTransceiver& t, KrTransceiverConnection* self) { t.closeConnection(self->id()); });
    auto socket = std::make_shared<KrSocketIPvx>();
    EXPECT_EQ(connection->id(), transceiver._addTCPSocket(socket, connection));
    // Entering the same connection again changes nothing.
    EXPECT_EQ(connection->id(), transceiver._addTCPSocket(socket, connection));
    EXPECT_EQ(1u, transceiver.socketCount());

    const std::string task = taskOwner.createJoinedTask("request");
    ASSERT_TRUE(connection->joinTask(task));
    transceiver._removeTCPSocket(connection->id());
    EXPECT_EQ(0u, transceiver.socketCount());
    EXPECT_EQ(0u, transceiver.connectionCount());
    for (harness::Inbox* receiver : {&owner, &server}) {
        const std::vector<KrJobMessage> got = receiver->waitFor(2);
        EXPECT_EQ(connection->id(), got.back().a);
    }
    // The connection is still held here, yet no longer in the request's task:
    // its owner is left alone in it and hears so.
    EXPECT_EQ(6, taskOwner.waitFor(6).back().kind);
}

TEST(KrTransceiverTest, FinishedServerTaskGoesToTheSupervisorWithItsName) {
    KrGavetaScheduler2 scheduler;
    KrTransceiver transceiver(&scheduler);
    harness::Inbox supervisor;
    auto carrier = std::make_shared<Carrier>(&scheduler, &transceiver, supervisor.id(), false);
    transceiver.registerServer(carrier);
    const std::string task = supervisor.createJoinedTask("outgoing");
    ASSERT_TRUE(carrier->joinTask(task));
    transceiver._finishServerTask(carrier->id());
    const KrJobMessage finished = supervisor.waitFor(5).back();
    EXPECT_EQ(carrier->id(), finished.a);
    EXPECT_EQ(task, finished.values.at("ctask"));
    EXPECT_EQ("", carrier->getJoinedTask());
}

TEST(KrTransceiverTest, ClientLeavesOnlyTheTaskAFinishedMessageNames) {
    KrTransceiverClient client(nullptr, {}, nullptr);
    harness::Inbox owner;
    const std::string task = owner.createJoinedTask("send");
    ASSERT_TRUE(client.joinTask(task));
    EXPECT_TRUE(client.onMessage(KrJobMessage("service", 6, "")));
    EXPECT_EQ(task, client.getJoinedTask());
    KrJobMessage finished("service", 6, "");
    finished.values["ctask"] = task;
    EXPECT_TRUE(client.onMessage(finished));
    EXPECT_EQ(6, owner.waitFor(6).back().kind);
}

}  // namespace

namespace {

TEST(KrTransceiverTest, DroppingAClientRecordStopsTheServersOfItsListeners) {
    KrGavetaScheduler2 scheduler;
    auto server = std::make_shared<KrTransceiverServer>(
        &scheduler, nullptr, "client", "key", "boss", [](KrServerCallback_t&) { return true; });
    auto withServer = std::make_shared<KrXServerHeader>(1, KR_PROTOCOL_HTTP);
    withServer->setAttachedServer(server);
    auto without = std::make_shared<KrXServerHeader>(1, KR_PROTOCOL_HTTP);
    testing::internal::CaptureStdout();
    {
        KrTransceiverClientRecord record;
        record.listeners[withServer->id()] = withServer;
        record.listeners[without->id()] = without;
    }
    EXPECT_EQ("KrTransceiverServer::stop()\n", testing::internal::GetCapturedStdout());
}

}  // namespace

namespace {

TEST(KrTransceiverTest, HousekeepingDropsATimedOutCarrierAndTellsItsSupervisor) {
    KrGavetaScheduler2 scheduler;
    KrTransceiver transceiver(&scheduler);
    harness::Inbox supervisor;
    auto carrier = std::make_shared<Carrier>(&scheduler, &transceiver, supervisor.id(), false);
    auto listener = std::make_shared<Carrier>(&scheduler, &transceiver, supervisor.id(), true);
    carrier->deadline().restart(0);
    listener->deadline().restart(0);
    transceiver.registerServer(carrier);
    transceiver.registerServer(listener);
    const std::vector<KrJobMessage> told = supervisor.waitFor(1);
    EXPECT_EQ(carrier->id(), told.back().a);
    // Only the carrier was reported: a listening server never times out.
    EXPECT_EQ(1u, told.size());
}

}  // namespace
