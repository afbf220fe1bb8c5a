#include "transport/KrTransceiverConnection.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <utility>

#include "foundation/KrCombinedTask.h"
#include "foundation/KrFileHandle.h"
#include "foundation/KrJobMessage.h"
#include "transport/KrSocketIPvx.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverServer.h"

namespace {

// One read takes what the kernel has, up to this much, straight into the
// input; the loop reads again while reads come back full.
constexpr size_t kReadChunk = 16384;
constexpr size_t kKeptInputRoom = 2048;
// Buffers offered to one gathered write.
constexpr int kMaxPieces = 64;
// A file's bytes offered to one sendfile.
constexpr uint64_t kFileSendChunk = 1u << 30;

size_t unread(KrStringBuf* buffer) {
    return static_cast<size_t>(buffer->Length());
}

// Moves the read position; seekoff (unlike gbump) first extends the get
// area to everything written, and takes counts beyond int.
void skip(KrStringBuf* buffer, size_t count) {
    buffer->pubseekoff(static_cast<std::streamoff>(count), std::ios_base::cur, std::ios_base::in);
}

const std::string& RemoteAddressOf(const KrServerCallback_t& info) {
    static const std::string kNone = "none";
    const auto remote = info.values.find("remoteaddress");
    return remote != info.values.end() ? remote->second : kNone;
}

// The connection this thread serves (holds the turn of), if any.
thread_local const KrTransceiverConnection* tServing = nullptr;

// An answer begun without a stream of its own (a program that is still to
// write): it has nothing to resume, and tells its end itself.
class NoStream : public KrAnswerStream {
  public:
    void resume(KrTransceiverConnection&) override {}
    bool cancel() override { return false; }
};

std::shared_ptr<KrAnswerStream> NoStreamYet() {
    static const std::shared_ptr<KrAnswerStream> none = std::make_shared<NoStream>();
    return none;
}

using Phase = KrConnectionPhase;

// The table atop the header: bit `to` of row `from` is set when the change
// is allowed.
constexpr unsigned Bit(Phase phase) {
    return 1u << static_cast<unsigned>(phase);
}
constexpr unsigned kLeaves = Bit(Phase::kClosing) | Bit(Phase::kGone);
constexpr unsigned kWaits = Bit(Phase::kAnswering) | Bit(Phase::kDraining);
constexpr unsigned kMayBecome[] = {
    /* Reading   */ Bit(Phase::kAtWorker) | kWaits | kLeaves,
    /* AtWorker  */ Bit(Phase::kReading) | kWaits | Bit(Phase::kGone),
    /* Answering */ Bit(Phase::kReading) | kLeaves,
    /* Draining  */ Bit(Phase::kReading) | kLeaves,
    /* Closing   */ Bit(Phase::kLingering) | Bit(Phase::kGone),
    /* Lingering */ Bit(Phase::kGone),
    /* Gone      */ 0,
};
constexpr const char* kPhaseNames[] = {"Reading", "AtWorker", "Answering", "Draining",
                                       "Closing", "Lingering", "Gone"};

// Set once from the environment: each phase change is written out.
bool TracePhases() {
    static const bool trace = std::getenv("QUIVO_TRACE_PHASES") != nullptr;
    return trace;
}

[[maybe_unused]] bool MayBecome(KrConnectionPhase from, KrConnectionPhase to) {
    return (kMayBecome[static_cast<unsigned>(from)] & Bit(to)) != 0;
}

}  // namespace

const char* KrConnectionPhaseName(KrConnectionPhase phase) {
    return kPhaseNames[static_cast<unsigned>(phase)];
}

KrTransceiverConnection::KrTransceiverConnection(
    KrTransceiver* transceiver, const std::string& serverName, const std::string& ownerName,
    const KrServerCallback_t& info, CloseCallback closeCallback, long timeoutMicroseconds)
    : KrJobWithTimeout(timeoutMicroseconds),
      _serverName(serverName),
      _ownerName(ownerName),
      _transceiver(transceiver),
      _closeCallback(std::move(closeCallback)),
      _info(std::make_shared<const KrServerCallback_t>(info)),
      _remoteAddress(RemoteAddressOf(*_info)) {}

