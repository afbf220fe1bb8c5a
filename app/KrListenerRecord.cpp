#include "app/KrListenerRecord.h"

#include <utility>

#include "transport/KrTransceiverClient.h"

KrListenerRecord::KrListenerRecord(std::string address, int port, int protocol)
    : address(std::move(address)), port(port), protocol(protocol) {}

KrListenerRecord::KrListenerRecord(std::string address, int port, int protocol,
                                   const std::map<std::string, std::string>& options)
    : address(std::move(address)), port(port), protocol(protocol), options(options) {}

KrListenerRecord::KrListenerRecord(const KrListenerRecord& other)
    : address(other.address), port(other.port), protocol(other.protocol), options(other.options) {}

KrListenerRecord& KrListenerRecord::operator=(const KrListenerRecord& other) {
    if (this != &other) {
        address = other.address;
        port = other.port;
        protocol = other.protocol;
        options = other.options;
        client.reset();
    }
    return *this;
}

KrListenerRecord::~KrListenerRecord() = default;

std::string KrListenerRecord::option(const std::string& name, const std::string& fallback) const {
    const auto it = options.find(name);
    return it == options.end() ? fallback : it->second;
}
