#include "transport/KrURLHookService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/KrCombinedTask.h"
#include "foundation/KrGavetaScheduler2.h"
#include "transport/KrTransceiver.h"
#include "transport/KrXHeader.h"
#include "transport/tests/TransportHarness.h"

namespace {

// What the fake carriers saw, shared with the test.
struct Wire {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> sent;      // request paths in the order written
    std::vector<std::string> carriers;  // carrier ids in the order made
    int made = 0;
    int joins = 0;  // tasks joined by carriers (registration joins one)
    std::vector<std::thread::id> connectThreads;
    // "hold" connects wait until released; the value is the result then.
    bool released = false;
    bool releaseResult = false;

    template <class Predicate>
    void waitUntil(Predicate done) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, done);
    }
};

// A client-role server that only records the requests it is given.
class FakeCarrier : public KrTransceiverServer {
  public:
    FakeCarrier(KrGavetaScheduler2* scheduler, KrJob* transceiver, const std::string& client,
                const std::string& request, const std::string& service,
                std::function<bool(KrServerCallback_t&)> callback, Wire& wire)
        : KrTransceiverServer(scheduler, transceiver, client, request, service,
                              std::move(callback)),
          _wire(wire) {
        listening = false;
    }
    ~FakeCarrier() override { _shutdown(transceiver); }
    bool joinTask(const std::string& name) override {
        const bool joined = KrTransceiverServer::joinTask(name);
        std::lock_guard<std::mutex> guard(_wire.mutex);
        ++_wire.joins;
        _wire.changed.notify_all();
        return joined;
    }
    bool _sendResponse(std::string, KrXHeader* message) override {
        std::lock_guard<std::mutex> guard(_wire.mutex);
        _wire.sent.push_back(message->path());
        _wire.changed.notify_all();
        return true;
    }

  private:
    Wire& _wire;
};

// The requesting client: records the kind-6 notices it is sent.
class Requester : public KrJob {
  public:
    Requester() { createJoinedTaskSelf("requester"); }
    ~Requester() override { _leaveRegistry(); }
    bool onMessage(const KrJobMessage& message) override {
        std::lock_guard<std::mutex> guard(_mutex);
        messageThread = std::this_thread::get_id();
        if (message.kind == 6)
            _notices.push_back(message);
        _arrived.notify_all();
        return true;
    }
    template <class Predicate>
    std::vector<KrJobMessage> waitFor(Predicate matches, size_t count) {
        std::unique_lock<std::mutex> lock(_mutex);
        std::vector<KrJobMessage> found;
        _arrived.wait(lock, [&] {
            found.clear();
            for (const KrJobMessage& m : _notices) {
                if (matches(m))
                    found.push_back(m);
            }
            return found.size() >= count;
        });
        return found;
    }

    std::atomic<std::thread::id> messageThread{};

  private:
    std::mutex _mutex;
    std::condition_variable _arrived;
    std::vector<KrJobMessage> _notices;
};

struct HookFixture : ::testing::Test {
    HookFixture() : transceiver(&scheduler) {}

    // The destination host decides how connecting goes: "ok", "refuse",
    // "throw" or "hold".
    void makeService(unsigned long maxCarriers = 10) {
        auto factory = [this](KrGavetaScheduler2* s, KrJob* t, std::string client,
                              std::string requestId, std::shared_ptr<KrXHeader> request,
                              std::string serviceId, std::function<bool(KrServerCallback_t&)> cb) {
            auto carrier = std::make_shared<FakeCarrier>(s, t, client, requestId, serviceId,
                                                         std::move(cb), wire);
            {
                std::lock_guard<std::mutex> guard(wire.mutex);
                ++wire.made;
                wire.carriers.push_back(carrier->id());
            }
            const std::string host = request->host();
            return KrURLHookCarrier_t{carrier, [this, host] { return connect(host); }};
        };
        service = std::make_shared<KrURLHookService>(
            &scheduler, &transceiver, client.id(), [](KrServerCallback_t&) { return true; },
            factory, transceiver.id());
        service->setMaxCarriers(maxCarriers);
    }

    bool connect(const std::string& host) {
        {
            std::lock_guard<std::mutex> guard(wire.mutex);
            wire.connectThreads.push_back(std::this_thread::get_id());
        }
        if (host == "throw")
            throw std::runtime_error("resolver failed");
        if (host == "hold") {
            std::unique_lock<std::mutex> lock(wire.mutex);
            wire.changed.wait(lock, [this] { return wire.released; });
            return wire.releaseResult;
        }
        return host == "ok";
    }

