#pragma once
// One accepted or outgoing TCP connection as the transport sees it: the bytes
// received and not yet taken by its server, the output queued for the
// transceiver's loops, the names of its server and of that server's
// supervisor, the peer's description, and the callback that asks the
// transceiver to close it. The transceiver's loops read and write its socket.
//
// A connection's life is one phase at a time (KrConnectionPhase). Only the
// thread that holds the connection's serving turn changes it, through
// _setPhase, which checks every change against this table (an assertion in
// debug builds; with QUIVO_TRACE_PHASES set in the environment, one line per
// change on standard error):
//
//   phase       the connection                               may become
//   Reading     reads its requests and answers them          AtWorker Answering
//                                                            Draining Closing Gone
//   AtWorker    has a complete request with one of its       Reading Answering
//               server's workers (the turn went with it;     Draining Gone
//               a close asked meanwhile waits for its
//               answer)
//   Answering   has an answer being made off the serving     Reading Closing Gone
//               thread, or streamed; its next request waits
//   Draining    has answers queued beyond its output         Reading Closing Gone
//               window; its next request waits for the
//               peer to take them
//   Closing     reads no more requests (what comes is        Lingering Gone
//               dropped); its output, and an answer still
//               being made, go out first
//   Lingering   has all written and its sending side shut;   Gone
//               drops input until the peer ends its side
//   Gone        is out of the transceiver: nothing of it     (nothing)
//               starts any more, nothing more is written,
//               and an answer still being made was cancelled
//
// The serving turn: one thread at a time holds it, and only that thread
// changes the phase, reads requests, starts an answer (a program, a stream),
// ends an answer (the one place every answer ends: KrTransceiver::_endAnswer)
// or ends the connection (the one place it leaves the transceiver's maps:
// KrTransceiver::_gone). Every other thread posts what
// happened as news into the record's one atomic word and asks for the turn
// in the same step; when the turn was free, the poster holds it and serves,
// otherwise the holder finds the news before it lets go:
//
//   news          posted by, when
//   kInput        the receive loop: bytes came
//   kInputEnded   the receive loop: the peer shut its sending side
//   kBroken       either loop: the socket failed, the peer reset it, a write
//                 failed; _removeTCPSocket
//   kAnswerEnded  whoever makes the answer: its last byte is queued, or it
//                 ended without one (a program's end, a stream's last piece);
//                 with kLastAnswer when the connection closes after it (the
//                 answer was cut short or cancelled, or the close frames it)
//   kDrained      the send loop: the output went below the window while the
//                 phase waits for that (Answering, Draining, Closing)
//   kDeadline     housekeeping: the phase's deadline passed
//   kIdle         housekeeping: nothing moved for the connection's time-out
//   kCloseAsked   requestClose, closeConnection
//
// Every answer gets one access-log line, written once: when its last byte
// has reached the socket, or, once the connection has gone, with the bytes
// that did. Its line and its place in the output are its mark; an answer
// being made off the turn has an open mark, whose status its maker sets
// when it writes the head.
//
// Data, not state, may be touched by any thread under its own lock: the
// input (`_inputLock`), the queued output and the answers' marks
// (`_outputLock`), the loops' watches (`KrConnectionRecord::watchLock`). The
// message lock guards `_linkName` and the close request. The transceiver
// holds connections in shared pointers.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <functional>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/KrJobWithTimeout.h"
#include "foundation/KrStringBuf.h"
#include "transport/KrServerCallback_t.h"

class KrFileHandle;
class KrTransceiver;
class KrTransceiverConnection;
class KrTransceiverServer;
class KrSocketIPvx;
class KrXHeader;

