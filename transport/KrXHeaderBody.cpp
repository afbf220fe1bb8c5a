// Query strings and request bodies turned into named parameters.

#include <cstring>
#include <iostream>
#include <string_view>

#include "foundation/KrException.h"
#include "foundation/KrStringSplit.h"
#include "foundation/KrStringUtils.h"
#include "transport/KrXHeader.h"

namespace {

std::string_view TrimBlanks(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

std::string Lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && Lowered(text.substr(0, prefix.size())) == prefix;
}

// Form decoding: browsers write a blank as "+", then percent-escapes.
std::string FormDecode(const char* begin, const char* end) {
    std::string text(begin, end);
    return URLDecodeInPlace(text);
}

// The value of parameter `key` in "type;key=value;key2=value2" (blanks
// already removed or trimmed here), without surrounding double quotes.
bool FindParameter(std::string_view text, std::string_view key, std::string& value) {
    size_t at = text.find(';');
    while (at != std::string_view::npos) {
        const size_t next = text.find(';', at + 1);
        std::string_view item = TrimBlanks(text.substr(
            at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1));
        const size_t equals = item.find('=');
        if (equals != std::string_view::npos &&
            Lowered(TrimBlanks(item.substr(0, equals))) == key) {
            std::string_view v = TrimBlanks(item.substr(equals + 1));
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
                v = v.substr(1, v.size() - 2);
            value.assign(v);
            return true;
        }
        at = next;
    }
    return false;
}

// Behind a delimiter comes "--" (the closing one) or, after optional
// blanks, the line end; anything else is content that only starts like one.
bool EndsDelimiterLine(std::string_view body, size_t at) {
    if (body.substr(at, 2) == "--")
        return true;
    while (at < body.size() && (body[at] == ' ' || body[at] == '\t'))
        ++at;
    return at == body.size() || body[at] == '\n' || body.substr(at, 2) == "\r\n";
}

}  // namespace

KrHTTPMessageBlock& KrXHeader::_appendBlock() {
    KrHTTPMessageBlock& block = _blocks.emplace_back();
    _blocksByIndex[std::to_string(_blocks.size() - 1)] = &block;
    return block;
}

void KrXHeader::_addPair(const char* begin, const char* end) {
    const char* equals =
        static_cast<const char*>(std::memchr(begin, '=', static_cast<size_t>(end - begin)));
    if (equals == nullptr)
        return;
    KrHTTPMessageBlock& block = _appendBlock();
    block.fields["name"] = FormDecode(begin, equals);
    block.setContent(FormDecode(equals + 1, end));
}

void KrXHeader::_parsePairs(const char* begin, const char* end) {
    while (begin < end) {
        const char* amp =
            static_cast<const char*>(std::memchr(begin, '&', static_cast<size_t>(end - begin)));
        const char* pieceEnd = amp != nullptr ? amp : end;
        _addPair(begin, pieceEnd);
        begin = pieceEnd + 1;
    }
}

void KrXHeader::_parseURL(const std::string& text) {
    const size_t mark = text.find('?');
    if (mark == std::string::npos) {
        _path = text;
        return;
    }
    _path = text.substr(0, mark);
    const int m = method();
    if (m != KR_HTTP_GET && m != KR_HTTP_HEAD)
        return;
    _query = text.substr(mark + 1);
    if (_query.empty())
        return;
    _parsePairs(_query.data(), _query.data() + _query.size());
    for (KrHTTPMessageBlock& block : _blocks) {
        const std::string& name = block.fields["name"];
        if (!name.empty()) {
            _parameters[name] = &block;
            _queryParameters[name] = &block;
        }
    }
}

