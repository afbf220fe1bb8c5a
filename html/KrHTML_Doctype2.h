#pragma once
// The document-type line of a page: "<!DOCTYPE " + text + ">" and a line end.

#include <string>

#include "document/KrXMLGenericElement.h"

class KrHTML_Doctype2 : public KrXMLGenericElement {
  public:
    explicit KrHTML_Doctype2(const std::string& text);
    ~KrHTML_Doctype2() override;

    void Write(std::ostream& out) override;

    const std::string& GetText() const { return _text; }

  private:
    std::string _text;
};
