// The road of outgoing requests through the transceiver: one URL hook service
// per requesting client and destination, whose carriers are the client-role
// servers of the request's protocol.

#include <iostream>
#include <memory>

#include "foundation/KrURL.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverClient.h"
#include "transport/KrTransceiverServerL1DirectSocket.h"
#include "transport/KrTransceiverServerL1HTTP.h"
#include "transport/KrTransceiverServerL1QUIVO.h"
#include "transport/KrURLHookService.h"
#include "transport/KrXHeader.h"

namespace {

template <class Layer>
KrURLHookService::CarrierFactory CarrierOf(const char* typeName) {
    return [typeName](KrGavetaScheduler2* scheduler, KrJob* transceiver, std::string client,
                      std::string requestId, std::shared_ptr<KrXHeader> request,
                      std::string serviceId, std::function<bool(KrServerCallback_t&)> callback) {
        auto carrier =
            std::make_shared<Layer>(scheduler, transceiver, client, requestId, std::move(request),
                                    serviceId, std::move(callback), typeName);
        return KrURLHookCarrier_t{carrier, [carrier] { return carrier->_open(); }};
    };
}

KrURLHookService::CarrierFactory CarrierFactoryFor(int protocolKind) {
    switch (protocolKind) {
        case KR_PROTOCOL_HTTP:
            return CarrierOf<KrTransceiverServerL1HTTP>("HTTP");
        case KR_PROTOCOL_QUIVO:
            return CarrierOf<KrTransceiverServerL1QUIVO>("QUIVO");
        case KR_PROTOCOL_SOCKET:
            return CarrierOf<KrTransceiverServerL1DirectSocket>("DirectSocket");
        default:
            return nullptr;
    }
}

}  // namespace

bool KrTransceiver::_hookRequest(KrTransceiverClient& client,
                                 const std::shared_ptr<KrXHeader>& message, Callback callback,
                                 const std::string& taskName) {
    const std::string key = message->urlText();
    std::shared_ptr<KrURLHookService> service;
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
        std::shared_ptr<KrURLHookService>& slot = hooks[client.id()][key];
        if (!slot) {
            KrURLHookService::CarrierFactory factory = CarrierFactoryFor(message->protocolKind());
            if (!factory)
                return false;
            slot = std::make_shared<KrURLHookService>(
                scheduler, this, client.id(), std::move(callback), std::move(factory), id());
            hookServices[slot->id()] = slot;
        }
        service = slot;
    }
    service->joinTask(taskName);
    message->setTaskName(taskName);
    std::shared_ptr<KrXHeader> request = message;
    bool refused = false;
    service->_hookURL(request, refused, false);
    return !refused;
}

size_t KrTransceiver::hookServiceCount() {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
    return hookServices.size();
}

unsigned long KrTransceiver::printMessageStacks() {
    // Asked outside `lock`: a service's message lock is held while its
    // carriers look up connections under `lock`.
    std::map<std::string, std::shared_ptr<KrURLHookService>> services;
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
        services = hookServices;
    }
    unsigned long pending = 0;
    for (const auto& [name, service] : services) {
        std::cout << "m-stack: " << service->queuedCount() << std::endl;
        pending += service->pendingCount();
    }
    return pending;
}
