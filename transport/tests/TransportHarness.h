#pragma once
// Test-only pieces for driving the transceiver over real loopback sockets:
// a raw-bytes server whose work function a test supplies, a loopback
// listener thread that hands accepted peers to the transceiver, and blocking
// client helpers with generous receive time-outs (a hang fails, never waits
// for ever).

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/KrStringBuf.h"
#include "foundation/tests/WaitFor.h"
#include "transport/KrPoller.h"
#include "transport/KrSocketIPvx.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverConnection.h"
#include "transport/KrTransceiverServer.h"
#include "transport/tests/LoopbackSocket.h"

namespace harness {

// A registered job that records the messages it is sent.
class Inbox : public KrJob {
  public:
    Inbox() { createJoinedTaskSelf("inbox"); }
    ~Inbox() override { _leaveRegistry(); }
    bool onMessage(const KrJobMessage& message) override {
        std::lock_guard<std::mutex> guard(_mutex);
        messages.push_back(message);
        _arrived.notify_all();
        return true;
    }
    // Waits (up to the test's patience) until a message of `kind` has
    // arrived; returns the messages before it and that one, or all that came
    // when it did not.
    std::vector<KrJobMessage> waitFor(int kind) {
        std::unique_lock<std::mutex> lock(_mutex);
        const auto of = [kind](const KrJobMessage& m) { return m.kind == kind; };
        if (!_arrived.wait_for(lock, kPatience, [&] {
                return std::find_if(messages.begin(), messages.end(), of) != messages.end();
            }))
            return messages;
        return {messages.begin(), std::find_if(messages.begin(), messages.end(), of) + 1};
    }
    // The kinds of waitFor's messages.
    std::vector<int> kindsUntil(int kind) {
        std::vector<int> kinds;
        for (const KrJobMessage& message : waitFor(kind))
            kinds.push_back(message.kind);
        return kinds;
    }

  private:
    std::mutex _mutex;
    std::condition_variable _arrived;
    std::vector<KrJobMessage> messages;
};

// As the level-0 layer does: "bytes arrived" queues the connection for the
// buffer-process job.
class QueueingServer : public KrTransceiverServer {
  public:
    using KrTransceiverServer::KrTransceiverServer;
    void _bufferSignaled(const std::string& text) override {
        _insert_bufferSignaled(text, clientName);
    }
    bool onMessage(const KrJobMessage& message) override {
        if (message.kind == KR_MESSAGE_BYTES_ARRIVED)
            _bufferSignaled(message.a);
        return KrTransceiverServer::onMessage(message);
    }
};

// Raw bytes in, whatever the handler queues out.
class RawServer : public QueueingServer {
  public:
    using Handler =
        std::function<void(KrTransceiver&, KrTransceiverConnection&, const std::string&)>;

    RawServer(KrGavetaScheduler2* scheduler, KrTransceiver* owner, Handler handler)
        : QueueingServer(scheduler, owner, "rawclient", "rawkey", owner->id(),
                         [](KrServerCallback_t&) { return true; }),
          _handler(std::move(handler)) {}

    ~RawServer() override { _shutdown(transceiver); }

    bool onMessage(const KrJobMessage& message) override {
        if (message.kind == KR_MESSAGE_CONNECTION_GONE) {
            std::lock_guard<std::mutex> guard(_goneMutex);
            ++_gone;
            _goneChanged.notify_all();
        }
        return QueueingServer::onMessage(message);
    }
    // Waits up to 20 s until `count` of its connections are gone.
    bool waitGone(size_t count) {
        std::unique_lock<std::mutex> lock(_goneMutex);
        return _goneChanged.wait_for(lock, std::chrono::seconds(20),
                                     [&] { return _gone >= count; });
    }

    void _bufferworkfunction(std::string connectionName, std::string) override {
        auto* owner = static_cast<KrTransceiver*>(transceiver.load());
        if (owner == nullptr)
            return;
        std::shared_ptr<KrTransceiverConnection> connection = owner->findConnection(connectionName);
        if (!connection)
            return;
        KrStringBuf input;
        connection->drainInput(input);
        std::string bytes;
        input.CopyOut(bytes, 0, UINT64_MAX);
        if (!bytes.empty())
            _handler(*owner, *connection, bytes);
    }

