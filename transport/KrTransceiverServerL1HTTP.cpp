#include "transport/KrTransceiverServerL1HTTP.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <exception>
#include <iostream>
#include <ostream>
#include <thread>

#include "foundation/KrCombinedTask.h"
#include "foundation/KrFileHandle.h"
#include "foundation/KrJob.h"
#include "foundation/KrJobMessage.h"
#include "foundation/KrURL.h"
#include "transport/KrHttpText.h"
#include "transport/KrLogEscape.h"
#include "transport/KrThreadSpares.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverClient.h"
#include "transport/KrTransceiverConnection.h"
#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"

namespace {

int64_t SteadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The stream answer heads are written through, made once per thread:
// making one per answer costs 6% of the instructions of an answer object's
// request (a 404 page, callgrind). Its format is put back to the defaults
// each time, whatever a writer changed.
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

// A file body larger than what leaves with its head: read and queued one
// piece at a time while the connection's queued output is below its window,
// so a slow reader holds one window of the file, not all of it.
class FileStream : public KrAnswerStream {
  public:
    FileStream(std::shared_ptr<KrFileHandle> file, uint64_t length)
        : _file(std::move(file)), _left(length) {}

    void resume(KrTransceiverConnection& connection) override {
        bool finished = false;
        bool cut = false;
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (!_file)
                return;
            while (_left > 0 &&
                   connection.pendingOutputBytes() < KrConnectionRecord::kOutputWindow) {
                const size_t want = static_cast<size_t>(
                    std::min<uint64_t>(_left, KrTransceiverServerL1HTTP::kFileChunk));
                _piece.resize(want);
                const ssize_t got = _file->read(_piece.data(), want);
                if (got <= 0) {
                    cut = true;
                    break;
                }
                size_t queued = 0;
                connection.queueOutput(_piece.data(), static_cast<size_t>(got), queued);
                _left -= static_cast<uint64_t>(got);
            }
            if (_left == 0 || cut) {
                finished = true;
                _file.reset();
                std::string().swap(_piece);
            }
        }
        if (!finished)
            return;
        // A file that shrank after its length was announced: the peer would
        // wait for bytes that never come, so the connection ends after what
        // was sent.
        if (cut)
            connection.requestClose();
        connection._answerFinished();
    }

    void cancel() override {
        std::lock_guard<std::mutex> guard(_lock);
        _file.reset();
        std::string().swap(_piece);
    }

  private:
    // Guards everything below: resume may come from the send loop and from
    // the worker that queued the answer's head.
    std::mutex _lock;
    std::shared_ptr<KrFileHandle> _file;
    uint64_t _left;
    std::string _piece;
};

// Takes bytes and keeps none: what a peer sent behind its last request.
class DiscardBuffer : public std::streambuf {
  protected:
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

}  // namespace

class KrTransceiverServerL1HTTP::DirectSink final : public KrXHeader::DirectAnswer {
  public:
    DirectSink(KrTransceiverServerL1HTTP& server, KrTransceiverConnection& connection)
        : _server(server), _connection(connection) {}
    bool answer(KrXHeader& request, std::string_view type, std::string_view body) override {
        return _server._answerDirect(_connection, request, type, body);
    }

  private:
    KrTransceiverServerL1HTTP& _server;
    KrTransceiverConnection& _connection;
};

KrTransceiverServerL1HTTP::KrTransceiverServerL1HTTP(
    KrGavetaScheduler2* scheduler, KrXServerHeader* serverHeader, KrJob* transceiver,
    const std::string& clientName, const std::string& dispatchKey, const std::string& supervisorId,
    std::function<bool(KrServerCallback_t&)> callback, const std::string& typeName)
    : KrTransceiverServerL0Socket(scheduler, serverHeader, transceiver, clientName, dispatchKey,
                                  supervisorId, std::move(callback), typeName) {
    protocolKind = KR_PROTOCOL_HTTP;
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
    protocolKind = KR_PROTOCOL_HTTP;
}

KrTransceiverServerL1HTTP::~KrTransceiverServerL1HTTP() {
    _shutdown(transceiver);
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
    pending.clear();
}

