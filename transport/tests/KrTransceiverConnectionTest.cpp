#include "transport/KrTransceiverConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/KrCombinedTask.h"
#include "foundation/KrGavetaScheduler2.h"
#include "transport/KrSocketIPvx.h"
#include "transport/KrTransceiver.h"
#include "transport/tests/TransportHarness.h"

namespace {

// A socket whose writes take at most `perCall` bytes, or fail with `error`.
class ScriptedSocket : public KrSocketIPvx {
  public:
    int SendVector(const iovec* pieces, int count, size_t& written) override {
        written = 0;
        if (error != 0) {
            lastSendError = error;
            return 3;
        }
        for (int i = 0; i < count && written < perCall; ++i) {
            const size_t take = std::min(perCall - written, pieces[i].iov_len);
            wire.append(static_cast<const char*>(pieces[i].iov_base), take);
            written += take;
        }
        if (written == 0)
            lastSendError = EAGAIN;
        return 3;
    }
    size_t perCall = 1;
    int error = 0;
    std::string wire;
};

KrTransceiverConnection makeConnection(const std::string& server = "nobody") {
    return KrTransceiverConnection(nullptr, server, "owner", KrServerCallback_t{}, nullptr);
}

TEST(KrTransceiverConnectionTest, EmptyFeedSignalsNothingAndBytesSignalOnce) {
    harness::Inbox server;
    KrTransceiverConnection connection(nullptr, server.id(), "owner", KrServerCallback_t{},
                                       nullptr);
    EXPECT_EQ(0, connection.feed(nullptr, 5));
    EXPECT_EQ(0, connection.feed("abc", 0));
    EXPECT_FALSE(connection.isInputReady());
    connection.feed("abc", 3);
    EXPECT_TRUE(connection.isInputReady());
    // Messages arrive in posting order: nothing came before the one kind 8.
    KrCombinedTask::global().post(server.id(), KrJobMessage("", 99, ""));
    EXPECT_EQ((std::vector<int>{8, 99}), server.kindsUntil(99));
}

TEST(KrTransceiverConnectionTest, DrainGivesTheBytesOnceAndFreesThem) {
    auto connection = makeConnection();
    connection.feed("hello ", 6);
    connection.feed("world", 5);
    KrStringBuf out;
    EXPECT_EQ(11, connection.drainInput(out));
    EXPECT_FALSE(connection.isInputReady());
    EXPECT_EQ(0, connection.drainInput(out));
    std::string text;
    out.CopyOut(text, 0, UINT64_MAX);
    EXPECT_EQ("hello world", text);
}

TEST(KrTransceiverConnectionTest, OutputLeavesInOrderAcrossPartialWrites) {
    auto connection = makeConnection();
    size_t queued = 0;
    connection.queueOutput("abc", 3, queued);
    EXPECT_EQ(3u, queued);
    KrStringBuf* filled = new KrStringBuf();
    filled->sputn("defg", 4);
    connection.queueOutputBuffer(filled);
    delete filled;  // the caller got a fresh empty buffer back
    connection.queueOutput("hi", 2, queued);
    EXPECT_TRUE(connection.isOutputPending());
    EXPECT_EQ(9u, connection.pendingOutputBytes());

    ScriptedSocket socket;
    int state = 1;
    for (int calls = 0; state == 1 && calls < 100; ++calls) {
        state = connection.writePending(socket);
        socket.perCall = 1;
    }
    EXPECT_EQ(0, state);
    EXPECT_EQ("abcdefghi", socket.wire);
    EXPECT_FALSE(connection.isOutputPending());
}

TEST(KrTransceiverConnectionTest, SentOutputGoesOutAtOnceOnlyBehindNothingOnTheServingThread) {
    struct Case {
        bool serving;
        std::string before;
        size_t perCall;
        int error;
        std::string wireAtOnce;
        int laterState;
    };
    // "hello" goes as the head "hel" and the body "lo".
    const Case cases[] = {
        {true, "", 100, 0, "hello", 0},
        {true, "", 2, 0, "he", 0},       // the rest of the head and the body are queued
        {true, "", 4, 0, "hell", 0},     // a write that ends inside the body
        {true, "", 3, 0, "hel", 0},      // one that ends with the head
        {true, "ab", 100, 0, "", 0},     // behind queued bytes: queued too
        {false, "", 100, 0, "", 0},      // another thread: the send loop writes
        {true, "", 100, EPIPE, "", -1},  // the failure is met by the next write
    };
    for (const Case& c : cases) {
        auto connection = makeConnection();
        auto socket = std::make_shared<ScriptedSocket>();
        socket->perCall = c.perCall;
        socket->error = c.error;
        connection.record().socket = socket;
        std::optional<KrTransceiverConnection::ServingHere> holder;
        if (c.serving)
            holder.emplace(connection);
        size_t queued = 0;
        if (!c.before.empty())
            connection.queueOutput(c.before.data(), c.before.size(), queued);
        connection.sendOutput("hel", "lo");
        EXPECT_EQ(socket->wire, c.wireAtOnce) << c.perCall << c.before;
        EXPECT_EQ(connection.pendingOutputBytes(), c.before.size() + 5 - c.wireAtOnce.size());
        socket->perCall = 100;
        EXPECT_EQ(connection.writePending(*socket), c.laterState);
        EXPECT_EQ(socket->wire, c.error == 0 ? c.before + "hello" : "");
    }
}

TEST(KrTransceiverConnectionTest, GatheredWriteTakesSeveralBuffersAtOnce) {
    auto connection = makeConnection();
    size_t queued = 0;
    connection.queueOutput("head\r\n\r\n", 8, queued);
    connection.queueOutput("body", 4, queued);
    ScriptedSocket socket;
    socket.perCall = 1000;
    EXPECT_EQ(0, connection.writePending(socket));
    EXPECT_EQ("head\r\n\r\nbody", socket.wire);
}

TEST(KrTransceiverConnectionTest, WriteStateTellsFullSocketFromFailedOne) {
    struct Row {
        int error;
        size_t perCall;
        int expected;
    };
    for (const Row& row : {Row{0, 0, 1}, Row{EPIPE, 0, -1}, Row{ECONNRESET, 0, -1}}) {
        auto connection = makeConnection();
        size_t queued = 0;
        connection.queueOutput("xyz", 3, queued);
        ScriptedSocket socket;
        socket.error = row.error;
        socket.perCall = row.perCall;
        EXPECT_EQ(row.expected, connection.writePending(socket)) << "errno " << row.error;
        EXPECT_TRUE(connection.isOutputPending());
    }
}

TEST(KrTransceiverConnectionTest, PeekAndConsumeWalkTheHeadBuffer) {
    auto connection = makeConnection();
    size_t queued = 0;
    connection.queueOutput("abcd", 4, queued);
    connection.queueOutput("ef", 2, queued);
    std::string head;
    connection.peekOutput(head);
    EXPECT_EQ("abcd", head);
    connection.consumeOutput(3);
    head.clear();
    connection.peekOutput(head);
    EXPECT_EQ("d", head);
    connection.consumeOutput(10);  // more than the head holds: only the head goes
    head.clear();
    connection.peekOutput(head);
    EXPECT_EQ("ef", head);
    connection.consumeOutput(2);
    EXPECT_FALSE(connection.isOutputPending());
}

TEST(KrTransceiverConnectionTest, EmptyBufferStaysWithTheCaller) {
    auto connection = makeConnection();
    KrStringBuf* empty = new KrStringBuf();
    KrStringBuf* const original = empty;
    connection.queueOutputBuffer(empty);
    EXPECT_EQ(original, empty);
    EXPECT_FALSE(connection.isOutputPending());
    delete empty;
    KrStringBuf* none = nullptr;
    connection.queueOutputBuffer(none);
    EXPECT_EQ(nullptr, none);
}

TEST(KrTransceiverConnectionTest, ResetDropsEverythingAndStartsFresh) {
    auto connection = makeConnection();
    connection.feed("in", 2);
    size_t queued = 0;
    connection.queueOutput("old", 3, queued);
    connection.resetBuffers();
    EXPECT_FALSE(connection.isInputReady());
    EXPECT_FALSE(connection.isOutputPending());
    connection.queueOutput("new", 3, queued);
    ScriptedSocket socket;
    socket.perCall = 100;
    EXPECT_EQ(0, connection.writePending(socket));
    EXPECT_EQ("new", socket.wire);
}

TEST(KrTransceiverConnectionTest, CloseRequestClearsActiveFlagAndCallsBack) {
    int calls = 0;
    KrTransceiverConnection* seen = nullptr;
    KrGavetaScheduler2 scheduler;
    KrTransceiver transceiver(&scheduler);
    KrTransceiverConnection connection(&transceiver, "s", "o", KrServerCallback_t{},
                                       [&](KrTransceiver&, KrTransceiverConnection* self) {
                                           ++calls;
                                           seen = self;
                                       });
    connection.requestClose();
    EXPECT_EQ(1, calls);
    EXPECT_EQ(&connection, seen);
    EXPECT_FALSE(connection.isActive());
    EXPECT_FALSE(connection.isTimedOut());  // re-arms, answers false
    EXPECT_TRUE(connection.isActive());

    auto silent = makeConnection();
    EXPECT_THROW(silent.requestClose(), std::bad_function_call);
}

// Every way of reading the link name follows each join and leave; the
// serving thread's copy is taken again after every change.
TEST(KrTransceiverConnectionTest, JoiningRemembersTheLinkName) {
    harness::Inbox owner;
    const std::string first = owner.createJoinedTask("request");
    const std::string second = owner.createJoinedTask("answer");
    auto connection = makeConnection();
    EXPECT_EQ(connection.servingLinkName(), "");
    struct Step {
        std::string join;  // empty: leave
        std::string linked;
    };
    const Step steps[] = {{first, first}, {second, second}, {"", ""}, {first, first}};
    for (const Step& step : steps) {
        if (step.join.empty())
            connection.leaveJoinedTask("");
        else
            EXPECT_TRUE(connection.joinTask(step.join));
        std::string linked = "left over";
        connection.linkNameInto(linked);
        EXPECT_EQ(linked, step.linked);
        EXPECT_EQ(connection.servingLinkName(), step.linked);
        EXPECT_EQ(connection.servingLinkName(), step.linked);
        EXPECT_TRUE(connection.isLinkedTo(step.linked));
        EXPECT_EQ(connection.isLinkedTo(first), step.linked == first);
    }
}

}  // namespace

TEST(KrConnectionRecord, EveryNewsIsServedByExactlyOneThreadAtATime) {
    // Threads post news; the one the post gives the turn serves, the others
    // leave their news to it. No news may be left unserved, and no two
    // threads may serve at once, however their steps interleave.
    KrConnectionRecord record;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<uint64_t> posted{0};
    std::atomic<uint64_t> served{0};
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    const uint32_t kinds[] = {KrConnectionRecord::kInput, KrConnectionRecord::kDrained,
                              KrConnectionRecord::kAnswerEnded, KrConnectionRecord::kDeadline};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                posted.fetch_or(kinds[t]);
                if (!record.post(kinds[t]))
                    continue;
                do {
                    if (inside.fetch_add(1) != 0)
                        overlapped.store(true);
                    served.fetch_or(record.takeNews());
                    inside.fetch_sub(1);
                } while (!record.leave());
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_FALSE(overlapped.load());
    EXPECT_EQ(served.load(), posted.load());
    EXPECT_EQ(record.turn.load(), 0u);
}
