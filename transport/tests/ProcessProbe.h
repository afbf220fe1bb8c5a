#pragma once
// Test-only: what /proc tells of processes and of this process's
// descriptors, for tests that watch the programs a server runs.

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// Whether process `pid` runs: one that ended (a zombie not yet reaped
// among them) does not.
inline bool ProcessAlive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    // "pid (name) state ...": the name may hold blanks and parentheses.
    std::istringstream fields(line.substr(line.rfind(')') + 1));
    std::string state;
    fields >> state;
    return state != "Z" && state != "X";
}

// The descriptors of this process that lead to `kind` ("socket", "pipe").
inline size_t OpenDescriptorsOf(const std::string& kind) {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string().rfind(kind + ":", 0) == 0)
            ++count;
    }
    return count;
}

// The connected sockets of this process whose own end is on `port`: the
// connections a server in it accepted there (its listeners have no peer,
// its clients' ends another port).
inline size_t AcceptedSocketsOn(unsigned port) {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_storage own{};
        sockaddr_storage peer{};
        socklen_t ownLength = sizeof own;
        socklen_t peerLength = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLength) != 0 ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
            continue;
        const unsigned ownPort =
            own.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in&>(own).sin_port)
            : own.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(own).sin6_port)
                                        : 0;
        if (ownPort == port)
            ++count;
    }
    return count;
}