std::shared_ptr<KrTransceiverConnection> KrTransceiverServerL1HTTP::_createConnection(
    KrTransceiver& owner, std::string name, KrServerCallback_t& info,
    std::shared_ptr<KrSocketIPvx>& socket) {
    std::shared_ptr<KrTransceiverConnection> connection =
        KrTransceiverServerL0Socket::_createConnection(owner, std::move(name), info, socket);
    if (listening) {
        KrConnectionRecord& record = connection->record();
        // What one request may hold: a head and a body at the body limit.
        // Beyond it the peer waits until the request being read or answered
        // has taken its bytes.
        record.inputLimit.store(KrXHeader::kMaxHeadLength + KrXHeader::kDefaultMaxBodyLength);
        record.answersAfterEnd.store(true);
    }
    return connection;
}

void KrTransceiverServerL1HTTP::_bufferSignaled(const std::string& connectionName) {
    // The insert wakes a worker itself; waking every worker again would only
    // make them race for the one pair.
    _insert_bufferSignaled(connectionName, clientName);
}

void KrTransceiverServerL1HTTP::setHeadTimeLimit(long microseconds) {
    std::lock_guard<std::mutex> guard(_limitsLock);
    _headTimeLimit = microseconds;
}

void KrTransceiverServerL1HTTP::setBodyTimeLimit(long microseconds) {
    std::lock_guard<std::mutex> guard(_limitsLock);
    _bodyTimeLimit = microseconds;
}

size_t KrTransceiverServerL1HTTP::pendingCount() {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
    return pending.size();
}

void KrTransceiverServerL1HTTP::_bufferworkfunction(std::string connectionId,
                                                    std::string clientNameOfPair) {
    auto* owner = static_cast<KrTransceiver*>(transceiver.load());
    if (owner == nullptr)
        return;
    std::shared_ptr<KrTransceiverConnection> connection = owner->findConnection(connectionId);
    std::shared_ptr<KrTransceiverClient> client = owner->findClient(clientNameOfPair);
    if (!connection || !client) {
        // A connection that is gone leaves its unfinished request behind.
        if (!connection)
            _erasePending(connectionId);
        return;
    }
    // A carrier has one worker and nothing inline: it needs no turn.
    KrConnectionRecord& record = connection->record();
    if (listening && !record.enter())
        return;
    do {
        _serve(*owner, *connection, client, false);
    } while (listening && !record.leave());
    KrTransceiver::flushLogging();
}

bool KrTransceiverServerL1HTTP::_serveInline(KrTransceiverConnection& connection) {
    auto* owner = static_cast<KrTransceiver*>(transceiver.load());
    KrConnectionRecord& record = connection.record();
    // A request handed to the workers is answered by one of them first.
    if (!listening || owner == nullptr || record.handedOff.load())
        return false;
    const std::shared_ptr<KrTransceiverClient> client = _findInlineClient(*owner);
    if (!client)
        return false;
    if (!record.enter())
        return true;  // served on another thread, which goes round once more
    do {
        _serve(*owner, connection, client, true);
        if (record.handedOff.load()) {
            if (record.handOff())
                _insert_bufferSignaled(connection.id(), clientName);
            return true;
        }
    } while (!record.leave());
    return true;
}

std::shared_ptr<KrTransceiverClient> KrTransceiverServerL1HTTP::_findInlineClient(
    KrTransceiver& owner) {
    std::lock_guard<std::mutex> guard(_clientLock);
    std::shared_ptr<KrTransceiverClient> client = _client.lock();
    if (!client) {
        client = owner.findClient(clientName);
        _client = client;
    }
    return client;
}

