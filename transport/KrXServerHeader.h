#pragma once
// The parameter set with which a listener is opened ("tcp_port",
// "tcp_address", for https "cacertificate" and "privatekey"). Co-owns the
// server the transceiver creates for it, so dropping the header's last owner
// releases the server. Parameters and the attached server are guarded by
// mutex().

#include <map>
#include <memory>
#include <string>

#include "transport/KrXHeader.h"

class KrTransceiverServer;

class KrXServerHeader : public KrXHeader {
  public:
    // id: a number the application chooses (it passes 1).
    KrXServerHeader(int id, int protocolKind);
    ~KrXServerHeader() override;

    int serverId() const { return _serverId; }
    // Inserts or replaces a listener parameter.
    void setParameter(const std::string& name, const std::string& value);
    // The parameter, or `fallback` when it is absent.
    std::string parameterOr(const std::string& name, const std::string& fallback);
    std::map<std::string, std::string>& parameters() { return _parameters; }

    // The listening server made for this header; empty until the transceiver
    // attaches one.
    std::shared_ptr<KrTransceiverServer> attachedServer();
    void setAttachedServer(std::shared_ptr<KrTransceiverServer> server);
    // Stops the attached server; nothing when none is attached.
    void callAttached();

  private:
    const int _serverId;
    std::shared_ptr<KrTransceiverServer> _attachedServer;
    std::map<std::string, std::string> _parameters;
};
