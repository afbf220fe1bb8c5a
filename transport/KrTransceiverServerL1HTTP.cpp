#include "transport/KrTransceiverServerL1HTTP.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <exception>
#include <iostream>
#include <ostream>

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
#include "transport/KrUsableCores.h"
#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"

namespace {

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

// The access-log line of an answer object (its copy of the request's
// fields); the agent is looked up after the referer is copied, as a lookup
// may add an entry to the fields.
KrAnswerLine::Kept LineOfAnswer(KrXHeader& answer) {
    KrAnswerLine::Kept line{answer.protocolKind(), answer.status(), answer.creationTimeText(),
                            answer.requestLine(), FirstOrDash(answer.rawRequestHeader("referer")),
                            {}};
    line.agent = FirstOrDash(answer.rawRequestHeader("user-agent"));
    return line;
}

// Says on standard error that `what` failed, and why: called while the
// exception is handled.
void TellFailure(const std::string& what) {
    std::cerr << what << " failed";
    try {
        throw;
    } catch (const std::exception& error) {
        std::cerr << ": " << error.what();
    } catch (...) {
    }
    std::cerr << std::endl;
}

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
    _setBufferWorkers(std::clamp<size_t>(KrUsableCores() / 2, 2, 8));
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
}

std::shared_ptr<KrTransceiverConnection> KrTransceiverServerL1HTTP::_createConnection(
    KrTransceiver& owner, std::string name, KrServerCallback_t& info,
    std::shared_ptr<KrSocketIPvx>& socket) {
    std::shared_ptr<KrTransceiverConnection> connection =
        KrTransceiverServerL0Socket::_createConnection(owner, std::move(name), info, socket);
    if (listening) {
        // What one head may be: a request being read takes its bytes as they
        // come, and while an answer is made no more is read ahead; the rest
        // waits in the peer's socket.
        connection->record().inputLimit.store(KrXHeader::kMaxHeadLength);
    }
    return connection;
}

void KrTransceiverServerL1HTTP::setHeadTimeLimit(long microseconds) {
    std::lock_guard<std::mutex> guard(_limitsLock);
    _headTimeLimit = microseconds;
}

void KrTransceiverServerL1HTTP::setBodyTimeLimit(long microseconds) {
    std::lock_guard<std::mutex> guard(_limitsLock);
    _bodyTimeLimit = microseconds;
}

void KrTransceiverServerL1HTTP::_bufferworkfunction(std::string connectionId, std::string) {
    // Every pair of this server carries its connection's turn.
    auto* owner = static_cast<KrTransceiver*>(transceiver.load());
    if (owner == nullptr)
        return;
    if (std::shared_ptr<KrTransceiverConnection> connection = owner->findConnection(connectionId))
        owner->_serve(*connection, true);
    KrTransceiver::flushLogging();
}

void KrTransceiverServerL1HTTP::_shutdown(KrJob* job) {
    auto* owner = static_cast<KrTransceiver*>(transceiver.load());
    // From here on it serves nothing: its connections go.
    _stopped.store(true);
    KrTransceiverServerL0Socket::_shutdown(job);
    // Pairs no worker took carry their connections' turns: each is served
    // once more here, which ends it.
    std::deque<std::pair<std::string, std::string>> left;
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(queueLock);
        left.swap(queue);
    }
    for (const auto& pair : left) {
        if (auto connection = owner != nullptr && owner == job ? owner->findConnection(pair.first)
                                                              : nullptr)
            owner->_serve(*connection, true);
    }
}

std::shared_ptr<KrTransceiverClient> KrTransceiverServerL1HTTP::_findClient(KrTransceiver& owner) {
    std::lock_guard<std::mutex> guard(_clientLock);
    std::shared_ptr<KrTransceiverClient> client = _client.lock();
    if (!client) {
        client = owner.findClient(clientName);
        _client = client;
    }
    return client;
}

