// The transceiver's workers: entry and removal of connections, the receive
// and send loops, and the housekeeping thread.
#include <chrono>
#include <vector>

#include "foundation/KrCombinedTask.h"
#include "foundation/KrException.h"
#include "foundation/KrLogger.h"
#include "transport/KrSocketIPvx.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverConnection.h"
#include "transport/KrTransceiverServer.h"
#include "transport/KrTransceiverServerL1HTTP.h"

namespace {

int64_t steadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A loop body returns its record unchanged, so the scheduler does not repeat it.
KrGavetaJobAtttributes loopAttributes(const std::string& name, std::function<void()> stop) {
    KrGavetaJobAtttributes attributes;
    attributes._jo_name = name;
    attributes._jo_stop = std::move(stop);
    return attributes;
}

// The transceiver whose output the calling thread writes itself, and the
// connections that have output waiting for that thread's next flush.
thread_local KrTransceiver* tBatchOwner = nullptr;
thread_local std::vector<std::string>* tBatch = nullptr;

}  // namespace

std::string KrTransceiver::_addTCPSocket(std::shared_ptr<KrSocketIPvx>& socket,
                                         std::shared_ptr<KrTransceiverConnection> connection) {
    if (!socket || !connection)
        throw KrException("socket and connection must be defined", __LINE__, "src");
    const std::string name = connection->id();
    std::scoped_lock both(socketsLock, lock);
    if (sockets.count(name) == 0 && !_stopping) {
        connections[name] = connection;
        sockets[name] = {socket, connection};
        const uint64_t serial = ++_nextSerial;
        _nameOfSerial[serial] = name;
        _serialOfName[name] = serial;
        if (socket->descriptor() >= 0)
            _receivePoller.add(socket->descriptor(), serial, true, false);
    }
    _startLoopsNL();
    return name;
}

void KrTransceiver::_startLoopsNL() {
    if (_stopping)
        return;
    if (receiveJobId == 0) {
        receiving.store(true);
        receiveJobId = scheduler->addJob(
            [this](KrGavetaJobParametersAndResult* parameters) {
                _tcpReceiveLoop();
                return parameters;
            },
            nullptr, loopAttributes("KrTransceiver_tcp_rcv" + id(), [this] {
                receiving.store(false);
                _receivePoller.wake();
            }));
    }
    if (sendJobId == 0) {
        sending.store(true);
        sendJobId = scheduler->addJob(
            [this](KrGavetaJobParametersAndResult* parameters) {
                _tcpSendLoop();
                return parameters;
            },
            nullptr, loopAttributes("KrTransceiver_tcp_snd" + id(), [this] {
                sending.store(false);
                _sendPoller.wake();
            }));
    }
}

void KrTransceiver::_removeTCPSocket(std::string name) {
    std::shared_ptr<KrSocketIPvx> socket;
    std::shared_ptr<KrTransceiverConnection> connection;
    {
        std::scoped_lock both(socketsLock, lock);
        const auto it = sockets.find(name);
        if (it == sockets.end())
            return;
        socket = it->second.first;
        connection = it->second.second;
        const KrJobMessage gone(name, 2, "");
        servers.erase(name);
        if (connection) {
            postMessage(connection->ownerName(), gone);
            postMessage(connection->serverName(), gone);
        }
        postMessage(name, gone);
        // Out of both epoll sets while the descriptor is still open.
        if (socket->descriptor() >= 0) {
            _receivePoller.remove(socket->descriptor());
            _sendPoller.remove(socket->descriptor());
        }
        connections.erase(name);
        sockets.erase(it);
        const auto serial = _serialOfName.find(name);
        if (serial != _serialOfName.end()) {
            _nameOfSerial.erase(serial->second);
            _serialOfName.erase(serial);
        }
        _closingSince.erase(name);
    }
    // A connection that lives on in a worker's hands keeps no task alive.
    if (connection)
        connection->leaveAllTasks();
}