void KrTransceiverServerL1HTTP::_serve(KrTransceiver& owner, KrTransceiverConnection& connection,
                                       const std::shared_ptr<KrTransceiverClient>& client,
                                       bool inlineThread) {
    const std::string& connectionId = connection.id();
    KrConnectionRecord& record = connection.record();
    // Relaxed: see inWorker in the record. The store that ends it below is
    // ordered against output queued meanwhile (see _outputQueued).
    record.inWorker.store(true, std::memory_order_relaxed);
    // Bytes behind a complete request start the next one on the same pass.
    std::string carried;
    bool first = true;
    for (;;) {
        if (!first && carried.empty())
            break;
        first = false;
        bool more = false;
        try {
            more = _readOne(connectionId, owner, connection, client, carried, inlineThread);
        } catch (const std::exception& error) {
            // The reader or the server itself failed: the connection's
            // framing is lost, so it goes; the server keeps serving.
            std::cerr << "request on " << connectionId << " failed: " << error.what() << std::endl;
            _erasePending(connectionId);
            record.headDeadline.store(0);
            record.bodyDeadline.store(0);
            record.handedOff.store(false);
            connection.requestClose();
            carried.clear();
        }
        // The answer goes out from here, before the next request is read.
        owner._flushOutput(connection);
        if (!more || record.removed.load())
            break;
    }
    record.inWorker.store(false);
    // Output another thread queued after the last flush waited for this
    // one: the send loop takes it now.
    if (connection.isOutputPending())
        owner._outputQueued(connection);
    // After the peer's end of input, the connection closes once every
    // complete request it sent has been answered; what is left can never
    // make a request. Bytes kept unread behind an answer that ended just
    // now are read first: that answer's end brings this thread round again.
    if (record.inputEnded.load() && !record.handedOff.load() && !connection.isAnswering() &&
        !record.resumeOnDrain.load() && !connection.isInputReady() &&
        !record.carriedKept.load()) {
        _erasePending(connectionId);
        connection.requestClose();
    }
}

bool KrTransceiverServerL1HTTP::onMessage(const KrJobMessage& message) {
    KrTransceiverServerL0Socket::onMessage(message);
    // Left to a worker, behind the connection's last requests: the message
    // thread takes no lock of the transceiver's.
    if (message.kind == KR_MESSAGE_CONNECTION_GONE && listening)
        _insert_bufferSignaled(message.a, clientName);
    return true;
}

std::shared_ptr<KrXHeader> KrTransceiverServerL1HTTP::_pendingHeader(
    const std::string& connectionId, KrTransceiverConnection& connection,
    KrTransceiverClient& client, bool* kept) {
    KrConnectionRecord& record = connection.record();
    if (record.maybePending.load()) {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
        auto it = pending.find(connectionId);
        if (it != pending.end() && it->second) {
            if (kept != nullptr)
                *kept = true;
            return it->second;
        }
        // Only the thread serving the connection keeps one: none comes
        // meanwhile.
        record.maybePending.store(false);
    }
    if (kept != nullptr)
        *kept = false;
    // Made outside pendingLock, which every worker of this server takes for
    // each request: a new header takes an id, copies the peer's record and
    // joins a task in the registry.
    // The connection's task is the one its answers joined.
    // A listener's connection is read by the thread holding its serving
    // mark, which keeps its own copy of the name.
    thread_local std::string copied;
    if (!listening)
        connection.linkNameInto(copied);
    const std::string& linked = listening ? connection.servingLinkName() : copied;
    std::string madeTask;
    bool made = false;
    if (linked.empty()) {
        madeTask = client.createJoinedTaskSelf("receive_" + client.id());
        made = listening && !madeTask.empty();
    }
    const std::string& task = linked.empty() ? madeTask : linked;
    // Made as a POST; the reader sets the method from the request line. A
    // header with its shared count (about 1.8 KB) is larger than the blocks
    // the allocator keeps for each thread: the thread keeps a few itself.
    auto header = std::allocate_shared<KrXHeader>(KrRecyclingAllocator<KrXHeader>(), KR_HTTP_POST,
                                                  false, protocolKind);
    header->setDirection(KR_DIRECTION_REQUEST);
    header->setReadRoute(connectionId, id(), task);
    header->markIncoming();
    if (listening)
        header->requireHost();
    header->sharePeerInfo(connection.sharedInfo());
    // A request read by a listener carries its task's name but does not join
    // it: nothing sends a request messages, and its membership would only
    // cost two registry changes per request. A carrier's answer joins, as the
    // outgoing request's task follows its answer.
    if (!listening)
        header->joinTask(task);
    std::shared_ptr<KrXHeader> result = kept != nullptr ? std::move(header) : nullptr;
    if (!result) {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
        if (record.removed.load()) {
            // Gone: nothing would erase an entry made now (see _keepPending).
            result = std::move(header);
        } else {
            // One worker serves a connection at a time, so nobody else made
            // one meanwhile; should one be there all the same, it is the one
            // in use.
            record.maybePending.store(true);
            std::shared_ptr<KrXHeader>& slot = pending[connectionId];
            if (!slot)
                slot = std::move(header);
            result = slot;
        }
    }
    if (made) {
        // A request left unanswered never linked the connection to its
        // task, so the next one made another: the old one goes. The task
        // left with the connection is dissolved when it goes.
        std::string replaced;
        {
            std::lock_guard<std::mutex> guard(record.lock);
            replaced.swap(record.task);
            record.task = madeTask;
            record.taskOwner = client.id();
        }
        if (!replaced.empty())
            KrCombinedTask::global().leave(replaced, client.id());
    }
    return result;
}

