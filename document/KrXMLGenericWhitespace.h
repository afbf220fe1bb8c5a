#pragma once
// A run of blanks, tabs and line ends between tags, named "xmlwhitespace".

#include <string>

#include "document/KrXMLGenericElement.h"

class KrXMLGenericWhitespace : public KrXMLGenericElement {
  public:
    explicit KrXMLGenericWhitespace(std::string text);
    ~KrXMLGenericWhitespace() override;

    // BeforeWrite, then the text unchanged.
    void Write(std::ostream& out) override;

    const std::string& GetText() const { return _text; }

  private:
    std::string _text;
};
