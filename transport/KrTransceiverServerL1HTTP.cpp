#include "transport/KrTransceiverServerL1HTTP.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <exception>
#include <iostream>
#include <ostream>

#include "foundation/KrCombinedTask.h"
#include "foundation/KrURL.h"
#include "transport/KrFileHandle.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverClient.h"
#include "transport/KrTransceiverConnection.h"
#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"

namespace {

// The server whose buffer-process job runs on this thread: answers sent from
// inside its dispatch leave their file bodies to be streamed after dispatch,
// outside the transceiver's send lock.
thread_local const KrTransceiverServerL1HTTP* tWorkingServer = nullptr;
// Work a handler left to be done after its dispatch returns.
thread_local std::function<void()>* tDeferred = nullptr;
// Whether this thread's answers left file bodies to stream (most leave none,
// and then the files lock is not taken).
thread_local bool tFilesDeferred = false;

int64_t SteadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool NeedsEscape(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f || c == '"' || c == '\\';
}

void AppendEscaped(std::string& out, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    // Runs of plain characters (all of a well-formed request's) go in whole.
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!NeedsEscape(text[i]))
            continue;
        out.append(text, start, i - start);
        const auto byte = static_cast<unsigned char>(text[i]);
        const char escaped[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        out.append(escaped, 4);
        start = i + 1;
    }
    out.append(text, start, std::string::npos);
}

void AppendNumber(std::string& out, unsigned long value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// The stream answer heads are written through, made once per thread:
// making one per answer costs more than writing a small head. Its format
// is put back to the defaults each time, whatever a writer changed.
std::ostream& HeadStream(std::streambuf* buffer) {
    thread_local std::ostream out(nullptr);
    out.rdbuf(buffer);  // also clears the state
    out.flags(std::ios_base::dec | std::ios_base::skipws);
    out.fill(' ');
    out.precision(6);
    out.width(0);
    return out;
}

// The first value, or "-" when there is none; no copy is made.
const std::string& FirstOrDash(const std::vector<std::string>& values) {
    static const std::string kDash = "-";
    return values.empty() ? kDash : values.front();
}

}  // namespace

KrTransceiverServerL1HTTP::KrTransceiverServerL1HTTP(
    KrGavetaScheduler2* scheduler, KrXServerHeader* serverHeader, KrJob* transceiver,
    const std::string& clientName, const std::string& dispatchKey, const std::string& supervisorId,
    std::function<bool(KrServerCallback_t&)> callback, const std::string& typeName)
    : KrTransceiverServerL0Socket(scheduler, serverHeader, transceiver, clientName, dispatchKey,
                                  supervisorId, std::move(callback), typeName) {
    protocolKind = 3;
    // Requests of different connections are independent: parse and answer
    // them on several threads, each connection's requests still in order.
    const unsigned cores = std::thread::hardware_concurrency();
    _setBufferWorkers(std::clamp<size_t>(cores / 2, 2, 8));
}

KrTransceiverServerL1HTTP::KrTransceiverServerL1HTTP(
    KrGavetaScheduler2* scheduler, KrJob* transceiver, const std::string& clientName,
    const std::string& dispatchKey, std::shared_ptr<KrXHeader> request,
    const std::string& supervisorId, std::function<bool(KrServerCallback_t&)> callback,
    const std::string& typeName)
    : KrTransceiverServerL0Socket(scheduler, transceiver, clientName, dispatchKey, request.get(),
                                  supervisorId, std::move(callback), typeName) {
    protocolKind = 3;
    listening = false;
}

KrTransceiverServerL1HTTP::~KrTransceiverServerL1HTTP() {
    _shutdown(transceiver);
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
    pending.clear();
}

bool KrTransceiverServerL1HTTP::deferCurrent(std::function<void()> work) {
    if (tDeferred == nullptr || *tDeferred)
        return false;
    *tDeferred = std::move(work);
    return true;
}

