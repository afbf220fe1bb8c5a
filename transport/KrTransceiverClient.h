#pragma once
// The request handler of the web server: registered with the transceiver, it
// opens listeners through it (openServer) and receives every complete message
// read on a server it opened. This file holds the part the transport core
// needs: registration, the listener road and the client's job messages.
//
// `mutex` guards `transceiver`, `openedServers` and every call of
// KrTransceiver::send the client makes. The transceiver and the application
// are not owned.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/KrJob.h"
#include "transport/KrServerCallback_t.h"

class KrTransceiver;
class KrXServerHeader;
class KrQuivoApplication2;

class KrTransceiverClient : public KrJob {
  public:
    KrTransceiverClient(std::function<bool(KrServerCallback_t&)> callback,
                        const std::map<std::string, std::string>& options,
                        KrQuivoApplication2* application);
    ~KrTransceiverClient() override;

    // Kind 6 with "ctask": leaves that task. Always true.
    bool onMessage(const KrJobMessage& message) override;
    // Stores the transceiver when none is stored (true); else keeps the old one.
    virtual bool attachTransceiver(KrTransceiver* transceiver);
    // Clears the transceiver when it is the one given.
    virtual void detachTransceiver(KrTransceiver* transceiver);
    // Opens a listener through the transceiver; the name the transceiver
    // returns (the header's job id) is recorded with role 1. "" without a
    // transceiver or when nothing was opened.
    virtual std::string openServer(std::shared_ptr<KrXServerHeader> serverHeader);

    // Role of a dispatch key: 1 listener, 2 outgoing request, 0 unknown.
    int openedRole(const std::string& key);
    KrTransceiver* attachedTransceiver();

  protected:
    std::mutex mutex;
    KrTransceiver* transceiver = nullptr;
    std::map<std::string, int> openedServers;
    std::function<bool(KrServerCallback_t&)> serverCallback;
    std::map<std::string, std::string> options;
    KrQuivoApplication2* application;
};