KrTransceiverServer::Served KrTransceiverServerL1HTTP::_serveConnection(
    KrTransceiverConnection& connection, bool onWorker) {
    auto* owner = static_cast<KrTransceiver*>(transceiver.load());
    if (owner == nullptr || _stopped.load())
        return Served::kCannotServe;
    // A carrier's answers run its client's code, as requests for the
    // application do: on one of its workers, never on the loops.
    if (!listening && !onWorker) {
        if (connection.phase() != KrConnectionPhase::kReading)
            return Served::kDone;
        connection._setPhase(KrConnectionPhase::kAtWorker);
        _insert_bufferSignaled(connection.id(), clientName);
        return Served::kHandedOff;
    }
    const std::shared_ptr<KrTransceiverClient> client = _findClient(*owner);
    if (!client)
        return Served::kDone;  // bytes wait until a client is there
    KrConnectionRecord& record = connection.record();
    bool more = true;
    if (connection.phase() == KrConnectionPhase::kAtWorker) {
        connection._setPhase(KrConnectionPhase::kReading);
        // A listener hands over a complete request; a carrier's worker
        // reads the bytes itself.
        if (listening && record.request) {
            more = _dispatchOne(*owner, connection, *client, std::move(record.request));
            owner->_writeOut(connection);
        }
    }
    while (more && connection.phase() == KrConnectionPhase::kReading) {
        Step step = Step::kStop;
        try {
            step = _readOne(*owner, connection, client, onWorker);
        } catch (...) {
            // The reader or the server itself failed: the connection's
            // framing is lost, so it goes; the server keeps serving.
            TellFailure("request on " + connection.id());
            owner->_close(connection);
            break;
        }
        if (step == Step::kHandedOff)
            return Served::kHandedOff;
        // The answer goes out from here, before the next request is read.
        owner->_writeOut(connection);
        more = step == Step::kMore;
    }
    // After the peer's end of input, the connection closes once every
    // complete request it sent has been answered: what is left can never
    // make a request.
    if (record.inputEnded && connection.phase() == KrConnectionPhase::kReading &&
        !connection.isInputReady())
        owner->_close(connection);
    return Served::kDone;
}

std::shared_ptr<KrXHeader> KrTransceiverServerL1HTTP::_newRequest(
    KrTransceiverConnection& connection, KrTransceiverClient& client) {
    KrConnectionRecord& record = connection.record();
    // The connection's task is the one its answers joined. A listener's
    // connection is read by its turn holder, which keeps its own copy of
    // the name; a carrier's answer joins the outgoing request's task.
    thread_local std::string copied;
    if (!listening)
        connection.linkNameInto(copied);
    const std::string& linked = listening ? connection.servingLinkName() : copied;
    std::string madeTask;
    if (linked.empty())
        madeTask = client.createJoinedTaskSelf("receive_" + client.id());
    const std::string& task = linked.empty() ? madeTask : linked;
    // Made as a POST; the reader sets the method from the request line. A
    // header with its shared count (about 1.8 KB) is larger than the blocks
    // the allocator keeps for each thread: the thread keeps a few itself.
    auto header = std::allocate_shared<KrXHeader>(KrRecyclingAllocator<KrXHeader>(), KR_HTTP_POST,
                                                  false, protocolKind);
    header->setDirection(KR_DIRECTION_REQUEST);
    header->setReadRoute(connection.id(), id(), task);
    header->markIncoming();
    if (listening) {
        header->requireHost();
        // A peer's body costs the server a file, not memory, past a little.
        header->keepBodyInFilePast(KrXHeader::kMaxBodyInMemory);
    }
    header->sharePeerInfo(connection.sharedInfo());
    // A request read by a listener carries its task's name but does not join
    // it: nothing sends a request messages, and its membership would only
    // cost two registry changes per request. A carrier's answer joins, as the
    // outgoing request's task follows its answer.
    if (!listening)
        header->joinTask(task);
    if (listening && !madeTask.empty()) {
        // A request left unanswered never linked the connection to its
        // task, so the next one made another: the old one goes. The task
        // left with the connection is dissolved when it goes.
        if (!record.task.empty())
            KrCombinedTask::global().leave(record.task, client.id());
        record.task = std::move(madeTask);
        record.taskOwner = client.id();
    }
    return header;
}

