// The outgoing side of the wire format: answers made for requests and the
// heads of answers and requests.

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "transport/KrCGIHead.h"
#include "transport/KrHttpText.h"
#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"

namespace {

const char* const kServerName = "brinolt/1.28.1(96)";

// A line break in a field's value (a redirect target, a type) would end
// the field and let the text behind it forge header lines.
void AppendWithoutLineBreaks(std::string& out, std::string_view text) {
    // A value without a line break (every well-formed one) goes in whole.
    if (std::memchr(text.data(), '\n', text.size()) == nullptr &&
        std::memchr(text.data(), '\r', text.size()) == nullptr) {
        out.append(text);
        return;
    }
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        out.append(text, start, i - start);
        start = i + 1;
    }
    out.append(text, start, std::string_view::npos);
}

std::string WithoutLineBreaks(std::string_view text) {
    std::string out;
    AppendWithoutLineBreaks(out, text);
    return out;
}

// Status line and server name, the start of every answer head.
void AppendHeadStart(std::string& head, const std::string& version, unsigned long code,
                     std::string_view reason) {
    head += "HTTP/";
    head += version;
    head += ' ';
    KrAppendDecimal(head, code);
    head += ' ';
    head += reason;
    head += "\r\nServer: ";
    head += kServerName;
    head += "\r\n";
}

void AppendContentType(std::string& head, std::string_view type) {
    if (type.empty())
        return;
    head += "Content-Type: ";
    AppendWithoutLineBreaks(head, type);
    head += "\r\n";
}

void AppendConnection(std::string& head, bool close, bool keepAlive) {
    if (close)
        head += "Connection: close\r\n";
    else if (keepAlive)
        head += "Connection: keep-alive\r\n";
}

// What an answer's head says beyond its status line.
struct HeadFields {
    enum Framing { kNone, kLength, kChunked } framing = kLength;
    uint64_t length = 0;
    const std::string* location = nullptr;  // no Location field when null
    std::string_view type;                   // no Content-Type field when empty
    bool close = false;
    bool keepAlive = false;
    std::string_view programFields;  // a CGI program's own, as it wrote them
};

// The one writer of answer heads: an answer object's and the one a kept file
// sends straight to the connection are written here alike.
void AppendAnswerHead(std::string& head, const std::string& version, unsigned long code,
                      std::string_view reason, const HeadFields& fields) {
    AppendHeadStart(head, version, code, reason);
    if (fields.framing == HeadFields::kChunked) {
        head += "Transfer-Encoding: chunked\r\n";
    } else if (fields.framing == HeadFields::kLength) {
        head += "Content-Length: ";
        KrAppendDecimal(head, static_cast<unsigned long>(fields.length));
        head += "\r\n";
    }
    if (fields.location != nullptr) {
        head += "Location: ";
        AppendWithoutLineBreaks(head, *fields.location);
        head += "\r\n";
    }
    AppendContentType(head, fields.type);
    AppendConnection(head, fields.close, fields.keepAlive);
    head += fields.programFields;
    head += "\r\n";
}

}  // namespace

KrXResponseHeader* KrXHeader::makeResponse() {
    auto* answer = new KrXResponseHeader(KR_HTTP_ANSWER, false, protocolKind());
    answer->setDirection(KR_DIRECTION_ANSWER);
    answer->_created = _created;
    answer->_path = _path;
    answer->_requestLine = logRequestLine();
    // Shares the field text; only entries already made are copied.
    answer->_requestHeaders = _headers;
    answer->_route.assign(_route.rbegin(), _route.rend());
    // The answer says when the connection will close, and to a HEAD request
    // it carries the head only.
    answer->_closeAfter = _closeAfter;
    answer->_keepAlive = _keepAlive;
    answer->_headOnly = method() == KR_HTTP_HEAD;
    return answer;
}

std::string KrXHeader::logRequestLine() {
    std::string line;
    logRequestLineInto(line);
    return line;
}

void KrXHeader::logRequestLineInto(std::string& out) {
    out.clear();
    size_t tokens = 0;
    _headers.visit(":first:", [&out, &tokens](std::string_view token) {
        if (tokens++ == 1)
            out += ' ';
        out.append(token);
        return tokens < 2;
    });
    if (tokens < 2)
        out.assign(1, '-');
}

void KrXHeader::appendAnswerHead(std::string& out, std::string_view type, uint64_t length) {
    // As makeResponse and write make it: an answer's version is its own
    // default, and a HEAD request's answer announces the length all the same.
    static const std::string kAnswerVersion = "1.1";
    HeadFields fields;
    fields.length = length;
    fields.type = type;
    fields.close = _closeAfter;
    fields.keepAlive = _keepAlive;
    out.reserve(out.size() + type.size() + 128);
    AppendAnswerHead(out, kAnswerVersion, 200, "OK", fields);
}

KrXResponseHeader* KrXHeader::makeRefusal() {
    KrXResponseHeader* answer = makeResponse();
    answer->setStatus(_refusal != 0 ? _refusal : 400);
    answer->_closeAfter = true;
    if (_refusal == 503) {
        // A want of room that passes: the client is told when to try
        // again, in a head made as a program's is.
        static const std::string kNoRoom =
            KrUnavailableAnswer("The server has no room for the request's body now.");
        answer->setLiftCGIHead();
        answer->body().sputn(kNoRoom.data(), static_cast<std::streamsize>(kNoRoom.size()));
    } else {
        answer->body();  // an empty body: Content-Length 0
    }
    answer->setState(KR_JOB_READY);
    return answer;
}