  private:
    Handler _handler;
    std::mutex _goneMutex;
    std::condition_variable _goneChanged;
    size_t _gone = 0;
};

inline void queue(KrTransceiverConnection& connection, const std::string& bytes) {
    size_t queued = 0;
    connection.queueOutput(bytes.data(), bytes.size(), queued);
}

// Accepts on 127.0.0.1 (port chosen by the system) and registers each peer
// with the transceiver as a connection of `serverName`.
class LoopbackListener {
  public:
    LoopbackListener(KrTransceiver& transceiver, const std::string& serverName,
                     long connectionTimeout = KrTransceiverConnection::kDefaultTimeout)
        : _transceiver(transceiver), _serverName(serverName), _timeout(connectionTimeout) {
        _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(_fd, 4096);
        socklen_t size = sizeof address;
        getsockname(_fd, reinterpret_cast<sockaddr*>(&address), &size);
        _port = ntohs(address.sin_port);
        _poller.add(_fd, 1, true, false);
        _thread = std::thread([this] { _run(); });
    }
    ~LoopbackListener() {
        {
            std::lock_guard<std::mutex> guard(_stopMutex);
            _running.store(false);
        }
        _stopped.notify_all();
        _poller.wake();
        _thread.join();
        ::close(_fd);
    }
    int port() const { return _port; }
    size_t accepted() const { return _accepted.load(); }

  private:
    void _run() {
        std::vector<KrPoller::Event> events;
        KrSocketIPvx acceptor;
        while (_running.load()) {
            events.clear();
            _poller.wait(events, -1);
            for (bool more = !events.empty(); more && _running.load();) {
                auto socket = std::make_shared<KrSocketIPvx>();
                if (acceptor.Accept(*socket, _fd, nullptr) < 0) {
                    if (errno == EMFILE || errno == ENFILE) {
                        // Out of descriptors: the listener stays readable, so
                        // wait for a stop instead of spinning on it.
                        std::unique_lock<std::mutex> lock(_stopMutex);
                        _stopped.wait_for(lock, std::chrono::milliseconds(100),
                                          [this] { return !_running.load(); });
                    }
                    break;
                }
                KrServerCallback_t info;
                info.values["remoteaddress"] = socket->PeerHost();
                auto connection = std::make_shared<KrTransceiverConnection>(
                    &_transceiver, _serverName, "", info,
                    [](KrTransceiver& owner, KrTransceiverConnection* self) {
                        owner.closeConnection(self->id());
                    },
                    _timeout);
                _transceiver._addTCPSocket(socket, connection);
                _accepted.fetch_add(1);
                pollfd next{_fd, POLLIN, 0};
                more = ::poll(&next, 1, 0) > 0;
            }
        }
    }

    KrTransceiver& _transceiver;
    std::string _serverName;
    long _timeout;
    int _fd = -1;
    int _port = 0;
    KrPoller _poller;
    std::atomic<bool> _running{true};
    std::atomic<size_t> _accepted{0};
    std::mutex _stopMutex;
    std::condition_variable _stopped;
    std::thread _thread;
};

// A blocking client socket on 127.0.0.1:port; receives give up after 60 s
// (sanitizer builds on a loaded machine are slow; a hang still ends).
inline int connectLoopback(int port) {
    const int fd = ConnectLoopback(static_cast<unsigned>(port));
    if (fd < 0)
        return -1;
    timeval limit{60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Exactly `count` bytes, or fewer when the peer closed or the time-out hit.
inline std::string receiveExactly(int fd, size_t count) {
    std::string out(count, '\0');
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::recv(fd, out.data() + done, count - done, 0);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    out.resize(done);
    return out;
}

// Everything until the peer closes; `closed` tells whether it did.
inline std::string receiveToEnd(int fd, bool& closed) {
    std::string out;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            closed = n == 0;
            return out;
        }
        out.append(chunk, static_cast<size_t>(n));
    }
}

// Raises the soft descriptor limit to the hard one; returns the new limit.
inline rlim_t raiseDescriptorLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

}  // namespace harness