void KrTransceiverServerL1HTTP::_keepPending(const std::string& connectionId,
                                             KrTransceiverConnection& connection,
                                             std::shared_ptr<KrXHeader> header) {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
    // A connection removed meanwhile may have had its entry erased already
    // (by the worker told it is gone): none is left behind.
    if (connection.record().removed.load()) {
        pending.erase(connectionId);
        return;
    }
    connection.record().maybePending.store(true);
    pending[connectionId] = std::move(header);
}

void KrTransceiverServerL1HTTP::_erasePending(const std::string& connectionId) {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
    pending.erase(connectionId);
}

void KrTransceiverServerL1HTTP::_keepCarried(const std::string& connectionId,
                                             KrTransceiverConnection& connection,
                                             KrTransceiverClient& client, std::string& carried) {
    if (carried.empty())
        return;
    if (connection.record().lastRequestRead.load()) {
        carried.clear();
        return;
    }
    std::shared_ptr<KrXHeader> next = _pendingHeader(connectionId, connection, client);
    std::lock_guard<std::mutex> nextLock(next->mutex());
    next->body().sputn(carried.data(), static_cast<std::streamsize>(carried.size()));
    carried.clear();
    connection.record().carriedKept.store(true);
}

bool KrTransceiverServerL1HTTP::_readOne(const std::string& connectionId, KrTransceiver& owner,
                                         KrTransceiverConnection& connection,
                                         const std::shared_ptr<KrTransceiverClient>& client,
                                         std::string& carried, bool inlineThread) {
    KrConnectionRecord& record = connection.record();
    if (record.removed.load()) {
        // Gone (its peer reset it, or a write failed): nothing more of what
        // it sent is read or run, nobody would get the answers.
        carried.clear();
        return false;
    }
    if (record.handedOff.load()) {
        // A complete request waits for a worker: this is the worker.
        if (inlineThread)
            return false;
        return _dispatchOne(connectionId, owner, connection, client, carried,
                            _pendingHeader(connectionId, connection, *client), true);
    }
    if (listening && (record.lastRequestRead.load() || connection.isClosing())) {
        // The request before asked to close, or was refused: what came
        // behind it is no request (a front end may have sent it for another
        // client), and is dropped unread while that answer goes out.
        carried.clear();
        DiscardBuffer discard;
        connection.drainInput(discard);
        return false;
    }
    // An answer is being made off this thread or streamed: the bytes wait.
    if (connection.isAnswering()) {
        _keepCarried(connectionId, connection, *client, carried);
        return false;
    }
    // The answers before have not drained to the window: the next one waits
    // until they have (the send loop tells this server then).
    if (connection.pendingOutputBytes() >= KrConnectionRecord::kOutputWindow) {
        record.resumeOnDrain.store(true);
        // Drained meanwhile, before the flag was seen: go on here.
        if (connection.pendingOutputBytes() >= KrConnectionRecord::kOutputWindow ||
            !record.resumeOnDrain.exchange(false)) {
            _keepCarried(connectionId, connection, *client, carried);
            return false;
        }
    }
    const int64_t headDeadline = record.headDeadline.load();
    const int64_t bodyDeadline = record.bodyDeadline.load();
    // The clock is read only where a limit runs: a request that comes whole
    // needs none.
    int64_t now = headDeadline != 0 || bodyDeadline != 0 ? SteadyMicros() : 0;
    const bool expired =
        (headDeadline != 0 && now >= headDeadline) || (bodyDeadline != 0 && now >= bodyDeadline);
    if (carried.empty() && !connection.isInputReady() && !expired) {
        // A signal without bytes (a finished answer, a late wake-up) starts
        // no message.
        if (!record.maybePending.load())
            return false;
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(pendingLock);
        if (pending.count(connectionId) == 0)
            return false;
    }
    // A request that arrives whole is read and answered here without ever
    // entering `pending`: it goes there only when it has to wait.
    bool kept = false;
    std::shared_ptr<KrXHeader> header = _pendingHeader(connectionId, connection, *client, &kept);
    // Whatever waited in it is read now.
    if (record.carriedKept.load(std::memory_order_relaxed))
        record.carriedKept.store(false);
    long arrived = 0;
    bool wasInHead = false;
    bool inHead = false;
    bool sendContinue = false;
    bool toWorker = false;
    int result;
    {
        // Only a header in `pending` can be reached by another thread.
        std::unique_lock<std::mutex> headerLock;
        if (kept)
            headerLock = std::unique_lock<std::mutex>(header->mutex());
        if (!carried.empty()) {
            // Pipelined bytes come before whatever arrived since.
            header->body().sputn(carried.data(), static_cast<std::streamsize>(carried.size()));
            arrived += static_cast<long>(carried.size());
            carried.clear();
        }
        arrived += connection.drainInput(header->body());
        wasInHead = header->inHead();
        if (header->refusalStatus() == 0 && expired)
            result = header->refuse(408);
        else
            result = header->read(
                [client = client.get()](KrXHeader&) { return client->onHeaderComplete(); });
        inHead = header->inHead();
        if (result == KR_READ_MORE) {
            // The client waits for this before it sends the body.
            sendContinue =
                wasInHead && !inHead && header->expectsContinue() && header->body().Length() == 0;
        } else {
            // Mostly unset already: a store is only made when there is one to clear.
            if (record.headDeadline.load(std::memory_order_relaxed) != 0)
                record.headDeadline.store(0);
            if (record.bodyDeadline.load(std::memory_order_relaxed) != 0)
                record.bodyDeadline.store(0);
            if (result == KR_READ_REFUSED)
                _refuse(owner, connection, *client, *header);
            else
                toWorker = inlineThread && !client->answersInline(*header);
        }
    }

    if (result == KR_READ_MORE) {
        if (!kept)
            _keepPending(connectionId, connection, header);
        if (now == 0)
            now = SteadyMicros();
        if (inHead) {
            // The limit runs from the head's first bytes; later bytes don't
            // restart it.
            if (headDeadline == 0) {
                std::lock_guard<std::mutex> guard(_limitsLock);
                record.headDeadline.store(now + _headTimeLimit);
                owner._deadlineArmed(now + _headTimeLimit);
            }
            return false;
        }
        record.headDeadline.store(0);
        // The body's limit runs from the end of the head and grows with
        // every byte that comes, so only a peer slower than the minimum
        // rate runs out of it.
        int64_t deadline = bodyDeadline;
        if (deadline == 0) {
            std::lock_guard<std::mutex> guard(_limitsLock);
            deadline = now + _bodyTimeLimit;
        } else if (!wasInHead) {
            deadline +=
                static_cast<int64_t>(arrived) * 1000000 / static_cast<int64_t>(kMinBodyRate);
        }
        record.bodyDeadline.store(deadline);
        if (bodyDeadline == 0)
            owner._deadlineArmed(deadline);
        if (sendContinue) {
            static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
            size_t queued = 0;
            connection.queueOutput(kContinue, sizeof kContinue - 1, queued);
        }
        return false;
    }
    if (result == KR_READ_REFUSED) {
        if (kept)
            _erasePending(connectionId);
        return false;
    }
    if (toWorker) {
        // The application answers it: one of the workers, so that the
        // application never holds up the transceiver's loops. The request
        // stays pending, complete, and so does what came behind it (see the
        // serving turn in KrConnectionRecord).
        if (!kept)
            _keepPending(connectionId, connection, header);
        record.handedOff.store(true);
        _insert_bufferSignaled(connectionId, clientName);
        return false;
    }
    return _dispatchOne(connectionId, owner, connection, client, carried, std::move(header), kept);
}

