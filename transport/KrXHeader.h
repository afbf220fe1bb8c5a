#pragma once
// One message of the transport: an incoming HTTP or QUIVO request as the reader
// takes it apart, the answer made for it, an outgoing request, or the
// parameter set of a listener. Holds the first-line data, the header fields,
// the body bytes, the parameters parsed from query and body, the route back to
// the connection, and the state that servers, handlers and the application
// exchange through it.
//
// Shared through std::shared_ptr<KrXHeader> wherever it crosses threads.
// `mutex()` guards parsing, writing and the handler's work on the header; the
// server holds it around `read` and the handler, `write`, `isAnswerReady` and
// the server header's parameters take it themselves (getParameter, though
// const, may build a lookup index, so it is no exception). Owns its body
// buffer (or, for a large request body, its share of the temporary file
// holding it) and its blocks; the parameter maps point into the block list, which
// never moves its elements. The field map and the blocks are made from the
// reader's flat record only as far as callers ask for them.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/KrJob.h"
#include "foundation/KrStringBuf.h"
#include "foundation/KrURL.h"
#include "transport/KrHTTPMessageBlock.h"
#include "transport/KrHeaderFields.h"
#include "transport/KrHttpTables.h"
#include "transport/KrHttpText.h"
#include "transport/KrServerCallback_t.h"

class KrChunkedDecoder;
class KrConnectStop;
class KrFileHandle;
class KrHTMLKontextN;
class KrXMLComplexElement;
class KrXMLGenericElement;
class KrXResponseHeader;

// The page context that replaces the one under `kontextId` once a page
// handler returns; the application takes over `kontext` and deletes it.
struct KrKontextReplacement_t {
    std::string kontextId;
    KrHTMLKontextN* kontext = nullptr;
};

// Which way a message goes: an answer to a request, or a request (read by
// a listener, or sent out by a client).
enum KrMessageDirection : int {
    KR_DIRECTION_NONE = 0,
    KR_DIRECTION_ANSWER = 1,
    KR_DIRECTION_REQUEST = 2,
};

// What KrXHeader::read reports.
enum KrReadResult : int {
    KR_READ_MORE = 0,      // more bytes are needed
    KR_READ_REFUSED = 1,   // refused (refusalStatus) or the head hook said no
    KR_READ_COMPLETE = 2,  // complete; the unread bytes of body() are the body
};

class KrXHeader : public KrJob {
  public:
    // Limits on what the reader accepts from a peer. A longer request line is
    // refused with 400, a longer header line, a longer head or more fields
    // with 431; a body announced larger than the body limit with 413.
    static constexpr size_t kMaxLineLength = 8 * 1024;
    static constexpr size_t kMaxHeadLength = 64 * 1024;
    static constexpr size_t kMaxFieldCount = 100;
    static constexpr uint64_t kDefaultMaxBodyLength = 64ull * 1024 * 1024;
    // A server keeps a request body larger than this in a temporary file,
    // not in memory (see keepBodyInFilePast).
    static constexpr uint64_t kMaxBodyInMemory = 64 * 1024;

    // method: a KrHttpMethod; protocolKind: a KrProtocolKind (HTTP, HTTPS,
    // QUIVO, QUIVOS or SOCKET).
    KrXHeader(int method, bool openContent, int protocolKind);
    ~KrXHeader() override;

    // Produces the head of the message (answer or request) on `out`; the
    // body is sent by the caller. False, writing nothing, when not ready.
    virtual bool write(std::ostream& out);
    // Job state KR_JOB_OPEN_CONTENT or KR_JOB_READY, no head written yet and
    // a status set.
    virtual bool isAnswerReady();
    virtual bool reservedHook();
    virtual int protocolKind() const;