// Microseconds of the steady clock: the unit of every deadline of a connection.
inline int64_t KrSteadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// An answer whose bytes are queued piece by piece as the connection's output
// drains (a large file, a program's output), so that a slow reader holds one
// output window in memory instead of the whole answer. Called by the
// connection's turn holder.
class KrAnswerStream {
  public:
    virtual ~KrAnswerStream() = default;
    // The connection's queued output is below its window: queue more.
    virtual void resume(KrTransceiverConnection& connection) = 0;
    // The connection is gone: stop producing and free what is held. True
    // when the answer has ended with that; false when it goes on (a program
    // finishing its work) and tells its end later (_answerEnded).
    virtual bool cancel() = 0;
};

// What an answer's access-log line says but its byte count: its request's
// pieces and the status sent, as views, and a copy of them (Kept) for a
// line that has to wait for its bytes.
struct KrAnswerLine {
    struct Kept;
    int protocolKind = 0;
    unsigned long status = 0;
    std::string_view time;
    std::string_view requestLine;
    std::string_view referer;
    std::string_view agent;
};

struct KrAnswerLine::Kept {
    KrAnswerLine view() const { return {protocolKind, status, time, requestLine, referer, agent}; }
    int protocolKind = 0;
    unsigned long status = 0;
    std::string time;
    std::string requestLine;
    std::string referer;
    std::string agent;
};

// In the order of a connection's life: from Closing on, no request is read.
enum class KrConnectionPhase : uint8_t {
    kReading, kAtWorker, kAnswering, kDraining, kClosing, kLingering, kGone };

// The phase's name as the table above writes it.
const char* KrConnectionPhaseName(KrConnectionPhase phase);

// What the transport keeps about one connection beside the maps. Fields
// marked "holder" are touched only by the thread holding the serving turn.
struct KrConnectionRecord {
    // Output queued beyond this keeps a server from starting the next
    // request's answer, and streamed answers are queued up to it.
    static constexpr size_t kOutputWindow = 256 * 1024;

    // The news (see the table atop this file); bit 0 of `turn` is the turn.
    enum News : uint32_t {
        kInput = 1u << 1,
        kInputEnded = 1u << 2,
        kBroken = 1u << 3,
        kAnswerEnded = 1u << 4,
        kDrained = 1u << 5,
        kDeadline = 1u << 6,
        kIdle = 1u << 7,
        kCloseAsked = 1u << 8,
        kLastAnswer = 1u << 9,
    };
    static constexpr uint32_t kHeld = 1u;

    // Adds `news` and asks for the turn: true when the caller now holds it
    // and must serve the connection (and take the news itself).
    bool post(uint32_t news) {
        return (turn.fetch_or(news | kHeld, std::memory_order_acq_rel) & kHeld) == 0;
    }
    // The holder: the news posted since it last looked; it keeps the turn.
    uint32_t takeNews() { return turn.exchange(kHeld, std::memory_order_acq_rel) & ~kHeld; }
    // The holder lets go; false when news came meanwhile: it keeps the turn
    // and must take the news and serve once more.
    bool leave() {
        uint32_t held = kHeld;
        return turn.compare_exchange_strong(held, 0, std::memory_order_acq_rel);
    }

    std::atomic<uint32_t> turn{0};
    // Written by the holder (_setPhase), read by anyone.
    std::atomic<KrConnectionPhase> phase{KrConnectionPhase::kReading};

    // Set by the transceiver when it enters the connection, then fixed.
    std::shared_ptr<KrSocketIPvx> socket;
    std::weak_ptr<KrTransceiverConnection> self;
    std::weak_ptr<KrTransceiverServer> server;

    // Input window: reading stops while this many bytes wait undrained
    // (servers that bound their requests set it once, at creation).
    std::atomic<size_t> inputLimit{SIZE_MAX};
    // When the holder wants kDeadline (µs, steady clock; 0: never): the
    // limit of the request being read, or of the closing or lingering phase.
    std::atomic<int64_t> deadline{0};
    // In the send loop's queue: a queue membership, not a state of the
    // connection (any thread that queues output puts it there once).
    std::atomic<bool> sendQueued{false};