bool KrTransceiverServerL1HTTP::_dispatchOne(const std::string& connectionId, KrTransceiver& owner,
                                             KrTransceiverConnection& connection,
                                             const std::shared_ptr<KrTransceiverClient>& client,
                                             std::string& carried,
                                             std::shared_ptr<KrXHeader> header, bool kept) {
    KrConnectionRecord& record = connection.record();
    if (record.handedOff.load(std::memory_order_relaxed))
        record.handedOff.store(false);
    std::unique_lock<std::mutex> headerLock(header->mutex());
    if (listening && header->closeAfter())
        record.lastRequestRead.store(true);
    bool handled = false;
    DirectSink direct(*this, connection);
    if (listening) {
        header->allowLaterAnswer();
        header->setDirectAnswer(&direct);
    }
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
    header->setDirectAnswer(nullptr);
    KrXHeader::LaterAnswer later = header->takeLaterAnswer();
    if (later && header->refusalStatus() != 500) {
        // The answer is made off this thread: the connection reads nothing
        // more until it has been sent. The request stays alive in `later`.
        std::string rest = header->takePipelined();
        const bool close = header->closeAfter();
        const bool http11 = header->isHTTP11();
        headerLock.unlock();
        if (kept)
            _erasePending(connectionId);
        connection._beginAnswer(nullptr, http11);
        _keepCarried(connectionId, connection, *client, rest);
        later([&owner, connectionId, close, header] {
            std::shared_ptr<KrTransceiverConnection> done = owner.findConnection(connectionId);
            if (!done)
                return;
            if (close)
                done->requestClose();
            done->_answerFinished();
        });
        return false;
    }
    if (header->refusalStatus() == 500) {
        _refuse(owner, connection, *client, *header);
        headerLock.unlock();
        if (kept)
            _erasePending(connectionId);
        return false;
    }
    const bool close = header->closeAfter();
    if (close)
        connection.requestClose();
    carried = header->takePipelined();
    headerLock.unlock();
    if (!handled) {
        // The client keeps the complete message.
        if (!kept)
            _keepPending(connectionId, connection, std::move(header));
        return false;
    }
    if (kept)
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
    if (close)
        carried.clear();
    return !close && !carried.empty();
}