void KrTransceiverServerL1HTTP::_startDeferred(const std::string& connectionId,
                                               std::shared_ptr<KrXHeader> header,
                                               std::shared_ptr<KrTransceiverClient> client,
                                               std::function<void()> work) {
    {
        std::lock_guard<std::mutex> guard(_deferredLock);
        ++_deferredRunning;
    }
    std::thread([this, connectionId, header, client, work = std::move(work)] {
        try {
            work();
        } catch (const std::exception& error) {
            std::cerr << "request " << header->requestLine() << " failed: " << error.what()
                      << std::endl;
        }
        auto* owner = static_cast<KrTransceiver*>(transceiver);
        if (owner != nullptr && header->closeAfter()) {
            if (auto connection = owner->findConnection(connectionId))
                connection->requestClose();
        }
        {
            std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
            _busy.erase(connectionId);
        }
        // Bytes that arrived meanwhile are read now.
        _insert_bufferSignaled(connectionId, clientName);
        // The last touch of the server: its shutdown waits for this count.
        std::lock_guard<std::mutex> guard(_deferredLock);
        --_deferredRunning;
        _deferredDone.notify_all();
    }).detach();
}

void KrTransceiverServerL1HTTP::_waitDeferred() {
    std::unique_lock<std::mutex> lock(_deferredLock);
    _deferredDone.wait(lock, [this] { return _deferredRunning == 0; });
}

void KrTransceiverServerL1HTTP::_shutdown(KrJob* owner) {
    _stopAccepting();
    // Answers still being made go out while the transceiver is still there.
    _waitDeferred();
    KrTransceiverServerL0Socket::_shutdown(owner);
    // The buffer-process job has ended: nothing watches heads any more.
    _stopHeadWatch();
}

void KrTransceiverServerL1HTTP::_bufferSignaled(const std::string& connectionName) {
    // The insert wakes a worker itself; waking every worker again would only
    // make them race for the one pair.
    _insert_bufferSignaled(connectionName, clientName);
}

void KrTransceiverServerL1HTTP::setHeadTimeLimit(long microseconds) {
    std::lock_guard<std::mutex> guard(_watchLock);
    _headTimeLimit = microseconds;
}

size_t KrTransceiverServerL1HTTP::pendingCount() {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
    return pending.size();
}

void KrTransceiverServerL1HTTP::_bufferworkfunction(std::string connectionId,
                                                    std::string clientNameOfPair) {
    auto* owner = static_cast<KrTransceiver*>(transceiver);
    if (owner == nullptr)
        return;
    std::shared_ptr<KrTransceiverConnection> connection = owner->findConnection(connectionId);
    std::shared_ptr<KrTransceiverClient> client = owner->findClient(clientNameOfPair);
    if (!connection || !client) {
        _unwatchHead(connectionId);
        if (!connection)
            _forgetConnection(connectionId, clientNameOfPair);
        return;
    }
    tWorkingServer = this;
    // Ends the batch also when something below throws: output queued by this
    // thread later must not wait for a flush that never comes.
    struct BatchEnd {
        KrTransceiver* owner;
        ~BatchEnd() {
            try {
                owner->_endOutputBatch();
            } catch (...) {
                // What could not be written stays queued for the send loop's next turn.
            }
            tWorkingServer = nullptr;
        }
    } batchEnd{owner};
    owner->_beginOutputBatch();
    // Bytes behind a complete request start the next one on the same pass.
    std::string carried;
    bool first = true;
    for (;;) {
        if (!first && carried.empty())
            break;
        bool more = false;
        try {
            more = _readOne(connectionId, *owner, *connection, client, carried);
        } catch (const std::exception& error) {
            // The reader or the server itself failed: the connection's
            // framing is lost, so it goes; the server keeps serving.
            std::cerr << "request on " << connectionId << " failed: " << error.what() << std::endl;
            _erasePending(connectionId);
            _unwatchHead(connectionId);
            connection->requestClose();
        }
        _streamDeferredFiles(*owner);
        // The answer goes out from here, before the next request is read.
        owner->_flushOutputBatch();
        first = false;
        if (!more)
            break;
    }
}

bool KrTransceiverServerL1HTTP::onMessage(const KrJobMessage& message) {
    KrTransceiverServerL0Socket::onMessage(message);
    // Left to a worker, behind the connection's last requests: the message
    // thread takes no lock of the transceiver's.
    if (message.kind == 2 && listening)
        _insert_bufferSignaled(message.a, clientName);
    return true;
}

