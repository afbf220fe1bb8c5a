// The incremental reader: takes the head of a message from the front of the
// header's body buffer, into which the server appends every received byte.
// Each byte of the head is looked at once for a line end (twice when it came
// in a small piece: read() first looks for a line feed among such pieces); a
// line is parsed where it lies in the buffer once its end has arrived, never
// rescanned per arriving piece, and its name and value are copied once, into
// the header's field text. The body is not copied. Input from the peer is
// bounded: see the limits in KrXHeader.h.
//
// The framing is read strictly, so that no proxy in front of the server can
// read the same bytes as other messages than this reader does: a line ends
// only at CR LF. A bare LF (which some parsers take as a line end and others
// as part of the line), any other control byte but a tab, a line that
// continues the one before it, a field name with a byte outside the token
// characters, a field line without a colon, and a Content-Length that is
// empty or other than digits are refused with 400; so are, where a server
// asks for it, more than one Host and an HTTP/1.1 request without one. A
// request line is three words between single spaces: a blank before the
// method or inside a word (a front end would split the line otherwise and
// route another target) is refused with 400 too.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>
#include <utility>
#include <vector>

#include "transport/KrXHeader.h"

#include "foundation/KrFileHandle.h"
#include "transport/KrChunkedDecoder.h"
#include "transport/KrHttpText.h"

namespace {

// The method table's code for a request line's method, or -1. A handful of
// names, scanned without making a string for a map lookup.
int MethodCode(std::string_view method) {
    static const std::vector<std::pair<std::string, int>> methods(KrHttpMethods().begin(),
                                                                   KrHttpMethods().end());
    for (const auto& [name, code] : methods)
        if (name == method)
            return code;
    return -1;
}

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Eight bytes at a time: a library scan per line, value and blank costs
// more on the short lines of a head than it saves on the long ones.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

uint64_t LoadWord(const char* p) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}

// The high bit of each byte of `word` equal to the byte of `repeated`; bits
// above the lowest may be wrong, the lowest is exact.
uint64_t ByteMask(uint64_t word, uint64_t repeated) {
    const uint64_t x = word ^ repeated;
    return (x - kOnes) & ~x & kHighs;
}

// The high bit of each byte of `word` below 0x21 (blanks and control
// characters), with the same exactness as ByteMask.
uint64_t LowMask(uint64_t word) {
    return (word - 0x21 * kOnes) & ~word & kHighs;
}

bool HasBlankSlowly(const char* p, const char* end) {
    for (; p < end; ++p) {
        if (KrIsHttpBlank(*p))
            return true;
    }
    return false;
}

// Blanks are rare in names and found early in values that have them.
bool HasBlank(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    if (end - p < 8)
        return HasBlankSlowly(p, end);
    for (; end - p > 8; p += 8) {
        if (LowMask(LoadWord(p)) != 0 && HasBlankSlowly(p, p + 8))
            return true;
    }
    // The last eight bytes, overlapping what was checked.
    return LowMask(LoadWord(end - 8)) != 0 && HasBlankSlowly(end - 8, end);
}

// The first byte `c` in [from, end), or end.
template <char c>
const char* FindByte(const char* from, const char* end) {
    constexpr uint64_t repeated = kOnes * static_cast<unsigned char>(c);
    for (; end - from >= 8; from += 8) {
        const uint64_t mask = ByteMask(LoadWord(from), repeated);
        if (mask != 0)
            return from + __builtin_ctzll(mask) / 8;
    }
    for (; from < end; ++from) {
        if (*from == c)
            break;
    }
    return from;
}

// The high bit of each control byte of `word` (below 0x20, and DEL). Every
// such byte is marked; a byte above one, or above a byte 0xFF, may be marked
// too, so the lowest mark is checked before it is believed.
uint64_t ControlMask(uint64_t word) {
    return ((word - 0x20 * kOnes) | (word + kOnes)) & ~word & kHighs;
}