    // Guards the connection's watches in the loops' epoll sets against its
    // end (a watch is never made once the phase is Gone), and the two
    // fields below.
    std::mutex watchLock;
    // The send loop's set has it (its socket was full once): only then may
    // that loop's events carry the connection.
    bool inSendSet = false;
    // The receive loop watches it for errors only: the peer ended its input
    // (set under the lock by the receive loop, which alone reads it without).
    std::atomic<bool> readEnded{false};
    // Reading stopped by the input window until the input is drained (under
    // the connection's input lock, which is taken before watchLock).
    bool readPaused = false;

    // Holder: the peer has ended its input (learnt from kInputEnded).
    bool inputEnded = false;
    // Holder: the answer being made (while Answering, or Closing with an
    // answer still to come); empty when none is.
    std::shared_ptr<KrAnswerStream> answer;
    // Holder: the request being read (the bytes that came behind a complete
    // request go back in front of the connection's input: _unread).
    std::shared_ptr<KrXHeader> request;
    // Holder: a complete message its client did not finish with, kept alive
    // until the next one is dispatched or the connection goes.
    std::shared_ptr<KrXHeader> unfinished;
    // Holder: the task a client made for the connection's requests and its
    // owner, dissolved when the connection goes.
    std::string task;
    std::string taskOwner;
};

class KrTransceiverConnection : public KrJobWithTimeout {
  public:
    using CloseCallback = std::function<void(KrTransceiver&, KrTransceiverConnection*)>;
    // Silence after which the transceiver's housekeeping drops a connection.
    static constexpr long kDefaultTimeout = 115000000;

    KrTransceiverConnection(KrTransceiver* transceiver, const std::string& serverName,
                            const std::string& ownerName, const KrServerCallback_t& info,
                            CloseCallback closeCallback,
                            long timeoutMicroseconds = kDefaultTimeout);

    bool onMessage(const KrJobMessage& message) override;
    ~KrTransceiverConnection() override;
    bool joinTask(const std::string& name) override;
    bool leaveJoinedTask(const std::string& name) override;

    // Leaves the joined task and drops all input and queued output.
    virtual void resetBuffers();
    // Asks the transceiver to close the connection; output queued before is
    // still written out first. Throws std::bad_function_call without a callback.
    virtual void requestClose();
    // Queues a copy of the bytes; `queued` receives length. Returns 0.
    virtual int queueOutput(const char* data, size_t length, size_t& queued);
    // Like queueOutput of `head` and then `body`, but on the thread holding
    // the serving turn (which writes its queued output after each request)
    // with nothing queued before, both go to the socket at once in one
    // gathered write; only what it does not take is queued. The position in
    // the output of the head's first byte.
    uint64_t sendOutput(std::string_view head, std::string_view body = {});
    // Takes over a non-empty buffer and hands the caller a fresh empty one;
    // an empty or missing buffer stays with the caller. Returns 0.
    virtual int queueOutputBuffer(KrStringBuf*& buffer);
    // Takes over filled buffers (an answer's head and body) and queues the
    // non-empty ones in order, in one step and without handing back fresh
    // ones; empty ones are freed. Returns 0.
    int queueOutputOwned(std::unique_ptr<KrStringBuf> first,
                         std::unique_ptr<KrStringBuf> second = nullptr);
    // Queues `head` and then `length` bytes of `file` from `offset`, in one
    // step. The file's bytes go from the file to the socket, never through
    // memory: a peer that does not read holds its socket's buffer in the
    // kernel and this entry here. A file that turns out shorter ends the
    // output there, and the connection closes after what was sent.
    void queueOutputFile(std::unique_ptr<KrStringBuf> head, std::shared_ptr<KrFileHandle> file,
                         uint64_t offset, uint64_t length);
    // Appends the unread bytes of the oldest queued piece to `out`.
    virtual void peekOutput(std::string& out);
    // Marks `count` bytes of the oldest piece written (at most what it holds).
    virtual void consumeOutput(size_t count);
    // Writes as much queued output as the socket takes, several buffers in
    // one gathered write, a file's bytes with sendfile. 0: all written (or
    // the output ended at a file found short, and the connection is asked to
    // close); 1: output remains (the socket is full); -1: the socket failed
    // (peer gone).
    virtual int writePending(KrSocketIPvx& socket);
    // Appends bytes and tells the server. Returns 0.
    virtual int feed(const char* data, size_t length);
    // Reads what waits on the socket into the input, up to the input window,
    // and tells the server once. The count read; 0 when nothing was waiting
    // (or the input window is full); -1 when the peer closed or
    // the socket failed (bytes read before that are kept; `closed` of the
    // socket tells an orderly end of input from a failure).
    virtual long receive(KrSocketIPvx& socket);
    // Moves every received byte to `out` in one write and frees the input's
    // storage, so a long-lived or idle connection holds none; reading starts
    // again if the window had stopped it. The count.
    virtual long drainInput(std::streambuf& out);
    // Puts bytes read past a complete request back in front of the input.
    void _unread(std::string bytes);

