#pragma once
// The one object that owns the transport: the registered clients with the
// listeners opened for them, the servers, and every open TCP connection with
// its socket. Two scheduler jobs serve all connections: the receive loop
// reads whatever is waiting on any socket (one epoll set), the send loop
// writes queued output without ever blocking on a slow peer (another epoll
// set); a housekeeping thread drops timed-out servers once a second and
// tells connections of their deadlines and silences. `send` is the one road
// by which an answer leaves the application. What it keeps about each
// connection beyond the maps lies in the connection's record; a connection
// is served, under its turn, by _serve (see KrTransceiverConnection.h).
//
// Ownership: every map holds shared pointers; an object goes when its last
// map entry and the last worker copy let go. The scheduler is not owned.
// Locks, in order: `sendLock` (send of an outgoing request or of an answer
// through a DirectSocket or carrier server); a connection's message lock
// (send of an HTTP or QUIVO listener's answer on it); `socketsLock` with
// `lock` (taken together); a connection's watch lock; `sendMutex`,
// `_housekeepingMutex`, `_retiredLock` and the connection's other locks last
// and alone.
//   sendLock     serialises what it guards; a listener's HTTP answers on
//                different connections leave side by side, one at a time
//                per connection
//   lock         guards clients, connections, servers
//   socketsLock  guards sockets and the loops' job ids
//   sendMutex    guards the queue of connections with new output
//
// Shutdown (the destructor, the one place it happens): stop housekeeping;
// leave the registry; end the clients' CGI programs; stop every server's
// accept and buffer jobs and wait for them; stop both loops and wait for
// them; end every connection left (the lines of its answers are written
// with what reached the peer); free the maps, which closes the sockets.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "foundation/KrAdaptiveMutex.h"
#include "foundation/KrGavetaScheduler2.h"
#include "foundation/KrJob.h"
#include "transport/KrPoller.h"
#include "transport/KrServerCallback_t.h"

class KrSocketIPvx;
class KrTransceiverClient;
class KrTransceiverConnection;
class KrTransceiverServer;
class KrURLHookService;
class KrXHeader;
class KrXServerHeader;
struct KrAnswerLine;

// One registered client and the listeners opened for it. Dropping the record
// stops the servers attached to its headers.
class KrTransceiverClientRecord {
  public:
    explicit KrTransceiverClientRecord(std::shared_ptr<KrTransceiverClient> client = {});
    ~KrTransceiverClientRecord();
    KrTransceiverClientRecord(const KrTransceiverClientRecord&) = delete;
    KrTransceiverClientRecord& operator=(const KrTransceiverClientRecord&) = delete;

    std::shared_ptr<KrTransceiverClient> client;
    // Keyed by the header's job id.
    std::map<std::string, std::shared_ptr<KrXServerHeader>> listeners;
};

class KrTransceiver : public KrJob {
  public:
    using Callback = std::function<bool(KrServerCallback_t&)>;
    // Queued output held in memory above this makes a peer that sends
    // without reading its answers lose the connection, instead of growing
    // memory without end.
    static constexpr size_t kMaxQueuedOutput = 64u << 20;
    // A connection asked to close keeps at most this long to take its last
    // output before it is dropped anyway.
    static constexpr long kCloseLingerMicroseconds = 30000000;
    // Once that output is written and the connection's sending side shut,
    // this long at most for the peer to end its side (see _linger).
    static constexpr long kDrainAfterCloseMicroseconds = 2000000;

    explicit KrTransceiver(KrGavetaScheduler2* scheduler);
    ~KrTransceiver() override;
    KrTransceiver(const KrTransceiver&) = delete;
    KrTransceiver& operator=(const KrTransceiver&) = delete;

    bool onMessage(const KrJobMessage& message) override;
    // Posts through the global registry.
    bool postMessage(const std::string& receiverId, const KrJobMessage& message) override;

    // Registers a client not yet registered and returns it; else empty.
    virtual std::shared_ptr<KrTransceiverClient> addClient(
        std::shared_ptr<KrTransceiverClient> client);
    // Detaches a registered client and drops its record (stopping its servers).
    virtual void dropClient(std::shared_ptr<KrTransceiverClient>& client);
    // Routes an answer to the server and connection that read its request.
    // The message's job id, or commonErrorTask() when nothing was routed.
    virtual std::string send(KrTransceiverClient& client, std::shared_ptr<KrXHeader> message,
                             Callback callback, const std::string& taskName);
    // Creates and opens the listening server `header` describes; returns the
    // header's job id ("" without a header).
    virtual std::string addServer(KrTransceiverClient& client,
                                  std::shared_ptr<KrXServerHeader> header, Callback callback);

