// Query strings and request bodies turned into named parameters.

#include <sys/mman.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <deque>
#include <iostream>
#include <string_view>
#include <vector>

#include "foundation/KrException.h"
#include "foundation/KrFileHandle.h"
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

// Form decoding, appended to `out`: browsers write a blank as "+"; a "%" and
// two hexadecimal digits give that byte, any other "%" stays as it is.
void AppendFormDecoded(std::string& out, const char* begin, const char* end) {
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(end - begin));
    char* const first = out.data() + at;
    char* to = first;
    for (const char* from = begin; from < end; ++from) {
        const char c = *from;
        if (c == '+') {
            *to++ = ' ';
            continue;
        }
        if (c == '%' && end - from > 2) {
            unsigned byte = 0;
            const auto [next, error] = std::from_chars(from + 1, from + 3, byte, 16);
            if (error == std::errc() && next == from + 3) {
                *to++ = static_cast<char>(byte);
                from += 2;
                continue;
            }
        }
        *to++ = c;
    }
    out.resize(at + static_cast<size_t>(to - first));
}

// More pairs than this are looked up through an index ordered by name.
constexpr size_t kPairsScanned = 16;

// Calls visit(name, nameEnd, value, valueEnd) for each "name=value" piece
// of an urlencoded text, undecoded and in order; a piece without "=" is no
// pair.
template <class Visit>
void ForEachPair(const char* begin, const char* end, Visit&& visit) {
    while (begin < end) {
        const char* amp =
            static_cast<const char*>(std::memchr(begin, '&', static_cast<size_t>(end - begin)));
        const char* pieceEnd = amp != nullptr ? amp : end;
        const char* equals = static_cast<const char*>(
            std::memchr(begin, '=', static_cast<size_t>(pieceEnd - begin)));
        if (equals != nullptr)
            visit(begin, equals, equals + 1, pieceEnd);
        begin = pieceEnd + 1;
    }
}

// A body kept in a file, seen in memory through the page cache for as long
// as this lives: nothing of it is copied. Empty when it cannot be mapped.
class MappedBody {
  public:
    MappedBody(const KrFileHandle& file, size_t size) {
        if (size == 0)
            return;
        void* at = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.get(), 0);
        if (at == MAP_FAILED)
            return;
        ::madvise(at, size, MADV_SEQUENTIAL);
        _data = static_cast<const char*>(at);
        _size = size;
    }
    ~MappedBody() {
        if (_data != nullptr)
            ::munmap(const_cast<char*>(_data), _size);
    }
    MappedBody(const MappedBody&) = delete;
    MappedBody& operator=(const MappedBody&) = delete;
    bool mapped() const { return _data != nullptr; }
    std::string_view text() const { return std::string_view(_data, _size); }

  private:
    const char* _data = nullptr;
    size_t _size = 0;
};

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

// Where each delimiter line starts: the delimiter at the start of the body
// or of a line, so the boundary text inside a part's content does not cut
// it. A line is compared only when it is long enough to hold the delimiter,
// and then for at most the delimiter's length, so the scan stays linear in
// the body whatever the boundary.
std::vector<size_t> DelimiterLines(std::string_view body, std::string_view delimiter) {
    std::vector<size_t> marks;
    size_t at = 0;
    while (at < body.size()) {
        const void* feed = std::memchr(body.data() + at, '\n', body.size() - at);
        const size_t lineEnd =
            feed != nullptr ? static_cast<size_t>(static_cast<const char*>(feed) - body.data())
                            : body.size();
        if (lineEnd - at >= delimiter.size() &&
            body.compare(at, delimiter.size(), delimiter) == 0 &&
            EndsDelimiterLine(body, at + delimiter.size()))
            marks.push_back(at);
        at = lineEnd + 1;
    }
    return marks;
}

// Reads the part that starts with its delimiter line: its head lines up to
// the empty line into `block`, and in `content` where its content lies, up
// to the line end in front of the next delimiter. Head lines without a
// colon are counted in `strayLines` and otherwise skipped. False when the
// head does not end.
bool ReadPart(std::string_view part, KrHTTPMessageBlock& block, size_t& strayLines,
              std::string_view& content) {
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
            ++strayLines;
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
    content = end > at ? part.substr(at, end - at) : std::string_view();
    return true;
}

