#pragma once
// Common base of every server layer. Connections signal new input through job
// messages; the signal only queues the pair (connection id, client name), and
// the server's buffer-process job pops the pairs in arrival order and calls
// the layer's _bufferworkfunction for each, so slow parsing never holds up
// message delivery. A layer may instead read its connections under their
// serving turn (_readsUnderTurn: the HTTP layer), on whichever thread has a
// connection's news, handing a connection to its jobs only for work that
// must not run there; a queued pair then carries the connection's turn. A
// layer whose connections are independent of each other may ask for several
// such jobs (_setBufferWorkers): pairs then run in parallel. The base also
// gives every server its time-out, its link to the owning transceiver and
// its "gone" report.
//
// The message lock guards `transceiver`, `dispatchKey` and `supervisorId`;
// `queueLock` guards `queue`; `waitMutex` guards the wake-up flag
// `signalled`.
// Not owned: the transceiver and the scheduler, which outlive the server.
// A layer that overrides onMessage or _bufferworkfunction calls _shutdown
// first in its own destructor: the base destructor runs too late to keep
// messages and the buffer-process job away from the layer's parts.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/KrAdaptiveMutex.h"
#include "foundation/KrGavetaScheduler2.h"
#include "foundation/KrJobWithTimeout.h"
#include "transport/KrServerCallback_t.h"

class KrTransceiverConnection;
struct KrAnswerLine;
class KrXHeader;

class KrTransceiverServer : public KrJobWithTimeout {
  public:
    // Servers that carry outgoing requests expire after this much silence.
    static constexpr long kTimeout = 120000000;

    KrTransceiverServer(KrGavetaScheduler2* scheduler, KrJob* transceiver,
                        const std::string& clientName, const std::string& dispatchKey,
                        const std::string& supervisorId,
                        std::function<bool(KrServerCallback_t&)> callback);

    // Kind 3 appends `connectionId` to the message's list; always true.
    bool onMessage(const KrJobMessage& message) override;
    // Stops the buffer-process job, then reports type 2 (server gone).
    ~KrTransceiverServer() override;
    // A listening server never times out.
    bool isTimedOut() override;
    // Called on the buffer-process job for each queued pair; does nothing here.
    virtual void _bufferworkfunction(std::string connectionId, std::string clientName);
    // Writes `message` to the connection; here it only leaves the message's
    // task and refuses (false).
    virtual bool _sendResponse(std::string connectionId, KrXHeader* message);
    // Prints "KrTransceiverServer::stop()"; the socket layer stops accepting.
    virtual void stop();
    // Sets the transceiver only while none is set.
    virtual bool _attachTransceiver(KrJob* transceiver);
    // Clears it only when it is the one given.
    virtual void _detachTransceiver(KrJob* transceiver);
    // Called for every kind-8 message, on the message thread; wakes the job.
    virtual void _bufferSignaled(const std::string& text);
    // Writes the access-log line of an answer on one of its connections,
    // `bytes` of which reached the socket; nothing here.
    virtual void _logAnswer(KrTransceiverConnection&, const KrAnswerLine&, uint64_t /*bytes*/) {}
    // Whether the layer reads its connections' input under their turn and
    // answers what came before a peer's end of input (a connection of any
    // other server goes at that end).
    virtual bool _readsUnderTurn() const { return false; }
    // What the layer's step did with a connection: kHandedOff, it is queued,
    // with its turn, for one of the server's jobs; kCannotServe, the server
    // has stopped (the connection goes).
    enum class Served { kDone, kHandedOff, kCannotServe };
    // The layer's step for a connection on the thread that holds its turn
    // (`onWorker`: one of this server's jobs): reads and answers requests.
    virtual Served _serveConnection(KrTransceiverConnection&, bool /*onWorker*/) {
        return Served::kDone;
    }
    // The transceiver's shutdown step: leave the job registry (no more
    // messages), wait until the server's own jobs have ended, then forget the
    // transceiver. May be called more than once. Layers with
    // more jobs (the accept loop) stop and join those first, then call this.
    virtual void _shutdown(KrJob* transceiver);

    // Queues one pair and starts the buffer-process job on first use.
    void _insert_bufferSignaled(std::string connectionId, std::string clientName);
    // The connection of a server that carries outgoing requests is gone.
    // Queued behind the connection's pairs, so the bytes that came before
    // (an answer and its finished task among them) are served first; then
    // the supervisor gets kind 2 (a = this server, b = the connection), so
    // that a request still without its answer is reported now rather than
    // at the time-out.
    void _connectionGone(const std::string& connectionId);
    // Hands an outgoing request to a client-role server.
    bool _sendRequest(KrXHeader* message);
    std::string getSupervisorId();
    bool isListening() const { return listening; }
    int getProtocolKind() const { return protocolKind; }
    // Pairs queued and not yet popped.
    size_t queuedSignals();

  protected:
    // Ends the buffer-process jobs and waits for them; idempotent.
    void _stopBufferJob();
    // How many buffer-process jobs serve the queue (at least 1, the default);
    // set before the first signal. With more than one, two pairs of one
    // connection may run at once: the layer must keep them apart.
    void _setBufferWorkers(size_t count) { _bufferWorkers = count < 1 ? 1 : count; }

    bool listening = true;
    // Atomic: the transceiver's loops read it while a shutdown clears it.
    std::atomic<KrJob*> transceiver;
    std::string clientName;
    std::string dispatchKey;
    KrGavetaScheduler2* scheduler;
    KrAdaptiveRecursiveMutex queueLock;
    std::deque<std::pair<std::string, std::string>> queue;
    std::atomic<bool> signalled{false};
    std::atomic<unsigned long> bufferJobId{0};
    std::atomic<bool> running{false};
    std::mutex waitMutex;
    std::condition_variable waitCondition;
    std::string connectionId;
    std::string supervisorId;
    std::function<bool(KrServerCallback_t&)> callback;
    int protocolKind = 0;

  private:
    // bufferJobId once the job is stopped or may no longer start.
    static constexpr unsigned long kNoMoreJobs = ~0ul;
    unsigned long _startBufferJob();
    void _bufferProcess();
    // Guards the start of the buffer-process jobs against their shutdown.
    std::mutex _jobStartLock;
    size_t _bufferWorkers = 1;
    // Guarded by _jobStartLock: the jobs beyond the first (bufferJobId).
    std::vector<unsigned long> _moreBufferJobs;
};
