#include "transport/KrTransceiverServerL0Socket.h"

#include <sys/socket.h>

#include <chrono>
#include <string>
#include <map>
#include <vector>

#include "transport/KrDescriptorReserve.h"
#include "transport/KrSocketIPvx.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverConnection.h"
#include "transport/KrXServerHeader.h"

KrTransceiverServerL0Socket::KrTransceiverServerL0Socket(
    KrGavetaScheduler2* scheduler, KrXServerHeader* serverHeader, KrJob* transceiver,
    const std::string& clientName, const std::string& dispatchKey, const std::string& supervisorId,
    std::function<bool(KrServerCallback_t&)> callback, const std::string& typeName)
    : KrTransceiverServerL0(scheduler, transceiver, clientName, dispatchKey, supervisorId,
                            std::move(callback)),
      serverHeader(serverHeader),
      acceptRunning(true),
      typeName(typeName) {}

KrTransceiverServerL0Socket::KrTransceiverServerL0Socket(
    KrGavetaScheduler2* scheduler, KrJob* transceiver, const std::string& clientName,
    const std::string& dispatchKey, KrXHeader* requestHeader, const std::string& supervisorId,
    std::function<bool(KrServerCallback_t&)> callback, const std::string& typeName)
    : KrTransceiverServerL0(scheduler, transceiver, clientName, dispatchKey, supervisorId,
                            std::move(callback)),
      acceptRunning(false),
      typeName(typeName),
      requestHeader(requestHeader) {
    listening = false;
}

KrTransceiverServerL0Socket::~KrTransceiverServerL0Socket() {
    _stopAccepting();
}

void KrTransceiverServerL0Socket::stop() {
    {
        std::lock_guard<std::mutex> guard(_stopMutex);
        acceptRunning.store(false);
        if (_acceptPoller)
            _acceptPoller->wake();
    }
    _stopCondition.notify_all();
    KrDescriptorReserve::process().wake();
}

void KrTransceiverServerL0Socket::_stopAccepting() {
    stop();
    if (!listening || acceptJobId == 0)
        return;
    const unsigned long job = acceptJobId;
    acceptJobId = 0;
    scheduler->waitJobDone(job);
    delete scheduler->takeResult(job);
}

void KrTransceiverServerL0Socket::_shutdown(KrJob* owner) {
    // No new connection may arrive while the rest of the server stops.
    _stopAccepting();
    KrTransceiverServerL0::_shutdown(owner);
}

bool KrTransceiverServerL0Socket::_open() {
    return listening ? _openSocket() : _connectSocket();
}

bool KrTransceiverServerL0Socket::_openSocket() {
    KrGavetaJobAtttributes attributes;
    attributes._jo_name = "KrTransceiverServerL0" + typeName + id();
    attributes._jo_stop = [this] { stop(); };
    acceptJobId = scheduler->addJob(
        [this](KrGavetaJobParametersAndResult* parameters) {
            _acceptLoop();
            return parameters;
        },
        nullptr, attributes);
    return true;
}

void KrTransceiverServerL0Socket::_acceptLoop() {
    if (serverHeader == nullptr)
        return;
    const unsigned int port = static_cast<unsigned int>(
        std::stoul(serverHeader->parameterOr("tcp_port", "2098"), nullptr, 10));
    const std::string address = serverHeader->parameterOr("tcp_address", "127.0.0.1");
    KrSocketIPvx listener;
    unsigned int bound = port;
    // The system's longest queue of peers waiting to be accepted: a burst of
    // connections is then queued by the kernel instead of refused.
    listener.BindDualStack(bound, SOMAXCONN);

    KrServerCallback_t record;
    record.type = KR_EVENT_BIND_FAILED;
    record.values["address"] = address;
    record.values["port"] = std::to_string(port);
    record.values["ID"] = id();
    record.values["protocolstring"] = serverHeader->schemeName();

    while (!listener.listening) {
        if (!acceptRunning.load())
            return;
        callback(record);
        {
            // A stop ends the wait at once, not after the 30 s.
            std::unique_lock<std::mutex> lock(_stopMutex);
            _stopCondition.wait_for(lock, std::chrono::microseconds(kBindRetryMicroseconds),
                                    [this] { return !acceptRunning.load(); });
        }
        if (!acceptRunning.load())
            return;
        bound = port;
        listener.BindDualStack(bound, SOMAXCONN);
    }
    // Both listening descriptors in one set, with the wake-up that stop uses.
    {
        std::lock_guard<std::mutex> guard(_stopMutex);
        if (!acceptRunning.load())
            return;
        _acceptPoller = std::make_unique<KrPoller>();
        for (const int descriptor : {listener.ipv6Descriptor(), listener.ipv4Descriptor()}) {
            if (descriptor >= 0)
                _acceptPoller->add(descriptor, static_cast<uint64_t>(descriptor), true, false);
        }
    }
    KrDescriptorReserve& reserve = KrDescriptorReserve::process();
    reserve.raiseProcessLimit();
    const auto stopped = [this] { return !acceptRunning.load(); };
    // Port 0 lets the system choose; the listener reports the port it got.
    record.values["port"] = std::to_string(bound);
    record.type = KR_EVENT_LISTENING;
    callback(record);

    std::vector<KrPoller::Event> events;
    std::unique_ptr<KrSocketIPvx> spare;
    while (acceptRunning.load()) {
        events.clear();
        if (!_acceptPoller->wait(events, -1))
            break;
        for (const KrPoller::Event& event : events) {
            // Every peer waiting is taken before the next wait.
            for (;;) {
                // At the connections the descriptors allow, peers wait in
                // the system's queue until one of those here closes.
                if (!reserve.waitForRoom(stopped))
                    return;
                if (!spare)
                    spare = std::make_unique<KrSocketIPvx>();
                if (listener.Accept(*spare, static_cast<int>(event.key),
                                    [](KrHostInfo_t) { return true; }) < 0) {
                    if (listener.acceptExhausted()) {
                        // The listener stays readable while descriptors are
                        // short: wait a little instead of spinning on it.
                        std::unique_lock<std::mutex> lock(_stopMutex);
                        _stopCondition.wait_for(lock, std::chrono::milliseconds(100), stopped);
                    }
                    break;
                }
                std::shared_ptr<KrSocketIPvx> socket = reserve.admit(std::move(spare));
                _admit(socket, record);
            }
        }
    }
}

