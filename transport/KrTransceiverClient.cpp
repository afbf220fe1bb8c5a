#include "transport/KrTransceiverClient.h"

#include "transport/KrTransceiver.h"
#include "transport/KrXServerHeader.h"

KrTransceiverClient::KrTransceiverClient(std::function<bool(KrServerCallback_t&)> callback,
                                         const std::map<std::string, std::string>& options,
                                         KrQuivoApplication2* application)
    : serverCallback(std::move(callback)), options(options), application(application) {}

KrTransceiverClient::~KrTransceiverClient() {
    _leaveRegistry();
}

bool KrTransceiverClient::onMessage(const KrJobMessage& message) {
    if (message.kind == 6) {
        const auto task = message.values.find("ctask");
        if (task != message.values.end())
            leaveJoinedTask(task->second);
    }
    return true;
}

bool KrTransceiverClient::attachTransceiver(KrTransceiver* newTransceiver) {
    std::lock_guard<std::mutex> guard(mutex);
    if (transceiver != nullptr)
        return false;
    transceiver = newTransceiver;
    return true;
}

void KrTransceiverClient::detachTransceiver(KrTransceiver* oldTransceiver) {
    std::lock_guard<std::mutex> guard(mutex);
    if (transceiver == oldTransceiver)
        transceiver = nullptr;
}

std::string KrTransceiverClient::openServer(std::shared_ptr<KrXServerHeader> serverHeader) {
    std::lock_guard<std::mutex> guard(mutex);
    if (transceiver == nullptr)
        return "";
    const std::string name = transceiver->addServer(*this, std::move(serverHeader), serverCallback);
    if (!name.empty())
        openedServers[name] = 1;
    return name;
}

int KrTransceiverClient::openedRole(const std::string& key) {
    std::lock_guard<std::mutex> guard(mutex);
    const auto it = openedServers.find(key);
    return it == openedServers.end() ? 0 : it->second;
}

KrTransceiver* KrTransceiverClient::attachedTransceiver() {
    std::lock_guard<std::mutex> guard(mutex);
    return transceiver;
}