void KrTransceiverServerL1HTTP::_forgetConnection(const std::string& connectionId,
                                                  const std::string& clientNameOfPair) {
    std::shared_ptr<KrXHeader> unfinished;
    std::string task;
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
        if (_busy.count(connectionId) != 0)
            return;  // its deferred answer still runs; it signals again when done
        const auto it = pending.find(connectionId);
        if (it != pending.end()) {
            unfinished = std::move(it->second);
            pending.erase(it);
        }
        const auto made = _connectionTasks.find(connectionId);
        if (made != _connectionTasks.end()) {
            task = std::move(made->second);
            _connectionTasks.erase(made);
        }
    }
    // The client owns the task: its leaving dissolves it (without messages).
    // Otherwise every connection ever served would leave one behind.
    if (!task.empty())
        KrCombinedTask::global().leave(task, clientNameOfPair);
}

std::shared_ptr<KrXHeader> KrTransceiverServerL1HTTP::_pendingHeader(
    const std::string& connectionId, KrTransceiverConnection& connection,
    KrTransceiverClient& client) {
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
        auto it = pending.find(connectionId);
        if (it != pending.end() && it->second)
            return it->second;
    }
    // Made outside pendingLock, which every worker of this server takes for
    // each request: a new header takes an id, copies the peer's record and
    // joins a task in the registry.
    std::string task = connection.linkName();
    bool made = false;
    if (task.empty()) {
        task = client.createJoinedTaskSelf("receive_" + client.id());
        made = listening && !task.empty();
    }
    auto header = std::make_shared<KrXHeader>(2, false, protocolKind);
    header->setDirection(2);
    header->addRoute(connectionId);
    header->addRoute(id());
    header->markIncoming();
    header->setPeerInfo(connection.info());
    header->setTaskName(task);
    // A request read by a listener carries its task's name but does not join
    // it: nothing sends a request messages, and its membership would only
    // cost two registry changes per request. A carrier's answer joins, as the
    // outgoing request's task follows its answer.
    if (!listening)
        header->joinTask(task);
    std::shared_ptr<KrXHeader> result;
    std::string replaced;
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
        // One worker serves a connection at a time, so nobody else made one
        // meanwhile; should one be there all the same, it is the one in use.
        std::shared_ptr<KrXHeader>& slot = pending[connectionId];
        if (!slot)
            slot = std::move(header);
        result = slot;
        if (made) {
            // A request left unanswered never linked the connection to its
            // task, so the next one made another: the old one goes.
            std::string& slotTask = _connectionTasks[connectionId];
            replaced.swap(slotTask);
            slotTask = task;
        }
    }
    if (!replaced.empty())
        KrCombinedTask::global().leave(replaced, client.id());
    return result;
}

void KrTransceiverServerL1HTTP::_erasePending(const std::string& connectionId) {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
    pending.erase(connectionId);
}

