#pragma once
// One accepted or outgoing TCP connection as the transport sees it: the bytes
// received and not yet taken by its server, the output queued for the
// transceiver's send loop, the names of its server and of that server's
// supervisor, the peer's description, and the callback that asks the
// transceiver to close it. It never touches the socket on its own: the
// transceiver's loops hand it the socket when it can be read or written.
//
// Beside those, every connection carries one KrConnectionRecord: what the
// transceiver and its server keep about it (its serving turn, whether
// it waits to be written or to close, its input and output windows, the
// deadlines of the request being read, the answer being made or streamed).
//
// Owns its queued output buffers. `_inputLock` guards `_input` and the input
// window; `_outputLock` guards `_output`; the message lock guards `_linkName`
// and the close request. The transceiver holds connections in shared pointers.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/KrJobWithTimeout.h"
#include "foundation/KrStringBuf.h"
#include "transport/KrServerCallback_t.h"

class KrTransceiver;
class KrTransceiverConnection;
class KrTransceiverServer;
class KrSocketIPvx;

// An answer whose bytes are queued piece by piece as the connection's output
// drains (a large file, a program's output), so that a slow reader holds one
// output window in memory instead of the whole answer.
class KrAnswerStream {
  public:
    virtual ~KrAnswerStream() = default;
    // The connection's queued output is below its window: queue more. Called
    // on the thread that has just written to the socket.
    virtual void resume(KrTransceiverConnection& connection) = 0;
    // The connection is gone: stop producing and free what is held (a
    // program is ended). May come at any time, also during resume.
    virtual void cancel() = 0;
};

// What the transport keeps about one connection beside the maps. The atomics
// are read without a lock; `lock` guards the fields below it.
struct KrConnectionRecord {
    // Output queued beyond this keeps a server from starting the next
    // request's answer, and streamed answers are queued up to it.
    static constexpr size_t kOutputWindow = 256 * 1024;

    // Set by the transceiver when it enters the connection, then fixed.
    std::shared_ptr<KrSocketIPvx> socket;
    std::weak_ptr<KrTransceiverConnection> self;
    std::weak_ptr<KrTransceiverServer> server;

    // The serving turn: which thread reads and answers the connection's
    // requests. One thread at a time holds it, so the requests are read and
    // answered in order; any thread with news for the connection (the
    // receive loop with bytes, the thread that finished an answer, the send
    // loop with drained output, housekeeping with an expired deadline) asks
    // for it, and serves the connection itself when it is free.
    //
    //   kFree       nobody holds it.
    //   kHeld       one thread holds it and serves the connection.
    //   kHeldAgain  held, and news came meanwhile: the holder goes round
    //               once more before it lets go.
    //
    // enter()    kFree -> kHeld: the caller holds the turn and serves.
    //            kHeld -> kHeldAgain (or kHeldAgain as it is): the caller
    //            does nothing more, the holder sees its news.
    // leave()    the holder only. kHeld -> kFree: done. kHeldAgain -> kHeld:
    //            the holder keeps the turn and must serve once more.
    // handOff()  the holder only, on a thread that must not run the
    //            application, once it has read a complete request that does:
    //            it has set `handedOff` and queued the connection for the
    //            server's workers, then lets go (-> kFree). True when the
    //            state was kHeldAgain: a worker's enter() may have folded
    //            that very signal into the turn, so the holder queues the
    //            connection again.
    // handedOff  set as said by the holder; while set, only a worker takes
    //            the turn (everything behind that request waits for it);
    //            cleared by the worker that dispatches the request, or by
    //            the holder that gives up a failed connection.
    // inWorker   set by the holder while it serves: output queued meanwhile
    //            is written by the holder after each request, not by the
    //            send loop (a thread that misses the store hands its output
    //            to the send loop, which costs a wake-up, nothing more).
    enum class Turn : uint8_t { kFree, kHeld, kHeldAgain };
    bool enter() {
        Turn seen = serving.load();
        for (;;) {
            if (seen == Turn::kFree) {
                if (serving.compare_exchange_weak(seen, Turn::kHeld))
                    return true;
            } else if (seen == Turn::kHeldAgain ||
                       serving.compare_exchange_weak(seen, Turn::kHeldAgain)) {
                return false;
            }
            // The holder left (or asked to go round) meanwhile: look again.
        }
    }
    bool leave() {
        Turn held = Turn::kHeld;
        if (serving.compare_exchange_strong(held, Turn::kFree))
            return true;
        serving.store(Turn::kHeld);
        return false;
    }
    bool handOff() { return serving.exchange(Turn::kFree) == Turn::kHeldAgain; }
    std::atomic<Turn> serving{Turn::kFree};
    std::atomic<bool> handedOff{false};
    std::atomic<bool> inWorker{false};