    // --- Reader (incoming bytes are appended to body() by the server) ---
    // Consumes the head from the front of body() and returns a KrReadResult:
    // KR_READ_MORE, KR_READ_REFUSED (see refusalStatus, or the hook said no)
    // or KR_READ_COMPLETE (the unread bytes of body() are exactly the body).
    // Bytes behind the body are the start of the next message: they are
    // moved out of body() and are had with takePipelined(). The caller holds
    // mutex(). Always inlined: a peer sending small pieces makes a call per
    // piece, and the check below is cheaper than the call.
    __attribute__((always_inline)) int read(const std::function<bool(KrXHeader&)>& onHeadComplete) {
        // A small piece of a head line without a line end, as a peer
        // sending in small pieces brings, is only scanned where it lies in
        // body(): the read position stays, and the lines are read from there
        // once the line's CR LF has arrived, as if they had come in one
        // piece. Any other control byte (a bare LF among them) stops the
        // scan too and is refused at once, as it would be in a whole head;
        // a CR at the end waits for the byte behind it. _passRoom is how
        // many unread bytes may gather so (0 once the head is done or
        // refused).
        if (_passRoom != 0 && _body) {
            const char* const start = _body->Begin();
            const uint64_t available = _body->Length();
            uint64_t scanned = _scanned;
            if (available - scanned - 1 < kSmallPiece && available <= _passRoom) {
                // A library scan costs more than the loop on so few bytes.
                while (scanned < available && !KrIsHttpHeadControl(start[scanned]))
                    ++scanned;
                if (scanned == available || (scanned + 1 == available && start[scanned] == '\r')) {
                    _scanned = scanned;
                    return KR_READ_MORE;
                }
            }
        }
        return _readHead(onHeadComplete);
    }
    // The status with which a refused message must be answered (400, 413,
    // 431, 501); 0 while nothing was refused.
    unsigned long refusalStatus() const { return _refusal; }
    // The bytes received behind a complete message; the header keeps none.
    std::string takePipelined();
    // Body limit for this message (bytes); set before the first read.
    void setMaxBodyLength(uint64_t limit) { _maxBodyLength = limit; }
    // A server's request: a body announced larger than `bytes` is written,
    // as it comes, to an unnamed temporary file in $TMPDIR (else /tmp), with
    // no more than about `bytes` of it in memory at a time, and body() holds
    // none of it once complete. A file that cannot be made or written
    // refuses the request with 503 and says why on standard error: a body
    // cut short never passes for whole. Set before the first read.
    void keepBodyInFilePast(uint64_t bytes) { _filePast = bytes; }
    // The file holding the body (all of it once the message is complete), or
    // null for a body in body(). Read it by position (KrFileHandle::readAt):
    // its offset belongs to the program that gets it as its input.
    const std::shared_ptr<KrFileHandle>& bodyFile() const { return _bodyFile; }
    // A server's request: refused with 400 when it names HTTP/1.1 (or a
    // later 1.x) and has no Host field, or has more than one. Set before
    // the first read.
    void requireHost() { _hostRequired = true; }
    bool closeAfter() const { return _closeAfter; }
    // The request line named HTTP/1.1 or a later HTTP/1 minor version, whose
    // peers take chunked and interim (1xx) answers.
    bool isHTTP11() const { return _http11; }
    // Refuses the message being read with `status` (408 when its head took
    // too long, 500 when handling it failed): read() returns KR_READ_REFUSED
    // from now on and makeRefusal() answers with that status and closes.
    // Returns KR_READ_REFUSED.
    int refuse(unsigned long status) { return _refuse(status); }
    // An HTTP/1.1 head asked for "Expect: 100-continue" (from HTTP/1.0 the
    // expectation is ignored).
    bool expectsContinue();
    long contentLength() const { return _contentLength; }
    bool inHead() const { return _inHead; }

    // --- Answers made later ---
    // An answer made off the server's thread (a CGI program): `start` gets
    // the function `finished` that its maker calls once the answer has
    // ended, whatever became of it: with true when the connection closes
    // after it (it was cut short or cancelled).
    using LaterAnswer = std::function<void(std::function<void(bool last)> finished)>;
    // Set by a server that can wait for such an answer before it reads the
    // connection's next request.
    void allowLaterAnswer() { _laterAllowed = true; }
    bool canAnswerLater() const { return _laterAllowed; }
    // Called by a handler inside dispatch when canAnswerLater(): the server
    // starts `start` once dispatch has returned.
    void answerLater(LaterAnswer start) { _later = std::move(start); }
    LaterAnswer takeLaterAnswer() { return std::move(_later); }

