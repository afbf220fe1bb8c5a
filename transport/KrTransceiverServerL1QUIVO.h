#pragma once
// The HTTP server under the application's own protocol names "quivo" and
// "quivos": same reader and writer, protocol kind 6.

#include "transport/KrTransceiverServerL1HTTP.h"

class KrTransceiverServerL1QUIVO : public KrTransceiverServerL1HTTP {
  public:
    KrTransceiverServerL1QUIVO(KrGavetaScheduler2* scheduler, KrXServerHeader* serverHeader,
                               KrJob* transceiver, const std::string& clientName,
                               const std::string& dispatchKey, const std::string& supervisorId,
                               std::function<bool(KrServerCallback_t&)> callback,
                               const std::string& typeName);
    KrTransceiverServerL1QUIVO(KrGavetaScheduler2* scheduler, KrJob* transceiver,
                               const std::string& clientName, const std::string& dispatchKey,
                               std::shared_ptr<KrXHeader> request, const std::string& supervisorId,
                               std::function<bool(KrServerCallback_t&)> callback,
                               const std::string& typeName);
};
