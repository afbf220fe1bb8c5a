#include "document/KrDTDElementReadXML.h"

#include <cstring>

#include "document/KrReadCursor.h"
#include "foundation/KrException.h"

namespace {

bool IsNameStart(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool IsNameChar(int c) {
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-';
}

// Reads a name at the cursor; empty when none starts there.
const char* ScanName(const char* p, const char* end) {
    if (p >= end || !IsNameStart(static_cast<unsigned char>(*p))) {
        return p;
    }
    ++p;
    while (p < end && IsNameChar(static_cast<unsigned char>(*p))) {
        ++p;
    }
    return p;
}

}  // namespace

// ---- whitespace

KrDTDElementRead_WhitespaceText::KrDTDElementRead_WhitespaceText()
    : KrDTDElementRead("xmlwhitespace") {}

bool KrDTDElementRead_WhitespaceText::TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const {
    return ReadRun(reader, unit, true);
}

KrDTDElementRead* KrDTDElementRead_WhitespaceText::Clone() const {
    return new KrDTDElementRead_WhitespaceText();
}

bool KrDTDElementRead_WhitespaceText::CanStartWith(unsigned char c) const {
    return KrIsReadWhitespace(c);
}

// ---- text

KrDTDElementRead_Text::KrDTDElementRead_Text() : KrDTDElementRead("xmltext") {}

bool KrDTDElementRead_Text::TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const {
    return ReadRun(reader, unit, false);
}

KrDTDElementRead* KrDTDElementRead_Text::Clone() const {
    return new KrDTDElementRead_Text();
}

bool KrDTDElementRead_Text::CanStartWith(unsigned char c) const {
    return c != '<' && !KrIsReadWhitespace(c);
}

// ---- doctype

KrDTDElementRead_Doctype::KrDTDElementRead_Doctype()
    : KrDTDElementRead("htmldoctype"), _pattern("<!DOCTYPE ") {}

bool KrDTDElementRead_Doctype::MatchesPatternChar(size_t matched, int c) const {
    return matched < _pattern.size() && c == static_cast<unsigned char>(_pattern[matched]);
}

bool KrDTDElementRead_Doctype::TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const {
    KrReadCursor cursor(reader);
    for (size_t matched = 0; matched < _pattern.size(); ++matched) {
        if (!MatchesPatternChar(matched, cursor.PeekAt(matched))) {
            return false;
        }
    }
    const char* body = cursor.Here() + _pattern.size();
    const void* close = std::memchr(body, '>', static_cast<size_t>(cursor.End() - body));
    if (close == nullptr) {
        return false;
    }
    const char* at = static_cast<const char*>(close);
    unit.text.assign(body, at);
    unit.selfClosed = false;
    cursor.MoveTo(at + 1);
    return true;
}

KrDTDElementRead* KrDTDElementRead_Doctype::Clone() const {
    return new KrDTDElementRead_Doctype();
}

bool KrDTDElementRead_Doctype::CanStartWith(unsigned char c) const {
    return c == '<';
}

// ---- processing instruction

KrDTDElementRead_ProcInst::KrDTDElementRead_ProcInst() : KrDTDElementRead("xmlprocinst") {}

bool KrDTDElementRead_ProcInst::TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const {
    return ReadDelimited(reader, unit, "<?", "?>");
}

KrDTDElementRead* KrDTDElementRead_ProcInst::Clone() const {
    return new KrDTDElementRead_ProcInst();
}

bool KrDTDElementRead_ProcInst::CanStartWith(unsigned char c) const {
    return c == '<';
}

// ---- comment

KrDTDElementRead_Comment::KrDTDElementRead_Comment() : KrDTDElementRead("xmlcomment") {}

bool KrDTDElementRead_Comment::TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const {
    return ReadDelimited(reader, unit, "<!--", "-->");
}

KrDTDElementRead* KrDTDElementRead_Comment::Clone() const {
    return new KrDTDElementRead_Comment();
}

bool KrDTDElementRead_Comment::CanStartWith(unsigned char c) const {
    return c == '<';
}

// ---- start and end tags

KrDTDElementRead_Element::KrDTDElementRead_Element() : KrDTDElementRead("xmlelement") {}

bool KrDTDElementRead_Element::TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const {
    KrReadCursor cursor(reader);
    const char* end = cursor.End();
    const char* p = cursor.Here();
    if (p >= end || *p != '<') {
        return false;
    }
    ++p;
    const char* nameBegin = p;
    bool endTag = p < end && *p == '/';
    if (endTag) {
        ++p;
    }
    const char* nameEnd = ScanName(p, end);
    if (nameEnd == p) {
        cursor.Fail();
        return false;
    }
    p = nameEnd;
    int after = p < end ? static_cast<unsigned char>(*p) : -1;
    bool nameEnds = after == '>' || after == '/' || (!endTag && KrIsReadWhitespace(after));
    if (!nameEnds) {
        throw KrException("incomplete tag '" + std::string(nameBegin, nameEnd) + "'", __LINE__,
                          "src");
    }

    std::vector<KrReadAttribute>& pending = reader.PendingAttributes();
    pending.clear();
    unit.text.assign(nameBegin, nameEnd);
    unit.selfClosed = false;
    while (true) {
        while (p < end && KrIsReadWhitespace(static_cast<unsigned char>(*p))) {
            ++p;
        }
        if (p >= end) {
            cursor.Fail();
            return false;
        }
        if (*p == '>') {
            cursor.MoveTo(p + 1);
            return true;
        }
        if (*p == '/' && p + 1 < end && p[1] == '>') {
            unit.selfClosed = true;
            cursor.MoveTo(p + 2);
            return true;
        }
        const char* attrEnd = ScanName(p, end);
        if (attrEnd == p) {
            cursor.Fail();
            return false;
        }
        KrReadAttribute& attribute = pending.emplace_back();
        attribute.name.assign(p, attrEnd);
        p = attrEnd;
        if (p < end && *p == '=') {
            ++p;
            if (p >= end || (*p != '"' && *p != '\'')) {
                cursor.Fail();
                return false;
            }
            char quote = *p++;
            const void* close = std::memchr(p, quote, static_cast<size_t>(end - p));
            if (close == nullptr) {
                cursor.Fail();
                return false;
            }
            attribute.value.assign(p, static_cast<const char*>(close));
            p = static_cast<const char*>(close) + 1;
        } else {
            attribute.valueless = true;
        }
    }
}

KrDTDElementRead* KrDTDElementRead_Element::Clone() const {
    return new KrDTDElementRead_Element();
}

bool KrDTDElementRead_Element::CanStartWith(unsigned char c) const {
    return c == '<';
}

bool KrDTDElementRead_Element::IsCloser(const KrReadUnit& unit) const {
    return unit.text.size() >= 2 && unit.text[0] == '/';
}

bool KrDTDElementRead_Element::TakesAttributes() const {
    return true;
}

bool KrDTDElementRead_Element::MatchesClosing(const KrReadUnit& unit,
                                              const std::string& parentName) const {
    return !unit.text.empty() && unit.text.compare(1, std::string::npos, parentName) == 0;
}