    // Send state: waiting in the send loop's queue; since when a close
    // waits for the last output (µs, steady clock; 0: none).
    std::atomic<bool> sendQueued{false};
    std::atomic<int64_t> closingSince{0};
    // Closing, all output written and the sending side shut: waiting for
    // the peer's end of input (closingSince then tells since when).
    std::atomic<bool> lingering{false};
    // Out of the transceiver's maps.
    std::atomic<bool> removed{false};

    // Input window: reading stops while this many bytes wait undrained
    // (servers that bound their requests set it); reading is paused; the
    // peer has shut its sending side.
    std::atomic<size_t> inputLimit{SIZE_MAX};
    bool readPaused = false;  // under the connection's input lock
    std::atomic<bool> inputEnded{false};
    // When the end of input came (µs, steady clock).
    std::atomic<int64_t> inputEndedAt{0};
    // A server that answers what already arrived after the peer's end of
    // input (instead of dropping the connection at once) sets this.
    std::atomic<bool> answersAfterEnd{false};

    // Deadlines of the request being read (µs, steady clock; 0: none).
    std::atomic<int64_t> headDeadline{0};
    std::atomic<int64_t> bodyDeadline{0};
    // The server may hold an unfinished request of the connection: set when
    // it keeps one, cleared by the thread serving the connection when it
    // finds none. While clear, there is none to look up.
    std::atomic<bool> maybePending{false};
    // A server stopped for the output window: told again once it drains.
    std::atomic<bool> resumeOnDrain{false};
    // A request asked to close the connection after its answer: the server
    // reads and runs nothing that came behind it.
    std::atomic<bool> lastRequestRead{false};
    // Bytes that came behind a complete request wait, not yet read, in the
    // server's next request for the connection (kept while an answer was
    // made or the output window was full). Set and cleared by the thread
    // holding the serving turn.
    std::atomic<bool> carriedKept{false};

    std::mutex lock;
    // An answer is being made off the server's thread or streamed: the
    // connection's next request waits for it. Changed under `lock`; read
    // without it where a stale value is harmless (isAnswering).
    std::atomic<bool> busy{false};
    // The head of that answer is queued; until then an interim answer may
    // go before it (its request came as HTTP/1.1), and was sent once.
    bool headQueued = false;
    bool interimAllowed = false;
    bool probed = false;
    std::shared_ptr<KrAnswerStream> stream;
    // Put into the send loop's epoll set once (its socket was full): only
    // then may that loop's events carry the connection.
    bool inSendSet = false;
    // The task a client made for the connection's requests and its owner,
    // dissolved when the connection goes.
    std::string task;
    std::string taskOwner;
};

class KrTransceiverConnection : public KrJobWithTimeout {
  public:
    using CloseCallback = std::function<void(KrTransceiver&, KrTransceiverConnection*)>;
    // Told how many bytes of an answer reached the socket (its access-log
    // line); called on whichever thread saw the last of them go, or saw the
    // connection go, with no lock of the connection held.
    using SentReport = std::function<void(KrTransceiverConnection&, uint64_t bytes)>;
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
    // Like queueOutput of `head` and then `body`, but on the thread that
    // serves the connection (which writes its queued output after each
    // request) with nothing queued before, both go to the socket at once in
    // one gathered write; only what it does not take is queued.
    void sendOutput(std::string_view head, std::string_view body = {});
    // Takes over a non-empty buffer and hands the caller a fresh empty one;
    // an empty or missing buffer stays with the caller. Returns 0.
    virtual int queueOutputBuffer(KrStringBuf*& buffer);
    // Takes over filled buffers (an answer's head and body) and queues the
    // non-empty ones in order, in one step and without handing back fresh
    // ones; empty ones are freed. Returns 0.
    int queueOutputOwned(std::unique_ptr<KrStringBuf> first,
                         std::unique_ptr<KrStringBuf> second = nullptr);
    // Appends the unread bytes of the oldest queued buffer to `out`.
    virtual void peekOutput(std::string& out);
    // Marks `count` bytes of the oldest buffer written (at most what it holds).
    virtual void consumeOutput(size_t count);
    // Writes as much queued output as the socket takes, several buffers in
    // one gathered write. 0: all written; 1: output remains (the socket is
    // full); -1: the socket failed (peer gone).
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