    // Hands an outgoing request to the URL hook service of its client and
    // destination, made on first use; false when the request was refused.
    bool _hookRequest(KrTransceiverClient& client, const std::shared_ptr<KrXHeader>& message,
                      Callback callback, const std::string& taskName);
    size_t hookServiceCount();
    // Writes "m-stack: " and the queued count of each URL hook service, one
    // line each; returns the requests they still have waiting or in flight.
    unsigned long printMessageStacks();

    std::shared_ptr<KrTransceiverConnection> findConnection(const std::string& name);
    std::shared_ptr<KrTransceiverClient> findClient(const std::string& name);
    // Enters a server (it joins the housekeeping task) under its job id.
    void registerServer(std::shared_ptr<KrTransceiverServer> server);
    void removeServer(const std::string& name);
    // Tells a server's supervisor (kind 5, "ctask") that the server finished
    // its task, and makes the server leave it.
    void _finishServerTask(const std::string& name);
    // Writes the "logging" value of a type-7 record as one line. The line
    // reaches standard output at the next flushLogging, which the loops call
    // before they wait (so within the batch of answers it came with).
    static void printLogging(const KrServerCallback_t& record);
    // Flushes the lines printLogging wrote since the last flush.
    static void flushLogging();
    // "type" (default "none") is "HTTP", "HTTPS", "DirectSocket" or "QUIVO".
    static bool isKnownServerType(const std::map<std::string, std::string>& parameters);

    // Enters a connection with its socket and starts the loops on first use;
    // returns the connection's id. Throws KrException when either is missing.
    std::string _addTCPSocket(std::shared_ptr<KrSocketIPvx>& socket,
                              std::shared_ptr<KrTransceiverConnection> connection);
    // Ends a connection at once (its output is dropped), on the thread that
    // holds its turn: kind 2 to its owner, server and itself, out of every
    // map and epoll set, out of its tasks; an answer still being made is
    // cancelled (a program abandoned).
    void _removeTCPSocket(std::string name);
    // What a connection's close callback calls: output still queued, and an
    // answer still being made, are written out first; then the connection's
    // sending side is shut and it goes once the peer has ended its side.
    // What the peer sends meanwhile is read and dropped.
    void closeConnection(const std::string& name);
    // Wakes the send loop.
    void wakeSender();
    // A connection has new output to write; called by the connection. The
    // turn holder writes its own connection's output before it lets go;
    // output of any other thread goes to the send loop.
    void _outputQueued(KrTransceiverConnection& connection);
    // Starts or stops watching a connection for input (its input window).
    void _watchInput(KrTransceiverConnection& connection, bool watch);
    // The holder: housekeeping tells the connection when the steady clock
    // (µs) reaches `at` (kDeadline).
    void _armDeadline(KrTransceiverConnection& connection, int64_t at);

    // Serves a connection on the calling thread, which holds its turn (its
    // post gave it the turn; `onWorker`: one of its server's workers, which
    // got the turn with the connection): takes the news, lets the server
    // read and answer, writes the output, until no news is left. Returns
    // when it has let go of the turn, or handed it on with the connection.
    void _serve(KrTransceiverConnection& connection, bool onWorker);
    // The holder: writes what the socket takes of the connection's output;
    // the rest is left to the send loop. Below the output window a streamed
    // answer queues its next piece.
    void _writeOut(KrTransceiverConnection& connection);
    // The holder: no more requests are read (see closeConnection).
    void _close(KrTransceiverConnection& connection);
    // The holder, where every answer ends: the one being made (begun with
    // _beginAnswering, its end told by its maker's news) or, given `made`
    // and the position of its first byte, one just made in place. Its mark
    // closes, so its access-log line is written once, when its bytes have
    // reached the socket (or with those that did, once the connection has
    // gone); then the connection reads on, or with `last` it closes: nothing
    // behind an answer that was cut short or cancelled is answered.
    void _endAnswer(KrTransceiverConnection& connection, bool last,
                    const KrAnswerLine* made = nullptr, uint64_t start = 0);

