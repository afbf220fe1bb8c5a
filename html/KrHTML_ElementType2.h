#pragma once
// Void elements: written closed by " />" and refusing every child.
// Tag classes derive from exactly one family; the base element part is shared
// (virtual) with the mixins, so an element has one name, one attribute map and
// one list of children.

#include <string>

#include "html/KrHTML_BaseElement2.h"

class KrHTML_ElementType2 : public virtual KrHTML_BaseElement2 {
  public:
    // As a complete object this is an element named `tag`; inside a tag class
    // the tag class builds the shared base and this only names it.
    explicit KrHTML_ElementType2(const std::string& tag);
    ~KrHTML_ElementType2() override;
};