    // --- Small answers written straight to the connection ---
    // What the server that read the request offers its handler during
    // dispatch: a ready 200 answer of a few bytes (a kept file) goes out
    // on the request's connection without an answer object being made.
    // False when it cannot; the handler then sends an answer as usual.
    class DirectAnswer {
      public:
        virtual bool answer(KrXHeader& request, std::string_view type, std::string_view body) = 0;

      protected:
        ~DirectAnswer() = default;
    };
    void setDirectAnswer(DirectAnswer* sink) { _direct = sink; }
    DirectAnswer* directAnswer() const { return _direct; }
    // The head write() gives a 200 answer made for this request
    // (makeResponse) with `type` and a body of `length` bytes.
    void appendAnswerHead(std::string& out, std::string_view type, uint64_t length);
    // Method and target as the access log shows them; "-" without.
    std::string logRequestLine();
    // The same, written over `out` (whose room is kept for the next line).
    void logRequestLineInto(std::string& out);

    // --- Bodies and parameters ---
    void _parseURL(const std::string& text);
    // A KrReadResult: KR_READ_MORE while the body is incomplete,
    // KR_READ_REFUSED for a body longer than announced or a malformed
    // multipart body (refusalStatus() 400), KR_READ_COMPLETE once parsed.
    // A body kept in a file is read back into body() first, and the file
    // let go (503 when it cannot be read).
    int _parseBody();
    // The body parameter `name` as _parseBody would find it, looked up in a
    // body kept in a file without parsing it into memory: where a request
    // goes depends on one parameter, and most large bodies are for a
    // program. KR_READ_REFUSED for a body _parseBody would refuse, else
    // KR_READ_COMPLETE with `out` set (left as it was when there is none).
    int findFileBodyParameter(const std::string& name, std::string& out);
    void setRequestQuery(const std::string& url);

    // --- Outgoing requests (path, host, port, protocol kind, query, body) ---
    // Each takes mutex() for its whole run; `base` resolves a relative address.
    // An address whose port cannot be read throws std::invalid_argument and
    // leaves the header unchanged.
    void setURL(const std::string& text, const std::string& base);
    // From the element's "href"; none gives path "#" on "localhost".
    void setURLFromHref(KrXMLGenericElement& element, const std::string& base);
    // A form's "action", "method" ("GET" or "POST") and descendant inputs to a
    // GET with a query or a multipart/form-data POST.
    void buildFormPost(KrXMLGenericElement& form, const std::string& base);
    const std::string& boundary() const { return _boundary; }
    // How long connecting for this request may take: the carrier gives up at
    // `deadline`, and at once when `stop` is signalled (null: nothing stops
    // it). No limit is set at first; the system's own connect limit applies.
    void setConnectLimit(std::chrono::steady_clock::time_point deadline,
                         std::shared_ptr<KrConnectStop> stop);
    std::chrono::steady_clock::time_point connectDeadline() const {
        return _connectLimit ? _connectLimit->deadline
                             : std::chrono::steady_clock::time_point::max();
    }
    std::shared_ptr<KrConnectStop> connectStop() const {
        return _connectLimit ? _connectLimit->stop : nullptr;
    }

    // --- Answers ---
    // A new answer for this request; the caller owns it.
    KrXResponseHeader* makeResponse();
    // An answer to a refused request: the refusal status, an empty body
    // (for 503 a short page and "Retry-After"), "Connection: close", ready
    // to send. The caller owns it.
    KrXResponseHeader* makeRefusal();

