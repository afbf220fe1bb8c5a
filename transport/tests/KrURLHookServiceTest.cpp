#include "transport/KrURLHookService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "document/KrXMLGenericElement.h"
#include "foundation/KrCombinedTask.h"
#include "foundation/KrGavetaScheduler2.h"
#include "foundation/KrURL.h"
#include "foundation/tests/WaitFor.h"
#include "html/KrHTML_input2_blob.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverClient.h"
#include "transport/KrTransceiverServerL1HTTP.h"
#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"
#include "transport/tests/BufferText.h"
#include "transport/tests/HttpTestServer.h"
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

    // Up to the test's patience: what never comes fails the test's checks.
    template <class Predicate>
    void waitUntil(Predicate done) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, kPatience, done);
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
        if (message.kind == KR_MESSAGE_CLIENT_TASK_DONE)
            _notices.push_back(message);
        _arrived.notify_all();
        return true;
    }
    // At most `limit`: a notice that never comes fails the test, with fewer
    // notices than asked for, instead of hanging it.
    template <class Predicate>
    std::vector<KrJobMessage> waitFor(Predicate matches, size_t count,
                                      std::chrono::seconds limit = std::chrono::seconds(60)) {
        std::unique_lock<std::mutex> lock(_mutex);
        std::vector<KrJobMessage> found;
        _arrived.wait_for(lock, limit, [&] {
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
            return KrURLHookCarrier_t{carrier, [this, request] { return connect(*request); }};
        };
        service = std::make_shared<KrURLHookService>(
            &scheduler, &transceiver, client.id(), [](KrServerCallback_t&) { return true; },
            factory, transceiver.id());
        service->setMaxCarriers(maxCarriers);
    }

    // As a real carrier connects: "hold" waits for a release, but no longer
    // than the request's connect limit.
    bool connect(KrXHeader& request) {
        const std::string host = request.host();
        {
            std::lock_guard<std::mutex> guard(wire.mutex);
            wire.connectThreads.push_back(std::this_thread::get_id());
        }
        if (host == "throw")
            throw std::runtime_error("resolver failed");
        if (host == "hold") {
            std::unique_lock<std::mutex> lock(wire.mutex);
            if (!wire.changed.wait_until(lock, request.connectDeadline(),
                                         [this] { return wire.released; }))
                return false;
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
        auto header = std::make_shared<KrXHeader>(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
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

TEST_F(HookFixture, ConnectThatOutlastsTheTimeoutIsGivenUpAndItsPlaceFreed) {
    makeService(1);
    service->setConnectTimeout(50000);
    auto slow = request("hold", "/slow");
    EXPECT_TRUE(hook(slow));
    const auto told = refusals(1);
    EXPECT_EQ(told[0].values.at("refused"), slow->id());
    EXPECT_EQ(told[0].values.at("error"), "connecting to hold:8080 took longer than 50 ms");
    EXPECT_EQ(service->pendingCount(), 0u);
    // The one place in the pool is free again.
    EXPECT_TRUE(hook(request("ok", "/next")));
    waitSent(1);
    EXPECT_EQ(wire.sent, std::vector<std::string>{"/next"});
    EXPECT_EQ(wire.made, 2);
    EXPECT_EQ(transceiver.serverCount(), 1u);
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

namespace {

// The second server: answers every request with what it received.
class EchoClient : public KrTransceiverClient {
  public:
    using KrTransceiverClient::KrTransceiverClient;
    ~EchoClient() override { _leaveRegistry(); }
    bool handleApplicationRequest(const std::string&, KrXHeader& request) override {
        request._parseBody();
        std::string text = request.method() == KR_HTTP_POST ? "POST " : "GET ";
        text += request.path();
        for (const char* name : {"a", "b", "t", "blob"}) {
            std::string value;
            if (request.getParameter(name, value))
                text += std::string(" ") + name + "=[" + value + "]";
        }
        std::shared_ptr<KrXHeader> answer(request.makeResponse());
        answer->setContent(text);
        _send(answer, request.taskName());
        return true;
    }
};

// The requesting client in the program's own server: keeps the answers it
// is given and the refusals it is told of.
class RequestingClient : public KrTransceiverClient {
  public:
    using KrTransceiverClient::KrTransceiverClient;
    ~RequestingClient() override { _leaveRegistry(); }
    bool onHTTPAnswer(const std::string& serverName, KrXHeader& answer) override {
        {
            std::lock_guard<std::mutex> guard(_recordMutex);
            answers[serverName] = Unread(answer.body());
            _changed.notify_all();
        }
        return KrTransceiverClient::onHTTPAnswer(serverName, answer);
    }
    bool onMessage(const KrJobMessage& message) override {
        if (message.kind == KR_MESSAGE_CLIENT_TASK_DONE && message.values.count("refused") != 0) {
            std::lock_guard<std::mutex> guard(_recordMutex);
            refusals[message.values.at("refused")] = message.values.at("error");
            _changed.notify_all();
        } else if (message.kind == KR_MESSAGE_CLIENT_TASK_DONE && message.values.count("ctask") != 0) {
            std::lock_guard<std::mutex> guard(_recordMutex);
            ++finished;
            _changed.notify_all();
        }
        return KrTransceiverClient::onMessage(message);
    }
    // Waits (at most `limit`, so a lost answer fails instead of hanging)
    // until answers and refusals together reach `count`.
    bool waitFor(size_t count, std::chrono::seconds limit = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> lock(_recordMutex);
        return _changed.wait_for(lock, limit,
                                 [&] { return answers.size() + refusals.size() >= count; });
    }

    // Waits (at most 30 s) until `count` tasks were reported finished.
    bool waitFinished(size_t count) {
        std::unique_lock<std::mutex> lock(_recordMutex);
        return _changed.wait_for(lock, std::chrono::seconds(30), [&] { return finished >= count; });
    }

    size_t finished = 0;
    std::map<std::string, std::string> answers;   // request id -> body
    std::map<std::string, std::string> refusals;  // request id -> error

  private:
    std::mutex _recordMutex;
    std::condition_variable _changed;
};

template <class Client>
httptest::Server::ClientMaker Make() {
    return [](std::function<bool(KrServerCallback_t&)> callback,
              const std::map<std::string, std::string>& options) {
        return std::make_shared<Client>(std::move(callback), options, nullptr);
    };
}

struct LoopbackFixture : ::testing::Test {
    LoopbackFixture() : remote({}, 3, Make<EchoClient>()), home({}, 3, Make<RequestingClient>()) {
        remotePort = remote.waitListening();
        homePort = home.waitListening();
        requester = std::dynamic_pointer_cast<RequestingClient>(home.client);
    }
    std::string remoteURL(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(remotePort) + path;
    }
    std::shared_ptr<KrXHeader> send(std::shared_ptr<KrXHeader> request) {
        EXPECT_EQ(requester->_sendRequest(request), request->id());
        return request;
    }

    httptest::Server remote;
    httptest::Server home;
    unsigned remotePort = 0;
    unsigned homePort = 0;
    std::shared_ptr<RequestingClient> requester;
};

}  // namespace

TEST_F(LoopbackFixture, FormsAndLinkAreCarriedAndAnswered) {
    ASSERT_NE(remotePort, 0u);
    ASSERT_NE(homePort, 0u);
    KrXMLGenericElement get("form", true);
    get.SetAttribute("action", remoteURL("/search"));
    get.SetAttribute("method", "GET");
    auto* a = get.AddChildElement(new KrXMLGenericElement("input", true));
    a->SetAttribute("type", "text");
    a->SetAttribute("name", "a");
    a->SetAttribute("value", "x y&z\r\n");

    KrXMLGenericElement post("form", true);
    post.SetAttribute("action", remoteURL("/upload"));
    post.SetAttribute("method", "POST");
    auto* t = post.AddChildElement(new KrXMLGenericElement("input", true));
    t->SetAttribute("type", "hidden");
    t->SetAttribute("name", "t");
    t->SetAttribute("value", "v");
    post.AddChildElement(new KrHTML_input2_blob("b1", std::string("\x01\x02\x00\x7f", 4), "blob"));

    KrXMLGenericElement link("a", true);
    link.SetAttribute("href", "page two");

    auto fromGet = std::make_shared<KrXHeader>(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    fromGet->buildFormPost(get, "");
    auto fromPost = std::make_shared<KrXHeader>(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    fromPost->buildFormPost(post, "");
    auto fromLink = std::make_shared<KrXHeader>(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    fromLink->setURLFromHref(link, remoteURL("/dir/"));
    send(fromGet);
    send(fromPost);
    send(fromLink);

    ASSERT_TRUE(requester->waitFor(3));
    EXPECT_TRUE(requester->refusals.empty());
    EXPECT_EQ(requester->answers[fromGet->id()], "GET /search a=[x y&z\r\n]");
    EXPECT_EQ(requester->answers[fromPost->id()],
              "POST /upload t=[v] blob=[" + std::string("\x01\x02\x00\x7f", 4) + "]");
    EXPECT_EQ(requester->answers[fromLink->id()], "GET /dir/page%20two");
    EXPECT_EQ(home.transceiver->hookServiceCount(), 1u);
}

TEST_F(LoopbackFixture, MoreRequestsThanCarriersAllComplete) {
    ASSERT_NE(remotePort, 0u);
    std::vector<std::shared_ptr<KrXHeader>> sent;
    for (int i = 0; i < 25; ++i) {
        auto request = std::make_shared<KrXHeader>(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
        request->setURL(remoteURL("/n" + std::to_string(i)), "");
        sent.push_back(send(request));
    }
    ASSERT_TRUE(requester->waitFor(25));
    EXPECT_TRUE(requester->refusals.empty());
    for (int i = 0; i < 25; ++i)
        EXPECT_EQ(requester->answers[sent[i]->id()], "GET /n" + std::to_string(i));
    // Every carried task is reported finished; then nothing is left waiting.
    ASSERT_TRUE(requester->waitFinished(25));
    EXPECT_LE(home.transceiver->serverCount(), 11u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(home.transceiver->printMessageStacks(), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "m-stack: 0\n");
}

TEST_F(LoopbackFixture, RefusedPortAndUnknownHostAreReported) {
    // A port that was free a moment ago: nobody listens there.
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    const unsigned closedPort = ntohs(address.sin_port);
    ::close(probe);

    auto refused = std::make_shared<KrXHeader>(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    refused->setURL("http://127.0.0.1:" + std::to_string(closedPort) + "/x", "");
    auto unknown = std::make_shared<KrXHeader>(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    unknown->setURL("http://no-such-host.invalid:80/x", "");
    send(refused);
    send(unknown);
    ASSERT_TRUE(requester->waitFor(2));
    EXPECT_TRUE(requester->answers.empty());
    EXPECT_EQ(requester->refusals[refused->id()],
              "cannot connect to 127.0.0.1:" + std::to_string(closedPort));
    const std::string why = requester->refusals[unknown->id()];
    EXPECT_TRUE(why == "cannot connect to no-such-host.invalid:80" ||
                why == "connecting to no-such-host.invalid:80 took longer than 10000 ms")
        << why;
}

namespace {

// A listening socket on a port of 127.0.0.1 that the system chooses.
int ListenOnLoopback(int backlog, unsigned& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, backlog);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// Real HTTP carriers, made as the transceiver makes them; `connecting` is
// called just before a carrier connects.
KrURLHookService::CarrierFactory HttpCarriers(std::function<void()> connecting) {
    return [connecting](KrGavetaScheduler2* scheduler, KrJob* transceiver, std::string client,
                        std::string requestId, std::shared_ptr<KrXHeader> request,
                        std::string serviceId, std::function<bool(KrServerCallback_t&)> callback) {
        auto carrier = std::make_shared<KrTransceiverServerL1HTTP>(
            scheduler, transceiver, client, requestId, std::move(request), serviceId,
            std::move(callback), "HTTP");
        return KrURLHookCarrier_t{carrier, [carrier, connecting] {
                                      connecting();
                                      return carrier->_open();
                                  }};
    };
}

bool IsRefusal(const KrJobMessage& message) {
    return message.values.count("refused") != 0;
}

}  // namespace

TEST(KrURLHookServiceConnect, AHostThatNeverAnswersIsGivenUpAtTheTimeoutOrWhenTheServiceStops) {
    KrGavetaScheduler2 scheduler;
    KrTransceiver transceiver(&scheduler);
    Requester client;
    // A listener whose one place in the queue is taken: the system drops
    // every further SYN, so a connect to it hangs as one to a host that
    // never answers.
    unsigned port = 0;
    const int listener = ListenOnLoopback(0, port);
    const int filler = ConnectLoopback(port);
    std::mutex mutex;
    std::condition_variable changed;
    int connects = 0;
    auto service = std::make_shared<KrURLHookService>(
        &scheduler, &transceiver, client.id(), [](KrServerCallback_t&) { return true; },
        HttpCarriers([&] {
            std::lock_guard<std::mutex> guard(mutex);
            ++connects;
            changed.notify_all();
        }),
        transceiver.id());
    const std::string where = "127.0.0.1:" + std::to_string(port);
    const auto hook = [&](const std::string& path) {
        auto request = std::make_shared<KrXHeader>(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
        request->setURL("http://" + where + path, "");
        request->setTaskName("task" + path);
        std::shared_ptr<KrXHeader> copy = request;
        bool refused = true;
        service->_hookURL(copy, refused, false);
        EXPECT_FALSE(refused);
        return request;
    };

    service->setConnectTimeout(200000);
    auto timed = hook("/timed");
    auto told = client.waitFor(IsRefusal, 1);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].values.at("refused"), timed->id());
    EXPECT_EQ(told[0].values.at("error"), "connecting to " + where + " took longer than 200 ms");

    // A time-out far beyond the test's: only the service's stop can end this
    // connect, and its destruction must not wait for the system to give up.
    service->setConnectTimeout(3600L * 1000 * 1000);
    auto stopped = hook("/stopped");
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kPatience, [&] { return connects == 2; }));
    }
    auto destroyed = std::async(std::launch::async, [&service] { service.reset(); });
    EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    destroyed.wait();
    told = client.waitFor(IsRefusal, 2);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[1].values.at("refused"), stopped->id());
    EXPECT_EQ(told[1].values.at("error"), "the service stopped while connecting to " + where);
    EXPECT_EQ(transceiver.serverCount(), 0u);
    ::close(filler);
    ::close(listener);
}

TEST_F(LoopbackFixture, AChunkedAnswerReachesTheRequesterWhole) {
    unsigned port = 0;
    const int listener = ListenOnLoopback(1, port);
    auto request = std::make_shared<KrXHeader>(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    request->setURL("http://127.0.0.1:" + std::to_string(port) + "/chunked", "");
    send(request);
    // The remote server, played here: its answer goes out in pieces.
    pollfd watch{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&watch, 1, 30000), 1);
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    httptest::ReadUntil(
        fd, [](const std::string& in) { return in.find("\r\n\r\n") != std::string::npos; });
    for (const char* piece : {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
                              "5\r\nhello\r\n", "7;e=1\r\n, world\r\n1", "\r\n!\r\n0\r\n", "\r\n"})
        httptest::SendAll(fd, piece);
    EXPECT_TRUE(requester->waitFor(1));
    EXPECT_TRUE(requester->refusals.empty());
    EXPECT_EQ(requester->answers[request->id()], "hello, world!");
    ::close(fd);
    ::close(listener);
}

TEST_F(LoopbackFixture, AClosedConnectionTellsTheRequesterAtOnce) {
    struct Case {
        const char* answer;  // what the remote server, played here, sends
        bool peerCloses;     // whether it closes its end afterwards
        const char* body;    // the answer the requester gets, or null for a refusal
    };
    const Case cases[] = {
        // A chunk size that is not a number: the carrier refuses the answer
        // and closes its connection, while the peer keeps its end open.
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n", false, nullptr},
        // The close in the middle of the body.
        {"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nhel", true, nullptr},
        // A whole answer and then the close: the answer, and no refusal.
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello", true, "hello"},
    };
    unsigned port = 0;
    const int listener = ListenOnLoopback(4, port);
    const std::string where = "127.0.0.1:" + std::to_string(port);
    std::vector<std::shared_ptr<KrXHeader>> sent;
    std::vector<int> peers;
    // Servers of the transceiver once a refused request's carrier is gone.
    size_t carriersGone = 0;
    for (const Case& c : cases) {
        auto request = std::make_shared<KrXHeader>(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
        request->setURL("http://" + where + "/r" + std::to_string(sent.size()), "");
        sent.push_back(send(request));
        pollfd watch{listener, POLLIN, 0};
        ASSERT_EQ(::poll(&watch, 1, 30000), 1);
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        httptest::ReadUntil(
            fd, [](const std::string& in) { return in.find("\r\n\r\n") != std::string::npos; });
        httptest::SendAll(fd, c.answer);
        if (c.peerCloses)
            ::close(fd);
        else
            peers.push_back(fd);
        // A hang guard only: the carrier's time-out (120 s) must not be what
        // tells, and the close is seen within milliseconds.
        ASSERT_TRUE(requester->waitFor(sent.size(), std::chrono::seconds(10))) << c.answer;
        if (sent.size() == 1)
            carriersGone = home.transceiver->serverCount();
    }
    // The carrier of the last answer leaves the pool once its connection
    // closed; a refusal sent for it by mistake would come right then.
    WaitFor([&] { return home.transceiver->serverCount() <= carriersGone; });
    EXPECT_EQ(home.transceiver->serverCount(), carriersGone);
    EXPECT_FALSE(requester->waitFor(sent.size() + 1, std::chrono::seconds(1)));
    for (size_t i = 0; i < sent.size(); ++i) {
        const std::string id = sent[i]->id();
        if (cases[i].body != nullptr) {
            EXPECT_EQ(requester->answers[id], cases[i].body);
            EXPECT_EQ(requester->refusals.count(id), 0u) << cases[i].answer;
        } else {
            EXPECT_EQ(requester->answers.count(id), 0u) << cases[i].answer;
            EXPECT_EQ(requester->refusals[id],
                      "the connection to " + where + " closed before the answer came");
        }
    }
    for (const int fd : peers)
        ::close(fd);
    ::close(listener);
}