void KrTransceiverServerL1HTTP::_refuse(KrTransceiver& owner, KrTransceiverConnection& connection,
                                        KrTransceiverClient& client, KrXHeader& header) {
    // On a listener every message is a request, also one whose first line
    // could not be read; a carrier's peer is a server and gets no answer.
    if (listening || header.direction() == KR_DIRECTION_REQUEST) {
        std::shared_ptr<KrXHeader> answer(header.makeRefusal());
        owner.send(client, answer, callback, header.taskName());
    }
    connection.requestClose();
}

bool KrTransceiverServerL1HTTP::_sendResponse(std::string connectionId, KrXHeader* message) {
    if (message->direction() == KR_DIRECTION_REQUEST)
        _erasePending(connectionId);
    restartTimer();
    // A listener answering a request never joined its task (see send).
    const bool joined = !(listening && message->direction() == KR_DIRECTION_ANSWER);
    if (!isActive()) {
        if (joined)
            leaveTask(message->taskName());
        return false;
    }
    auto* owner = static_cast<KrTransceiver*>(transceiver.load());
    std::shared_ptr<KrTransceiverConnection> connection =
        owner != nullptr ? owner->findConnection(connectionId) : nullptr;
    if (connection) {
        // On a listener the connection stays in its requests' task from the
        // first answer until it is gone (only then is the task dissolved), so
        // joining it again would change nothing but cost a registry call.
        if (joined || !connection->isLinkedTo(message->taskName()))
            connection->joinTask(message->taskName());
        auto head = std::make_unique<KrStringBuf>();
        std::ostream& out = HeadStream(head.get());
        const bool ok = message->write(out);
        out.rdbuf(nullptr);
        uint64_t bytes = static_cast<uint64_t>(head->Size());
        // An answer that goes out in pieces (a large file, a program's
        // output as it comes) is logged once its end has gone out, with the
        // bytes that did.
        bool streamed = false;
        if (ok) {
            connection->_headQueued();
            const bool large = !message->fileBody().empty() &&
                               static_cast<uint64_t>(message->bodyLength()) > kInlineFile;
            const uint64_t start =
                large || message->isStreamed() ? connection->queuedPosition() : 0;
            if (!message->fileBody().empty()) {
                KrTransceiverConnection::SentReport later;
                if (large)
                    later = _laterLog(*message);
                bytes += _queueFile(*connection, *message, std::move(head), start, later);
                streamed = large && !later;
            } else {
                std::unique_ptr<KrStringBuf> body = message->takeBody();
                bytes += body->Length();
                connection->queueOutputOwned(std::move(head), std::move(body));
                if (message->isStreamed()) {
                    connection->_reportSentWhenAnswered(start, _laterLog(*message));
                    streamed = true;
                }
            }
        }
        if (!streamed) {
            // Looked up last (a lookup may add an entry to the fields); the
            // referer is copied before the agent's lookup for the same reason.
            const std::string referer = FirstOrDash(message->rawRequestHeader("referer"));
            _logAccess(*connection, message->protocolKind(), message->creationTimeText(),
                       message->requestLine(), message->status(), bytes, referer,
                       FirstOrDash(message->rawRequestHeader("user-agent")));
        }
    }
    if (joined)
        leaveTask(message->taskName());
    return true;
}

