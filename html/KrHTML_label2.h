#pragma once
// The label element: "for" set only when non-empty; a non-empty text becomes
// its one text child.

#include <string>

#include "document/KrXMLStringKrAttribute.h"
#include "html/KrHTML_ElementType0.h"
#include "html/KrHTML_ElementType0A.h"

class KrHTML_label2 : public KrHTML_ElementType0, public KrHTML_ElementType0A {
  public:
    // As the tag table builds it: no "for", no children.
    KrHTML_label2();
    KrHTML_label2(const std::string& forId, const std::string& text);
    ~KrHTML_label2() override;

  protected:
    KrXMLStringKrAttribute _for;
};