    // --- Accessors ---
    KrHeaderFieldMap& headers() { return _headers.all(); }
    // Trimmed values as they arrived, blanks inside kept (for CGI); the
    // blank-free values where a field's values had no blanks to keep.
    const std::vector<std::string>& rawHeader(const std::string& name);
    // The first value rawHeader(name) gives, or `none`; makes no map entry.
    std::string firstRawHeader(const std::string& name, const std::string& none) {
        std::string value;
        return _headers.firstRaw(name, value) ? value : none;
    }
    KrServerCallback_t& peerInfo() {
        if (_sharedPeer) {
            _peerInfo = *_sharedPeer;
            _sharedPeer.reset();
        }
        return _peerInfo;
    }
    std::string& query() { return _query; }
    std::string& path() { return _path; }
    // The path the request is handled under when not path() itself: the
    // one a page context looks its handler up by, the index file a folder
    // is answered with. Empty by default.
    std::string& handlerPath() { return _handlerPath; }
    std::string& taskName() { return _taskName; }
    KrKontextReplacement_t& kontextReplacement() { return _kontextReplacement; }
    std::mutex& mutex() { return _mutex; }
    // Created empty on first use.
    KrStringBuf& body() { return _body ? *_body : _makeBody(); }
    // Hands the body to the caller (a fresh empty one when there was none);
    // the header is left without a body.
    std::unique_ptr<KrStringBuf> takeBody();

    unsigned long status() const { return _status.load(); }
    int method() const { return _method.load(); }
    int direction() const { return _direction.load(); }
    long bodyLength() const { return _bodyLength; }
    long byteCount() const { return _byteCount; }
    long port() const { return _port; }
    bool isHandled() const { return _handled; }
    bool urlFailed() const { return _urlFailed; }
    std::string& host() { return _host; }
    std::string& fileBody() { return _fileBody; }
    // The file behind fileBody(), opened when the answer was routed; the
    // server that writes the answer takes it.
    void setOpenFile(std::shared_ptr<KrFileHandle> file) { _openFile = std::move(file); }
    std::shared_ptr<KrFileHandle> takeOpenFile() { return std::move(_openFile); }
    // Written as a "Content-Type" field of an answer when not empty.
    std::string& contentType() { return _contentType; }
    std::string& location() { return _location; }
    std::string& version() { return _version; }
    std::string requestLine() const { return _requestLine; }
    const std::vector<std::string>& route() const { return _route; }

    void setDirection(int direction) { _direction.store(direction, std::memory_order_release); }
    void setTaskName(const std::string& name) { _taskName = name; }
    void setHandlerPath(const std::string& path) { _handlerPath = path; }
    void setHandled() { _handled = true; }
    void setLiftCGIHead() { _liftCGIHead = true; }
    // A program's answer whose output is still coming: its head announces no
    // length; with `chunked` the body goes in chunks (the first made of what
    // the body holds when the head is written), else until the close.
    void setStreamed(bool chunked) {
        _streamed = true;
        _streamChunked = chunked;
    }
    bool isStreamed() const { return _streamed; }
    bool liftCGIHead() const { return _liftCGIHead; }
    void markIncoming() { _incoming = true; }
    void setFileBody(const std::string& path, long length);
    long addByteCount(long n) { return _byteCount += n; }
    void addRoute(const std::string& hop) { _route.push_back(hop); }
    // A request read on a connection: its route (the connection, then the
    // server) and its task's name, in storage a finished message of the
    // same thread left behind where there is some.
    void setReadRoute(const std::string& connection, const std::string& server,
                      const std::string& task);
    void setPeerInfo(const KrServerCallback_t& info) {
        _sharedPeer.reset();
        _peerInfo = info;
    }
    // The connection's record, copied only when peerInfo() is first asked
    // for: most requests never look at it.
    void sharePeerInfo(std::shared_ptr<const KrServerCallback_t> info) {
        _sharedPeer = std::move(info);
    }

    std::string routeToken(size_t index) const;
    std::vector<std::string>& header(const std::string& name) { return _headers.values(name); }
    std::vector<std::string>& requestHeader(const std::string& name) {
        return _requestHeaders.values(name);
    }
    // In an answer: the request's values as rawHeader gives them (as sent,
    // inner blanks kept), for the access log.
    const std::vector<std::string>& rawRequestHeader(const std::string& name) {
        return _requestHeaders.raw(name);
    }
    void addHeader(const std::string& name, const std::string& value);
    bool hasStatus() const { return status() >= 100; }
    // Body bytes received (unread ones and those in the body's file)
    // against the announced length, as a KrReadResult: fewer KR_READ_MORE,
    // more KR_READ_REFUSED, equal KR_READ_COMPLETE.
    int isComplete();
    // Microseconds since creation.
    int64_t age() const;
    std::string creationTimeText() const;
    // The same text, kept by this thread until its next call.
    std::string_view creationTimeView() const;
    std::string schemeName() const;
    std::string urlText() const;
    std::string directoryOfPath() const;
    std::string fileNameOfPath() const;

