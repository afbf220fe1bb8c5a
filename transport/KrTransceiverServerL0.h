#pragma once
// The level-0 server: turns the job messages a server receives into work.
// KR_MESSAGE_BYTES_ARRIVED becomes _bufferSignaled; KR_MESSAGE_CONNECTION_GONE
// makes a server that carries outgoing requests refuse further sends until
// its time-out check re-arms it, and tells its supervisor once the bytes that
// came before are served (_connectionGone). Adds _open, by which the transceiver opens a
// server right after creating it; only the socket layer can actually open.

#include "transport/KrTransceiverServer.h"

class KrTransceiverServerL0 : public KrTransceiverServer {
  public:
    using KrTransceiverServer::KrTransceiverServer;

    // Always true.
    bool onMessage(const KrJobMessage& message) override;
    // Listens or connects; false at this level.
    virtual bool _open();
};
