#pragma once
// The HTTP protocol layer: turns the bytes of each connection into request
// headers (the reader of KrXHeader), hands every complete request to the
// client's dispatch, and writes answers back with one access-log line each
// (event type 7). Every request gets an answer: the reader's refusals (400,
// 413, 431, 501), a head not complete within the head time limit (408) and a
// request whose handling threw (500) are answered and the connection closed;
// the server goes on serving. Pipelined requests are read one after the
// other; "Expect: 100-continue" is answered before the body is read.
//
// `pendingLock` guards `pending` (connection id -> the message being read).
// `_watchLock` guards the head deadlines and the watch thread's state.
// `_filesLock` guards the file bodies waiting to be streamed. Requests of
// different connections are read and answered on several buffer-process
// jobs at once; one connection's requests run one at a time, in order. Lock order:
// pendingLock is never held while a header's mutex is awaited.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "transport/KrTransceiverServerL0Socket.h"

class KrFileHandle;
class KrStringBuf;
class KrTransceiverClient;
class KrTransceiverConnection;

class KrTransceiverServerL1HTTP : public KrTransceiverServerL0Socket {
  public:
    // A request head must be complete this long after its first byte.
    static constexpr long kDefaultHeadTimeLimit = 30000000;
    // File bodies are read and queued in pieces of this size.
    static constexpr size_t kFileChunk = 256 * 1024;
    // Files up to this size are read when their answer is made and leave
    // with its head.
    static constexpr uint64_t kInlineFile = 64 * 1024;

    // Listening role.
    KrTransceiverServerL1HTTP(KrGavetaScheduler2* scheduler, KrXServerHeader* serverHeader,
                              KrJob* transceiver, const std::string& clientName,
                              const std::string& dispatchKey, const std::string& supervisorId,
                              std::function<bool(KrServerCallback_t&)> callback,
                              const std::string& typeName);
    // Client role: carries `request` (not owned; the broker holds it).
    KrTransceiverServerL1HTTP(KrGavetaScheduler2* scheduler, KrJob* transceiver,
                              const std::string& clientName, const std::string& dispatchKey,
                              std::shared_ptr<KrXHeader> request, const std::string& supervisorId,
                              std::function<bool(KrServerCallback_t&)> callback,
                              const std::string& typeName);
    ~KrTransceiverServerL1HTTP() override;

    // Also, on a listener, kind 2 (a connection is gone): a worker then
    // forgets the connection's unfinished request and the task made for it.
    bool onMessage(const KrJobMessage& message) override;
    void _bufferworkfunction(std::string connectionId, std::string clientName) override;
    bool _sendResponse(std::string connectionId, KrXHeader* message) override;
    void _bufferSignaled(const std::string& connectionName) override;
    // Also stops the head watch.
    void _shutdown(KrJob* transceiver) override;

    // Called by a request handler inside dispatch: `work` answers the
    // request later on a thread of its own (a CGI run), so the server goes on
    // with other connections meanwhile; this connection reads nothing more
    // until `work` has returned. The request stays alive until then. False
    // when the caller is not inside a dispatch of an HTTP server (the caller
    // then runs `work` itself).
    static bool deferCurrent(std::function<void()> work);

    // The head time limit in microseconds (tests shorten it).
    void setHeadTimeLimit(long microseconds);
    // Messages being read.
    size_t pendingCount();

    // The access-log line of an answer. Pieces taken from the request are
    // escaped (control bytes, quote and backslash as \xHH) so that a request
    // cannot forge a line.
    static std::string accessLogLine(const std::string& remote, const std::string& scheme,
                                     const std::string& time, const std::string& line,
                                     unsigned long status, unsigned long bytes,
                                     const std::string& referer, const std::string& agent);

  protected:
    KrAdaptiveRecursiveMutex pendingLock;
    std::map<std::string, std::shared_ptr<KrXHeader>> pending;

  private:
    struct FileStream {
        std::string connectionId;
        std::shared_ptr<KrFileHandle> file;
        uint64_t length;
    };
    // One message on one connection; false when the connection is done with
    // for this pass (more bytes needed, closed, or left to the client).
    bool _readOne(const std::string& connectionId, KrTransceiver& owner,
                  KrTransceiverConnection& connection,
                  const std::shared_ptr<KrTransceiverClient>& client, std::string& carried);
    std::shared_ptr<KrXHeader> _pendingHeader(const std::string& connectionId,
                                              KrTransceiverConnection& connection,
                                              KrTransceiverClient& client);
    void _erasePending(const std::string& connectionId);
    // Answers a refused or failed request and closes the connection.
    void _refuse(KrTransceiver& owner, KrTransceiverConnection& connection,
                 KrTransceiverClient& client, KrXHeader& header);
    void _streamFile(KrTransceiverConnection& connection, KrFileHandle& file, uint64_t length);
    // Reads `length` bytes of `file` into `body`; false when it has fewer.
    static bool _readFile(KrFileHandle& file, uint64_t length, KrStringBuf& body);
    void _streamDeferredFiles(KrTransceiver& owner);
    void _watchHead(const std::string& connectionId);
    void _unwatchHead(const std::string& connectionId);
    bool _headExpired(const std::string& connectionId);
    void _headWatch();
    void _stopHeadWatch();

    // Runs deferred work for `connectionId`, then lets the connection read again.
    void _startDeferred(const std::string& connectionId, std::shared_ptr<KrXHeader> header,
                        std::shared_ptr<KrTransceiverClient> client, std::function<void()> work);
    void _waitDeferred();

    // Guarded by pendingLock: connections whose answer is being made on a
    // thread of its own.
    std::set<std::string> _busy;
    // Guarded by pendingLock: connection id -> the task the client made for
    // its requests, dissolved when the connection goes.
    std::map<std::string, std::string> _connectionTasks;
    // A connection that is gone: drops its unfinished request and its task.
    void _forgetConnection(const std::string& connectionId, const std::string& clientName);
    // `_deferredLock` guards the count of running deferred threads.
    std::mutex _deferredLock;
    std::condition_variable _deferredDone;
    size_t _deferredRunning = 0;

    std::mutex _filesLock;
    // By the worker thread whose answers left them.
    std::map<std::thread::id, std::vector<FileStream>> _deferredFiles;

    std::mutex _watchLock;
    std::condition_variable _watchCondition;
    long _headTimeLimit = kDefaultHeadTimeLimit;
    struct HeadDeadline {
        int64_t at;  // steady clock, µs
        bool signalled = false;
    };
    // Connection id -> deadline of the head being read.
    std::map<std::string, HeadDeadline> _headDeadlines;
    // Its size, written under _watchLock, read without it: no lock while no
    // head is being waited for.
    std::atomic<size_t> _watchedHeads{0};
    bool _watchRunning = false;
    bool _watchStopped = false;
    std::thread _watchThread;
};