KrTransceiverServerL1HTTP::Step KrTransceiverServerL1HTTP::_readOne(
    KrTransceiver& owner, KrTransceiverConnection& connection,
    const std::shared_ptr<KrTransceiverClient>& client, bool onWorker) {
    KrConnectionRecord& record = connection.record();
    const int64_t deadline = record.deadline.load(std::memory_order_relaxed);
    // The clock is read only where a limit runs: a request that comes whole
    // needs none.
    int64_t now = deadline != 0 ? KrSteadyMicros() : 0;
    const bool expired = deadline != 0 && now >= deadline;
    // Nothing to read (a finished answer, a late wake-up) starts no message.
    if (!connection.isInputReady() && !expired)
        return Step::kStop;
    // The answers before have not drained to the window: the next one waits
    // until they have (the send loop tells the turn then). Drained before
    // the phase was seen: read on here.
    if (connection.pendingOutputBytes() >= KrConnectionRecord::kOutputWindow) {
        connection._setPhase(KrConnectionPhase::kDraining);
        if (connection.pendingOutputBytes() >= KrConnectionRecord::kOutputWindow)
            return Step::kStop;
        connection._setPhase(KrConnectionPhase::kReading);
    }
    // A request that arrives whole is read and answered without ever being
    // kept in the record: it goes there only when it has to wait.
    std::shared_ptr<KrXHeader> header =
        record.request ? std::move(record.request) : _newRequest(connection, *client);
    const long arrived = connection.drainInput(header->body());
    const bool wasInHead = header->inHead();
    int result;
    if (header->refusalStatus() == 0 && expired)
        result = header->refuse(408);
    else
        result = header->read(
            [client = client.get()](KrXHeader&) { return client->onHeaderComplete(); });
    const bool inHead = header->inHead();
    if (result == KR_READ_MORE) {
        // The client waits for this before it sends the body.
        const bool sendContinue =
            wasInHead && !inHead && header->expectsContinue() && header->body().Length() == 0;
        record.request = std::move(header);
        if (now == 0)
            now = KrSteadyMicros();
        if (inHead) {
            // The limit runs from the head's first bytes; later bytes don't
            // restart it.
            if (deadline == 0) {
                std::lock_guard<std::mutex> guard(_limitsLock);
                owner._armDeadline(connection, now + _headTimeLimit);
            }
            return Step::kStop;
        }
        // The body's limit runs from the end of the head and grows with
        // every byte that comes, so only a peer slower than the minimum
        // rate runs out of it.
        if (deadline == 0 || wasInHead) {
            std::lock_guard<std::mutex> guard(_limitsLock);
            owner._armDeadline(connection, now + _bodyTimeLimit);
        } else {
            record.deadline.store(deadline + static_cast<int64_t>(arrived) * 1000000 /
                                                 static_cast<int64_t>(kMinBodyRate));
        }
        if (sendContinue) {
            size_t queued = 0;
            connection.queueOutput(kContinueAnswer.data(), kContinueAnswer.size(), queued);
        }
        return Step::kStop;
    }
    // Mostly unset already: a store is only made when there is one to clear.
    if (deadline != 0)
        record.deadline.store(0);
    if (result == KR_READ_REFUSED) {
        _refuse(owner, connection, *client, *header);
        return Step::kStop;
    }
    if (!onWorker && !client->answersInline(*header)) {
        // The application answers it: one of the workers, so that the
        // application never holds up the thread that read it. The turn goes
        // with the request, and so do the bytes behind it.
        record.request = std::move(header);
        connection._setPhase(KrConnectionPhase::kAtWorker);
        _insert_bufferSignaled(connection.id(), clientName);
        return Step::kHandedOff;
    }
    return _dispatchOne(owner, connection, *client, std::move(header)) ? Step::kMore
                                                                         : Step::kStop;
}

