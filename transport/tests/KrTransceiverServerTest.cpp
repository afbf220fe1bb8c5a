#include "transport/KrTransceiverServer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/KrCombinedTask.h"
#include "foundation/KrGavetaScheduler2.h"
#include "transport/KrXHeader.h"
#include "transport/tests/TransportHarness.h"

namespace {

// Records the pairs its buffer-process job pops.
class RecordingServer : public harness::QueueingServer {
  public:
    RecordingServer(KrGavetaScheduler2* scheduler,
                    std::function<bool(KrServerCallback_t&)> callback, bool listen = true)
        : QueueingServer(scheduler, nullptr, "client", "key", "supervisor", std::move(callback)) {
        listening = listen;
    }
    ~RecordingServer() override { _shutdown(transceiver); }

    void _bufferworkfunction(std::string connection, std::string client) override {
        std::lock_guard<std::mutex> guard(_mutex);
        calls.push_back(connection + "/" + client);
        _called.notify_all();
    }
    std::vector<std::string> waitForCalls(size_t count) {
        std::unique_lock<std::mutex> lock(_mutex);
        _called.wait(lock, [&] { return calls.size() >= count; });
        return calls;
    }
    void setConnectionId(const std::string& name) { connectionId = name; }
    bool jobStarted() const { return bufferJobId.load() != 0; }

  private:
    std::mutex _mutex;
    std::condition_variable _called;
    std::vector<std::string> calls;
};

bool ignore(KrServerCallback_t&) {
    return true;
}

TEST(KrTransceiverServerTest, SignalsArePoppedOneAtATimeInArrivalOrder) {
    KrGavetaScheduler2 scheduler;
    RecordingServer server(&scheduler, ignore);
    for (const char* connection : {"c1", "c1", "c2"})
        KrCombinedTask::global().post(server.id(), KrJobMessage(connection, 8, ""));
    // Kind-8 messages go through the registry to _bufferSignaled.
    EXPECT_EQ((std::vector<std::string>{"c1/client", "c1/client", "c2/client"}),
              server.waitForCalls(3));
}

TEST(KrTransceiverServerTest, NeverSignalledServerStartsNoJob) {
    KrGavetaScheduler2 scheduler;
    RecordingServer server(&scheduler, ignore);
    EXPECT_FALSE(server.jobStarted());
}

TEST(KrTransceiverServerTest, AfterShutdownASignalIsQueuedButNoJobStarts) {
    KrGavetaScheduler2 scheduler;
    RecordingServer server(&scheduler, ignore);
    server._insert_bufferSignaled("a", "client");
    server.waitForCalls(1);
    server._shutdown(nullptr);
    server._insert_bufferSignaled("b", "client");
    EXPECT_EQ(1u, server.queuedSignals());
}

TEST(KrTransceiverServerTest, ListeningServerNeverTimesOutClientRoleOnceAndRearms) {
    KrGavetaScheduler2 scheduler;
    RecordingServer listener(&scheduler, ignore, true);
    listener.deadline().restart(0);
    EXPECT_FALSE(listener.isTimedOut());
    EXPECT_FALSE(listener.isTimedOut());

    RecordingServer carrier(&scheduler, ignore, false);
    carrier.deadline().restart(0);
    EXPECT_TRUE(carrier.isTimedOut());
    EXPECT_FALSE(carrier.isTimedOut());
}

TEST(KrTransceiverServerTest, DestructionReportsTheServerGoneWithItsRole) {
    for (const bool listen : {true, false}) {
        KrGavetaScheduler2 scheduler;
        std::vector<KrServerCallback_t> events;
        std::string id;
        {
            RecordingServer server(
                &scheduler,
                [&](KrServerCallback_t& record) {
                    events.push_back(record);
                    return true;
                },
                listen);
            id = server.id();
            server._insert_bufferSignaled("c", "client");
            server.waitForCalls(1);
        }
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(2, events[0].type);
        EXPECT_EQ(id, events[0].values["ID"]);
        EXPECT_EQ(listen ? "server" : "client", events[0].values["roll"]);
    }
}

TEST(KrTransceiverServerTest, AttachKeepsTheFirstTransceiverAndDetachOnlyItsOwn) {
    KrGavetaScheduler2 scheduler;
    RecordingServer server(&scheduler, ignore);
    KrJob first, second;
    EXPECT_TRUE(server._attachTransceiver(&first));
    EXPECT_FALSE(server._attachTransceiver(&second));
    server._detachTransceiver(&second);
    EXPECT_FALSE(server._attachTransceiver(&second));
    server._detachTransceiver(&first);
    EXPECT_TRUE(server._attachTransceiver(&second));
}

TEST(KrTransceiverServerTest, KindThreeReportsTheCarriedConnection) {
    KrGavetaScheduler2 scheduler;
    RecordingServer server(&scheduler, ignore, false);
    server.setConnectionId("conn7");
    KrJobMessage message("x", 3, "");
    server.onMessage(message);
    EXPECT_EQ(std::list<std::string>{"conn7"}, message.list);
}

TEST(KrTransceiverServerTest, BaseServerRefusesToSendAndListenersRefuseRequests) {
    KrGavetaScheduler2 scheduler;
    RecordingServer carrier(&scheduler, ignore, false);
    KrXHeader request(1, false, 3);
    request.setDirection(2);
    EXPECT_FALSE(carrier._sendRequest(&request));
    RecordingServer listener(&scheduler, ignore, true);
    EXPECT_FALSE(listener._sendRequest(&request));
}

}  // namespace