    void release(bool result) {
        std::lock_guard<std::mutex> guard(wire.mutex);
        wire.released = true;
        wire.releaseResult = result;
        wire.changed.notify_all();
    }

    std::shared_ptr<KrXHeader> request(const std::string& host, const std::string& path) {
        auto header = std::make_shared<KrXHeader>(KR_HTTP_GET, false, 3);
        header->setURL("http://" + host + ":8080" + path, "");
        header->setTaskName("task" + path);
        return header;
    }

    // Hooks a request; true when it was not refused on the spot.
    bool hook(const std::shared_ptr<KrXHeader>& header, bool atFront = false) {
        std::shared_ptr<KrXHeader> copy = header;
        bool refused = false;
        service->_hookURL(copy, refused, atFront);
        return !refused;
    }

    void waitSent(size_t count) {
        wire.waitUntil([&] { return wire.sent.size() >= count; });
    }

    // Waits until the client was told of `count` refusals; returns them.
    std::vector<KrJobMessage> refusals(size_t count) {
        return client.waitFor([](const KrJobMessage& m) { return m.values.count("refused") != 0; },
                              count);
    }

    void finish(const std::string& carrier, const std::string& task) {
        KrJobMessage finished(carrier, 5, "");
        finished.values["ctask"] = task;
        KrCombinedTask::global().post(service->id(), finished);
    }

    Wire wire;
    KrGavetaScheduler2 scheduler;
    KrTransceiver transceiver;
    Requester client;
    std::shared_ptr<KrURLHookService> service;
};

}  // namespace

TEST_F(HookFixture, TenCarriersThenTheEleventhWaitsForAFinishedTask) {
    makeService();
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(hook(request("ok", "/r" + std::to_string(i))));
    waitSent(10);
    EXPECT_EQ(transceiver.serverCount(), 10u);

    auto eleventh = request("ok", "/r10");
    std::shared_ptr<KrXHeader> copy = eleventh;
    bool refused = true;
    EXPECT_EQ(service->_hookURL(copy, refused, false), nullptr);
    EXPECT_FALSE(refused);
    EXPECT_EQ(copy, eleventh);
    EXPECT_EQ(service->queuedCount(), 1u);
    EXPECT_EQ(service->pendingCount(), 11u);

    // The finished carrier takes the queued request; no new carrier is made.
    const std::string first = wire.carriers.front();
    finish(first, "task/r0");
    waitSent(11);
    EXPECT_EQ(wire.sent.back(), "/r10");
    EXPECT_EQ(wire.made, 10);
    EXPECT_EQ(service->queuedCount(), 0u);
    const auto notices =
        client.waitFor([](const KrJobMessage& m) { return m.values.count("ctask") != 0; }, 1);
    EXPECT_EQ(notices[0].a, service->id());
    EXPECT_EQ(notices[0].values.at("ctask"), "task/r0");
    EXPECT_EQ(notices[0].values.count("refused"), 0u);
}

TEST_F(HookFixture, QueuedRequestsGoInArrivalOrderAndEachFinishFreesOne) {
    makeService(1);
    EXPECT_TRUE(hook(request("ok", "/a")));
    waitSent(1);
    EXPECT_TRUE(hook(request("ok", "/b")));
    EXPECT_TRUE(hook(request("ok", "/c")));
    EXPECT_TRUE(hook(request("ok", "/front"), true));
    EXPECT_EQ(service->pendingCount(), 4u);
    for (size_t i = 1; i <= 3; ++i) {
        finish(wire.carriers.front(), "task");
        waitSent(i + 1);
    }
    EXPECT_EQ(wire.sent, (std::vector<std::string>{"/a", "/front", "/b", "/c"}));
    EXPECT_EQ(wire.made, 1);
}