bool KrTransceiverServerL1HTTP::_dispatchOne(KrTransceiver& owner,
                                             KrTransceiverConnection& connection,
                                             KrTransceiverClient& client,
                                             std::shared_ptr<KrXHeader> header) {
    KrConnectionRecord& record = connection.record();
    record.unfinished.reset();
    std::unique_lock<std::mutex> headerLock(header->mutex());
    bool handled = false;
    DirectSink direct(*this, connection);
    if (listening) {
        header->allowLaterAnswer();
        header->setDirectAnswer(&direct);
    }
    try {
        handled = client.dispatch(dispatchKey, *header);
    } catch (...) {
        TellFailure("request " + header->logRequestLine());
        header->refuse(500);
    }
    header->setDirectAnswer(nullptr);
    if (header->refusalStatus() == 500) {
        _refuse(owner, connection, client, *header);
        return false;
    }
    // A request that asks to close is the last one read: what came behind
    // it is no request (a front end may have sent it for another client),
    // and is dropped unread while its answer goes out.
    const bool close = header->closeAfter();
    std::string rest = header->takePipelined();
    KrXHeader::LaterAnswer later = header->takeLaterAnswer();
    if (later) {
        // The answer is made off this thread: the connection reads nothing
        // more until it has ended. The request stays alive in `later`. Its
        // line says 500 (nobody has answered yet) until its maker tells the
        // status.
        static const std::string kDash = "-";
        KrAnswerLine::Kept line{header->protocolKind(), 500,
                                std::string(header->creationTimeView()),
                                header->logRequestLine(), header->firstRawHeader("referer", kDash),
                                header->firstRawHeader("user-agent", kDash)};
        headerLock.unlock();
        connection._beginAnswering(nullptr);
        connection._openAnswer(std::move(line));
        if (close)
            owner._close(connection);
        else
            connection._unread(std::move(rest));
        _startLater(owner, connection, client, std::move(header), std::move(later));
        return false;
    }
    if (close)
        owner._close(connection);
    headerLock.unlock();
    if (!handled) {
        // The client did not finish with the complete message: it stays.
        record.unfinished = header;
    }
    if (header->isHandled()) {
        // An answer to an outgoing request: the carrier is free again.
        const std::string token = header->routeToken(1);
        std::lock_guard<std::recursive_mutex> guard(_messageLock);
        if (transceiver != nullptr) {
            connection.resetBuffers();
            rest.clear();
            owner._finishServerTask(token);
        }
    }
    // An answer that closed the connection leaves nothing to read either.
    if (close || rest.empty() || connection.phase() >= KrConnectionPhase::kClosing)
        return false;
    connection._unread(std::move(rest));
    return true;
}

void KrTransceiverServerL1HTTP::_startLater(KrTransceiver& owner,
                                            KrTransceiverConnection& connection,
                                            KrTransceiverClient& client,
                                            std::shared_ptr<KrXHeader> header,
                                            KrXHeader::LaterAnswer later) {
    KrConnectionRecord& record = connection.record();
    const uint64_t before = connection.queuedPosition();
    std::weak_ptr<KrTransceiverConnection> weak = record.self;
    try {
        // The request stays alive with the answer's end (which the answer
        // keeps until it calls it).
        later([weak, header](bool last) {
            if (std::shared_ptr<KrTransceiverConnection> done = weak.lock())
                done->_answerEnded(last);
        });
        return;
    } catch (...) {
        TellFailure("request " + header->logRequestLine());
    }
    // The answer could not start: it ends cut short, answered as a request
    // whose handler failed unless some of it went out.
    if (record.answer)
        record.answer->cancel();
    if (connection.queuedPosition() == before) {
        std::lock_guard<std::mutex> headerLock(header->mutex());
        header->refuse(500);
        _refuse(owner, connection, client, *header);
    }
    owner._endAnswer(connection, true);
}

