#include "transport/KrTransceiverServerL1QUIVO.h"

#include "foundation/KrURL.h"

KrTransceiverServerL1QUIVO::KrTransceiverServerL1QUIVO(
    KrGavetaScheduler2* scheduler, KrXServerHeader* serverHeader, KrJob* transceiver,
    const std::string& clientName, const std::string& dispatchKey, const std::string& supervisorId,
    std::function<bool(KrServerCallback_t&)> callback, const std::string& typeName)
    : KrTransceiverServerL1HTTP(scheduler, serverHeader, transceiver, clientName, dispatchKey,
                                supervisorId, std::move(callback), typeName) {
    protocolKind = KR_PROTOCOL_QUIVO;
}

KrTransceiverServerL1QUIVO::KrTransceiverServerL1QUIVO(
    KrGavetaScheduler2* scheduler, KrJob* transceiver, const std::string& clientName,
    const std::string& dispatchKey, std::shared_ptr<KrXHeader> request,
    const std::string& supervisorId, std::function<bool(KrServerCallback_t&)> callback,
    const std::string& typeName)
    : KrTransceiverServerL1HTTP(scheduler, transceiver, clientName, dispatchKey, std::move(request),
                                supervisorId, std::move(callback), typeName) {
    protocolKind = KR_PROTOCOL_QUIVO;
}
