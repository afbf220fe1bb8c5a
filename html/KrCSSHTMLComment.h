#pragma once
// The "<!--" ... "-->" wrapper that old pages put around a style sheet; it
// holds text nodes only.

#include "document/KrXMLComplexElement.h"

class KrCSSHTMLComment : public KrXMLComplexElement {
  public:
    KrCSSHTMLComment();
    ~KrCSSHTMLComment() override;

    void OnChildAdded(KrXMLComplexElement* child) override;
    void Write(std::ostream& out) override;
};

// Text as the CSS reader makes it: a text, whitespace or HTML text node.
bool KrIsCSSText(const KrXMLComplexElement* child);
// What every CSS container does with a child it is handed: text and
// KrCSSHTMLComment are always accepted, anything else only when `allowed`
// (the container's own kinds); otherwise KrException "must be an CSS element".
void KrRequireCSSChild(const KrXMLComplexElement* child, bool allowed);
