#pragma once
// The HTTP protocol layer: turns the bytes of each connection into request
// headers (the reader of KrXHeader), hands every complete request to the
// client's dispatch, and writes answers back with one access-log line each
// (event type 7). Every request gets an answer: the reader's refusals (400,
// 413, 431, 501), a head or body not complete within its time limit (408)
// and a request whose handling threw (500) are answered and the connection
// closed; the server goes on serving. Pipelined requests are read one after
// the other, each answer starting once the one before is down to the
// connection's output window; "Expect: 100-continue" is answered before the
// body is read. A peer that shuts its sending side gets the answers to every
// complete request it sent before the connection closes.
//
// What the server keeps about a connection lies in the connection's record
// (deadlines, the answer being made later or streamed, the task of its
// requests); `pendingLock` guards `pending` (connection id -> the message
// being read). Requests of different connections are read and answered on
// several buffer-process jobs at once; one connection's requests run one at
// a time, in order. Lock order: pendingLock is never held while a header's
// mutex is awaited.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "transport/KrTransceiverConnection.h"
#include "transport/KrTransceiverServerL0Socket.h"

class KrFileHandle;
class KrStringBuf;
class KrTransceiverClient;
class KrTransceiverConnection;

class KrTransceiverServerL1HTTP : public KrTransceiverServerL0Socket {
  public:
    // A request head must be complete this long after its first byte.
    static constexpr long kDefaultHeadTimeLimit = 30000000;
    // File bodies are read and queued in pieces of this size, up to the
    // connection's output window.
    static constexpr size_t kFileChunk = 64 * 1024;
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
    // A listener reads and answers a connection on the thread that has its
    // news (the receive loop for new bytes), handing only requests that run
    // the application to its workers.
    bool _serveInline(KrTransceiverConnection& connection) override;

    // A request body must arrive within this long after its head, plus one
    // second for every kMinBodyRate bytes that came.
    static constexpr long kDefaultBodyTimeLimit = 30000000;
    static constexpr uint64_t kMinBodyRate = 1024;

    // The head and body time limits in microseconds (tests shorten them).
    void setHeadTimeLimit(long microseconds);
    void setBodyTimeLimit(long microseconds);
    // Makes the connection object for a new socket: a listener's
    // connections are bounded to one request's worth of unread input and
    // are answered after their peer's end of input.
    std::shared_ptr<KrTransceiverConnection> _createConnection(
        KrTransceiver& transceiver, std::string name, KrServerCallback_t& info,
        std::shared_ptr<KrSocketIPvx>& socket) override;
    // Messages being read.
    size_t pendingCount();

    // The access-log line of an answer. Pieces taken from the request are
    // escaped (control bytes, quote and backslash as \xHH) so that a request
    // cannot forge a line.
    static std::string accessLogLine(const std::string& remote, const std::string& scheme,
                                     const std::string& time, const std::string& line,
                                     unsigned long status, unsigned long bytes,
                                     const std::string& referer, const std::string& agent);
    // The same line appended to `out`.
    static void appendAccessLogLine(std::string& out, std::string_view remote,
                                    std::string_view scheme, std::string_view time,
                                    std::string_view line, unsigned long status,
                                    unsigned long bytes, std::string_view referer,
                                    std::string_view agent);

  protected:
    KrAdaptiveRecursiveMutex pendingLock;
    std::map<std::string, std::shared_ptr<KrXHeader>> pending;

  private:
    // One message on one connection; false when the connection is done with
    // for this pass (more bytes needed, closed, waiting for an answer or the
    // output window, or left to the client).
    // Reads and answers what the connection brought, on a worker or (with
    // `inlineThread`) on the thread that has its news.
    void _serve(KrTransceiver& owner, KrTransceiverConnection& connection,
                const std::shared_ptr<KrTransceiverClient>& client, bool inlineThread);
    bool _readOne(const std::string& connectionId, KrTransceiver& owner,
                  KrTransceiverConnection& connection,
                  const std::shared_ptr<KrTransceiverClient>& client, std::string& carried,
                  bool inlineThread);
    // Hands a complete request to the client and sends what follows from it.
    bool _dispatchOne(const std::string& connectionId, KrTransceiver& owner,
                      KrTransceiverConnection& connection,
                      const std::shared_ptr<KrTransceiverClient>& client, std::string& carried,
                      std::shared_ptr<KrXHeader> header, bool kept);
    // The client it answers for.
    std::shared_ptr<KrTransceiverClient> _findInlineClient(KrTransceiver& owner);
    // The connection's unfinished request, or a new one. With `kept`, a new
    // one is not put into `pending` (the caller does, should it stay
    // unfinished) and *kept tells whether the one returned is there.
    std::shared_ptr<KrXHeader> _pendingHeader(const std::string& connectionId,
                                              KrTransceiverConnection& connection,
                                              KrTransceiverClient& client, bool* kept = nullptr);
    void _keepPending(const std::string& connectionId, KrTransceiverConnection& connection,
                      std::shared_ptr<KrXHeader> header);
    // Bytes behind a complete request wait in the next request's header.
    void _keepCarried(const std::string& connectionId, KrTransceiverConnection& connection,
                      KrTransceiverClient& client, std::string& carried);
    void _erasePending(const std::string& connectionId);
    // Answers a refused or failed request and closes the connection.
    void _refuse(KrTransceiver& owner, KrTransceiverConnection& connection,
                 KrTransceiverClient& client, KrXHeader& header);
    // Queues a file body: whole when small, else streamed through the
    // connection's output window. The bytes of the body queued; a streamed
    // one is logged with `logged` when it ends (`logged` is then emptied).
    uint64_t _queueFile(KrTransceiverConnection& connection, KrXHeader& message,
                        std::unique_ptr<KrStringBuf> head, uint64_t start,
                        KrTransceiverConnection::SentReport& logged);
    // Logs the answer `message` with the count it is given: for an answer
    // streamed, once its end has been written.
    KrTransceiverConnection::SentReport _laterLog(KrXHeader& message);
    // A kept file's answer, written during dispatch without an answer
    // object (see KrXHeader::DirectAnswer).
    class DirectSink;
    bool _answerDirect(KrTransceiverConnection& connection, KrXHeader& request,
                       std::string_view type, std::string_view body);
    // The access-log event of an answer of `bytes` bytes to the request
    // whose pieces are given.
    void _logAccess(KrTransceiverConnection& connection, int protocolKind, std::string_view time,
                    std::string_view requestLine, unsigned long status, uint64_t bytes,
                    std::string_view referer, std::string_view agent);
    // Reads `length` bytes of `file` into `body`; false when it has fewer.
    static bool _readFile(KrFileHandle& file, uint64_t length, KrStringBuf& body);

    // Guards the client looked up once for inline serving.
    std::mutex _clientLock;
    std::weak_ptr<KrTransceiverClient> _client;
    // Guards the two time limits.
    std::mutex _limitsLock;
    long _headTimeLimit = kDefaultHeadTimeLimit;
    long _bodyTimeLimit = kDefaultBodyTimeLimit;
};
