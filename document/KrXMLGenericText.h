#pragma once
// Character data between tags, named "xmltext". Written exactly as held: text put into a tree must
// already be escaped as markup needs.

#include <string>

#include "document/KrSharedText.h"
#include "document/KrXMLGenericElement.h"

class KrXMLGenericText : public KrXMLGenericElement {
  public:
    explicit KrXMLGenericText(const std::string& text);
    ~KrXMLGenericText() override;

    // BeforeWrite, then the text unchanged.
    void Write(std::ostream& out) override;

    const std::string& GetText() const { return _text.str(); }

  private:
    // Shared with every node of the same short text (a tree holds one
    // node per word and per whitespace run, and most of them repeat).
    KrSharedText _text;
};
