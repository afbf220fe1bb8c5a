#pragma once
// The TCP socket of the transport: a listening object holds an IPv6 and an
// IPv4 descriptor bound to one port; a connection object holds the one
// descriptor of an accepted or outgoing connection.
//
// Owns its descriptors and closes them in its destructor. Every descriptor is
// opened close-on-exec, so child programs never inherit a listener or a peer;
// connection descriptors are non-blocking with TCP_NODELAY set. Operations
// report through return codes and the logger (channel 0 errors, channel 1
// information) and never throw. Used by one thread at a time per direction.

#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The peer as the accept filter sees it.
struct KrHostInfo_t {
    std::string host;
    std::string service;
};

// Ends the connects that watch it, from any thread and at once: a wake-up
// descriptor that Connect waits on beside the socket. Once signalled it stays
// signalled, so a connect that starts later gives up before it begins.
// Owns its descriptor (close-on-exec).
class KrConnectStop {
  public:
    KrConnectStop();
    ~KrConnectStop();
    KrConnectStop(const KrConnectStop&) = delete;
    KrConnectStop& operator=(const KrConnectStop&) = delete;

    void signal();
    bool signalled() const { return _signalled.load(); }

  private:
    friend class KrSocketIPvx;
    int _fd = -1;
    std::atomic<bool> _signalled{false};
};

class KrSocketIPvx {
  public:
    KrSocketIPvx();
    virtual ~KrSocketIPvx();
    KrSocketIPvx(const KrSocketIPvx&) = delete;
    KrSocketIPvx& operator=(const KrSocketIPvx&) = delete;

    // Writes without raising SIGPIPE. Returns 0 when the whole length was
    // written, 3 otherwise; `written` receives the count taken. A failed
    // write keeps errno in lastSendError (EAGAIN: the socket is full).
    virtual int Send(const char* data, size_t length, size_t& written);
    // One read; `length` receives the count. 0 bytes from the peer sets
    // `closed`. Nothing waiting on a non-blocking socket gives length 0 with
    // lastError EAGAIN and `closed` unchanged. Returns 0.
    virtual int Receive(char* buffer, size_t size, size_t& length);
    // Waits up to 1 ms for input, then Receive; length 0 when none came.
    virtual int PollReceive(char* buffer, size_t size, size_t& length);
    virtual std::string PeerHost();
    virtual std::string PeerService();
    // The numeric address of this end of a connection, named as PeerHost
    // names the peer's; "" when it cannot be told.
    std::string LocalHost();
    // Send with one gathered write of several pieces; codes as Send.
    virtual int SendVector(const iovec* pieces, int count, size_t& written);
    // Sends up to `count` bytes of the open file `file` from `offset`
    // (moved on by what was sent) straight from the kernel's page cache,
    // without raising SIGPIPE; codes as Send. `written` 0 with lastSendError
    // 0: the file ends before `offset`.
    int SendFile(int file, uint64_t& offset, size_t count, size_t& written);

    // Binds the wildcard address of IPv6 (also taking IPv4) and IPv4 on
    // `port` (0: the system picks; the choice is stored back) with
    // SO_REUSEADDR and listens. 0 when at least one descriptor listens, else 1.
    int BindDualStack(unsigned int& port, int backlog);
    // Waits up to timeoutMs on both listening descriptors at once and
    // accepts one peer into `connection`; its descriptor, or -1.
    int AcceptEither(KrSocketIPvx& connection, int timeoutMs,
                     const std::function<bool(KrHostInfo_t)>& filter);
    // Accepts one peer on `listeningFd` (one of this object's descriptors)
    // into `connection`; the new descriptor, or -1 (none waiting, or
    // acceptExhausted()). Listening descriptors never block.
    int Accept(KrSocketIPvx& connection, int listeningFd,
               const std::function<bool(KrHostInfo_t)>& filter);
    // poll for input on `descriptor`; sets `readable` on POLLIN; poll's result.
    int WaitReadable(int timeoutMs, int descriptor);
    // 0 connected, 2 failed. The connected descriptor is non-blocking.
    // Waits for the connection as long as the system tries (minutes for a
    // host that never answers); see the bounded form below.
    int Connect(const std::string& host, int port);
    // Connects without blocking: the addresses of `host` are tried in turn
    // until `deadline`, and `stop` (may be null) ends the attempt at once.
    // 0 connected; 2 failed, timed out or stopped (lastError: the connect's
    // errno, ETIMEDOUT, or ECANCELED). The name look-up is the system's and
    // is not bounded here.
    int Connect(const std::string& host, int port, std::chrono::steady_clock::time_point deadline,
                const KrConnectStop* stop);
    // shutdown of the open descriptors without closing them.
    void Shutdown();
    // Shuts down and closes the descriptors now (the destructor does it
    // otherwise); later operations fail with EBADF. Whoever calls it makes
    // sure no other thread uses the socket meanwhile: the system hands the
    // numbers out again at its next open.
    void Close();
    // Called once, when the descriptors close.
    void setOnClose(std::function<void()> closed) { _onClose = std::move(closed); }

    // The descriptor the transceiver's loops watch: `fd`, else `fd4`, else -1.
    int descriptor() const { return fd >= 0 ? fd : fd4; }
    int ipv6Descriptor() const { return fd; }
    int ipv4Descriptor() const { return fd4; }
    // The last Accept failed for lack of descriptors or memory.
    bool acceptExhausted() const { return _exhausted; }

    int port = -1;
    std::string text;
    bool listening = false;
    bool closed = true;
    bool readable = false;
    // errno of the last failed read.
    int lastError = 0;
    // errno of the last failed write; apart from lastError because the send
    // loop writes while the receive loop reads the same socket.
    int lastSendError = 0;
    bool accepted = false;

  private:
    // The connection's descriptor, or the IPv6 listening descriptor.
    int fd = -1;
    // The IPv4 listening descriptor.
    int fd4 = -1;
    char peerHost[1025] = {};
    char peerService[32] = {};
    // Set after a failed accept for lack of descriptors or memory has been
    // reported; cleared by the next successful accept.
    bool _exhaustionReported = false;
    // The last Accept failed for lack of resources: AcceptEither backs off.
    bool _exhausted = false;
    std::function<void()> _onClose;
};
