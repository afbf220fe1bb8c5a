// The outgoing side of the wire format: answers made for requests and the
// heads of answers and requests.

#include <algorithm>
#include <cstring>
#include <string_view>

#include "foundation/KrStringUtils.h"
#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"

namespace {

const char* const kServerName = "brinolt/1.28.1(96)";

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view TrimBlanks(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

// The head a CGI program wrote in front of its output, as the server passes
// it on. The server frames the answer itself, so the program's own framing
// fields are dropped; "Status:" and "Location:" decide the status.
struct CGIHead {
    bool found = false;
    size_t length = 0;  // bytes of the program's head, empty line included
    std::string block;  // the lines passed on, each ending in CR LF, then CR LF
    unsigned long status = 0;
    bool hasLocation = false;
};

// Lines may end in CR LF or LF alone; the head ends at the first empty line.
// A line without ":" before it means the output has no head at all.
CGIHead FindCGIHead(const char* data, size_t size) {
    CGIHead head;
    size_t at = 0;
    while (at < size) {
        const char* lf = static_cast<const char*>(std::memchr(data + at, '\n', size - at));
        if (lf == nullptr)
            return CGIHead{};
        const size_t lineEnd = static_cast<size_t>(lf - data);
        std::string_view line(data + at, lineEnd - at);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        at = lineEnd + 1;
        if (line.empty()) {
            head.found = true;
            head.length = at;
            head.block += "\r\n";
            return head;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return CGIHead{};
        const std::string_view name = TrimBlanks(line.substr(0, colon));
        const std::string_view value = TrimBlanks(line.substr(colon + 1));
        if (SameNameIgnoringCase(name, "status")) {
            head.status = StringToULL(std::string(value.substr(0, value.find(' '))), 0);
            continue;
        }
        if (SameNameIgnoringCase(name, "content-length") ||
            SameNameIgnoringCase(name, "transfer-encoding") ||
            SameNameIgnoringCase(name, "connection")) {
            continue;
        }
        if (SameNameIgnoringCase(name, "location"))
            head.hasLocation = true;
        head.block.append(line);
        head.block += "\r\n";
    }
    return CGIHead{};
}

// A line break in a redirect target would end the field and let the text
// behind it forge header lines.
std::string WithoutLineBreaks(std::string text) {
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
    return text;
}

}  // namespace

KrXResponseHeader* KrXHeader::makeResponse() {
    auto* answer = new KrXResponseHeader(KR_HTTP_ANSWER, false, protocolKind());
    answer->setDirection(1);
    answer->_created = _created;
    answer->_path = _path;
    std::string requestLine;
    size_t tokens = 0;
    _headers.visit(":first:", [&requestLine, &tokens](std::string_view token) {
        if (tokens++ == 1)
            requestLine += ' ';
        requestLine.append(token);
        return tokens < 2;
    });
    answer->_requestLine = tokens < 2 ? std::string("-") : std::move(requestLine);
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

KrXResponseHeader* KrXHeader::makeRefusal() {
    KrXResponseHeader* answer = makeResponse();
    answer->setStatus(_refusal != 0 ? _refusal : 400);
    answer->_closeAfter = true;
    answer->body();  // an empty body: Content-Length 0
    answer->setState(6);
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
    std::string cgiBlock;
    if (!_fileBody.empty()) {
        length = _bodyLength;
    } else {
        bool lifted = false;
        if (_liftCGIHead && _body) {
            const CGIHead head = FindCGIHead(_body->Begin(), _body->Length());
            if (head.found) {
                lifted = true;
                _body->gbump(static_cast<int>(head.length));
                cgiBlock = head.block;
                if (head.status != 0)
                    setStatus(head.status);
                else if (head.hasLocation)
                    setStatus(302);
            }
        }
        // Output without a head (or no output at all) is sent whole.
        _liftCGIHead = lifted;
        length = _body ? static_cast<long>(_body->Length()) : 0;
    }
    const unsigned long code = status();
    auto text = KrHttpStatusTexts().find(code);
    // Put together first and written in one call: every answer has a head,
    // and the stream's formatting per piece costs more than the text.
    std::string head;
    head.reserve(160 + cgiBlock.size());
    head += "HTTP/";
    head += _version;
    head += ' ';
    head += std::to_string(code);
    head += ' ';
    if (text != KrHttpStatusTexts().end())
        head += text->second;
    head += "\r\nServer: ";
    head += kServerName;
    head += "\r\nContent-Length: ";
    head += std::to_string(length);
    head += "\r\n";
    _bodyLength = length;
    if (code == 303) {
        head += "Location: ";
        head += WithoutLineBreaks(_location);
        head += "\r\n";
    }
    if (!_contentType.empty() && !_liftCGIHead) {
        head += "Content-Type: ";
        head += WithoutLineBreaks(_contentType);
        head += "\r\n";
    }
    if (_closeAfter)
        head += "Connection: close\r\n";
    else if (_keepAlive)
        head += "Connection: keep-alive\r\n";
    if (_liftCGIHead)
        head += cgiBlock;
    else
        head += "\r\n";
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    if (_headOnly) {
        // The head tells the length; no body bytes follow it.
        _fileBody.clear();
        _openFile.reset();
        _body.reset();
    }
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
