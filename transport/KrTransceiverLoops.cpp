// The transceiver's workers: entry and removal of connections, the receive
// and send loops, and the housekeeping thread.
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "foundation/KrCombinedTask.h"
#include "foundation/KrException.h"
#include "foundation/KrJobMessage.h"
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

int descriptorOf(const KrConnectionRecord& record) {
    return record.socket ? record.socket->descriptor() : -1;
}

// What an event of the loops' epoll sets carries: the connection itself.
uint64_t keyOf(KrTransceiverConnection& connection) {
    return reinterpret_cast<uintptr_t>(&connection);
}

KrTransceiverConnection& connectionOf(const KrPoller::Event& event) {
    return *reinterpret_cast<KrTransceiverConnection*>(static_cast<uintptr_t>(event.key));
}

// Reads and drops what waits on a closing connection's socket, a bounded
// amount per call (the loop is told again while more waits). True when the
// peer's input has ended or the socket failed.
bool DropInput(KrSocketIPvx& socket) {
    char scratch[16384];
    for (int reads = 0; reads < 16; ++reads) {
        size_t length = 0;
        socket.lastError = 0;
        socket.Receive(scratch, sizeof scratch, length);
        if (length == 0)
            return socket.closed || (socket.lastError != EAGAIN && socket.lastError != EWOULDBLOCK);
    }
    return false;
}

}  // namespace

std::string KrTransceiver::_addTCPSocket(std::shared_ptr<KrSocketIPvx>& socket,
                                         std::shared_ptr<KrTransceiverConnection> connection) {
    if (!socket || !connection)
        throw KrException("socket and connection must be defined", __LINE__, "src");
    const std::string name = connection->id();
    std::scoped_lock both(socketsLock, lock);
    if (sockets.count(name) == 0 && !_stopping) {
        KrConnectionRecord& record = connection->record();
        record.socket = socket;
        record.self = connection;
        const auto server = servers.find(connection->serverName());
        if (server != servers.end())
            record.server = server->second;
        connections[name] = connection;
        sockets[name] = {socket, connection};
        if (socket->descriptor() >= 0)
            _receivePoller.add(socket->descriptor(), keyOf(*connection), true, false);
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
    // Every entry has its connection (_addTCPSocket takes none without).
    std::shared_ptr<KrTransceiverConnection> connection;
    bool inSendSet;
    {
        std::scoped_lock both(socketsLock, lock);
        const auto it = sockets.find(name);
        if (it == sockets.end())
            return;
        connection = it->second.second;
        const int descriptor = it->second.first->descriptor();
        const KrJobMessage gone(name, KR_MESSAGE_CONNECTION_GONE, "");
        servers.erase(name);
        postMessage(connection->ownerName(), gone);
        postMessage(connection->serverName(), gone);
        postMessage(name, gone);
        connections.erase(name);
        sockets.erase(it);
        // Out of both epoll sets while the descriptor is still open, and
        // never watched again (see _rewatch).
        std::lock_guard<std::mutex> guard(connection->record().lock);
        connection->record().removed.store(true);
        inSendSet = connection->record().inSendSet;
        if (descriptor >= 0) {
            _receivePoller.remove(descriptor);
            _sendPoller.remove(descriptor);
        }
    }
    {
        // An event either loop took before the removal may still name it.
        std::lock_guard<std::mutex> guard(_retiredLock);
        _receiveRetired.push_back(connection);
        if (inSendSet)
            _sendRetired.push_back(connection);
    }
    // Woken so that they let go of it (and its socket closes) now; the
    // receive loop lets go anyway before it waits again.
    if (std::this_thread::get_id() != _receiveThread.load())
        _receivePoller.wake();
    if (inSendSet)
        _sendPoller.wake();
    connection->_gone();
}

template <typename Change>
void KrTransceiver::_rewatch(KrTransceiverConnection& connection, Change change) {
    KrConnectionRecord& record = connection.record();
    const int descriptor = descriptorOf(record);
    if (descriptor < 0)
        return;
    std::lock_guard<std::mutex> guard(record.lock);
    if (!record.removed.load())
        change(descriptor);
}

void KrTransceiver::_dropRetired(bool receiveLoop) {
    std::vector<std::shared_ptr<KrTransceiverConnection>> retired;
    {
        std::lock_guard<std::mutex> guard(_retiredLock);
        retired.swap(receiveLoop ? _receiveRetired : _sendRetired);
    }
    // The last holder frees the connection (and closes its socket) here,
    // outside the lock.
}

void KrTransceiver::closeConnection(const std::string& name) {
    std::shared_ptr<KrTransceiverConnection> connection;
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(socketsLock);
        const auto it = sockets.find(name);
        if (it == sockets.end())
            return;
        connection = it->second.second;
    }
    // An answer queued (or still streaming) when the close is asked for
    // must still reach the peer: it is written out first. Closing the
    // socket while the peer's bytes wait unread in it would reset the
    // connection, and a reset destroys what is still on its way to the peer:
    // so the sending side is shut, and the receive loop drops what comes
    // until the peer ends its side.
    int64_t open = 0;
    if (connection->record().closingSince.compare_exchange_strong(open, steadyMicros())) {
        if (connection->isOutputPending() || connection->isAnswering())
            _outputQueued(*connection);
        else
            _linger(*connection);
    }
    // Asked again while closing: it goes as said above, or when housekeeping
    // finds its time up.
}

