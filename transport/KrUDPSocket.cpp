#include "transport/KrUDPSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "foundation/KrRetryInterrupted.h"

KrUDPSocket::~KrUDPSocket() = default;

int KrUDPSocket::Create() {
    if (_disabled) {
        _fd = -1;
        return -1;
    }
    _fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
    if (_fd < 0) {
        _errorText = "Failed to create socket";
        _savedErrno = 1;
    }
    return _fd;
}

int KrUDPSocket::SendTo(const char* data, size_t length) {
    const ssize_t sent = ::sendto(_fd, data, length, MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&_address), sizeof _address);
    if (sent == static_cast<ssize_t>(length))
        return 0;
    _savedErrno = errno;
    return 3;
}

int KrUDPSocket::RecvFrom(char* buffer, size_t size, size_t& length) {
    length = 0;
    const ssize_t got =
        KrRetryInterrupted([&] { return ::recvfrom(_fd, buffer, size, 0, nullptr, nullptr); });
    if (got == 0)
        _closed = true;
    else if (got < 0)
        _savedErrno = errno;
    else
        length = static_cast<size_t>(got);
    return 0;
}
