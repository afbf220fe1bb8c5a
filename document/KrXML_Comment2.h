#pragma once
// A comment, named "comment"; holds the body between the delimiters.

#include <string>

#include "document/KrXMLGenericElement.h"

class KrXML_Comment2 : public KrXMLGenericElement {
  public:
    explicit KrXML_Comment2(std::string text);
    ~KrXML_Comment2() override;

    // BeforeWrite, then "<!--" text "-->".
    void Write(std::ostream& out) override;

    const std::string& GetText() const { return _text; }

  private:
    std::string _text;
};
