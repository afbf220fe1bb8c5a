#include "transport/KrSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

#include "foundation/KrLogger.h"
#include "foundation/KrRetryInterrupted.h"

namespace {

int pollOne(int descriptor, short events, int timeoutMs, short& seen) {
    pollfd entry{descriptor, events, 0};
    const int result = KrRetryInterrupted([&] { return ::poll(&entry, 1, timeoutMs); });
    seen = entry.revents;
    return result;
}

}  // namespace

KrSocket::KrSocket(bool disabled) : _disabled(disabled) {
    std::cout << "Socket created" << std::endl;
}

KrSocket::~KrSocket() {
    if (_fd >= 0) {
        ::shutdown(_fd, SHUT_RDWR);
        ::close(_fd);
        g_logger.line(1) << "socket closed, port " << _port;
    }
}

bool KrSocket::ResolveHost(sockaddr_in& record, const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) {
        std::perror(host.c_str());
        return false;
    }
    record = *reinterpret_cast<sockaddr_in*>(list->ai_addr);
    record.sin_port = htons(static_cast<uint16_t>(port));
    freeaddrinfo(list);
    return true;
}

int KrSocket::Connect(const std::string& host, int port) {
    if (!ResolveHost(_address, host, port))
        return 2;
    _port = port;
    _savedErrno = 0;
    const int result = KrRetryInterrupted(
        [&] { return ::connect(_fd, reinterpret_cast<sockaddr*>(&_address), sizeof _address); });
    if (result == 0) {
        g_logger.line(0) << "errno=" << errno;
        return 0;
    }
    if (errno == EINPROGRESS || errno == EISCONN)
        return 0;
    g_logger.line(0) << "connect error (" << _savedErrno << ", " << errno << ":"
                     << std::strerror(errno) << ")";
    _savedErrno = errno;
    return 2;
}

bool KrSocket::WaitConnected() {
    // poll, not select: descriptors of 1024 and above are ordinary here.
    short seen = 0;
    if (pollOne(_fd, POLLOUT, 0, seen) <= 0 || !(seen & POLLOUT))
        return false;
    int error = 0;
    socklen_t size = sizeof error;
    return getsockopt(_fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

int KrSocket::WaitReadable() {
    short seen = 0;
    const int result = pollOne(_fd, POLLIN, 10, seen);
    _readable = result > 0 && (seen & POLLIN);
    return result;
}

int KrSocket::BindListen(const char* address, int& port, int backlog, bool retry) {
    _address = sockaddr_in{};
    _address.sin_family = AF_INET;
    _address.sin_port = htons(static_cast<uint16_t>(port));
    if (address == nullptr || inet_pton(AF_INET, address, &_address.sin_addr) != 1)
        _address.sin_addr.s_addr = htonl(INADDR_ANY);
    const int one = 1;
    // A restart right after quit must not wait for TIME_WAIT.
    setsockopt(_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int result = ::bind(_fd, reinterpret_cast<sockaddr*>(&_address), sizeof _address);
    while (result != 0 && retry) {
        if (errno == EADDRINUSE)
            g_logger.writeLine(1, "address in use");
        g_logger.writeLine(1, "waiting...");
        std::this_thread::sleep_for(std::chrono::seconds(1));
        result = ::bind(_fd, reinterpret_cast<sockaddr*>(&_address), sizeof _address);
    }
    if (result != 0)
        return result;
    if (port == 0) {
        socklen_t size = sizeof _address;
        getsockname(_fd, reinterpret_cast<sockaddr*>(&_address), &size);
        port = ntohs(_address.sin_port);
    }
    _port = port;
    g_logger.line(1) << "bound at port number " << port;
    if (::listen(_fd, backlog) != 0)
        return errno;
    _listening = true;
    return 0;
}

int KrSocket::Accept(int listeningFd) {
    sockaddr_in peer{};
    socklen_t size;
    int descriptor;
    // A peer that gave up while queued: take the next one.
    do {
        descriptor = KrRetryInterrupted([&] {
            size = sizeof peer;
            return ::accept4(listeningFd, reinterpret_cast<sockaddr*>(&peer), &size,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
        });
    } while (descriptor < 0 && errno == ECONNABORTED);
    if (descriptor < 0)
        return -1;
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, dotted, sizeof dotted);
    g_logger.line(1) << "connected with " << dotted << " on port " << peer.sin_port;
    int on = 1;
    socklen_t length = sizeof on;
    if (setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        getsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, &length) != 0) {
        g_logger.writeLine(1, "setsockopt() keepalive  failed");
    }
    return descriptor;
}

int KrSocket::PollEvents(int timeoutMs) {
    short seen = 0;
    const int result =
        pollOne(_fd, POLLIN | POLLPRI | POLLOUT | POLLERR | POLLHUP, timeoutMs, seen);
    if (result < 0) {
        g_logger.writeLine(0, "poll() failed");
        std::cout << "poll() failed" << std::endl;
        return result;
    }
    if (seen & POLLIN) {
        _readable = true;
        std::cout << result << " poll() POLLIN" << std::endl;
        return result;
    }
    static const struct {
        short bit;
        const char* text;
    } names[] = {{POLLHUP, " poll() POLLHUP"},
                 {POLLOUT, " poll() POLLOUT"},
                 {POLLPRI, " poll() POLLPRI"},
                 {POLLERR, " poll() POLLERR"}};
    for (const auto& name : names) {
        if (seen & name.bit)
            std::cout << result << name.text << std::endl;
    }
    return result;
}
