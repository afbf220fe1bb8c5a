#pragma once
// A run of blanks, tabs and line ends between tags, named "xmlwhitespace".

#include <string>

#include "document/KrSharedText.h"
#include "document/KrXMLGenericElement.h"

class KrXMLGenericWhitespace : public KrXMLGenericElement {
  public:
    explicit KrXMLGenericWhitespace(const std::string& text);
    ~KrXMLGenericWhitespace() override;

    // BeforeWrite, then the text unchanged.
    void Write(std::ostream& out) override;

    const std::string& GetText() const { return _text.str(); }

  private:
    // Shared with every node of the same short text (a tree holds one
    // node per word and per whitespace run, and most of them repeat).
    KrSharedText _text;
};