    void _tcpReceiveLoop();
    void _tcpSendLoop();
    void _housekeeping();

    size_t connectionCount();
    size_t socketCount();
    size_t serverCount();

  private:
    // Makes a change to the connection's watch in a loop's epoll set (`change`
    // gets the record and the descriptor) under its watch lock, unless the
    // connection is gone: an event must never carry a connection the loops
    // no longer hold.
    template <typename Change>
    void _rewatch(KrTransceiverConnection& connection, Change change);
    // Lets go of the connections removed before the loop's last batch ended
    // (the receive loop's or the send loop's list).
    void _dropRetired(bool receiveLoop);
    // The connection entered under `name`, if it still is.
    std::shared_ptr<KrTransceiverConnection> _entered(const std::string& name);
    // The send loop's step for a connection with output.
    void _serviceOutput(KrTransceiverConnection& connection);
    // The socket is full: the send loop waits for it to take more.
    void _watchOutput(KrTransceiverConnection& connection);
    // The holder's steps (see _serve): acts on the news (`underTurn`: its
    // server reads it under the turn); shuts the sending side and waits for
    // the peer's end of input (or ends the connection at once when that came
    // already); ends the connection (the one place it leaves the maps).
    void _take(KrTransceiverConnection& connection, uint32_t news, bool underTurn);
    void _linger(KrTransceiverConnection& connection);
    void _gone(KrTransceiverConnection& connection);
    // The receive loop: the peer shut its sending side.
    void _inputEnded(KrTransceiverConnection& connection);
    void _startLoopsNL();
    void _stopPrograms();
    void _stopServers();
    void _stopLoops();

    std::recursive_mutex sendLock;
    std::map<std::string, std::shared_ptr<KrTransceiverClientRecord>> clients;
    KrGavetaScheduler2* scheduler;
    KrAdaptiveRecursiveMutex lock;
    std::map<std::string, std::shared_ptr<KrTransceiverConnection>> connections;
    std::map<std::string, std::shared_ptr<KrTransceiverServer>> servers;
    KrAdaptiveRecursiveMutex socketsLock;
    std::map<std::string,
             std::pair<std::shared_ptr<KrSocketIPvx>, std::shared_ptr<KrTransceiverConnection>>>
        sockets;
    // An event of either epoll set carries the connection itself, which the
    // loop uses without a lookup. A removed connection is held here until
    // each loop that may report it (the send loop only one it has watched)
    // has ended the batch its removal fell into (the loop lets go of its
    // list before it waits again), so an event reported before the removal
    // never meets a freed connection. Guarded by `_retiredLock`.
    std::mutex _retiredLock;
    std::vector<std::shared_ptr<KrTransceiverConnection>> _receiveRetired;
    std::vector<std::shared_ptr<KrTransceiverConnection>> _sendRetired;
    // The receive loop's thread: a removal there needs no wake-up of it.
    std::atomic<std::thread::id> _receiveThread{};
    std::atomic<bool> receiving{false};
    std::atomic<bool> sending{false};
    bool _stopping = false;
    unsigned long sendJobId = 0;
    unsigned long receiveJobId = 0;
    KrPoller _receivePoller;
    KrPoller _sendPoller;
    // Guards the queue of connections with new output for the send loop
    // (each connection's record says whether it is in it).
    std::mutex sendMutex;
    std::deque<std::shared_ptr<KrTransceiverConnection>> _sendQueue;
    std::string housekeepingTask;
    std::atomic<bool> housekeepingRunning{true};
    // Guards the housekeeping's wake-up and the time it wakes next.
    std::mutex _housekeepingMutex;
    std::condition_variable _housekeepingCondition;
    int64_t _housekeepingWake = INT64_MAX;
    std::thread housekeepingThread;
    // Housekeeping's own: the most connections seen since the heap was last
    // trimmed, and the crowd worth trimming after.
    size_t _connectionPeak = 0;
    static constexpr size_t kTrimAfterPeak = 100;
    // The URL hook services by client id and destination (urlText), and by
    // their own id; guarded by `lock`. Declared last so they go first: a
    // connect still in progress then finds the transceiver whole.
    std::map<std::string, std::map<std::string, std::shared_ptr<KrURLHookService>>> hooks;
    std::map<std::string, std::shared_ptr<KrURLHookService>> hookServices;
};