    // The task the connection joined last, read under the message lock: a
    // worker sending an answer made later may join another meanwhile.
    // Copied into `out`, whose room is kept.
    void linkNameInto(std::string& out);
    bool isLinkedTo(const std::string& task);
    // The same, for the turn holder: a copy the connection keeps for it,
    // taken again under the lock only after the task has changed.
    const std::string& servingLinkName();
    const KrServerCallback_t& info();
    // The same record, shared rather than copied (it never changes).
    std::shared_ptr<const KrServerCallback_t> sharedInfo() const { return _info; }
    // The record's "remoteaddress", or "none" (for every access-log line).
    const std::string& remoteAddress() const { return _remoteAddress; }
    bool isOutputPending() const { return _outputPending.load(); }
    bool isInputReady() const { return _hasInput.load(); }
    std::string serverName() const { return _serverName; }
    std::string ownerName() const { return _ownerName; }
    // Bytes queued and not yet written; of those, the ones held in memory
    // (not in files).
    size_t pendingOutputBytes();
    size_t heldOutputBytes() const { return _outputBytes.load() - _fileBytes.load(); }
    // Tells the server that bytes came: news for the turn (served here when
    // the turn was free), which becomes a kind 8 message (_tellServer) for
    // a server that reads its input on its own jobs or a connection
    // outside a transceiver.
    void _signalServer();
    void _tellServer();

    KrConnectionRecord& record() { return _record; }
    KrConnectionPhase phase() const { return _record.phase.load(); }

    // Posts news (see the table atop this file) and serves the connection
    // on this thread when that gave it the turn.
    void _post(uint32_t news);
    // Whether this thread holds the connection's serving turn.
    bool isServedHere() const;
    // Marks this thread as the turn holder for as long as it lives (the
    // transceiver's serving loop makes one; tests use it to play a holder).
    class ServingHere {
      public:
        explicit ServingHere(KrTransceiverConnection& connection);
        ~ServingHere();
        ServingHere(const ServingHere&) = delete;
        ServingHere& operator=(const ServingHere&) = delete;

      private:
        const KrTransceiverConnection* _before;
    };

    // The holder: changes the phase, as the table allows (see atop).
    void _setPhase(KrConnectionPhase to);
    // The holder: an answer begins, made off this thread or streamed; the
    // connection reads no more requests until it has ended. Also attaches
    // the stream of an answer begun without one. False (nothing changes)
    // when the phase allows no answer, or one with a stream runs already.
    bool _beginAnswering(std::shared_ptr<KrAnswerStream> stream);
    // Any thread: the answer being made has ended (kAnswerEnded; with
    // `last`, also kLastAnswer: the connection closes after it).
    void _answerEnded(bool last = false);