    bool getParameter(const std::string& name, std::string& out) const;
    void setContent(const std::string& text);
    void setContentFrom(KrXMLComplexElement& element);
    void redirect(const std::string& location);
    void setKontextReplacement(const std::string& kontextId, KrHTMLKontextN* kontext);
    // Only codes of KrHttpStatusTexts are stored; others leave the old status.
    void setStatus(unsigned long code);

    // Query and urlencoded body pairs become blocks when one of these five
    // is first asked for; getParameter reads them without that.
    std::deque<KrHTTPMessageBlock>& blocks() {
        _makeBlocks();
        return *_blocks;
    }
    KrHTTPMessageBlockDisposition& parameters() {
        _makeBlocks();
        return _parameters;
    }
    KrHTTPMessageBlockDisposition& bodyParameters() {
        _makeBlocks();
        return _bodyParameters;
    }
    KrHTTPMessageBlockDisposition& queryParameters() {
        _makeBlocks();
        return _queryParameters;
    }
    KrHTTPMessageBlockDisposition& blocksByIndex() {
        _makeBlocks();
        return _blocksByIndex;
    }

  protected:
    bool _parseLine();

  private:
    // Just under a kilobyte: the allocator keeps chunks up to 1032 bytes in
    // its per-thread cache, and a larger one (1024 and its terminator) takes
    // the slow road, which also sweeps the allocator's small free lists.
    static constexpr size_t kBodyRoom = 1000;
    KrStringBuf& _makeBody();
    // Head pieces up to this size without a line end take the short path.
    static constexpr uint64_t kSmallPiece = 16;
    int _readHead(const std::function<bool(KrXHeader&)>& onHeadComplete);
    int _readHeadLines(const std::function<bool(KrXHeader&)>& onHeadComplete);
    // The part of the current head line consumed from body() so far.
    std::string_view _pendingLine();
    bool _parseHeadLine(std::string_view line);
    bool _parseFirstLine(std::string_view line);
    bool _parseFieldLine(std::string_view line);
    int _finishHead(const std::function<bool(KrXHeader&)>& onHeadComplete);
    int _completion();
    // Decodes the chunked body of an answer as far as its bytes have come.
    int _readChunks();
    int _refuse(unsigned long status);
    bool _checkContentLength();
    void _keepPipelined(uint64_t bodyBytes);
    // Moves the body's bytes from body() to its file; a KrReadResult.
    int _keepBodyInFile(uint64_t unread, uint64_t announced);
    int _bodyFileFailed(const char* what, const char* folder, int error);
    bool _readBodyFile();
    // The first Content-Type value; false without one.
    bool _firstContentType(std::string& type);
    void _parseTarget(std::string_view text);
    KrHTTPMessageBlock& _appendBlock();
    void _decodePairs(const char* begin, const char* end);
    void _flushPairs();
    void _makeBlocks() {
        if (!_blocksMade)
            _makeBlocksNow();
    }
    void _makeBlocksNow();
    void _indexBlocks(KrHTTPMessageBlockDisposition& also, size_t count);
    bool _findPair(const std::string& name, std::string& out) const;
    bool _parseMultipart(const std::string& boundary);
    void _writeAnswerHead(std::ostream& out);
    void _frameBodyAsChunk();
    int _parseBodyOnce();
    bool _writeRequestHead(std::ostream& out);

