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
// A connection is read and answered under its serving turn, on whichever
// thread has its news (the receive loop for new bytes), so a kept file is
// answered where its request was read; a request that runs the application
// goes, with the turn, to one of the server's workers. What the server keeps
// about a connection (the request being read, its
// deadline, the answer being made, the task of its requests) lies in the
// connection's record and belongs to the turn holder. Requests of different
// connections are read and answered on several threads at once; one
// connection's requests run one at a time, in order.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "transport/KrTransceiverConnection.h"
#include "transport/KrTransceiverServerL0Socket.h"
#include "transport/KrXHeader.h"

class KrFileHandle;
class KrStringBuf;
class KrTransceiverClient;

class KrTransceiverServerL1HTTP : public KrTransceiverServerL0Socket {
  public:
    // A request head must be complete this long after its first byte.
    static constexpr long kDefaultHeadTimeLimit = 30000000;
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

    // Each pair carries its connection's turn: the worker serves it.
    void _bufferworkfunction(std::string connectionId, std::string clientName) override;
    bool _sendResponse(std::string connectionId, KrXHeader* message) override;
    bool _readsUnderTurn() const override { return true; }
    // Reads and answers what the connection brought, handing requests that
    // run the application (and a carrier's answers) to the workers.
    Served _serveConnection(KrTransceiverConnection& connection, bool onWorker) override;
    // Also ends the connections whose turn waits in the queue.
    void _shutdown(KrJob* transceiver) override;

    // A request body must arrive within this long after its head, plus one
    // second for every kMinBodyRate bytes that came.
    static constexpr long kDefaultBodyTimeLimit = 30000000;
    static constexpr uint64_t kMinBodyRate = 1024;

    // The head and body time limits in microseconds (tests shorten them).
    void setHeadTimeLimit(long microseconds);
    void setBodyTimeLimit(long microseconds);
    // Makes the connection object for a new socket: a listener's
    // connections are bounded to one request's worth of unread input.
    std::shared_ptr<KrTransceiverConnection> _createConnection(
        KrTransceiver& transceiver, std::string name, KrServerCallback_t& info,
        std::shared_ptr<KrSocketIPvx>& socket) override;
    // Every answer's access-log line, once: `bytes` of it reached the socket.
    void _logAnswer(KrTransceiverConnection& connection, const KrAnswerLine& line,
                    uint64_t bytes) override;

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

  private:
    // What one read of a connection's request did.
    enum class Step { kStop, kMore, kHandedOff };
    // The interim answer to "Expect: 100-continue".
    static constexpr std::string_view kContinueAnswer = "HTTP/1.1 100 Continue\r\n\r\n";

    // The turn holder's steps. Reads one request from the input (kMore:
    // bytes are left behind it; kHandedOff: it went, with the turn, to a
    // worker).
    Step _readOne(KrTransceiver& owner, KrTransceiverConnection& connection,
                  const std::shared_ptr<KrTransceiverClient>& client, bool onWorker);
    // Hands a complete request to the client and sends what follows from
    // it; true when bytes behind it wait to be read.
    bool _dispatchOne(KrTransceiver& owner, KrTransceiverConnection& connection,
                      KrTransceiverClient& client, std::shared_ptr<KrXHeader> header);
    // Starts an answer made off this thread.
    void _startLater(KrTransceiver& owner, KrTransceiverConnection& connection,
                     KrTransceiverClient& client, std::shared_ptr<KrXHeader> header,
                     KrXHeader::LaterAnswer later);
    // A new request on the connection, in its task.
    std::shared_ptr<KrXHeader> _newRequest(KrTransceiverConnection& connection,
                                           KrTransceiverClient& client);
    // The client it answers for.
    std::shared_ptr<KrTransceiverClient> _findClient(KrTransceiver& owner);
    // Answers a refused or failed request and closes the connection.
    void _refuse(KrTransceiver& owner, KrTransceiverConnection& connection,
                 KrTransceiverClient& client, KrXHeader& header);
    // Queues a file answer: a small file's body read with its head, a
    // larger one's to go from the file to the socket. False when it cannot
    // be sent as its head announced (the connection closes after it).
    bool _queueFile(KrTransceiverConnection& connection, KrXHeader& message,
                    std::unique_ptr<KrStringBuf> head);
    // A kept file's answer, written during dispatch without an answer
    // object (see KrXHeader::DirectAnswer).
    class DirectSink;
    bool _answerDirect(KrTransceiverConnection& connection, KrXHeader& request,
                       std::string_view type, std::string_view body);
    // Reads `length` bytes of `file` into `body`; false when it has fewer.
    static bool _readFile(KrFileHandle& file, uint64_t length, KrStringBuf& body);

    // Set by the shutdown: nothing more is served.
    std::atomic<bool> _stopped{false};
    // Guards the client looked up once for serving.
    std::mutex _clientLock;
    std::weak_ptr<KrTransceiverClient> _client;
    // Guards the two time limits.
    std::mutex _limitsLock;
    long _headTimeLimit = kDefaultHeadTimeLimit;
    long _bodyTimeLimit = kDefaultBodyTimeLimit;
};
