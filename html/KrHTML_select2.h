#pragma once
// The select list. Its "name" is a plain attribute that is always set (an
// empty name is written empty); "id" is set only when non-empty. Options go
// in as KrHTML_option2 children.

#include <string>

#include "html/KrHTML_ElementType0.h"

class KrHTML_select2 : public KrHTML_ElementType0 {
  public:
    // As the tag table builds it: no id, an empty name.
    KrHTML_select2();
    KrHTML_select2(const std::string& id, const std::string& name);
    ~KrHTML_select2() override;
};