void KrTransceiver::closeConnection(const std::string& name) {
    std::shared_ptr<KrTransceiverConnection> connection;
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(socketsLock);
        const auto it = sockets.find(name);
        if (it == sockets.end())
            return;
        connection = it->second.second;
        // An answer queued just before the close must still reach the peer:
        // the send loop writes it out and then removes the connection. A
        // second request (housekeeping) removes it at once.
        if (connection && connection->isOutputPending() && connection->_markClosing()) {
            _closingSince[name] = steadyMicros();
            connection.reset();
        }
    }
    if (connection)
        _removeTCPSocket(name);
    else
        _outputQueued(name);
}

void KrTransceiver::wakeSender() {
    // Output queued on a thread that writes its own output is written at
    // that thread's next flush; anything else woke the send loop when queued.
    if (tBatchOwner == this)
        return;
    _sendPoller.wake();
}

bool KrTransceiver::_signalDirectly(const std::string& serverName,
                                    const std::string& connectionName) {
    std::shared_ptr<KrTransceiverServer> server;
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
        const auto it = servers.find(serverName);
        if (it == servers.end() || it->second == nullptr || !it->second->isListening())
            return false;
        server = it->second;
    }
    // Only the HTTP layer's signal is known to take no server lock, so the
    // receive loop never waits on a server here.
    auto* http = dynamic_cast<KrTransceiverServerL1HTTP*>(server.get());
    if (http == nullptr)
        return false;
    http->_bufferSignaled(connectionName);
    return true;
}

void KrTransceiver::_outputQueued(const std::string& name) {
    if (tBatchOwner == this) {
        for (const std::string& held : *tBatch) {
            if (held == name)
                return;
        }
        tBatch->push_back(name);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(sendMutex);
        if (!_sendQueued.insert(name).second)
            return;  // already waiting for the send loop, which wakes anyway
        _sendQueue.push_back(name);
    }
    _sendPoller.wake();
}

void KrTransceiver::_beginOutputBatch() {
    static thread_local std::vector<std::string> names;
    names.clear();
    tBatch = &names;
    tBatchOwner = this;
}

void KrTransceiver::_flushOutputBatch() {
    if (tBatchOwner != this)
        return;
    // Writing may close a connection, whose removal queues nothing more for
    // this batch; the names are taken first all the same.
    std::vector<std::string> names;
    names.swap(*tBatch);
    for (const std::string& name : names)
        _serviceOutput(name);
    names.clear();
    if (tBatch->empty())
        names.swap(*tBatch);  // keeps the storage for the next flush
}

void KrTransceiver::_endOutputBatch() {
    if (tBatchOwner != this)
        return;
    std::vector<std::string> names;
    names.swap(*tBatch);
    tBatchOwner = nullptr;
    tBatch = nullptr;
    for (size_t i = 0; i < names.size(); ++i) {
        try {
            _serviceOutput(names[i]);
        } catch (...) {
            // The rest is left to the send loop rather than forgotten.
            for (size_t j = i + 1; j < names.size(); ++j)
                _outputQueued(names[j]);
            throw;
        }
    }
}

bool KrTransceiver::_lookup(uint64_t serial, SocketEntry& out) {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(socketsLock);
    const auto name = _nameOfSerial.find(serial);
    if (name == _nameOfSerial.end())
        return false;
    const auto it = sockets.find(name->second);
    out = SocketEntry{name->second, it->second.first, it->second.second};
    return true;
}

bool KrTransceiver::_lookup(const std::string& name, SocketEntry& out, uint64_t& serial) {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(socketsLock);
    const auto it = sockets.find(name);
    if (it == sockets.end())
        return false;
    out = SocketEntry{name, it->second.first, it->second.second};
    serial = _serialOfName[name];
    return true;
}

