#pragma once
// A processing instruction, named "procinst"; holds the body between the
// delimiters.

#include <string>

#include "document/KrXMLGenericElement.h"

class KrXML_ProcInst2 : public KrXMLGenericElement {
  public:
    explicit KrXML_ProcInst2(std::string text);
    ~KrXML_ProcInst2() override;

    // BeforeWrite, then "<?" text "?>".
    void Write(std::ostream& out) override;

    const std::string& GetText() const { return _text; }

  private:
    std::string _text;
};