void KrTransceiver::_linger(KrTransceiverConnection& connection) {
    KrConnectionRecord& record = connection.record();
    if (record.inputEnded.load() || !record.socket) {
        // Everything the peer sent was read: nothing can reset it.
        _removeTCPSocket(connection.id());
        return;
    }
    if (record.lingering.exchange(true))
        return;
    record.closingSince.store(steadyMicros());
    record.socket->Shutdown();
    // Watched again if its input window had stopped the reading.
    _rewatch(connection, [&](int descriptor) {
        _receivePoller.add(descriptor, keyOf(connection), true, false);
    });
}

void KrTransceiver::wakeSender() {
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

void KrTransceiver::_outputQueued(KrTransceiverConnection& connection) {
    KrConnectionRecord& record = connection.record();
    // Written by the worker that serves the connection once it has answered.
    if (record.inWorker.load())
        return;
    if (record.sendQueued.exchange(true))
        return;  // already waiting for the send loop, which wakes anyway
    std::shared_ptr<KrTransceiverConnection> self = record.self.lock();
    if (!self) {
        record.sendQueued.store(false);
        return;  // never entered (a test's bare connection) or already gone
    }
    {
        std::lock_guard<std::mutex> guard(sendMutex);
        _sendQueue.push_back(std::move(self));
    }
    _sendPoller.wake();
}

void KrTransceiver::_flushOutput(KrTransceiverConnection& connection) {
    // A streamed answer is one being answered: most connections take no
    // lock here. A closing one whose answer has just ended closes here.
    if (connection.isOutputPending() || (connection.isAnswering() && connection.answerStream()) ||
        connection.record().resumeOnDrain.load() || connection.isClosing())
        _serviceOutput(connection);
}

void KrTransceiver::_watchInput(KrTransceiverConnection& connection, bool watch) {
    const KrConnectionRecord& record = connection.record();
    const int descriptor = descriptorOf(record);
    if (descriptor < 0 || record.removed.load())
        return;
    if (!watch)
        _receivePoller.remove(descriptor);
    else if (!record.inputEnded.load() && record.closingSince.load() == 0)
        _rewatch(connection, [&](int descriptor) {
            _receivePoller.add(descriptor, keyOf(connection), true, false);
        });
}

void KrTransceiver::_deadlineArmed(int64_t at) {
    std::lock_guard<std::mutex> guard(_housekeepingMutex);
    if (at < _housekeepingWake) {
        _housekeepingWake = at;
        _housekeepingCondition.notify_all();
    }
}

void KrTransceiver::_inputEnded(KrTransceiverConnection& connection) {
    KrConnectionRecord& record = connection.record();
    // The connection of an HTTP server that carries an outgoing request stays
    // too: an answer that ends with the peer's close ("Connection: close")
    // is read before the connection goes, not dropped with it; the server
    // closes it once nothing complete is left.
    bool carries = false;
    if (!record.answersAfterEnd.load()) {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
        const auto it = servers.find(connection.serverName());
        carries = it != servers.end() && it->second && !it->second->isListening() &&
                  dynamic_cast<KrTransceiverServerL1HTTP*>(it->second.get()) != nullptr;
    }
    if (!record.answersAfterEnd.load() && !carries) {
        _removeTCPSocket(connection.id());
        return;
    }
    // Level-triggered readiness would report the end again and again; the
    // descriptor stays in the set for a reset or failure of the connection,
    // which ends what is still being made for it.
    record.inputEndedAt.store(steadyMicros());
    record.inputEnded.store(true);
    // (A change, not an entry: it cannot bring a removed connection back.)
    const int descriptor = descriptorOf(record);
    if (descriptor >= 0 && !record.removed.load())
        _receivePoller.watchErrorsOnly(descriptor, keyOf(connection));
    // The server answers every complete request that came before the end,
    // writes it out, then closes.
    connection._signalServer();
}

void KrTransceiver::_tcpReceiveLoop() {
    _receiveThread.store(std::this_thread::get_id());
    std::vector<KrPoller::Event> events;
    std::vector<KrTransceiverConnection*> ended;
    std::vector<KrTransceiverConnection*> dead;
    while (receiving.load()) {
        events.clear();
        // The access-log lines of the answers just made go out now.
        flushLogging();
        _dropRetired(true);
        // Without end: new sockets enter the set directly, and stop wakes it.
        if (!_receivePoller.wait(events, -1)) {
            g_logger.writeLine(0, "epoll_wait() failed");
            break;
        }
        dead.clear();
        ended.clear();
        for (const KrPoller::Event& event : events) {
            KrTransceiverConnection* connection = &connectionOf(event);
            KrConnectionRecord& record = connection->record();
            // Removed by another thread after the wait returned.
            if (record.removed.load())
                continue;
            if (record.inputEnded.load()) {
                // Watched after its end of input only for a reset or a
                // failure: the peer is gone.
                if (event.broken)
                    dead.push_back(connection);
                continue;
            }
            KrSocketIPvx& socket = *record.socket;
            if (record.closingSince.load() != 0) {
                // Closing: nothing more is read for its server. What comes
                // is dropped (see closeConnection); the peer's end removes
                // a connection whose output is written, and only stops the
                // reading of one whose output is still going out.
                if (DropInput(socket)) {
                    if (!socket.closed || record.lingering.load()) {
                        dead.push_back(connection);
                    } else {
                        record.inputEnded.store(true);
                        _receivePoller.watchErrorsOnly(socket.descriptor(), keyOf(*connection));
                    }
                }
                continue;
            }
            const long got = connection->receive(socket);
            if (connection->pendingOutputBytes() > kMaxQueuedOutput)
                dead.push_back(connection);
            else if (got < 0 && socket.closed)
                ended.push_back(connection);
            else if (got < 0)
                dead.push_back(connection);
        }
        // Connections removed meanwhile are still held (see _receiveRetired).
        for (KrTransceiverConnection* connection : ended)
            _inputEnded(*connection);
        for (KrTransceiverConnection* connection : dead)
            _removeTCPSocket(connection->id());
    }
}

void KrTransceiver::_serviceOutput(KrTransceiverConnection& connection) {
    KrConnectionRecord& record = connection.record();
    if (record.removed.load() || !record.socket)
        return;
    const int state = connection.writePending(*record.socket);
    if (state < 0) {
        _removeTCPSocket(connection.id());
        return;
    }
    // A closing connection goes once its answer has ended, not merely once
    // the output queued so far is written: a streamed answer queues more.
    if (state == 0 && connection.isClosing() && !connection.isAnswering()) {
        _linger(connection);
        return;
    }
    if (state == 1) {
        // The socket is full: wait for it here instead of retrying, so other
        // connections' answers go on meanwhile.
        _rewatch(connection, [&](int descriptor) {
            record.inSendSet = true;
            _sendPoller.watchWrite(descriptor, keyOf(connection), false);
        });
    }
    if (connection.pendingOutputBytes() >= KrConnectionRecord::kOutputWindow)
        return;
    // Below the window: a streamed answer queues its next piece, or a server
    // held back by the window goes on with the next request.
    if (std::shared_ptr<KrAnswerStream> stream = connection.answerStream())
        stream->resume(connection);
    else if (record.resumeOnDrain.exchange(false))
        connection._signalServer();
}

void KrTransceiver::_tcpSendLoop() {
    std::vector<KrPoller::Event> events;
    std::deque<std::shared_ptr<KrTransceiverConnection>> ready;
    while (sending.load()) {
        {
            std::lock_guard<std::mutex> guard(sendMutex);
            ready.swap(_sendQueue);
        }
        for (const std::shared_ptr<KrTransceiverConnection>& connection : ready) {
            // Cleared first: output queued while this write runs queues again.
            connection->record().sendQueued.store(false);
            _serviceOutput(*connection);
        }
        ready.clear();
        events.clear();
        flushLogging();
        _dropRetired(false);
        // New output wakes the set through _outputQueued; full sockets
        // report writability themselves.
        if (!_sendPoller.wait(events, -1)) {
            g_logger.writeLine(0, "epoll_wait() failed");
            break;
        }
        // Connections removed meanwhile are still held (see _sendRetired).
        for (const KrPoller::Event& event : events)
            _serviceOutput(connectionOf(event));
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
            postMessage(server->getSupervisorId(), KrJobMessage(name, KR_MESSAGE_TIMED_OUT, ""));
            postMessage(name, KrJobMessage(name, KR_MESSAGE_SERVER_DROPPED, ""));
            std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
            servers.erase(name);
        }
        serverCopy.clear();

        std::vector<std::shared_ptr<KrTransceiverConnection>> all;
        {
            std::lock_guard<KrAdaptiveRecursiveMutex> guard(socketsLock);
            all.reserve(sockets.size());
            for (const auto& [name, entry] : sockets)
                all.push_back(entry.second);
        }
        const int64_t now = steadyMicros();
        int64_t next = now + 1000000;
        for (const std::shared_ptr<KrTransceiverConnection>& connection : all) {
            KrConnectionRecord& record = connection->record();
            const std::string& name = connection->id();
            // A connection asked to close whose peer does not take its last
            // output goes after the linger time.
            const int64_t closing = record.closingSince.load();
            if (closing != 0) {
                const long limit = record.lingering.load() ? kDrainAfterCloseMicroseconds
                                                           : kCloseLingerMicroseconds;
                if (now - closing >= limit)
                    _removeTCPSocket(name);
                continue;
            }
            // The server answers an expired head or body with 408 when told.
            for (const int64_t deadline :
                 {record.headDeadline.load(), record.bodyDeadline.load()}) {
                if (deadline == 0)
                    continue;
                if (deadline <= now)
                    connection->_signalServer();
                else if (deadline < next)
                    next = deadline;
            }
            // A peer that ended its input a while ago while its answer is
            // still being made: asked whether it still listens.
            const int64_t ended = record.inputEndedAt.load();
            if (ended != 0 && now - ended >= kProbeAfterMicroseconds)
                connection->_probePeer();
            if (!connection->isTimedOut())
                continue;
            if (connection->isAnswering() && connection->pendingOutputBytes() == 0) {
                // Its answer is being made (a program works on it) and
                // nothing waits for the peer to read: it is not idle. Its
                // silence counts from the answer's end.
                connection->restartTimer();
                continue;
            }
            postMessage(connection->serverName(), KrJobMessage(name, KR_MESSAGE_TIMED_OUT, ""));
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
        all.clear();

        KrCombinedTask::global().wakeAll();
        flushLogging();
        std::unique_lock<std::mutex> wait(_housekeepingMutex);
        // Once a second, or sooner for a deadline found above or armed since;
        // an expired one is looked at again a second later at most.
        _housekeepingWake = std::min(_housekeepingWake, std::max(next, now + 1000));
        while (housekeepingRunning.load() && steadyMicros() < _housekeepingWake) {
            const std::chrono::steady_clock::time_point until{
                std::chrono::microseconds(_housekeepingWake)};
            _housekeepingCondition.wait_until(wait, until);
        }
        _housekeepingWake = INT64_MAX;
    }
}
