#pragma once
// One entry of a select list: "value" always set, one text child always, and
// the "selected" attribute only on an option built selected (written "1").

#include <string>

#include "document/KrXMLBoolKrAttribute.h"
#include "document/KrXMLStringKrAttribute.h"
#include "html/KrHTML_ElementType1.h"

class KrHTML_option2 : public KrHTML_ElementType1 {
  public:
    // As the tag table builds it: an empty value and one empty text child.
    KrHTML_option2();
    KrHTML_option2(const std::string& value, const std::string& text, bool selected);
    ~KrHTML_option2() override;

  protected:
    KrXMLStringKrAttribute _value;
    KrXMLBoolKrAttribute _selected;
};
