#pragma once
// IPv4 datagram socket on the older base: non-blocking, close-on-exec, sends
// to the address the base resolved. Nothing on the web server's path uses it.

#include <cstddef>
#include <string>

#include "transport/KrSocket.h"

class KrUDPSocket : public KrSocket {
  public:
    explicit KrUDPSocket(bool disabled) : KrSocket(disabled) {}
    // The descriptor, or -1 when disabled or refused ("Failed to create socket").
    int Create() override;
    ~KrUDPSocket() override;
    // 0 when the whole datagram went, else 3 with errno saved.
    int SendTo(const char* data, size_t length);
    // 0 bytes sets the closed flag; a failure saves errno with length 0. Returns 0.
    int RecvFrom(char* buffer, size_t size, size_t& length);
    std::string PeerHost() { return {}; }
    std::string PeerService() { return {}; }

    bool isClosed() const { return _closed; }
    int savedErrno() const { return _savedErrno; }
    const std::string& errorText() const { return _errorText; }

  private:
    bool _closed = false;
};
