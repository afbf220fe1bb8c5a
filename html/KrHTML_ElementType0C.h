#pragma once
// Mixin for layout containers (body, div, p): adds rulers and spans. Elements
// with this mixin also carry KrHTML_ElementType0B, so they offer every Add
// operation.

#include <string>

#include "html/KrHTML_BaseElement2.h"

class KrHTML_hr2;
class KrHTML_span2;

class KrHTML_ElementType0C : public virtual KrHTML_BaseElement2 {
  public:
    explicit KrHTML_ElementType0C(const std::string& tag);
    ~KrHTML_ElementType0C() override;

    KrHTML_hr2* AddHr();
    KrHTML_span2* AddSpan();
};