bool KrTransceiverServerL1HTTP::_readOne(const std::string& connectionId, KrTransceiver& owner,
                                         KrTransceiverConnection& connection,
                                         const std::shared_ptr<KrTransceiverClient>& client,
                                         std::string& carried) {
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
        // An answer is being made on its own thread: the bytes wait.
        if (_busy.count(connectionId) != 0)
            return false;
        // A signal without bytes (a finished deferred answer, a late
        // wake-up) starts no message.
        if (carried.empty() && !connection.isInputReady() && pending.count(connectionId) == 0)
            return false;
    }
    std::shared_ptr<KrXHeader> header = _pendingHeader(connectionId, connection, *client);
    std::unique_lock<std::mutex> headerLock(header->mutex());
    if (carried.empty()) {
        connection.drainInput(header->body());
    } else {
        // Pipelined bytes come before whatever arrived since.
        header->body().sputn(carried.data(), static_cast<std::streamsize>(carried.size()));
        carried.clear();
        connection.drainInput(header->body());
    }
    const bool wasInHead = header->inHead();
    int result;
    if (wasInHead && header->refusalStatus() == 0 && _headExpired(connectionId))
        result = header->refuse(408);
    else
        result = header->read([client](KrXHeader&) { return client->onHeaderComplete(); });

    if (result == 0) {
        if (header->inHead()) {
            _watchHead(connectionId);
        } else {
            _unwatchHead(connectionId);
            if (wasInHead && header->expectsContinue() && header->body().Length() == 0) {
                // The client waits for this before it sends the body.
                static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
                size_t queued = 0;
                connection.queueOutput(kContinue, sizeof kContinue - 1, queued);
                owner.wakeSender();
            }
        }
        return false;
    }
    _unwatchHead(connectionId);
    if (result == 1) {
        _refuse(owner, connection, *client, *header);
        headerLock.unlock();
        _erasePending(connectionId);
        return false;
    }

    bool handled = false;
    std::function<void()> deferred;
    tDeferred = &deferred;
    try {
        handled = client->dispatch(dispatchKey, *header);
    } catch (const std::exception& error) {
        std::cerr << "request " << header->requestLine() << " failed: " << error.what()
                  << std::endl;
        header->refuse(500);
    } catch (...) {
        std::cerr << "request " << header->requestLine() << " failed" << std::endl;
        header->refuse(500);
    }
    tDeferred = nullptr;
    if (deferred && header->refusalStatus() != 500) {
        std::string rest = header->takePipelined();
        headerLock.unlock();
        {
            std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
            pending.erase(connectionId);
            _busy.insert(connectionId);
        }
        if (!rest.empty()) {
            // The next request's first bytes wait in its header until then.
            std::shared_ptr<KrXHeader> next = _pendingHeader(connectionId, connection, *client);
            std::lock_guard<std::mutex> nextLock(next->mutex());
            next->body().sputn(rest.data(), static_cast<std::streamsize>(rest.size()));
        }
        _startDeferred(connectionId, header, client, std::move(deferred));
        return false;
    }
    if (header->refusalStatus() == 500) {
        _refuse(owner, connection, *client, *header);
        headerLock.unlock();
        _erasePending(connectionId);
        return false;
    }
    const bool close = header->closeAfter();
    if (close)
        connection.requestClose();
    carried = header->takePipelined();
    headerLock.unlock();
    if (!handled)
        return false;  // the client keeps the complete message
    _erasePending(connectionId);
    if (header->isHandled()) {
        // An answer to an outgoing request: the carrier is free again.
        const std::string token = header->routeToken(1);
        std::lock_guard<std::recursive_mutex> guard(_messageLock);
        if (transceiver != nullptr) {
            if (auto again = owner.findConnection(connectionId))
                again->resetBuffers();
            owner._finishServerTask(token);
        }
    }
    return !close && !carried.empty();
}

void KrTransceiverServerL1HTTP::_refuse(KrTransceiver& owner, KrTransceiverConnection& connection,
                                        KrTransceiverClient& client, KrXHeader& header) {
    // On a listener every message is a request, also one whose first line
    // could not be read; a carrier's peer is a server and gets no answer.
    if (listening || header.direction() == 2) {
        std::shared_ptr<KrXHeader> answer(header.makeRefusal());
        owner.send(client, answer, callback, header.taskName());
    }
    connection.requestClose();
}