void KrTransceiverServerL0Socket::_admit(std::shared_ptr<KrSocketIPvx>& socket,
                                         const KrServerCallback_t& listenerRecord) {
    const std::map<std::string, std::string> peer{{"type", typeName},
                                                  {"hoststring", socket->PeerHost()},
                                                  {"port", socket->PeerService()}};
    if (!KrTransceiver::isKnownServerType(peer))
        return;
    auto* owner = static_cast<KrTransceiver*>(transceiver.load());
    if (owner == nullptr)
        return;  // detached: the peer is dropped
    KrServerCallback_t connectionRecord;
    connectionRecord.type = KR_EVENT_CONNECTION;
    connectionRecord.values["remoteaddress"] = peer.at("hoststring");
    connectionRecord.values["remoteport"] = peer.at("port");
    connectionRecord.values["ID"] = id();
    connectionRecord.values["localaddress"] = listenerRecord.values.at("address");
    connectionRecord.values["localport"] = listenerRecord.values.at("port");
    connectionRecord.values["localprotocolstring"] = listenerRecord.values.at("protocolstring");
    std::shared_ptr<KrTransceiverConnection> connection =
        _createConnection(*owner, id(), connectionRecord, socket);
    owner->_addTCPSocket(socket, connection);
    callback(connectionRecord);
}

bool KrTransceiverServerL0Socket::_connectSocket() {
    auto* owner = static_cast<KrTransceiver*>(transceiver.load());
    if (requestHeader == nullptr || owner == nullptr)
        return false;
    auto socket = std::make_shared<KrSocketIPvx>();
    // Bounded by the request's connect limit and ended by its stop: a host
    // that never answers must not hold the opener, nor the shutdown that
    // waits for it, for the minutes the system keeps trying.
    const std::shared_ptr<KrConnectStop> stop = requestHeader->connectStop();
    if (socket->Connect(requestHeader->host(), static_cast<int>(requestHeader->port()),
                        requestHeader->connectDeadline(), stop.get()) != 0 ||
        (socket->ipv6Descriptor() < 0 && socket->ipv4Descriptor() < 0))
        return false;
    KrServerCallback_t record;
    record.type = KR_EVENT_CONNECTION_INFO;
    std::shared_ptr<KrTransceiverConnection> connection =
        _createConnection(*owner, id(), record, socket);
    connectionId = owner->_addTCPSocket(socket, connection);
    return true;
}

void KrTransceiverServerL0Socket::setConnectionTimeLimit(long microseconds) {
    _connectionTimeout.store(microseconds);
}

std::shared_ptr<KrTransceiverConnection> KrTransceiverServerL0Socket::_createConnection(
    KrTransceiver& owner, std::string name, KrServerCallback_t& info,
    std::shared_ptr<KrSocketIPvx>&) {
    return std::make_shared<KrTransceiverConnection>(
        &owner, name, getSupervisorId(), info,
        [](KrTransceiver& transceiver, KrTransceiverConnection* connection) {
            transceiver.closeConnection(connection->id());
        },
        _connectionTimeout.load());
}
