#pragma once
// Raw bytes, no framing: each pass of the buffer-process job over a
// connection turns whatever bytes arrived since the last pass into one
// message for the client (a request on a listener, an answer on a carrier),
// and a message sent back is written to the connection as its bare body.
// Message boundaries are therefore not preserved.

#include <memory>

#include "transport/KrTransceiverServerL0Socket.h"

class KrTransceiverServerL1DirectSocket : public KrTransceiverServerL0Socket {
  public:
    // Listening role.
    KrTransceiverServerL1DirectSocket(KrGavetaScheduler2* scheduler, KrXServerHeader* serverHeader,
                                      KrJob* transceiver, const std::string& clientName,
                                      const std::string& dispatchKey,
                                      const std::string& supervisorId,
                                      std::function<bool(KrServerCallback_t&)> callback,
                                      const std::string& typeName);
    // Client role.
    KrTransceiverServerL1DirectSocket(KrGavetaScheduler2* scheduler, KrJob* transceiver,
                                      const std::string& clientName, const std::string& dispatchKey,
                                      std::shared_ptr<KrXHeader> request,
                                      const std::string& supervisorId,
                                      std::function<bool(KrServerCallback_t&)> callback,
                                      const std::string& typeName);
    ~KrTransceiverServerL1DirectSocket() override;

    void _bufferworkfunction(std::string connectionId, std::string clientName) override;
    // Queues the body as it is and reports KR_EVENT_ANSWER_SENT.
    bool _sendResponse(std::string connectionId, KrXHeader* message) override;
    void _bufferSignaled(const std::string& connectionName) override;
};
