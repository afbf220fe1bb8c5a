#include "transport/KrTransceiverConnection.h"

#include <sys/uio.h>
#include <cerrno>
#include <functional>

#include "foundation/KrCombinedTask.h"
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

}  // namespace

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
    for (KrStringBuf* buffer : _output)
        delete buffer;
    _output.clear();
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
    // A server that can serve the connection on this thread does so: a
    // hand-over to its workers costs two thread switches per request.
    if (std::shared_ptr<KrTransceiverServer> server = _record.server.lock()) {
        if (server->_serveInline(*this))
            return;
    }
    // An HTTP server of the own transceiver is told at once: the message
    // thread's hand-over would add a thread switch to every request.
    if (_transceiver != nullptr && _transceiver->_signalDirectly(_serverName, id()))
        return;
    KrCombinedTask::global().post(_serverName, KrJobMessage(id(), KR_MESSAGE_BYTES_ARRIVED, ""));
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

int KrTransceiverConnection::queueOutput(const char* data, size_t length, size_t& queued) {
    restartTimer();
    queued = length;
    auto* buffer = new KrStringBuf();
    buffer->sputn(data, static_cast<std::streamsize>(length));
    {
        std::lock_guard<std::mutex> guard(_outputLock);
        _output.push_back(buffer);
        _outputBytes.fetch_add(length);
        _queuedTotal += length;
        _outputPending.store(true);
    }
    if (_transceiver != nullptr)
        _transceiver->_outputQueued(*this);
    return 0;
}

void KrTransceiverConnection::sendOutput(std::string_view head, std::string_view body) {
    const size_t length = head.size() + body.size();
    if (_record.inWorker.load() && _record.socket && !_record.removed.load()) {
        std::unique_lock<std::mutex> guard(_outputLock);
        if (_output.empty()) {
            restartTimer();
            // A failure is met again, and handled, by the write of the rest.
            const iovec pieces[2] = {{const_cast<char*>(head.data()), head.size()},
                                     {const_cast<char*>(body.data()), body.size()}};
            size_t written = 0;
            _record.socket->lastSendError = 0;
            _record.socket->SendVector(pieces, body.empty() ? 1 : 2, written);
            _queuedTotal += length;
            _writtenTotal += written;
            if (written == length)
                return;
            auto* rest = new KrStringBuf();
            if (written < head.size())
                rest->sputn(head.data() + written,
                            static_cast<std::streamsize>(head.size() - written));
            const size_t bodySent = written > head.size() ? written - head.size() : 0;
            rest->sputn(body.data() + bodySent,
                        static_cast<std::streamsize>(body.size() - bodySent));
            _output.push_back(rest);
            _outputBytes.fetch_add(length - written);
            _outputPending.store(true);
            guard.unlock();
            if (_transceiver != nullptr)
                _transceiver->_outputQueued(*this);
            return;
        }
    }
    size_t queued = 0;
    queueOutput(head.data(), head.size(), queued);
    if (!body.empty())
        queueOutput(body.data(), body.size(), queued);
}

int KrTransceiverConnection::queueOutputBuffer(KrStringBuf*& buffer) {
    restartTimer();
    if (buffer == nullptr || buffer->Length() == 0)
        return 0;
    {
        std::lock_guard<std::mutex> guard(_outputLock);
        _output.push_back(buffer);
        _outputBytes.fetch_add(unread(buffer));
        _queuedTotal += unread(buffer);
        _outputPending.store(true);
    }
    buffer = new KrStringBuf();
    if (_transceiver != nullptr)
        _transceiver->_outputQueued(*this);
    return 0;
}

int KrTransceiverConnection::queueOutputOwned(std::unique_ptr<KrStringBuf> first,
                                              std::unique_ptr<KrStringBuf> second) {
    restartTimer();
    const bool withFirst = first && first->Length() > 0;
    const bool withSecond = second && second->Length() > 0;
    if (!withFirst && !withSecond)
        return 0;
    {
        std::lock_guard<std::mutex> guard(_outputLock);
        // Released once the list holds them, so a failing push leaks nothing.
        if (withFirst) {
            _output.push_back(first.get());
            _outputBytes.fetch_add(unread(first.get()));
            _queuedTotal += unread(first.release());
        }
        if (withSecond) {
            _output.push_back(second.get());
            _outputBytes.fetch_add(unread(second.get()));
            _queuedTotal += unread(second.release());
        }
        _outputPending.store(true);
    }
    if (_transceiver != nullptr)
        _transceiver->_outputQueued(*this);
    return 0;
}