// Calls take(block, content) for the parts of a multipart body, in order,
// with each part's head read into `block`. False when the body is
// malformed: no delimiter, no closing delimiter at the end, a closing
// delimiter before the last one, or a part whose head does not end.
template <class Take>
bool SplitParts(std::string_view body, std::string_view delimiter, size_t& strayLines,
                Take&& take) {
    const std::vector<size_t> marks = DelimiterLines(body, delimiter);
    if (marks.empty())
        return false;
    if (body.substr(marks.back() + delimiter.size(), 2) != "--")
        return false;  // no closing delimiter: the body was cut
    for (size_t i = 0; i + 1 < marks.size(); ++i) {
        const std::string_view part = body.substr(marks[i], marks[i + 1] - marks[i]);
        if (part.substr(delimiter.size(), 2) == "--")
            return false;  // a closing delimiter before the last one
        KrHTTPMessageBlock block;
        std::string_view content;
        if (!ReadPart(part, block, strayLines, content))
            return false;
        take(block, content);
    }
    return true;
}

}  // namespace

KrHTTPMessageBlock& KrXHeader::_appendBlock() {
    if (!_blocks)
        _blocks.emplace();
    KrHTTPMessageBlock& block = _blocks->emplace_back();
    _blocksByIndex[std::to_string(_blocks->size() - 1)] = &block;
    return block;
}

void KrXHeader::_decodePairs(const char* begin, const char* end) {
    if (_pairs.capacity() == 0)
        _pairs.reserve(8);
    // Decoded pairs are never longer than their text; a short query stays
    // within the string itself.
    if (end - begin > 32)
        _pairText.reserve(_pairText.size() + static_cast<size_t>(end - begin));
    ForEachPair(begin, end, [this](const char* name, const char* nameEnd, const char* value,
                                   const char* valueEnd) {
        Pair pair;
        pair.name = _pairText.size();
        AppendFormDecoded(_pairText, name, nameEnd);
        pair.nameLength = _pairText.size() - pair.name;
        pair.value = _pairText.size();
        AppendFormDecoded(_pairText, value, valueEnd);
        pair.valueLength = _pairText.size() - pair.value;
        _pairs.push_back(pair);
    });
}

void KrXHeader::_flushPairs() {
    for (const Pair& pair : _pairs) {
        KrHTTPMessageBlock& block = _appendBlock();
        block.fields["name"].assign(_pairText, pair.name, pair.nameLength);
        block.setContent(_pairText.data() + pair.value, pair.valueLength);
    }
    _pairs.clear();
    _pairOrder.clear();
    _pairText.clear();
}

void KrXHeader::_indexBlocks(KrHTTPMessageBlockDisposition& also, size_t count) {
    if (!_blocks)
        return;
    for (size_t i = 0; i < count && i < _blocks->size(); ++i) {
        KrHTTPMessageBlock& block = (*_blocks)[i];
        const std::string& name = block.fields["name"];
        if (!name.empty()) {
            _parameters[name] = &block;
            also[name] = &block;
        }
    }
}

void KrXHeader::_makeBlocksNow() {
    _blocksMade = true;
    if (!_blocks)
        _blocks.emplace();
    // Pairs are only held back while there are no blocks; made now, they are
    // indexed as the query and the body parser would have done.
    _flushPairs();
    if (_queryIndexed)
        _indexBlocks(_queryParameters, _queryPairs);
    if (_bodyIndexed)
        _indexBlocks(_bodyParameters, _blocks->size());
}