void KrTransceiver::_tcpReceiveLoop() {
    std::vector<KrPoller::Event> events;
    std::vector<std::string> dead;
    while (receiving.load()) {
        events.clear();
        // Without end: new sockets enter the set directly, and stop wakes it.
        if (!_receivePoller.wait(events, -1)) {
            g_logger.writeLine(0, "epoll_wait() failed");
            break;
        }
        dead.clear();
        for (const KrPoller::Event& event : events) {
            SocketEntry entry;
            if (!_lookup(event.key, entry) || !entry.connection)
                continue;
            const long got = entry.connection->receive(*entry.socket);
            if (got < 0 || entry.connection->pendingOutputBytes() > kMaxQueuedOutput)
                dead.push_back(entry.name);
        }
        for (const std::string& name : dead)
            _removeTCPSocket(name);
    }
}

void KrTransceiver::_serviceOutput(const std::string& name) {
    SocketEntry entry;
    uint64_t serial = 0;
    if (!_lookup(name, entry, serial) || !entry.connection)
        return;
    const int state = entry.connection->writePending(*entry.socket);
    if (state == 1) {
        // The socket is full: wait for it here instead of retrying, so other
        // connections' answers go on meanwhile.
        _sendPoller.watchWrite(entry.socket->descriptor(), serial, false);
    } else if (state < 0 || entry.connection->isClosing()) {
        _removeTCPSocket(name);
    }
}

void KrTransceiver::_tcpSendLoop() {
    std::vector<KrPoller::Event> events;
    std::deque<std::string> ready;
    while (sending.load()) {
        {
            std::lock_guard<std::mutex> guard(sendMutex);
            ready.swap(_sendQueue);
            _sendQueued.clear();
        }
        for (const std::string& name : ready)
            _serviceOutput(name);
        ready.clear();
        events.clear();
        // New output wakes the set through _outputQueued; full sockets
        // report writability themselves.
        if (!_sendPoller.wait(events, -1)) {
            g_logger.writeLine(0, "epoll_wait() failed");
            break;
        }
        for (const KrPoller::Event& event : events) {
            SocketEntry entry;
            if (_lookup(event.key, entry))
                _serviceOutput(entry.name);
        }
    }
}

void KrTransceiver::_housekeeping() {
    while (housekeepingRunning.load()) {
        std::map<std::string, std::shared_ptr<KrTransceiverServer>> serverCopy;
        {
            std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
            serverCopy = servers;
        }
        for (auto& [name, server] : serverCopy) {
            if (!server || !server->isTimedOut())
                continue;
            postMessage(server->getSupervisorId(), KrJobMessage(name, 1, ""));
            postMessage(name, KrJobMessage(name, 3, ""));
            std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
            servers.erase(name);
        }
        serverCopy.clear();

        std::map<std::string, std::shared_ptr<KrTransceiverConnection>> connectionCopy;
        {
            std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
            connectionCopy = connections;
        }
        for (auto& [name, connection] : connectionCopy) {
            if (!connection || !connection->isTimedOut())
                continue;
            postMessage(connection->serverName(), KrJobMessage(name, 1, ""));
            std::shared_ptr<KrTransceiverConnection> taken;
            {
                std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
                const auto it = connections.find(name);
                if (it != connections.end()) {
                    taken = std::move(it->second);
                    connections.erase(it);
                }
            }
            if (taken)
                taken->requestClose();
        }
        connectionCopy.clear();

        // A connection asked to close whose peer does not take its last
        // output goes after the linger time.
        std::vector<std::string> overdue;
        {
            std::lock_guard<KrAdaptiveRecursiveMutex> guard(socketsLock);
            const int64_t now = steadyMicros();
            for (const auto& [name, since] : _closingSince) {
                if (now - since >= kCloseLingerMicroseconds)
                    overdue.push_back(name);
            }
        }
        for (const std::string& name : overdue)
            _removeTCPSocket(name);

        KrCombinedTask::global().wakeAll();
        std::unique_lock<std::mutex> wait(_housekeepingMutex);
        _housekeepingCondition.wait_for(wait, std::chrono::seconds(1),
                                        [this] { return !housekeepingRunning.load(); });
    }
}