KrTransceiverConnection::~KrTransceiverConnection() {
    _leaveRegistry();
    std::scoped_lock both(_messageLock, _outputLock, _inputLock);
    _output.clear();
}

size_t KrTransceiverConnection::OutputPiece::size() const {
    return bytes ? unread(bytes.get()) : static_cast<size_t>(left);
}

bool KrTransceiverConnection::onMessage(const KrJobMessage&) {
    return true;
}

bool KrTransceiverConnection::joinTask(const std::string& name) {
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    _linkName = name;
    _linkChanges.fetch_add(1, std::memory_order_release);
    return KrJobWithTimeout::joinTask(name);
}

bool KrTransceiverConnection::leaveJoinedTask(const std::string& name) {
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    _linkName.clear();
    _linkChanges.fetch_add(1, std::memory_order_release);
    return KrJobWithTimeout::leaveJoinedTask(name);
}

const std::string& KrTransceiverConnection::servingLinkName() {
    // A change after the count is read is a change after this request was
    // read: the copy is the name as it was then.
    if (_linkChanges.load(std::memory_order_acquire) != _servingLinkAt) {
        std::lock_guard<std::recursive_mutex> guard(_messageLock);
        _servingLink = _linkName;
        _servingLinkAt = _linkChanges.load(std::memory_order_relaxed);
    }
    return _servingLink;
}

void KrTransceiverConnection::linkNameInto(std::string& out) {
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    out.assign(_linkName);
}

bool KrTransceiverConnection::isLinkedTo(const std::string& task) {
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    return _linkName == task;
}

const KrServerCallback_t& KrTransceiverConnection::info() {
    // Made with the connection and never replaced: no lock needed.
    return *_info;
}

void KrTransceiverConnection::_signalServer() {
    // News for the turn: a server that reads under it does so on the thread
    // that has the news when the turn is free (a hand-over to its jobs
    // costs two thread switches per request); any other is told by message.
    if (_transceiver != nullptr)
        _post(KrConnectionRecord::kInput);
    else
        _tellServer();
}

void KrTransceiverConnection::_tellServer() {
    KrCombinedTask::global().post(_serverName, KrJobMessage(id(), KR_MESSAGE_BYTES_ARRIVED, ""));
}

void KrTransceiverConnection::_post(uint32_t news) {
    // Outside a transceiver nothing serves it: the news is dropped.
    if (_transceiver != nullptr && _record.post(news))
        _transceiver->_serve(*this, false);
}

bool KrTransceiverConnection::isServedHere() const {
    return tServing == this;
}

KrTransceiverConnection::ServingHere::ServingHere(KrTransceiverConnection& connection)
    : _before(tServing) {
    tServing = &connection;
}

KrTransceiverConnection::ServingHere::~ServingHere() {
    tServing = _before;
}

