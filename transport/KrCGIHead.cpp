#include "transport/KrCGIHead.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "transport/KrHttpTables.h"
#include "transport/KrHttpText.h"

namespace {

// A CR or NUL anywhere in `text`: the client would take the CR for a line
// end, and a NUL ends the text in many of them.
bool HasBreakOrNul(std::string_view text) {
    return text.find('\r') != std::string_view::npos || text.find('\0') != std::string_view::npos;
}

}  // namespace

void KrCGIHead::_clear() {
    _length = 0;
    _status = 0;
    _hasLocation = false;
    _contentLength = -1;
    _reason.clear();
    _fields.clear();
}

KrCGIHead::State KrCGIHead::parse(const char* data, size_t size) {
    _clear();
    const size_t limit = std::min(size, kMaxHeadLength);
    size_t at = 0;
    while (at < limit) {
        const auto* lf = static_cast<const char*>(std::memchr(data + at, '\n', limit - at));
        if (lf == nullptr)
            break;
        const size_t next = static_cast<size_t>(lf - data) + 1;
        size_t end = next - 1;
        if (end > at && data[end - 1] == '\r')
            --end;
        if (end == at) {
            _length = next;
            if (_reason.empty())
                _reason = standardReason(status());
            return KR_CGI_HEAD_COMPLETE;
        }
        if (!_takeLine(std::string_view(data + at, end - at))) {
            _clear();
            return KR_CGI_HEAD_BAD;
        }
        at = next;
    }
    // No empty line yet. Past the limit it can only come too late; a line
    // begun so far is judged early once nothing can make it a field any
    // more (a CR at its end may still be the one in front of the line feed).
    const std::string_view begun(data + at, limit - at);
    const bool broken = !begun.empty() && (HasBreakOrNul(begun.substr(0, begun.size() - 1)) ||
                                           begun.back() == '\0');
    if (size >= kMaxHeadLength || broken) {
        _clear();
        return KR_CGI_HEAD_BAD;
    }
    return KR_CGI_HEAD_INCOMPLETE;
}

bool KrCGIHead::_takeLine(std::string_view line) {
    if (HasBreakOrNul(line))
        return false;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return false;
    // A line that starts with a blank continues the one before it: a
    // folded field, which no client should be sent.
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && KrIsHttpBlank(name.back()))
        name.remove_suffix(1);
    if (name.empty() || !std::all_of(name.begin(), name.end(), KrIsHttpTokenChar))
        return false;
    const std::string_view value = KrTrimHttpBlanks(line.substr(colon + 1));

    if (KrEqualsHttpWord(name, "status")) {
        // Three digits, then the end or a blank and the reason phrase.
        if (value.size() < 3 || !std::all_of(value.begin(), value.begin() + 3,
                                             [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        if (value.size() > 3 && !KrIsHttpBlank(value[3]))
            return false;
        const unsigned long code = static_cast<unsigned long>((value[0] - '0') * 100 +
                                                              (value[1] - '0') * 10 + (value[2] - '0'));
        if (code < 200 || code > 599)
            return false;
        if (_status == 0) {
            _status = code;
            _reason.assign(KrTrimHttpBlanks(value.substr(3)));
        }
        return true;
    }
    if (KrEqualsHttpWord(name, "content-length")) {
        // Kept as the point where the answer is whole, and written by the
        // server into its own framing as it stands; a value that is not a
        // plain count is ignored, and so is one that differs from the first.
        const bool digits =
            !value.empty() && value.size() <= 15 &&
            std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
        const long long length = digits ? std::stoll(std::string(value)) : -2;
        if (_contentLength == -1 && length >= 0)
            _contentLength = length;
        else if (length != _contentLength)
            _contentLength = -2;
        return true;
    }
    if (KrEqualsHttpWord(name, "transfer-encoding") || KrEqualsHttpWord(name, "connection"))
        return true;
    if (KrEqualsHttpWord(name, "location")) {
        // Two Location fields make a browser refuse the whole answer.
        if (_hasLocation)
            return true;
        _hasLocation = true;
    }
    _fields.append(name);
    _fields += ": ";
    _fields.append(value);
    _fields += "\r\n";
    return true;
}

long long KrCGIHead::contentLength() const {
    return _contentLength < 0 ? -1 : _contentLength;
}

unsigned long KrCGIHead::status() const {
    if (_status != 0)
        return _status;
    return _hasLocation ? 302 : 200;
}

bool KrCGIHead::carriesBody(unsigned long status) {
    return !(status >= 100 && status < 200) && status != 204 && status != 304;
}

const char* KrCGIHead::standardReason(unsigned long status) {
    return KrHttpStandardReason(status);
}
