#pragma once
// Character data between tags, named "xmltext". Written exactly as held: text put into a tree must
// already be escaped as markup needs.

#include <string>

#include "document/KrXMLGenericElement.h"

class KrXMLGenericText : public KrXMLGenericElement {
  public:
    explicit KrXMLGenericText(std::string text);
    ~KrXMLGenericText() override;

    // BeforeWrite, then the text unchanged.
    void Write(std::ostream& out) override;

    const std::string& GetText() const { return _text; }

  private:
    std::string _text;
};