// The first control byte other than a tab in [from, end), or end: the CR of
// the line end, or a byte that refuses the head. One test per eight bytes,
// as a search for the line end alone would take; a tab (rare in heads) is
// part of the line.
const char* FindLineControl(const char* p, const char* end) {
    while (end - p >= 8) {
        const uint64_t mask = ControlMask(LoadWord(p));
        if (mask == 0) {
            p += 8;
            continue;
        }
        p += __builtin_ctzll(mask) / 8;
        if (KrIsHttpHeadControl(*p))
            return p;
        ++p;
    }
    for (; p < end; ++p) {
        if (KrIsHttpHeadControl(*p))
            return p;
    }
    return end;
}

bool IsTokenSlowly(const char* p, const char* end) {
    for (; p < end; ++p) {
        if (!KrIsHttpTokenChar(*p))
            return false;
    }
    return true;
}

// The high bit of each byte of `word` that is a letter, a digit or "-" (what
// field names are mostly made of). Exact up to the lowest byte of 0x80 or
// above, which is never marked; a carry from it may mark bytes above it.
uint64_t CommonNameBytes(uint64_t word) {
    const uint64_t folded = word | (0x20 * kOnes);
    const uint64_t letters =
        (folded + (0x80 - 'a') * kOnes) & ~(folded + (0x80 - 'z' - 1) * kOnes);
    const uint64_t digits = (word + (0x80 - '0') * kOnes) & ~(word + (0x80 - '9' - 1) * kOnes);
    const uint64_t dashes = word ^ ('-' * kOnes);
    return (letters | digits | ~((dashes + 0x7F * kOnes) | dashes)) & kHighs;
}

// Position of the first ":" in a field line, or its size; `badName` tells
// whether a byte before it is no token character: a blank, a control byte
// or a separator such as "(" or "@" makes a name that other parsers read as
// another field or as none ("Content-Length : 5", "Transfer-Encoding\x01").
// Eight bytes at a time, as the search for the colon alone would go; the
// rarer token characters ("_", ".", ...) are looked up one by one.
size_t FindFieldColon(std::string_view line, bool& badName) {
    const char* const begin = line.data();
    const char* const end = begin + line.size();
    const char* p = begin;
    for (; end - p >= 8; p += 8) {
        const uint64_t word = LoadWord(p);
        const uint64_t colons = ByteMask(word, kOnes * ':');
        const uint64_t odd = ~CommonNameBytes(word) & kHighs;
        if (colons != 0) {
            const size_t at = static_cast<size_t>(__builtin_ctzll(colons) / 8);
            const uint64_t before = (colons & (~colons + 1)) - 1;
            badName = (odd & before) != 0 && !IsTokenSlowly(p, p + at);
            return static_cast<size_t>(p - begin) + at;
        }
        if (odd != 0 && !IsTokenSlowly(p, p + 8)) {
            badName = true;
            return line.size();
        }
    }
    for (; p < end && *p != ':'; ++p) {
        if (!KrIsHttpTokenChar(*p))
            badName = true;
    }
    return static_cast<size_t>(p - begin);
}

uint64_t LoweredWord(uint64_t word) {
    const uint64_t low7 = word & ~kHighs;
    const uint64_t atLeastA = low7 + (0x80 - 'A') * kOnes;
    const uint64_t aboveZ = low7 + (0x80 - 'Z' - 1) * kOnes;
    return word | (((atLeastA ^ aboveZ) & ~word & kHighs) >> 2);
}