bool KrXHeader::write(std::ostream& out) {
    std::lock_guard<std::mutex> guard(_mutex);
    const int s = state();
    if (!(s == 6 || (s == 5 && _openContent)))
        return false;
    if (method() == KR_HTTP_ANSWER) {
        _writeAnswerHead(out);
    } else if (!_writeRequestHead(out)) {
        return false;
    }
    _headWritten = true;
    return true;
}

void KrXHeader::_writeAnswerHead(std::ostream& out) {
    long length = 0;
    // A CGI program's head gives the answer its status, reason phrase and
    // fields; output without a complete, sound head is answered 502 and none
    // of it is sent, since nothing in it can be trusted to be a page.
    KrCGIHead program;
    bool fromProgram = false;
    if (!_fileBody.empty()) {
        length = _bodyLength;
    } else {
        if (_liftCGIHead) {
            if (_body &&
                program.parse(_body->Begin(), _body->Length()) == KrCGIHead::KR_CGI_HEAD_COMPLETE) {
                fromProgram = true;
                _body->gbump(static_cast<int>(program.length()));
                // Any code 200-599 a program sets goes out, also one the
                // server's own table does not hold.
                _status.store(program.status());
            } else {
                setStatus(502);
                _body.reset();
            }
            _liftCGIHead = fromProgram;
        }
        length = _body ? static_cast<long>(_body->Length()) : 0;
    }
    const unsigned long code = status();
    std::string_view reason;
    if (fromProgram) {
        reason = program.reason();
    } else {
        const auto text = KrHttpStatusTexts().find(code);
        if (text != KrHttpStatusTexts().end())
            reason = text->second;
    }
    // 1xx, 204 and 304 answers end with their head: a length or body bytes
    // behind it would be read as the start of the next answer.
    const bool carriesBody = KrCGIHead::carriesBody(code);
    // A length the program announced goes out as it stands, also to HEAD
    // and also when its output came short of it (the connection then
    // closes before that many bytes, and the client can tell). Otherwise:
    // php-cgi writes no body for HEAD, so the length of its HEAD output is
    // not the length a GET would bring: none is announced. A program's
    // output that is still coming has no length yet: it goes in chunks, or
    // (to an HTTP/1.0 peer) until the connection closes.
    HeadFields fields;
    fields.length = static_cast<uint64_t>(length);
    const long long announced = fromProgram && carriesBody ? program.contentLength() : -1;
    const bool streamed = _streamed && fromProgram && carriesBody && !_headOnly;
    if (announced >= 0) {
        fields.length = static_cast<uint64_t>(announced);
    } else if (streamed) {
        fields.framing = _streamChunked ? HeadFields::kChunked : HeadFields::kNone;
        if (_streamChunked)
            _frameBodyAsChunk();
        else
            _closeAfter = true;
    } else if (!carriesBody || (fromProgram && _headOnly)) {
        fields.framing = HeadFields::kNone;
    }
    _bodyLength = carriesBody ? length : 0;
    // A program's redirect brings its own Location.
    if (!fromProgram && (code == 303 || (code >= 300 && code < 400 && !_location.empty())))
        fields.location = &_location;
    if (fromProgram)
        fields.programFields = program.fields();
    else
        fields.type = _contentType;
    fields.close = _closeAfter;
    fields.keepAlive = _keepAlive;
    // Put together first and written in one call: every answer has a head,
    // and the stream's formatting per piece costs more than the text.
    std::string head;
    head.reserve(160 + program.fields().size());
    AppendAnswerHead(head, _version, code, reason, fields);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    if (_headOnly || !carriesBody) {
        _fileBody.clear();
        _openFile.reset();
        _body.reset();
    }
}

void KrXHeader::_frameBodyAsChunk() {
    const uint64_t size = _body ? _body->Length() : 0;
    if (size == 0)
        return;
    char line[24];
    const int written =
        std::snprintf(line, sizeof line, "%llx\r\n", static_cast<unsigned long long>(size));
    auto framed = std::make_unique<KrStringBuf>();
    framed->sputn(line, written);
    framed->sputn(_body->Begin(), static_cast<std::streamsize>(size));
    framed->sputn("\r\n", 2);
    _body = std::move(framed);
}

bool KrXHeader::_writeRequestHead(std::ostream& out) {
    const int m = method();
    if (m != KR_HTTP_GET && m != KR_HTTP_POST)
        return false;
    // Path, query and host may have been set directly: a line break in them
    // would let the text behind it forge header lines.
    out << (m == KR_HTTP_GET ? "GET " : "POST ") << WithoutLineBreaks(_path)
        << WithoutLineBreaks(_query) << " HTTP/" << _version << "\r\n";
    out << "Host: " << WithoutLineBreaks(_host) << "\r\n";
    out << "User-Agent: " << kServerName << "\r\n";
    if (m == KR_HTTP_POST) {
        out << "Content-Length: " << _bodyLength << "\r\n";
        if (_bodyLength != 0)
            out << "Content-Type: multipart/form-data; boundary=" << _boundary << "\r\n";
    }
    out << "\r\n";
    return true;
}
