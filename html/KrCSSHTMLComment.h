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