void KrTransceiverConnection::peekOutput(std::string& out) {
    std::lock_guard<std::mutex> guard(_outputLock);
    if (!_output.empty())
        _output.front()->CopyOut(out, 0, UINT64_MAX);
}

void KrTransceiverConnection::consumeOutput(size_t count) {
    std::lock_guard<std::mutex> guard(_outputLock);
    if (!_output.empty()) {
        KrStringBuf* head = _output.front();
        const size_t taken = std::min(count, unread(head));
        skip(head, taken);
        _outputBytes.fetch_sub(taken);
        _writtenTotal += taken;
        if (unread(head) == 0) {
            _output.pop_front();
            delete head;
        }
    }
    if (_output.empty() || unread(_output.front()) == 0)
        _outputPending.store(false);
}

size_t KrTransceiverConnection::pendingOutputBytes() {
    return _outputBytes.load();
}

int KrTransceiverConnection::writePending(KrSocketIPvx& socket) {
    std::vector<SentMark> due;
    int state;
    {
        // Held across the write: resetBuffers may free buffers on another
        // thread.
        std::lock_guard<std::mutex> guard(_outputLock);
        state = _writeLocked(socket);
        if (!_sentMarks.empty())
            _takeWrittenNL(due);
    }
    for (SentMark& mark : due)
        mark.report(*this, mark.end - mark.start);
    return state;
}

