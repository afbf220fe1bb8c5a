#pragma once
// The recognisers of style-sheet units: whitespace, the "<!--" and "-->"
// wrappers, "}", comments, at-rules, rule heads and declarations.

#include <string>

#include "document/KrDTDElementRead.h"

// "css_a_whitespace": a run of whitespace.
class KrDTDElementRead_WhitespaceCSS : public KrDTDElementRead {
  public:
    KrDTDElementRead_WhitespaceCSS();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
};

// "css_aa_whitespace": a "<!--" ... "-->" wrapper around (part of) a style
// sheet, read whole; the unit's text is what stands between the markers, so
// that the wrapper holds it as text and writes it back unchanged. A wrapper
// with no "-->" before the next "</" (the end of the style element) does
// not match.
class KrDTDElementRead_WhitespaceCSSHTMLComment : public KrDTDElementRead {
  public:
    KrDTDElementRead_WhitespaceCSSHTMLComment();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
};

// "css_aaa_whitespace": exactly "-->"; closes a "<!--" wrapper, nothing else
// (a "-->" outside a wrapper is an error).
class KrDTDElementRead_WhitespaceCSSHTMLCommentCloser : public KrDTDElementRead {
  public:
    KrDTDElementRead_WhitespaceCSSHTMLCommentCloser();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
    bool IsCloser(const KrReadUnit& unit) const override;
    bool MatchesClosing(const KrReadUnit& unit, const std::string& parentName) const override;
};

// "css_b_closer": one "}"; closes a rule or media query, nothing else, so a
// stray "}" cannot end the HTML element that holds the style sheet.
class KrDTDElementRead_CloserCSS : public KrDTDElementRead {
  public:
    KrDTDElementRead_CloserCSS();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
    bool IsCloser(const KrReadUnit& unit) const override;
    bool MatchesClosing(const KrReadUnit& unit, const std::string& parentName) const override;
};

// "css_c_comment": "/*" up to the first "*/", delimiters kept in the text.
class KrDTDElementRead_CommentCSS : public KrDTDElementRead {
  public:
    KrDTDElementRead_CommentCSS();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
};

// "css_d_atstatement": an at-rule that ends at ";" before any "{"
// (@charset, @import, @namespace); the text keeps the ";". It opens no level.
class KrDTDElementRead_AtStatementCSS : public KrDTDElementRead {
  public:
    KrDTDElementRead_AtStatementCSS();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
};

// "css_d_mediaquery": an at-rule head up to "{" (not kept).
class KrDTDElementRead_MediaQueryCSS : public KrDTDElementRead {
  public:
    KrDTDElementRead_MediaQueryCSS();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
};

// "css_e_rule": a selector up to "{" (not kept); blanks before it stay.
class KrDTDElementRead_RuleCSS : public KrDTDElementRead {
  public:
    KrDTDElementRead_RuleCSS();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
};

// "css_f_property": a declaration up to ";" (kept) or "}" (left for the next
// unit, with the whitespace before it). ";" and "}" inside quotes or
// parentheses belong to the value.
class KrDTDElementRead_PropertyCSS : public KrDTDElementRead {
  public:
    KrDTDElementRead_PropertyCSS();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
};