    // Bytes queued on the connection so far (the position in its output of
    // the next byte queued).
    uint64_t queuedPosition();
    // The holder, as it begins an answer made off its thread or streamed:
    // the answer's mark opens at the output's current end, with `line`.
    void _openAnswer(KrAnswerLine::Kept line);
    // Any thread: the status of the answer being made, as its head gives it
    // (or, for one never sent, as it would have). False when none is open.
    bool _setAnswerStatus(unsigned long status);
    // The holder, at the end of the answer being made: its mark closes at
    // the output's current end, as _markAnswer closes one made in place.
    void _closeAnswer();
    void _markAnswer(uint64_t start, const KrAnswerLine& line);
    // The holder, as the connection goes: nothing more is queued or
    // written, and the lines of answers that ended are written with what
    // reached the socket.
    void _closeOutput();
    // The receive loop, once the connection has gone: its socket closes now,
    // whoever still holds the connection (an abandoned program's answer).
    // Under the output lock, so no write meets the descriptor's number once
    // the system has handed it to another file.
    void _closeSocket();

  private:
    // An answer's bytes, [start, end) in the connection's output, and its
    // line; an open mark's end is not known yet.
    struct SentMark {
        uint64_t start;
        uint64_t end;
        KrAnswerLine::Kept line;
    };

    // A piece of queued output: bytes in memory, or a stretch of an open
    // file that goes from the file to the socket.
    struct OutputPiece {
        std::unique_ptr<KrStringBuf> bytes;
        std::shared_ptr<KrFileHandle> file = nullptr;
        uint64_t offset = 0;
        uint64_t left = 0;
        size_t size() const;
    };

    void _appendInput(const char* data, size_t length);
    // Takes over a piece at the output's end (under _outputLock); then the
    // transceiver is told.
    void _appendOutputNL(OutputPiece piece);
    void _clearOutputNL();
    void _outputAppended();
    // writePending's write; 2: a file piece ended early (see queueOutputFile).
    int _writeLocked(KrSocketIPvx& socket);
    // Marks `count` bytes at the front of the output written.
    void _takeNL(size_t count);
    // Moves the marks whose bytes are all written to `due` (under _outputLock).
    void _takeWrittenNL(std::vector<SentMark>& due);
    // Whether a closed mark is due: its bytes are written, or the output is
    // closed (the mark is cut to the bytes that were).
    bool _dueNL(SentMark& mark) const;
    // Writes a line (outside _outputLock), through the connection's server.
    void _report(const KrAnswerLine& line, uint64_t bytes);
    void _report(std::vector<SentMark>& due);

    const std::string _serverName;
    const std::string _ownerName;
    KrTransceiver* const _transceiver;
    std::mutex _inputLock;
    // Received bytes not yet drained (a plain string, so reads land in it
    // directly and a drain frees it).
    std::string _input;
    std::atomic<bool> _hasInput{false};
    std::mutex _outputLock;
    std::list<OutputPiece> _output;
    // Bytes ever queued and written, the ended answers waiting for theirs to
    // be written, and the answer being made (under _outputLock). Once the
    // output is closed nothing more is written: marks are reported at once.
    uint64_t _queuedTotal = 0;
    uint64_t _writtenTotal = 0;
    std::vector<SentMark> _sentMarks;
    std::unique_ptr<SentMark> _openMark;
    bool _outputClosed = false;
    // Unread bytes of _output, kept as pieces come and go, and those of
    // them in files.
    std::atomic<size_t> _outputBytes{0};
    std::atomic<size_t> _fileBytes{0};
    std::atomic<bool> _outputPending{false};
    CloseCallback _closeCallback;
    // Fixed at creation; shared with the requests read on the connection.
    const std::shared_ptr<const KrServerCallback_t> _info;
    const std::string& _remoteAddress;
    std::string _linkName;
    // Changes of `_linkName`, counted under the message lock.
    std::atomic<uint64_t> _linkChanges{0};
    // The holder's copy of `_linkName`, and the count it was taken at.
    std::string _servingLink;
    uint64_t _servingLinkAt = UINT64_MAX;
    KrConnectionRecord _record;
};
