// The transceiver's workers: entry and removal of connections, the receive
// and send loops, and the housekeeping thread.
#include <malloc.h>

#include <algorithm>
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

namespace {

// A loop body returns its record unchanged, so the scheduler does not repeat it.
KrGavetaJobAtttributes loopAttributes(const std::string& name, std::function<void()> stop) {
    KrGavetaJobAtttributes attributes;
    attributes._jo_name = name;
    attributes._jo_stop = std::move(stop);
    return attributes;
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

// Takes bytes and keeps none: what a closing connection's peer sent.
class DiscardBuffer : public std::streambuf {
  protected:
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

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

std::shared_ptr<KrTransceiverConnection> KrTransceiver::_entered(const std::string& name) {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(socketsLock);
    const auto it = sockets.find(name);
    return it == sockets.end() ? nullptr : it->second.second;
}

void KrTransceiver::_removeTCPSocket(std::string name) {
    const std::shared_ptr<KrTransceiverConnection> connection = _entered(name);
    if (connection && connection->isServedHere())
        _gone(*connection);
    else if (connection)
        connection->_post(KrConnectionRecord::kBroken);
}

void KrTransceiver::closeConnection(const std::string& name) {
    const std::shared_ptr<KrTransceiverConnection> connection = _entered(name);
    if (connection && connection->isServedHere())
        _close(*connection);
    else if (connection)
        connection->_post(KrConnectionRecord::kCloseAsked);
}

void KrTransceiver::_serve(KrTransceiverConnection& connection, bool onWorker) {
    KrConnectionRecord& record = connection.record();
    const KrTransceiverConnection::ServingHere here(connection);
    const std::shared_ptr<KrTransceiverServer> server = record.server.lock();
    const bool underTurn = server && server->_readsUnderTurn();
    do {
        const uint32_t news = record.takeNews();
        if (connection.phase() == KrConnectionPhase::kGone) {
            // All that can still happen to it: the answer that was being
            // made ends, and its access-log line is written.
            if ((news & KrConnectionRecord::kAnswerEnded) != 0)
                _endAnswer(connection, true);
            continue;
        }
        _take(connection, news, underTurn);
        // A server that reads on its own jobs is told by message.
        if (!underTurn && (news & KrConnectionRecord::kInput) != 0)
            connection._tellServer();
        if (underTurn && connection.phase() != KrConnectionPhase::kGone) {
            const KrTransceiverServer::Served served =
                server->_serveConnection(connection, onWorker);
            // The turn went with the connection to one of the server's workers.
            if (served == KrTransceiverServer::Served::kHandedOff)
                return;
            // Its server has stopped: nobody can answer it.
            if (served == KrTransceiverServer::Served::kCannotServe)
                _gone(connection);
        }
        if (connection.phase() == KrConnectionPhase::kGone)
            continue;
        _writeOut(connection);
        // A closing connection whose output is all out, its answer ended,
        // shuts its sending side. (The store of Closing comes before this
        // look at the output, the send loop's drain before its look at the
        // phase: one of the two sees the other.)
        if (connection.phase() == KrConnectionPhase::kClosing && !record.answer &&
            connection.pendingOutputBytes() == 0)
            _linger(connection);
    } while (!record.leave());
}

void KrTransceiver::_take(KrTransceiverConnection& connection, uint32_t news, bool underTurn) {
    KrConnectionRecord& record = connection.record();
    using News = KrConnectionRecord::News;
    // First the end of an answer: a connection that goes in the same step
    // then has no answer left to cancel.
    if ((news & News::kAnswerEnded) != 0 && record.answer)
        _endAnswer(connection, (news & News::kLastAnswer) != 0);
    if ((news & News::kBroken) != 0) {
        _gone(connection);
        return;
    }
    // (Traffic since the news was posted restarted its silence.)
    if ((news & News::kIdle) != 0 && connection.deadline().expired()) {
        if (record.answer && connection.pendingOutputBytes() == 0) {
            // Its answer is being made (a program works on it) and nothing
            // waits for the peer to read: it is not idle. Its silence
            // counts from the answer's end.
            connection.setActive(true);
            connection.restartTimer();
        } else {
            postMessage(connection.serverName(),
                        KrJobMessage(connection.id(), KR_MESSAGE_TIMED_OUT, ""));
            _gone(connection);
            return;
        }
    }
    if ((news & News::kInputEnded) != 0) {
        record.inputEnded = true;
        // Only a server that answers what came before the end keeps the
        // connection (and closes it once it has); a lingering one was
        // waiting for just this.
        if (!underTurn || connection.phase() == KrConnectionPhase::kLingering) {
            _gone(connection);
            return;
        }
    }
    if ((news & News::kCloseAsked) != 0) {
        // A request handed to a worker is answered first: the close is news
        // again, taken once its answer is made (or has begun).
        if (connection.phase() == KrConnectionPhase::kAtWorker)
            record.post(News::kCloseAsked);
        else
            _close(connection);
    }
    // A closing connection whose peer does not take its last output, or a
    // lingering one whose peer does not end its side, goes at its deadline.
    // (The deadline of a request being read is the server's to answer.)
    const KrConnectionPhase phase = connection.phase();
    const int64_t deadline = record.deadline.load();
    if ((news & News::kDeadline) != 0 && deadline != 0 && KrSteadyMicros() >= deadline &&
        (phase == KrConnectionPhase::kClosing || phase == KrConnectionPhase::kLingering)) {
        _gone(connection);
        return;
    }
    if ((news & News::kDrained) != 0 && connection.phase() == KrConnectionPhase::kDraining &&
        connection.pendingOutputBytes() < KrConnectionRecord::kOutputWindow)
        connection._setPhase(KrConnectionPhase::kReading);
}

void KrTransceiver::_writeOut(KrTransceiverConnection& connection) {
    KrConnectionRecord& record = connection.record();
    if (!record.socket || connection.phase() == KrConnectionPhase::kGone)
        return;
    for (;;) {
        if (connection.isOutputPending()) {
            const int state = connection.writePending(*record.socket);
            if (state < 0) {
                _gone(connection);
                return;
            }
            if (state == 1)
                _watchOutput(connection);
        }
        // Below the window: a streamed answer queues its next piece (a file
        // at once, so that it is written in this same turn; a program's
        // output comes on the runner's thread).
        if (!record.answer ||
            connection.pendingOutputBytes() >= KrConnectionRecord::kOutputWindow)
            return;
        const uint64_t queued = connection.queuedPosition();
        record.answer->resume(connection);
        if (connection.queuedPosition() == queued || !connection.isOutputPending())
            return;
    }
}

void KrTransceiver::_close(KrTransceiverConnection& connection) {
    const KrConnectionPhase phase = connection.phase();
    if (phase == KrConnectionPhase::kClosing || phase == KrConnectionPhase::kLingering ||
        phase == KrConnectionPhase::kGone)
        return;
    KrConnectionRecord& record = connection.record();
    connection._setPhase(KrConnectionPhase::kClosing);
    // Its output still counts as traffic (a close request clears the flag).
    connection.setActive(true);
    // Nothing more is read for its server: what came and comes is dropped
    // (an answer queued or still being made goes out first). Closing the
    // socket while the peer's bytes wait unread in it would reset the
    // connection, and a reset destroys what is still on its way to the
    // peer: so the sending side is shut first (_linger).
    DiscardBuffer discard;
    connection.drainInput(discard);
    record.request.reset();
    // The output has this long to go out once the answer has ended.
    if (record.answer)
        record.deadline.store(0);
    else
        _armDeadline(connection, KrSteadyMicros() + kCloseLingerMicroseconds);
}

void KrTransceiver::_endAnswer(KrTransceiverConnection& connection, bool last,
                              const KrAnswerLine* made, uint64_t start) {
    KrConnectionRecord& record = connection.record();
    if (made != nullptr) {
        connection._markAnswer(start, *made);
    } else {
        connection._closeAnswer();
        record.answer.reset();
    }
    const KrConnectionPhase phase = connection.phase();
    if (phase == KrConnectionPhase::kGone)
        return;
    if (phase == KrConnectionPhase::kClosing) {
        // Its last answer has ended: the rest of its output has this long.
        if (made == nullptr)
            _armDeadline(connection, KrSteadyMicros() + kCloseLingerMicroseconds);
    } else if (last) {
        _close(connection);
    } else if (phase == KrConnectionPhase::kAnswering) {
        connection._setPhase(KrConnectionPhase::kReading);
    }
}

void KrTransceiver::_linger(KrTransceiverConnection& connection) {
    KrConnectionRecord& record = connection.record();
    if (record.inputEnded || !record.socket) {
        // Everything the peer sent was read: nothing can reset it.
        _gone(connection);
        return;
    }
    connection._setPhase(KrConnectionPhase::kLingering);
    record.socket->Shutdown();
    _armDeadline(connection, KrSteadyMicros() + kDrainAfterCloseMicroseconds);
}

void KrTransceiver::_armDeadline(KrTransceiverConnection& connection, int64_t at) {
    connection.record().deadline.store(at);
    std::lock_guard<std::mutex> guard(_housekeepingMutex);
    if (at < _housekeepingWake) {
        _housekeepingWake = at;
        _housekeepingCondition.notify_all();
    }
}

void KrTransceiver::_gone(KrTransceiverConnection& connection) {
    KrConnectionRecord& record = connection.record();
    if (connection.phase() == KrConnectionPhase::kGone)
        return;
    const std::string& name = connection.id();
    // Held until this ends, and then by each loop that may still report it.
    std::shared_ptr<KrTransceiverConnection> held;
    bool inSendSet;
    {
        std::scoped_lock both(socketsLock, lock);
        const auto it = sockets.find(name);
        const KrJobMessage gone(name, KR_MESSAGE_CONNECTION_GONE, "");
        servers.erase(name);
        postMessage(connection.ownerName(), gone);
        postMessage(connection.serverName(), gone);
        postMessage(name, gone);
        if (it != sockets.end()) {
            held = std::move(it->second.second);
            sockets.erase(it);
        }
        connections.erase(name);
        // Out of both epoll sets while the descriptor is still open, and
        // never watched again (see _rewatch): every thread sees the end at
        // once.
        std::lock_guard<std::mutex> guard(record.watchLock);
        connection._setPhase(KrConnectionPhase::kGone);
        inSendSet = record.inSendSet;
        const int descriptor = record.socket ? record.socket->descriptor() : -1;
        if (descriptor >= 0) {
            _receivePoller.remove(descriptor);
            _sendPoller.remove(descriptor);
        }
    }
    record.deadline.store(0);
    // Nothing more is written; answers that ended are logged with what
    // reached the peer. Its input and output are freed now, not when the
    // last holder (an abandoned program) lets go of it.
    connection._closeOutput();
    connection.resetBuffers();
    if (held) {
        std::lock_guard<std::mutex> guard(_retiredLock);
        _receiveRetired.push_back(held);
        if (inSendSet)
            _sendRetired.push_back(held);
    }
    // Woken so that they let go of it now; the receive loop, which alone
    // reads the socket, closes it before it waits again.
    if (std::this_thread::get_id() != _receiveThread.load())
        _receivePoller.wake();
    if (inSendSet)
        _sendPoller.wake();
    // The answer being made is cancelled now: a file stops, a program is
    // abandoned (it finishes its work, its output dropped) and tells its end
    // later, which logs it.
    if (record.answer && record.answer->cancel())
        _endAnswer(connection, true);
    record.answer.reset();
    record.request.reset();
    record.unfinished.reset();
    // The client owns the task: its leaving dissolves it (without messages).
    // Otherwise every connection ever served would leave one behind.
    if (!record.task.empty()) {
        KrCombinedTask::global().leave(record.task, record.taskOwner);
        record.task.clear();
    }
    connection.leaveAllTasks();
}

template <typename Change>
void KrTransceiver::_rewatch(KrTransceiverConnection& connection, Change change) {
    KrConnectionRecord& record = connection.record();
    if (!record.socket)
        return;
    // The descriptor is read only while the connection is not gone: the
    // receive loop closes it after that.
    std::lock_guard<std::mutex> guard(record.watchLock);
    const int descriptor = record.socket->descriptor();
    if (connection.phase() != KrConnectionPhase::kGone && descriptor >= 0)
        change(record, descriptor);
}

void KrTransceiver::_watchOutput(KrTransceiverConnection& connection) {
    // The socket is full: the send loop waits for it instead of this thread
    // retrying, so other connections' answers go on meanwhile.
    _rewatch(connection, [&](KrConnectionRecord& record, int descriptor) {
        record.inSendSet = true;
        _sendPoller.watchWrite(descriptor, keyOf(connection), false);
    });
}

void KrTransceiver::_dropRetired(bool receiveLoop) {
    std::vector<std::shared_ptr<KrTransceiverConnection>> retired;
    {
        std::lock_guard<std::mutex> guard(_retiredLock);
        retired.swap(receiveLoop ? _receiveRetired : _sendRetired);
    }
    // Between two waits the receive loop reads no socket: a gone
    // connection's closes here, also while an abandoned program's answer
    // still holds the connection. The last holder frees the connection
    // here, outside the lock.
    if (receiveLoop) {
        for (const std::shared_ptr<KrTransceiverConnection>& connection : retired)
            connection->_closeSocket();
    }
}

void KrTransceiver::wakeSender() {
    _sendPoller.wake();
}

void KrTransceiver::_outputQueued(KrTransceiverConnection& connection) {
    KrConnectionRecord& record = connection.record();
    // The turn holder writes its connection's output before it lets go.
    if (connection.isServedHere())
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

void KrTransceiver::_watchInput(KrTransceiverConnection& connection, bool watch) {
    // While reading waits, a reset or a failure is still seen: the
    // connection goes at once, not when its reading would have resumed.
    _rewatch(connection, [&](KrConnectionRecord& record, int descriptor) {
        if (record.readEnded)
            return;  // watched for errors only from now on
        if (watch)
            _receivePoller.add(descriptor, keyOf(connection), true, false);
        else
            _receivePoller.watchErrorsOnly(descriptor, keyOf(connection));
    });
}

void KrTransceiver::_inputEnded(KrTransceiverConnection& connection) {
    // Level-triggered readiness would report the end again and again; the
    // descriptor stays in the set for a reset or failure of the connection,
    // which ends what is still being made for it.
    _rewatch(connection, [&](KrConnectionRecord& record, int descriptor) {
        record.readEnded = true;
        _receivePoller.watchErrorsOnly(descriptor, keyOf(connection));
    });
    connection._post(KrConnectionRecord::kInputEnded);
}

void KrTransceiver::_tcpReceiveLoop() {
    _receiveThread.store(std::this_thread::get_id());
    std::vector<KrPoller::Event> events;
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
        // A connection that goes meanwhile is still held (see _receiveRetired).
        for (const KrPoller::Event& event : events) {
            KrTransceiverConnection& connection = connectionOf(event);
            KrConnectionRecord& record = connection.record();
            const KrConnectionPhase phase = connection.phase();
            if (phase == KrConnectionPhase::kGone)
                continue;
            if (record.readEnded.load() || (event.broken && !event.readable)) {
                // Watched after its end of input (or while its reading
                // waits) only for a reset or a failure: the peer is gone.
                if (event.broken)
                    connection._post(KrConnectionRecord::kBroken);
                continue;
            }
            KrSocketIPvx& socket = *record.socket;
            if (phase == KrConnectionPhase::kClosing || phase == KrConnectionPhase::kLingering) {
                // Nothing more is read for its server (see _close).
                if (DropInput(socket)) {
                    if (socket.closed)
                        _inputEnded(connection);
                    else
                        connection._post(KrConnectionRecord::kBroken);
                }
                continue;
            }
            const long got = connection.receive(socket);
            if (connection.heldOutputBytes() > kMaxQueuedOutput)
                connection._post(KrConnectionRecord::kBroken);
            else if (got < 0 && socket.closed)
                _inputEnded(connection);
            else if (got < 0)
                connection._post(KrConnectionRecord::kBroken);
        }
    }
}

void KrTransceiver::_serviceOutput(KrTransceiverConnection& connection) {
    KrConnectionRecord& record = connection.record();
    if (connection.phase() == KrConnectionPhase::kGone || !record.socket)
        return;
    const int state = connection.writePending(*record.socket);
    if (state < 0) {
        connection._post(KrConnectionRecord::kBroken);
        return;
    }
    if (state == 1)
        _watchOutput(connection);
    // A phase that waits for the output is told: a streamed answer queues
    // its next piece, the next request is read, a closing connection shuts.
    const KrConnectionPhase phase = connection.phase();
    const size_t pending = connection.pendingOutputBytes();
    if ((pending < KrConnectionRecord::kOutputWindow &&
         (phase == KrConnectionPhase::kAnswering || phase == KrConnectionPhase::kDraining)) ||
        (pending == 0 && phase == KrConnectionPhase::kClosing))
        connection._post(KrConnectionRecord::kDrained);
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
        // A connection that goes meanwhile is still held (see _sendRetired).
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
        const int64_t now = KrSteadyMicros();
        int64_t next = now + 1000000;
        // Only news: what a deadline or a silence means is the turn holder's
        // to decide.
        for (const std::shared_ptr<KrTransceiverConnection>& connection : all) {
            const int64_t deadline = connection->record().deadline.load();
            if (deadline != 0 && deadline <= now)
                connection->_post(KrConnectionRecord::kDeadline);
            else if (deadline != 0 && deadline < next)
                next = deadline;
            // Read, not armed again: the holder judges the silence.
            if (connection->deadline().expired())
                connection->_post(KrConnectionRecord::kIdle);
        }
        // Once most of the connections of a crowd have gone, the heap gives
        // the memory they held back to the system (the allocator keeps
        // freed memory of its threads otherwise: 1,000 peers of a large
        // file left 5.2 MiB behind them, 0.3 MiB with this).
        _connectionPeak = std::max(_connectionPeak, all.size());
        if (_connectionPeak >= kTrimAfterPeak && all.size() < _connectionPeak / 4) {
            ::malloc_trim(0);
            _connectionPeak = all.size();
        }
        all.clear();

        KrCombinedTask::global().wakeAll();
        flushLogging();
        std::unique_lock<std::mutex> wait(_housekeepingMutex);
        // Once a second, or sooner for a deadline found above or armed since;
        // an expired one is looked at again a second later at most.
        _housekeepingWake = std::min(_housekeepingWake, std::max(next, now + 1000));
        while (housekeepingRunning.load() && KrSteadyMicros() < _housekeepingWake) {
            const std::chrono::steady_clock::time_point until{
                std::chrono::microseconds(_housekeepingWake)};
            _housekeepingCondition.wait_until(wait, until);
        }
        _housekeepingWake = INT64_MAX;
    }
}
