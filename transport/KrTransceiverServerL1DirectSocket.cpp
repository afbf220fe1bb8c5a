#include "transport/KrTransceiverServerL1DirectSocket.h"

#include <string>

#include "foundation/KrJobMessage.h"
#include "foundation/KrURL.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverClient.h"
#include "transport/KrTransceiverConnection.h"
#include "transport/KrXHeader.h"

KrTransceiverServerL1DirectSocket::KrTransceiverServerL1DirectSocket(
    KrGavetaScheduler2* scheduler, KrXServerHeader* serverHeader, KrJob* transceiver,
    const std::string& clientName, const std::string& dispatchKey, const std::string& supervisorId,
    std::function<bool(KrServerCallback_t&)> callback, const std::string& typeName)
    : KrTransceiverServerL0Socket(scheduler, serverHeader, transceiver, clientName, dispatchKey,
                                  supervisorId, std::move(callback), typeName) {
    protocolKind = KR_PROTOCOL_SOCKET;
}

KrTransceiverServerL1DirectSocket::KrTransceiverServerL1DirectSocket(
    KrGavetaScheduler2* scheduler, KrJob* transceiver, const std::string& clientName,
    const std::string& dispatchKey, std::shared_ptr<KrXHeader> request,
    const std::string& supervisorId, std::function<bool(KrServerCallback_t&)> callback,
    const std::string& typeName)
    : KrTransceiverServerL0Socket(scheduler, transceiver, clientName, dispatchKey, request.get(),
                                  supervisorId, std::move(callback), typeName) {
    protocolKind = KR_PROTOCOL_SOCKET;
}

KrTransceiverServerL1DirectSocket::~KrTransceiverServerL1DirectSocket() {
    _shutdown(transceiver);
}

void KrTransceiverServerL1DirectSocket::_bufferSignaled(const std::string& connectionName) {
    {
        std::lock_guard<std::recursive_mutex> guard(_messageLock);
        _insert_bufferSignaled(connectionName, clientName);
    }
    waitCondition.notify_all();
}

void KrTransceiverServerL1DirectSocket::_bufferworkfunction(std::string connectionId,
                                                            std::string clientNameOfPair) {
    auto* owner = static_cast<KrTransceiver*>(transceiver.load());
    if (owner == nullptr)
        return;
    std::shared_ptr<KrTransceiverConnection> connection = owner->findConnection(connectionId);
    std::shared_ptr<KrTransceiverClient> client = owner->findClient(clientNameOfPair);
    if (!connection || !client)
        return;
    // Made as a POST, as every message a server reads.
    auto message = std::make_unique<KrXHeader>(KR_HTTP_POST, false, protocolKind);
    message->setDirection(listening ? KR_DIRECTION_REQUEST : KR_DIRECTION_ANSWER);
    connection->drainInput(message->body());
    message->addRoute(connectionId);
    message->addRoute(id());
    if (client->dispatch(dispatchKey, *message))
        return;
    // Not finished with: the client keeps the message.
    message.release();
}

bool KrTransceiverServerL1DirectSocket::_sendResponse(std::string connectionId,
                                                      KrXHeader* message) {
    restartTimer();
    if (!isActive()) {
        leaveTask(message->taskName());
        return false;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(_messageLock);
        auto* owner = static_cast<KrTransceiver*>(transceiver.load());
        std::shared_ptr<KrTransceiverConnection> connection =
            owner != nullptr ? owner->findConnection(connectionId) : nullptr;
        if (connection) {
            connection->joinTask(message->taskName());
            KrServerCallback_t record;
            record.type = KR_EVENT_ANSWER_SENT;
            record.values["ID"] = id();
            record.values["time_used"] = std::to_string(static_cast<double>(message->age()));
            record.values["status_code"] = std::to_string(message->status());
            std::unique_ptr<KrStringBuf> body = message->takeBody();
            record.values["bytes"] = std::to_string(body->Length());
            KrStringBuf* buffer = body.release();
            connection->queueOutputBuffer(buffer);
            delete buffer;
            owner->wakeSender();
            callback(record);
        }
    }
    leaveTask(message->taskName());
    return true;
}