    // The task the connection joined last, read under the message lock: a
    // worker sending an answer made later may join another meanwhile.
    // Copied into `out`, whose room is kept.
    void linkNameInto(std::string& out);
    bool isLinkedTo(const std::string& task);
    // The same, for the one thread that holds the record's serving mark: a
    // copy the connection keeps for it, taken again under the lock only
    // after the task has changed.
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
    // Bytes queued and not yet written.
    size_t pendingOutputBytes();
    // Posts kind 8 (bytes arrived) to the server.
    void _signalServer();

    KrConnectionRecord& record() { return _record; }
    bool isClosing() const { return _record.closingSince.load() != 0; }

    // The answer being made off the server's thread, or streamed, keeps the
    // connection's next request waiting: begin marks it (false when one is
    // already running), finished ends it and tells the server to go on.
    bool _beginAnswer(std::shared_ptr<KrAnswerStream> stream, bool interimAllowed = false);
    // An answer's head is about to be queued.
    void _headQueued();
    // The peer ended its input while an answer is made off the server's
    // thread and none of it was sent yet: an interim "100 Continue" (to an
    // HTTP/1.1 peer, once) finds out whether the peer still listens, since
    // a peer that has closed altogether resets the connection on it,
    // which ends the answer's program. True when it was queued.
    bool _probePeer();
    void _answerFinished();
    bool isAnswering();
    // An answer made later turns out long: its stream is resumed as the
    // output drains, until _answerFinished.
    void _streamAnswer(std::shared_ptr<KrAnswerStream> stream);
    // The stream being queued, if any.
    std::shared_ptr<KrAnswerStream> answerStream();
    // Called once the connection is out of the transceiver: ends a stream
    // (a program's process) and dissolves the task of its requests.
    void _gone();

    // Bytes queued on the connection so far (the position in its output of
    // the next byte queued).
    uint64_t queuedPosition();
    // The answer being made (begun with _beginAnswer), whose first byte was
    // queued at `start`, is reported once it has ended and its bytes have
    // been written, or once the connection is gone with what was written of
    // it. Without such an answer it counts as ended now.
    void _reportSentWhenAnswered(uint64_t start, SentReport report);

  private:
    // An answer's bytes, [start, end) in the connection's output.
    struct SentMark {
        uint64_t start;
        uint64_t end;
        SentReport report;
    };

    void _appendInput(const char* data, size_t length);
    int _writeLocked(KrSocketIPvx& socket);
    // Moves the marks whose bytes are all written to `due` (under _outputLock).
    void _takeWrittenNL(std::vector<SentMark>& due);
    // The answer's mark is closed at the output's current end.
    void _closeSentMark(SentMark mark);

    const std::string _serverName;
    const std::string _ownerName;
    KrTransceiver* const _transceiver;
    std::mutex _inputLock;
    // Received bytes not yet drained (a plain string, so reads land in it
    // directly and a drain frees it).
    std::string _input;
    std::atomic<bool> _hasInput{false};
    std::mutex _outputLock;
    std::list<KrStringBuf*> _output;
    // Bytes ever queued and written, and the ended answers waiting for
    // theirs to be written (under _outputLock).
    uint64_t _queuedTotal = 0;
    uint64_t _writtenTotal = 0;
    std::vector<SentMark> _sentMarks;
    // The answer being made, not ended yet (under the record's lock).
    std::unique_ptr<SentMark> _openMark;
    // Unread bytes of _output, kept as buffers come and go.
    std::atomic<size_t> _outputBytes{0};
    std::atomic<bool> _outputPending{false};
    CloseCallback _closeCallback;
    // Fixed at creation; shared with the requests read on the connection.
    const std::shared_ptr<const KrServerCallback_t> _info;
    const std::string& _remoteAddress;
    std::string _linkName;
    // Changes of `_linkName`, counted under the message lock.
    std::atomic<uint64_t> _linkChanges{0};
    // The serving thread's copy of `_linkName`, and the count it was taken at.
    std::string _servingLink;
    uint64_t _servingLinkAt = UINT64_MAX;
    KrConnectionRecord _record;
};