int KrXHeader::_parseBody() {
    const int complete = isComplete();
    if (complete != 2) {
        if (complete == 1)
            _refusal = 400;
        return complete;
    }
    auto type = _headers.find("content-type");
    if (type != _headers.end() && !type->second.empty()) {
        const std::string& ct = type->second.front();
        const char* data = _body ? _body->Begin() : nullptr;
        const size_t size = _body ? static_cast<size_t>(_body->Length()) : 0;
        std::string boundary;
        if (StartsWithNoCase(ct, "multipart/form-data")) {
            if (!FindParameter(ct, "boundary", boundary) || boundary.empty() ||
                !_parseMultipart(boundary)) {
                _refusal = 400;
                return 1;
            }
        } else if (StartsWithNoCase(ct, "application/x-www-form-urlencoded")) {
            if (size != 0)
                _parsePairs(data, data + size);
        } else {
            std::cerr << "content type not defined (" << ct << ")" << std::endl;
        }
    }
    for (KrHTTPMessageBlock& block : _blocks) {
        const std::string& name = block.fields["name"];
        if (!name.empty()) {
            _parameters[name] = &block;
            _bodyParameters[name] = &block;
        }
    }
    return 2;
}

bool KrXHeader::_parseMultipart(const std::string& boundary) {
    const std::string_view body =
        _body ? std::string_view(_body->Begin(), static_cast<size_t>(_body->Length()))
              : std::string_view();
    const std::string delimiter = "--" + boundary;

    // A delimiter counts only at the start of the body or of a line, so the
    // boundary text inside a part's content does not cut it.
    std::vector<size_t> marks;
    for (size_t at = body.find(delimiter); at != std::string_view::npos;
         at = body.find(delimiter, at + delimiter.size())) {
        if ((at == 0 || body[at - 1] == '\n') && EndsDelimiterLine(body, at + delimiter.size()))
            marks.push_back(at);
    }
    if (marks.empty())
        return false;
    const size_t last = marks.back() + delimiter.size();
    if (body.substr(last, 2) != "--")
        return false;  // no closing delimiter: the body was cut

    std::deque<KrHTTPMessageBlock> parts;
    for (size_t i = 0; i + 1 < marks.size(); ++i) {
        const std::string_view part = body.substr(marks[i], marks[i + 1] - marks[i]);
        if (part.substr(delimiter.size(), 2) == "--")
            return false;  // a closing delimiter before the last one
        KrHTTPMessageBlock& block = parts.emplace_back();
        size_t at = part.find('\n');
        if (at == std::string_view::npos)
            return false;
        ++at;
        bool headEnded = false;
        while (at < part.size()) {
            const size_t lf = part.find('\n', at);
            if (lf == std::string_view::npos)
                break;
            std::string_view line = part.substr(at, lf - at);
            at = lf + 1;
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (line.empty()) {
                headEnded = true;
                break;
            }
            const size_t colon = line.find(':');
            if (colon == std::string_view::npos) {
                std::cerr << "oh oh ... problem..." << std::endl;
                continue;
            }
            const std::string name = Lowered(TrimBlanks(line.substr(0, colon)));
            const std::string value(TrimBlanks(line.substr(colon + 1)));
            if (name.empty() || value.empty())
                continue;
            block.headerFields[name].push_back(value);
            std::string field;
            if (name == "content-disposition" && FindParameter(value, "name", field))
                block.fields["name"] = field;
            else if (name == "content-type")
                block.fields["mimetype"] = value;
        }
        if (!headEnded)
            return false;
        // The content ends at the line end in front of the next delimiter.
        size_t end = part.size();
        if (end >= at + 2 && part.substr(end - 2, 2) == "\r\n")
            end -= 2;
        else if (end >= at + 1 && part[end - 1] == '\n')
            end -= 1;
        if (end > at)
            block.setContent(part.data() + at, end - at);
    }
    for (KrHTTPMessageBlock& part : parts) {
        KrHTTPMessageBlock& block = _appendBlock();
        block = std::move(part);
    }
    return true;
}

void KrXHeader::setRequestQuery(const std::string& url) {
    if (method() != KR_HTTP_GET)
        return;
    setDirection(2);
    const size_t mark = url.find('?');
    if (mark != std::string::npos) {
        _query = url.substr(mark + 1);
        for (const std::string& piece : SplitString(_query, "&", false)) {
            try {
                KrHTTPMessageBlock question(piece);
                KrHTTPMessageBlock& block = _appendBlock();
                block = std::move(question);
                const std::string& name = block.fields["name"];
                if (!name.empty()) {
                    _parameters[name] = &block;
                    _queryParameters[name] = &block;
                }
            } catch (const KrException&) {
                // A piece that is no "name=value" text is left out.
            }
        }
    }
    if (!_query.empty())
        _query = "?" + _query;
}
