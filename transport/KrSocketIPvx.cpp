#include "transport/KrSocketIPvx.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string_view>

#include "foundation/KrLogger.h"
#include "foundation/KrRetryInterrupted.h"
#include "transport/KrDescriptorReserve.h"
#include "transport/KrPipeSignal.h"

namespace {

// Every accepted or connected descriptor: no Nagle delay, since an answer
// goes out in one gathered write and must not wait for the peer's ACK.
void tuneConnection(int descriptor) {
    const int one = 1;
    setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void closeDescriptor(int& descriptor) {
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

int pollRetrying(pollfd* fds, nfds_t count, int timeoutMs) {
    return KrRetryInterrupted([&] { return ::poll(fds, count, timeoutMs); });
}

// No thread of this system is ever cancelled, so a socket's reads and writes
// go to the kernel without the C library's wrappers: in a process with
// threads each wrapper marks and unmarks its thread as cancellable around
// the call, two atomic changes per call on every request. ThreadSanitizer
// learns from those wrappers that a socket's reader comes after its writer,
// so its builds keep them.
ssize_t RawRead(int descriptor, void* buffer, size_t size) {
#ifdef __SANITIZE_THREAD__
    return ::read(descriptor, buffer, size);
#else
    return static_cast<ssize_t>(::syscall(SYS_read, descriptor, buffer, size));
#endif
}

ssize_t RawSendmsg(int descriptor, const msghdr* message, int flags) {
#ifdef __SANITIZE_THREAD__
    return ::sendmsg(descriptor, message, flags);
#else
    return static_cast<ssize_t>(::syscall(SYS_sendmsg, descriptor, message, flags));
#endif
}

// Milliseconds for poll until `deadline`, rounded up so that a wait never
// ends before it; -1 (no limit) for the largest time point.
int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    if (deadline == steady_clock::time_point::max())
        return -1;
    const auto left = deadline - steady_clock::now();
    if (left <= steady_clock::duration::zero())
        return 0;
    const auto ms = duration_cast<milliseconds>(left + milliseconds(1) - nanoseconds(1)).count();
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

bool isExhaustion(int error) {
    return KrDescriptorReserve::isShortage(error) || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

KrConnectStop::KrConnectStop() : _fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

KrConnectStop::~KrConnectStop() {
    closeDescriptor(_fd);
}

void KrConnectStop::signal() {
    _signalled.store(true);
    // The counter only ever grows: every waiter sees it readable from now on.
    const uint64_t one = 1;
    if (_fd >= 0)
        KrRetryInterrupted([&] { return ::write(_fd, &one, sizeof one); });
}

KrSocketIPvx::KrSocketIPvx() = default;

KrSocketIPvx::~KrSocketIPvx() {
    Close();
}

void KrSocketIPvx::Close() {
    // Half-close first so the peer reads the end of our output, not a reset.
    Shutdown();
    closeDescriptor(fd);
    closeDescriptor(fd4);
    if (_onClose) {
        const std::function<void()> closed = std::move(_onClose);
        _onClose = nullptr;
        closed();
    }
}

void KrSocketIPvx::Shutdown() {
    if (fd >= 0)
        ::shutdown(fd, SHUT_WR);
    if (fd4 >= 0)
        ::shutdown(fd4, SHUT_RDWR);
}

int KrSocketIPvx::Send(const char* data, size_t length, size_t& written) {
    iovec piece{const_cast<char*>(data), length};
    return SendVector(&piece, 1, written);
}

int KrSocketIPvx::SendVector(const iovec* pieces, int count, size_t& written) {
    written = 0;
    if (fd < 0) {
        std::cerr << "no socket" << std::endl;
        return 0;
    }
    size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += pieces[i].iov_len;
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(pieces);
    message.msg_iovlen = static_cast<size_t>(count);
    // The peer may close while we write: MSG_NOSIGNAL turns the SIGPIPE that
    // would kill the process into an EPIPE for this connection alone.
    const ssize_t sent = KrRetryInterrupted([&] { return RawSendmsg(fd, &message, MSG_NOSIGNAL); });
    if (sent < 0) {
        lastSendError = errno;
        return 3;
    }
    written = static_cast<size_t>(sent);
    return written == total ? 0 : 3;
}

int KrSocketIPvx::SendFile(int file, uint64_t& offset, size_t count, size_t& written) {
    written = 0;
    if (fd < 0)
        return 3;
    // sendfile has no MSG_NOSIGNAL: the signal a gone peer raises is
    // blocked for the call and taken.
    sigset_t before;
    KrBlockPipeSignal(&before);
    off_t at = static_cast<off_t>(offset);
    const ssize_t sent = KrRetryInterrupted([&] { return ::sendfile(fd, file, &at, count); });
    const int error = errno;
    if (sent < 0 && error == EPIPE)
        KrTakePipeSignal();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (sent < 0) {
        lastSendError = error;
        return 3;
    }
    written = static_cast<size_t>(sent);
    offset = static_cast<uint64_t>(at);
    return written == count ? 0 : 3;
}

int KrSocketIPvx::Receive(char* buffer, size_t size, size_t& length) {
    length = 0;
    const ssize_t got = KrRetryInterrupted([&] { return RawRead(fd, buffer, size); });
    if (got > 0) {
        length = static_cast<size_t>(got);
    } else if (got == 0) {
        closed = true;
    } else {
        lastError = errno;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            std::cerr << "KrSocketIPvx::Receive(): error in read (errno=" << lastError << ") "
                      << std::strerror(lastError) << std::endl;
        }
    }
    return 0;
}

int KrSocketIPvx::PollReceive(char* buffer, size_t size, size_t& length) {
    readable = false;
    length = 0;
    if (WaitReadable(1, fd) > 0 && readable)
        return Receive(buffer, size, length);
    return 0;
}

namespace {

// An IPv4 client of the dual-stack listener arrives as "::ffff:a.b.c.d"; it
// is named as the IPv4 address it is, as programs that compare it with
// "127.0.0.1" expect.
std::string WithoutMappedPrefix(std::string_view host) {
    static constexpr std::string_view kMapped = "::ffff:";
    if (host.size() > kMapped.size() && host.compare(0, kMapped.size(), kMapped) == 0 &&
        host.find('.', kMapped.size()) != std::string_view::npos)
        return std::string(host.substr(kMapped.size()));
    return std::string(host);
}

}  // namespace

std::string KrSocketIPvx::PeerHost() {
    return WithoutMappedPrefix(peerHost);
}

std::string KrSocketIPvx::LocalHost() {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    char host[NI_MAXHOST];
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        ::getnameinfo(reinterpret_cast<sockaddr*>(&address), size, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return "";
    return WithoutMappedPrefix(host);
}

std::string KrSocketIPvx::PeerService() {
    return peerService;
}

int KrSocketIPvx::WaitReadable(int timeoutMs, int descriptor) {
    pollfd entry{descriptor, POLLIN | POLLPRI, 0};
    const int result = pollRetrying(&entry, 1, timeoutMs);
    if (result < 0)
        g_logger.writeLine(0, "poll() failed");
    else if (result > 0 && (entry.revents & POLLIN))
        readable = true;
    return result;
}

int KrSocketIPvx::BindDualStack(unsigned int& requestedPort, int backlog) {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[16];
    std::snprintf(service, sizeof service, "%u", requestedPort);
    addrinfo* list = nullptr;
    const int status = getaddrinfo(nullptr, service, &hints, &list);
    if (status != 0) {
        std::cerr << "getaddrinfo: " << gai_strerror(status) << std::endl;
        return 1;
    }
    for (const int family : {AF_INET6, AF_INET}) {
        int& slot = family == AF_INET6 ? fd : fd4;
        for (addrinfo* entry = list; entry != nullptr && slot < 0; entry = entry->ai_next) {
            if (entry->ai_family != family)
                continue;
            // Non-blocking: accepted until EAGAIN on each wake-up, so a burst
            // of peers is taken in one go and the last accept never blocks.
            const int s = ::socket(entry->ai_family,
                                   entry->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                   entry->ai_protocol);
            if (s < 0)
                continue;
            const int one = 1, zero = 0;
            // A restart right after quit must not wait for TIME_WAIT; a port
            // held by a live listener is still refused.
            setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            if (family == AF_INET6)
                setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
            if (::bind(s, entry->ai_addr, entry->ai_addrlen) != 0) {
                ::close(s);
                continue;
            }
            slot = s;
        }
        if (slot < 0)
            continue;
        if (::listen(slot, backlog) != 0) {
            closeDescriptor(slot);
            continue;
        }
        if (requestedPort == 0) {
            sockaddr_storage address{};
            socklen_t size = sizeof address;
            if (getsockname(slot, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
                requestedPort = ntohs(address.ss_family == AF_INET6
                                          ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
            }
        }
        g_logger.line(1) << "bound at port number " << requestedPort;
        port = static_cast<int>(requestedPort);
    }
    freeaddrinfo(list);
    if (fd < 0 && fd4 < 0) {
        std::cerr << "Could not bind" << std::endl;
        return 1;
    }
    listening = true;
    return 0;
}

int KrSocketIPvx::AcceptEither(KrSocketIPvx& connection, int timeoutMs,
                               const std::function<bool(KrHostInfo_t)>& filter) {
    pollfd entries[2];
    nfds_t count = 0;
    for (const int descriptor : {fd, fd4}) {
        if (descriptor >= 0)
            entries[count++] = pollfd{descriptor, POLLIN, 0};
    }
    if (count == 0)
        return -1;
    // Both families are watched in one wait, so a call waits at most timeoutMs.
    const int ready = pollRetrying(entries, count, timeoutMs);
    if (ready < 0) {
        g_logger.writeLine(0, "poll() failed");
        return -1;
    }
    for (nfds_t i = 0; i < count && ready > 0; ++i) {
        if (!(entries[i].revents & POLLIN))
            continue;
        readable = true;
        const int accepted = Accept(connection, entries[i].fd, filter);
        if (accepted >= 0)
            return accepted;
        if (_exhausted) {
            // The listener stays readable while descriptors are short; wait
            // instead of spinning on it, then let the caller try again.
            pollRetrying(nullptr, 0, timeoutMs);
            return -1;
        }
    }
    return -1;
}

int KrSocketIPvx::Accept(KrSocketIPvx& connection, int listeningFd,
                         const std::function<bool(KrHostInfo_t)>& filter) {
    _exhausted = false;
    sockaddr_storage address{};
    socklen_t size;
    int descriptor;
    for (;;) {
        descriptor = KrRetryInterrupted([&] {
            size = sizeof address;
            return ::accept4(listeningFd, reinterpret_cast<sockaddr*>(&address), &size,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
        });
        if (descriptor >= 0)
            break;
        // A peer that gave up while queued: take the next one.
        if (errno == ECONNABORTED)
            continue;
        if (isExhaustion(errno)) {
            _exhausted = true;
            if (!_exhaustionReported) {
                _exhaustionReported = true;
                const std::string message =
                    std::string("accept() failed: ") + std::strerror(errno) + " (backing off)";
                g_logger.writeLine(0, message);
                std::cerr << message << std::endl;
            }
        }
        return -1;
    }
    _exhaustionReported = false;
    closeDescriptor(connection.fd);
    connection.fd = descriptor;
    if (getnameinfo(reinterpret_cast<sockaddr*>(&address), size, connection.peerHost,
                    sizeof connection.peerHost, connection.peerService,
                    sizeof connection.peerService, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        closeDescriptor(connection.fd);
        return -1;
    }
    tuneConnection(descriptor);
    connection.accepted = true;
    connection.closed = false;
    if (filter && !filter(KrHostInfo_t{connection.peerHost, connection.peerService}))
        closeDescriptor(connection.fd);
    return connection.fd;
}

int KrSocketIPvx::Connect(const std::string& host, int portNumber) {
    return Connect(host, portNumber, std::chrono::steady_clock::time_point::max(), nullptr);
}

int KrSocketIPvx::Connect(const std::string& host, int portNumber,
                          std::chrono::steady_clock::time_point deadline,
                          const KrConnectStop* stop) {
    const auto stopped = [stop] { return stop != nullptr && stop->signalled(); };
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    char service[16];
    std::snprintf(service, sizeof service, "%d", portNumber);
    addrinfo* list = nullptr;
    const int status = getaddrinfo(host.c_str(), service, &hints, &list);
    if (status != 0) {
        std::cerr << "getaddrinfo: " << gai_strerror(status) << std::endl;
        return 2;
    }
    closeDescriptor(fd);
    lastError = 0;
    for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (stopped()) {
            lastError = ECANCELED;
            break;
        }
        if (millisecondsUntil(deadline) == 0) {
            lastError = ETIMEDOUT;
            break;
        }
        // Non-blocking from the start: a host that drops the SYN would hold
        // a blocking connect for minutes, whatever the caller's time-out.
        fd = ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                      entry->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int result = ::connect(fd, entry->ai_addr, entry->ai_addrlen);
        // A non-blocking connect interrupted by a signal goes on by itself.
        if (result != 0 && (errno == EINPROGRESS || errno == EINTR)) {
            pollfd watch[2] = {{fd, POLLOUT, 0}, {stop != nullptr ? stop->_fd : -1, POLLIN, 0}};
            int ready;
            for (;;) {
                ready = pollRetrying(watch, 2, millisecondsUntil(deadline));
                // poll's millisecond may end a little before the deadline.
                if (ready != 0 || millisecondsUntil(deadline) == 0)
                    break;
            }
            if (ready < 0) {
                lastError = errno;
            } else if (watch[1].revents != 0 || stopped()) {
                lastError = ECANCELED;
            } else if (ready == 0) {
                lastError = ETIMEDOUT;
            } else {
                int error = 0;
                socklen_t size = sizeof error;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                    error = errno;
                result = error == 0 ? 0 : -1;
                lastError = error;
            }
        } else if (result != 0) {
            lastError = errno;
        }
        if (result == 0) {
            freeaddrinfo(list);
            tuneConnection(fd);
            closed = false;
            return 0;
        }
        closeDescriptor(fd);
        if (lastError == ECANCELED || lastError == ETIMEDOUT)
            break;
    }
    freeaddrinfo(list);
    std::cerr << "Could not connect, fd: " << fd << std::endl;
    return 2;
}
