#pragma once
// The root of a stored document: it writes its children in order and
// nothing of its own (no tag, no attributes, no line feeds).

#include <string>

#include "document/KrXMLGenericElement.h"

class KrXML_Document2 : public KrXMLGenericElement {
  public:
    explicit KrXML_Document2(const std::string& name);
    ~KrXML_Document2() override;

    void Write(std::ostream& out) override;
};