int KrTransceiverConnection::_writeLocked(KrSocketIPvx& socket) {
    for (;;) {
        iovec pieces[kMaxPieces];
        int count = 0;
        for (auto it = _output.begin(); it != _output.end() && count < kMaxPieces; ++it) {
            const size_t length = unread(*it);
            if (length > 0)
                pieces[count++] = iovec{(*it)->Begin(), length};
        }
        if (count == 0) {
            for (KrStringBuf* buffer : _output)
                delete buffer;
            _output.clear();
            _outputBytes.store(0);
            _outputPending.store(false);
            return 0;
        }
        size_t written = 0;
        socket.lastSendError = 0;
        socket.SendVector(pieces, count, written);
        _outputBytes.fetch_sub(written);
        _writtenTotal += written;
        size_t left = written;
        while (left > 0 && !_output.empty()) {
            KrStringBuf* head = _output.front();
            const size_t take = std::min(left, unread(head));
            skip(head, take);
            left -= take;
            if (unread(head) == 0) {
                _output.pop_front();
                delete head;
            }
        }
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
    {
        std::lock_guard<std::mutex> guard(_outputLock);
        for (KrStringBuf* buffer : _output)
            delete buffer;
        _output.clear();
        _outputBytes.store(0);
    }
    _outputPending.store(false);
}

bool KrTransceiverConnection::_beginAnswer(std::shared_ptr<KrAnswerStream> stream,
                                           bool interimAllowed) {
    std::lock_guard<std::mutex> guard(_record.lock);
    if (_record.busy.load())
        return false;
    _record.busy.store(true);
    _record.stream = std::move(stream);
    _record.headQueued = false;
    _record.interimAllowed = interimAllowed;
    _record.probed = false;
    return true;
}

void KrTransceiverConnection::_headQueued() {
    // Only an answer begun with _beginAnswer (which clears the mark again)
    // looks at it; that begins on the thread that queues the head.
    if (!_record.busy.load())
        return;
    std::lock_guard<std::mutex> guard(_record.lock);
    _record.headQueued = true;
}

bool KrTransceiverConnection::_probePeer() {
    static const char kInterim[] = "HTTP/1.1 100 Continue\r\n\r\n";
    // Under the record's lock, so the answer's head cannot slip in between
    // the test and the queueing.
    std::lock_guard<std::mutex> guard(_record.lock);
    if (!_record.busy.load() || _record.headQueued || !_record.interimAllowed || _record.probed)
        return false;
    _record.probed = true;
    size_t queued = 0;
    queueOutput(kInterim, sizeof kInterim - 1, queued);
    return true;
}

void KrTransceiverConnection::_answerFinished() {
    std::shared_ptr<KrAnswerStream> finished;
    std::unique_ptr<SentMark> mark;
    {
        std::lock_guard<std::mutex> guard(_record.lock);
        if (!_record.busy.load())
            return;
        _record.busy.store(false);
        finished.swap(_record.stream);
        mark.swap(_openMark);
    }
    if (mark)
        _closeSentMark(std::move(*mark));
    // Requests that arrived meanwhile, or the end of input, are taken now.
    _signalServer();
}

void KrTransceiverConnection::_streamAnswer(std::shared_ptr<KrAnswerStream> stream) {
    std::lock_guard<std::mutex> guard(_record.lock);
    if (_record.busy.load())
        _record.stream = std::move(stream);
}

bool KrTransceiverConnection::isAnswering() {
    return _record.busy.load();
}

std::shared_ptr<KrAnswerStream> KrTransceiverConnection::answerStream() {
    std::lock_guard<std::mutex> guard(_record.lock);
    return _record.stream;
}

void KrTransceiverConnection::_gone() {
    std::shared_ptr<KrAnswerStream> stream;
    std::unique_ptr<SentMark> open;
    std::string task;
    std::string owner;
    {
        std::lock_guard<std::mutex> guard(_record.lock);
        stream.swap(_record.stream);
        open.swap(_openMark);
        task.swap(_record.task);
        owner.swap(_record.taskOwner);
    }
    if (stream)
        stream->cancel();
    // Answers cut short by the end of the connection: what was written.
    std::vector<SentMark> marks;
    uint64_t written;
    {
        std::lock_guard<std::mutex> guard(_outputLock);
        marks.swap(_sentMarks);
        written = _writtenTotal;
    }
    if (open) {
        open->end = UINT64_MAX;
        marks.push_back(std::move(*open));
    }
    for (SentMark& mark : marks)
        mark.report(*this, std::min(written, mark.end) - std::min(written, mark.start));
    // The client owns the task: its leaving dissolves it (without messages).
    // Otherwise every connection ever served would leave one behind.
    if (!task.empty())
        KrCombinedTask::global().leave(task, owner);
    // A connection that lives on in a worker's hands keeps no task alive.
    leaveAllTasks();
}

uint64_t KrTransceiverConnection::queuedPosition() {
    std::lock_guard<std::mutex> guard(_outputLock);
    return _queuedTotal;
}

void KrTransceiverConnection::_reportSentWhenAnswered(uint64_t start, SentReport report) {
    {
        std::lock_guard<std::mutex> guard(_record.lock);
        if (_record.busy.load() && !_record.removed.load()) {
            _openMark = std::make_unique<SentMark>(SentMark{start, 0, std::move(report)});
            return;
        }
    }
    _closeSentMark(SentMark{start, 0, std::move(report)});
}

void KrTransceiverConnection::_closeSentMark(SentMark mark) {
    uint64_t written;
    {
        std::lock_guard<std::mutex> guard(_outputLock);
        mark.end = _queuedTotal;
        written = _writtenTotal;
        // Once the connection is out, nothing more is written (and _gone
        // has taken the marks, or will take this one).
        if (written < mark.end && !_record.removed.load()) {
            _sentMarks.push_back(std::move(mark));
            return;
        }
    }
    mark.report(*this, std::min(written, mark.end) - std::min(written, mark.start));
}

void KrTransceiverConnection::_takeWrittenNL(std::vector<SentMark>& due) {
    // Marks are closed in the order their answers end, which is the order
    // of their bytes.
    size_t taken = 0;
    while (taken < _sentMarks.size() && _sentMarks[taken].end <= _writtenTotal)
        due.push_back(std::move(_sentMarks[taken++]));
    _sentMarks.erase(_sentMarks.begin(), _sentMarks.begin() + static_cast<std::ptrdiff_t>(taken));
}
