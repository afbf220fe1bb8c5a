#pragma once
// The client side of the HTTP benchmarks: a keep-alive connection to a
// loopback port and the framing of the answers that come back on it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "transport/tests/LoopbackSocket.h"

// A connection to 127.0.0.1:port with Nagle off; ends the program when the
// server is not there.
inline int ConnectTo(unsigned port) {
    const int fd = ConnectLoopback(port);
    if (fd < 0) {
        std::perror("connect");
        std::exit(1);
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Length of the complete answer (head and Content-Length body) at the start
// of `in`, or 0 while it is incomplete.
inline size_t CompleteAnswer(const std::string& in) {
    const size_t end = in.find("\r\n\r\n");
    if (end == std::string::npos)
        return 0;
    const size_t field = in.find("Content-Length: ");
    const size_t length = field < end ? std::strtoul(in.c_str() + field + 16, nullptr, 10) : 0;
    return in.size() >= end + 4 + length ? end + 4 + length : 0;
}
