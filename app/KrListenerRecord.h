#pragma once
// One listening server the application opens: where it listens, with which
// protocol (a KrProtocolKind: KR_PROTOCOL_HTTP; KR_PROTOCOL_HTTPS gets no
// server), its own options, and, once the application runs, the web client
// that serves it. A copy carries no client.

#include <map>
#include <memory>
#include <string>

#include "foundation/KrURL.h"

class KrTransceiverClient;

class KrListenerRecord {
  public:
    KrListenerRecord(std::string address, int port, int protocol);
    KrListenerRecord(std::string address, int port, int protocol,
                     const std::map<std::string, std::string>& options);
    KrListenerRecord(const KrListenerRecord& other);
    KrListenerRecord& operator=(const KrListenerRecord& other);
    KrListenerRecord(KrListenerRecord&&) = default;
    KrListenerRecord& operator=(KrListenerRecord&&) = default;
    ~KrListenerRecord();

    // The record's option, or `fallback` when it has none.
    std::string option(const std::string& name, const std::string& fallback) const;

    std::string address;
    int port;
    int protocol;
    std::map<std::string, std::string> options;
    std::shared_ptr<KrTransceiverClient> client;
};
