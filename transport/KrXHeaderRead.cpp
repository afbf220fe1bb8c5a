// The incremental reader: takes the head of a message from the front of the
// header's body buffer, into which the server appends every received byte.
// Each byte of the head is looked at once and copied once (into the line
// buffer); the body is not copied. Input from the peer is bounded: see the
// limits in KrXHeader.h.

#include <cstring>
#include <string_view>

#include "transport/KrXHeader.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// memchr costs more than a plain loop on the few bytes that arrive when a
// peer sends in small pieces.
const char* FindCR(const char* from, const char* end) {
    if (end - from < 32) {
        for (; from < end; ++from) {
            if (*from == '\r')
                return from;
        }
        return nullptr;
    }
    return static_cast<const char*>(std::memchr(from, '\r', static_cast<size_t>(end - from)));
}

// Two vectorised scans cost less than one byte-by-byte pass over the long
// values browsers send (agent, accept lists).
bool HasBlank(std::string_view text) {
    return std::memchr(text.data(), ' ', text.size()) != nullptr ||
           std::memchr(text.data(), '\t', text.size()) != nullptr;
}

bool OnlyBlanks(std::string_view text) {
    for (char c : text) {
        if (!IsBlank(c))
            return false;
    }
    return true;
}

bool StartsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool LooksLikeMethod(const std::string& token) {
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
bool ParseLength(const std::string& text, uint64_t& value) {
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

}  // namespace

bool KrXHeader::expectsContinue() {
    auto expect = _headers.find("expect");
    if (expect == _headers.end())
        return false;
    for (const std::string& value : expect->second) {
        std::string lower(value);
        for (char& c : lower)
            c = Lower(c);
        if (lower == "100-continue")
            return true;
    }
    return false;
}

int KrXHeader::_refuse(unsigned long status) {
    _refusal = status;
    _inHead = false;
    // The peer's framing can no longer be trusted: answer and close.
    _closeAfter = true;
    return 1;
}

int KrXHeader::read(const std::function<bool(KrXHeader&)>& onHeadComplete) {
    // A peer that sends in small pieces brings a few bytes of a head line per
    // call: they are only collected, without the work of the full reader.
    if (_inHead && _refusal == 0 && _body) {
        const uint64_t available = _body->Length();
        if (available == 0)
            return 0;
        const char* const start = _body->Begin();
        if (available <= 16 && FindCR(start, start + available) == nullptr &&
            _lineBuffer.size() + available <= kMaxLineLength &&
            _headBytes + available <= kMaxHeadLength) {
            _headBytes += available;
            _lineBuffer.append(start, available);
            _body->gbump(static_cast<int>(available));
            return 0;
        }
    }
    return _readHead(onHeadComplete);
}

// Kept out of line, so the small-piece path above stays cheap to enter.
__attribute__((noinline)) int KrXHeader::_readHead(
    const std::function<bool(KrXHeader&)>& onHeadComplete) {
    if (_refusal != 0)
        return 1;
    if (!_inHead)
        return _completion();
    KrStringBuf& in = body();
    while (_inHead) {
        const uint64_t available = in.Length();
        if (available == 0)
            return 0;
        const char* const start = in.Begin();
        const char* const end = start + available;
        const char* cr = start;
        for (;;) {
            cr = FindCR(cr, end);
            if (cr == nullptr || cr + 1 == end || cr[1] == '\n')
                break;
            ++cr;  // a lone CR belongs to the line
        }
        // Without a whole line, keep the bytes; a final CR stays unread until
        // the byte behind it shows whether it ends the line.
        const bool whole = cr != nullptr && cr + 1 != end;
        const char* const lineEnd = cr != nullptr ? cr : end;
        const size_t length = static_cast<size_t>(lineEnd - start);
        if (_lineBuffer.size() + length > kMaxLineLength)
            return _refuse(_lineCount == 0 ? 400 : 431);
        _headBytes += length + (whole ? 2 : 0);
        if (_headBytes > kMaxHeadLength)
            return _refuse(431);
        in.gbump(static_cast<int>(length + (whole ? 2 : 0)));
        if (!whole) {
            _lineBuffer.append(start, length);
            return 0;
        }
        // A line that arrived whole is parsed where it lies; only a line
        // split between arrivals is collected in the line buffer.
        std::string_view line(start, length);
        if (!_lineBuffer.empty()) {
            _lineBuffer.append(start, length);
            line = _lineBuffer;
        }
        if (line.empty() && _lineCount == 0) {
            // Empty lines before a request line are skipped, as HTTP asks; a
            // client may send one behind a body.
            continue;
        }
        if (line.empty()) {
            const int result = _finishHead(onHeadComplete);
            if (result != 2)
                return result;
        } else {
            _inHead = _lineBuffer.empty() ? _parseHeadLine(line) : _parseLine();
            if (_refusal != 0)
                return 1;
        }
        _lineBuffer.clear();
    }
    return _completion();
}

int KrXHeader::_finishHead(const std::function<bool(KrXHeader&)>& onHeadComplete) {
    _inHead = false;
    _lineBuffer.clear();
    _lineBuffer.shrink_to_fit();
    auto connection = _headers.find("connection");
    if (connection != _headers.end() && !connection->second.empty() &&
        connection->second.front().find("close") != std::string::npos) {
        _closeAfter = true;
    }
    // HTTP/1.0 closes after each answer unless the request asks otherwise.
    auto first = _headers.find(":first:");
    if (direction() == 2 && first != _headers.end() && first->second.size() >= 3 &&
        first->second[2] == "HTTP/1.0" && !_closeAfter) {
        bool keepAlive = false;
        if (connection != _headers.end()) {
            for (const std::string& value : connection->second) {
                std::string lower(value);
                for (char& c : lower)
                    c = Lower(c);
                keepAlive = keepAlive || lower.find("keep-alive") != std::string::npos;
            }
        }
        _keepAlive = keepAlive;
        _closeAfter = !keepAlive;
    }
    // Chunked bodies are not read; refusing every transfer coding also rules
    // out a request framed two ways at once.
    if (_headers.count("transfer-encoding") != 0)
        return _refuse(501);
    if (!_checkContentLength())
        return 1;
    if (!onHeadComplete(*this))
        return 1;
    return 2;
}

bool KrXHeader::_checkContentLength() {
    auto lengths = _headers.find("content-length");
    if (lengths == _headers.end() || lengths->second.empty())
        return true;
    _hasLength = true;
    uint64_t first = 0;
    for (const std::string& text : lengths->second) {
        uint64_t value = 0;
        // Repeated fields must agree, or the body's end is ambiguous.
        if (!ParseLength(text, value) || (&text != &lengths->second.front() && value != first)) {
            _refuse(400);
            return false;
        }
        first = value;
    }
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
    if (!_hasLength && direction() != 2)
        return 2;  // an answer without a length runs to the connection's end
    if (unread < announced)
        return 0;
    if (unread > announced)
        _keepPipelined(announced);
    return 2;
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
    std::string bytes;
    bytes.swap(_pipelined);
    return bytes;
}

bool KrXHeader::_parseLine() {
    return _parseHeadLine(_lineBuffer);
}

bool KrXHeader::_parseHeadLine(std::string_view line) {
    if (_lineCount == 0)
        return _parseFirstLine(line);
    return _parseFieldLine(line);
}

bool KrXHeader::_parseFirstLine(std::string_view line) {
    _direction.store(0);
    const size_t size = line.size();
    size_t at = 0;
    std::string tokens[3];
    size_t count = 0;
    bool methodEnded = false;

    while (at < size && line[at] == ' ')
        ++at;
    std::string& first = tokens[0];
    while (at < size && line[at] != ' ') {
        const char c = line[at++];
        if (!IsBlank(c) && c != '\v' && c != '\f' && c != '\r')
            first.push_back(Upper(c));
    }
    if (at < size && !first.empty()) {
        methodEnded = true;
        auto method = KrHttpMethods().find(first);
        if (method != KrHttpMethods().end()) {
            _method.store(method->second);
            _direction.store(2);
        } else if (StartsWith(first, "HTTP/") || StartsWith(first, "QUIVO/")) {
            _direction.store(1);
        }
    }
    if (at < size)
        ++at;  // the space that ended the token
    if (!first.empty())
        ++count;

    while (at < size && line[at] == ' ')
        ++at;
    std::string& second = tokens[count];
    while (at < size && line[at] != ' ') {
        const char c = line[at++];
        if (c != '\t')
            second.push_back(c);
    }
    if (at < size)
        ++at;
    if (!second.empty())
        ++count;

    std::string& third = tokens[count];
    for (; at < size; ++at)
        third.push_back(Upper(line[at]));
    if (!third.empty())
        ++count;

    const bool unknownMethod = methodEnded && count == 3 && LooksLikeMethod(tokens[0]) &&
                               (StartsWith(tokens[2], "HTTP/") || StartsWith(tokens[2], "QUIVO/"));
    std::vector<std::string>& stored = _headers[":first:"];
    stored.reserve(count);
    for (size_t i = 0; i < count; ++i)
        stored.push_back(std::move(tokens[i]));
    if (count >= 2)
        _parseURL(stored[1]);
    ++_lineCount;

    const int direction = _direction.load();
    if (direction == 0) {
        // Not a request and not an answer. A well-formed request line with a
        // method this server does not know is told apart from garbage.
        _refuse(unknownMethod ? 501 : 400);
        return false;
    }
    if (direction == 2) {
        const int method = _method.load();
        if (method != KR_HTTP_GET && method != KR_HTTP_POST && method != KR_HTTP_HEAD) {
            // "NONE" and "ANSWER" name internal message kinds, not requests.
            _refuse(501);
            return false;
        }
    }
    return true;
}

bool KrXHeader::_parseFieldLine(std::string_view line) {
    // The name ends at the first ":" behind a name character; a ":" before
    // any name character is dropped.
    size_t nameStart = 0;
    size_t colon = 0;
    for (;;) {
        colon = line.find(':', nameStart);
        if (colon == std::string_view::npos)
            return true;  // no colon: not a field
        if (!OnlyBlanks(line.substr(nameStart, colon - nameStart)))
            break;
        nameStart = colon + 1;
    }
    // Written through a pointer: push_back's capacity checks cost more than
    // the characters themselves.
    std::string name(colon - nameStart, '\0');
    char* out = name.data();
    for (size_t i = nameStart; i < colon; ++i) {
        if (!IsBlank(line[i]))
            *out++ = Lower(line[i]);
    }
    name.resize(static_cast<size_t>(out - name.data()));
    ++_lineCount;
    if (static_cast<size_t>(_lineCount - 1) > kMaxFieldCount) {
        _refuse(431);
        return false;
    }

    // The lookup value has every blank removed; the raw value keeps inner
    // blanks (an Authorization value needs its blank) for CGI.
    size_t rawBegin = colon + 1;
    while (rawBegin < line.size() && IsBlank(line[rawBegin]))
        ++rawBegin;
    size_t rawEnd = line.size();
    while (rawEnd > rawBegin && IsBlank(line[rawEnd - 1]))
        --rawEnd;
    const std::string_view raw = line.substr(rawBegin, rawEnd - rawBegin);
    const bool innerBlanks = HasBlank(raw);
    std::string value;
    if (!innerBlanks && (raw.empty() || raw.front() != ':')) {
        value.assign(raw);
    } else {
        value.resize(raw.size());
        char* const first = value.data();
        char* to = first;
        for (char c : raw) {
            if (IsBlank(c) || (c == ':' && to == first))
                continue;
            *to++ = c;
        }
        value.resize(static_cast<size_t>(to - first));
    }
    if (value.empty())
        return true;
    auto field = _headers.try_emplace(std::move(name)).first;
    field->second.push_back(std::move(value));
    auto rawField = _rawHeaders.find(field->first);
    if (innerBlanks || rawField != _rawHeaders.end()) {
        if (rawField == _rawHeaders.end()) {
            // The earlier values had no blanks: their raw form is the stored one.
            rawField = _rawHeaders.try_emplace(field->first).first;
            rawField->second.assign(field->second.begin(), field->second.end() - 1);
        }
        rawField->second.emplace_back(raw);
    }
    return true;
}