bool KrTransceiverServerL1HTTP::_sendResponse(std::string connectionId, KrXHeader* message) {
    if (message->direction() == 2)
        _erasePending(connectionId);
    restartTimer();
    // A listener answering a request never joined its task (see send).
    const bool joined = !(listening && message->direction() == 1);
    if (!isActive()) {
        if (joined)
            leaveTask(message->taskName());
        return false;
    }
    auto* owner = static_cast<KrTransceiver*>(transceiver);
    std::shared_ptr<KrTransceiverConnection> connection =
        owner != nullptr ? owner->findConnection(connectionId) : nullptr;
    if (connection) {
        // On a listener the connection stays in its requests' task from the
        // first answer until it is gone (only then is the task dissolved), so
        // joining it again would change nothing but cost a registry call.
        if (joined || connection->linkName() != message->taskName())
            connection->joinTask(message->taskName());
        KrServerCallback_t record;
        record.type = 7;
        // The connection's record is fixed at its creation, and the message
        // outlives this call: the pieces of the log line are not copied.
        static const std::string kNone = "none";
        const auto& peer = connection->info().values;
        const auto remote = peer.find("remoteaddress");
        const std::string& remoteText = remote != peer.end() ? remote->second : kNone;
        const std::string scheme = KrURL::schemeName(message->protocolKind());

        auto head = std::make_unique<KrStringBuf>();
        std::ostream& out = HeadStream(head.get());
        const bool ok = message->write(out);
        out.rdbuf(nullptr);
        uint64_t bytes = static_cast<uint64_t>(head->Size());
        if (ok) {
            if (!message->fileBody().empty()) {
                std::shared_ptr<KrFileHandle> file = message->takeOpenFile();
                if (!file)
                    file = std::make_shared<KrFileHandle>(
                        KrFileHandle::openForReading(message->fileBody().c_str()));
                const auto length = static_cast<uint64_t>(message->bodyLength());
                if (file->isOpen() && length <= kInlineFile) {
                    // A small file goes with its head in one piece of output.
                    bytes += length;
                    auto body = std::make_unique<KrStringBuf>();
                    const bool whole = _readFile(*file, length, *body);
                    connection->queueOutputOwned(std::move(head), std::move(body));
                    if (!whole)
                        connection->requestClose();
                } else if (file->isOpen()) {
                    bytes += length;
                    connection->queueOutputOwned(std::move(head));
                    if (tWorkingServer == this) {
                        std::lock_guard<std::mutex> guard(_filesLock);
                        tFilesDeferred = true;
                        _deferredFiles[std::this_thread::get_id()].push_back(
                            {connectionId, std::move(file), length});
                    } else {
                        _streamFile(*connection, *file, length);
                    }
                } else {
                    // The head announced a length that cannot be sent.
                    connection->queueOutputOwned(std::move(head));
                    connection->requestClose();
                }
            } else {
                std::unique_ptr<KrStringBuf> body = message->takeBody();
                bytes += body->Length();
                connection->queueOutputOwned(std::move(head), std::move(body));
            }
            owner->wakeSender();
        }
        // Looked up last (a lookup may add an entry to the fields); the
        // referer is copied before the agent's lookup for the same reason.
        const std::string referer = FirstOrDash(message->rawRequestHeader("referer"));
        const std::string& agent = FirstOrDash(message->rawRequestHeader("user-agent"));
        record.values["logging"] =
            accessLogLine(remoteText, scheme, message->creationTimeText(), message->requestLine(),
                          message->status(), static_cast<unsigned long>(bytes), referer, agent);
        callback(record);
    }
    if (joined)
        leaveTask(message->taskName());
    return true;
}

void KrTransceiverServerL1HTTP::_streamDeferredFiles(KrTransceiver& owner) {
    // Only the files this worker's own answers left: another worker's belong
    // behind that worker's answers on its connection.
    if (!tFilesDeferred)
        return;
    tFilesDeferred = false;
    std::vector<FileStream> files;
    {
        std::lock_guard<std::mutex> guard(_filesLock);
        const auto mine = _deferredFiles.find(std::this_thread::get_id());
        if (mine == _deferredFiles.end())
            return;
        files.swap(mine->second);
        _deferredFiles.erase(mine);
    }
    for (FileStream& stream : files) {
        if (auto connection = owner.findConnection(stream.connectionId))
            _streamFile(*connection, *stream.file, stream.length);
    }
}