bool KrTransceiverServerL1HTTP::_answerDirect(KrTransceiverConnection& connection,
                                              KrXHeader& request, std::string_view type,
                                              std::string_view body) {
    // What send and _sendResponse do for such an answer, less the answer
    // object, the route lookups and the stream the head is written through.
    restartTimer();
    if (!isActive())
        return false;
    std::lock_guard<std::recursive_mutex> one(connection.messageLock());
    if (!connection.isLinkedTo(request.taskName()))
        connection.joinTask(request.taskName());
    // The head, then (once sent or copied) the log's request line: the
    // thread's, with its room kept for the next answer.
    thread_local std::string text;
    std::string& head = text;
    head.clear();
    request.appendAnswerHead(head, type, body.size());
    if (request.method() == KR_HTTP_HEAD)
        body = {};
    connection._headQueued();
    // Head and body leave in one gathered write; the body is not copied.
    connection.sendOutput(head, body);
    static const std::string kDash = "-";
    static const std::string kReferer = "referer";
    static const std::string kAgent = "user-agent";
    const uint64_t bytes = head.size() + body.size();
    std::string& requestLine = text;
    request.logRequestLineInto(requestLine);
    _logAccess(connection, request.protocolKind(), request.creationTimeView(), requestLine, 200,
               bytes, request.firstRawHeader(kReferer, kDash),
               request.firstRawHeader(kAgent, kDash));
    return true;
}

void KrTransceiverServerL1HTTP::_logAccess(KrTransceiverConnection& connection, int protocolKind,
                                           std::string_view time, std::string_view requestLine,
                                           unsigned long status, uint64_t bytes,
                                           std::string_view referer, std::string_view agent) {
    // The event and its line's room are the thread's, taken for the call
    // and kept for its next answer: worth 7% of a kept file's request's
    // instructions (callgrind against a record made per answer). A callback
    // that logs again meanwhile finds none kept and makes its own.
    thread_local KrServerCallback_t kept;
    KrServerCallback_t record = std::move(kept);
    record.type = KR_EVENT_ACCESS_LOG;
    // The line's entry stays from the last answer unless the callback
    // changed the record: found without a lookup.
    static const std::string kLogging = "logging";
    if (record.values.size() != 1 || record.values.begin()->first != kLogging) {
        record.values.clear();
        record.values.emplace(kLogging, std::string());
    }
    std::string& line = record.values.begin()->second;
    line.clear();
    appendAccessLogLine(line, connection.remoteAddress(), KrURL::schemeName(protocolKind), time,
                        requestLine, status, static_cast<unsigned long>(bytes), referer, agent);
    callback(record);
    kept = std::move(record);
}

