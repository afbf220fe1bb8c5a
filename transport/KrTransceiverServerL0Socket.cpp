#include "transport/KrTransceiverServerL0Socket.h"

#include <chrono>
#include <cstdio>
#include <map>

#include "transport/KrSocketIPvx.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverConnection.h"
#include "transport/KrXServerHeader.h"

namespace {

std::string Unsigned(unsigned long value) {
    char text[24];
    std::snprintf(text, sizeof text, "%lu", value);
    return text;
}

}  // namespace

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
      requestHeader(requestHeader) {}

KrTransceiverServerL0Socket::~KrTransceiverServerL0Socket() {
    _stopAccepting();
}

void KrTransceiverServerL0Socket::stop() {
    {
        std::lock_guard<std::mutex> guard(_stopMutex);
        acceptRunning.store(false);
    }
    _stopCondition.notify_all();
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
    listener.BindDualStack(bound, 16);

    KrServerCallback_t record;
    record.type = 3;
    record.values["address"] = address;
    record.values["port"] = Unsigned(port);
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
        listener.BindDualStack(bound, 16);
    }
    if (!acceptRunning.load())
        return;
    // Port 0 lets the system choose; the listener reports the port it got.
    record.values["port"] = Unsigned(bound);
    record.type = 4;
    callback(record);

    std::unique_ptr<KrSocketIPvx> spare;
    while (acceptRunning.load()) {
        if (!spare)
            spare = std::make_unique<KrSocketIPvx>();
        if (listener.AcceptEither(*spare, 500, [](KrHostInfo_t) { return true; }) < 0)
            continue;
        std::shared_ptr<KrSocketIPvx> socket(spare.release());
        const std::map<std::string, std::string> peer{{"type", typeName},
                                                      {"hoststring", socket->PeerHost()},
                                                      {"port", socket->PeerService()}};
        if (!KrTransceiver::isKnownServerType(peer))
            continue;
        auto* owner = static_cast<KrTransceiver*>(transceiver);
        if (owner == nullptr)
            continue;  // detached: the peer is dropped
        KrServerCallback_t connectionRecord;
        connectionRecord.type = 5;
        connectionRecord.values["remoteaddress"] = peer.at("hoststring");
        connectionRecord.values["remoteport"] = peer.at("port");
        connectionRecord.values["ID"] = id();
        connectionRecord.values["localaddress"] = record.values["address"];
        connectionRecord.values["localport"] = record.values["port"];
        connectionRecord.values["localprotocolstring"] = record.values["protocolstring"];
        std::shared_ptr<KrTransceiverConnection> connection =
            _createConnection(*owner, id(), connectionRecord, socket);
        owner->_addTCPSocket(socket, connection);
        callback(connectionRecord);
    }
}

bool KrTransceiverServerL0Socket::_connectSocket() {
    auto* owner = static_cast<KrTransceiver*>(transceiver);
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
    record.type = 0;
    std::shared_ptr<KrTransceiverConnection> connection =
        _createConnection(*owner, id(), record, socket);
    connectionId = owner->_addTCPSocket(socket, connection);
    return true;
}

std::shared_ptr<KrTransceiverConnection> KrTransceiverServerL0Socket::_createConnection(
    KrTransceiver& owner, std::string name, KrServerCallback_t& info,
    std::shared_ptr<KrSocketIPvx>&) {
    return std::make_shared<KrTransceiverConnection>(
        &owner, name, getSupervisorId(), info,
        [](KrTransceiver& transceiver, KrTransceiverConnection* connection) {
            transceiver.closeConnection(connection->id());
        });
}