bool KrTransceiverServerL1HTTP::_readFile(KrFileHandle& file, uint64_t length, KrStringBuf& body) {
    thread_local std::string scratch;
    scratch.resize(static_cast<size_t>(length));
    size_t got = 0;
    while (got < length) {
        const ssize_t n = file.read(scratch.data() + got, static_cast<size_t>(length) - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    body.sputn(scratch.data(), static_cast<std::streamsize>(got));
    // A file that shrank after its length was announced: the peer would wait
    // for bytes that never come.
    return got == length;
}

void KrTransceiverServerL1HTTP::_streamFile(KrTransceiverConnection& connection, KrFileHandle& file,
                                            uint64_t length) {
    std::string chunk;
    uint64_t left = length;
    while (left > 0) {
        const size_t want = left < kFileChunk ? static_cast<size_t>(left) : kFileChunk;
        chunk.resize(want);
        const ssize_t got = file.read(chunk.data(), want);
        if (got <= 0)
            break;
        size_t queued = 0;
        connection.queueOutput(chunk.data(), static_cast<size_t>(got), queued);
        left -= static_cast<uint64_t>(got);
    }
    // A file that shrank after its length was announced: the peer would wait
    // for bytes that never come, so the connection ends after what was sent.
    if (left > 0)
        connection.requestClose();
}

std::string KrTransceiverServerL1HTTP::accessLogLine(
    const std::string& remote, const std::string& scheme, const std::string& time,
    const std::string& line, unsigned long status, unsigned long bytes, const std::string& referer,
    const std::string& agent) {
    std::string out;
    out.reserve(128 + line.size() + referer.size() + agent.size());
    AppendEscaped(out, remote);
    out += " - ";
    out += scheme;
    out += " - [";
    out += time;
    out += "] \"";
    AppendEscaped(out, line);
    out += "\" --> ";
    AppendNumber(out, status);
    out += ' ';
    AppendNumber(out, bytes);
    out += " \"";
    AppendEscaped(out, referer);
    out += "\" \"";
    AppendEscaped(out, agent);
    out += '"';
    return out;
}

void KrTransceiverServerL1HTTP::_watchHead(const std::string& connectionId) {
    std::lock_guard<std::mutex> guard(_watchLock);
    if (_watchStopped)
        return;
    // The limit runs from the head's first bytes; later bytes don't restart it.
    if (!_headDeadlines.emplace(connectionId, HeadDeadline{SteadyMicros() + _headTimeLimit}).second)
        return;
    _watchedHeads.store(_headDeadlines.size());
    if (!_watchRunning) {
        _watchRunning = true;
        _watchThread = std::thread([this] { _headWatch(); });
    }
    _watchCondition.notify_all();
}

void KrTransceiverServerL1HTTP::_unwatchHead(const std::string& connectionId) {
    // Most requests arrive whole and were never watched. A connection's own
    // entry was made by an earlier round on it, which this thread has seen.
    if (_watchedHeads.load() == 0)
        return;
    std::lock_guard<std::mutex> guard(_watchLock);
    if (_headDeadlines.erase(connectionId) != 0)
        _watchedHeads.store(_headDeadlines.size());
}

bool KrTransceiverServerL1HTTP::_headExpired(const std::string& connectionId) {
    if (_watchedHeads.load() == 0)
        return false;
    std::lock_guard<std::mutex> guard(_watchLock);
    const auto it = _headDeadlines.find(connectionId);
    return it != _headDeadlines.end() && SteadyMicros() >= it->second.at;
}

void KrTransceiverServerL1HTTP::_headWatch() {
    std::unique_lock<std::mutex> lock(_watchLock);
    while (!_watchStopped) {
        int64_t next = INT64_MAX;
        std::vector<std::string> expired;
        const int64_t now = SteadyMicros();
        for (auto& [connection, deadline] : _headDeadlines) {
            if (deadline.signalled)
                continue;
            if (deadline.at <= now) {
                deadline.signalled = true;
                expired.push_back(connection);
            } else if (deadline.at < next) {
                next = deadline.at;
            }
        }
        if (!expired.empty()) {
            lock.unlock();
            // The work function finds the head expired and answers 408; the
            // entry goes when it does.
            for (const std::string& connection : expired)
                _insert_bufferSignaled(connection, clientName);
            lock.lock();
            continue;
        }
        if (next == INT64_MAX)
            _watchCondition.wait(lock);
        else
            _watchCondition.wait_for(lock, std::chrono::microseconds(next - now));
    }
}

void KrTransceiverServerL1HTTP::_stopHeadWatch() {
    {
        std::lock_guard<std::mutex> guard(_watchLock);
        _watchStopped = true;
    }
    _watchCondition.notify_all();
    if (_watchThread.joinable() && _watchThread.get_id() != std::this_thread::get_id())
        _watchThread.join();
}