void KrTransceiverServerL1HTTP::_refuse(KrTransceiver& owner, KrTransceiverConnection& connection,
                                        KrTransceiverClient& client, KrXHeader& header) {
    // On a listener every message is a request, also one whose first line
    // could not be read; a carrier's peer is a server and gets no answer.
    if (listening || header.direction() == KR_DIRECTION_REQUEST) {
        std::shared_ptr<KrXHeader> answer(header.makeRefusal());
        owner.send(client, answer, callback, header.taskName());
    }
    owner._close(connection);
}

bool KrTransceiverServerL1HTTP::_sendResponse(std::string connectionId, KrXHeader* message) {
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
        // The head of the answer being made off the turn (a program's): its
        // maker tells its end. Any other answer ends here.
        const bool open = connection->_setAnswerStatus(message->status());
        const bool here = connection->isServedHere();
        const uint64_t start = connection->queuedPosition();
        bool whole = true;
        if (ok && !message->fileBody().empty())
            whole = _queueFile(*connection, *message, std::move(head));
        else if (ok)
            connection->queueOutputOwned(std::move(head), message->takeBody());
        if (!open) {
            const KrAnswerLine::Kept kept = LineOfAnswer(*message);
            const KrAnswerLine line = kept.view();
            if (here) {
                owner->_endAnswer(*connection, !whole, &line, start);
            } else {
                // Sent out of turn, with no answer begun: it is logged as it
                // goes, and a cut one closes the connection.
                connection->_markAnswer(start, line);
                if (!whole)
                    connection->requestClose();
            }
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
    // Head and body leave in one gathered write; the body is not copied.
    const uint64_t start = connection.sendOutput(head, body);
    static const std::string kDash = "-";
    static const std::string kReferer = "referer";
    static const std::string kAgent = "user-agent";
    std::string& requestLine = text;
    request.logRequestLineInto(requestLine);
    const std::string referer = request.firstRawHeader(kReferer, kDash);
    const std::string agent = request.firstRawHeader(kAgent, kDash);
    const KrAnswerLine line{request.protocolKind(), 200, request.creationTimeView(), requestLine,
                            referer, agent};
    static_cast<KrTransceiver*>(transceiver.load())->_endAnswer(connection, false, &line, start);
    return true;
}

void KrTransceiverServerL1HTTP::_logAnswer(KrTransceiverConnection& connection,
                                           const KrAnswerLine& answer, uint64_t bytes) {
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
    appendAccessLogLine(line, connection.remoteAddress(), KrURL::schemeName(answer.protocolKind),
                        answer.time, answer.requestLine, answer.status,
                        static_cast<unsigned long>(bytes), answer.referer, answer.agent);
    callback(record);
    kept = std::move(record);
}

bool KrTransceiverServerL1HTTP::_queueFile(KrTransceiverConnection& connection,
                                           KrXHeader& message, std::unique_ptr<KrStringBuf> head) {
    std::shared_ptr<KrFileHandle> file = message.takeOpenFile();
    if (!file)
        file = std::make_shared<KrFileHandle>(
            KrFileHandle::openForReading(message.fileBody().c_str()));
    const auto length = static_cast<uint64_t>(message.bodyLength());
    if (!file->isOpen()) {
        // The head announced a length that cannot be sent.
        connection.queueOutputOwned(std::move(head));
        return false;
    }
    if (length > kInlineFile) {
        // From the file to the socket: the server holds none of it.
        connection.queueOutputFile(std::move(head), std::move(file), 0, length);
        return true;
    }
    // A small file goes with its head in one piece of output.
    auto body = std::make_unique<KrStringBuf>();
    const bool whole = _readFile(*file, length, *body);
    connection.queueOutputOwned(std::move(head), std::move(body));
    return whole;
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