// Copies `n` bytes with ASCII letters lower-cased, eight at a time.
void CopyLowered(char* to, const char* from, size_t n) {
    if (n < 8) {
        for (size_t i = 0; i < n; ++i)
            to[i] = Lower(from[i]);
        return;
    }
    for (size_t i = 0; i + 8 < n; i += 8) {
        const uint64_t word = LoweredWord(LoadWord(from + i));
        std::memcpy(to + i, &word, 8);
    }
    // The last eight bytes, overlapping what was written.
    const uint64_t last = LoweredWord(LoadWord(from + n - 8));
    std::memcpy(to + n - 8, &last, 8);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool LooksLikeMethod(std::string_view token) {
    if (token.empty())
        return false;
    for (char c : token) {
        if (c < 'A' || c > 'Z')
            return false;
    }
    return true;
}

// A Content-Length value: decimal digits only, at most 18 of them, so the
// number fits; anything else is not a length.
bool ParseLength(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 18)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

// Calls visit(token) for each element of a comma-separated list, blanks
// around it removed; empty elements are skipped, as HTTP lists allow.
template <class Visit>
void ForEachListElement(std::string_view list, Visit&& visit) {
    while (!list.empty()) {
        const size_t comma = list.find(',');
        const std::string_view element = KrTrimHttpBlanks(list.substr(0, comma));
        if (!element.empty())
            visit(element);
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
}

// Whether a list field such as Connection names `lowerToken` as one of its
// elements, without regard to case ("Close", "keep-alive, close").
bool HasListToken(std::string_view list, std::string_view lowerToken) {
    bool found = false;
    ForEachListElement(list, [&found, lowerToken](std::string_view element) {
        found = found || KrEqualsHttpWord(element, lowerToken);
    });
    return found;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// 0 when a request's protocol is HTTP/1.x (or the system's own QUIVO/1.x);
// 505 for another major version of HTTP; 400 when it is no protocol at all.
// `http11` tells HTTP/1.1 and its later minor versions, which a server
// reads as HTTP/1.1, from HTTP/1.0.
unsigned long ProtocolRefusal(std::string_view protocol, bool& http11) {
    while (!protocol.empty() && protocol.front() == ' ')
        protocol.remove_prefix(1);
    std::string_view version;
    if (StartsWith(protocol, "HTTP/"))
        version = protocol.substr(5);
    else if (StartsWith(protocol, "QUIVO/"))
        version = protocol.substr(6);
    else
        return 400;
    if (version.size() != 3 || !IsDigit(version[0]) || version[1] != '.' || !IsDigit(version[2]))
        return 400;
    http11 = protocol[0] == 'H' && version[0] == '1' && version[2] != '0';
    return version[0] == '1' ? 0 : 505;
}

bool IsSchemeCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '+' || c == '-' ||
           c == '.';
}

// In an absolute-form target ("http://host:8000/a?b"), the position where
// the authority ends and the path (or the query) begins; 0 when the target
// is in another form. SIZE_MAX when the authority is empty.
size_t AbsoluteFormPath(std::string_view target) {
    if (target.empty() ||
        !((target[0] >= 'a' && target[0] <= 'z') || (target[0] >= 'A' && target[0] <= 'Z')))
        return 0;
    size_t at = 1;
    while (at < target.size() && IsSchemeCharacter(target[at]))
        ++at;
    if (target.substr(at, 3) != "://")
        return 0;
    at += 3;
    const size_t authority = at;
    while (at < target.size() && target[at] != '/' && target[at] != '?' && target[at] != '#')
        ++at;
    return at == authority ? SIZE_MAX : at;
}

// Room for a browser's head, so the field text is allocated once.
constexpr size_t kTypicalHead = 1024;
constexpr size_t kTypicalFields = 24;

}  // namespace

bool KrXHeader::expectsContinue() {
    // An HTTP/1.0 client may not know the interim answer: its expectation
    // is ignored.
    if (!_http11)
        return false;
    bool expects = false;
    _headers.visit("expect", [&expects](std::string_view value) {
        expects = KrEqualsHttpWord(value, "100-continue");
        return !expects;
    });
    return expects;
}

int KrXHeader::_refuse(unsigned long status) {
    _refusal = status;
    _inHead = false;
    _passRoom = 0;
    // The peer's framing can no longer be trusted: answer and close.
    _closeAfter = true;
    return KR_READ_REFUSED;
}

std::string_view KrXHeader::_pendingLine() {
    const uint64_t pending = _headBytes - _lineStart;
    if (pending == 0 || !_body)
        return {};
    // Only the reader moves the read position while the head is read; a
    // buffer that was replaced under it no longer holds the line.
    const char* const at = _body->Begin();
    if (static_cast<uint64_t>(at - _body->At(0)) < pending)
        return {};
    return std::string_view(at - pending, pending);
}

// Kept out of line, so the small-piece path in read() stays cheap to enter.
__attribute__((noinline)) int KrXHeader::_readHead(
    const std::function<bool(KrXHeader&)>& onHeadComplete) {
    // The bytes read() only looked at are still unread and are read again
    // here from the read position.
    _scanned = 0;
    const int result = _readHeadLines(onHeadComplete);
    _passRoom = 0;
    if (_inHead && _refusal == 0) {
        // Unread bytes beyond this would make the pending line or the head
        // too long; _readHeadLines refuses them with the right status.
        const uint64_t pending = _headBytes - _lineStart;
        _passRoom = std::min(kMaxLineLength - pending, kMaxHeadLength - _headBytes);
    }
    return result;
}

int KrXHeader::_readHeadLines(const std::function<bool(KrXHeader&)>& onHeadComplete) {
    if (_refusal != 0)
        return KR_READ_REFUSED;
    if (!_inHead)
        return _completion();
    KrStringBuf& in = body();
    while (_inHead) {
        const uint64_t available = in.Length();
        if (available == 0)
            return KR_READ_MORE;
        const char* const start = in.Begin();
        const char* const end = start + available;
        const char* const stop = FindLineControl(start, end);
        // The limits first: bytes that came in pieces meet them before the
        // byte that ends or breaks the line has arrived.
        const size_t length = static_cast<size_t>(stop - start);
        const uint64_t pending = _headBytes - _lineStart;
        if (pending + length > kMaxLineLength)
            return _refuse(_lineCount == 0 ? 400 : 431);
        if (_headBytes + length > kMaxHeadLength)
            return _refuse(431);
        // The bytes of the line end (CR LF); 0 while the line goes on.
        size_t ending = 0;
        if (stop != end) {
            if (*stop != '\r')
                return _refuse(400);  // a bare LF, a NUL or another control byte
            if (stop + 1 != end) {
                if (stop[1] != '\n')
                    return _refuse(400);  // a CR that ends no line
                ending = 2;
            }
        }
        if (_headBytes + length + ending > kMaxHeadLength)
            return _refuse(431);
        // Without a whole line, pass over the bytes; a final CR stays unread
        // until the byte behind it shows whether it ends the line.
        if (ending == 0) {
            _headBytes += length;
            in.gbump(static_cast<int>(length));
            return KR_READ_MORE;
        }
        std::string_view line(start, length);
        if (pending != 0) {
            const std::string_view begun = _pendingLine();
            if (begun.size() != pending)
                return _refuse(400);
            line = std::string_view(begun.data(), pending + length);
        }
        _headBytes += length + ending;
        _lineStart = _headBytes;
        in.gbump(static_cast<int>(length + ending));
        if (line.empty() && _lineCount == 0) {
            // Empty lines before a request line are skipped, as HTTP asks; a
            // client may send one behind a body.
            continue;
        }
        if (line.empty()) {
            const int result = _finishHead(onHeadComplete);
            if (result != KR_READ_COMPLETE)
                return result;
        } else {
            _inHead = _parseHeadLine(line);
            if (_refusal != 0)
                return KR_READ_REFUSED;
        }
    }
    return _completion();
}

int KrXHeader::_finishHead(const std::function<bool(KrXHeader&)>& onHeadComplete) {
    _inHead = false;
    if (_refusalAtEnd != 0)
        return _refuse(_refusalAtEnd);
    // Which host a request is for must be plain to every reader of it.
    if (_hostRequired && direction() == KR_DIRECTION_REQUEST &&
        (_hostFields > 1 || (_hostFields == 0 && _http11)))
        return _refuse(400);
    // Framing follows the fields as they were sent: blanks inside a value
    // are not dropped here ("clo se" is no "close", "1 0" no length).
    _headers.visitSent("connection", [this](std::string_view value) {
        if (HasListToken(value, "close"))
            _closeAfter = true;
        return true;
    });
    // HTTP/1.0 closes after each answer unless the request asks otherwise.
    if (direction() == KR_DIRECTION_REQUEST && !_closeAfter) {
        size_t token = 0;
        bool http10 = false;
        _headers.visit(":first:", [&token, &http10](std::string_view value) {
            http10 = token++ == 2 && value == "HTTP/1.0";
            return token < 3;
        });
        if (http10) {
            bool keepAlive = false;
            _headers.visitSent("connection", [&keepAlive](std::string_view value) {
                keepAlive = HasListToken(value, "keep-alive");
                return !keepAlive;
            });
            _keepAlive = keepAlive;
            _closeAfter = !keepAlive;
        }
    }
    // The last transfer coding frames the body.
    bool hasCoding = false;
    std::string_view lastCoding;
    _headers.visitSent("transfer-encoding", [&hasCoding, &lastCoding](std::string_view value) {
        hasCoding = true;
        ForEachListElement(value, [&lastCoding](std::string_view coding) { lastCoding = coding; });
        return true;
    });
    if (hasCoding) {
        // Requests in chunked coding are not read; refusing every transfer
        // coding also rules out a request framed two ways at once. An answer
        // in chunked coding is read (a server may always send one), and its
        // Content-Length, if any, does not count.
        if (direction() == KR_DIRECTION_REQUEST || !KrEqualsHttpWord(lastCoding, "chunked"))
            return _refuse(501);
        _chunked = std::make_unique<KrChunkedDecoder>(_maxBodyLength);
    } else if (!_checkContentLength()) {
        return KR_READ_REFUSED;
    }
    return onHeadComplete(*this) ? KR_READ_COMPLETE : KR_READ_REFUSED;
}

bool KrXHeader::_checkContentLength() {
    size_t count = 0;
    bool bad = false;
    uint64_t first = 0;
    _headers.visitSent("content-length", [&count, &bad, &first](std::string_view text) {
        uint64_t value = 0;
        // Repeated fields must agree, or the body's end is ambiguous.
        if (!ParseLength(text, value) || (count != 0 && value != first)) {
            bad = true;
            return false;
        }
        first = value;
        ++count;
        return true;
    });
    if (bad) {
        _refuse(400);
        return false;
    }
    if (count == 0)
        return true;
    _hasLength = true;
    if (first > _maxBodyLength) {
        _refuse(413);
        return false;
    }
    _contentLength = static_cast<long>(first);
    return true;
}

int KrXHeader::_completion() {
    const uint64_t unread = _body ? _body->Length() : 0;
    const uint64_t announced = static_cast<uint64_t>(_contentLength);
    if (!_hasLength && direction() != KR_DIRECTION_REQUEST) {
        // A chunked answer has no length until its last chunk is in.
        if (_chunked)
            return _readChunks();
        return KR_READ_COMPLETE;  // an answer without a length runs to the connection's end
    }
    if (announced > _filePast)
        return _keepBodyInFile(unread, announced);
    if (unread < announced)
        return KR_READ_MORE;
    if (unread > announced)
        _keepPipelined(announced);
    return KR_READ_COMPLETE;
}

int KrXHeader::_keepBodyInFile(uint64_t unread, uint64_t announced) {
    const char* folder = std::getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0')
        folder = "/tmp";
    if (!_bodyFile) {
        // Made as soon as the head is read: a client told at once that the
        // body cannot be kept has not sent it in vain.
        int error = 0;
        KrFileHandle file = KrFileHandle::openTemporary(folder, error);
        if (!file.isOpen())
            return _bodyFileFailed("cannot be made", folder, error);
        _bodyFile = std::make_shared<KrFileHandle>(std::move(file));
    }
    const uint64_t missing = announced - _filed;
    const uint64_t body = std::min(unread, missing);
    // Each piece goes to the file as it comes, from the first: a body too
    // large for memory keeps none of it there, however slowly it comes.
    if (body != 0) {
        if (!_bodyFile->writeAll(_body->Begin(), static_cast<size_t>(body)))
            return _bodyFileFailed("cannot be written", folder, errno);
        _filed += body;
        _body->gbump(static_cast<int>(body));
    }
    if (_filed == announced) {
        // What is left starts the next request; the body has no byte here.
        if (_body)
            _keepPipelined(0);
        return KR_READ_COMPLETE;
    }
    // All that came is in the file: its room is freed too, so a connection
    // that waits for the rest holds nothing of it meanwhile.
    _body->Reset();
    return KR_READ_MORE;
}

int KrXHeader::_bodyFileFailed(const char* what, const char* folder, int error) {
    _bodyFile.reset();
    _filed = 0;
    std::cerr << "request \"" << logRequestLine() << "\": the temporary file for its body of "
              << _contentLength << " bytes " << what << " in " << folder << " ("
              << std::strerror(error) << "): answered 503" << std::endl;
    return _refuse(503);
}

int KrXHeader::_readChunks() {
    const char* const data = _body ? _body->Begin() : nullptr;
    const size_t unread = _body ? static_cast<size_t>(_body->Length()) : 0;
    size_t used = 0;
    const KrChunkedResult result = _chunked->feed(data, unread, used);
    if (result == KR_CHUNKS_BAD)
        return _refuse(400);
    if (result == KR_CHUNKS_TOO_LARGE)
        return _refuse(413);
    if (result == KR_CHUNKS_MORE) {
        // The decoder keeps what it took: only the bytes behind stay, so the
        // raw chunks do not pile up in front of the read position.
        auto rest = std::make_unique<KrStringBuf>();
        rest->Append(data + used, unread - used);
        _body = std::move(rest);
        return KR_READ_MORE;
    }
    _pipelined.append(data + used, unread - used);
    _body = _chunked->takeOutput();
    _contentLength = static_cast<long>(_chunked->decodedLength());
    _hasLength = true;
    _chunked.reset();
    return KR_READ_COMPLETE;
}

void KrXHeader::_keepPipelined(uint64_t bodyBytes) {
    // The bytes behind the body start the next request on the connection.
    const uint64_t unread = _body->Length();
    _pipelined.append(_body->Begin() + bodyBytes, static_cast<size_t>(unread - bodyBytes));
    auto exact = std::make_unique<KrStringBuf>();
    if (bodyBytes != 0)
        exact->sputn(_body->Begin(), static_cast<std::streamsize>(bodyBytes));
    _body = std::move(exact);
}

std::string KrXHeader::takePipelined() {
    return std::exchange(_pipelined, {});
}

bool KrXHeader::_parseLine() {
    return _parseHeadLine(_pendingLine());
}

bool KrXHeader::_parseHeadLine(std::string_view line) {
    return _lineCount == 0 ? _parseFirstLine(line) : _parseFieldLine(line);
}

bool KrXHeader::_parseFirstLine(std::string_view line) {
    // Release stores: the fields are read lock-free elsewhere, and nothing
    // else is published through them (a locked store would cost a bus lock
    // per request).
    _direction.store(KR_DIRECTION_NONE, std::memory_order_release);
    KrHeaderFields::Store& store = _headers.writableStore();
    KrHeaderFields::Store::Text& text = store.text;
    text.reserve(kTypicalHead);
    if (store.entries.capacity() < kTypicalFields)
        store.entries.reserve(kTypicalFields);
    // The tokens are never longer than the line.
    const size_t nameAt = text.size();
    char* const base = text.extend(7 + line.size()) - nameAt;
    std::memcpy(base + nameAt, ":first:", 7);
    size_t out = nameAt + 7;
    size_t begins[3];
    size_t ends[3];
    size_t count = 0;
    const size_t size = line.size();
    size_t at = 0;
    bool methodEnded = false;
    // A request line is three words between single spaces: a blank elsewhere
    // (other control bytes never get this far) clears this, and the line is
    // refused below. An answer's status line has blanks in its reason.
    bool plain = size > 0 && line[0] != ' ';

    while (at < size && line[at] == ' ')
        ++at;
    begins[0] = out;
    while (at < size && line[at] != ' ') {
        const char c = line[at++];
        if (!KrIsHttpBlank(c) && c != '\v' && c != '\f' && c != '\r')
            base[out++] = Upper(c);
        else
            plain = false;
    }
    ends[0] = out;
    const std::string_view method(base + begins[0], ends[0] - begins[0]);
    if (at < size && !method.empty()) {
        methodEnded = true;
        const int known = MethodCode(method);
        if (known >= 0) {
            _method.store(known, std::memory_order_release);
            _direction.store(KR_DIRECTION_REQUEST, std::memory_order_release);
        } else if (StartsWith(method, "HTTP/") || StartsWith(method, "QUIVO/")) {
            _direction.store(KR_DIRECTION_ANSWER, std::memory_order_release);
        }
    }
    if (at < size)
        ++at;  // the space that ended the token
    if (ends[0] != begins[0])
        ++count;

    if (at < size && line[at] == ' ')
        plain = false;
    while (at < size && line[at] == ' ')
        ++at;
    begins[count] = out;
    {
        const char* const from = line.data() + at;
        const char* const to = FindByte<' '>(from, line.data() + size);
        const std::string_view target(from, static_cast<size_t>(to - from));
        if (target.find('\t') == std::string_view::npos) {
            std::memcpy(base + out, target.data(), target.size());
            out += target.size();
        } else {
            plain = false;
            for (char c : target) {
                if (c != '\t')
                    base[out++] = c;
            }
        }
        at += target.size();
    }
    if (at < size)
        ++at;
    ends[count] = out;
    if (ends[count] != begins[count])
        ++count;

    begins[count] = out;
    for (; at < size; ++at) {
        const char c = line[at];
        plain = plain && !KrIsHttpBlank(c);
        base[out++] = Upper(c);
    }
    ends[count] = out;
    // Fewer than three words: refused below all the same (no version).
    plain = plain && count == 2 && ends[2] != begins[2];
    if (ends[count] != begins[count])
        ++count;
    text.truncate(out);

    // An absolute-form target ("GET http://host:8000/a.txt HTTP/1.1", as a
    // proxy sends it and HTTP/1.1 servers must take) is served by its path:
    // the token keeps the path and query alone, for every reader of it.
    bool noAuthority = false;
    if (_direction.load() == KR_DIRECTION_REQUEST && count >= 2) {
        const size_t path =
            AbsoluteFormPath(std::string_view(base + begins[1], ends[1] - begins[1]));
        if (path == SIZE_MAX) {
            noAuthority = true;
        } else if (path != 0) {
            begins[1] += path;
            if (begins[1] == ends[1] || base[begins[1]] != '/') {
                // The authority's last byte makes room for the path's "/".
                base[--begins[1]] = '/';
            }
        }
    }

    for (size_t i = 0; i < count; ++i) {
        store.add({static_cast<uint32_t>(nameAt), 7, static_cast<uint32_t>(begins[i]),
                   static_cast<uint32_t>(ends[i] - begins[i]), false, false});
        _headers.entryAdded();
    }
    const auto token = [&text, &begins, &ends](size_t i) {
        return std::string_view(text).substr(begins[i], ends[i] - begins[i]);
    };
    if (count >= 2)
        _parseTarget(token(1));
    ++_lineCount;

    const int direction = _direction.load();
    if (direction != KR_DIRECTION_ANSWER && !plain) {
        _refuse(400);
        return false;
    }
    if (direction == KR_DIRECTION_NONE) {
        // Not a request and not an answer. A well-formed request line with a
        // method this server does not know is told apart from garbage.
        // Its head is still read, framed as any other, so that the refusal
        // is logged with what the client sent (its user agent).
        const bool unknownMethod =
            methodEnded && count == 3 && LooksLikeMethod(token(0)) &&
            (StartsWith(token(2), "HTTP/") || StartsWith(token(2), "QUIVO/"));
        if (unknownMethod) {
            _refusalAtEnd = 501;
            return true;
        }
        _refuse(400);
        return false;
    }
    if (direction == KR_DIRECTION_REQUEST) {
        const int m = _method.load();
        if (m != KR_HTTP_GET && m != KR_HTTP_POST && m != KR_HTTP_HEAD) {
            // "NONE" and "ANSWER" name internal message kinds, not requests.
            _refusalAtEnd = 501;
        }
        if (noAuthority) {
            _refuse(400);
            return false;
        }
        // Only HTTP/1.x is read as HTTP/1.x: another version's framing may
        // differ, and a line that names no protocol is no request (an
        // HTTP/0.9 client would wait for an answer without a head).
        const unsigned long protocolRefusal = count == 3 ? ProtocolRefusal(token(2), _http11) : 400;
        if (protocolRefusal != 0) {
            _refuse(protocolRefusal);
            return false;
        }
    }
    return true;
}

bool KrXHeader::_parseFieldLine(std::string_view line) {
    // A line that begins with a blank continues the one before it (obsolete
    // line folding); a line without a colon, and a name that is no token
    // (empty, or with a blank, a control byte or a separator in it), are
    // read by other parsers as another field or as none: "Content-Length :
    // 5" would frame the body for this reader alone. Such lines are
    // refused, not repaired or skipped.
    bool badName = false;
    const size_t colon = FindFieldColon(line, badName);
    if (colon == line.size() || colon == 0 || badName) {
        _refuse(400);
        return false;
    }
    ++_lineCount;
    if (static_cast<size_t>(_lineCount - 1) > kMaxFieldCount) {
        _refuse(431);
        return false;
    }

    // The map's value has every blank removed (and ":" characters in front);
    // the raw value, kept for CGI, has inner blanks (an Authorization value
    // needs its blank). The text keeps the raw value; the map's is made from
    // it when asked for.
    size_t rawBegin = colon + 1;
    while (rawBegin < line.size() && KrIsHttpBlank(line[rawBegin]))
        ++rawBegin;
    size_t rawEnd = line.size();
    while (rawEnd > rawBegin && KrIsHttpBlank(line[rawEnd - 1]))
        --rawEnd;
    const std::string_view raw = line.substr(rawBegin, rawEnd - rawBegin);
    // Host is counted also when empty (a request whose target has no
    // authority sends it so); one that is stored nowhere still counts.
    if (colon == 4 && KrEqualsHttpWord(line.substr(0, 4), "host"))
        ++_hostFields;
    const bool innerBlanks = !raw.empty() && HasBlank(raw);
    const bool needsCleaning = innerBlanks || (!raw.empty() && raw.front() == ':');
    if (raw.empty() ||
        (needsCleaning && raw.find_first_not_of(" \t:") == std::string_view::npos)) {
        // Nothing is stored; an empty Content-Length would read as no
        // length at all, and the body as the next request.
        if (colon == 14 && KrEqualsHttpWord(line.substr(0, 14), "content-length")) {
            _refuse(400);
            return false;
        }
        return true;
    }

    KrHeaderFields::Store& store = _headers.writableStore();
    KrHeaderFields::Store::Text& text = store.text;
    const size_t nameAt = text.size();
    const size_t nameLength = colon;
    char* const name = text.extend(nameLength + raw.size());
    CopyLowered(name, line.data(), nameLength);
    std::memcpy(name + nameLength, raw.data(), raw.size());
    const size_t valueAt = nameAt + nameLength;
    text.truncate(valueAt + raw.size());
    store.add({static_cast<uint32_t>(nameAt), static_cast<uint32_t>(nameLength),
               static_cast<uint32_t>(valueAt), static_cast<uint32_t>(raw.size()), needsCleaning,
               innerBlanks});
    _headers.entryAdded();
    return true;
}
