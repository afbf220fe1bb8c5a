#include "document/KrDTDElementRead.h"

#include <cstring>
#include <utility>

#include "document/KrReadCursor.h"

KrDTDElementRead::KrDTDElementRead(std::string name) : _name(std::move(name)) {}

KrDTDElementRead::~KrDTDElementRead() = default;

bool KrDTDElementRead::IsCloser(const KrReadUnit&) const {
    return false;
}

bool KrDTDElementRead::TakesAttributes() const {
    return false;
}

bool KrDTDElementRead::MatchesClosing(const KrReadUnit&, const std::string&) const {
    return true;
}

bool KrDTDElementRead::ReadRun(KrDTDElementReader& reader, KrReadUnit& unit, bool whitespace) {
    KrReadCursor cursor(reader);
    const char* begin = cursor.Here();
    const char* p = begin;
    const char* end = cursor.End();
    if (whitespace) {
        while (p < end && KrIsReadWhitespace(static_cast<unsigned char>(*p))) {
            ++p;
        }
    } else {
        while (p < end && *p != '<' && !KrIsReadWhitespace(static_cast<unsigned char>(*p))) {
            ++p;
        }
    }
    if (p == begin) {
        return false;
    }
    unit.text.assign(begin, p);
    unit.selfClosed = false;
    cursor.MoveTo(p);
    return true;
}

bool KrDTDElementRead::ReadDelimited(KrDTDElementReader& reader, KrReadUnit& unit,
                                     std::string_view open, std::string_view close) {
    KrReadCursor cursor(reader);
    const char* end = cursor.End();
    if (static_cast<size_t>(end - cursor.Here()) < open.size() ||
        std::memcmp(cursor.Here(), open.data(), open.size()) != 0) {
        return false;
    }
    const char* body = cursor.Here() + open.size();
    for (const char* from = body; static_cast<size_t>(end - from) >= close.size();) {
        const void* hit = std::memchr(from, close[0], static_cast<size_t>(end - from));
        if (hit == nullptr) {
            return false;
        }
        const char* at = static_cast<const char*>(hit);
        if (static_cast<size_t>(end - at) < close.size()) {
            return false;
        }
        if (std::memcmp(at, close.data(), close.size()) == 0) {
            unit.text.assign(body, at);
            unit.selfClosed = false;
            cursor.MoveTo(at + close.size());
            return true;
        }
        from = at + 1;
    }
    return false;
}