bool KrXHeader::_findPair(const std::string& name, std::string& out) const {
    const auto nameOf = [this](uint32_t i) {
        return std::string_view(_pairText).substr(_pairs[i].name, _pairs[i].nameLength);
    };
    size_t found = _pairs.size();
    if (_pairs.size() <= kPairsScanned || _pairs.size() > UINT32_MAX) {
        for (size_t i = _pairs.size(); i-- > 0;) {
            if (nameOf(static_cast<uint32_t>(i)) == name) {
                found = i;
                break;
            }
        }
    } else {
        if (_pairOrder.size() != _pairs.size()) {
            _pairOrder.resize(_pairs.size());
            for (uint32_t i = 0; i < _pairOrder.size(); ++i)
                _pairOrder[i] = i;
            std::stable_sort(_pairOrder.begin(), _pairOrder.end(),
                             [&nameOf](uint32_t a, uint32_t b) { return nameOf(a) < nameOf(b); });
        }
        // The last pair of a name wins, as it does in the parameter map.
        auto after = std::upper_bound(
            _pairOrder.begin(), _pairOrder.end(), std::string_view(name),
            [&nameOf](std::string_view key, uint32_t i) { return key < nameOf(i); });
        if (after != _pairOrder.begin() && nameOf(*(after - 1)) == name)
            found = *(after - 1);
    }
    if (found == _pairs.size())
        return false;
    out.assign(_pairText, _pairs[found].value, _pairs[found].valueLength);
    return true;
}

void KrXHeader::_parseURL(const std::string& text) {
    _parseTarget(text);
}

void KrXHeader::_parseTarget(std::string_view text) {
    const size_t mark = text.find('?');
    if (mark == std::string_view::npos) {
        _path.assign(text);
        return;
    }
    _path.assign(text.substr(0, mark));
    const int m = method();
    if (m != KR_HTTP_GET && m != KR_HTTP_HEAD)
        return;
    _query.assign(text.substr(mark + 1));
    if (_query.empty())
        return;
    if (!_blocksMade && _pairs.empty() && !_queryIndexed && !_bodyIndexed) {
        // Held as decoded pairs until blocks are asked for.
        _decodePairs(_query.data(), _query.data() + _query.size());
        _queryPairs = _pairs.size();
        _queryIndexed = true;
        return;
    }
    _makeBlocks();
    _decodePairs(_query.data(), _query.data() + _query.size());
    _flushPairs();
    _indexBlocks(_queryParameters, _blocks->size());
}

int KrXHeader::_parseBody() {
    // Once is enough: the web client asks before it decides where a request
    // goes and again when it answers it, and pairs read twice would be there
    // twice.
    if (_bodyParsed != KR_READ_MORE)
        return _bodyParsed;
    _bodyParsed = _parseBodyOnce();
    return _bodyParsed;
}

int KrXHeader::_parseBodyOnce() {
    const int complete = isComplete();
    if (complete != KR_READ_COMPLETE) {
        if (complete == KR_READ_REFUSED)
            _refusal = 400;
        return complete;
    }
    // Only the framework's own pages parse a body kept in a file (see
    // findFileBodyParameter), and they take all of it into their
    // parameters anyway: it is read back whole.
    if (_bodyFile && !_readBodyFile()) {
        _refusal = 503;
        return KR_READ_REFUSED;
    }
    std::string ct;
    const bool typed = _firstContentType(ct);
    // Pairs are held back only while no blocks were made, and only once.
    if (_blocksMade || _bodyIndexed)
        _makeBlocks();
    if (typed) {
        const char* data = _body ? _body->Begin() : nullptr;
        const size_t size = _body ? static_cast<size_t>(_body->Length()) : 0;
        std::string boundary;
        if (StartsWithNoCase(ct, "multipart/form-data")) {
            _makeBlocks();
            if (!FindParameter(ct, "boundary", boundary) || boundary.empty() ||
                !_parseMultipart(boundary)) {
                _refusal = 400;
                return KR_READ_REFUSED;
            }
        } else if (StartsWithNoCase(ct, "application/x-www-form-urlencoded")) {
            if (size != 0) {
                _decodePairs(data, data + size);
                if (_blocksMade)
                    _flushPairs();
            }
        }
        // Any other type (JSON, XML, plain text) is no fault: such a body is
        // for whoever reads it whole, a PHP page or a program, and stays
        // unread here. A report per request would only fill the console.
    }
    if (_blocksMade)
        _indexBlocks(_bodyParameters, _blocks->size());
    else
        _bodyIndexed = true;
    return KR_READ_COMPLETE;
}

