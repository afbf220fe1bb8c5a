#pragma once
// The recognisers of XML and HTML units: runs of whitespace and of text, the
// HTML doctype, processing instructions, comments, and start and end tags
// with their attributes. None of them decodes anything: a unit's text is
// exactly what was written.

#include <string>

#include "document/KrDTDElementRead.h"

// "xmlwhitespace": a run of blanks, tabs, line feeds and carriage returns.
class KrDTDElementRead_WhitespaceText : public KrDTDElementRead {
  public:
    KrDTDElementRead_WhitespaceText();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
};

// "xmltext": a run of characters up to "<" or whitespace.
class KrDTDElementRead_Text : public KrDTDElementRead {
  public:
    KrDTDElementRead_Text();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
};

// "htmldoctype": "<!DOCTYPE " (exactly, case-sensitive) up to ">"; the text
// is what lies between.
class KrDTDElementRead_Doctype : public KrDTDElementRead {
  public:
    KrDTDElementRead_Doctype();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
    // Whether c continues the pattern after `matched` characters of it.
    bool MatchesPatternChar(size_t matched, int c) const;

  private:
    std::string _pattern;
};

// "xmlprocinst": "<?" up to "?>"; the text is what lies between.
class KrDTDElementRead_ProcInst : public KrDTDElementRead {
  public:
    KrDTDElementRead_ProcInst();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
};

// "xmlcomment": "<!--" up to the first "-->"; the text is what lies between.
class KrDTDElementRead_Comment : public KrDTDElementRead {
  public:
    KrDTDElementRead_Comment();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
};

// "xmlelement": a start tag (text: the name; attributes go to the reader's
// pending attributes) or an end tag (text: "/" and the name). A name that
// ends in a character a tag cannot hold throws "incomplete tag '<name>'".
class KrDTDElementRead_Element : public KrDTDElementRead {
  public:
    KrDTDElementRead_Element();
    bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const override;
    KrDTDElementRead* Clone() const override;
    bool CanStartWith(unsigned char c) const override;
    bool IsCloser(const KrReadUnit& unit) const override;
    bool TakesAttributes() const override;
    bool MatchesClosing(const KrReadUnit& unit, const std::string& parentName) const override;
};