    std::atomic<int> _protocolKind;
    std::string _version = "1.1";
    std::unique_ptr<KrStringBuf> _body;
    bool _urlFailed = false;
    std::mutex _mutex;
    bool _headWritten = false;
    bool _openContent;
    long _byteCount = 0;
    long _bodyLength = 0;
    std::atomic<int> _method;
    bool _incoming = false;
    KrHeaderFields _headers;
    KrHeaderFields _requestHeaders;
    std::atomic<unsigned long> _status{500};
    std::atomic<int> _direction{KR_DIRECTION_NONE};
    // Made on first use: an empty deque already costs two allocations.
    std::optional<std::deque<KrHTTPMessageBlock>> _blocks;
    KrHTTPMessageBlockDisposition _parameters;
    KrHTTPMessageBlockDisposition _bodyParameters;
    KrHTTPMessageBlockDisposition _queryParameters;
    KrHTTPMessageBlockDisposition _blocksByIndex;
    // Blocks owned by the header itself, deleted with it.
    KrHTTPMessageBlockDisposition _ownedBlocks;
    std::vector<std::string> _route;
    std::string _path;
    std::string _host;
    std::string _query;
    std::string _requestLine;
    std::string _handlerPath;
    std::string _user;
    long _port = 0;
    std::string _boundary;
    std::string _fileBody;
    std::shared_ptr<KrFileHandle> _openFile;
    std::string _contentType;
    bool _liftCGIHead = false;
    bool _streamed = false;
    bool _streamChunked = false;
    int64_t _created;
    bool _handled = false;
    KrServerCallback_t _peerInfo;
    std::shared_ptr<const KrServerCallback_t> _sharedPeer;
    std::string _location;
    std::string _taskName;
    KrKontextReplacement_t _kontextReplacement;
    bool _laterAllowed = false;
    // What _parseBody found; KR_READ_MORE until a complete body was parsed.
    int _bodyParsed = KR_READ_MORE;
    LaterAnswer _later;
    DirectAnswer* _direct = nullptr;

    // Pairs of the query and of an urlencoded body, decoded, names and values
    // back to back in _pairText, until they are made blocks. Every pair is
    // indexed as a parameter as soon as it is read.
    struct Pair {
        size_t name;
        size_t nameLength;
        size_t value;
        size_t valueLength;
    };
    std::string _pairText;
    std::vector<Pair> _pairs;
    // Pair positions ordered by name, for lookups among many pairs.
    mutable std::vector<uint32_t> _pairOrder;
    // The first _queryPairs pairs come from the query.
    size_t _queryPairs = 0;
    bool _queryIndexed = false;
    bool _bodyIndexed = false;
    bool _blocksMade = false;

    // Reader state. The current head line lies in body() in front of the
    // read position, from head byte _lineStart on.
    bool _inHead = true;
    long _lineCount = 0;
    long _contentLength = 0;
    bool _hasLength = false;
    bool _closeAfter = false;
    // An HTTP/1.0 request that asked to keep the connection: its answer says so.
    bool _keepAlive = false;
    // The request line named HTTP/1.1 or later (see isHTTP11).
    bool _http11 = false;
    // Host fields of the head, empty ones too.
    unsigned _hostFields = 0;
    bool _hostRequired = false;
    bool _headOnly = false;
    unsigned long _refusal = 0;
    // A refusal known from the request line, made once the head is read.
    unsigned long _refusalAtEnd = 0;
    uint64_t _headBytes = 0;
    uint64_t _lineStart = 0;
    // Unread head bytes read() has looked at: they hold no line feed.
    uint64_t _scanned = 0;
    uint64_t _passRoom = kMaxLineLength;
    uint64_t _maxBodyLength = kDefaultMaxBodyLength;
    // A body announced larger than _filePast goes to _bodyFile, of which
    // the first _filed bytes are written.
    uint64_t _filePast = UINT64_MAX;
    uint64_t _filed = 0;
    std::shared_ptr<KrFileHandle> _bodyFile;
    std::string _pipelined;
    // An answer in chunked coding while its body is read; the decoded body
    // replaces body() once the last chunk is in.
    std::unique_ptr<KrChunkedDecoder> _chunked;

    // Outgoing requests: the carrier's connect limit, made when one is set
    // (a received message never has one).
    struct ConnectLimit {
        std::chrono::steady_clock::time_point deadline;
        std::shared_ptr<KrConnectStop> stop;
    };
    std::unique_ptr<ConnectLimit> _connectLimit;

    friend class KrXResponseHeader;
};