bool KrXHeader::_firstContentType(std::string& type) {
    bool typed = false;
    _headers.visit("content-type", [&typed, &type](std::string_view value) {
        typed = true;
        type.assign(value);
        return false;
    });
    return typed;
}

bool KrXHeader::_readBodyFile() {
    const MappedBody mapped(*_bodyFile, static_cast<size_t>(_filed));
    if (!mapped.mapped() && _filed != 0)
        return false;
    auto whole = std::make_unique<KrStringBuf>();
    whole->sputn(mapped.text().data(), static_cast<std::streamsize>(mapped.text().size()));
    _body = std::move(whole);
    _bodyFile.reset();
    _filed = 0;
    // The body is in memory from here on, as a small one is.
    _filePast = UINT64_MAX;
    return true;
}

int KrXHeader::findFileBodyParameter(const std::string& name, std::string& out) {
    if (!_bodyFile || isComplete() != KR_READ_COMPLETE)
        return KR_READ_REFUSED;
    std::string ct;
    if (!_firstContentType(ct))
        return KR_READ_COMPLETE;
    const bool multipart = StartsWithNoCase(ct, "multipart/form-data");
    if (!multipart && !StartsWithNoCase(ct, "application/x-www-form-urlencoded"))
        return KR_READ_COMPLETE;
    const MappedBody mapped(*_bodyFile, static_cast<size_t>(_filed));
    if (!mapped.mapped())
        return KR_READ_REFUSED;
    const std::string_view body = mapped.text();
    // As the parameter maps have it, the last of a name counts.
    if (!multipart) {
        std::string decoded;
        ForEachPair(body.data(), body.data() + body.size(),
                    [&](const char* key, const char* keyEnd, const char* value,
                        const char* valueEnd) {
                        decoded.clear();
                        AppendFormDecoded(decoded, key, keyEnd);
                        if (decoded == name) {
                            out.clear();
                            AppendFormDecoded(out, value, valueEnd);
                        }
                    });
        return KR_READ_COMPLETE;
    }
    std::string boundary;
    if (!FindParameter(ct, "boundary", boundary) || boundary.empty())
        return KR_READ_REFUSED;
    size_t strayLines = 0;
    std::string found;
    bool named = false;
    const bool wellFormed = SplitParts(
        body, "--" + boundary, strayLines,
        [&](KrHTTPMessageBlock& block, std::string_view content) {
            if (block.fields["name"] == name) {
                found.assign(content);
                named = true;
            }
        });
    if (!wellFormed)
        return KR_READ_REFUSED;
    if (named)
        out = std::move(found);
    return KR_READ_COMPLETE;
}

bool KrXHeader::_parseMultipart(const std::string& boundary) {
    const std::string_view body =
        _body ? std::string_view(_body->Begin(), static_cast<size_t>(_body->Length()))
              : std::string_view();
    const std::string delimiter = "--" + boundary;
    size_t strayLines = 0;
    std::deque<KrHTTPMessageBlock> parts;
    const bool wellFormed = SplitParts(body, delimiter, strayLines,
                                       [&parts](KrHTTPMessageBlock& block, std::string_view content) {
                                           if (!content.empty())
                                               block.setContent(content.data(), content.size());
                                           parts.push_back(std::move(block));
                                       });
    // Head lines without a colon are reported once for the whole body: one
    // line each would let a single request flood standard error.
    if (strayLines != 0)
        std::cerr << "oh oh ... problem..." << std::endl;
    if (!wellFormed)
        return false;
    if (!_blocks)
        _blocks.emplace();
    for (KrHTTPMessageBlock& part : parts) {
        KrHTTPMessageBlock& block = _appendBlock();
        block = std::move(part);
    }
    return true;
}

void KrXHeader::setRequestQuery(const std::string& url) {
    if (method() != KR_HTTP_GET)
        return;
    setDirection(KR_DIRECTION_REQUEST);
    _makeBlocks();
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