TEST_F(HookFixture, FailedConnectsAreReportedToTheRequester) {
    makeService();
    auto refusedHost = request("refuse", "/x");
    auto brokenResolver = request("throw", "/y");
    EXPECT_TRUE(hook(refusedHost));
    EXPECT_TRUE(hook(brokenResolver));
    const auto told = refusals(2);
    std::map<std::string, KrJobMessage> byId;
    for (const KrJobMessage& m : told)
        byId.emplace(m.values.at("refused"), m);
    ASSERT_EQ(byId.count(refusedHost->id()), 1u);
    ASSERT_EQ(byId.count(brokenResolver->id()), 1u);
    EXPECT_EQ(byId.at(refusedHost->id()).values.at("ctask"), "task/x");
    EXPECT_EQ(byId.at(refusedHost->id()).values.at("error"), "cannot connect to refuse:8080");
    EXPECT_EQ(byId.at(brokenResolver->id()).values.at("error"),
              "cannot connect to throw:8080: resolver failed");
    EXPECT_EQ(service->pendingCount(), 0u);
    EXPECT_EQ(transceiver.serverCount(), 0u);
    EXPECT_TRUE(wire.sent.empty());
}

TEST_F(HookFixture, QueuedRequestRefusedLaterIsReported) {
    makeService(1);
    auto first = request("hold", "/first");
    auto queued = request("refuse", "/queued");
    EXPECT_TRUE(hook(first));
    EXPECT_TRUE(hook(queued));
    EXPECT_EQ(service->queuedCount(), 1u);
    release(false);
    const auto told = refusals(2);
    EXPECT_EQ(told[0].values.at("refused"), first->id());
    EXPECT_EQ(told[1].values.at("refused"), queued->id());
    EXPECT_EQ(told[1].values.at("ctask"), "task/queued");
    EXPECT_EQ(service->pendingCount(), 0u);
}

TEST_F(HookFixture, SlowConnectIsGivenUpAfterTheTimeoutAndItsCarrierKept) {
    makeService(1);
    service->setConnectTimeout(50000);
    auto slow = request("hold", "/slow");
    EXPECT_TRUE(hook(slow));
    // Told while the connect still hangs: the release only comes after.
    const auto told = refusals(1);
    EXPECT_EQ(told[0].values.at("refused"), slow->id());
    EXPECT_EQ(told[0].values.at("error"), "connecting to hold:8080 took longer than 50 ms");
    {
        std::lock_guard<std::mutex> guard(wire.mutex);
        EXPECT_FALSE(wire.released);
    }
    release(true);
    // The late connection joins the pool idle and carries the next request.
    wire.waitUntil([&] { return wire.joins == 1; });
    EXPECT_EQ(transceiver.serverCount(), 1u);
    EXPECT_TRUE(hook(request("ok", "/next")));
    waitSent(1);
    EXPECT_EQ(wire.sent, std::vector<std::string>{"/next"});
    EXPECT_EQ(wire.made, 1);
}

TEST_F(HookFixture, DroppedBusyCarrierReportsItsRequestAndFreesItsPlace) {
    makeService(1);
    auto carried = request("ok", "/carried");
    EXPECT_TRUE(hook(carried));
    waitSent(1);
    EXPECT_TRUE(hook(request("ok", "/queued")));
    EXPECT_EQ(transceiver.serverCount(), 1u);
    // Delivered on the message thread, which must not connect the new carrier.
    KrCombinedTask::global().post(service->id(), KrJobMessage(wire.carriers[0], 1, ""));
    const auto told = refusals(1);
    EXPECT_EQ(told[0].values.at("refused"), carried->id());
    waitSent(2);
    EXPECT_EQ(wire.sent.back(), "/queued");
    EXPECT_EQ(wire.made, 2);
    ASSERT_EQ(wire.connectThreads.size(), 2u);
    for (const std::thread::id thread : wire.connectThreads) {
        EXPECT_NE(thread, std::this_thread::get_id());
        EXPECT_NE(thread, client.messageThread.load());
    }
    EXPECT_EQ(service->pendingCount(), 1u);
}

TEST_F(HookFixture, RefusedOnTheSpotAndOnShutdown) {
    makeService(1);
    std::shared_ptr<KrXHeader> none;
    bool refused = false;
    EXPECT_EQ(service->_hookURL(none, refused, false), nullptr);
    EXPECT_TRUE(refused);

    EXPECT_TRUE(hook(request("ok", "/a")));
    waitSent(1);
    auto waiting = request("ok", "/waiting");
    EXPECT_TRUE(hook(waiting));
    service.reset();
    const auto told = refusals(1);
    EXPECT_EQ(told[0].values.at("refused"), waiting->id());
}
