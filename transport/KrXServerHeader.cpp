#include "transport/KrXServerHeader.h"

#include "transport/KrTransceiverServer.h"

KrXServerHeader::KrXServerHeader(int id, int protocolKind)
    : KrXHeader(KR_HTTP_POST, false, protocolKind), _serverId(id) {}

KrXServerHeader::~KrXServerHeader() = default;

void KrXServerHeader::setParameter(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> guard(mutex());
    _parameters[name] = value;
}

std::string KrXServerHeader::parameterOr(const std::string& name, const std::string& fallback) {
    std::lock_guard<std::mutex> guard(mutex());
    auto found = _parameters.find(name);
    return found == _parameters.end() ? fallback : found->second;
}

std::shared_ptr<KrTransceiverServer> KrXServerHeader::attachedServer() {
    std::lock_guard<std::mutex> guard(mutex());
    return _attachedServer;
}

void KrXServerHeader::setAttachedServer(std::shared_ptr<KrTransceiverServer> server) {
    std::lock_guard<std::mutex> guard(mutex());
    _attachedServer = std::move(server);
}

void KrXServerHeader::callAttached() {
    // Stop outside the lock: stopping may wait for the server's jobs.
    std::shared_ptr<KrTransceiverServer> server = attachedServer();
    if (server)
        server->stop();
}
