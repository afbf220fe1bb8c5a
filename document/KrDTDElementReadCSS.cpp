#include "document/KrDTDElementReadCSS.h"

#include <cstring>
#include <string_view>

#include "document/KrReadCursor.h"
#include "foundation/KrStringUtils.h"

namespace {

bool IsLetter(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool ReadExactly(KrDTDElementReader& reader, KrReadUnit& unit, const char* pattern, size_t length) {
    KrReadCursor cursor(reader);
    if (static_cast<size_t>(cursor.End() - cursor.Here()) < length ||
        std::memcmp(cursor.Here(), pattern, length) != 0) {
        return false;
    }
    unit.text.assign(pattern, length);
    unit.selfClosed = false;
    cursor.Skip(length);
    return true;
}

// Reads an at-rule head; `wantBrace` selects which ending makes a match.
bool ReadAtRule(KrDTDElementReader& reader, KrReadUnit& unit, bool wantBrace) {
    KrReadCursor cursor(reader);
    const char* begin = cursor.Here();
    if (begin >= cursor.End() || *begin != '@') {
        return false;
    }
    const char* stop = FindOutsideQuotes(begin + 1, cursor.End(), ";{");
    if (stop == nullptr || (*stop == '{') != wantBrace) {
        return false;
    }
    unit.selfClosed = false;
    if (wantBrace) {
        unit.text.assign(begin, stop);
    } else {
        unit.text.assign(begin, stop + 1);
    }
    cursor.MoveTo(stop + 1);
    return true;
}

}  // namespace

KrDTDElementRead_WhitespaceCSS::KrDTDElementRead_WhitespaceCSS()
    : KrDTDElementRead("css_a_whitespace") {}

bool KrDTDElementRead_WhitespaceCSS::TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const {
    return ReadRun(reader, unit, true);
}

KrDTDElementRead* KrDTDElementRead_WhitespaceCSS::Clone() const {
    return new KrDTDElementRead_WhitespaceCSS();
}

bool KrDTDElementRead_WhitespaceCSS::CanStartWith(unsigned char c) const {
    return KrIsReadWhitespace(c);
}

KrDTDElementRead_WhitespaceCSSHTMLComment::KrDTDElementRead_WhitespaceCSSHTMLComment()
    : KrDTDElementRead("css_aa_whitespace") {}

bool KrDTDElementRead_WhitespaceCSSHTMLComment::TryRead(KrDTDElementReader& reader,
                                                        KrReadUnit& unit) const {
    KrReadCursor cursor(reader);
    const char* begin = cursor.Here();
    const char* end = cursor.End();
    if (end - begin < 4 || std::memcmp(begin, "<!--", 4) != 0) {
        return false;
    }
    const std::string_view rest(begin + 4, static_cast<size_t>(end - begin - 4));
    const size_t close = rest.find("-->");
    if (close == std::string_view::npos ||
        rest.substr(0, close).find("</") != std::string_view::npos) {
        return false;
    }
    unit.text.assign(rest.data(), close);
    unit.selfClosed = false;
    cursor.MoveTo(rest.data() + close + 3);
    return true;
}

KrDTDElementRead* KrDTDElementRead_WhitespaceCSSHTMLComment::Clone() const {
    return new KrDTDElementRead_WhitespaceCSSHTMLComment();
}

bool KrDTDElementRead_WhitespaceCSSHTMLComment::CanStartWith(unsigned char c) const {
    return c == '<';
}

KrDTDElementRead_WhitespaceCSSHTMLCommentCloser::KrDTDElementRead_WhitespaceCSSHTMLCommentCloser()
    : KrDTDElementRead("css_aaa_whitespace") {}

bool KrDTDElementRead_WhitespaceCSSHTMLCommentCloser::TryRead(KrDTDElementReader& reader,
                                                              KrReadUnit& unit) const {
    return ReadExactly(reader, unit, "-->", 3);
}

KrDTDElementRead* KrDTDElementRead_WhitespaceCSSHTMLCommentCloser::Clone() const {
    return new KrDTDElementRead_WhitespaceCSSHTMLCommentCloser();
}

bool KrDTDElementRead_WhitespaceCSSHTMLCommentCloser::CanStartWith(unsigned char c) const {
    return c == '-';
}

bool KrDTDElementRead_WhitespaceCSSHTMLCommentCloser::IsCloser(const KrReadUnit&) const {
    return true;
}

bool KrDTDElementRead_WhitespaceCSSHTMLCommentCloser::MatchesClosing(
    const KrReadUnit&, const std::string& parentName) const {
    return parentName == "csshtmlcomment";
}

KrDTDElementRead_CloserCSS::KrDTDElementRead_CloserCSS() : KrDTDElementRead("css_b_closer") {}

bool KrDTDElementRead_CloserCSS::TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const {
    return ReadExactly(reader, unit, "}", 1);
}

KrDTDElementRead* KrDTDElementRead_CloserCSS::Clone() const {
    return new KrDTDElementRead_CloserCSS();
}

bool KrDTDElementRead_CloserCSS::CanStartWith(unsigned char c) const {
    return c == '}';
}

bool KrDTDElementRead_CloserCSS::IsCloser(const KrReadUnit& unit) const {
    return !unit.text.empty() && unit.text[0] == '}';
}

bool KrDTDElementRead_CloserCSS::MatchesClosing(const KrReadUnit&,
                                                const std::string& parentName) const {
    return parentName == "cssrule" || parentName == "cssmediaquery";
}

KrDTDElementRead_CommentCSS::KrDTDElementRead_CommentCSS() : KrDTDElementRead("css_c_comment") {}

bool KrDTDElementRead_CommentCSS::TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const {
    KrReadCursor cursor(reader);
    const char* begin = cursor.Here();
    const char* end = cursor.End();
    if (end - begin < 2 || begin[0] != '/' || begin[1] != '*') {
        return false;
    }
    for (const char* p = begin + 3; p < end; ++p) {
        if (*p == '/' && p[-1] == '*') {
            unit.text.assign(begin, p + 1);
            unit.selfClosed = false;
            cursor.MoveTo(p + 1);
            return true;
        }
    }
    return false;
}

KrDTDElementRead* KrDTDElementRead_CommentCSS::Clone() const {
    return new KrDTDElementRead_CommentCSS();
}

bool KrDTDElementRead_CommentCSS::CanStartWith(unsigned char c) const {
    return c == '/';
}

KrDTDElementRead_AtStatementCSS::KrDTDElementRead_AtStatementCSS()
    : KrDTDElementRead("css_d_atstatement") {}

bool KrDTDElementRead_AtStatementCSS::TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const {
    return ReadAtRule(reader, unit, false);
}

KrDTDElementRead* KrDTDElementRead_AtStatementCSS::Clone() const {
    return new KrDTDElementRead_AtStatementCSS();
}

bool KrDTDElementRead_AtStatementCSS::CanStartWith(unsigned char c) const {
    return c == '@';
}

KrDTDElementRead_MediaQueryCSS::KrDTDElementRead_MediaQueryCSS()
    : KrDTDElementRead("css_d_mediaquery") {}

bool KrDTDElementRead_MediaQueryCSS::TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const {
    return ReadAtRule(reader, unit, true);
}

KrDTDElementRead* KrDTDElementRead_MediaQueryCSS::Clone() const {
    return new KrDTDElementRead_MediaQueryCSS();
}

bool KrDTDElementRead_MediaQueryCSS::CanStartWith(unsigned char c) const {
    return c == '@';
}

KrDTDElementRead_RuleCSS::KrDTDElementRead_RuleCSS() : KrDTDElementRead("css_e_rule") {}

bool KrDTDElementRead_RuleCSS::TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const {
    KrReadCursor cursor(reader);
    const char* begin = cursor.Here();
    const char* end = cursor.End();
    if (begin >= end || !CanStartWith(static_cast<unsigned char>(*begin))) {
        return false;
    }
    const void* brace = std::memchr(begin, '{', static_cast<size_t>(end - begin));
    if (brace == nullptr) {
        return false;
    }
    const char* at = static_cast<const char*>(brace);
    unit.text.assign(begin, at);
    unit.selfClosed = false;
    cursor.MoveTo(at + 1);
    return true;
}

KrDTDElementRead* KrDTDElementRead_RuleCSS::Clone() const {
    return new KrDTDElementRead_RuleCSS();
}

bool KrDTDElementRead_RuleCSS::CanStartWith(unsigned char c) const {
    return IsLetter(c) || c == '#' || c == '*' || c == '.' || c == '_';
}

KrDTDElementRead_PropertyCSS::KrDTDElementRead_PropertyCSS() : KrDTDElementRead("css_f_property") {}

bool KrDTDElementRead_PropertyCSS::TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const {
    KrReadCursor cursor(reader);
    const char* begin = cursor.Here();
    const char* end = cursor.End();
    if (begin >= end || !CanStartWith(static_cast<unsigned char>(*begin))) {
        return false;
    }
    const char* stop = FindOutsideQuotes(begin, end, ";}");
    if (stop == nullptr) {
        return false;
    }
    unit.selfClosed = false;
    if (*stop == ';') {
        unit.text.assign(begin, stop + 1);
        cursor.MoveTo(stop + 1);
        return true;
    }
    // Before "}" the trailing whitespace is left to be read as its own unit.
    const char* last = stop;
    while (last > begin && KrIsReadWhitespace(static_cast<unsigned char>(last[-1]))) {
        --last;
    }
    unit.text.assign(begin, last);
    cursor.MoveTo(last);
    return true;
}

KrDTDElementRead* KrDTDElementRead_PropertyCSS::Clone() const {
    return new KrDTDElementRead_PropertyCSS();
}

bool KrDTDElementRead_PropertyCSS::CanStartWith(unsigned char c) const {
    return IsLetter(c) || c == '_';
}