void KrTransceiverConnection::_setPhase(KrConnectionPhase to) {
    const KrConnectionPhase from = _record.phase.load(std::memory_order_relaxed);
    if (from == to)
        return;
    assert(isServedHere() && "only the turn holder changes a connection's phase");
    assert(MayBecome(from, to) && "a change the phase table does not allow");
    if (TracePhases()) {
        // One write per line: changes on several threads do not interleave.
        std::string line = "connection " + id() + ": " + KrConnectionPhaseName(from) + " -> " +
                           KrConnectionPhaseName(to) + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    // Sequentially consistent, as the loops' reads of it are: a loop that
    // drains the output after this store sees the phase that waits for it,
    // or this thread sees the drained output (see KrTransceiver::_serve).
    _record.phase.store(to);
}

bool KrTransceiverConnection::_beginAnswering(std::shared_ptr<KrAnswerStream> stream) {
    const KrConnectionPhase now = phase();
    if (now == Phase::kReading || now == Phase::kAtWorker) {
        _record.answer = stream ? std::move(stream) : NoStreamYet();
        _setPhase(Phase::kAnswering);
        return true;
    }
    // The stream of an answer begun without one.
    if ((now == Phase::kAnswering || now == Phase::kClosing) && stream &&
        _record.answer == NoStreamYet()) {
        _record.answer = std::move(stream);
        return true;
    }
    return false;
}

void KrTransceiverConnection::_answerEnded(bool last) {
    _post(KrConnectionRecord::kAnswerEnded | (last ? KrConnectionRecord::kLastAnswer : 0u));
}

void KrTransceiverConnection::_appendInput(const char* data, size_t length) {
    std::lock_guard<std::mutex> guard(_inputLock);
    _input.append(data, length);
    // Set under the lock; a reader without it is ordered by the hand-over
    // to the serving thread that follows.
    _hasInput.store(true, std::memory_order_release);
}

int KrTransceiverConnection::feed(const char* data, size_t length) {
    if (data == nullptr || length == 0)
        return 0;
    restartTimer();
    _appendInput(data, length);
    _signalServer();
    return 0;
}

long KrTransceiverConnection::receive(KrSocketIPvx& socket) {
    long total = 0;
    bool ended = false;
    const size_t limit = _record.inputLimit.load();
    // Reads land on the stack and only what arrived is appended: growing the
    // input by a whole chunk first would clear (and, after each drain, fault
    // in) 16 KiB per read for the few hundred bytes a request brings.
    char chunk[kReadChunk];
    for (;;) {
        size_t room = kReadChunk;
        if (limit != SIZE_MAX && !_hasInput.load() && limit > 0) {
            // Nothing unread (only this thread adds input): the whole limit
            // is free, no lock needed to know it.
            room = std::min(room, limit);
        } else if (limit != SIZE_MAX) {
            std::lock_guard<std::mutex> guard(_inputLock);
            if (_input.size() >= limit) {
                // The server has not taken what came: stop reading until it
                // drains, so a peer cannot grow the input without end.
                if (!_record.readPaused && _transceiver != nullptr) {
                    _record.readPaused = true;
                    _transceiver->_watchInput(*this, false);
                }
                break;
            }
            room = std::min(room, limit - _input.size());
        }
        size_t length = 0;
        socket.lastError = 0;
        socket.Receive(chunk, room, length);
        if (length == 0) {
            ended =
                socket.closed || (socket.lastError != EAGAIN && socket.lastError != EWOULDBLOCK);
            break;
        }
        _appendInput(chunk, length);
        total += static_cast<long>(length);
        if (length < room)
            break;  // the kernel had no more; the next readiness brings the rest
    }
    if (total > 0) {
        restartTimer();
        _signalServer();
    }
    return ended ? -1 : total;
}

void KrTransceiverConnection::_unread(std::string bytes) {
    if (bytes.empty())
        return;
    std::lock_guard<std::mutex> guard(_inputLock);
    if (_input.empty())
        _input.swap(bytes);
    else
        _input.insert(0, bytes);
    _hasInput.store(true, std::memory_order_release);
}

long KrTransceiverConnection::drainInput(std::streambuf& out) {
    std::lock_guard<std::mutex> guard(_inputLock);
    const size_t length = _input.size();
    if (length > 0)
        out.sputn(_input.data(), static_cast<std::streamsize>(length));
    // Room for a request's head stays for the next one; more than that goes
    // with the drained bytes, so a connection that once took a large body
    // does not keep its room while idle.
    if (_input.capacity() > kKeptInputRoom)
        std::string().swap(_input);
    else
        _input.clear();
    _hasInput.store(false, std::memory_order_release);
    if (_record.readPaused && _transceiver != nullptr) {
        _record.readPaused = false;
        _transceiver->_watchInput(*this, true);
    }
    return static_cast<long>(length);
}

void KrTransceiverConnection::_appendOutputNL(OutputPiece piece) {
    // Once the connection has gone nothing more is written: nothing is kept.
    if (_outputClosed)
        return;
    const size_t length = piece.size();
    if (piece.file)
        _fileBytes.fetch_add(length);
    _output.push_back(std::move(piece));
    _outputBytes.fetch_add(length);
    _queuedTotal += length;
    _outputPending.store(true);
}

void KrTransceiverConnection::_clearOutputNL() {
    _output.clear();
    _outputBytes.store(0);
    _fileBytes.store(0);
    _outputPending.store(false);
}

void KrTransceiverConnection::_outputAppended() {
    if (_transceiver != nullptr)
        _transceiver->_outputQueued(*this);
}

int KrTransceiverConnection::queueOutput(const char* data, size_t length, size_t& queued) {
    queued = length;
    auto buffer = std::make_unique<KrStringBuf>();
    buffer->sputn(data, static_cast<std::streamsize>(length));
    return queueOutputOwned(std::move(buffer));
}

uint64_t KrTransceiverConnection::sendOutput(std::string_view head, std::string_view body) {
    const size_t length = head.size() + body.size();
    if (isServedHere() && _record.socket && phase() != Phase::kGone) {
        std::unique_lock<std::mutex> guard(_outputLock);
        const uint64_t start = _queuedTotal;
        if (_output.empty() && !_outputClosed) {
            restartTimer();
            // A failure is met again, and handled, by the write of the rest.
            const iovec pieces[2] = {{const_cast<char*>(head.data()), head.size()},
                                     {const_cast<char*>(body.data()), body.size()}};
            size_t written = 0;
            _record.socket->lastSendError = 0;
            _record.socket->SendVector(pieces, body.empty() ? 1 : 2, written);
            _queuedTotal += written;
            _writtenTotal += written;
            if (written == length)
                return start;
            auto rest = std::make_unique<KrStringBuf>();
            if (written < head.size())
                rest->sputn(head.data() + written,
                            static_cast<std::streamsize>(head.size() - written));
            const size_t bodySent = written > head.size() ? written - head.size() : 0;
            rest->sputn(body.data() + bodySent,
                        static_cast<std::streamsize>(body.size() - bodySent));
            _appendOutputNL(OutputPiece{std::move(rest)});
            guard.unlock();
            _outputAppended();
            return start;
        }
    }
    const uint64_t start = queuedPosition();
    size_t queued = 0;
    queueOutput(head.data(), head.size(), queued);
    if (!body.empty())
        queueOutput(body.data(), body.size(), queued);
    return start;
}

int KrTransceiverConnection::queueOutputBuffer(KrStringBuf*& buffer) {
    if (buffer == nullptr || buffer->Length() == 0) {
        restartTimer();
        return 0;
    }
    return queueOutputOwned(std::unique_ptr<KrStringBuf>(std::exchange(buffer, new KrStringBuf())));
}

int KrTransceiverConnection::queueOutputOwned(std::unique_ptr<KrStringBuf> first,
                                              std::unique_ptr<KrStringBuf> second) {
    restartTimer();
    bool any = false;
    {
        std::lock_guard<std::mutex> guard(_outputLock);
        for (std::unique_ptr<KrStringBuf>* buffer : {&first, &second}) {
            if (*buffer && (*buffer)->Length() > 0) {
                _appendOutputNL(OutputPiece{std::move(*buffer)});
                any = true;
            }
        }
    }
    if (any)
        _outputAppended();
    return 0;
}

void KrTransceiverConnection::queueOutputFile(std::unique_ptr<KrStringBuf> head,
                                              std::shared_ptr<KrFileHandle> file, uint64_t offset,
                                              uint64_t length) {
    restartTimer();
    {
        std::lock_guard<std::mutex> guard(_outputLock);
        if (head && head->Length() > 0)
            _appendOutputNL(OutputPiece{std::move(head)});
        if (_outputClosed || length == 0)
            return;
        _appendOutputNL(OutputPiece{nullptr, std::move(file), offset, length});
    }
    _outputAppended();
}

void KrTransceiverConnection::peekOutput(std::string& out) {
    std::lock_guard<std::mutex> guard(_outputLock);
    if (_output.empty())
        return;
    const OutputPiece& front = _output.front();
    if (front.bytes) {
        front.bytes->CopyOut(out, 0, UINT64_MAX);
        return;
    }
    const size_t at = out.size();
    out.resize(at + front.left);
    const ssize_t got = ::pread(front.file->get(), out.data() + at, front.left,
                                static_cast<off_t>(front.offset));
    out.resize(at + static_cast<size_t>(std::max<ssize_t>(got, 0)));
}

void KrTransceiverConnection::consumeOutput(size_t count) {
    std::lock_guard<std::mutex> guard(_outputLock);
    if (!_output.empty())
        _takeNL(std::min(count, _output.front().size()));
    if (_output.empty() || _output.front().size() == 0)
        _outputPending.store(false);
}

void KrTransceiverConnection::_takeNL(size_t count) {
    _outputBytes.fetch_sub(count);
    _writtenTotal += count;
    while (count > 0 && !_output.empty()) {
        OutputPiece& front = _output.front();
        const size_t take = std::min(count, front.size());
        if (front.bytes) {
            skip(front.bytes.get(), take);
        } else {
            front.offset += take;
            front.left -= take;
            _fileBytes.fetch_sub(take);
        }
        count -= take;
        if (front.size() == 0)
            _output.pop_front();
    }
}

size_t KrTransceiverConnection::pendingOutputBytes() {
    return _outputBytes.load();
}

int KrTransceiverConnection::writePending(KrSocketIPvx& socket) {
    std::vector<SentMark> due;
    int state;
    uint64_t before;
    uint64_t after;
    {
        // Held across the write: resetBuffers may free buffers on another
        // thread.
        std::lock_guard<std::mutex> guard(_outputLock);
        before = _writtenTotal;
        state = _writeLocked(socket);
        after = _writtenTotal;
        if (!_sentMarks.empty())
            _takeWrittenNL(due);
    }
    // Bytes that reached the peer are traffic: a peer that takes its answer
    // slowly is not idle, one that takes none of it is.
    if (after != before)
        restartTimer();
    if (!due.empty())
        _report(due);
    if (state != 2)
        return state;
    _post(KrConnectionRecord::kCloseAsked);
    return 0;
}

int KrTransceiverConnection::_writeLocked(KrSocketIPvx& socket) {
    for (;;) {
        while (!_output.empty() && _output.front().size() == 0)
            _output.pop_front();
        if (_output.empty()) {
            _clearOutputNL();
            return 0;
        }
        size_t written = 0;
        socket.lastSendError = 0;
        OutputPiece& front = _output.front();
        if (front.file) {
            uint64_t at = front.offset;
            socket.SendFile(front.file->get(), at,
                            static_cast<size_t>(std::min(front.left, kFileSendChunk)), written);
            if (written == 0 && socket.lastSendError == 0) {
                // The file is shorter than its answer announced: nothing
                // behind it can be framed, so the output ends here and the
                // connection closes after what was sent.
                _clearOutputNL();
                return 2;
            }
        } else {
            // The memory pieces up to the next file piece, in one write.
            iovec pieces[kMaxPieces];
            int count = 0;
            for (auto it = _output.begin();
                 it != _output.end() && it->bytes && count < kMaxPieces; ++it) {
                if (const size_t length = it->size(); length > 0)
                    pieces[count++] = iovec{it->bytes->Begin(), length};
            }
            socket.SendVector(pieces, count, written);
        }
        _takeNL(written);
        if (written == 0) {
            if (socket.lastSendError == EAGAIN || socket.lastSendError == EWOULDBLOCK)
                return 1;
            // EPIPE, ECONNRESET and the like end this connection only.
            return -1;
        }
    }
}

void KrTransceiverConnection::requestClose() {
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    setActive(false);
    if (!_closeCallback)
        throw std::bad_function_call();
    // A connection that belongs to no transceiver has nothing to close it.
    if (_transceiver != nullptr)
        _closeCallback(*_transceiver, this);
}

void KrTransceiverConnection::resetBuffers() {
    {
        std::lock_guard<std::mutex> guard(_inputLock);
        leaveTask(getJoinedTask());
        std::string().swap(_input);
        _hasInput.store(false);
    }
    std::lock_guard<std::mutex> guard(_outputLock);
    _clearOutputNL();
}

uint64_t KrTransceiverConnection::queuedPosition() {
    std::lock_guard<std::mutex> guard(_outputLock);
    return _queuedTotal;
}

void KrTransceiverConnection::_openAnswer(KrAnswerLine::Kept line) {
    std::lock_guard<std::mutex> guard(_outputLock);
    _openMark = std::make_unique<SentMark>(SentMark{_queuedTotal, 0, std::move(line)});
}

bool KrTransceiverConnection::_setAnswerStatus(unsigned long status) {
    std::lock_guard<std::mutex> guard(_outputLock);
    if (!_openMark)
        return false;
    _openMark->line.status = status;
    return true;
}

void KrTransceiverConnection::_closeAnswer() {
    std::unique_ptr<SentMark> open;
    {
        std::lock_guard<std::mutex> guard(_outputLock);
        open.swap(_openMark);
    }
    if (open)
        _markAnswer(open->start, open->line.view());
}

void KrTransceiverConnection::_markAnswer(uint64_t start, const KrAnswerLine& line) {
    uint64_t bytes;
    {
        std::lock_guard<std::mutex> guard(_outputLock);
        SentMark mark{start, _queuedTotal, {}};
        if (!_dueNL(mark)) {
            // Its bytes are still on their way: the line waits for them.
            mark.line = {line.protocolKind, line.status, std::string(line.time),
                         std::string(line.requestLine), std::string(line.referer),
                         std::string(line.agent)};
            _sentMarks.push_back(std::move(mark));
            return;
        }
        bytes = mark.end - mark.start;
    }
    // Out already (the usual case): the line goes now, made of the views.
    _report(line, bytes);
}

void KrTransceiverConnection::_closeOutput() {
    std::vector<SentMark> due;
    {
        std::lock_guard<std::mutex> guard(_outputLock);
        if (_outputClosed)
            return;
        _outputClosed = true;
        // Answers cut short by the end of the connection: what was written.
        due.swap(_sentMarks);
        for (SentMark& mark : due)
            _dueNL(mark);
    }
    if (!due.empty())
        _report(due);
}

void KrTransceiverConnection::_closeSocket() {
    std::lock_guard<std::mutex> guard(_outputLock);
    if (_record.socket)
        _record.socket->Close();
}

bool KrTransceiverConnection::_dueNL(SentMark& mark) const {
    if (_outputClosed) {
        mark.start = std::min(mark.start, _writtenTotal);
        mark.end = std::min(mark.end, _writtenTotal);
        return true;
    }
    return _writtenTotal >= mark.end;
}

void KrTransceiverConnection::_report(const KrAnswerLine& line, uint64_t bytes) {
    // The server may be gone by the time the last byte is: no line then.
    if (const std::shared_ptr<KrTransceiverServer> server = _record.server.lock())
        server->_logAnswer(*this, line, bytes);
}

void KrTransceiverConnection::_report(std::vector<SentMark>& due) {
    for (SentMark& mark : due)
        _report(mark.line.view(), mark.end - mark.start);
}

void KrTransceiverConnection::_takeWrittenNL(std::vector<SentMark>& due) {
    // Marks are closed in the order their answers end, which is the order
    // of their bytes.
    size_t taken = 0;
    while (taken < _sentMarks.size() && _sentMarks[taken].end <= _writtenTotal)
        due.push_back(std::move(_sentMarks[taken++]));
    _sentMarks.erase(_sentMarks.begin(), _sentMarks.begin() + static_cast<std::ptrdiff_t>(taken));
}