KrTransceiverConnection::SentReport KrTransceiverServerL1HTTP::_laterLog(KrXHeader& message) {
    struct Line {
        int protocolKind;
        unsigned long status;
        std::string time;
        std::string requestLine;
        std::string referer;
        std::string agent;
    };
    auto line = std::make_shared<Line>();
    line->protocolKind = message.protocolKind();
    line->status = message.status();
    line->time = message.creationTimeText();
    line->requestLine = message.requestLine();
    line->referer = FirstOrDash(message.rawRequestHeader("referer"));
    line->agent = FirstOrDash(message.rawRequestHeader("user-agent"));
    return [line](KrTransceiverConnection& connection, uint64_t bytes) {
        // The server may be gone by the time the last byte is: no line then.
        const std::shared_ptr<KrTransceiverServer> server = connection.record().server.lock();
        if (auto* http = dynamic_cast<KrTransceiverServerL1HTTP*>(server.get()))
            http->_logAccess(connection, line->protocolKind, line->time, line->requestLine,
                             line->status, bytes, line->referer, line->agent);
    };
}

uint64_t KrTransceiverServerL1HTTP::_queueFile(KrTransceiverConnection& connection,
                                               KrXHeader& message,
                                               std::unique_ptr<KrStringBuf> head, uint64_t start,
                                               KrTransceiverConnection::SentReport& logged) {
    std::shared_ptr<KrFileHandle> file = message.takeOpenFile();
    if (!file)
        file = std::make_shared<KrFileHandle>(
            KrFileHandle::openForReading(message.fileBody().c_str()));
    const auto length = static_cast<uint64_t>(message.bodyLength());
    if (!file->isOpen()) {
        // The head announced a length that cannot be sent.
        connection.queueOutputOwned(std::move(head));
        connection.requestClose();
        return 0;
    }
    if (length <= kInlineFile) {
        // A small file goes with its head in one piece of output.
        auto body = std::make_unique<KrStringBuf>();
        const bool whole = _readFile(*file, length, *body);
        const auto got = static_cast<uint64_t>(body->Length());
        connection.queueOutputOwned(std::move(head), std::move(body));
        if (!whole)
            connection.requestClose();
        return got;
    }
    connection.queueOutputOwned(std::move(head));
    auto stream = std::make_shared<FileStream>(std::move(file), length);
    if (!connection._beginAnswer(stream)) {
        // A second answer to one request while the first still streams:
        // its bytes could only be mixed into the first one's.
        connection.requestClose();
        return 0;
    }
    if (logged)
        connection._reportSentWhenAnswered(start, std::move(logged));
    logged = nullptr;
    stream->resume(connection);
    return length;
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

std::string KrTransceiverServerL1HTTP::accessLogLine(
    const std::string& remote, const std::string& scheme, const std::string& time,
    const std::string& line, unsigned long status, unsigned long bytes, const std::string& referer,
    const std::string& agent) {
    std::string out;
    appendAccessLogLine(out, remote, scheme, time, line, status, bytes, referer, agent);
    return out;
}

void KrTransceiverServerL1HTTP::appendAccessLogLine(std::string& out, std::string_view remote,
                                                    std::string_view scheme, std::string_view time,
                                                    std::string_view line, unsigned long status,
                                                    unsigned long bytes, std::string_view referer,
                                                    std::string_view agent) {
    // Sized once for the worst case and written in place: one resize and
    // a copy per piece, not an append's checks per piece.
    const size_t start = out.size();
    const size_t peerBytes = remote.size() + line.size() + referer.size() + agent.size();
    out.resize(start + kLogEscapeGrowth * peerBytes + scheme.size() + time.size() + 96);
    char* to = out.data() + start;
    const auto put = [&to](std::string_view text) {
        std::memcpy(to, text.data(), text.size());
        to += text.size();
    };
    to = PutLogEscaped(to, remote);
    put(" - ");
    put(scheme);
    put(" - [");
    put(time);
    put("] \"");
    to = PutLogEscaped(to, line);
    put("\" --> ");
    to = std::to_chars(to, to + 20, status).ptr;
    *to++ = ' ';
    to = std::to_chars(to, to + 20, bytes).ptr;
    put(" \"");
    to = PutLogEscaped(to, referer);
    put("\" \"");
    to = PutLogEscaped(to, agent);
    *to++ = '"';
    out.resize(static_cast<size_t>(to - out.data()));
}
